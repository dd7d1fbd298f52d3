// Value coding and field operations:
//  - encoding 1,000 objects' change sets (the operations a save sends) into JSON values and
//    writing them out, beside Boost.JSON serialising the same document it already holds;
//  - AddUnique of n values into an n-element array, beside inserting the same values into an
//    unordered_set (the two must grow alike: no quadratic scan).
#include <benchmark/benchmark.h>

#include <unordered_set>

#include <boost/json.hpp>

#include <keel/base/JSONSerialization.h>
#include <keel/objects/Encoder.h>
#include <keel/objects/FieldOperation.h>
#include <keel/objects/GeoPoint.h>

namespace {

using namespace keel;

class BenchObject : public BackendObject {
 public:
  BenchObject(std::string className, std::string objectId)
      : className_(std::move(className)), objectId_(std::move(objectId)) {}
  std::string className() const override { return className_; }
  std::optional<std::string> objectId() const override { return objectId_; }
  std::string getOrCreateLocalId() override { return "local_0000000000000001"; }

 private:
  std::string className_;
  std::string objectId_;
};

// One change set per object: the pending operation of each changed field.
std::vector<Dictionary> changeSets() {
  std::vector<Dictionary> sets;
  sets.reserve(1000);
  auto owner = std::make_shared<BenchObject>("_User", "owner01");
  for (int i = 0; i < 1000; ++i) {
    Dictionary set;
    set.set("Title", SetOperation::setWithValue(Value("Exercise number " + std::to_string(i)))->toValue());
    set.set("Mins", IncrementOperation::incrementWithAmount(Value(5))->toValue());
    set.set("practisedAt", SetOperation::setWithValue(Value(dateFromMillis(1433147400125 + i * 60000LL)))->toValue());
    set.set("where", SetOperation::setWithValue(Value(GeoPoint::geoPointWithLatitude(51.5 + i * 1e-4, -0.12)))->toValue());
    set.set("tags", AddUniqueOperation::addUniqueWithObjects(Array{Value("calm"), Value("short"), Value(i % 7)})->toValue());
    set.set("owner", SetOperation::setWithValue(Value(owner))->toValue());
    set.set("old", DeleteOperation::operation()->toValue());
    sets.push_back(std::move(set));
  }
  return sets;
}

Value encodeAll(const std::vector<Dictionary>& sets) {
  const Encoder& encoder = *PointerObjectEncoder::objectEncoder();
  Array out;
  out.reserve(sets.size());
  for (const auto& set : sets) {
    Dictionary encoded;
    encoded.reserve(set.size());
    for (const auto& [key, op] : set) {
      encoded.set(key, op.as<const FieldOperation>()->encodeWithObjectEncoder(encoder));
    }
    out.push_back(Value(std::move(encoded)));
  }
  return Value(std::move(out));
}

void BM_EncodeChangeSets(benchmark::State& state) {
  auto sets = changeSets();
  std::size_t bytes = 0;
  for (auto _ : state) {
    Value encoded = encodeAll(sets);
    std::string text = JSONSerialization::stringFromJSONObject(encoded);
    bytes += text.size();
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_EncodeChangeSets)->Unit(benchmark::kMicrosecond);

void BM_EncodeChangeSetsWithoutText(benchmark::State& state) {
  auto sets = changeSets();
  for (auto _ : state) {
    Value encoded = encodeAll(sets);
    benchmark::DoNotOptimize(encoded);
  }
}
BENCHMARK(BM_EncodeChangeSetsWithoutText)->Unit(benchmark::kMicrosecond);

void BM_BoostSerializeTheSameDocument(benchmark::State& state) {
  boost::json::value doc = JSONSerialization::toBoost(encodeAll(changeSets()));
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::string text = boost::json::serialize(doc);
    bytes += text.size();
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_BoostSerializeTheSameDocument)->Unit(benchmark::kMicrosecond);

// n existing integers; n new ones, half of them already present.
void BM_AddUniqueIntoArray(benchmark::State& state) {
  const auto n = static_cast<int>(state.range(0));
  Array existing, added;
  for (int i = 0; i < n; ++i) existing.push_back(Value(i));
  for (int i = n / 2; i < n / 2 + n; ++i) added.push_back(Value(i));
  AddUniqueOperation op(added);
  for (auto _ : state) {
    Array out = op.addedTo(existing);
    benchmark::DoNotOptimize(out);
  }
  state.SetComplexityN(n);
}
BENCHMARK(BM_AddUniqueIntoArray)->RangeMultiplier(10)->Range(1000, 100000)->Unit(benchmark::kMicrosecond)->Complexity();

void BM_UnorderedSetInsert(benchmark::State& state) {
  const auto n = static_cast<int>(state.range(0));
  std::unordered_set<std::int64_t> existing;
  std::vector<std::int64_t> added;
  for (int i = 0; i < n; ++i) existing.insert(i);
  for (int i = n / 2; i < n / 2 + n; ++i) added.push_back(i);
  for (auto _ : state) {
    auto out = existing;
    for (auto v : added) out.insert(v);
    benchmark::DoNotOptimize(out);
  }
  state.SetComplexityN(n);
}
BENCHMARK(BM_UnorderedSetInsert)->RangeMultiplier(10)->Range(1000, 100000)->Unit(benchmark::kMicrosecond)->Complexity();

}  // namespace

BENCHMARK_MAIN();
