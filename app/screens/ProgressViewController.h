// ProgressViewController: the practice history as a bar chart of minutes ("Daily", "Weekly" or
// "Monthly", picked by segment title) beside the points total and the number of finished
// exercises. It only reads: the bars come from ProgressChart over the environment's record
// context as of the environment's today, the counters from its settings store, both once per
// change (the counters once per screen).
//
// Thread-safety: GUI thread only. Ownership: controls belong to the layout (QPointer outlets);
// the screen shares the record context with the application delegate.
#pragma once

#include <QPointer>
#include <QStringList>

#include <memory>
#include <vector>

#include "app/AppEnvironment.h"
#include "app/RecordStore.h"
#include "app/screens/BarChartView.h"
#include "app/screens/ViewController.h"

#include <QLabel>
namespace Ui {
class ProgressViewController;
}

namespace stillnook {


class ProgressViewController : public ViewController {
  Q_OBJECT

 public:
  explicit ProgressViewController(AppEnvironment environment, QWidget* parent = nullptr);
  ~ProgressViewController() override;

  const std::shared_ptr<ManagedObjectContext>& managedObjectContext() const { return environment_.context; }
  SegmentedControl* graphType() const { return graphType_; }
  void setGraphType(SegmentedControl* control);
  BarChartView* barGraph() const { return barGraph_; }
  // Connects the chart and gives it its no-data text.
  void setBarGraph(BarChartView* chart);
  QLabel* chillPoints() const { return chillPoints_; }
  // Connects the label and fills it with the points total.
  void setChillPoints(QLabel* label);
  QLabel* numExercises() const { return numExercises_; }
  // Connects the label and fills it with the number of finished exercises.
  void setNumExercises(QLabel* label);

  void changeGraphType(SegmentedControl* sender);
  // Shows the view named `graphType`; another name or a failed query leaves the chart as it is.
  void loadChart(const QString& graphType);
  void setChart(const QStringList& dataPoints, const std::vector<double>& values);

 protected:
  void loadView() override;
  void viewDidLoad() override;

 private:
  AppEnvironment environment_;
  QPointer<SegmentedControl> graphType_;
  QPointer<BarChartView> barGraph_;
  QPointer<QLabel> chillPoints_;
  QPointer<QLabel> numExercises_;
  std::unique_ptr<Ui::ProgressViewController> ui_;
};

}  // namespace stillnook
