#include <keel/base/JSONSerialization.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

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
  EXPECT_EQ(boost::json::serialize(j), R"({"b":2.5E0,"a":[1,"s"]})");
  EXPECT_EQ(JSONSerialization::fromBoost(j), v);
}

// The text writer works without a Boost.JSON document; its output must be exactly what Boost's
// serializer makes of the same document, or files written before would read differently.
TEST_F(JsonTest, WritesTheSameTextAsBoostsSerializerForRandomDocuments) {
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
  std::function<Value(int)> randomValue = [&](int depth) -> Value {
    switch (pick(depth > 3 ? 9 : 11)) {
      case 0: return Value();
      case 1: return Value(pick(2) == 0);
      case 2: return Value(static_cast<long long>(random()));
      case 3: return Value(static_cast<int>(pick(2000)) - 1000);
      case 4: return Value(std::ldexp(static_cast<double>(random() % 1000000) - 500000.0, static_cast<int>(pick(80)) - 40));
      case 5: return Value(static_cast<float>(pick(100000)) / 1000.0f);
      case 6: return Value(0.0);
      case 7: return Value(-0.0);
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
  for (int i = 0; i < 2000; ++i) {
    Value v = randomValue(0);
    const std::string ours = text(v);
    ASSERT_EQ(ours, boost::json::serialize(JSONSerialization::toBoost(v))) << "document " << i;
    auto back = parse(ours);
    ASSERT_TRUE(back) << ours;
    EXPECT_EQ(text(*back), ours);
  }
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
