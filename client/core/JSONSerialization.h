// JSONSerialization: JSON text <-> Value, over Boost.JSON. Output is compact UTF-8. Integers stay
// integers (kind Int64, or UInt32/Int32 where they came in as such) and floating numbers stay
// floating; booleans read back as numbers of kind Bool.
//
// Only JSON-compatible values serialise: null, numbers (finite), strings, arrays and
// dictionaries. Dates, bytes, references and non-finite numbers raise InvalidArgumentException
// "Object values must be serializable to JSON" (encode them with the value coders first).
// Parse failures return no value and log "JSON deserialization failed with error: %@" at error
// level; a missing file returns no value silently.
//
// Thread-safety: class operations only, no state; safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <boost/json/value.hpp>

#include "core/Value.h"

namespace keel {

class JSONSerialization {
 public:
  // Returns the compact UTF-8 JSON text of `object`.
  // Throws InvalidArgumentException when it holds a value JSON cannot express.
  static Bytes dataFromJSONObject(const Value& object);
  static std::string stringFromJSONObject(const Value& object);

  // Returns the parsed value, or no value (logged) when the text is not JSON or not UTF-8.
  static std::optional<Value> JSONObjectFromData(const Bytes& data);
  static std::optional<Value> JSONObjectFromString(std::string_view text);
  // Returns the parsed contents of the file, no value silently when the file does not exist,
  // no value (logged) when it cannot be read or parsed.
  static std::optional<Value> JSONObjectFromFileAtPath(const std::string& path);

  // Conversions for code that works on Boost.JSON documents directly.
  // toBoost throws as dataFromJSONObject does.
  static boost::json::value toBoost(const Value& object);
  static Value fromBoost(const boost::json::value& json);
};

}  // namespace keel
