// A plain one-section table in the style of the phone platform: rows come from a data source
// that dequeues reusable cells by identifier, a delegate hears about selections, and cells carry
// text, colours, layout margins, a disclosure accessory and an accessibility value.
//
// The table asks its data source for rows on reloadData() and whenever it is shown, so a table
// that is hidden while its data changes shows the new rows the next time it appears.
//
// Thread-safety: GUI thread only. The table owns its cells; the data source and delegate are not
// owned and must outlive the table or be cleared first.
#pragma once

#include <QColor>
#include <QFrame>
#include <QLabel>
#include <QMargins>
#include <QScrollArea>
#include <QString>

#include <map>
#include <vector>

class QVBoxLayout;

namespace stillnook {

class TableView;

// One row of a TableView.
class TableViewCell : public QFrame {
  Q_OBJECT

 public:
  enum class Accessory { None, DisclosureIndicator };

  explicit TableViewCell(const QString& reuseIdentifier, QWidget* parent = nullptr);

  const QString& reuseIdentifier() const { return reuseIdentifier_; }
  QLabel* textLabel() const { return textLabel_; }
  QString text() const { return textLabel_->text(); }
  void setText(const QString& text) { textLabel_->setText(text); }
  QColor textColor() const;
  void setTextColor(const QColor& color);
  QColor backgroundColor() const { return background_; }
  void setBackgroundColor(const QColor& color);
  QMargins layoutMargins() const;
  void setLayoutMargins(const QMargins& margins);
  Accessory accessoryType() const { return accessory_; }
  void setAccessoryType(Accessory accessory);
  QString accessibilityValue() const { return accessibilityValue_; }
  void setAccessibilityValue(const QString& value);
  bool isSelected() const { return selected_; }

  // Returns the row this cell shows now, or -1 while it waits for reuse.
  int row() const { return row_; }

 signals:
  void tapped(TableViewCell* cell);

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  friend class TableView;
  void prepareForReuse();
  void setSelected(bool selected);

  QString reuseIdentifier_;
  QLabel* textLabel_;
  QLabel* accessoryLabel_;
  QColor background_ = Qt::white;
  Accessory accessory_ = Accessory::None;
  QString accessibilityValue_;
  bool selected_ = false;
  int row_ = -1;
};

// Supplies a table's rows.
class TableViewDataSource {
 public:
  virtual ~TableViewDataSource() = default;
  // Returns the number of rows of the table's one section.
  virtual int numberOfRows(TableView* table) = 0;
  // Returns the cell for `row`, normally from table->dequeueReusableCell(identifier, row).
  virtual TableViewCell* cellForRow(TableView* table, int row) = 0;
};

// Hears about the user's selections.
class TableViewDelegate {
 public:
  virtual ~TableViewDelegate() = default;
  virtual void didSelectRow(TableView* table, int row) = 0;
};

class TableView : public QScrollArea {
  Q_OBJECT

 public:
  explicit TableView(QWidget* parent = nullptr);

  void setDataSource(TableViewDataSource* dataSource) { dataSource_ = dataSource; }
  void setDelegate(TableViewDelegate* delegate) { delegate_ = delegate; }

  // Registers identifier as one the data source may dequeue cells for.
  void registerCellClass(const QString& identifier);
  // Returns a cell for `row` under `identifier`: a free one of that identifier, reset for reuse,
  // or a new one. REQUIRES: identifier was registered (an unregistered one gets nullptr).
  TableViewCell* dequeueReusableCell(const QString& identifier, int row);

  // Asks the data source for every row again.
  void reloadData();
  int numberOfRows() const { return static_cast<int>(rows_.size()); }
  // Returns the cell showing `row`, or nullptr.
  TableViewCell* cellForRow(int row) const;
  // Selects `row` as a tap does, then tells the delegate.
  void selectRow(int row);
  void deselectRow(int row, bool animated);
  // Returns the selected row or -1.
  int selectedRow() const { return selectedRow_; }

  QColor backgroundColor() const { return background_; }
  void setBackgroundColor(const QColor& color);
  QMargins layoutMargins() const;
  void setLayoutMargins(const QMargins& margins);
  // Returns the number of cells ever created (shows that cells are reused across reloads).
  int createdCellCount() const { return createdCells_; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void onCellTapped(TableViewCell* cell);

  TableViewDataSource* dataSource_ = nullptr;
  TableViewDelegate* delegate_ = nullptr;
  QWidget* content_;
  QVBoxLayout* layout_;
  QColor background_ = Qt::white;
  std::vector<QString> registered_;
  std::map<QString, std::vector<TableViewCell*>> pool_;
  std::vector<TableViewCell*> rows_;
  bool reloading_ = false;
  int selectedRow_ = -1;
  int createdCells_ = 0;
};

}  // namespace stillnook
