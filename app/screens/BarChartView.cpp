#include "app/screens/BarChartView.h"

#include <QBarCategoryAxis>
#include <QBarSeries>
#include <QBarSet>
#include <QChart>
#include <QLabel>
#include <QLegend>
#include <QValueAxis>

#include <algorithm>

namespace stillnook {

BarChartView::BarChartView(QWidget* parent) : QChartView(parent), noData_(new QLabel(this)) {
  setObjectName(QStringLiteral("barGraph"));
  setRenderHint(QPainter::Antialiasing);
  noData_->setObjectName(QStringLiteral("noDataText"));
  noData_->setAlignment(Qt::AlignCenter);
  noData_->setWordWrap(true);
  chart()->setAnimationOptions(QChart::NoAnimation);
  chart()->legend()->setAlignment(Qt::AlignBottom);
  chart()->setBackgroundRoundness(0);
  rebuild();
}

bool BarChartView::hasBars() const { return data_ && !data_->dataSet.entries.empty(); }

void BarChartView::setData(const BarChartData& data) {
  data_ = data;
  rebuild();
}

void BarChartView::setNoDataText(const QString& text) {
  noDataText_ = text;
  noData_->setText(text);
}

bool BarChartView::isShowingNoDataText() const { return !hasBars() && !noData_->isHidden(); }

void BarChartView::setDescriptionText(const QString& text) {
  descriptionText_ = text;
  chart()->setTitle(text);
}

void BarChartView::setXAxisLabelPosition(XAxisLabelPosition position) {
  xPosition_ = position;
  rebuild();
}

void BarChartView::setBackgroundColor(const QColor& color) {
  background_ = color;
  applyColors();
}

void BarChartView::setTextColor(const QColor& color) {
  text_ = color;
  applyColors();
}

void BarChartView::setLeftAxisLabelColor(const QColor& color) {
  leftAxisColor_ = color;
  applyColors();
}

void BarChartView::setRightAxisLabelColor(const QColor& color) {
  rightAxisColor_ = color;
  applyColors();
}

void BarChartView::setXAxisLabelColor(const QColor& color) {
  xAxisColor_ = color;
  applyColors();
}

void BarChartView::setLegendTextColor(const QColor& color) {
  legendColor_ = color;
  applyColors();
}

QStringList BarChartView::categories() const { return xAxis_ ? xAxis_->categories() : QStringList(); }

void BarChartView::rebuild() {
  QChart* c = chart();
  c->removeAllSeries();
  for (QAbstractAxis* axis : c->axes()) {
    c->removeAxis(axis);
    delete axis;
  }
  xAxis_ = nullptr;
  leftAxis_ = nullptr;
  rightAxis_ = nullptr;
  const bool bars = hasBars();
  noData_->setVisible(!bars);
  c->legend()->setVisible(bars);
  if (bars) {
    const auto& set = data_->dataSet;
    // Bars sit at their x positions; positions without an entry stay empty.
    int count = static_cast<int>(data_->xValues.size());
    for (const auto& e : set.entries) count = std::max(count, e.x + 1);
    QList<qreal> heights(count, 0.0);
    double maximum = 0;
    for (const auto& e : set.entries) {
      if (e.x < 0) continue;
      heights[e.x] = e.value;
      maximum = std::max(maximum, e.value);
    }
    auto* barSet = new QBarSet(set.label);
    barSet->append(heights);
    if (!set.colors.empty()) {
      barSet->setColor(set.colors.front());
      barSet->setBorderColor(set.colors.front());
    }
    auto* series = new QBarSeries;
    series->append(barSet);
    c->addSeries(series);
    QStringList labels = data_->xValues;
    while (labels.size() < count) labels << QString();
    xAxis_ = new QBarCategoryAxis;
    xAxis_->append(labels);
    // A phone-wide chart fits six "Mar 29" labels only in a smaller type.
    if (labels.size() > 4) {
      QFont font = xAxis_->labelsFont();
      font.setPointSizeF(font.pointSizeF() * 0.75);
      xAxis_->setLabelsFont(font);
    }
    leftAxis_ = new QValueAxis;
    rightAxis_ = new QValueAxis;
    for (auto* axis : {leftAxis_, rightAxis_}) {
      axis->setRange(0, maximum > 0 ? maximum * 1.1 : 1);
      axis->setLabelFormat(QStringLiteral("%.0f"));
      axis->setGridLineVisible(axis == leftAxis_);
    }
    c->addAxis(xAxis_, xPosition_ == XAxisLabelPosition::Bottom ? Qt::AlignBottom : Qt::AlignTop);
    c->addAxis(leftAxis_, Qt::AlignLeft);
    c->addAxis(rightAxis_, Qt::AlignRight);
    series->attachAxis(xAxis_);
    series->attachAxis(leftAxis_);
    series->attachAxis(rightAxis_);
  }
  applyColors();
}

void BarChartView::applyColors() {
  QChart* c = chart();
  c->setBackgroundBrush(background_);
  c->setBackgroundPen(Qt::NoPen);
  c->setPlotAreaBackgroundVisible(false);
  c->setTitleBrush(text_);
  QPalette p = palette();
  p.setColor(QPalette::Window, background_);
  p.setColor(QPalette::Base, background_);
  setPalette(p);
  setBackgroundBrush(background_);
  QPalette lp = noData_->palette();
  lp.setColor(QPalette::WindowText, text_);
  noData_->setPalette(lp);
  c->legend()->setLabelColor(legendColor_);
  if (xAxis_) xAxis_->setLabelsColor(xAxisColor_);
  if (leftAxis_) leftAxis_->setLabelsColor(leftAxisColor_);
  if (rightAxis_) rightAxis_->setLabelsColor(rightAxisColor_);
}

void BarChartView::resizeEvent(QResizeEvent* event) {
  QChartView::resizeEvent(event);
  noData_->setGeometry(rect().adjusted(16, 16, -16, -16));
}

}  // namespace stillnook
