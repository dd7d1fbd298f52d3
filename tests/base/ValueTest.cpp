#include <keel/base/Value.h>

#include <keel/base/Error.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>
#include <limits>
#include <unordered_set>

#include <gtest/gtest.h>

namespace keel {
namespace {

class Token : public ValueReference {
 public:
  std::string className() const override { return "Token"; }
};

TEST(ValueTest, ComparesNumbersByValueAcrossKinds) {
  // As on the platform: a boolean is a number, so true == 1 == 1.0.
  EXPECT_EQ(Value(true), Value(1));
  EXPECT_EQ(Value(1), Value(1.0));
  EXPECT_EQ(Value(static_cast<std::int8_t>(7)), Value(7LL));
  EXPECT_EQ(Value(7u), Value(7.0f));
  EXPECT_NE(Value(1), Value(1.5));
  EXPECT_NE(Value(false), Value(1));
  // 2^53 + 1 has no exact double; the nearest double must not compare equal to it.
  EXPECT_NE(Value(9007199254740993LL), Value(9007199254740992.0));
  EXPECT_EQ(Value(9007199254740992LL), Value(9007199254740992.0));
  // A number is never equal to a string or null of the same text.
  EXPECT_NE(Value(1), Value("1"));
  EXPECT_NE(Value(0), Value());
}

TEST(ValueTest, HashesEqualValuesAlike) {
  std::vector<std::pair<Value, Value>> equal = {
      {Value(true), Value(1.0)},
      {Value(-3), Value(-3.0f)},
      {Value(Array{Value(1), Value("a")}), Value(Array{Value(1.0), Value("a")})},
      {Value(Dictionary{{"a", Value(1)}, {"b", Value(2)}}),
       Value(Dictionary{{"b", Value(2.0)}, {"a", Value(true)}})},
      {Value(dateFromMillis(5)), Value(dateFromMillis(5))},
      {Value(Bytes{1, 2}), Value(Bytes{1, 2})},
  };
  for (const auto& [a, b] : equal) {
    EXPECT_EQ(a, b) << a.description();
    EXPECT_EQ(a.hash(), b.hash()) << a.description();
  }
  std::unordered_set<Value, ValueHash> set{Value(1), Value(2.5), Value("1"), Value(Array{})};
  EXPECT_EQ(set.count(Value(true)), 1u);
  EXPECT_EQ(set.count(Value(2.5f)), 1u);
  EXPECT_EQ(set.count(Value(2)), 0u);
}

TEST(ValueTest, ComparesReferencesByIdentityUnlessTheirClassSaysOtherwise) {
  auto a = std::make_shared<Token>();
  auto b = std::make_shared<Token>();
  EXPECT_EQ(Value(a), Value(a));
  EXPECT_NE(Value(a), Value(b));
  EXPECT_TRUE(Value(std::shared_ptr<Token>()).isNull());
  EXPECT_EQ(Value(a).as<Token>(), a);
}

TEST(ValueTest, HandsOutAnImmutableReferenceOnlyForReading) {
  std::shared_ptr<const Token> frozen = std::make_shared<Token>();
  Value v(frozen);
  EXPECT_EQ(v.as<Token>(), nullptr);
  EXPECT_EQ(v.as<const Token>(), frozen);
  EXPECT_EQ(v.reference(), nullptr);
  EXPECT_EQ(v.constReference(), frozen);
  EXPECT_EQ(v, Value(frozen));
}

TEST(ValueTest, DictionaryKeepsInsertionOrderAndComparesRegardlessOfIt) {
  Dictionary d{{"z", Value(1)}, {"a", Value(2)}, {"m", Value(3)}};
  d.set("a", Value(20));  // an existing key keeps its place
  d.set("b", Value(4));
  EXPECT_EQ(d.keys(), (std::vector<std::string>{"z", "a", "m", "b"}));
  EXPECT_TRUE(d.remove("z"));
  EXPECT_FALSE(d.remove("z"));
  EXPECT_EQ(d.keys(), (std::vector<std::string>{"a", "m", "b"}));
  // Lookups still work after a removal shifted the entries.
  EXPECT_EQ(d["b"], Value(4));
  EXPECT_EQ(d["a"], Value(20));
  EXPECT_TRUE(d["missing"].isNull());

  Dictionary reversed{{"b", Value(4)}, {"m", Value(3)}, {"a", Value(20)}};
  EXPECT_EQ(d, reversed);
  EXPECT_EQ(d.hash(), reversed.hash());
  reversed.set("m", Value(30));
  EXPECT_FALSE(d == reversed);
}

// Small dictionaries are searched in order, large ones through an index; growing and shrinking
// across the boundary must never lose a key, its place or its value.
TEST(ValueTest, DictionaryLookupsHoldAcrossTheIndexThreshold) {
  Dictionary d;
  std::vector<std::string> expected;
  const std::size_t n = 3 * Dictionary::kIndexThreshold;
  for (std::size_t i = 0; i < n; ++i) {
    // Long keys as well as short ones: a key of more than 15 bytes lives on the heap.
    std::string key = i % 2 ? "k" + std::to_string(i) : "a rather long key number " + std::to_string(i);
    d.at(key) = Value(static_cast<int>(i));
    expected.push_back(key);
    for (std::size_t j = 0; j <= i; ++j) ASSERT_EQ(d[expected[j]], Value(static_cast<int>(j))) << i << " " << j;
  }
  d.set(expected[2], Value("replaced"));
  EXPECT_EQ(d.keys(), expected);
  // Remove from the front until the dictionary is small again; the rest keep their order.
  while (d.size() > 2) {
    ASSERT_TRUE(d.remove(expected.front()));
    expected.erase(expected.begin());
    EXPECT_FALSE(d.contains(std::string("a rather long key number 0")));
    ASSERT_EQ(d.keys(), expected);
    for (const auto& key : expected) ASSERT_NE(d.find(key), nullptr) << key;
  }
  d.set("new", Value(1));
  EXPECT_EQ(d.size(), 3u);
  EXPECT_EQ(d["new"], Value(1));
  Dictionary copy = d;
  EXPECT_EQ(copy, d);
  d.clear();
  EXPECT_FALSE(d.contains("new"));
  EXPECT_EQ(copy["new"], Value(1));
}

TEST(ValueTest, MutatingACopyLeavesTheOriginalAlone) {
  Value original(Dictionary{{"list", Value(Array{Value(1), Value(2)})}});
  Value copy = original;
  copy.mutableDictionary().at("list").mutableArray().push_back(Value(3));
  copy.mutableDictionary().set("extra", Value(true));

  EXPECT_EQ(original.get("list").arrayValue().size(), 2u);
  EXPECT_FALSE(original.contains("extra"));
  EXPECT_EQ(copy.get("list").arrayValue().size(), 3u);

  // An unshared value is mutated in place, not copied each time.
  Value solo(Array{Value(1)});
  const Array* before = &solo.arrayValue();
  solo.mutableArray().push_back(Value(2));
  EXPECT_EQ(&solo.arrayValue(), before);
}

TEST(ValueTest, CopiesWrittenOnManyThreadsNeverSeeEachOthersWrites) {
  // Every thread takes its own copy of one shared array and appends to it: each write must copy
  // the shared buffer first, so the original and every other copy stay as they were.
  const Value shared(Array{Value(0)});
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) {
        Value mine = shared;
        mine.mutableArray().push_back(Value(t));
        if (mine.arrayValue().size() != 2 || shared.arrayValue().size() != 1) ++wrong;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(shared.arrayValue().size(), 1u);
}

TEST(ValueTest, ReadsNumbersAcrossKindsAsThePlatformDoes) {
  EXPECT_EQ(Value(-2.9).int64Value(), -2);  // toward zero
  EXPECT_EQ(Value(1e30).int64Value(), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(Value(std::nan("")).int64Value(), 0);
  EXPECT_TRUE(Value(0.5).boolValue());
  EXPECT_EQ(Value("12").int64Value(), 0);  // a string is not a number
  EXPECT_EQ(Value(std::numeric_limits<unsigned long long>::max()).int64Value(),
            std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(Value(true).numberKind(), Value::NumberKind::Bool);
  EXPECT_EQ(Value::number(Value::NumberKind::Int16, 3.7).numberKind(), Value::NumberKind::Int16);
}

TEST(ValueTest, DescribesValuesForMessages) {
  EXPECT_EQ(Value().description(), "<null>");
  EXPECT_EQ(Value(true).description(), "1");
  EXPECT_EQ(Value(2.5).description(), "2.5");
  EXPECT_EQ(Value(0.1f).description(), "0.1");
  EXPECT_EQ(Value(dateFromMillis(-1)).description(), "1969-12-31 23:59:59 +0000");
  EXPECT_EQ(Value(Bytes{0xab, 0x01}).description(), "{length = 2, bytes = 0xab01}");
  EXPECT_EQ(Value(Dictionary{{"k", Value(Array{Value("a"), Value(1)})}}).description(),
            "{k = (a, 1)}");
}

TEST(ValueTest, AddsExactlyKeepingTheKindUntilTheSumNoLongerFits) {
  using K = Value::NumberKind;
  struct Case {
    Value a, b;
    Value sum;
    K kind;
  };
  const std::int64_t int64Max = std::numeric_limits<std::int64_t>::max();
  std::vector<Case> cases = {
      {Value(40), Value(2), Value(42), K::Int32},
      {Value(2147483647), Value(1), Value(2147483648LL), K::Int64},  // would wrap as int32
      {Value(-2147483647 - 1), Value(-1), Value(-2147483649LL), K::Int64},
      {Value(1), Value(0.5), Value(1.5), K::Double},  // the fraction survives
      {Value(0.5), Value(1), Value(1.5), K::Double},
      {Value(4294967295u), Value(1), Value(4294967296LL), K::Int64},
      {Value(5u), Value(-10), Value(-5), K::Int64},
      {Value(5u), Value(1), Value(6), K::UInt32},
      {Value(true), Value(1), Value(2), K::Int32},
      {Value(static_cast<std::int8_t>(127)), Value(1), Value(128), K::Int32},
      {Value(7LL), Value(1), Value(8), K::Int64},  // a JSON integer stays Int64
      {Value(int64Max), Value(1), Value(9223372036854775808.0), K::Double},
      {Value(0.25f), Value(0.5f), Value(0.75), K::Float},
      {Value(0.25f), Value(0.5), Value(0.75), K::Double},
      {Value(3e38f), Value(3e38f), Value(static_cast<double>(3e38f) * 2), K::Double},  // a float sum beyond float range
      // A large int64 plus a whole double keeps every bit the double can hold.
      {Value(9007199254740993LL), Value(2.0), Value(9007199254740996.0), K::Double},
  };
  for (const auto& c : cases) {
    Value s = Value::sum(c.a, c.b);
    EXPECT_EQ(s, c.sum) << c.a.description() << " + " << c.b.description() << " = " << s.description();
    EXPECT_EQ(s.numberKind(), c.kind) << c.a.description() << " + " << c.b.description();
  }
}

TEST(ValueTest, TellsReferenceKindsApartWithoutCasting) {
  auto error = Error::make("d", 1);
  Value e = Error::toValue(error);
  EXPECT_EQ(e.referenceKind(), ReferenceKind::Error);
  EXPECT_TRUE(e.isReferenceOfKind(ReferenceKind::Error));
  EXPECT_EQ(e.as<const Error>(), error);
  EXPECT_EQ(Value(std::make_shared<Token>()).referenceKind(), ReferenceKind::Other);
  EXPECT_EQ(Value(std::make_shared<Token>()).as<const Error>(), nullptr);
  EXPECT_FALSE(Value(1).referenceKind().has_value());
  EXPECT_FALSE(Value(std::shared_ptr<const Token>(std::make_shared<Token>())).isMutableReference());
}

}  // namespace
}  // namespace keel
