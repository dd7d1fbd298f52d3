// JSON text: decoding a find reply of 10,000 objects ("results", ~3.4 MB, with dates, pointers
// and floating numbers as keel-server writes them) and writing it, each beside Boost.JSON doing
// the same job into and from its own document. The ratios of the times are the figures to
// watch; run with --benchmark_repetitions and --benchmark_enable_random_interleaving on this
// shared machine and compare medians.
//
// Adding a decode stage (for example turning special values into dates and pointers) is one
// more BENCHMARK_CAPTURE line of BM_DecodeReply with a function from text to the decoded value.
#include <benchmark/benchmark.h>

#include <random>

#include <boost/json.hpp>
#include <fmt/format.h>

#include <keel/base/JSONSerialization.h>

namespace {

// A find reply as keel-server sends it: plain fields, dates, a pointer, and floating numbers
// of every length, in its number form.
const std::string& reply() {
  static const std::string text = [] {
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    keel::Array results;
    for (int i = 0; i < 10000; ++i) {
      const auto date = fmt::format("2026-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", i % 12 + 1, i % 28 + 1,
                                    i % 24, i % 60, (i * 7) % 60, i % 1000);
      results.push_back(keel::Value(keel::Dictionary{
          {"objectId", keel::Value(fmt::format("v{:09}", i))},
          {"createdAt", keel::Value(date)},
          {"updatedAt", keel::Value(date)},
          {"Title", keel::Value(fmt::format("Exercise number {} ({} min)", i, 5 * (i % 12 + 1)))},
          {"Type", keel::Value(i % 2 ? "Relax" : "Energize")},
          {"Mins", keel::Value(5 * (i % 12 + 1))},
          {"score", keel::Value(unit(random))},
          {"done", keel::Value(i % 3 != 0)},
          {"lastPlayed", keel::Value(keel::Dictionary{{"__type", keel::Value("Date")}, {"iso", keel::Value(date)}})},
          {"owner", keel::Value(keel::Dictionary{{"__type", keel::Value("Pointer")},
                                                 {"className", keel::Value("_User")},
                                                 {"objectId", keel::Value(fmt::format("u{:06}", i % 500))}})},
      }));
    }
    return keel::JSONSerialization::stringFromJSONObject(keel::Value(keel::Dictionary{{"results", keel::Value(std::move(results))}}));
  }();
  return text;
}

// Decodes the reply with `decode`, a function from text to the decoded value.
template <typename Decode>
void BM_DecodeReply(benchmark::State& state, Decode decode) {
  const std::string& text = reply();
  for (auto _ : state) {
    auto v = decode(text);
    benchmark::DoNotOptimize(v);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.counters["doc_bytes"] = static_cast<double>(text.size());
}
BENCHMARK_CAPTURE(BM_DecodeReply, text_to_values,
                  [](const std::string& text) { return keel::JSONSerialization::JSONObjectFromString(text); })
    ->Unit(benchmark::kMillisecond);
// What the decoding is measured against.
BENCHMARK_CAPTURE(BM_DecodeReply, boost_document, [](const std::string& text) { return boost::json::parse(text); })
    ->Unit(benchmark::kMillisecond);

void BM_WriteReply(benchmark::State& state) {
  const keel::Value values = *keel::JSONSerialization::JSONObjectFromString(reply());
  for (auto _ : state) {
    auto out = keel::JSONSerialization::stringFromJSONObject(values);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * reply().size()));
}
BENCHMARK(BM_WriteReply)->Unit(benchmark::kMillisecond);

// keel-server writes its replies and stored documents from Boost.JSON documents.
void BM_WriteBoostDocument(benchmark::State& state) {
  const boost::json::value document = boost::json::parse(reply());
  for (auto _ : state) {
    auto out = keel::JSONSerialization::stringFromBoost(document);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * reply().size()));
}
BENCHMARK(BM_WriteBoostDocument)->Unit(benchmark::kMillisecond);

// What both writers are measured against.
void BM_BoostSerializer(benchmark::State& state) {
  const boost::json::value document = boost::json::parse(reply());
  for (auto _ : state) {
    auto out = boost::json::serialize(document);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * reply().size()));
}
BENCHMARK(BM_BoostSerializer)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
