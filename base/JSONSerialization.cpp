#include <keel/base/JSONSerialization.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include <boost/json.hpp>
#include <boost/json/basic_parser_impl.hpp>
#include <fmt/format.h>

#include <keel/base/Exception.h>
#include <keel/base/Logger.h>

namespace json = boost::json;

namespace keel {

namespace {

constexpr const char* kNotSerializable = "Object values must be serializable to JSON";
constexpr const char* kDeserializationFailed = "JSON deserialization failed with error: %@";

// Both directions recurse once per level, so depth is bounded explicitly rather than by the
// stack: 512 levels is far beyond any document the backend sends, and small enough for the
// stack of a pool thread (also under AddressSanitizer).
constexpr std::size_t kMaxDepth = 512;

// Returns the offset of the first byte that is not part of well-formed UTF-8 (no overlong
// forms, no surrogates, nothing above U+10FFFF), or npos when the text is well-formed. With
// `cutEnd` the text is a prefix, and a sequence cut short by its end is not held against it.
std::size_t firstInvalidUtf8(std::string_view s, bool cutEnd = false) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  std::size_t i = 0;
  while (i < n) {
    unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xbf;  // allowed range of the second byte
    if (c >= 0xc2 && c <= 0xdf) {
      len = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
      len = 3;
      if (c == 0xe0) lo = 0xa0;
      if (c == 0xed) hi = 0x9f;
    } else if (c >= 0xf0 && c <= 0xf4) {
      len = 4;
      if (c == 0xf0) lo = 0x90;
      if (c == 0xf4) hi = 0x8f;
    } else {
      return i;
    }
    for (std::size_t k = 1; k < len; ++k) {
      if (i + k >= n) return cutEnd ? std::string_view::npos : i;
      bool ok = k == 1 ? p[i + 1] >= lo && p[i + 1] <= hi : (p[i + k] & 0xc0) == 0x80;
      if (!ok) return i;
    }
    i += len;
  }
  return std::string_view::npos;
}

json::string_view checkedText(const std::string& s) {
  // Boost.JSON writes string bytes as they are; text that is not UTF-8 would make output that
  // no parser (ours included) reads back, so it is refused here instead of stored.
  if (firstInvalidUtf8(s) != std::string_view::npos) throw InvalidArgumentException(kNotSerializable);
  return json::string_view(s.data(), s.size());
}

// Returns the double to write for a floating number. Throws for a non-finite one.
double floatingValueToWrite(const Value& v) {
  if (!std::isfinite(v.doubleValue())) throw InvalidArgumentException(kNotSerializable);
  if (v.numberKind() != Value::NumberKind::Float) return v.doubleValue();
  // A float widened to double prints as 0.10000000149011612; its shortest float text ("0.1")
  // is what was meant and reads back to the same float.
  auto text = fmt::format("{}", v.floatValue());
  return std::strtod(text.c_str(), nullptr);
}

json::value toJson(const Value& v, const json::storage_ptr& sp, std::size_t depth) {
  if (depth > kMaxDepth) throw InvalidArgumentException(kNotSerializable);
  switch (v.type()) {
    case Value::Type::Null:
      return json::value(nullptr, sp);
    case Value::Type::Number:
      if (v.isBool()) return json::value(v.boolValue(), sp);
      if (v.isIntegerNumber()) return json::value(v.int64Value(), sp);
      return json::value(floatingValueToWrite(v), sp);
    case Value::Type::String:
      return json::value(json::string(checkedText(v.stringValue()), sp));
    case Value::Type::Array: {
      json::array a(sp);
      a.reserve(v.arrayValue().size());
      for (const auto& e : v.arrayValue()) a.push_back(toJson(e, sp, depth + 1));
      return json::value(std::move(a));
    }
    case Value::Type::Dictionary: {
      json::object o(sp);
      o.reserve(v.dictionaryValue().size());
      for (const auto& [k, e] : v.dictionaryValue()) {
        o.insert_or_assign(checkedText(k), toJson(e, sp, depth + 1));
      }
      return json::value(std::move(o));
    }
    default:  // dates, bytes and references need the value coders first
      throw InvalidArgumentException(kNotSerializable);
  }
}

// Writes JSON text straight from Values, without building a Boost.JSON document first. The
// text is byte for byte what Boost.JSON's serializer writes for the same document (the same
// escapes, its number forms), so files and requests read the same either way.
class Writer {
 public:
  explicit Writer(std::string& out) : out_(out) {}

  void write(const Value& v, std::size_t depth) {
    if (depth > kMaxDepth) throw InvalidArgumentException(kNotSerializable);
    switch (v.type()) {
      case Value::Type::Null:
        out_.append("null", 4);
        return;
      case Value::Type::Number:
        writeNumber(v);
        return;
      case Value::Type::String:
        writeString(v.stringValue());
        return;
      case Value::Type::Array: {
        out_.push_back('[');
        bool first = true;
        for (const auto& e : v.arrayValue()) {
          if (!first) out_.push_back(',');
          first = false;
          write(e, depth + 1);
        }
        out_.push_back(']');
        return;
      }
      case Value::Type::Dictionary: {
        out_.push_back('{');
        bool first = true;
        for (const auto& [k, e] : v.dictionaryValue()) {
          if (!first) out_.push_back(',');
          first = false;
          writeString(k);
          out_.push_back(':');
          write(e, depth + 1);
        }
        out_.push_back('}');
        return;
      }
      default:  // dates, bytes and references need the value coders first
        throw InvalidArgumentException(kNotSerializable);
    }
  }

 private:
  void writeNumber(const Value& v) {
    if (v.isBool()) {
      if (v.boolValue()) out_.append("true", 4);
      else out_.append("false", 5);
      return;
    }
    if (v.isIntegerNumber()) {
      char buf[24];
      auto r = std::to_chars(buf, buf + sizeof buf, v.int64Value());
      out_.append(buf, static_cast<std::size_t>(r.ptr - buf));
      return;
    }
    const double d = floatingValueToWrite(v);
    // Boost.JSON's own number form, written through its serializer into a stack buffer.
    json::value number(d);
    json::serializer serializer;
    serializer.reset(&number);
    char buf[64];
    out_.append(serializer.read(buf, sizeof buf));
  }

  void writeString(const std::string& s) {
    // Text that is not UTF-8 would make output that no parser (ours included) reads back, so
    // it is refused here instead of stored.
    if (firstInvalidUtf8(s) != std::string_view::npos) throw InvalidArgumentException(kNotSerializable);
    static constexpr char kHex[] = "0123456789abcdef";
    out_.push_back('"');
    const char* p = s.data();
    std::size_t plain = 0;  // start of the run not written yet
    for (std::size_t i = 0; i < s.size(); ++i) {
      const auto c = static_cast<unsigned char>(p[i]);
      if (c >= 0x20 && c != '"' && c != '\\') continue;
      out_.append(p + plain, i - plain);
      plain = i + 1;
      out_.push_back('\\');
      switch (c) {
        case '"': out_.push_back('"'); break;
        case '\\': out_.push_back('\\'); break;
        case '\b': out_.push_back('b'); break;
        case '\t': out_.push_back('t'); break;
        case '\n': out_.push_back('n'); break;
        case '\f': out_.push_back('f'); break;
        case '\r': out_.push_back('r'); break;
        default:
          out_.append("u00", 3);
          out_.push_back(kHex[c >> 4]);
          out_.push_back(kHex[c & 0xf]);
      }
    }
    out_.append(p + plain, s.size() - plain);
    out_.push_back('"');
  }

  std::string& out_;
};

Value fromJson(const json::value& j, std::size_t depth) {
  switch (j.kind()) {
    case json::kind::null:
      return Value();
    case json::kind::bool_:
      return Value(j.get_bool());
    case json::kind::int64:
      return Value(static_cast<long long>(j.get_int64()));
    case json::kind::uint64: {
      // Only integers above INT64_MAX arrive as uint64; a double keeps their magnitude.
      std::uint64_t u = j.get_uint64();
      if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return Value(static_cast<long long>(u));
      return Value(static_cast<double>(u));
    }
    case json::kind::double_:
      // Boost.JSON reads 1e400 as infinity; such a value could never be written out again,
      // so it is refused here, where the bad input is, not at some later save.
      if (!std::isfinite(j.get_double())) throw InvalidArgumentException("number out of range");
      return Value(j.get_double());
    case json::kind::string:
      return Value(std::string_view(j.get_string().data(), j.get_string().size()));
    case json::kind::array: {
      if (depth >= kMaxDepth) throw InvalidArgumentException("nesting too deep");
      Array a;
      a.reserve(j.get_array().size());
      for (const auto& e : j.get_array()) a.push_back(fromJson(e, depth + 1));
      return Value(std::move(a));
    }
    case json::kind::object: {
      if (depth >= kMaxDepth) throw InvalidArgumentException("nesting too deep");
      Dictionary d;
      d.reserve(j.get_object().size());
      for (const auto& [k, e] : j.get_object()) d.set(std::string(k), fromJson(e, depth + 1));
      return Value(std::move(d));
    }
  }
  return Value();
}

// Returns the Values of a parsed document, or no value (logged) when it holds a number out of
// range or is nested too deep.
std::optional<Value> convert(const json::value& document) {
  try {
    return fromJson(document, 0);
  } catch (const InvalidArgumentException& e) {
    logError(kDeserializationFailed, e.reason());
    return std::nullopt;
  }
}

// The parser's handler: builds the document on a value stack as Boost's own parser does, but
// keeps each number's text and reads floating numbers from it with std::from_chars, which is
// exact. A number beyond a double's range keeps Boost's reading (infinity, or 0 for
// underflow), so the range check after parsing still sees it.
class ExactHandler {
 public:
  static constexpr std::size_t max_array_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_object_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_string_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_key_size = static_cast<std::size_t>(-1);

  explicit ExactHandler(json::storage_ptr sp) : stack_(std::move(sp)) {}

  json::value release() { return stack_.release(); }
  void reset(json::storage_ptr sp) {
    stack_.reset(std::move(sp));
    number_.clear();
  }

  bool on_document_begin(boost::system::error_code&) { return true; }
  bool on_document_end(boost::system::error_code&) { return true; }
  bool on_array_begin(boost::system::error_code&) { return true; }
  bool on_array_end(std::size_t n, boost::system::error_code&) {
    stack_.push_array(n);
    return true;
  }
  bool on_object_begin(boost::system::error_code&) { return true; }
  bool on_object_end(std::size_t n, boost::system::error_code&) {
    stack_.push_object(n);
    return true;
  }
  bool on_string_part(json::string_view s, std::size_t, boost::system::error_code&) {
    stack_.push_chars(s);
    return true;
  }
  bool on_string(json::string_view s, std::size_t, boost::system::error_code&) {
    stack_.push_string(s);
    return true;
  }
  bool on_key_part(json::string_view s, std::size_t, boost::system::error_code&) {
    stack_.push_chars(s);
    return true;
  }
  bool on_key(json::string_view s, std::size_t, boost::system::error_code&) {
    stack_.push_key(s);
    return true;
  }
  bool on_number_part(json::string_view s, boost::system::error_code&) {
    number_.append(s.data(), s.size());
    return true;
  }
  bool on_int64(std::int64_t i, json::string_view, boost::system::error_code&) {
    number_.clear();
    stack_.push_int64(i);
    return true;
  }
  bool on_uint64(std::uint64_t u, json::string_view, boost::system::error_code&) {
    number_.clear();
    stack_.push_uint64(u);
    return true;
  }
  bool on_double(double d, json::string_view s, boost::system::error_code&) {
    const char* first = s.data();
    const char* last = s.data() + s.size();
    if (!number_.empty()) {  // the number was split over two pieces of input
      number_.append(s.data(), s.size());
      first = number_.data();
      last = number_.data() + number_.size();
    }
    double exact = 0;
    auto [end, err] = std::from_chars(first, last, exact);
    if (err == std::errc() && end == last) d = exact;
    number_.clear();
    stack_.push_double(d);
    return true;
  }
  bool on_bool(bool b, boost::system::error_code&) {
    stack_.push_bool(b);
    return true;
  }
  bool on_null(boost::system::error_code&) {
    stack_.push_null();
    return true;
  }
  bool on_comment_part(json::string_view, boost::system::error_code&) { return true; }
  bool on_comment(json::string_view, boost::system::error_code&) { return true; }

 private:
  json::value_stack stack_;
  std::string number_;
};

// A document parser fed in one or more pieces. write() returns the bytes used; with `more`
// false the piece is the last and the document must be complete.
class ExactParser {
 public:
  ExactParser(json::storage_ptr sp, const json::parse_options& options) : parser_(options, sp) {}

  std::size_t write(const char* data, std::size_t size, bool more, boost::system::error_code& ec) {
    std::size_t used = parser_.write_some(more, data, size, ec);
    if (!ec && used < size) ec = json::error::extra_data;
    return used;
  }
  json::value release() { return parser_.handler().release(); }

 private:
  json::basic_parser<ExactHandler> parser_;
};

json::parse_options parseOptions() {
  json::parse_options opt;
  opt.max_depth = kMaxDepth;
  return opt;
}

// Returns the failure text: Boost.JSON reports bad UTF-8 as a plain syntax error, so that case
// is named, and the byte offset makes either findable in a large document.
// `text` is the piece that was being read, starting `base` bytes into the document.
std::string failureText(const boost::system::error_code& ec, std::string_view text,
                        std::size_t offset, std::size_t base = 0) {
  std::size_t end = std::min(text.size(), offset + 4);
  std::size_t bad = firstInvalidUtf8(text.substr(0, end), end < text.size());
  if (bad != std::string_view::npos) return fmt::format("invalid UTF-8 at byte {}", base + bad);
  return fmt::format("{} at byte {}", ec.message(), base + offset);
}

// Returns the document's Values, or no value with `failure` set.
std::optional<Value> parse(std::string_view text, std::string& failure) {
  // The document only lives until it is turned into Values, so it is built in an arena: one
  // block for the whole tree instead of an allocation per node.
  unsigned char buffer[4096];
  json::monotonic_resource arena(buffer, sizeof buffer);
  ExactParser parser(&arena, parseOptions());
  boost::system::error_code ec;
  std::size_t used = parser.write(text.data(), text.size(), false, ec);
  if (ec) {
    failure = failureText(ec, text, used);
    return std::nullopt;
  }
  try {
    return fromJson(parser.release(), 0);
  } catch (const InvalidArgumentException& e) {
    failure = e.reason();
    return std::nullopt;
  }
}

std::optional<Value> parse(std::string_view text) {
  std::string failure;
  auto value = parse(text, failure);
  if (!value) logError(kDeserializationFailed, failure);
  return value;
}

}  // namespace

json::value JSONSerialization::toBoost(const Value& object) { return toJson(object, {}, 0); }

Value JSONSerialization::fromBoost(const json::value& j) { return fromJson(j, 0); }

json::value JSONSerialization::parseExactly(std::string_view text, boost::system::error_code& ec,
                                            const json::parse_options& options) {
  ExactParser parser({}, options);
  parser.write(text.data(), text.size(), false, ec);
  if (ec) return nullptr;
  return parser.release();
}

std::string JSONSerialization::stringFromJSONObject(const Value& object) {
  std::string out;
  Writer(out).write(object, 0);
  return out;
}

Bytes JSONSerialization::dataFromJSONObject(const Value& object) {
  std::string s = stringFromJSONObject(object);
  return Bytes(s.begin(), s.end());
}

std::optional<Value> JSONSerialization::JSONObjectFromString(std::string_view text) {
  return parse(text);
}

std::optional<Value> JSONSerialization::JSONObjectFromString(std::string_view text, std::string& failure) {
  return parse(text, failure);
}

std::optional<Value> JSONSerialization::JSONObjectFromData(const Bytes& data) {
  return parse(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
}

std::optional<Value> JSONSerialization::JSONObjectFromFileAtPath(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    if (errno == ENOENT) return std::nullopt;  // a file not written yet is not a failure
    logError(kDeserializationFailed, fmt::format("cannot open {}: {}", path, std::strerror(errno)));
    return std::nullopt;
  }
  json::monotonic_resource arena;
  ExactParser parser(&arena, parseOptions());
  boost::system::error_code ec;
  std::string failure;
  std::size_t offset = 0;
  char buf[64 * 1024];
  std::size_t n;
  while (!ec && (n = std::fread(buf, 1, sizeof buf, f)) > 0) {
    std::size_t used = parser.write(buf, n, true, ec);
    if (ec) failure = failureText(ec, std::string_view(buf, n), used, offset);
    offset += n;
  }
  if (!ec && std::ferror(f)) failure = fmt::format("cannot read {}: {}", path, std::strerror(errno));
  std::fclose(f);
  if (failure.empty() && !ec) {
    parser.write(nullptr, 0, false, ec);
    if (ec) failure = fmt::format("{} at byte {}", ec.message(), offset);
  }
  if (!failure.empty()) {
    logError(kDeserializationFailed, failure);
    return std::nullopt;
  }
  return convert(parser.release());
}

}  // namespace keel
