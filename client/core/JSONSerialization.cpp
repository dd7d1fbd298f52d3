#include "core/JSONSerialization.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include <boost/json.hpp>
#include <fmt/format.h>

#include "core/Exception.h"
#include "core/Logger.h"

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

json::value toJson(const Value& v, const json::storage_ptr& sp, std::size_t depth) {
  if (depth > kMaxDepth) throw InvalidArgumentException(kNotSerializable);
  switch (v.type()) {
    case Value::Type::Null:
      return json::value(nullptr, sp);
    case Value::Type::Number:
      if (v.isBool()) return json::value(v.boolValue(), sp);
      if (v.isIntegerNumber()) return json::value(v.int64Value(), sp);
      if (!std::isfinite(v.doubleValue())) throw InvalidArgumentException(kNotSerializable);
      if (v.numberKind() == Value::NumberKind::Float) {
        // A float widened to double prints as 0.10000000149011612; its shortest float text
        // ("0.1") is what was meant and reads back to the same float.
        auto text = fmt::format("{}", v.floatValue());
        return json::value(std::strtod(text.c_str(), nullptr), sp);
      }
      return json::value(v.doubleValue(), sp);
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

std::optional<Value> parse(std::string_view text) {
  // The document only lives until it is turned into Values, so it is built in an arena: one
  // block for the whole tree instead of an allocation per node.
  unsigned char buffer[4096];
  json::monotonic_resource arena(buffer, sizeof buffer);
  json::parser parser(&arena, parseOptions());
  boost::system::error_code ec;
  std::size_t used = parser.write(text.data(), text.size(), ec);
  if (ec) {
    logError(kDeserializationFailed, failureText(ec, text, used));
    return std::nullopt;
  }
  return convert(parser.release());
}

}  // namespace

json::value JSONSerialization::toBoost(const Value& object) { return toJson(object, {}, 0); }

Value JSONSerialization::fromBoost(const json::value& j) { return fromJson(j, 0); }

std::string JSONSerialization::stringFromJSONObject(const Value& object) {
  unsigned char buffer[4096];
  json::monotonic_resource arena(buffer, sizeof buffer);
  return json::serialize(toJson(object, &arena, 0));
}

Bytes JSONSerialization::dataFromJSONObject(const Value& object) {
  std::string s = stringFromJSONObject(object);
  return Bytes(s.begin(), s.end());
}

std::optional<Value> JSONSerialization::JSONObjectFromString(std::string_view text) {
  return parse(text);
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
  json::stream_parser parser(&arena, parseOptions());
  boost::system::error_code ec;
  std::string failure;
  std::size_t offset = 0;
  char buf[64 * 1024];
  std::size_t n;
  while (!ec && (n = std::fread(buf, 1, sizeof buf, f)) > 0) {
    std::size_t used = parser.write(buf, n, ec);
    if (ec) failure = failureText(ec, std::string_view(buf, n), used, offset);
    offset += n;
  }
  if (!ec && std::ferror(f)) failure = fmt::format("cannot read {}: {}", path, std::strerror(errno));
  std::fclose(f);
  if (failure.empty() && !ec) {
    parser.finish(ec);
    if (ec) failure = fmt::format("{} at byte {}", ec.message(), offset);
  }
  if (!failure.empty()) {
    logError(kDeserializationFailed, failure);
    return std::nullopt;
  }
  return convert(parser.release());
}

}  // namespace keel
