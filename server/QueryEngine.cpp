#include "server/QueryEngine.h"

#include <boost/regex.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>

#include <fmt/format.h>

#include "server/ApiError.h"
#include "server/JsonValues.h"

namespace keel::server {

namespace {

constexpr int kDefaultLimit = 100;
constexpr int kMaxLimit = 1000;
constexpr int kMaxDepth = 8;
constexpr std::size_t kMaxRegexLength = 4096;

[[noreturn]] void invalid(const std::string& message) { throw ApiError(kInvalidQuery, message); }

std::vector<std::string> splitList(std::string_view text, char sep) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= text.size()) {
    const auto end = text.find(sep, start);
    const auto piece = text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (!piece.empty()) parts.emplace_back(piece);
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return parts;
}

// Reads a paging number sent as text ("%d") or as a JSON number.
std::optional<long long> integerParam(const json::object& params, std::string_view key) {
  auto it = params.find(key);
  if (it == params.end() || it->value().is_null()) return std::nullopt;
  const auto& v = it->value();
  if (v.is_int64()) return v.get_int64();
  if (v.is_uint64()) return static_cast<long long>(std::min<std::uint64_t>(v.get_uint64(), 1u << 30));
  if (v.is_double() && std::floor(v.get_double()) == v.get_double() && std::abs(v.get_double()) < 1e9)
    return static_cast<long long>(v.get_double());
  if (v.is_string()) {
    const std::string s(v.get_string());
    if (s.empty()) return std::nullopt;
    char* end = nullptr;
    const long long n = std::strtoll(s.c_str(), &end, 10);
    if (end && *end == '\0' && std::abs(n) < (1LL << 30)) return n;
  }
  invalid(fmt::format("Invalid {}: {}", key, json::serialize(v)));
}

bool truthy(const json::object& params, std::string_view key) {
  auto it = params.find(key);
  if (it == params.end()) return false;
  const auto& v = it->value();
  if (v.is_bool()) return v.get_bool();
  if (v.is_int64()) return v.get_int64() != 0;
  if (v.is_uint64()) return v.get_uint64() != 0;
  if (v.is_string()) return v.get_string() == "1" || v.get_string() == "true";
  return false;
}

const json::value* param(const json::object& params, std::string_view key) {
  auto it = params.find(key);
  return it == params.end() ? nullptr : &it->value();
}

// Reads a "where" sent as an object or, in a query string, as JSON text.
json::object whereParam(const json::object& params) {
  const auto* w = param(params, "where");
  if (!w || w->is_null()) return {};
  if (w->is_object()) return w->get_object();
  if (w->is_string()) {
    if (w->get_string().empty()) return {};
    boost::system::error_code ec;
    auto parsed = parseJson(std::string_view(w->get_string()), ec);
    if (ec) throw ApiError(kInvalidJSON, "Invalid JSON in where: " + ec.message());
    if (parsed.is_object()) return std::move(parsed.get_object());
  }
  invalid("where must be a JSON object");
}

// Refuses a date operand that names no date: compared as some arbitrary instant, it would
// quietly match the wrong objects.
void checkDateOperands(const json::value& v) {
  if (v.is_array()) {
    for (const auto& e : v.get_array()) checkDateOperands(e);
  } else if (v.is_object()) {
    if (kindOf(v) == ValueKind::Date) {
      const auto* iso = v.get_object().if_contains("iso");
      if (!iso || !iso->is_string() || !parseIsoDate(iso->get_string()))
        invalid(fmt::format("Invalid date: {}", json::serialize(v)));
      return;
    }
    for (const auto& e : v.get_object()) checkDateOperands(e.value());
  }
}

bool isGeoPoint(const json::value& v) {
  if (kindOf(v) != ValueKind::GeoPoint) return false;
  const auto& o = v.get_object();
  auto la = o.find("latitude");
  auto lo = o.find("longitude");
  return la != o.end() && lo != o.end() && kindOf(la->value()) == ValueKind::Number &&
         kindOf(lo->value()) == ValueKind::Number;
}

double latitudeOf(const json::value& v) { return numberOf(v.get_object().at("latitude")); }
double longitudeOf(const json::value& v) { return numberOf(v.get_object().at("longitude")); }

// Equality as a field sees it: an array field equals an operand it holds; a null operand also
// matches a missing field.
bool fieldEquals(const json::value* field, const json::value& operand) {
  if (operand.is_null()) {
    if (!field || field->is_null()) return true;
    if (field->is_array())
      return std::any_of(field->get_array().begin(), field->get_array().end(),
                         [](const json::value& e) { return e.is_null(); });
    return false;
  }
  if (!field) return false;
  if (sameValue(*field, operand)) return true;
  if (field->is_array())
    for (const auto& element : field->get_array())
      if (sameValue(element, operand)) return true;
  return false;
}

// True iff the field (or any element of an array field) satisfies `test`.
template <class Test>
bool anyScalar(const json::value* field, Test&& test) {
  if (!field) return false;
  if (field->is_array()) {
    for (const auto& element : field->get_array())
      if (test(element)) return true;
    return false;
  }
  return test(*field);
}

// Rewrites \Q...\E spans into escaped literals, so the pattern means the same to the matcher
// whatever its own support for quoting.
std::string expandQuoting(std::string_view pattern) {
  std::string out;
  out.reserve(pattern.size());
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '\\' && i + 1 < pattern.size() && pattern[i + 1] == 'Q') {
      i += 2;
      const auto end = pattern.find("\\E", i);
      const auto literal = pattern.substr(i, end == std::string_view::npos ? std::string_view::npos : end - i);
      for (char c : literal) {
        if (std::string_view("\\^$.|?*+()[]{}/-").find(c) != std::string_view::npos) out += '\\';
        out += c;
      }
      if (end == std::string_view::npos) break;
      i = end + 1;
      continue;
    }
    if (pattern[i] == '\\' && i + 1 < pattern.size()) {
      out += pattern[i];
      out += pattern[++i];
      continue;
    }
    out += pattern[i];
  }
  return out;
}

std::shared_ptr<boost::regex> compileRegex(std::string_view pattern, std::string_view options) {
  if (pattern.size() > kMaxRegexLength) invalid("Regular expression is too long.");
  auto flags = boost::regex::perl | boost::regex::no_mod_m | boost::regex::no_mod_s;
  for (char c : options) {
    switch (c) {
      case 'i': flags |= boost::regex::icase; break;
      case 'm': flags &= ~boost::regex::no_mod_m; break;
      case 's': flags &= ~boost::regex::no_mod_s; flags |= boost::regex::mod_s; break;
      case 'x': flags |= boost::regex::mod_x; break;
      default: invalid(fmt::format("Invalid regex option: {}", c));
    }
  }
  try {
    return std::make_shared<boost::regex>(expandQuoting(pattern), flags);
  } catch (const boost::regex_error& e) {
    invalid(fmt::format("Invalid regular expression: {}", e.what()));
  }
}

bool regexMatches(const boost::regex& re, const json::value& v) {
  if (!v.is_string()) return false;
  const auto& s = v.get_string();
  try {
    return boost::regex_search(s.begin(), s.end(), re);
  } catch (const std::runtime_error&) {
    // The matcher gives up on patterns whose cost explodes on this text: treat it as no match
    // rather than letting one request pin a thread.
    return false;
  }
}

struct PointerSet {
  std::string className;
  std::set<std::string> ids;
  bool holds(const json::value& v) const {
    if (kindOf(v) != ValueKind::Pointer) return false;
    const auto& o = v.get_object();
    auto c = o.find("className");
    auto i = o.find("objectId");
    return c != o.end() && i != o.end() && c->value().is_string() && i->value().is_string() &&
           c->value().get_string() == className && ids.count(std::string(i->value().get_string())) > 0;
  }
};

// Reads "order" as a list of keys ("-" prefix for descending), refusing operator names.
std::vector<std::string> orderParam(const json::object& params) {
  std::vector<std::string> order;
  if (const auto* o = param(params, "order"); o && o->is_string()) order = splitList(o->get_string(), ',');
  else if (o && o->is_array())
    for (const auto& k : o->get_array())
      if (k.is_string()) order.emplace_back(k.get_string());
  for (const auto& key : order)
    if (key == "-" || key.starts_with("$") || key.starts_with("-$")) invalid(fmt::format("Invalid order key: {}", key));
  return order;
}

// Returns the SQL ORDER BY list that sorts rows exactly as the in-memory sort would, when the
// order uses only createdAt and objectId; none otherwise. The in-memory sort is stable over
// insertion order, so ties end in seq order; an objectId term is unique and ends the order.
std::optional<std::string> sqlOrderFor(const std::vector<std::string>& order) {
  if (order.empty()) return std::nullopt;
  std::string sql;
  for (const auto& term : order) {
    const bool descending = term[0] == '-';
    const std::string_view key = descending ? std::string_view(term).substr(1) : std::string_view(term);
    const char* column = key == "createdAt" ? "o.created_at" : key == "objectId" ? "o.id" : nullptr;
    if (!column) return std::nullopt;
    if (!sql.empty()) sql += ", ";
    sql += column;
    if (descending) sql += " DESC";
    if (key == "objectId") return sql;
  }
  return sql + ", o.seq";
}

// A row bound under construction: its SQL parts (all must hold) and the range of creation
// times they allow, so that an "$or" of keyset branches can still give SQL one range to seek.
struct Bound {
  std::vector<RowFilter> parts;
  std::optional<std::int64_t> lowest, highest;  // inclusive
  void narrow(std::optional<std::int64_t> lo, std::optional<std::int64_t> hi) {
    if (lo) lowest = lowest ? std::max(*lowest, *lo) : *lo;
    if (hi) highest = highest ? std::min(*highest, *hi) : *hi;
  }
};

// Adds the SQL bound that a createdAt or objectId condition puts on a row, if it has one.
void boundOfField(std::string_view key, const json::value& condition, Bound& out) {
  const bool created = key == "createdAt";
  if (!created && key != "objectId") return;
  const char* column = created ? "o.created_at" : "o.id";
  auto add = [&](std::string_view op, const json::value& operand) {
    RowFilter part;
    if (created && kindOf(operand) == ValueKind::Date) {
      const auto* iso = operand.get_object().if_contains("iso");
      const auto millis = iso && iso->is_string() ? parseIsoDate(iso->get_string()) : std::nullopt;
      if (!millis) return;
      part.args.emplace_back(*millis);
      const bool above = op[0] == '>' || op[0] == '=';
      const bool below = op[0] == '<' || op[0] == '=';
      const bool strict = op == ">" || op == "<";
      out.narrow(above ? std::optional(*millis + (strict ? 1 : 0)) : std::nullopt,
                 below ? std::optional(*millis - (strict ? 1 : 0)) : std::nullopt);
    } else if (!created && operand.is_string()) {
      part.args.emplace_back(std::string(operand.get_string()));
    } else {
      return;  // never matches, or matches in ways SQL does not see; the predicate decides
    }
    part.sql = fmt::format("{} {} ?", column, op);
    out.parts.push_back(std::move(part));
  };
  const bool isOperators = condition.is_object() && !condition.get_object().empty() &&
                           condition.get_object().begin()->key().starts_with("$");
  if (!isOperators) return add("=", condition);
  for (const auto& entry : condition.get_object()) {
    const auto op = entry.key();
    if (op == "$eq") add("=", entry.value());
    else if (op == "$gt") add(">", entry.value());
    else if (op == "$gte") add(">=", entry.value());
    else if (op == "$lt") add("<", entry.value());
    else if (op == "$lte") add("<=", entry.value());
  }
}

RowFilter joinFilters(std::vector<RowFilter>& parts, const char* glue) {
  if (parts.size() == 1) return std::move(parts[0]);
  RowFilter out;
  for (auto& part : parts) {
    if (!out.sql.empty()) out.sql += glue;
    out.sql += "(" + part.sql + ")";
    for (auto& arg : part.args) out.args.push_back(std::move(arg));
  }
  return out;
}

// Collects the conditions on createdAt/objectId that every object matching `where` meets.
// "$or" bounds only when each branch does; its branches' creation-time ranges are joined into
// one range as well, which SQL can seek to (it cannot seek for an OR of ranges).
Bound boundOf(const json::object& where) {
  Bound out;
  for (const auto& entry : where) {
    const auto key = entry.key();
    if ((key == "$or" || key == "$and") && entry.value().is_array()) {
      const bool any = key == "$or";
      std::vector<RowFilter> branches;
      std::optional<std::int64_t> lowest, highest;
      bool allLow = true, allHigh = true;
      for (const auto& sub : entry.value().get_array()) {
        Bound inner = sub.is_object() ? boundOf(sub.get_object()) : Bound{};
        if (inner.parts.empty()) {
          if (any) {
            branches.clear();
            break;
          }
          continue;
        }
        if (any) {
          allLow = allLow && inner.lowest;
          allHigh = allHigh && inner.highest;
          if (inner.lowest) lowest = lowest ? std::min(*lowest, *inner.lowest) : *inner.lowest;
          if (inner.highest) highest = highest ? std::max(*highest, *inner.highest) : *inner.highest;
        } else {
          out.narrow(inner.lowest, inner.highest);
        }
        branches.push_back(joinFilters(inner.parts, " AND "));
      }
      if (branches.empty()) continue;
      out.parts.push_back(joinFilters(branches, any ? " OR " : " AND "));
      if (any) {
        if (allLow && lowest) out.parts.push_back(RowFilter{"o.created_at >= ?", {*lowest}});
        if (allHigh && highest) out.parts.push_back(RowFilter{"o.created_at <= ?", {*highest}});
        out.narrow(allLow ? lowest : std::nullopt, allHigh ? highest : std::nullopt);
      }
    } else {
      boundOfField(key, entry.value(), out);
    }
  }
  return out;
}

std::optional<RowFilter> rowBound(const json::object& where) {
  Bound bound = boundOf(where);
  if (bound.parts.empty()) return std::nullopt;
  return joinFilters(bound.parts, " AND ");
}

bool isPlainKey(std::string_view key) {
  return !key.empty() && key.find('.') == std::string_view::npos && key != "objectId" && key != "createdAt" &&
         key != "updatedAt";
}

}  // namespace

const json::value* fieldValue(const StoredObject& object, std::string_view key, json::value& scratch) {
  if (key == "objectId") {
    scratch = json::string(object.objectId);
    return &scratch;
  }
  if (key == "createdAt") {
    scratch = dateValue(object.createdAt);
    return &scratch;
  }
  if (key == "updatedAt") {
    scratch = dateValue(object.updatedAt);
    return &scratch;
  }
  const auto dot = key.find('.');
  auto it = object.fields.find(key.substr(0, dot));
  if (it == object.fields.end()) return nullptr;
  const json::value* v = &it->value();
  std::string_view rest = dot == std::string_view::npos ? std::string_view() : key.substr(dot + 1);
  while (!rest.empty()) {
    if (!v->is_object()) return nullptr;
    const auto next = rest.find('.');
    auto child = v->get_object().find(rest.substr(0, next));
    if (child == v->get_object().end()) return nullptr;
    v = &child->value();
    rest = next == std::string_view::npos ? std::string_view() : rest.substr(next + 1);
  }
  return v;
}

struct QueryEngine::Compiled {
  Predicate predicate = [](const StoredObject&) { return true; };
  // Ways to the candidates, best first; empty means a class scan.
  std::optional<std::vector<std::string>> ids;
  std::optional<std::pair<std::string, json::value>> equal;
  // A $nearSphere at the top level orders results by distance.
  std::optional<std::pair<std::string, json::value>> near;
  // A bound on createdAt/objectId that SQL can apply before any document is read.
  std::optional<RowFilter> rows;
};

QueryEngine::Predicate QueryEngine::compileField(const std::string& /*className*/, const std::string& key,
                                                 const json::value& condition, Compiled& out, int depth) {
  const bool isOperators = condition.is_object() && !condition.get_object().empty() &&
                           condition.get_object().begin()->key().starts_with("$");
  if (!isOperators) {
    if (key == "objectId" && condition.is_string()) out.ids = std::vector<std::string>{std::string(condition.get_string())};
    else if (isPlainKey(key) && StoreConnection::isIndexable(condition) && !out.equal) out.equal = {key, condition};
    json::value operand = condition;
    return [key, operand](const StoredObject& o) {
      json::value scratch;
      return fieldEquals(fieldValue(o, key, scratch), operand);
    };
  }

  const auto& ops = condition.get_object();
  std::vector<Predicate> tests;
  for (const auto& entry : ops) {
    const std::string op(entry.key());
    const json::value& operand = entry.value();
    if (op == "$eq") {
      tests.push_back([key, operand](const StoredObject& o) {
        json::value s;
        return fieldEquals(fieldValue(o, key, s), operand);
      });
    } else if (op == "$ne") {
      tests.push_back([key, operand](const StoredObject& o) {
        json::value s;
        return !fieldEquals(fieldValue(o, key, s), operand);
      });
    } else if (op == "$lt" || op == "$lte" || op == "$gt" || op == "$gte") {
      const ValueKind k = kindOf(operand);
      if (k != ValueKind::Number && k != ValueKind::String && k != ValueKind::Date)
        invalid(fmt::format("{} needs a number, string or date, not {}", op, json::serialize(operand)));
      const int which = op == "$lt" ? 0 : op == "$lte" ? 1 : op == "$gt" ? 2 : 3;
      tests.push_back([key, operand, which](const StoredObject& o) {
        json::value s;
        return anyScalar(fieldValue(o, key, s), [&](const json::value& v) {
          const auto c = compareOrdered(v, operand);
          if (!c) return false;
          switch (which) {
            case 0: return *c < 0;
            case 1: return *c <= 0;
            case 2: return *c > 0;
            default: return *c >= 0;
          }
        });
      });
    } else if (op == "$in" || op == "$nin") {
      if (!operand.is_array()) invalid(fmt::format("bad {} value: {}", op, json::serialize(operand)));
      if (key == "objectId" && op == "$in" && !out.ids) {
        std::vector<std::string> ids;
        bool allStrings = true;
        for (const auto& e : operand.get_array()) {
          if (!e.is_string()) allStrings = false;
          else ids.emplace_back(e.get_string());
        }
        if (allStrings) out.ids = std::move(ids);
      }
      const bool negate = op == "$nin";
      json::array values = operand.get_array();
      tests.push_back([key, values, negate](const StoredObject& o) {
        json::value s;
        const auto* f = fieldValue(o, key, s);
        const bool found = std::any_of(values.begin(), values.end(),
                                       [&](const json::value& v) { return fieldEquals(f, v); });
        return found != negate;
      });
    } else if (op == "$all") {
      if (!operand.is_array()) invalid(fmt::format("bad $all value: {}", json::serialize(operand)));
      json::array values = operand.get_array();
      tests.push_back([key, values](const StoredObject& o) {
        json::value s;
        const auto* f = fieldValue(o, key, s);
        if (!f || !f->is_array() || values.empty()) return false;
        return std::all_of(values.begin(), values.end(), [&](const json::value& v) { return fieldEquals(f, v); });
      });
    } else if (op == "$exists") {
      if (!operand.is_bool()) invalid(fmt::format("bad $exists value: {}", json::serialize(operand)));
      const bool want = operand.get_bool();
      tests.push_back([key, want](const StoredObject& o) {
        json::value s;
        return (fieldValue(o, key, s) != nullptr) == want;
      });
    } else if (op == "$regex") {
      if (!operand.is_string()) invalid(fmt::format("bad $regex value: {}", json::serialize(operand)));
      std::string_view options;
      if (auto it = ops.find("$options"); it != ops.end()) {
        if (!it->value().is_string()) invalid("bad $options value");
        options = it->value().get_string();
      }
      auto re = compileRegex(operand.get_string(), options);
      tests.push_back([key, re](const StoredObject& o) {
        json::value s;
        return anyScalar(fieldValue(o, key, s), [&](const json::value& v) { return regexMatches(*re, v); });
      });
    } else if (op == "$options") {
      if (!ops.contains("$regex")) invalid("$options needs a $regex");
    } else if (op == "$nearSphere") {
      if (!isGeoPoint(operand)) invalid("bad $nearSphere value: a GeoPoint is needed");
      double maxDistance = -1;
      for (const auto& [name, scale] : std::initializer_list<std::pair<const char*, double>>{
               {"$maxDistance", 1.0}, {"$maxDistanceInRadians", 1.0}, {"$maxDistanceInMiles", 3958.8},
               {"$maxDistanceInKilometers", 6371.0}}) {
        if (auto it = ops.find(name); it != ops.end()) {
          if (kindOf(it->value()) != ValueKind::Number || numberOf(it->value()) < 0)
            invalid(fmt::format("bad {} value", name));
          maxDistance = numberOf(it->value()) / scale;
        }
      }
      if (!out.near) out.near = {key, operand};
      tests.push_back([key, operand, maxDistance](const StoredObject& o) {
        json::value s;
        const auto* f = fieldValue(o, key, s);
        if (!f || !isGeoPoint(*f)) return false;
        return maxDistance < 0 || geoDistanceRadians(*f, operand) <= maxDistance;
      });
    } else if (op.starts_with("$maxDistance")) {
      if (!ops.contains("$nearSphere")) invalid(op + " needs a $nearSphere");
    } else if (op == "$within" || op == "$geoWithin") {
      const json::value* box = operand.is_object() && operand.get_object().contains("$box")
                                   ? &operand.get_object().at("$box") : nullptr;
      if (!box || !box->is_array() || box->get_array().size() != 2 || !isGeoPoint(box->get_array()[0]) ||
          !isGeoPoint(box->get_array()[1]))
        invalid("bad $within value: {\"$box\": [southwest, northeast]} is needed");
      const double south = latitudeOf(box->get_array()[0]), west = longitudeOf(box->get_array()[0]);
      const double north = latitudeOf(box->get_array()[1]), east = longitudeOf(box->get_array()[1]);
      if (south > north) invalid("The southwest corner of a geo box must be south of the northeast corner.");
      tests.push_back([key, south, west, north, east](const StoredObject& o) {
        json::value s;
        const auto* f = fieldValue(o, key, s);
        if (!f || !isGeoPoint(*f)) return false;
        const double lat = latitudeOf(*f), lon = longitudeOf(*f);
        if (lat < south || lat > north) return false;
        // A box whose west edge lies east of its east edge spans the antimeridian.
        return west <= east ? (lon >= west && lon <= east) : (lon >= west || lon <= east);
      });
    } else if (op == "$inQuery" || op == "$notInQuery") {
      if (!operand.is_object()) invalid(fmt::format("bad {} value", op));
      PointerSet set;
      for (auto& object : runSubquery(operand.get_object(), set.className, depth)) set.ids.insert(object.objectId);
      const bool negate = op == "$notInQuery";
      tests.push_back([key, set = std::move(set), negate](const StoredObject& o) {
        json::value s;
        const bool found = anyScalar(fieldValue(o, key, s), [&](const json::value& v) { return set.holds(v); });
        return found != negate;
      });
    } else if (op == "$select" || op == "$dontSelect") {
      if (!operand.is_object()) invalid(fmt::format("bad {} value", op));
      const auto& sel = operand.get_object();
      auto q = sel.find("query");
      auto k = sel.find("key");
      if (q == sel.end() || !q->value().is_object() || k == sel.end() || !k->value().is_string())
        invalid(fmt::format("bad {} value: \"query\" and \"key\" are needed", op));
      std::string subclass;
      const std::string selectKey(k->value().get_string());
      auto values = std::make_shared<json::array>();
      for (auto& object : runSubquery(q->value().get_object(), subclass, depth)) {
        json::value s;
        if (const auto* v = fieldValue(object, selectKey, s)) values->push_back(*v);
      }
      const bool negate = op == "$dontSelect";
      tests.push_back([key, values, negate](const StoredObject& o) {
        json::value s;
        const auto* f = fieldValue(o, key, s);
        const bool found = std::any_of(values->begin(), values->end(),
                                       [&](const json::value& v) { return f && fieldEquals(f, v); });
        return found != negate;
      });
    } else {
      invalid(fmt::format("bad constraint: {}", op));
    }
  }
  return [tests = std::move(tests)](const StoredObject& o) {
    for (const auto& t : tests)
      if (!t(o)) return false;
    return true;
  };
}

QueryEngine::Compiled QueryEngine::compile(const std::string& className, const json::object& where, int depth) {
  if (depth > kMaxDepth) invalid("The query nests sub-queries too deeply.");
  for (const auto& entry : where) checkDateOperands(entry.value());
  Compiled out;
  std::vector<Predicate> tests;
  for (const auto& entry : where) {
    const std::string key(entry.key());
    const auto& value = entry.value();
    if (key == "$or" || key == "$and") {
      if (!value.is_array() || value.get_array().empty()) invalid(fmt::format("{} needs a non-empty array", key));
      std::vector<Predicate> parts;
      for (const auto& sub : value.get_array()) {
        if (!sub.is_object()) invalid(fmt::format("{} entries must be objects", key));
        Compiled inner = compile(className, sub.get_object(), depth + 1);
        parts.push_back(std::move(inner.predicate));
      }
      const bool any = key == "$or";
      tests.push_back([parts = std::move(parts), any](const StoredObject& o) {
        for (const auto& p : parts)
          if (p(o) == any) return any;
        return !any;
      });
    } else if (key == "$relatedTo") {
      const json::object* rel = value.is_object() ? &value.get_object() : nullptr;
      const json::value* object = rel && rel->contains("object") ? &rel->at("object") : nullptr;
      const json::value* relKey = rel && rel->contains("key") ? &rel->at("key") : nullptr;
      if (!object || kindOf(*object) != ValueKind::Pointer || !relKey || !relKey->is_string() ||
          !object->get_object().contains("className") || !object->get_object().contains("objectId"))
        invalid("bad $relatedTo value: {\"object\": pointer, \"key\": text} is needed");
      const std::string ownerClass(stringOf(object->get_object().at("className")));
      const std::string ownerId(stringOf(object->get_object().at("objectId")));
      auto ids = store_.relatedIds(ownerClass, ownerId, std::string(relKey->get_string()));
      // The members of an owner the caller may not read are not theirs to list.
      if (!access_.master) {
        auto owner = store_.get(ownerClass, ownerId);
        if (!owner || !canRead(owner->fields, access_)) ids.clear();
      }
      std::set<std::string> idSet(ids.begin(), ids.end());
      if (!out.ids) out.ids = std::move(ids);
      tests.push_back([idSet = std::move(idSet)](const StoredObject& o) { return idSet.count(o.objectId) > 0; });
    } else if (key.starts_with("$")) {
      invalid(fmt::format("Invalid key {} for find", key));
    } else {
      tests.push_back(compileField(className, key, value, out, depth));
    }
  }
  if (!tests.empty()) {
    out.predicate = [tests = std::move(tests)](const StoredObject& o) {
      for (const auto& t : tests)
        if (!t(o)) return false;
      return true;
    };
  }
  out.rows = rowBound(where);
  return out;
}

std::vector<StoredObject> QueryEngine::collect(const std::string& className, const Compiled& compiled,
                                               const std::string* sqlOrder, std::size_t stopAfter,
                                               std::string* planText) {
  std::vector<StoredObject> matched;
  std::size_t examined = 0;
  auto consider = [&](StoredObject&& o) {
    ++examined;
    if (canRead(o.fields, access_) && compiled.predicate(o)) matched.push_back(std::move(o));
    return matched.size() < stopAfter;
  };
  // Only rows one of the caller's principals may read are fetched; canRead above still decides.
  const auto principals = access_.master ? std::vector<std::string>{} : access_.principals();
  const std::vector<std::string>* readers = access_.master ? nullptr : &principals;
  std::string plan;
  if (compiled.ids) {
    plan = "ids";
    std::vector<StoredObject> found;
    std::set<std::string> seen;
    for (const auto& id : *compiled.ids) {
      if (!seen.insert(id).second) continue;
      if (auto o = store_.get(className, id)) found.push_back(std::move(*o));
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.seq < b.seq; });
    for (auto& o : found)
      if (!consider(std::move(o))) break;
  } else if (sqlOrder || compiled.rows) {
    plan = sqlOrder ? "ordered(" + *sqlOrder + ")" : std::string("rows");
    if (readers) plan += " readable";
    if (compiled.rows) plan += " bound(" + compiled.rows->sql + ")";
    if (compiled.equal) plan += " index(" + compiled.equal->first + ")";
    store_.scanFiltered(className, compiled.rows.value_or(RowFilter{}), compiled.equal,
                        sqlOrder ? *sqlOrder : std::string("o.seq"), readers, consider);
  } else if (compiled.equal) {
    plan = "index(" + compiled.equal->first + ")";
    for (auto& o : store_.findEqual(className, compiled.equal->first, compiled.equal->second))
      if (!consider(std::move(o))) break;
  } else if (!access_.master) {
    plan = "scan(readable)";
    store_.scanFiltered(className, RowFilter{}, std::nullopt, "o.seq", readers, consider);
  } else {
    plan = "scan";
    store_.scan(className, consider);
  }
  if (planText) *planText = fmt::format("{} examined={} matched={}", plan, examined, matched.size());
  return matched;
}

std::vector<StoredObject> QueryEngine::runSubquery(const json::object& query, std::string& className, int depth) {
  auto c = query.find("className");
  if (c == query.end() || !c->value().is_string() || c->value().get_string().empty())
    invalid("A sub-query needs a \"className\".");
  className = std::string(c->value().get_string());
  const Compiled compiled = compile(className, whereParam(query), depth + 1);
  const long long skip = std::max<long long>(0, integerParam(query, "skip").value_or(0));
  auto limit = integerParam(query, "limit");
  if (limit && *limit < 0) limit.reset();
  const std::size_t pageEnd = limit ? static_cast<std::size_t>(skip + *limit) : SIZE_MAX;
  auto results = select(className, compiled, orderParam(query), false, pageEnd, nullptr);
  if (skip > 0) results.erase(results.begin(), results.begin() + std::min<long long>(skip, results.size()));
  if (limit && static_cast<std::size_t>(*limit) < results.size()) results.resize(*limit);
  return results;
}

std::vector<StoredObject> QueryEngine::select(const std::string& className, const Compiled& compiled,
                                              const std::vector<std::string>& order, bool wantCount,
                                              std::size_t pageEnd, std::string* planText) {
  // Objects picked by id arrive in insertion order; only the rows of a table scan can come
  // sorted from SQL.
  const auto sqlOrder = compiled.ids ? std::nullopt : sqlOrderFor(order);
  const bool sortHere = !order.empty() && !sqlOrder;
  const bool byDistance = order.empty() && compiled.near;
  // Without sorting or counting, reading may stop as soon as the page is full.
  const bool needsAll = wantCount || sortHere || byDistance;
  auto matched = collect(className, compiled, sqlOrder ? &*sqlOrder : nullptr, needsAll ? SIZE_MAX : pageEnd, planText);

  if (sortHere) {
    std::stable_sort(matched.begin(), matched.end(), [&](const StoredObject& a, const StoredObject& b) {
      for (const auto& term : order) {
        const bool descending = term[0] == '-';
        const std::string_view key = descending ? std::string_view(term).substr(1) : std::string_view(term);
        json::value sa, sb;
        const int c = compareForSort(fieldValue(a, key, sa), fieldValue(b, key, sb));
        if (c != 0) return descending ? c > 0 : c < 0;
      }
      return false;
    });
  } else if (byDistance) {
    const auto& [key, point] = *compiled.near;
    std::vector<std::pair<double, std::size_t>> distances;
    for (std::size_t i = 0; i < matched.size(); ++i) {
      json::value s;
      distances.emplace_back(geoDistanceRadians(*fieldValue(matched[i], key, s), point), i);
    }
    std::stable_sort(distances.begin(), distances.end());
    std::vector<StoredObject> sorted;
    sorted.reserve(matched.size());
    for (const auto& d : distances) sorted.push_back(std::move(matched[d.second]));
    matched = std::move(sorted);
  }
  return matched;
}

std::vector<StoredObject> QueryEngine::matching(const std::string& className, const json::object& where) {
  return collect(className, compile(className, where, 0), nullptr, SIZE_MAX, nullptr);
}

namespace {

KeySelection parseKeys(const json::value* keys) {
  KeySelection root;
  if (!keys) {
    root.whole = true;
    return root;
  }
  std::vector<std::string> list;
  if (keys->is_string()) list = splitList(keys->get_string(), ',');
  else if (keys->is_array())
    for (const auto& k : keys->get_array())
      if (k.is_string()) list.emplace_back(k.get_string());
  for (const auto& path : list) {
    KeySelection* node = &root;
    for (const auto& part : splitList(path, '.')) node = &node->children[part];
    node->whole = true;
  }
  return root;
}

std::vector<std::vector<std::string>> parseIncludes(const json::value* include) {
  std::vector<std::vector<std::string>> paths;
  if (!include) return paths;
  std::vector<std::string> list;
  if (include->is_string()) list = splitList(include->get_string(), ',');
  else if (include->is_array())
    for (const auto& k : include->get_array())
      if (k.is_string()) list.emplace_back(k.get_string());
  for (const auto& path : list) paths.push_back(splitList(path, '.'));
  return paths;
}

}  // namespace

json::object QueryEngine::renderSelected(const StoredObject& object, const KeySelection* keys) {
  json::object out;
  out.reserve(object.fields.size() + 3);
  out["objectId"] = object.objectId;
  out["createdAt"] = preciseDateText(object.createdAt);
  out["updatedAt"] = preciseDateText(object.updatedAt);
  for (const auto& entry : object.fields) {
    if (keys && !keys->whole && !keys->children.count(std::string(entry.key()))) continue;
    out[entry.key()] = entry.value();
  }
  if (object.className == "_User") {
    // Secrets never leave through a user row; a linked service's data is its owner's alone
    // (an anonymous user's id is all it takes to log in as that user).
    out.erase("password");
    out.erase("sessionToken");
    if (!access_.master && access_.userId != object.objectId) out.erase("authData");
  }
  return out;
}

void QueryEngine::applyInclude(json::object& rendered, const std::vector<std::string>& path, std::size_t index,
                               const KeySelection* keys, std::map<std::string, std::optional<StoredObject>>& cache) {
  if (index >= path.size()) return;
  auto it = rendered.find(path[index]);
  if (it == rendered.end()) return;
  const KeySelection* childKeys = nullptr;
  if (keys && !keys->whole) {
    auto c = keys->children.find(path[index]);
    if (c != keys->children.end() && !c->second.children.empty()) childKeys = &c->second;
  }
  auto expand = [&](json::value& v) {
    if (kindOf(v) != ValueKind::Pointer) return;
    auto& o = v.get_object();
    if (o.contains("__type") && o.at("__type") == "Object") {
      applyInclude(o, path, index + 1, childKeys, cache);
      return;
    }
    const std::string cls(stringOf(o.contains("className") ? o.at("className") : json::value()));
    const std::string id(stringOf(o.contains("objectId") ? o.at("objectId") : json::value()));
    const std::string cacheKey = cls + '$' + id;
    auto found = cache.find(cacheKey);
    if (found == cache.end()) found = cache.emplace(cacheKey, store_.get(cls, id)).first;
    // A pointer to a deleted object stays a pointer, as clients expect of a dangling include;
    // one the caller may not read must look the same.
    if (!found->second || !canRead(found->second->fields, access_)) return;
    json::object full = renderSelected(*found->second, childKeys);
    applyInclude(full, path, index + 1, childKeys, cache);
    json::object wrapped;
    wrapped["__type"] = "Object";
    wrapped["className"] = cls;
    for (auto& e : full) wrapped[e.key()] = std::move(e.value());
    v = std::move(wrapped);
  };
  if (it->value().is_array()) {
    for (auto& element : it->value().get_array()) expand(element);
  } else {
    expand(it->value());
  }
}

json::object QueryEngine::render(const StoredObject& object, const json::value* keys, const json::value* include) {
  const KeySelection selection = parseKeys(keys);
  json::object out = renderSelected(object, &selection);
  std::map<std::string, std::optional<StoredObject>> cache;
  for (const auto& path : parseIncludes(include)) applyInclude(out, path, 0, &selection, cache);
  return out;
}

json::object QueryEngine::find(const std::string& requestedClass, const json::object& params) {
  const auto started = std::chrono::steady_clock::now();
  std::string className = requestedClass;
  json::object reply;

  if (const auto* redirect = param(params, "redirectClassNameForKey"); redirect && redirect->is_string()) {
    const auto type = store_.fieldType(className, std::string(redirect->get_string()));
    if (type && type->type == "Relation" && !type->target.empty()) {
      className = type->target;
      reply["className"] = className;
    }
  }

  const json::object where = whereParam(params);
  const Compiled compiled = compile(className, where, 0);

  long long limit = integerParam(params, "limit").value_or(kDefaultLimit);
  if (limit < 0) limit = kDefaultLimit;
  limit = std::min<long long>(limit, kMaxLimit);
  const long long skip = integerParam(params, "skip").value_or(0);
  if (skip < 0) invalid("Invalid skip: it must not be negative.");
  const bool wantCount = truthy(params, "count");

  const auto order = orderParam(params);
  std::string planText;
  auto matched = select(className, compiled, order, wantCount, static_cast<std::size_t>(skip + limit), &planText);

  if (wantCount) reply["count"] = static_cast<std::int64_t>(matched.size());
  json::array results;
  const KeySelection selection = parseKeys(param(params, "keys"));
  const auto includes = parseIncludes(param(params, "include"));
  std::map<std::string, std::optional<StoredObject>> cache;
  for (std::size_t i = static_cast<std::size_t>(skip); i < matched.size() && results.size() < static_cast<std::size_t>(limit); ++i) {
    json::object rendered = renderSelected(matched[i], &selection);
    for (const auto& path : includes) applyInclude(rendered, path, 0, &selection, cache);
    results.push_back(std::move(rendered));
  }
  const auto returned = results.size();
  reply["results"] = std::move(results);
  if (truthy(params, "trace")) {
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
    reply["trace"] = fmt::format("class={} plan={} returned={} time={:.3f}ms", className, planText, returned, ms);
  }
  return reply;
}

}  // namespace keel::server
