// Fuzz target: JSON text -> Value through JSONSerialization.
//
// For any bytes:
//  - reading never crashes, and refuses what it refuses with a message;
//  - it accepts exactly what Boost.JSON's own parser accepts within the reader's limits (nesting
//    depth, finite numbers), and reads the same document, numbers at most a unit in the last
//    place apart (Boost's own reading is not always exact);
//  - what it accepts writes out, reads back to the same value (number kinds included), and
//    writes out again as the same text.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

bool withinOneUlp(double a, double b) {
  if (a == b) return true;
  return std::nextafter(a, b) == b;
}

// Returns true iff `a` and `b` are the same value with the same number kinds and the same key
// order. Against the reference (`loose`), floating numbers may differ by one unit in the last
// place and keys may stand in another order (a key given twice keeps its first place here).
bool same(const Value& a, const Value& b, bool loose) {
  if (a.type() != b.type()) return false;
  switch (a.type()) {
    case Value::Type::Null:
      return true;
    case Value::Type::Number: {
      if (a.numberKind() != b.numberKind()) return false;
      if (a.isIntegerNumber()) return a.int64Value() == b.int64Value();
      double x = a.doubleValue(), y = b.doubleValue();
      if (loose) return withinOneUlp(x, y);
      return x == y && std::signbit(x) == std::signbit(y);
    }
    case Value::Type::String:
      return a.stringValue() == b.stringValue();
    case Value::Type::Array: {
      const auto& x = a.arrayValue();
      const auto& y = b.arrayValue();
      if (x.size() != y.size()) return false;
      for (std::size_t i = 0; i < x.size(); ++i) {
        if (!same(x[i], y[i], loose)) return false;
      }
      return true;
    }
    case Value::Type::Dictionary: {
      const auto& x = a.dictionaryValue();
      const auto& y = b.dictionaryValue();
      if (x.size() != y.size()) return false;
      if (loose) {
        for (const auto& [key, value] : x) {
          const Value* other = y.find(key);
          if (!other || !same(value, *other, loose)) return false;
        }
        return true;
      }
      auto i = x.begin();
      auto j = y.begin();
      for (; i != x.end(); ++i, ++j) {
        if (i->first != j->first || !same(i->second, j->second, loose)) return false;
      }
      return true;
    }
    default:
      return false;  // JSON text never yields dates, bytes or references
  }
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
  if (ec) fail("accepted a document Boost.JSON refuses", text);
  if (!same(*parsed, keel::JSONSerialization::fromBoost(reference), true)) fail("read differently from Boost.JSON", text);

  // Round trip. Writing what was read must not throw: every string is UTF-8 and every number
  // finite by now.
  std::string written = keel::JSONSerialization::stringFromJSONObject(*parsed);
  std::optional<Value> reread = keel::JSONSerialization::JSONObjectFromString(written, failure);
  if (!reread) fail(("its own output does not read back: " + failure + "\noutput: " + written).c_str(), text);
  if (!same(*parsed, *reread, false)) fail(("changed on a round trip; output: " + written).c_str(), text);
  if (!(*parsed == *reread)) fail("round trip not equal by Value equality", text);
  if (keel::JSONSerialization::stringFromJSONObject(*reread) != written) {
    fail(("written differently the second time; first: " + written).c_str(), text);
  }
  return 0;
}
