// BarChartView: the bar chart the progress screen draws into, on Qt Charts. It takes bar chart
// data (x label texts and one data set of values with a label and a colour), shows a "no data"
// text while it has no bars, and exposes the colour attributes the screen styles: its background,
// its own text colour, the three axes' label colour and the legend's label colour.
//
// Thread-safety: GUI thread only. The view owns its chart, series and axes.
#pragma once

#include <QChartView>
#include <QColor>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

class QLabel;
class QBarCategoryAxis;
class QValueAxis;

namespace stillnook {

// One bar: a value at an x position.
struct BarChartDataEntry {
  double value = 0;
  int x = 0;
};

// The bars of one series, named in the legend and drawn in `colors` (the first is used).
struct BarChartDataSet {
  std::vector<BarChartDataEntry> entries;
  QString label;
  std::vector<QColor> colors;
};

// What the chart shows: label i is drawn under the bar at x position i.
struct BarChartData {
  QStringList xValues;
  BarChartDataSet dataSet;
};

class BarChartView : public QChartView {
  Q_OBJECT

 public:
  enum class XAxisLabelPosition { Top, Bottom };

  explicit BarChartView(QWidget* parent = nullptr);

  // Replaces what the chart shows and redraws; no entries shows the no-data text.
  void setData(const BarChartData& data);
  const std::optional<BarChartData>& data() const { return data_; }
  // Returns true iff the chart has at least one bar to draw.
  bool hasBars() const;

  QString noDataText() const { return noDataText_; }
  void setNoDataText(const QString& text);
  // Returns true iff the no-data text is on display.
  bool isShowingNoDataText() const;
  QString descriptionText() const { return descriptionText_; }
  void setDescriptionText(const QString& text);

  XAxisLabelPosition xAxisLabelPosition() const { return xPosition_; }
  void setXAxisLabelPosition(XAxisLabelPosition position);

  QColor backgroundColor() const { return background_; }
  void setBackgroundColor(const QColor& color);
  // The chart's own text colour (no-data text, description).
  QColor textColor() const { return text_; }
  void setTextColor(const QColor& color);
  QColor leftAxisLabelColor() const { return leftAxisColor_; }
  void setLeftAxisLabelColor(const QColor& color);
  QColor rightAxisLabelColor() const { return rightAxisColor_; }
  void setRightAxisLabelColor(const QColor& color);
  QColor xAxisLabelColor() const { return xAxisColor_; }
  void setXAxisLabelColor(const QColor& color);
  QColor legendTextColor() const { return legendColor_; }
  void setLegendTextColor(const QColor& color);

  // Returns the labels drawn under the bars, in order (empty without data).
  QStringList categories() const;

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void rebuild();
  void applyColors();

  std::optional<BarChartData> data_;
  QString noDataText_;
  QString descriptionText_;
  XAxisLabelPosition xPosition_ = XAxisLabelPosition::Top;
  QColor background_ = Qt::white;
  QColor text_ = Qt::black;
  QColor leftAxisColor_ = Qt::black;
  QColor rightAxisColor_ = Qt::black;
  QColor xAxisColor_ = Qt::black;
  QColor legendColor_ = Qt::black;
  QLabel* noData_;
  QBarCategoryAxis* xAxis_ = nullptr;
  QValueAxis* leftAxis_ = nullptr;
  QValueAxis* rightAxis_ = nullptr;
};

}  // namespace stillnook
