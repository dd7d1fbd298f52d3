// How long the favourites table takes to ask for its rows again, with cells reused across
// reloads, beside building fresh cells every time; and how long the bar chart takes to take new
// bars. Run offscreen: QT_QPA_PLATFORM=offscreen ./bench_app_screens_table
#include <benchmark/benchmark.h>

#include <QApplication>

#include "app/screens/BarChartView.h"
#include "app/screens/TableView.h"

namespace {

QApplication& app() {
  static int argc = 1;
  static char name[] = "bench_app_screens_table";
  static char* argv[] = {name, nullptr};
  static QApplication* a = new QApplication(argc, argv);
  return *a;
}

class Rows : public stillnook::TableViewDataSource {
 public:
  explicit Rows(int n) : n_(n) {}
  int numberOfRows(stillnook::TableView*) override { return n_; }
  stillnook::TableViewCell* cellForRow(stillnook::TableView* table, int row) override {
    auto* cell = table->dequeueReusableCell(QStringLiteral("favoriteCell"), row);
    cell->setText(QString::number(row) + QStringLiteral(" min Exercise"));
    cell->setTextColor(Qt::white);
    cell->setAccessoryType(stillnook::TableViewCell::Accessory::DisclosureIndicator);
    return cell;
  }

 private:
  int n_;
};

void BM_TableReloadReusingCells(benchmark::State& state) {
  app();
  stillnook::TableView table;
  Rows rows(static_cast<int>(state.range(0)));
  table.registerCellClass(QStringLiteral("favoriteCell"));
  table.setDataSource(&rows);
  table.reloadData();
  for (auto _ : state) {
    table.reloadData();
    benchmark::DoNotOptimize(table.numberOfRows());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_TableReloadReusingCells)->Arg(20)->Arg(200);

void BM_TableReloadWithFreshCells(benchmark::State& state) {
  app();
  Rows rows(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    // A new table each time: every cell is created, as without reuse.
    stillnook::TableView table;
    table.registerCellClass(QStringLiteral("favoriteCell"));
    table.setDataSource(&rows);
    table.reloadData();
    benchmark::DoNotOptimize(table.numberOfRows());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_TableReloadWithFreshCells)->Arg(20)->Arg(200);

void BM_ChartSetData(benchmark::State& state) {
  app();
  stillnook::BarChartView chart;
  chart.resize(390, 400);
  stillnook::BarChartData data;
  for (int i = 0; i < state.range(0); ++i) {
    data.xValues << QStringLiteral("Mar %1").arg(i + 1);
    data.dataSet.entries.push_back({static_cast<double>(i % 60), i});
  }
  data.dataSet.label = QStringLiteral("Minutes");
  for (auto _ : state) {
    chart.setData(data);
    benchmark::DoNotOptimize(chart.hasBars());
  }
}
BENCHMARK(BM_ChartSetData)->Arg(7)->Arg(12);

}  // namespace

BENCHMARK_MAIN();
