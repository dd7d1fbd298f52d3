// JSON text: parsing and writing a ~1 MB array of 10,000 small objects through Value, beside
// Boost.JSON's own parse into its own document (the ratio is the figure to watch).
#include <benchmark/benchmark.h>

#include <boost/json.hpp>
#include <fmt/format.h>

#include <keel/base/JSONSerialization.h>

namespace {

const std::string& document() {
  static const std::string text = [] {
    std::string out = "[";
    for (int i = 0; i < 10000; ++i) {
      if (i) out += ',';
      out += fmt::format(
          R"({{"objectId":"obj{:07}","Title":"Exercise number {}","Type":"{}","Mins":{},)"
          R"("score":{}.25,"done":{}}})",
          i, i, i % 2 ? "Relax" : "Energize", 5 * (i % 12 + 1), i % 100, i % 3 ? "true" : "false");
    }
    return out + "]";
  }();
  return text;
}

void BM_ParseIntoValues(benchmark::State& state) {
  const std::string& text = document();
  for (auto _ : state) {
    auto v = keel::JSONSerialization::JSONObjectFromString(text);
    benchmark::DoNotOptimize(v);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.counters["doc_bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_ParseIntoValues)->Unit(benchmark::kMillisecond);

void BM_BoostParseIntoItsOwnDocument(benchmark::State& state) {
  const std::string& text = document();
  for (auto _ : state) {
    auto v = boost::json::parse(text);
    benchmark::DoNotOptimize(v);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_BoostParseIntoItsOwnDocument)->Unit(benchmark::kMillisecond);

void BM_SerializeValues(benchmark::State& state) {
  const std::string& text = document();
  keel::Value v = *keel::JSONSerialization::JSONObjectFromString(text);
  std::size_t bytes = 0;
  for (auto _ : state) {
    auto out = keel::JSONSerialization::stringFromJSONObject(v);
    bytes += out.size();
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_SerializeValues)->Unit(benchmark::kMillisecond);

void BM_BoostSerializeItsOwnDocument(benchmark::State& state) {
  boost::json::value v = boost::json::parse(document());
  std::size_t bytes = 0;
  for (auto _ : state) {
    auto out = boost::json::serialize(v);
    bytes += out.size();
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_BoostSerializeItsOwnDocument)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
