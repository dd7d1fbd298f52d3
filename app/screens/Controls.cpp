#include "app/screens/Controls.h"

#include <QButtonGroup>
#include <QGestureEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QSwipeGesture>

#include <algorithm>
#include <cmath>

// Resources compiled into a static library are only registered when something asks for them.
static void initStillnookResources() { Q_INIT_RESOURCE(resources); }

namespace stillnook {

QImage imageNamed(const QString& name) {
  static const bool registered = (initStillnookResources(), true);
  (void)registered;
  if (name.isEmpty()) return {};
  return QImage(QStringLiteral(":/images/") + name);
}

QColor backgroundColorOf(const QWidget* widget) {
  if (!widget->autoFillBackground()) return QColor(0, 0, 0, 0);
  return widget->palette().color(QPalette::Window);
}

void setBackgroundColorOf(QWidget* widget, const QColor& color) {
  QPalette p = widget->palette();
  p.setColor(QPalette::Window, color);
  p.setColor(QPalette::Base, color);
  widget->setPalette(p);
  widget->setAutoFillBackground(true);
}

void setTextColorOf(QWidget* widget, const QColor& color) {
  QPalette p = widget->palette();
  p.setColor(QPalette::WindowText, color);
  p.setColor(QPalette::ButtonText, color);
  p.setColor(QPalette::Text, color);
  widget->setPalette(p);
}

QColor textColorOf(const QWidget* widget) { return widget->palette().color(QPalette::WindowText); }

// ---------------------------------------------------------------------------------------------
// Stepper

Stepper::Stepper(QWidget* parent)
    : QWidget(parent), decrement_(new QPushButton(QStringLiteral("−"), this)),
      increment_(new QPushButton(QStringLiteral("+"), this)) {
  decrement_->setObjectName(QStringLiteral("decrement"));
  increment_->setObjectName(QStringLiteral("increment"));
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(decrement_);
  layout->addWidget(increment_);
  for (auto* b : {decrement_, increment_}) b->setFixedSize(47, 29);
  connect(decrement_, &QPushButton::clicked, this, &Stepper::stepDown);
  connect(increment_, &QPushButton::clicked, this, &Stepper::stepUp);
  updateButtons();
}

void Stepper::setValue(double value) {
  double clamped = std::clamp(value, minimum_, std::max(minimum_, maximum_));
  if (clamped == value_) {
    updateButtons();
    return;
  }
  value_ = clamped;
  updateButtons();
  emit valueChanged(value_);
}

void Stepper::setMinimumValue(double minimum) {
  minimum_ = minimum;
  if (value_ < minimum_) setValue(minimum_);
  updateButtons();
}

void Stepper::setMaximumValue(double maximum) {
  maximum_ = maximum;
  if (value_ > maximum_) setValue(maximum_);
  updateButtons();
}

void Stepper::setStepValue(double step) {
  if (step > 0) step_ = step;
}

void Stepper::stepUp() {
  if (value_ < maximum_) setValue(value_ + step_);
}

void Stepper::stepDown() {
  if (value_ > minimum_) setValue(value_ - step_);
}

void Stepper::updateButtons() {
  decrement_->setEnabled(value_ > minimum_);
  increment_->setEnabled(value_ < maximum_);
}

// ---------------------------------------------------------------------------------------------
// Button

Button::Button(QWidget* parent) : QPushButton(parent) {
  setFlat(true);
  setCursor(Qt::PointingHandCursor);
  connect(this, &QPushButton::clicked, this, &Button::runTargets);
}

void Button::setBackgroundColor(const QColor& color) {
  background_ = color;
  update();
}

void Button::setBorderWidth(double width) {
  borderWidth_ = std::max(0.0, width);
  update();
}

void Button::setBorderColor(const QColor& color) {
  borderColor_ = color;
  update();
}

void Button::setImageContentMode(ContentMode mode) {
  contentMode_ = mode;
  update();
}

void Button::setImageNamed(const QString& name) {
  imageName_ = name;
  image_ = imageNamed(name);
  update();
}

void Button::addTarget(const QString& name, std::function<void()> action) {
  for (auto& entry : targets_) {
    if (entry.first == name) {
      entry.second = std::move(action);
      return;
    }
  }
  targets_.emplace_back(name, std::move(action));
}

void Button::removeTarget(const QString& name) {
  targets_.erase(std::remove_if(targets_.begin(), targets_.end(),
                                [&](const auto& entry) { return entry.first == name; }),
                 targets_.end());
}

QStringList Button::targetNames() const {
  QStringList names;
  for (const auto& entry : targets_) names << entry.first;
  return names;
}

void Button::runTargets() {
  // An action may swap the targets (the favourite toggle does), so run a snapshot: the tap
  // that triggered the swap must not also run the action it just attached.
  auto snapshot = targets_;
  for (auto& entry : snapshot) entry.second();
}

void Button::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF bounds = rect();
  QColor fill = background_;
  if (isDown() && fill.alpha() == 0) fill = QColor(255, 255, 255, 40);
  painter.fillRect(bounds, fill);
  if (!image_.isNull()) {
    QSizeF size = image_.size();
    QRectF target = bounds;
    if (contentMode_ == ContentMode::AspectFit) {
      size.scale(bounds.size(), Qt::KeepAspectRatio);
      target = QRectF(bounds.center() - QPointF(size.width() / 2, size.height() / 2), size);
    }
    painter.drawImage(target, image_);
  }
  if (!text().isEmpty()) {
    painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled,
                                   QPalette::ButtonText));
    painter.setFont(font());
    painter.drawText(bounds, Qt::AlignCenter, text());
  }
  if (borderWidth_ > 0) {
    QPen pen(borderColor_);
    pen.setWidthF(borderWidth_);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    const double inset = borderWidth_ / 2;
    painter.drawRect(bounds.adjusted(inset, inset, -inset, -inset));
  }
}

// ---------------------------------------------------------------------------------------------
// SegmentedControl

SegmentedControl::SegmentedControl(QWidget* parent)
    : QWidget(parent), group_(new QButtonGroup(this)) {
  group_->setExclusive(true);
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  connect(group_, &QButtonGroup::idClicked, this, [this](int) { emit valueChanged(this); });
}

void SegmentedControl::setSegmentTitles(const QStringList& titles) {
  for (auto* b : buttons_) {
    group_->removeButton(b);
    delete b;
  }
  buttons_.clear();
  int id = 0;
  for (const auto& title : titles) {
    auto* b = new QPushButton(title, this);
    b->setObjectName(QStringLiteral("segment_") + title);
    b->setCheckable(true);
    b->setAutoExclusive(false);
    layout()->addWidget(b);
    group_->addButton(b, id++);
    buttons_.push_back(b);
  }
}

QStringList SegmentedControl::segmentTitles() const {
  QStringList titles;
  for (auto* b : buttons_) titles << b->text();
  return titles;
}

int SegmentedControl::numberOfSegments() const { return static_cast<int>(buttons_.size()); }

QString SegmentedControl::titleForSegment(int index) const {
  if (index < 0 || index >= numberOfSegments()) return {};
  return buttons_[index]->text();
}

int SegmentedControl::indexOfSegment(const QString& title) const {
  for (int i = 0; i < numberOfSegments(); ++i) {
    if (buttons_[i]->text() == title) return i;
  }
  return -1;
}

int SegmentedControl::selectedSegmentIndex() const { return group_->checkedId(); }

void SegmentedControl::setSelectedSegmentIndex(int index) {
  if (index < 0 || index >= numberOfSegments()) {
    if (auto* checked = group_->checkedButton()) {
      group_->setExclusive(false);
      checked->setChecked(false);
      group_->setExclusive(true);
    }
    return;
  }
  buttons_[index]->setChecked(true);
}

QPushButton* SegmentedControl::segmentButton(int index) const {
  if (index < 0 || index >= numberOfSegments()) return nullptr;
  return buttons_[index];
}

// ---------------------------------------------------------------------------------------------
// ImageView

ImageView::ImageView(QWidget* parent) : QWidget(parent) {}

ImageView::ImageView(const QImage& image, QWidget* parent) : QWidget(parent), image_(image) {}

void ImageView::setImage(const QImage& image) {
  image_ = image;
  updateGeometry();
  update();
}

bool ImageView::setImageFromData(const QByteArray& bytes) {
  QImage decoded;
  if (!decoded.loadFromData(bytes)) return false;
  setImage(decoded);
  return true;
}

void ImageView::setAspectFit(bool aspectFit) {
  aspectFit_ = aspectFit;
  update();
}

QSize ImageView::sizeHint() const {
  if (image_.isNull()) return {120, 32};
  return image_.size().scaled(200, 32, Qt::KeepAspectRatio);
}

void ImageView::paintEvent(QPaintEvent*) {
  if (image_.isNull()) return;
  QPainter painter(this);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  QRectF target = rect();
  if (aspectFit_) {
    QSizeF size = image_.size();
    size.scale(target.size(), Qt::KeepAspectRatio);
    target = QRectF(target.center() - QPointF(size.width() / 2, size.height() / 2), size);
  }
  painter.drawImage(target, image_);
}

// ---------------------------------------------------------------------------------------------
// BarButtonItem

BarButtonItem::BarButtonItem(QWidget* parent) : QToolButton(parent) {
  setAutoRaise(true);
  setToolButtonStyle(Qt::ToolButtonTextOnly);
}

BarButtonItem::BarButtonItem(const QString& title, QWidget* parent) : BarButtonItem(parent) {
  setText(title);
}

// ---------------------------------------------------------------------------------------------
// Alerts

QMessageBox* presentAlert(QWidget* parent, const QString& title, const QString& message) {
  auto* box = new QMessageBox(QMessageBox::NoIcon, title, message, QMessageBox::NoButton, parent);
  box->setObjectName(QStringLiteral("alert"));
  auto* ok = box->addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
  box->setDefaultButton(ok);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::WindowModal);
  box->open();
  return box;
}

// ---------------------------------------------------------------------------------------------
// RepeatingTimer

ActivityIndicatorView::ActivityIndicatorView(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("activityIndicator"));
  setFixedSize(kSize, kSize);
  setAttribute(Qt::WA_TransparentForMouseEvents);
  QSizePolicy policy = sizePolicy();
  // Showing and hiding the mark must not shift the bar's other items.
  policy.setRetainSizeWhenHidden(true);
  setSizePolicy(policy);
  timer_.setInterval(kFrameMs);
  connect(&timer_, &QTimer::timeout, this, [this] {
    angle_ = (angle_ + 30) % 360;
    update();
  });
  hide();
}

void ActivityIndicatorView::startAnimating() {
  if (!timer_.isActive()) timer_.start();
  show();
}

void ActivityIndicatorView::stopAnimating() {
  timer_.stop();
  hide();
}

void ActivityIndicatorView::setColor(const QColor& color) {
  color_ = color;
  update();
}

void ActivityIndicatorView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QPen pen(color_, 2.5, Qt::SolidLine, Qt::RoundCap);
  painter.setPen(pen);
  const QRectF box = QRectF(rect()).adjusted(3, 3, -3, -3);
  // Qt measures arcs in sixteenths of a degree, counter-clockwise from three o'clock.
  painter.drawArc(box, -angle_ * 16, 270 * 16);
}

RepeatingTimer::RepeatingTimer(QObject* parent) : QObject(parent) {
  timer_.setSingleShot(false);
  connect(&timer_, &QTimer::timeout, this, &RepeatingTimer::fire);
}

void RepeatingTimer::schedule(int intervalMs, std::function<void()> action) {
  action_ = std::move(action);
  valid_ = true;
  timer_.start(intervalMs);
}

void RepeatingTimer::fire() {
  if (!valid_ || !action_) return;
  // Copy: the action may invalidate the timer, which drops action_.
  auto action = action_;
  action();
}

void RepeatingTimer::invalidate() {
  valid_ = false;
  timer_.stop();
  action_ = nullptr;
}

// ---------------------------------------------------------------------------------------------
// SwipeRecognizer

SwipeRecognizer::SwipeRecognizer(Direction direction, QWidget* view)
    : QObject(view), direction_(direction), view_(view) {
  view->installEventFilter(this);
  view->grabGesture(Qt::SwipeGesture);
  if (view->focusPolicy() == Qt::NoFocus) view->setFocusPolicy(Qt::StrongFocus);
}

bool SwipeRecognizer::eventFilter(QObject* watched, QEvent* event) {
  if (watched != view_) return false;
  switch (event->type()) {
    case QEvent::Gesture: {
      auto* ge = static_cast<QGestureEvent*>(event);
      if (auto* swipe = static_cast<QSwipeGesture*>(ge->gesture(Qt::SwipeGesture))) {
        if (swipe->state() == Qt::GestureFinished) {
          auto h = swipe->horizontalDirection();
          if ((h == QSwipeGesture::Left && direction_ == Direction::Left) ||
              (h == QSwipeGesture::Right && direction_ == Direction::Right)) {
            emit recognized(this);
          }
        }
      }
      return false;
    }
    case QEvent::MouseButtonPress: {
      auto* me = static_cast<QMouseEvent*>(event);
      if (me->button() == Qt::LeftButton) {
        pressed_ = true;
        pressPosition_ = me->position().toPoint();
      }
      return false;
    }
    case QEvent::MouseButtonRelease: {
      auto* me = static_cast<QMouseEvent*>(event);
      if (!pressed_ || me->button() != Qt::LeftButton) return false;
      pressed_ = false;
      const QPoint delta = me->position().toPoint() - pressPosition_;
      if (std::abs(delta.x()) < kMinimumDragDistance || std::abs(delta.x()) <= std::abs(delta.y())) {
        return false;
      }
      if ((delta.x() < 0 && direction_ == Direction::Left) ||
          (delta.x() > 0 && direction_ == Direction::Right)) {
        emit recognized(this);
      }
      return false;
    }
    case QEvent::KeyPress: {
      auto* ke = static_cast<QKeyEvent*>(event);
      if ((ke->key() == Qt::Key_Left && direction_ == Direction::Left) ||
          (ke->key() == Qt::Key_Right && direction_ == Direction::Right)) {
        emit recognized(this);
        return false;
      }
      return false;
    }
    default:
      return false;
  }
}

}  // namespace stillnook
