// Date text: parses per second of the precise form (fast path) and of forms only SQLite reads,
// and formatting of the precise form.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include <keel/base/DateFormatter.h>

namespace {

std::vector<std::string> samples(bool sqliteForm) {
  auto& f = keel::DateFormatter::sharedFormatter();
  std::vector<std::string> out;
  for (std::int64_t i = 0; i < 1024; ++i) {
    std::string s = f.preciseStringFromDate(keel::dateFromMillis(1433147400125 + i * 987654321));
    // Without the trailing "Z" the fast path declines and the prepared statement reads it.
    out.push_back(sqliteForm ? s.substr(0, 23) : s);
  }
  return out;
}

void parse(benchmark::State& state, bool sqliteForm) {
  auto texts = samples(sqliteForm);
  auto& f = keel::DateFormatter::sharedFormatter();
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(f.dateFromString(texts[i++ & 1023]));
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void BM_ParsePreciseFastPath(benchmark::State& state) { parse(state, false); }
BENCHMARK(BM_ParsePreciseFastPath);

void BM_ParseThroughSqlite(benchmark::State& state) { parse(state, true); }
BENCHMARK(BM_ParseThroughSqlite);

void BM_FormatPrecise(benchmark::State& state) {
  auto& f = keel::DateFormatter::sharedFormatter();
  std::int64_t i = 0;
  for (auto _ : state) {
    std::int64_t ms = 1433147400125 + (i++ & 1023) * 987654321;  // stays within four-digit years
    benchmark::DoNotOptimize(f.preciseStringFromDate(keel::dateFromMillis(ms)));
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_FormatPrecise);

}  // namespace

BENCHMARK_MAIN();
