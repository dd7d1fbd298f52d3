#include "app/screens/TableView.h"

#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPainter>
#include <QVBoxLayout>

#include <algorithm>

namespace stillnook {

TableViewCell::TableViewCell(const QString& reuseIdentifier, QWidget* parent)
    : QFrame(parent), reuseIdentifier_(reuseIdentifier), textLabel_(new QLabel(this)),
      accessoryLabel_(new QLabel(this)) {
  setObjectName(reuseIdentifier);
  textLabel_->setObjectName(QStringLiteral("textLabel"));
  accessoryLabel_->setObjectName(QStringLiteral("accessory"));
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(16, 0, 16, 0);
  layout->addWidget(textLabel_, 1);
  layout->addWidget(accessoryLabel_);
  setMinimumHeight(44);
  setCursor(Qt::PointingHandCursor);
  accessoryLabel_->hide();
}

QColor TableViewCell::textColor() const { return textLabel_->palette().color(QPalette::WindowText); }

void TableViewCell::setTextColor(const QColor& color) {
  for (auto* label : {textLabel_, accessoryLabel_}) {
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, color);
    label->setPalette(p);
  }
}

void TableViewCell::setBackgroundColor(const QColor& color) {
  background_ = color;
  update();
}

QMargins TableViewCell::layoutMargins() const { return layout()->contentsMargins(); }

void TableViewCell::setLayoutMargins(const QMargins& margins) {
  layout()->setContentsMargins(margins);
}

void TableViewCell::setAccessoryType(Accessory accessory) {
  accessory_ = accessory;
  accessoryLabel_->setText(accessory == Accessory::DisclosureIndicator ? QStringLiteral("›") : QString());
  accessoryLabel_->setVisible(accessory == Accessory::DisclosureIndicator);
}

void TableViewCell::setAccessibilityValue(const QString& value) {
  accessibilityValue_ = value;
  setAccessibleDescription(value);
}

void TableViewCell::prepareForReuse() {
  row_ = -1;
  selected_ = false;
  update();
}

void TableViewCell::setSelected(bool selected) {
  selected_ = selected;
  update();
}

void TableViewCell::mousePressEvent(QMouseEvent* event) { event->accept(); }

void TableViewCell::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
    emit tapped(this);
  }
  event->accept();
}

void TableViewCell::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  painter.fillRect(rect(), background_);
  // The selected look: a darker wash over the cell's own colour until it is deselected.
  if (selected_) painter.fillRect(rect(), QColor(0, 0, 0, 60));
  painter.setPen(QColor(255, 255, 255, 90));
  painter.drawLine(rect().bottomLeft(), rect().bottomRight());
  QFrame::paintEvent(event);
}

// ---------------------------------------------------------------------------------------------

TableView::TableView(QWidget* parent)
    : QScrollArea(parent), content_(new QWidget), layout_(new QVBoxLayout(content_)) {
  layout_->setContentsMargins(0, 0, 0, 0);
  layout_->setSpacing(0);
  layout_->addStretch(1);
  setWidget(content_);
  setWidgetResizable(true);
  setFrameShape(QFrame::NoFrame);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setBackgroundColor(background_);
}

void TableView::registerCellClass(const QString& identifier) {
  if (std::find(registered_.begin(), registered_.end(), identifier) == registered_.end()) {
    registered_.push_back(identifier);
  }
}

TableViewCell* TableView::dequeueReusableCell(const QString& identifier, int row) {
  if (std::find(registered_.begin(), registered_.end(), identifier) == registered_.end()) {
    return nullptr;
  }
  auto& free = pool_[identifier];
  TableViewCell* cell = nullptr;
  if (!free.empty()) {
    cell = free.back();
    free.pop_back();
    cell->prepareForReuse();
  } else {
    cell = new TableViewCell(identifier, content_);
    ++createdCells_;
    connect(cell, &TableViewCell::tapped, this, &TableView::onCellTapped);
  }
  cell->row_ = row;
  return cell;
}

void TableView::reloadData() {
  // The data source may call back into the table; a nested reload would hand out cells that
  // the outer one still places.
  if (reloading_) return;
  reloading_ = true;
  for (auto* cell : rows_) {
    if (!cell) continue;
    layout_->removeWidget(cell);
    cell->hide();
    cell->prepareForReuse();
    pool_[cell->reuseIdentifier()].push_back(cell);
  }
  rows_.clear();
  selectedRow_ = -1;
  const int count = dataSource_ ? std::max(0, dataSource_->numberOfRows(this)) : 0;
  for (int row = 0; row < count; ++row) {
    TableViewCell* cell = dataSource_->cellForRow(this, row);
    if (cell) {
      cell->row_ = row;
      layout_->insertWidget(row, cell);
      cell->show();
    }
    rows_.push_back(cell);
  }
  reloading_ = false;
}

TableViewCell* TableView::cellForRow(int row) const {
  if (row < 0 || row >= numberOfRows()) return nullptr;
  return rows_[row];
}

void TableView::selectRow(int row) {
  auto* cell = cellForRow(row);
  if (!cell) return;
  if (auto* old = cellForRow(selectedRow_)) old->setSelected(false);
  selectedRow_ = row;
  cell->setSelected(true);
  if (delegate_) delegate_->didSelectRow(this, row);
}

void TableView::deselectRow(int row, bool /*animated*/) {
  if (auto* cell = cellForRow(row)) cell->setSelected(false);
  if (row == selectedRow_) selectedRow_ = -1;
}

void TableView::setBackgroundColor(const QColor& color) {
  background_ = color;
  for (QWidget* w : {static_cast<QWidget*>(this), viewport(), content_}) {
    QPalette p = w->palette();
    p.setColor(QPalette::Window, color);
    p.setColor(QPalette::Base, color);
    w->setPalette(p);
    w->setAutoFillBackground(true);
  }
}

QMargins TableView::layoutMargins() const { return layout_->contentsMargins(); }

void TableView::setLayoutMargins(const QMargins& margins) { layout_->setContentsMargins(margins); }

void TableView::showEvent(QShowEvent* event) {
  QScrollArea::showEvent(event);
  reloadData();
}

void TableView::onCellTapped(TableViewCell* cell) {
  if (cell->row() >= 0) selectRow(cell->row());
}

}  // namespace stillnook
