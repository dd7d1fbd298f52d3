#include <keel/base/JSONSerialization.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include <boost/json.hpp>
#include <boost/json/basic_parser_impl.hpp>
#include <fmt/format.h>
#include <simdjson.h>

#include <keel/base/Exception.h>
#include <keel/base/Logger.h>

namespace json = boost::json;

namespace keel {

namespace {

constexpr const char* kNotSerializable = "Object values must be serializable to JSON";
constexpr const char* kDeserializationFailed = "JSON deserialization failed with error: %@";
constexpr const char* kOutOfRange = "number out of range";
constexpr const char* kTooDeep = "nesting too deep";

// Both directions recurse once per level, so depth is bounded explicitly rather than by the
// stack: 512 levels is far beyond any document the backend sends, and small enough for the
// stack of a pool thread (also under AddressSanitizer).
constexpr std::size_t kMaxDepth = 512;

// Returns the length of the well-formed UTF-8 sequence that starts with the non-ASCII byte p[0]
// (no overlong forms, no surrogates, nothing above U+10FFFF), or 0 when it is malformed. A
// sequence that would run past `avail` bytes is malformed too, and sets `cut`.
std::size_t utf8Sequence(const unsigned char* p, std::size_t avail, bool& cut) {
  const unsigned char c = p[0];
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
    return 0;
  }
  for (std::size_t k = 1; k < len; ++k) {
    if (k >= avail) {
      cut = true;
      return 0;
    }
    const bool ok = k == 1 ? p[1] >= lo && p[1] <= hi : (p[k] & 0xc0) == 0x80;
    if (!ok) return 0;
  }
  return len;
}

// Returns the offset of the first byte that is not part of well-formed UTF-8, or npos when the
// text is well-formed. With `cutEnd` the text is a prefix, and a sequence cut short by its end
// is not held against it.
std::size_t firstInvalidUtf8(std::string_view s, bool cutEnd = false) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  std::size_t i = 0;
  while (i < n) {
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    bool cut = false;
    const std::size_t len = utf8Sequence(p + i, n - i, cut);
    if (len == 0) return cut && cutEnd ? std::string_view::npos : i;
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

// Appends the shortest text that reads back as exactly `x` (a float's own shortest text for a
// float), laid out for people: plain decimals from 1e-6 up to 1e21 and an exponent beyond
// (0.7887233511355132, 0.000001, 1e-7, 1e+21), with ".0" on a whole number so that it still
// reads back as a floating number. -0.0 keeps its sign.
// REQUIRES: x is finite.
template <typename F>
void appendFloating(std::string& out, F x) {
  char sci[40];
  const auto result = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific);
  char text[48];  // at most a sign, 17 digits, 21 places before the point, ".0"
  char* w = text;
  const char* p = sci;
  if (*p == '-') *w++ = *p++;
  // The scientific form is D[.DDD]e(+|-)XX: collect the significant digits and the exponent.
  char digits[24];
  int count = 0;
  for (; *p != 'e'; ++p) {
    if (*p != '.') digits[count++] = *p;
  }
  ++p;  // 'e'
  const bool negativeExponent = *p++ == '-';
  int exponent = 0;
  std::from_chars(p, result.ptr, exponent);
  if (negativeExponent) exponent = -exponent;

  const int point = exponent + 1;  // digits before the decimal point
  if (count <= point && point <= 21) {
    w = std::copy(digits, digits + count, w);
    w = std::fill_n(w, point - count, '0');
    *w++ = '.';
    *w++ = '0';
  } else if (0 < point && point <= 21) {
    w = std::copy(digits, digits + point, w);
    *w++ = '.';
    w = std::copy(digits + point, digits + count, w);
  } else if (-6 < point && point <= 0) {
    *w++ = '0';
    *w++ = '.';
    w = std::fill_n(w, -point, '0');
    w = std::copy(digits, digits + count, w);
  } else {
    *w++ = digits[0];
    if (count > 1) {
      *w++ = '.';
      w = std::copy(digits + 1, digits + count, w);
    }
    *w++ = 'e';
    *w++ = exponent < 0 ? '-' : '+';
    w = std::to_chars(w, text + sizeof text, exponent < 0 ? -exponent : exponent).ptr;
  }
  out.append(text, static_cast<std::size_t>(w - text));
}

// Returns the double to put into a Boost.JSON document for a floating number. Throws for a
// non-finite one.
double floatingValueToWrite(const Value& v) {
  if (!std::isfinite(v.doubleValue())) throw InvalidArgumentException(kNotSerializable);
  if (v.numberKind() != Value::NumberKind::Float) return v.doubleValue();
  // A float widened to double prints as 0.10000000149011612; its shortest float text ("0.1")
  // is what was meant and reads back to the same float.
  std::string text;
  appendFloating(text, v.floatValue());
  double d = 0;
  std::from_chars(text.data(), text.data() + text.size(), d);
  return d;
}

void appendInteger(std::string& out, std::int64_t i) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, i);
  out.append(buf, static_cast<std::size_t>(r.ptr - buf));
}

// Appends `s` as a JSON string, escaped as Boost.JSON's serializer escapes it.
// Throws for text that is not UTF-8: it would make output that no parser (ours included)
// reads back, so it is refused here instead of stored.
void appendString(std::string& out, std::string_view s) {
  // 0: written as it is; 1: escaped; 2: the lead byte of a sequence to check.
  static constexpr auto kClass = [] {
    std::array<std::uint8_t, 256> t{};
    for (int c = 0; c < 0x20; ++c) t[c] = 1;
    t['"'] = t['\\'] = 1;
    for (int c = 0x80; c < 0x100; ++c) t[c] = 2;
    return t;
  }();
  static constexpr char kHex[] = "0123456789abcdef";
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  out.reserve(out.size() + n + 2);
  out.push_back('"');
  std::size_t plain = 0;  // start of the run not written yet
  std::size_t i = 0;
  while (i < n) {
    const unsigned char c = p[i];
    const std::uint8_t kind = kClass[c];
    if (kind == 0) {
      ++i;
      continue;
    }
    if (kind == 2) {
      bool cut = false;
      const std::size_t len = utf8Sequence(p + i, n - i, cut);
      if (len == 0) throw InvalidArgumentException(kNotSerializable);
      i += len;
      continue;
    }
    out.append(s.data() + plain, i - plain);
    char escape[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xf]};
    std::size_t length = 2;
    switch (c) {
      case '"': escape[1] = '"'; break;
      case '\\': escape[1] = '\\'; break;
      case '\b': escape[1] = 'b'; break;
      case '\t': escape[1] = 't'; break;
      case '\n': escape[1] = 'n'; break;
      case '\f': escape[1] = 'f'; break;
      case '\r': escape[1] = 'r'; break;
      default: length = 6;
    }
    out.append(escape, length);
    plain = ++i;
  }
  out.append(s.data() + plain, n - plain);
  out.push_back('"');
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

// Writes JSON text straight from Values, without building a Boost.JSON document first.
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
        appendString(out_, v.stringValue());
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
          appendString(out_, k);
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
      appendInteger(out_, v.int64Value());
      return;
    }
    const double d = v.doubleValue();
    // NaN and infinity have no JSON form; writing null or a huge number in their place would
    // store a different value without anyone noticing.
    if (!std::isfinite(d)) throw InvalidArgumentException(kNotSerializable);
    if (v.numberKind() == Value::NumberKind::Float) {
      appendFloating(out_, v.floatValue());
    } else {
      appendFloating(out_, d);
    }
  }

  std::string& out_;
};

void writeBoostObject(std::string& out, const json::object& o, std::size_t depth);

// Writes a Boost.JSON document in the same form as Writer writes Values.
void writeBoost(std::string& out, const json::value& j, std::size_t depth) {
  if (depth > kMaxDepth) throw InvalidArgumentException(kNotSerializable);
  switch (j.kind()) {
    case json::kind::null:
      out.append("null", 4);
      return;
    case json::kind::bool_:
      if (j.get_bool()) out.append("true", 4);
      else out.append("false", 5);
      return;
    case json::kind::int64:
      appendInteger(out, j.get_int64());
      return;
    case json::kind::uint64: {
      char buf[24];
      const auto r = std::to_chars(buf, buf + sizeof buf, j.get_uint64());
      out.append(buf, static_cast<std::size_t>(r.ptr - buf));
      return;
    }
    case json::kind::double_:
      if (!std::isfinite(j.get_double())) throw InvalidArgumentException(kNotSerializable);
      appendFloating(out, j.get_double());
      return;
    case json::kind::string:
      appendString(out, j.get_string());
      return;
    case json::kind::array: {
      out.push_back('[');
      bool first = true;
      for (const auto& e : j.get_array()) {
        if (!first) out.push_back(',');
        first = false;
        writeBoost(out, e, depth + 1);
      }
      out.push_back(']');
      return;
    }
    case json::kind::object:
      writeBoostObject(out, j.get_object(), depth);
      return;
  }
}

void writeBoostObject(std::string& out, const json::object& o, std::size_t depth) {
  out.push_back('{');
  bool first = true;
  for (const auto& entry : o) {
    if (!first) out.push_back(',');
    first = false;
    appendString(out, entry.key());
    out.push_back(':');
    writeBoost(out, entry.value(), depth + 1);
  }
  out.push_back('}');
}

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
      // A document built in code may hold infinity; such a value could never be written out
      // again, so it is refused here, where the bad value is, not at some later save.
      if (!std::isfinite(j.get_double())) throw InvalidArgumentException(kOutOfRange);
      return Value(j.get_double());
    case json::kind::string:
      return Value(std::string_view(j.get_string().data(), j.get_string().size()));
    case json::kind::array: {
      if (depth >= kMaxDepth) throw InvalidArgumentException(kTooDeep);
      Array a;
      a.reserve(j.get_array().size());
      for (const auto& e : j.get_array()) a.push_back(fromJson(e, depth + 1));
      return Value(std::move(a));
    }
    case json::kind::object: {
      if (depth >= kMaxDepth) throw InvalidArgumentException(kTooDeep);
      Dictionary d;
      d.reserve(j.get_object().size());
      for (const auto& [k, e] : j.get_object()) d.set(std::string(k), fromJson(e, depth + 1));
      return Value(std::move(d));
    }
  }
  return Value();
}

// The parser's handler: builds the document on a value stack as Boost's own parser does, but
// keeps each number's text and reads floating numbers from it with std::from_chars, which is
// exact. A number beyond a double's range fails the parse with exponent_overflow: Boost.JSON
// would read it as infinity, a value that could never be written out again.
class ExactHandler {
 public:
  static constexpr std::size_t max_array_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_object_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_string_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_key_size = static_cast<std::size_t>(-1);

  // `sp` holds the document; the value stack's own scratch memory comes from the heap.
  explicit ExactHandler(json::storage_ptr sp) { stack_.reset(std::move(sp)); }

  json::value release() { return stack_.release(); }

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
  bool on_double(double d, json::string_view s, boost::system::error_code& ec) {
    const char* first = s.data();
    const char* last = s.data() + s.size();
    if (!number_.empty()) {  // the number was split over two pieces of input
      number_.append(s.data(), s.size());
      first = number_.data();
      last = number_.data() + number_.size();
    }
    double exact = 0;
    auto [end, err] = std::from_chars(first, last, exact);
    number_.clear();
    if (err == std::errc::result_out_of_range) {
      // Beyond the range both ways. Too small only loses precision: the nearest double is a
      // zero. Too large has no double at all.
      if (std::isinf(d) || std::fabs(d) > 1.0) {
        ec = json::error::exponent_overflow;
        return false;
      }
      exact = std::copysign(0.0, d);
    }
    stack_.push_double(exact);
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

// Parses a whole document with the handler above. On failure sets `ec` and returns the offset
// of the byte that failed.
std::size_t parseBoost(std::string_view text, json::storage_ptr sp, const json::parse_options& options,
                       boost::system::error_code& ec, json::value& document) {
  json::basic_parser<ExactHandler> parser(options, std::move(sp));
  std::size_t used = parser.write_some(false, text.data(), text.size(), ec);
  if (!ec && used < text.size()) ec = json::error::extra_data;
  if (!ec) document = parser.handler().release();
  return used;
}

json::parse_options parseOptions() {
  json::parse_options opt;
  opt.max_depth = kMaxDepth;
  return opt;
}

// Returns the failure text: Boost.JSON reports bad UTF-8 as a plain syntax error, so that case
// is named, and the byte offset makes either findable in a large document.
std::string failureText(const boost::system::error_code& ec, std::string_view text, std::size_t offset) {
  if (ec == json::error::exponent_overflow) return kOutOfRange;
  std::size_t end = std::min(text.size(), offset + 4);
  std::size_t bad = firstInvalidUtf8(text.substr(0, end), end < text.size());
  if (bad != std::string_view::npos) return fmt::format("invalid UTF-8 at byte {}", bad);
  return fmt::format("{} at byte {}", ec.message(), offset);
}

// Reads the text through Boost.JSON: slower than the simdjson path below, but it reads
// integers beyond 64 bits and says precisely what is wrong with text that is not JSON.
std::optional<Value> parseSlowly(std::string_view text, std::string& failure) {
  // The document only lives until it is turned into Values, so it is built in an arena: a
  // few blocks for the whole tree instead of an allocation per node.
  json::monotonic_resource arena;
  boost::system::error_code ec;
  json::value document;
  std::size_t used = parseBoost(text, &arena, parseOptions(), ec, document);
  if (ec) {
    failure = failureText(ec, text, used);
    return std::nullopt;
  }
  try {
    return fromJson(document, 0);
  } catch (const InvalidArgumentException& e) {
    failure = e.reason();
    return std::nullopt;
  }
}

// The fast path: simdjson validates the whole text (structure, UTF-8, escapes, numbers) into
// its tape, and the Values are built from the tape. Its number reading is exact, as
// std::from_chars is. Every document it refuses goes to parseSlowly, which either accepts it
// (an integer beyond 64 bits, which simdjson does not read) or names the fault; simdjson never
// accepts what Boost.JSON refuses (a test holds both to this).
class FastReader {
 public:
  // Returns the Values of `text`, or no value when simdjson does not accept it.
  static std::optional<Value> read(std::string_view text) {
    FastReader& reader = forThisThread();
    auto root = reader.parser_.parse(text.data(), text.size(), true);
    std::optional<Value> out;
    if (!root.error()) out = build(root.value_unsafe());
    // A parser keeps buffers of several times the largest text it has read; keep them for
    // replies of ordinary size, not for a one-off huge file.
    if (reader.parser_.capacity() > kKeptCapacity) reader.parser_ = simdjson::dom::parser();
    return out;
  }

 private:
  static constexpr std::size_t kKeptCapacity = std::size_t{4} << 20;

  static FastReader& forThisThread() {
    thread_local FastReader reader;
    if (reader.parser_.capacity() == 0) {
      // The depth limit is set with the first buffers and kept when they grow.
      if (reader.parser_.allocate(64 * 1024, kMaxDepth) != simdjson::SUCCESS) throw std::bad_alloc();
    }
    return reader;
  }

  static Value build(simdjson::dom::element e) {
    using Kind = simdjson::dom::element_type;
    switch (e.type()) {
      case Kind::ARRAY: {
        simdjson::dom::array items = e.get_array().value_unsafe();
        Array a;
        a.reserve(items.size());
        for (simdjson::dom::element item : items) a.push_back(build(item));
        return Value(std::move(a));
      }
      case Kind::OBJECT: {
        simdjson::dom::object fields = e.get_object().value_unsafe();
        Dictionary d;
        d.reserve(fields.size());
        for (simdjson::dom::key_value_pair field : fields) d.set(std::string(field.key), build(field.value));
        return Value(std::move(d));
      }
      case Kind::INT64:
        return Value(static_cast<long long>(e.get_int64().value_unsafe()));
      case Kind::UINT64:
        // Only integers above INT64_MAX arrive as UINT64; a double keeps their magnitude.
        return Value(static_cast<double>(e.get_uint64().value_unsafe()));
      case Kind::DOUBLE:
        return Value(e.get_double().value_unsafe());
      case Kind::STRING:
        return Value(e.get_string().value_unsafe());
      case Kind::BOOL:
        return Value(e.get_bool().value_unsafe());
      case Kind::NULL_VALUE:
        return Value();
    }
    return Value();
  }

  simdjson::dom::parser parser_;
};

// Returns the document's Values, or no value with `failure` set.
std::optional<Value> parse(std::string_view text, std::string& failure) {
  if (auto fast = FastReader::read(text)) return fast;
  return parseSlowly(text, failure);
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

std::string JSONSerialization::stringFromBoost(const json::value& json) {
  std::string out;
  writeBoost(out, json, 0);
  return out;
}

std::string JSONSerialization::stringFromBoost(const json::object& json) {
  std::string out;
  writeBoostObject(out, json, 0);
  return out;
}

json::value JSONSerialization::parseExactly(std::string_view text, boost::system::error_code& ec,
                                            const json::parse_options& options) {
  json::value document;
  parseBoost(text, {}, options, ec, document);
  if (ec) return nullptr;
  return document;
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
  std::string text;
  char buf[64 * 1024];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  const bool failed = std::ferror(f) != 0;
  const int error = errno;
  std::fclose(f);
  if (failed) {
    logError(kDeserializationFailed, fmt::format("cannot read {}: {}", path, std::strerror(error)));
    return std::nullopt;
  }
  return parse(text);
}

}  // namespace keel
