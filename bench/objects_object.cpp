// Objects:
//  - building 10,000 objects from a decoded "results" array, as a query does, beside copying
//    the same dictionaries (the least any build could cost);
//  - setObject + objectForKey on one object, beside a plain dictionary set and lookup;
//  - rebuilding the estimate of an object with 50 fields and 3 queued sets of changes.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include <keel/base/JSONSerialization.h>
#include <keel/objects/Decoder.h>
#include <keel/objects/Object.h>
#include <keel/objects/ObjectEstimatedData.h>

namespace {

using namespace keel;

// A query reply of 10,000 catalogue entries, parsed from JSON text as the runner hands it over.
const Array& results() {
  static const Array rows = [] {
    std::string text = "{\"results\":[";
    for (int i = 0; i < 10000; ++i) {
      if (i) text += ",";
      text += "{\"objectId\":\"v" + std::to_string(i) +
              "\",\"createdAt\":\"2015-06-01T08:30:00.125Z\",\"updatedAt\":\"2015-06-02T08:30:00.125Z\","
              "\"Title\":\"Exercise " + std::to_string(i) +
              "\",\"Type\":\"Relax\",\"Mins\":" + std::to_string(5 + i % 6) +
              ",\"HTMLLink\":\"https://example.invalid/x\",\"ThumbnailImage\":\"t.png\",\"MP4Link\":\"v.mp4\","
              "\"ACL\":{\"*\":{\"read\":true}}}";
    }
    text += "]}";
    return JSONSerialization::JSONObjectFromString(text).value().get("results").arrayValue();
  }();
  return rows;
}

void BM_BuildObjectsFromResults(benchmark::State& state) {
  const Array& rows = results();
  for (auto _ : state) {
    std::vector<ObjectPtr> objects;
    objects.reserve(rows.size());
    for (const auto& row : rows) objects.push_back(Object::_objectFromDictionary(row.dictionaryValue(), "Video", true));
    benchmark::DoNotOptimize(objects.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(rows.size()));
}
BENCHMARK(BM_BuildObjectsFromResults)->Unit(benchmark::kMillisecond);

void BM_CopyResultDictionaries(benchmark::State& state) {
  const Array& rows = results();
  for (auto _ : state) {
    std::vector<Dictionary> copies;
    copies.reserve(rows.size());
    for (const auto& row : rows) copies.push_back(row.dictionaryValue());
    benchmark::DoNotOptimize(copies.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(rows.size()));
}
BENCHMARK(BM_CopyResultDictionaries)->Unit(benchmark::kMillisecond);

const std::vector<std::string>& fieldNames() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> out;
    for (int i = 0; i < 16; ++i) out.push_back("field" + std::to_string(i));
    return out;
  }();
  return names;
}

void BM_ObjectSetAndGet(benchmark::State& state) {
  auto object = Object::objectWithClassName("Video");
  const auto& names = fieldNames();
  std::size_t i = 0;
  for (auto _ : state) {
    const std::string& key = names[i++ % names.size()];
    object->setObject(Value(static_cast<int>(i)), key);
    benchmark::DoNotOptimize(object->objectForKey(key));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ObjectSetAndGet);

void BM_DictionarySetAndGet(benchmark::State& state) {
  Dictionary dictionary;
  const auto& names = fieldNames();
  std::size_t i = 0;
  for (auto _ : state) {
    const std::string& key = names[i++ % names.size()];
    dictionary.set(key, Value(static_cast<int>(i)));
    benchmark::DoNotOptimize(dictionary.find(key));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DictionarySetAndGet);

void BM_RebuildEstimate50Fields3Sets(benchmark::State& state) {
  Dictionary serverData;
  for (int i = 0; i < 50; ++i) {
    std::string key = "field" + std::to_string(i);
    if (i % 5 == 0) {
      serverData.set(key, Value(Array{Value("a"), Value("b"), Value(i)}));
    } else if (i % 2 == 0) {
      serverData.set(key, Value(i));
    } else {
      serverData.set(key, Value("text " + std::to_string(i)));
    }
  }
  std::vector<OperationSet> queue(3);
  for (int s = 0; s < 3; ++s) {
    for (int i = s; i < 50; i += 4) {
      std::string key = "field" + std::to_string(i);
      if (i % 5 == 0) {
        queue[s].setObject(AddUniqueOperation::addUniqueWithObjects(Array{Value("c"), Value(s)}), key);
      } else if (i % 2 == 0) {
        queue[s].setObject(IncrementOperation::incrementWithAmount(Value(1)), key);
      } else {
        queue[s].setObject(SetOperation::setWithValue(Value("changed")), key);
      }
    }
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(ObjectEstimatedData::estimatedDataFromServerData(serverData, queue));
  }
}
BENCHMARK(BM_RebuildEstimate50Fields3Sets);

}  // namespace

BENCHMARK_MAIN();
