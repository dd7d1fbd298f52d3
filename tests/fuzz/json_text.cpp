// Fuzz target: JSON text -> Value through JSONSerialization.
//
// For any bytes:
//  - reading never crashes, and refuses what it refuses with a message;
//  - it accepts exactly what Boost.JSON's own parser accepts within the reader's limits (nesting
//    depth, finite numbers), and reads the same document (allowing for Boost's own inexact
//    reading of floating numbers);
//  - a document that is one floating number reads as the C library's correctly rounded strtod;
//  - what it accepts writes out, reads back to the same value (number kinds included), and
//    writes out again as the same text.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include <boost/json.hpp>

#include <keel/base/Exception.h>
#include <keel/base/JSONSerialization.h>
#include <keel/base/Logger.h>
#include <keel/base/Value.h>

namespace {

using keel::Value;

[[noreturn]] void fail(const char* what, std::string_view input) {
  std::fprintf(stderr, "json_text: %s\ninput (%zu bytes): %.*s\n", what, input.size(), static_cast<int>(input.size()),
               input.data());
  std::abort();
}

// Boost.JSON's own reading of long floating numbers can be a few units in the last place off.
bool closeToReference(double mine, double reference) {
  if (mine == reference) return true;
  return std::fabs(mine - reference) <= 1e-14 * std::fabs(reference);
}

// Returns true iff `a` and `b` are the same value: the same number kinds, the same bits of every
// floating number (the sign of zero too), the same key order.
bool same(const Value& a, const Value& b) {
  if (a.type() != b.type()) return false;
  switch (a.type()) {
    case Value::Type::Null:
      return true;
    case Value::Type::Number: {
      if (a.numberKind() != b.numberKind()) return false;
      if (a.isIntegerNumber()) return a.int64Value() == b.int64Value();
      double x = a.doubleValue(), y = b.doubleValue();
      return x == y && std::signbit(x) == std::signbit(y);
    }
    case Value::Type::String:
      return a.stringValue() == b.stringValue();
    case Value::Type::Array: {
      const auto& x = a.arrayValue();
      const auto& y = b.arrayValue();
      if (x.size() != y.size()) return false;
      for (std::size_t i = 0; i < x.size(); ++i) {
        if (!same(x[i], y[i])) return false;
      }
      return true;
    }
    case Value::Type::Dictionary: {
      const auto& x = a.dictionaryValue();
      const auto& y = b.dictionaryValue();
      if (x.size() != y.size()) return false;
      auto i = x.begin();
      auto j = y.begin();
      for (; i != x.end(); ++i, ++j) {
        if (i->first != j->first || !same(i->second, j->second)) return false;
      }
      return true;
    }
    default:
      return false;  // JSON text never yields dates, bytes or references
  }
}

// Returns true iff `v` is what the reference document `j` holds. Boost.JSON's own reading of
// floating numbers is not exact, and it reads a zero with a huge exponent ("0e400") as NaN: a
// non-finite number in the reference matches any floating number.
bool sameAsReference(const Value& v, const boost::json::value& j) {
  switch (j.kind()) {
    case boost::json::kind::null:
      return v.isNull();
    case boost::json::kind::bool_:
      return v.isBool() && v.boolValue() == j.get_bool();
    case boost::json::kind::int64:
      return v.isNumber() && v.numberKind() == Value::NumberKind::Int64 && v.int64Value() == j.get_int64();
    case boost::json::kind::uint64: {
      std::uint64_t u = j.get_uint64();
      if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return v.isNumber() && v.numberKind() == Value::NumberKind::Int64 &&
               v.int64Value() == static_cast<std::int64_t>(u);
      }
      return v.isNumber() && v.numberKind() == Value::NumberKind::Double &&
             closeToReference(v.doubleValue(), static_cast<double>(u));
    }
    case boost::json::kind::double_: {
      if (!v.isNumber() || v.numberKind() != Value::NumberKind::Double) return false;
      double d = j.get_double();
      return !std::isfinite(d) || closeToReference(v.doubleValue(), d);
    }
    case boost::json::kind::string: {
      const auto& s = j.get_string();
      return v.isString() && v.stringValue() == std::string_view(s.data(), s.size());
    }
    case boost::json::kind::array: {
      const auto& a = j.get_array();
      if (!v.isArray() || v.arrayValue().size() != a.size()) return false;
      for (std::size_t i = 0; i < a.size(); ++i) {
        if (!sameAsReference(v.arrayValue()[i], a[i])) return false;
      }
      return true;
    }
    case boost::json::kind::object: {
      const auto& o = j.get_object();
      if (!v.isDictionary() || v.dictionaryValue().size() != o.size()) return false;
      for (const auto& entry : o) {
        const Value* mine = v.dictionaryValue().find(std::string_view(entry.key().data(), entry.key().size()));
        if (!mine || !sameAsReference(*mine, entry.value())) return false;
      }
      return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Refused input is logged at error level; thousands of lines a second would only slow the run.
  keel::Logger::sharedLogger().setLogLevel(0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);

  std::string failure;
  std::optional<Value> parsed = keel::JSONSerialization::JSONObjectFromString(text, failure);
  if (!parsed && failure.empty()) fail("refused without saying why", text);

  // The reference: Boost.JSON's parser with a depth limit well above the reader's.
  boost::json::parse_options options;
  options.max_depth = 1024;
  boost::system::error_code ec;
  boost::json::value reference = boost::json::parse(boost::json::string_view(text.data(), text.size()), ec, {}, options);
  if (!parsed) {
    if (ec) return 0;
    // Boost read it: the reader may only refuse what the conversion refuses too (too deep,
    // numbers beyond a double).
    try {
      keel::JSONSerialization::fromBoost(reference);
    } catch (const keel::InvalidArgumentException&) {
      return 0;
    }
    fail("refused a document Boost.JSON reads", text);
  }
  // Boost.JSON refuses exponents beyond 32 bits ("1e-99999999999", which is 0); there it
  // cannot serve as the reference.
  if (ec != boost::json::error::exponent_overflow) {
    if (ec) fail("accepted a document Boost.JSON refuses", text);
    if (!sameAsReference(*parsed, reference)) fail("read differently from Boost.JSON", text);
  }

  // Exactness, where the text is one number: the C library reads it correctly rounded.
  if (parsed->isNumber() && parsed->numberKind() == Value::NumberKind::Double) {
    std::string number(text);
    double exact = std::strtod(number.c_str(), nullptr);
    if (parsed->doubleValue() != exact || std::signbit(parsed->doubleValue()) != std::signbit(exact)) {
      fail("read a floating number inexactly", text);
    }
  }

  // Round trip. Writing what was read must not throw: every string is UTF-8 and every number
  // finite by now.
  std::string written = keel::JSONSerialization::stringFromJSONObject(*parsed);
  std::optional<Value> reread = keel::JSONSerialization::JSONObjectFromString(written, failure);
  if (!reread) fail(("its own output does not read back: " + failure + "\noutput: " + written).c_str(), text);
  if (!same(*parsed, *reread)) fail(("changed on a round trip; output: " + written).c_str(), text);
  if (!(*parsed == *reread)) fail("round trip not equal by Value equality", text);
  if (keel::JSONSerialization::stringFromJSONObject(*reread) != written) {
    fail(("written differently the second time; first: " + written).c_str(), text);
  }
  return 0;
}
