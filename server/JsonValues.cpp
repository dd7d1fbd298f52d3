#include "server/JsonValues.h"

#include <cmath>
#include <cstdio>

#include <keel/base/DateFormatter.h>
#include <keel/base/JSONSerialization.h>

namespace keel::server {

namespace {

class ParseErrors : public boost::system::error_category {
 public:
  const char* name() const noexcept override { return "keel-server.json"; }
  std::string message(int) const override { return "number out of range"; }
};

// True iff every number in the document is finite. Depth is bounded by the parser's limit.
bool allFinite(const json::value& v) {
  switch (v.kind()) {
    case json::kind::double_: return std::isfinite(v.get_double());
    case json::kind::array:
      for (const auto& e : v.get_array())
        if (!allFinite(e)) return false;
      return true;
    case json::kind::object:
      for (const auto& e : v.get_object())
        if (!allFinite(e.value())) return false;
      return true;
    default: return true;
  }
}

}  // namespace

boost::system::error_code numberOutOfRange() {
  static const ParseErrors category;
  return {1, category};
}

json::value parseJson(std::string_view text, boost::system::error_code& ec) {
  json::value v = JSONSerialization::parseExactly(text, ec);
  // The exact reader refuses such a number itself; say it in the same words as the check below.
  if (ec == json::error::exponent_overflow) ec = numberOutOfRange();
  if (!ec && !allFinite(v)) {
    ec = numberOutOfRange();
    return nullptr;
  }
  return v;
}

json::value parseJson(std::string_view text) {
  boost::system::error_code ec;
  json::value v = parseJson(text, ec);
  if (ec) throw boost::system::system_error(ec);
  return v;
}

namespace {

int kindRank(const json::value* v) {
  if (!v) return 0;
  switch (kindOf(*v)) {
    case ValueKind::Null: return 0;
    case ValueKind::Number: return 1;
    case ValueKind::String: return 2;
    case ValueKind::Object: case ValueKind::Pointer: case ValueKind::GeoPoint:
    case ValueKind::File: case ValueKind::Relation: return 3;
    case ValueKind::Array: return 4;
    case ValueKind::Bytes: return 5;
    case ValueKind::Bool: return 6;
    case ValueKind::Date: return 7;
  }
  return 8;
}

const json::value* member(const json::object& o, std::string_view key) {
  auto it = o.find(key);
  return it == o.end() ? nullptr : &it->value();
}

}  // namespace

ValueKind kindOf(const json::value& v) {
  switch (v.kind()) {
    case json::kind::null: return ValueKind::Null;
    case json::kind::bool_: return ValueKind::Bool;
    case json::kind::int64: case json::kind::uint64: case json::kind::double_: return ValueKind::Number;
    case json::kind::string: return ValueKind::String;
    case json::kind::array: return ValueKind::Array;
    case json::kind::object: break;
  }
  const auto* type = member(v.get_object(), "__type");
  if (!type || !type->is_string()) return ValueKind::Object;
  const auto& t = type->get_string();
  if (t == "Date") return ValueKind::Date;
  if (t == "Pointer" || t == "Object") return ValueKind::Pointer;
  if (t == "GeoPoint") return ValueKind::GeoPoint;
  if (t == "Bytes") return ValueKind::Bytes;
  if (t == "File") return ValueKind::File;
  if (t == "Relation") return ValueKind::Relation;
  return ValueKind::Object;
}

double numberOf(const json::value& v) {
  switch (v.kind()) {
    case json::kind::int64: return static_cast<double>(v.get_int64());
    case json::kind::uint64: return static_cast<double>(v.get_uint64());
    case json::kind::double_: return v.get_double();
    default: return 0;
  }
}

std::optional<std::int64_t> parsePreciseDate(std::string_view text) {
  auto date = DateFormatter::dateFromPreciseString(text);
  if (!date) return std::nullopt;
  return millisFromDate(*date);
}

namespace {

// Reads exactly `width` digits at `pos` into `out`; returns false when they are not there.
bool digits(std::string_view text, std::size_t& pos, int width, int& out) {
  if (pos + width > text.size()) return false;
  out = 0;
  for (int i = 0; i < width; ++i) {
    const char c = text[pos + i];
    if (c < '0' || c > '9') return false;
    out = out * 10 + (c - '0');
  }
  pos += width;
  return true;
}

bool expect(std::string_view text, std::size_t& pos, char c) {
  if (pos >= text.size() || text[pos] != c) return false;
  ++pos;
  return true;
}

int daysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

bool isIsoDateText(std::string_view text) {
  std::size_t pos = 0;
  int year, month, day;
  if (!digits(text, pos, 4, year) || !expect(text, pos, '-') || !digits(text, pos, 2, month) ||
      !expect(text, pos, '-') || !digits(text, pos, 2, day))
    return false;
  if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month)) return false;
  if (pos == text.size()) return true;
  if (text[pos] != 'T' && text[pos] != ' ') return false;
  ++pos;
  int hour, minute, second = 0;
  if (!digits(text, pos, 2, hour) || !expect(text, pos, ':') || !digits(text, pos, 2, minute)) return false;
  if (hour > 23 || minute > 59) return false;
  if (expect(text, pos, ':')) {
    if (!digits(text, pos, 2, second) || second > 59) return false;
    if (expect(text, pos, '.')) {
      const std::size_t start = pos;
      while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') ++pos;
      if (pos == start || pos - start > 9) return false;
    }
  }
  if (pos == text.size()) return true;
  if (text[pos] == 'Z') return pos + 1 == text.size();
  if (text[pos] != '+' && text[pos] != '-') return false;
  ++pos;
  int offsetHours, offsetMinutes;
  if (!digits(text, pos, 2, offsetHours) || !expect(text, pos, ':') || !digits(text, pos, 2, offsetMinutes))
    return false;
  return offsetHours <= 23 && offsetMinutes <= 59 && pos == text.size();
}

}  // namespace

std::optional<std::int64_t> parseIsoDate(std::string_view text) {
  if (auto fast = parsePreciseDate(text)) return fast;
  if (!isIsoDateText(text)) return std::nullopt;
  return millisFromDate(DateFormatter::sharedFormatter().dateFromString(text));
}

std::string preciseDateText(std::int64_t millis) {
  return DateFormatter::sharedFormatter().preciseStringFromDate(dateFromMillis(millis));
}

json::value dateValue(std::int64_t millis) {
  return json::object{{"__type", "Date"}, {"iso", preciseDateText(millis)}};
}

std::int64_t dateMillis(const json::value& dateDict) {
  const auto* iso = member(dateDict.get_object(), "iso");
  if (!iso || !iso->is_string()) return 0;
  return parseIsoDate(iso->get_string()).value_or(0);
}

std::string_view stringOf(const json::value& v) {
  if (!v.is_string()) return {};
  return v.get_string();
}

bool sameValue(const json::value& a, const json::value& b) {
  const ValueKind ka = kindOf(a), kb = kindOf(b);
  if (ka != kb) return false;
  switch (ka) {
    case ValueKind::Null: return true;
    case ValueKind::Bool: return a.get_bool() == b.get_bool();
    case ValueKind::Number: return numberOf(a) == numberOf(b);
    case ValueKind::String: return a.get_string() == b.get_string();
    case ValueKind::Date: return dateMillis(a) == dateMillis(b);
    case ValueKind::Pointer: {
      const auto& oa = a.get_object();
      const auto& ob = b.get_object();
      const auto* ca = member(oa, "className");
      const auto* cb = member(ob, "className");
      const auto* ia = member(oa, "objectId");
      const auto* ib = member(ob, "objectId");
      return ca && cb && ia && ib && *ca == *cb && *ia == *ib;
    }
    case ValueKind::GeoPoint: {
      const auto& oa = a.get_object();
      const auto& ob = b.get_object();
      const auto* la = member(oa, "latitude");
      const auto* lb = member(ob, "latitude");
      const auto* ga = member(oa, "longitude");
      const auto* gb = member(ob, "longitude");
      return la && lb && ga && gb && numberOf(*la) == numberOf(*lb) && numberOf(*ga) == numberOf(*gb);
    }
    case ValueKind::Array: {
      const auto& xa = a.get_array();
      const auto& xb = b.get_array();
      if (xa.size() != xb.size()) return false;
      for (std::size_t i = 0; i < xa.size(); ++i)
        if (!sameValue(xa[i], xb[i])) return false;
      return true;
    }
    case ValueKind::Bytes: case ValueKind::File: case ValueKind::Relation: case ValueKind::Object: {
      const auto& oa = a.get_object();
      const auto& ob = b.get_object();
      if (oa.size() != ob.size()) return false;
      for (const auto& entry : oa) {
        const auto* other = member(ob, entry.key());
        if (!other || !sameValue(entry.value(), *other)) return false;
      }
      return true;
    }
  }
  return false;
}

std::optional<int> compareOrdered(const json::value& a, const json::value& b) {
  const ValueKind ka = kindOf(a);
  if (ka != kindOf(b)) return std::nullopt;
  switch (ka) {
    case ValueKind::Number: {
      const double x = numberOf(a), y = numberOf(b);
      return x < y ? -1 : (x > y ? 1 : 0);
    }
    case ValueKind::String: {
      const int c = std::string_view(a.get_string()).compare(std::string_view(b.get_string()));
      return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    case ValueKind::Date: {
      const auto x = dateMillis(a), y = dateMillis(b);
      return x < y ? -1 : (x > y ? 1 : 0);
    }
    default: return std::nullopt;
  }
}

int compareForSort(const json::value* a, const json::value* b) {
  const int ra = kindRank(a), rb = kindRank(b);
  if (ra != rb) return ra < rb ? -1 : 1;
  if (!a || !b) return 0;
  if (auto c = compareOrdered(*a, *b)) return *c;
  if (a->is_bool() && b->is_bool()) return static_cast<int>(a->get_bool()) - static_cast<int>(b->get_bool());
  if (kindOf(*a) == ValueKind::Pointer) {
    const auto ia = stringOf(a->get_object().contains("objectId") ? a->get_object().at("objectId") : json::value());
    const auto ib = stringOf(b->get_object().contains("objectId") ? b->get_object().at("objectId") : json::value());
    return ia.compare(ib) < 0 ? -1 : (ia == ib ? 0 : 1);
  }
  if (a->is_array() && b->is_array()) {
    const auto& xa = a->get_array();
    const auto& xb = b->get_array();
    for (std::size_t i = 0; i < xa.size() && i < xb.size(); ++i)
      if (int c = compareForSort(&xa[i], &xb[i])) return c;
    return xa.size() < xb.size() ? -1 : (xa.size() > xb.size() ? 1 : 0);
  }
  return 0;
}

double geoDistanceRadians(const json::value& a, const json::value& b) {
  constexpr double kRad = 3.14159265358979323846 / 180.0;
  const auto& oa = a.get_object();
  const auto& ob = b.get_object();
  const double lat1 = numberOf(oa.at("latitude")) * kRad, lon1 = numberOf(oa.at("longitude")) * kRad;
  const double lat2 = numberOf(ob.at("latitude")) * kRad, lon2 = numberOf(ob.at("longitude")) * kRad;
  const double dLat = lat2 - lat1, dLon = lon2 - lon1;
  const double h = std::sin(dLat / 2) * std::sin(dLat / 2) +
                   std::cos(lat1) * std::cos(lat2) * std::sin(dLon / 2) * std::sin(dLon / 2);
  return 2 * std::asin(std::min(1.0, std::sqrt(h)));
}

}  // namespace keel::server
