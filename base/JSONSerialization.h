// JSONSerialization: JSON text <-> Value, over Boost.JSON. Output is compact UTF-8. Integers stay
// integers and floating numbers stay floating: every JSON integer reads back as kind Int64 (one
// kind, so a stored count keeps its kind however large it grows; integers above INT64_MAX read
// as Double), every number with a fraction or exponent as Double, true/false as kind Bool.
// Floats are written at float precision (0.1f as 1E-1). Every floating number is read exactly
// (the double nearest to its text), so a number written and read back is the same number.
//
// Strings and keys must be UTF-8 both ways: input that is not is refused with a log line that
// says so; output that is not raises like any other value JSON cannot express. Documents nest
// at most 512 levels deep, in both directions, so hostile input cannot exhaust the stack.
//
// Only JSON-compatible values serialise: null, numbers (finite), strings, arrays and
// dictionaries. Dates, bytes, references and non-finite numbers raise InvalidArgumentException
// "Object values must be serializable to JSON" (encode them with the value coders first).
// Parse failures (including numbers beyond a double, which would read as infinity) return no
// value and log "JSON deserialization failed with error: %@" at error level; a missing file
// returns no value silently.
//
// Thread-safety: class operations only, no state; safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <boost/json/parse_options.hpp>
#include <boost/json/value.hpp>
#include <boost/system/error_code.hpp>

#include <keel/base/Value.h>

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
  // The same without the log line: on failure `failure` receives its text (for example
  // "extra data at byte 4"), for callers that report the failure themselves.
  static std::optional<Value> JSONObjectFromString(std::string_view text, std::string& failure);
  // Returns the parsed contents of the file, no value silently when the file does not exist,
  // no value (logged) when it cannot be read or parsed.
  static std::optional<Value> JSONObjectFromFileAtPath(const std::string& path);

  // Conversions for code that works on Boost.JSON documents directly.
  // toBoost throws as dataFromJSONObject does; fromBoost throws InvalidArgumentException for a
  // document nested deeper than the limit or holding a non-finite number.
  static boost::json::value toBoost(const Value& object);
  static Value fromBoost(const boost::json::value& json);
  // Parses `text` into a Boost.JSON document as boost::json::parse does, except that every
  // floating number is read exactly (Boost's own reading can be a unit in the last place off
  // for numbers of 16 or more digits). On failure sets `ec` and returns null.
  static boost::json::value parseExactly(std::string_view text, boost::system::error_code& ec,
                                         const boost::json::parse_options& options = {});
};

}  // namespace keel
