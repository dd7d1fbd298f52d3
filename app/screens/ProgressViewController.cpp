#include "app/screens/ProgressViewController.h"

#include <QLabel>

#include "app/ProgressChart.h"
#include "app/screens/BarChartView.h"
#include "app/screens/Controls.h"
#include "app/screens/Theme.h"
#include "ui_ProgressViewController.h"

namespace stillnook {

ProgressViewController::ProgressViewController(AppEnvironment environment, QWidget* parent)
    : ViewController(parent), environment_(std::move(environment)) {
  setObjectName(QStringLiteral("progress"));
}

ProgressViewController::~ProgressViewController() = default;

void ProgressViewController::setGraphType(SegmentedControl* control) {
  if (graphType_) disconnect(graphType_, nullptr, this, nullptr);
  graphType_ = control;
  if (control) connect(control, &SegmentedControl::valueChanged, this, &ProgressViewController::changeGraphType);
}

void ProgressViewController::setBarGraph(BarChartView* chart) {
  barGraph_ = chart;
  if (chart) chart->setNoDataText(QStringLiteral("Perform Exercises to See Your Progress!"));
}

void ProgressViewController::setChillPoints(QLabel* label) {
  chillPoints_ = label;
  if (label) label->setText(QString::number(environment_.chillPoints().chillPoints()));
}

void ProgressViewController::setNumExercises(QLabel* label) {
  numExercises_ = label;
  if (label) label->setText(QString::number(environment_.chillPoints().numExercises()));
}

void ProgressViewController::loadView() {
  ui_ = std::make_unique<Ui::ProgressViewController>();
  ui_->setupUi(this);
  theme::applyScreenLook(this);
  setGraphType(ui_->graphType);
  setTextColorOf(ui_->graphType, theme::screenBackground());
  setBarGraph(ui_->barGraph);
  setChillPoints(ui_->chillPoints);
  setNumExercises(ui_->numExercises);
}

void ProgressViewController::viewDidLoad() {
  loadChart(QStringLiteral("Daily"));
  navigationItem()->setTitleView(theme::logoTitleView());
}

void ProgressViewController::changeGraphType(SegmentedControl* sender) {
  if (!sender) return;
  loadChart(sender->titleForSegment(sender->selectedSegmentIndex()));
}

void ProgressViewController::loadChart(const QString& graphType) {
  if (!environment_.context) return;
  auto bars = progressBars(graphType, environment_.currentDate(), *environment_.context);
  if (!bars) return;
  setChart(bars->labels, bars->values);
}

void ProgressViewController::setChart(const QStringList& dataPoints, const std::vector<double>& values) {
  if (!barGraph_) return;
  BarChartData data;
  data.xValues = dataPoints;
  data.dataSet.label = QStringLiteral("Minutes");
  data.dataSet.colors = {theme::highlightGreen()};
  for (qsizetype i = 0; i < dataPoints.size() && i < static_cast<qsizetype>(values.size()); ++i) {
    data.dataSet.entries.push_back({values[static_cast<size_t>(i)], static_cast<int>(i)});
  }
  barGraph_->setData(data);
  barGraph_->setDescriptionText(QString());
  barGraph_->setXAxisLabelPosition(BarChartView::XAxisLabelPosition::Bottom);
  barGraph_->setBackgroundColor(theme::tableGreen());
  barGraph_->setTextColor(Qt::white);
  barGraph_->setLeftAxisLabelColor(Qt::white);
  barGraph_->setRightAxisLabelColor(Qt::white);
  barGraph_->setLegendTextColor(Qt::white);
  barGraph_->setXAxisLabelColor(Qt::white);
}

}  // namespace stillnook
