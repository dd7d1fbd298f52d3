// The record store against hand-written SQL on the same kind of file: replacing a catalogue of
// 10,000 exercises, and the three progress aggregates over ten years of daily practice.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "app/AppDelegate.h"
#include "app/Exercise.h"
#include "app/Model.h"
#include "app/Progress.h"
#include <keel/platform/Application.h>
#include <keel/platform/Calendar.h>
#include <keel/platform/FileSystem.h>
#include <keel/base/Sqlite.h>

namespace {

using namespace stillnook;

constexpr int kCatalogueSize = 10000;

struct Sandbox {
  Sandbox() {
    char pattern[] = "/tmp/stillnook-bench-XXXXXX";
    root = mkdtemp(pattern);
    platform::setSandboxRoot(root);
    delegate = std::make_shared<AppDelegate>();
    platform::Application::sharedApplication().setDelegate(delegate);
  }
  ~Sandbox() {
    platform::Application::sharedApplication().setDelegate(nullptr);
    delegate.reset();
    std::filesystem::remove_all(root);
  }
  std::string root;
  std::shared_ptr<AppDelegate> delegate;
};

void fillCatalogue(ManagedObjectContext& context) {
  for (int i = 0; i < kCatalogueSize; ++i) {
    const std::string id = "obj" + std::to_string(i);
    Exercise::addExercise(id, (i % 6 + 1) * 5, i % 2 ? "Relax" : "Energize", "Exercise " + id,
                          "https://videos.example/" + id, "https://images.example/" + id + ".png",
                          "https://videos.example/" + id + ".mp4", context);
  }
}

void BM_ReplaceCatalogue_RecordStore(benchmark::State& state) {
  Sandbox sandbox;
  auto context = sandbox.delegate->managedObjectContext();
  fillCatalogue(*context);
  context->save();
  for (auto _ : state) {
    sandbox.delegate->removeData();
    fillCatalogue(*context);
    if (!context->save()) state.SkipWithError("save failed");
  }
  state.SetItemsProcessed(state.iterations() * kCatalogueSize);
}
BENCHMARK(BM_ReplaceCatalogue_RecordStore)->Unit(benchmark::kMillisecond);

void BM_ReplaceCatalogue_HandWrittenSql(benchmark::State& state) {
  Sandbox sandbox;
  sandbox.delegate->managedObjectContext();  // the same file, tables and indexes
  platform::Database db(platform::documentsDirectory() + "/" + kStoreFileName);
  db.exec("PRAGMA journal_mode=WAL");
  db.exec("PRAGMA synchronous=FULL");
  auto run = [&] {
    platform::Transaction transaction(db);
    db.exec("DELETE FROM Exercise");
    auto insert = db.prepare(
        "INSERT INTO Exercise (minutes, thumbnailImageURL, title, type, videoURL, objectId, youtubeURL) "
        "VALUES (?, ?, ?, ?, ?, ?, ?)");
    for (int i = 0; i < kCatalogueSize; ++i) {
      const std::string id = "obj" + std::to_string(i);
      insert.bind(1, (i % 6 + 1) * 5)
          .bind(2, "https://images.example/" + id + ".png")
          .bind(3, "Exercise " + id)
          .bind(4, i % 2 ? "Relax" : "Energize")
          .bind(5, "https://videos.example/" + id + ".mp4")
          .bind(6, id)
          .bind(7, "https://videos.example/" + id);
      insert.run();
      insert.reset();
    }
    transaction.commit();
  };
  run();
  for (auto _ : state) run();
  state.SetItemsProcessed(state.iterations() * kCatalogueSize);
}
BENCHMARK(BM_ReplaceCatalogue_HandWrittenSql)->Unit(benchmark::kMillisecond);

// Ten years of one practice a day, ending on 31 December 2026.
void fillPractice(ManagedObjectContext& context) {
  for (int year = 2017; year <= 2026; ++year) {
    for (int month = 1; month <= 12; ++month) {
      for (int day = 1; day <= platform::daysInMonth(year, month); ++day) {
        const auto c = platform::dateComponents(year, month, day);
        auto p = std::static_pointer_cast<Progress>(context.insertNewObjectForEntityForName(Progress::kEntityName));
        p->setMonth(month);
        p->setDay(day);
        p->setYear(year);
        p->setWeekday(c.weekday);
        p->setWeekOfYear(c.weekOfYear);
        p->setMinutes(5 + (day % 4) * 5);
      }
    }
  }
  context.save();
}

void BM_Aggregates_RecordStore(benchmark::State& state) {
  Sandbox sandbox;
  auto context = sandbox.delegate->managedObjectContext();
  fillPractice(*context);
  for (auto _ : state) {
    auto week = Progress::fetchProgressForWeek(23, 2026, *context);
    auto weeks = Progress::sumMinutesByWeek(6, 2026, *context);
    auto months = Progress::sumMinutesByMonth(2026, *context);
    benchmark::DoNotOptimize(week->size() + weeks->size() + months->size());
  }
}
BENCHMARK(BM_Aggregates_RecordStore)->Unit(benchmark::kMicrosecond);

void BM_Aggregates_HandWrittenSql(benchmark::State& state) {
  Sandbox sandbox;
  auto context = sandbox.delegate->managedObjectContext();
  fillPractice(*context);
  platform::Database db(platform::documentsDirectory() + "/" + kStoreFileName);
  for (auto _ : state) {
    std::size_t n = 0;
    auto week = db.prepare(
        "SELECT id, minutes, month, day, year, weekOfYear, weekday FROM Progress "
        "WHERE weekOfYear = ? AND year = ? ORDER BY year, month, day");
    week.bind(1, 23).bind(2, 2026);
    while (week.step()) n += static_cast<std::size_t>(week.getInt(1));
    auto weeks = db.prepare(
        "SELECT weekOfYear, SUM(minutes) FROM Progress WHERE (month = ? AND year = ?) OR (month = ? AND year = ?) "
        "GROUP BY weekOfYear ORDER BY weekOfYear");
    weeks.bind(1, 6).bind(2, 2026).bind(3, 5).bind(4, 2026);
    while (weeks.step()) n += static_cast<std::size_t>(weeks.getInt(1));
    auto months = db.prepare("SELECT month, SUM(minutes) FROM Progress WHERE year = ? GROUP BY month ORDER BY month");
    months.bind(1, 2026);
    while (months.step()) n += static_cast<std::size_t>(months.getInt(1));
    benchmark::DoNotOptimize(n);
  }
}
BENCHMARK(BM_Aggregates_HandWrittenSql)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
