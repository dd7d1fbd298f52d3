#include "app/screens/HomeViewController.h"

#include "app/FreeTime.h"
#include "app/screens/Controls.h"
#include "app/screens/ExerciseViewController.h"
#include "app/screens/Theme.h"
#include "ui_HomeViewController.h"

namespace stillnook {

HomeViewController::HomeViewController(AppEnvironment environment, QWidget* parent)
    : ViewController(parent),
      environment_(std::move(environment)),
      times_(kFreeTimeChoices.begin(), kFreeTimeChoices.end()) {
  setObjectName(QStringLiteral("home"));
}

HomeViewController::~HomeViewController() = default;

void HomeViewController::setStepper(Stepper* stepper) {
  if (stepper_) disconnect(stepper_, nullptr, this, nullptr);
  stepper_ = stepper;
  if (stepper) connect(stepper, &Stepper::valueChanged, this, [this] { changeTime(stepper_); });
}

void HomeViewController::loadView() {
  ui_ = std::make_unique<Ui::HomeViewController>();
  ui_->setupUi(this);
  theme::applyScreenLook(this);
  setTimeLabel(ui_->timeLabel);
  setStepper(ui_->stepper);
  // The stepper's buttons keep their light face, so their signs need a dark ink.
  setTextColorOf(ui_->stepper, theme::screenBackground());
  beginButton_ = ui_->beginButton;
  theme::styleOutlineButton(beginButton_);
  beginButton_->addTarget(QStringLiteral("begin"), [this] { performSegue(QStringLiteral("exercise"), beginButton_); });

  auto* points = new BarButtonItem(this);
  points->setObjectName(QStringLiteral("chillPoints"));
  setChillPoints(points);
  navigationItem()->setRightBarButtonItem(points);
  progressButton_ = new BarButtonItem(QStringLiteral("Progress"), this);
  progressButton_->setObjectName(QStringLiteral("progressButton"));
  connect(progressButton_, &QToolButton::clicked, this, [this] { performSegue(QStringLiteral("progress"), progressButton_); });
  navigationItem()->setLeftBarButtonItem(progressButton_);
}

void HomeViewController::viewDidLoad() {
  if (chillPoints_) chillPoints_->setTitle(QString::number(environment_.chillPoints().chillPoints()));
  if (stepper_) stepper_->setMaximumValue(static_cast<double>(times_.size() - 1));
  navigationItem()->setTitleView(theme::logoTitleView());
  auto* back = new BarButtonItem(QString(), this);
  back->hide();
  navigationItem()->setBackBarButtonItem(back);
}

void HomeViewController::changeTime(Stepper* sender) {
  if (!sender || !timeLabel_) return;
  if (const std::optional<int> minutes = freeTimeAt(sender->value())) timeLabel_->setText(QString::number(*minutes));
}

void HomeViewController::prepareForSegue(Segue& segue, QObject*) {
  auto* exercise = qobject_cast<ExerciseViewController*>(segue.destinationScreen());
  if (!exercise) return;
  exercise->setMinutes(timeLabel_ ? parseMinutes(timeLabel_->text().toStdString()) : std::nullopt);
}

}  // namespace stillnook
