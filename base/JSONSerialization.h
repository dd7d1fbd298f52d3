// JSONSerialization: JSON text <-> Value. Output is compact UTF-8. Integers stay integers and
// floating numbers stay floating: every JSON integer reads back as kind Int64 (one kind, so a
// stored count keeps its kind however large it grows; integers above INT64_MAX read as Double),
// every number with a fraction or exponent as Double, true/false as kind Bool.
//
// A floating number is written as the shortest text that reads back as exactly that number,
// in plain decimals where people expect them (0.7887233511355132, 0.000001, 1e-7, 1e+21 only
// where the magnitude needs the exponent), and a whole one with ".0" (1.0) so that it reads
// back as floating. A float is written at float precision (0.1f as 0.1). Every floating number
// is read exactly (the double nearest to its text), so a number written and read back is the
// same number.
//
// Strings and keys must be UTF-8 both ways: input that is not is refused with a log line that
// says so; output that is not raises like any other value JSON cannot express. Documents nest
// at most 512 levels deep, in both directions, so hostile input cannot exhaust the stack.
//
// Only JSON-compatible values serialise: null, numbers (finite), strings, arrays and
// dictionaries. Dates, bytes, references and non-finite numbers raise InvalidArgumentException
// "Object values must be serializable to JSON" (encode them with the value coders first).
// Parse failures (including numbers beyond a double, which no double can hold) return no
// value and log "JSON deserialization failed with error: %@" at error level; a missing file
// returns no value silently.
//
// Thread-safety: class operations only, safe from any thread. Each thread that parses keeps
// its own reusable parser buffers (a few times the size of the largest text it read, and
// dropped after a text above 4 MiB).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <boost/json/object.hpp>
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
  // Returns the compact text of a Boost.JSON document, numbers written as for Values (Boost's
  // own serializer writes 1.0 as 1E0). Throws InvalidArgumentException for a non-finite number,
  // text that is not UTF-8 or a document nested deeper than the limit.
  static std::string stringFromBoost(const boost::json::value& json);
  static std::string stringFromBoost(const boost::json::object& json);
  // Parses `text` into a Boost.JSON document as boost::json::parse does, except that every
  // floating number is read exactly (Boost's own reading can be a unit in the last place off
  // for numbers of 16 or more digits), and a number beyond a double's range (1e400, which
  // Boost reads as infinity) fails with boost::json::error::exponent_overflow. On failure sets
  // `ec` and returns null.
  static boost::json::value parseExactly(std::string_view text, boost::system::error_code& ec,
                                         const boost::json::parse_options& options = {});
};

}  // namespace keel
