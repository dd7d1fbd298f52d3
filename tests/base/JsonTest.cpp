#include <keel/base/JSONSerialization.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <regex>
#include <thread>

#include <unistd.h>

#include <boost/json.hpp>
#include <gtest/gtest.h>

#include <keel/base/Exception.h>
#include <keel/base/Logger.h>

namespace keel {
namespace {

class Token : public ValueReference {
 public:
  std::string className() const override { return "Token"; }
};

// Routes the shared logger's lines into the test, at the logger's initial level.
class JsonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedLevel_ = Logger::sharedLogger().logLevel();
    Logger::sharedLogger().setLogLevel(2);
    savedSink_ = Logger::sharedLogger().setSink([this](const std::string& l) { lines_.push_back(l); });
  }
  void TearDown() override {
    Logger::sharedLogger().setSink(savedSink_);
    Logger::sharedLogger().setLogLevel(savedLevel_);
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  std::string writeFile(const std::string& name, const std::string& contents) {
    if (dir_.empty()) {
      dir_ = std::filesystem::temp_directory_path() /
             ("json-test-" + std::to_string(::getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name());
      std::filesystem::create_directories(dir_);
    }
    auto path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << contents;
    return path;
  }
  static std::optional<Value> parse(std::string_view text) {
    return JSONSerialization::JSONObjectFromString(text);
  }
  static std::string text(const Value& v) { return JSONSerialization::stringFromJSONObject(v); }
  static void expectRefused(const Value& v) {
    try {
      JSONSerialization::dataFromJSONObject(v);
      ADD_FAILURE() << "serialised " << v.description();
    } catch (const InvalidArgumentException& e) {
      EXPECT_STREQ(e.what(), "Object values must be serializable to JSON");
    }
  }

  std::vector<std::string> lines_;
  std::filesystem::path dir_;

 private:
  std::uint8_t savedLevel_ = 0;
  Logger::Sink savedSink_;
};

TEST_F(JsonTest, WritesCompactTextInDictionaryOrder) {
  Value v(Dictionary{{"z", Value(1)},
                     {"a", Value(Array{Value(true), Value(), Value("x\"\n\\")})},
                     {"m", Value(Dictionary{})}});
  EXPECT_EQ(text(v), R"({"z":1,"a":[true,null,"x\"\n\\"],"m":{}})");
  auto bytes = JSONSerialization::dataFromJSONObject(v);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), text(v));
  EXPECT_EQ(parse(text(v))->dictionaryValue().keys(), (std::vector<std::string>{"z", "a", "m"}));
}

TEST_F(JsonTest, KeepsNumberKindsThroughARoundTrip) {
  auto back = parse(text(Value(Array{Value(true), Value(42), Value(-9007199254740993LL),
                                     Value(1.0), Value(0.5), Value(0.1f), Value(1e300)})));
  ASSERT_TRUE(back);
  const auto& a = back->arrayValue();
  ASSERT_EQ(a.size(), 7u);
  EXPECT_TRUE(a[0].isBool());
  EXPECT_EQ(a[1].numberKind(), Value::NumberKind::Int64);
  EXPECT_EQ(a[2].int64Value(), -9007199254740993LL);  // beyond a double's exact range
  // 1.0 must stay floating, or a later increment would add as an integer.
  EXPECT_FALSE(a[3].isIntegerNumber());
  EXPECT_EQ(a[3].doubleValue(), 1.0);
  EXPECT_EQ(a[4].doubleValue(), 0.5);
  EXPECT_EQ(a[5].doubleValue(), 0.1);  // a float is written at float precision
  EXPECT_EQ(a[6].doubleValue(), 1e300);

  EXPECT_EQ(parse("9223372036854775807")->int64Value(), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(parse("-9223372036854775808")->int64Value(), std::numeric_limits<std::int64_t>::min());
  auto huge = parse("18446744073709551615");
  EXPECT_FALSE(huge->isIntegerNumber());
  EXPECT_EQ(huge->doubleValue(), 18446744073709551615.0);
}

TEST_F(JsonTest, RoundTripsUnicodeText) {
  Value v(Dictionary{{"clé", Value("日本語 😀 \x01")}});
  std::string t = text(v);
  EXPECT_EQ(t, "{\"clé\":\"日本語 😀 \\u0001\"}");
  EXPECT_EQ(*parse(t), v);
  EXPECT_EQ(parse(R"("\u00e9\ud83d\ude00")")->stringValue(), "é😀");
}

TEST_F(JsonTest, RefusesValuesJsonCannotExpress) {
  expectRefused(Value(dateFromMillis(0)));
  expectRefused(Value(Bytes{1}));
  expectRefused(Value(std::make_shared<Token>()));
  expectRefused(Value(std::nan("")));
  expectRefused(Value(Array{Value(1), Value(Dictionary{{"k", Value(-INFINITY)}})}));
  expectRefused(Value(Dictionary{{"ok", Value(1)}, {"bad", Value(Array{Value(Bytes{})})}}));
  // Text that is not UTF-8 would be written as it stands and could never be read back.
  expectRefused(Value("caf\xe9"));
  expectRefused(Value(Dictionary{{"\xc0\x80", Value(1)}}));
  expectRefused(Value("\xed\xa0\x80"));  // an encoded surrogate
  EXPECT_TRUE(lines_.empty());
}

TEST_F(JsonTest, LogsAndGivesNoValueForMalformedText) {
  for (const char* bad : {"", "[1,", "{\"a\" 1}", "[1] 2", "{'a':1}", "[NaN]", "tru"}) {
    EXPECT_FALSE(parse(bad).has_value()) << bad;
  }
  ASSERT_EQ(lines_.size(), 7u);
  for (const auto& line : lines_) {
    EXPECT_EQ(line.rfind("[Error]: JSON deserialization failed with error: ", 0), 0u) << line;
  }
  EXPECT_EQ(lines_[3], "[Error]: JSON deserialization failed with error: extra data at byte 4");
}

TEST_F(JsonTest, RefusesNumbersNoDoubleCanHold) {
  // Read as infinity, such a number could never be written again.
  EXPECT_FALSE(parse("{\"n\":[1e400]}"));
  EXPECT_FALSE(parse("-1e400"));
  EXPECT_EQ(lines_, (std::vector<std::string>(
                        2, "[Error]: JSON deserialization failed with error: number out of range")));
  EXPECT_EQ(parse("1e-400")->doubleValue(), 0.0);  // underflow is only imprecise
  EXPECT_TRUE(std::signbit(parse("-1e-400")->doubleValue()));

  // The server reads requests into Boost documents; a number no double holds fails there too.
  for (const char* text : {R"({"n":1e400})", "[-1e400]", "1.8e308", "1e99999999999"}) {
    boost::system::error_code ec;
    EXPECT_TRUE(JSONSerialization::parseExactly(text, ec).is_null()) << text;
    EXPECT_EQ(ec, boost::json::error::exponent_overflow) << text;
  }
  boost::system::error_code ec;
  EXPECT_EQ(JSONSerialization::parseExactly("[1.7976931348623157e308]", ec).at(0).as_double(),
            std::numeric_limits<double>::max());
  EXPECT_FALSE(ec);
}

TEST_F(JsonTest, RefusesInputThatIsNotUtf8AndSaysSo) {
  EXPECT_FALSE(parse("[\"ok\", \"caf\xe9\"]"));
  EXPECT_FALSE(parse("\xbb\xbf[]"));                  // a broken byte-order mark
  EXPECT_FALSE(parse("[\"\xf4\x90\x80\x80\"]"));     // above U+10FFFF
  EXPECT_FALSE(parse(R"(["\ud800"])"));               // a lone surrogate escape
  ASSERT_EQ(lines_.size(), 4u);
  EXPECT_EQ(lines_[0], "[Error]: JSON deserialization failed with error: invalid UTF-8 at byte 11");
  EXPECT_NE(lines_[1].find("invalid UTF-8 at byte 0"), std::string::npos) << lines_[1];
  // A valid multi-byte character just after a syntax error is not blamed on the encoding.
  lines_.clear();
  EXPECT_FALSE(parse("[1,,\"€\"]"));
  EXPECT_NE(lines_.at(0).find("syntax error"), std::string::npos) << lines_[0];
}

TEST_F(JsonTest, ReadsDeepDocumentsUpToALimitWithoutCrashing) {
  auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  auto ok = parse(nested(500));
  ASSERT_TRUE(ok);
  EXPECT_EQ(text(*ok), nested(500));
  EXPECT_FALSE(parse(nested(100000)));
  EXPECT_FALSE(parse(std::string(1000000, '[')));
  EXPECT_EQ(lines_.size(), 2u);

  Value deep;
  for (int i = 0; i < 2000; ++i) deep = Value(Array{deep});
  expectRefused(deep);
  boost::json::value boostDeep = nullptr;
  for (int i = 0; i < 2000; ++i) boostDeep = boost::json::array{boostDeep};
  EXPECT_THROW(JSONSerialization::fromBoost(boostDeep), InvalidArgumentException);
}

TEST_F(JsonTest, ConvertsToAndFromBoostDocuments) {
  Value v(Dictionary{{"b", Value(2.5)}, {"a", Value(Array{Value(1), Value("s")})}});
  boost::json::value j = JSONSerialization::toBoost(v);
  EXPECT_EQ(JSONSerialization::stringFromBoost(j), R"({"b":2.5,"a":[1,"s"]})");
  EXPECT_EQ(JSONSerialization::fromBoost(j), v);
}

// Random documents: strings and integers are written exactly as Boost's serializer writes them
// (files written before read the same); the text reads back as the same document through both
// readers, and writing what was read gives the same text again.
TEST_F(JsonTest, WritesRandomDocumentsThatReadBackTheSame) {
  std::mt19937_64 random(20261207);
  auto pick = [&](std::uint64_t n) { return static_cast<std::size_t>(random() % n); };
  auto randomText = [&] {
    static const std::vector<std::string> pieces = {"a", "Z", " ", "\"", "\\", "/", "\b", "\t", "\n", "\f",
                                                    "\r", std::string(1, '\0'), "\x01", "\x1f", "\x7f",
                                                    "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x8c", "{}", "\\u"};
    std::string out;
    for (std::size_t n = pick(12); n > 0; --n) out += pieces[pick(pieces.size())];
    return out;
  };
  bool floats = false;
  std::function<Value(int)> randomValue = [&](int depth) -> Value {
    switch (pick(depth > 3 ? 9 : 11)) {
      case 0: return Value();
      case 1: return Value(pick(2) == 0);
      case 2: return Value(static_cast<long long>(random()));
      case 3: return Value(static_cast<int>(pick(2000)) - 1000);
      case 4: return floats ? Value(std::ldexp(static_cast<double>(random() % 1000000) - 500000.0, static_cast<int>(pick(80)) - 40)) : Value(7);
      case 5: return floats ? Value(static_cast<float>(pick(100000)) / 1000.0f) : Value(-7);
      case 6: return floats ? Value(0.0) : Value(0);
      case 7: return floats ? Value(-0.0) : Value(-1);
      case 8: return Value(randomText());
      case 9: {
        Array a;
        for (std::size_t n = pick(5); n > 0; --n) a.push_back(randomValue(depth + 1));
        return Value(std::move(a));
      }
      default: {
        Dictionary d;
        for (std::size_t n = pick(12); n > 0; --n) d.set(randomText(), randomValue(depth + 1));
        return Value(std::move(d));
      }
    }
  };
  boost::json::parse_options deep;
  deep.max_depth = 512;
  for (int i = 0; i < 2000; ++i) {
    floats = i % 2 == 1;
    Value v = randomValue(0);
    const std::string ours = text(v);
    if (!floats) {
      ASSERT_EQ(ours, boost::json::serialize(JSONSerialization::toBoost(v))) << "document " << i;
    }
    boost::system::error_code ec;
    ASSERT_EQ(JSONSerialization::parseExactly(ours, ec, deep), JSONSerialization::toBoost(v)) << ours;
    auto back = parse(ours);
    ASSERT_TRUE(back) << ours;
    EXPECT_EQ(*back, JSONSerialization::fromBoost(JSONSerialization::toBoost(v)));  // floats as written
    EXPECT_EQ(text(*back), ours);
    EXPECT_EQ(JSONSerialization::stringFromBoost(JSONSerialization::toBoost(v)), ours);
  }
}

TEST_F(JsonTest, WritesFloatingNumbersInTheirShortestFormThatPeopleCanRead) {
  const std::vector<std::pair<Value, std::string>> cases = {
      {Value(0.7887233511355132), "0.7887233511355132"},
      {Value(1.0), "1.0"},
      {Value(-1.25), "-1.25"},
      {Value(0.0), "0.0"},
      {Value(-0.0), "-0.0"},
      {Value(123456.0), "123456.0"},
      {Value(1e16), "10000000000000000.0"},
      {Value(1e20), "100000000000000000000.0"},
      {Value(1e21), "1e+21"},
      {Value(1.5e300), "1.5e+300"},
      {Value(0.000001), "0.000001"},
      {Value(0.0000012345), "0.0000012345"},
      {Value(1e-7), "1e-7"},
      {Value(-2.5e-8), "-2.5e-8"},
      {Value(5e-324), "5e-324"},
      {Value(std::numeric_limits<double>::max()), "1.7976931348623157e+308"},
      {Value(0.1 + 0.2), "0.30000000000000004"},
      {Value(0.1f), "0.1"},
      {Value(100.0f), "100.0"},
      {Value(3.4028235e38f), "3.4028235e+38"},
  };
  for (const auto& [value, expected] : cases) {
    EXPECT_EQ(text(value), expected);
    EXPECT_EQ(JSONSerialization::stringFromBoost(JSONSerialization::toBoost(value)), expected);
    auto back = parse(expected);
    ASSERT_TRUE(back) << expected;
    EXPECT_FALSE(back->isIntegerNumber()) << expected;  // 1.0 stays floating
  }
  // Not JSON: refused rather than written as null or as a number that reads back as another.
  for (double bad : {std::nan(""), double(INFINITY), -double(INFINITY)}) {
    EXPECT_THROW(JSONSerialization::stringFromBoost(boost::json::value(bad)), InvalidArgumentException);
    expectRefused(Value(bad));
  }
}

// Every finite double, written and read back through both readers, is the same double (sign of
// zero included), in the form above, and with no more digits than the fewest that read back
// exactly (found here by trying each precision of printf).
TEST_F(JsonTest, RoundTripsRandomDoublesExactlyInTheShortestForm) {
  std::mt19937_64 random(4242);
  const std::regex form(R"(-?(0|[1-9][0-9]*)\.[0-9]+|-?[1-9](\.[0-9]*[1-9])?e[+-][1-9][0-9]*)");
  auto fewestDigits = [](double d) {
    for (int precision = 1;; ++precision) {
      char buf[64];
      std::snprintf(buf, sizeof buf, "%.*e", precision - 1, d);
      if (std::strtod(buf, nullptr) == d) return precision;
    }
  };
  auto significantDigits = [](const std::string& t) {
    std::string digits;
    for (char c : t.substr(0, t.find('e'))) {
      if (c >= '0' && c <= '9') digits.push_back(c);
    }
    digits.erase(0, digits.find_first_not_of('0'));
    if (t.find('e') == std::string::npos) {
      const std::size_t last = digits.find_last_not_of('0');
      digits.erase(last == std::string::npos ? 0 : last + 1);
    }
    return std::max<int>(1, static_cast<int>(digits.size()));
  };
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int i = 0; i < 20000; ++i) {
    double d;
    switch (i % 4) {
      case 0: {  // any bit pattern
        const std::uint64_t bits = random();
        std::memcpy(&d, &bits, sizeof d);
        if (!std::isfinite(d)) continue;
        break;
      }
      case 1: d = unit(random); break;
      case 2: d = std::round(unit(random) * 1e6) * (i % 8 == 2 ? 1 : -1); break;
      default: d = std::ldexp(unit(random), static_cast<int>(random() % 200) - 100);
    }
    const std::string t = text(Value(d));
    ASSERT_TRUE(std::regex_match(t, form)) << t;
    EXPECT_EQ(significantDigits(t), fewestDigits(d)) << t;
    auto back = parse("[" + t + "]");
    ASSERT_TRUE(back) << t;
    const double read = back->arrayValue().at(0).doubleValue();
    ASSERT_EQ(std::memcmp(&read, &d, sizeof d), 0) << t;
    boost::system::error_code ec;
    const double exact = JSONSerialization::parseExactly(t, ec).as_double();
    ASSERT_EQ(std::memcmp(&exact, &d, sizeof d), 0) << t;
  }
}

// Two readers stand behind one entry point: the fast one takes what it accepts, everything else
// goes to the careful one, which either accepts it or names the fault. The fast one must never
// accept what the careful one refuses, nor read anything differently.
TEST_F(JsonTest, BothReadersAcceptTheSameTextsAndReadThemAlike) {
  boost::json::parse_options deep;
  deep.max_depth = 512;
  auto careful = [&](std::string_view t) -> std::optional<Value> {
    boost::system::error_code ec;
    auto document = JSONSerialization::parseExactly(t, ec, deep);
    if (ec) return std::nullopt;
    try {
      return JSONSerialization::fromBoost(document);
    } catch (const InvalidArgumentException&) {
      return std::nullopt;
    }
  };
  auto check = [&](const std::string& t) {
    lines_.clear();
    auto fast = parse(t);
    auto slow = careful(t);
    ASSERT_EQ(fast.has_value(), slow.has_value()) << t;
    if (!fast) return;
    EXPECT_TRUE(lines_.empty());
    EXPECT_EQ(*fast, *slow) << t;
    EXPECT_EQ(text(*fast), text(*slow)) << t;  // also keys in order and the sign of zero
  };
  auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  const std::vector<std::string> tricky = {
      R"({"a":1,"b":2,"a":3})", "18446744073709551615", "18446744073709551616", "-9223372036854775808",
      "-9223372036854775809", "123456789012345678901234567890", "-0", "-0.0", "0e0", "1E+2", "1e-400",
      "4.9406564584124654e-324", "2.4703282292062327e-324", "2.4703282292062328e-324",
      "1.7976931348623158e308", "1.7976931348623159e308", "9007199254740993", "9007199254740993.0",
      "0.1e1", "01", "1.", ".5", "+1", "-", "1e", "0x10", "NaN", "Infinity", "[1,]", "{\"a\":1,}",
      "[1 2]", "{\"a\" 1}", "{1:2}", "\"\\u0000\"", "\"\\ud83d\\ude00\"", "\"\\ud800\"", "\"\\udc00\"",
      "\"\\ud800\\u0041\"", "\"\\x\"", "\"\t\"", "\"\x7f\"", "\"caf\xc3\xa9\"", "\"caf\xe9\"",
      "\xef\xbb\xbf[]", " \t\r\n[ ] \n", "[]\x00", "tru", "true ", "nul", "[null,true,false]", "{}",
      "{\"\":\"\"}", "\"\\/\\b\\f\\n\\r\\t\\\"\\\\\"", nested(511), nested(512), nested(513),
      "[" + nested(511) + "]", std::string(R"({"k":)") + nested(511) + "}"};
  for (const auto& t : tricky) check(t);

  // Mutations of a reply: flipped, dropped, doubled and swapped bytes, and cut-off texts.
  const std::string reply =
      R"({"results":[{"objectId":"a1","n":-12,"x":0.5,"e":1e-3,"s":"caf\u00e9 \"q\"","b":[true,false,null],)"
      R"("d":{"__type":"Date","iso":"2026-12-07T17:22:18.123Z"},"big":18446744073709551616}],"count":1})";
  std::mt19937_64 random(99);
  const std::string alphabet = "{}[],:\"\\-+.eE0123456789tfnul \x01\x80\xc3\xe9\xff";
  for (int i = 0; i < 4000; ++i) {
    std::string t = reply;
    for (int edits = 1 + static_cast<int>(random() % 3); edits > 0; --edits) {
      const std::size_t at = random() % t.size();
      switch (random() % 5) {
        case 0: t[at] = alphabet[random() % alphabet.size()]; break;
        case 1: t.erase(at, 1); break;
        case 2: t.insert(at, 1, t[at]); break;
        case 3: t.insert(at, 1, alphabet[random() % alphabet.size()]); break;
        default: t.resize(at); break;
      }
      if (t.empty()) break;
    }
    check(t);
  }
}

// Each thread keeps its reader's buffers; a huge text must not leave them in a state that
// breaks the next, small one, and threads must not share them.
TEST_F(JsonTest, ReadsOnSeveralThreadsAndAfterAHugeText) {
  Array items;
  for (int i = 0; i < 120000; ++i)
    items.push_back(Value(Dictionary{{"objectId", Value("object" + std::to_string(i))}, {"x", Value(i * 0.5)}}));
  const Value huge(std::move(items));
  const std::string hugeText = text(huge);
  ASSERT_GT(hugeText.size(), std::size_t{4} << 20);
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 3; ++round) {
        const Value small(Dictionary{{"thread", Value(t)}, {"round", Value(round)}});
        auto a = JSONSerialization::JSONObjectFromString(text(small));
        if (!a || *a != small) ++failures;
        if (t == 0 && round == 1) {
          auto b = JSONSerialization::JSONObjectFromString(hugeText);
          if (!b || *b != huge) ++failures;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST_F(JsonTest, ReadsFilesAndStaysSilentOnlyWhenTheFileIsMissing) {
  std::string good = writeFile("good.json", R"({"results":[{"Mins":5}]})");
  auto v = JSONSerialization::JSONObjectFromFileAtPath(good);
  ASSERT_TRUE(v);
  EXPECT_EQ(v->get("results").arrayValue().at(0).get("Mins"), Value(5));

  EXPECT_FALSE(JSONSerialization::JSONObjectFromFileAtPath(dir_.string() + "/missing.json"));
  EXPECT_TRUE(lines_.empty());

  EXPECT_FALSE(JSONSerialization::JSONObjectFromFileAtPath(writeFile("bad.json", "{\"a\":")));
  EXPECT_FALSE(JSONSerialization::JSONObjectFromFileAtPath(writeFile("empty.json", "")));
  EXPECT_FALSE(JSONSerialization::JSONObjectFromFileAtPath(dir_.string()));  // a directory
  ASSERT_EQ(lines_.size(), 3u);
  EXPECT_EQ(lines_[0], "[Error]: JSON deserialization failed with error: incomplete JSON at byte 5");
}

TEST_F(JsonTest, ReadsFilesLargerThanOneReadBuffer) {
  Array items;
  for (int i = 0; i < 20000; ++i) items.push_back(Value(Dictionary{{"i", Value(i)}, {"s", Value("é")}}));
  Value big(std::move(items));
  auto back = JSONSerialization::JSONObjectFromFileAtPath(writeFile("big.json", text(big)));
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, big);
}

}  // namespace
}  // namespace keel
