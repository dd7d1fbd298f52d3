#include "app/screens/TableView.h"

#include <QTest>

#include "QtTestApp.h"

namespace stillnook {
namespace {

class Rows : public TableViewDataSource, public TableViewDelegate {
 public:
  QStringList texts;
  std::vector<int> selected;
  int numberOfRows(TableView*) override { return static_cast<int>(texts.size()); }
  TableViewCell* cellForRow(TableView* table, int row) override {
    auto* cell = table->dequeueReusableCell("row", row);
    cell->setText(texts[row]);
    return cell;
  }
  void didSelectRow(TableView* table, int row) override {
    selected.push_back(row);
    table->deselectRow(row, true);
  }
};

class TableViewTest : public testing::QtTest {
 protected:
  void SetUp() override {
    QtTest::SetUp();
    table.registerCellClass("row");
    table.setDataSource(&rows);
    table.setDelegate(&rows);
    table.resize(300, 400);
  }
  TableView table;
  Rows rows;
};

TEST_F(TableViewTest, ReusesCellsAcrossReloads) {
  rows.texts = {"a", "b", "c"};
  table.reloadData();
  rows.texts = {"c", "b"};
  table.reloadData();
  rows.texts = {"x", "y", "z"};
  table.reloadData();
  EXPECT_EQ(table.createdCellCount(), 3);
  ASSERT_EQ(table.numberOfRows(), 3);
  EXPECT_EQ(table.cellForRow(0)->text(), "x");
  EXPECT_EQ(table.cellForRow(2)->row(), 2);
  EXPECT_EQ(table.dequeueReusableCell("unregistered", 0), nullptr);
}

TEST_F(TableViewTest, AsksForRowsWhenShownAndReportsTaps) {
  rows.texts = {"a", "b"};
  table.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&table));
  ASSERT_EQ(table.numberOfRows(), 2);
  TableViewCell* second = table.cellForRow(1);
  QTest::mouseClick(second, Qt::LeftButton, {}, second->rect().center());
  EXPECT_EQ(rows.selected, std::vector<int>{1});
  EXPECT_FALSE(second->isSelected());  // the delegate deselected it
  EXPECT_EQ(table.selectedRow(), -1);
}

}  // namespace
}  // namespace stillnook
