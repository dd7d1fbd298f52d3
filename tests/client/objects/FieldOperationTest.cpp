#include <keel/objects/FieldOperation.h>

#include <functional>
#include <random>

#include <gtest/gtest.h>

#include <keel/base/Exception.h>
#include <keel/base/JSONSerialization.h>
#include <keel/objects/Decoder.h>
#include <keel/objects/Encoder.h>
#include <keel/objects/FieldOperationDecoder.h>
#include <keel/objects/Relation.h>

#include "client/objects/ObjectTestSupport.h"

namespace keel {
namespace {

using testing::InstalledTestFactory;
using testing::TestObject;
using Type = FieldOperation::Type;

Value parse(std::string_view text) { return JSONSerialization::JSONObjectFromString(text).value_or(Value()); }

Array arr(std::initializer_list<Value> values) { return Array(values); }

std::string encoded(const FieldOperationPtr& op) {
  return JSONSerialization::stringFromJSONObject(
      op->encodeWithObjectEncoder(*PointerOrLocalIdObjectEncoder::objectEncoder()));
}

// Returns "Type json" for a successful call, the exception's reason otherwise.
template <typename F>
std::string outcome(F&& f) {
  try {
    FieldOperationPtr op = f();
    static const char* names[] = {"Set", "Delete", "Increment", "Add", "AddUnique", "Remove", "Relation"};
    return std::string(names[static_cast<int>(op->type())]) + " " + encoded(op);
  } catch (const InternalInconsistencyException& e) {
    return e.reason();
  }
}

// Returns the reason of the InternalInconsistencyException `f` throws, or "no exception".
template <typename F>
std::string reasonOf(F&& f) {
  try {
    f();
  } catch (const InternalInconsistencyException& e) {
    return e.reason();
  }
  return "no exception";
}

class FieldOperationTest : public ::testing::Test {
 protected:
  InstalledTestFactory installed;
  std::shared_ptr<TestObject> a = TestObject::saved("Video", "a");
  std::shared_ptr<TestObject> b = TestObject::saved("Video", "b");
};

TEST_F(FieldOperationTest, MergesAsTheWholeGridSays) {
  const std::string invalid = "Operation is invalid after previous operation.";
  const std::string invalidRelation = "Operation is invalid after previous operation";
  const std::string nonArray = "You can't add an item to a non-array.";
  std::vector<std::pair<std::string, FieldOperationPtr>> previous = {
      {"none", nullptr},
      {"Set(5)", SetOperation::setWithValue(Value(5))},
      {"Set([a])", SetOperation::setWithValue(Value(arr({Value("a")})))},
      {"Delete", DeleteOperation::operation()},
      {"Increment(2)", IncrementOperation::incrementWithAmount(Value(2))},
      {"Add([p])", AddOperation::addWithObjects(arr({Value("p")}))},
      {"AddUnique([p])", AddUniqueOperation::addUniqueWithObjects(arr({Value("p")}))},
      {"Remove([p])", RemoveOperation::removeWithObjects(arr({Value("p")}))},
      {"Relation(+a)", RelationOperation::addRelationToObjects({a})},
  };
  struct Row {
    FieldOperationPtr op;
    std::vector<std::string> expected;  // one per column of `previous`
  };
  std::vector<Row> rows = {
      {SetOperation::setWithValue(Value("x")),
       std::vector<std::string>(previous.size(), R"(Set "x")")},
      {DeleteOperation::operation(), std::vector<std::string>(previous.size(), R"(Delete {"__op":"Delete"})")},
      {IncrementOperation::incrementWithAmount(Value(3)),
       {R"(Increment {"__op":"Increment","amount":3})", "Set 8", "You cannot increment a non-number.", "Set 3",
        R"(Increment {"__op":"Increment","amount":5})", invalid, invalid, invalid, invalid}},
      {AddOperation::addWithObjects(arr({Value("o")})),
       {R"(Add {"__op":"Add","objects":["o"]})", nonArray, R"(Set ["a","o"])", R"(Set ["o"])", invalid,
        R"(Add {"__op":"Add","objects":["p","o"]})", invalid, invalid, invalid}},
      {AddUniqueOperation::addUniqueWithObjects(arr({Value("o"), Value("p"), Value("o")})),
       {R"(AddUnique {"__op":"AddUnique","objects":["o","p","o"]})", nonArray, R"(Set ["a","o","p"])",
        R"(Set ["o","p"])", invalid, invalid, R"(AddUnique {"__op":"AddUnique","objects":["p","o"]})", invalid,
        invalid}},
      {RemoveOperation::removeWithObjects(arr({Value("o")})),
       {R"(Remove {"__op":"Remove","objects":["o"]})", nonArray, R"(Set ["a"])",
        "You can't remove items from a deleted array.", invalid, invalid, invalid,
        R"(Remove {"__op":"Remove","objects":["p","o"]})", invalid}},
      {RelationOperation::addRelationToObjects({b}),
       {R"(Relation {"__op":"AddRelation","objects":[{"__type":"Pointer","objectId":"b","className":"Video"}]})",
        invalidRelation, invalidRelation, "You can't modify a relation after deleting it", invalidRelation,
        invalidRelation, invalidRelation, invalidRelation,
        R"(Relation {"__op":"AddRelation","objects":[{"__type":"Pointer","objectId":"a","className":"Video"},{"__type":"Pointer","objectId":"b","className":"Video"}]})"}},
  };
  for (const auto& row : rows) {
    ASSERT_EQ(row.expected.size(), previous.size());
    for (std::size_t c = 0; c < previous.size(); ++c) {
      EXPECT_EQ(outcome([&] { return row.op->mergeWithPrevious(previous[c].second); }), row.expected[c])
          << row.op->description() << " after " << previous[c].first;
    }
  }
}

TEST_F(FieldOperationTest, AppliesAsTheWholeGridSays) {
  const std::string invalid = "Operation is invalid after previous operation.";
  struct Case {
    FieldOperationPtr op;
    std::optional<Value> old;
    std::string expected;  // JSON text of the new value, "none", or the exception's reason
  };
  std::vector<Case> cases = {
      {SetOperation::setWithValue(Value("x")), std::nullopt, R"("x")"},
      {SetOperation::setWithValue(Value("x")), Value(5), R"("x")"},
      {DeleteOperation::operation(), Value(5), "none"},
      {DeleteOperation::operation(), std::nullopt, "none"},
      {IncrementOperation::incrementWithAmount(Value(3)), std::nullopt, "3"},
      {IncrementOperation::incrementWithAmount(Value(3)), Value(5), "8"},
      {IncrementOperation::incrementWithAmount(Value(3)), Value("5"), "You cannot increment a non-number."},
      {IncrementOperation::incrementWithAmount(Value(3)), Value(), "You cannot increment a non-number."},
      {AddOperation::addWithObjects(arr({Value("o"), Value("o")})), std::nullopt, R"(["o","o"])"},
      {AddOperation::addWithObjects(arr({Value("o")})), Value(arr({Value("o")})), R"(["o","o"])"},
      {AddOperation::addWithObjects(arr({Value("o")})), Value(5), invalid},
      // Adding unique values to nothing adds them to [], so the operation's own duplicates go.
      {AddUniqueOperation::addUniqueWithObjects(arr({Value("o"), Value("o"), Value(1)})), std::nullopt, R"(["o",1])"},
      {AddUniqueOperation::addUniqueWithObjects(arr({Value("o"), Value(1.0)})), Value(arr({Value(1), Value("a")})),
       R"([1,"a","o"])"},
      {AddUniqueOperation::addUniqueWithObjects(arr({Value("o")})), Value("s"), invalid},
      // Removing from nothing leaves an empty array, as the server does.
      {RemoveOperation::removeWithObjects(arr({Value("o")})), std::nullopt, "[]"},
      {RemoveOperation::removeWithObjects(arr({Value("o"), Value(2)})),
       Value(arr({Value("o"), Value("a"), Value("o"), Value(2.0), Value(3)})), R"(["a",3])"},
      {RemoveOperation::removeWithObjects(arr({Value("o")})), Value(Dictionary{}), invalid},
  };
  for (const auto& c : cases) {
    std::string got;
    try {
      auto v = c.op->applyToValue(c.old, "field");
      got = v ? JSONSerialization::stringFromJSONObject(*v) : "none";
    } catch (const InternalInconsistencyException& e) {
      got = e.reason();
    }
    EXPECT_EQ(got, c.expected) << c.op->description() << " on " << (c.old ? c.old->description() : "none");
  }
}

TEST_F(FieldOperationTest, IncrementsWidenInsteadOfWrapping) {
  auto big = IncrementOperation::incrementWithAmount(Value(2147483647));
  auto one = IncrementOperation::incrementWithAmount(Value(1));
  auto merged = std::static_pointer_cast<const IncrementOperation>(one->mergeWithPrevious(big));
  EXPECT_EQ(merged->amount(), Value(2147483648LL));
  EXPECT_EQ(merged->amount().numberKind(), Value::NumberKind::Int64);
  EXPECT_EQ(encoded(merged), R"({"__op":"Increment","amount":2147483648})");

  auto half = IncrementOperation::incrementWithAmount(Value(0.5));
  auto set = std::static_pointer_cast<const SetOperation>(half->mergeWithPrevious(SetOperation::setWithValue(Value(1))));
  EXPECT_EQ(set->value(), Value(1.5)) << "the fraction must survive";
  EXPECT_EQ(*half->applyToValue(Value(2), "n"), Value(2.5));
  // A counter stays an integer of its kind while it fits.
  Value counted = *one->applyToValue(Value(41), "n");
  EXPECT_EQ(counted, Value(42));
  EXPECT_EQ(counted.numberKind(), Value::NumberKind::Int32);

  EXPECT_THROW(IncrementOperation::incrementWithAmount(Value("1")), InvalidArgumentException);
  EXPECT_THROW(IncrementOperation::incrementWithAmount(Value(std::nan(""))), InvalidArgumentException);
}

TEST_F(FieldOperationTest, MatchesObjectsByClassAndId) {
  auto aAgain = TestObject::saved("Video", "a");  // another instance of the same row
  auto otherClass = TestObject::saved("User", "a");  // same id, different class
  auto unsaved = TestObject::unsaved("Video");
  Array list = arr({Value(a), Value(otherClass), Value(unsaved), Value("s")});

  Array added = AddUniqueOperation(arr({Value(aAgain), Value(otherClass), Value(unsaved), Value(b)})).addedTo(list);
  ASSERT_EQ(added.size(), 5u);
  EXPECT_EQ(added[0].as<TestObject>(), aAgain) << "the same row is replaced in place";
  EXPECT_EQ(added[1].as<TestObject>(), otherClass) << "an id of another class is another row";
  EXPECT_EQ(added[2].as<TestObject>(), unsaved);
  EXPECT_EQ(added[4].as<TestObject>(), b);

  Array removed = RemoveOperation(arr({Value(aAgain)})).removedFrom(list);
  ASSERT_EQ(removed.size(), 3u);
  EXPECT_EQ(removed[0].as<TestObject>(), otherClass);
}

TEST_F(FieldOperationTest, RelationOperationsKeepOneTargetAndMoveObjectsBetweenSets) {
  EXPECT_THROW(RelationOperation::addRelationToObjects({a, TestObject::saved("User", "u")}), InvalidArgumentException);

  auto addA = RelationOperation::addRelationToObjects({a});
  auto addAAgain = RelationOperation::addRelationToObjects({a});
  auto twice = std::static_pointer_cast<const RelationOperation>(addAAgain->mergeWithPrevious(addA));
  EXPECT_EQ(twice->relationsToAdd().size(), 1u);

  auto removeA = RelationOperation::removeRelationToObjects({a});
  auto addB = RelationOperation::addRelationToObjects({b});
  auto both = std::static_pointer_cast<const RelationOperation>(addB->mergeWithPrevious(removeA));
  EXPECT_EQ(encoded(both),
            R"({"__op":"Batch","ops":[{"__op":"AddRelation","objects":[{"__type":"Pointer","objectId":"b","className":"Video"}]},)"
            R"({"__op":"RemoveRelation","objects":[{"__type":"Pointer","objectId":"a","className":"Video"}]}]})");
  auto back = std::static_pointer_cast<const RelationOperation>(
      RelationOperation::addRelationToObjects({a})->mergeWithPrevious(both));
  EXPECT_TRUE(back->relationsToRemove().empty());
  EXPECT_EQ(back->relationsToAdd().size(), 2u);

  auto users = RelationOperation::addRelationToObjects({TestObject::saved("User", "u")});
  EXPECT_EQ(outcome([&] { return users->mergeWithPrevious(addA); }),
            "Related object object must be of class Video, but User was passed in");
  EXPECT_EQ(reasonOf([&] {
              RelationOperation(std::nullopt, {}, {}).encodeWithObjectEncoder(*PointerObjectEncoder::objectEncoder());
            }),
            "A RelationOperation was created without any data.");

  // Applying makes a relation for a missing value and updates an existing one in place.
  auto made = both->applyToValue(std::nullopt, "rel")->as<Relation>();
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(made->targetClass(), "Video");
  EXPECT_TRUE(made->hasKnownObject(*b));
  auto existing = Relation::relationWithTargetClass(std::nullopt);
  existing->addKnownObject(a);
  Value kept(existing);
  EXPECT_EQ(both->applyToValue(kept, "rel")->as<Relation>(), existing);
  EXPECT_EQ(existing->targetClass(), "Video");
  EXPECT_FALSE(existing->hasKnownObject(*a));
  EXPECT_EQ(reasonOf([&] { users->applyToValue(kept, "rel"); }),
            "Related object object must be of class Video, but User was passed in");
  EXPECT_EQ(reasonOf([&] { users->applyToValue(Value(5), "rel"); }),
            "Operation is invalid after previous operation.");
}

TEST_F(FieldOperationTest, DecodesEveryOperationAndRoundTripsThroughJSONText) {
  auto unsaved = TestObject::unsaved("Video");
  std::vector<FieldOperationPtr> ops = {
      DeleteOperation::operation(),
      IncrementOperation::incrementWithAmount(Value(-2.5)),
      AddOperation::addWithObjects(arr({Value(1), Value(a), Value(dateFromMillis(5))})),
      AddUniqueOperation::addUniqueWithObjects(arr({Value("x"), Value(unsaved)})),
      RemoveOperation::removeWithObjects(arr({Value(Bytes{1, 2})})),
      RelationOperation::addRelationToObjects({a, b}),
      RelationOperation::removeRelationToObjects({b}),
      RelationOperation::addRelationToObjects({b})->mergeWithPrevious(RelationOperation::removeRelationToObjects({a})),
  };
  for (const auto& op : ops) {
    std::string text = encoded(op);
    auto decoded = FieldOperationDecoder::defaultDecoder().decode(parse(text).dictionaryValue(), *Decoder::objectDecoder());
    ASSERT_NE(decoded, nullptr) << text;
    EXPECT_EQ(decoded->type(), op->type()) << text;
    EXPECT_EQ(encoded(decoded), text);
  }
  EXPECT_EQ(FieldOperationDecoder::defaultDecoder().decode(parse(R"({"__op":"Delete"})").dictionaryValue(),
                                                           *Decoder::objectDecoder()),
            DeleteOperation::operation());
  // A batch merges its ops in order.
  auto batch = FieldOperationDecoder::defaultDecoder().decode(
      parse(R"({"__op":"Batch","ops":[{"__op":"Increment","amount":1},{"__op":"Batch","ops":[]},{"__op":"Increment","amount":2}]})")
          .dictionaryValue(),
      *Decoder::objectDecoder());
  EXPECT_EQ(encoded(batch), R"({"__op":"Increment","amount":3})");
  try {
    FieldOperationDecoder::defaultDecoder().decode(parse(R"({"__op":"Frobnicate"})").dictionaryValue(),
                                                   *Decoder::objectDecoder());
    ADD_FAILURE() << "an unknown operation must not decode";
  } catch (const InvalidArgumentException& e) {
    EXPECT_EQ(e.reason(), "Unable to decode operation of type Frobnicate.");
  }
}

TEST_F(FieldOperationTest, AddUniqueStaysLinearOnLargeArrays) {
  // 200,000 elements against 200,000 new ones: a quadratic scan would take minutes.
  Array existing, added;
  for (int i = 0; i < 200000; ++i) existing.push_back(Value(i));
  for (int i = 100000; i < 300000; ++i) added.push_back(Value(static_cast<long long>(i)));
  Array out = AddUniqueOperation(added).addedTo(existing);
  ASSERT_EQ(out.size(), 300000u);
  EXPECT_EQ(out.back(), Value(299999));
  Array left = RemoveOperation(added).removedFrom(out);
  EXPECT_EQ(left.size(), 100000u);
}

// ---------------------------------------------------------------------------------------------
// apply(merge(a, b)) == apply(b, apply(a)) over random pairs.

class OperationPairs {
 public:
  explicit OperationPairs(unsigned seed) : rng_(seed) {
    for (const char* cls : {"Video", "User"}) {
      for (const char* id : {"1", "2"}) pool_.push_back(TestObject::saved(cls, id));
    }
    // Another instance of a pooled row, so that matching by class and id is exercised.
    pool_.push_back(TestObject::saved("Video", "1"));
    pool_.push_back(TestObject::unsaved("Video"));
  }

  Value number() {
    switch (pick(6)) {
      case 0: return Value(static_cast<int>(pick(5)) - 2);
      case 1: return Value(2147483647 - static_cast<int>(pick(3)));
      case 2: return Value(-2147483647 - 1 + static_cast<int>(pick(3)));
      case 3: return Value(static_cast<double>(static_cast<int>(pick(9)) - 4) / 2.0);
      case 4: return Value(static_cast<unsigned>(pick(4)));
      default: return Value(static_cast<long long>(pick(1000)) << 30);
    }
  }
  Value element() {
    switch (pick(4)) {
      case 0: return Value(static_cast<int>(pick(4)));
      case 1: return Value(std::string(1, static_cast<char>('a' + pick(3))));
      case 2: return Value(Array{Value(static_cast<int>(pick(2)))});
      default: return Value(pool_[pick(pool_.size())]);
    }
  }
  Array array() {
    Array out;
    for (std::size_t n = pick(4); n > 0; --n) out.push_back(element());
    return out;
  }
  std::optional<Value> old() {
    switch (pick(5)) {
      case 0: return std::nullopt;
      case 1: return number();
      case 2: return Value("text");
      default: return Value(array());
    }
  }
  FieldOperationPtr op() {
    switch (pick(7)) {
      case 0: return std::make_shared<const SetOperation>(pick(2) ? number() : Value(array()));
      case 1: return DeleteOperation::operation();
      case 2: return std::make_shared<const IncrementOperation>(number());
      case 3: return std::make_shared<const AddOperation>(array());
      case 4: return std::make_shared<const AddUniqueOperation>(array());
      case 5: return std::make_shared<const RemoveOperation>(array());
      default: return std::make_shared<const IncrementOperation>(number());
    }
  }

 private:
  std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }
  std::mt19937 rng_;
  std::vector<std::shared_ptr<TestObject>> pool_;
};

struct Applied {
  bool threw = false;
  std::optional<Value> value;
};

Applied applyAll(const std::vector<FieldOperationPtr>& ops, const std::optional<Value>& old) {
  Applied out{false, old};
  try {
    for (const auto& op : ops) out.value = op->applyToValue(out.value, "f");
  } catch (const InternalInconsistencyException&) {
    out.threw = true;
  }
  return out;
}

TEST_F(FieldOperationTest, MergedOperationsApplyAsTheirSequence) {
  OperationPairs gen(20240611);
  int merged = 0;
  for (int i = 0; i < 20000; ++i) {
    FieldOperationPtr first = gen.op(), second = gen.op();
    std::optional<Value> old = gen.old();
    FieldOperationPtr combined;
    try {
      combined = second->mergeWithPrevious(first);
    } catch (const InternalInconsistencyException&) {
      continue;  // pairs that cannot be merged are refused when they are performed
    }
    ++merged;
    Applied sequence = applyAll({first, second}, old);
    Applied once = applyAll({combined}, old);
    std::string context = first->description() + " then " + second->description() + " on " +
                          (old ? old->description() : "none");
    // A later set or delete hides a first operation that could not apply, so only a sequence
    // that applies binds the merged operation.
    if (sequence.threw) continue;
    ASSERT_FALSE(once.threw) << context;
    ASSERT_EQ(once.value.has_value(), sequence.value.has_value()) << context;
    if (sequence.value) {
      ASSERT_EQ(*once.value, *sequence.value) << context << ": " << once.value->description() << " vs "
                                              << sequence.value->description();
    }
  }
  EXPECT_GT(merged, 5000);
}

}  // namespace
}  // namespace keel
