// Helpers over Boost.JSON values as the backend stores and compares them: the kind of a stored
// value (special values carry "__type"), equality and ordering the way queries see them, and
// the precise date text.
//
// Numbers compare with numbers whatever their JSON kind (1 equals 1.0), dates with dates,
// strings with strings; values of different kinds are never equal and have no order, except
// in sorting, which places kinds in a fixed order so that every result list has one order.
//
// Thread-safety: free functions over values the caller owns; safe from any thread.
#pragma once

#include <boost/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace keel::server {

namespace json = boost::json;

enum class ValueKind {
  Null, Bool, Number, String, Date, Pointer, GeoPoint, Bytes, File, Relation, Array, Object
};

// Parses JSON text as json::parse does, reading every floating number exactly, so a number a
// client sends is stored and returned unchanged. A number beyond the range of a double is a
// failure (numberOutOfRange()): it would read as infinity, which no JSON text can carry back
// out. The first form sets `ec` on failure; the second throws boost::system::system_error.
json::value parseJson(std::string_view text, boost::system::error_code& ec);
json::value parseJson(std::string_view text);
// Returns the error parseJson reports for a number beyond the range of a double.
boost::system::error_code numberOutOfRange();

// Returns the kind of a stored value; a dictionary with an unknown "__type" is an Object.
ValueKind kindOf(const json::value& v);

// Returns the number a JSON number holds, as a double.
double numberOf(const json::value& v);

// Returns the milliseconds of the precise text "yyyy-MM-ddTHH:mm:ss.SSSZ", or none for any
// other text.
std::optional<std::int64_t> parsePreciseDate(std::string_view text);
// Returns the milliseconds of an ISO 8601 date text: "yyyy-MM-dd", optionally followed by "T"
// (or a space) and "HH:mm", ":ss" and a fraction, then "Z" or an offset "+HH:MM"; every field
// must be in range (no 31st of February). Returns none for any other text ("now", a bare
// number), which the date functions underneath would otherwise read as some date.
std::optional<std::int64_t> parseIsoDate(std::string_view text);
// Returns the precise text of a time in milliseconds since 1970 (UTC).
std::string preciseDateText(std::int64_t millis);
// Returns {"__type": "Date", "iso": precise text}.
json::value dateValue(std::int64_t millis);
// Returns the milliseconds of a stored date dictionary (its "iso" is precise text).
std::int64_t dateMillis(const json::value& dateDict);

// Returns true iff two values are equal for a query: numbers by value, dates by instant,
// pointers (and included objects) by class and id, containers element by element.
bool sameValue(const json::value& a, const json::value& b);

// Returns the order of two values of one orderable kind (number, string, date), or none when
// they cannot be ordered against each other.
std::optional<int> compareOrdered(const json::value& a, const json::value& b);

// Returns a total order for sorting; a missing value (nullptr) sorts with null, first.
int compareForSort(const json::value* a, const json::value* b);

// Returns the great-circle distance in radians between two GeoPoint dictionaries.
double geoDistanceRadians(const json::value& a, const json::value& b);

// Returns the text of a JSON value's string, or an empty view for anything else.
std::string_view stringOf(const json::value& v);

}  // namespace keel::server
