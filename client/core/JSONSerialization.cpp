#include "core/JSONSerialization.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>

#include <boost/json.hpp>

#include "core/Exception.h"
#include "core/Logger.h"

namespace json = boost::json;

namespace keel {

namespace {

constexpr const char* kNotSerializable = "Object values must be serializable to JSON";
// Deeper documents are refused rather than walked: both directions recurse.
constexpr std::size_t kMaxDepth = 512;

json::value toJson(const Value& v, std::size_t depth) {
  if (depth > kMaxDepth) throw InvalidArgumentException(kNotSerializable);
  switch (v.type()) {
    case Value::Type::Null:
      return nullptr;
    case Value::Type::Number:
      if (v.isBool()) return v.boolValue();
      if (v.isIntegerNumber()) return v.int64Value();
      if (!std::isfinite(v.doubleValue())) throw InvalidArgumentException(kNotSerializable);
      return v.doubleValue();
    case Value::Type::String:
      return json::string(v.stringValue());
    case Value::Type::Array: {
      json::array a;
      a.reserve(v.arrayValue().size());
      for (const auto& e : v.arrayValue()) a.push_back(toJson(e, depth + 1));
      return a;
    }
    case Value::Type::Dictionary: {
      json::object o;
      o.reserve(v.dictionaryValue().size());
      for (const auto& [k, e] : v.dictionaryValue()) o.insert_or_assign(k, toJson(e, depth + 1));
      return o;
    }
    default:
      throw InvalidArgumentException(kNotSerializable);
  }
}

Value fromJson(const json::value& j) {
  switch (j.kind()) {
    case json::kind::null:
      return Value();
    case json::kind::bool_:
      return Value(j.get_bool());
    case json::kind::int64:
      return Value(static_cast<long long>(j.get_int64()));
    case json::kind::uint64: {
      std::uint64_t u = j.get_uint64();
      if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return Value(static_cast<long long>(u));
      return Value(static_cast<double>(u));
    }
    case json::kind::double_:
      return Value(j.get_double());
    case json::kind::string:
      return Value(std::string(j.get_string()));
    case json::kind::array: {
      Array a;
      a.reserve(j.get_array().size());
      for (const auto& e : j.get_array()) a.push_back(fromJson(e));
      return Value(std::move(a));
    }
    case json::kind::object: {
      Dictionary d;
      for (const auto& [k, e] : j.get_object()) d.set(std::string(k), fromJson(e));
      return Value(std::move(d));
    }
  }
  return Value();
}

json::parse_options parseOptions() {
  json::parse_options opt;
  opt.max_depth = kMaxDepth;
  return opt;
}

std::optional<Value> parse(std::string_view text) {
  boost::system::error_code ec;
  json::value j = json::parse(text, ec, {}, parseOptions());
  if (ec) {
    logError("JSON deserialization failed with error: %@", ec.message());
    return std::nullopt;
  }
  return fromJson(j);
}

}  // namespace

json::value JSONSerialization::toBoost(const Value& object) { return toJson(object, 0); }

Value JSONSerialization::fromBoost(const json::value& j) { return fromJson(j); }

std::string JSONSerialization::stringFromJSONObject(const Value& object) {
  return json::serialize(toJson(object, 0));
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
    if (errno == ENOENT) return std::nullopt;
    logError("JSON deserialization failed with error: %@",
             formatMessage("cannot open %@: %s", path, std::strerror(errno)));
    return std::nullopt;
  }
  json::stream_parser parser({}, parseOptions());
  boost::system::error_code ec;
  char buf[64 * 1024];
  std::size_t n;
  while (!ec && (n = std::fread(buf, 1, sizeof buf, f)) > 0) parser.write(buf, n, ec);
  bool readError = std::ferror(f) != 0;
  std::fclose(f);
  if (!ec && !readError) parser.finish(ec);
  if (ec || readError) {
    logError("JSON deserialization failed with error: %@",
             readError ? std::string("read error") : ec.message());
    return std::nullopt;
  }
  return fromJson(parser.release());
}

}  // namespace keel
