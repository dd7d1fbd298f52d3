// The small set of controls the Stillnook screens are built from, as thin Qt widgets: a stepper,
// buttons with per-state images and named target actions, a segmented control addressed by
// segment title, image views that load the app's own images by name or decode downloaded bytes,
// a navigation-bar button, a spinning busy mark, one-button alerts, a repeating timer that tests
// can fire by hand and a swipe recognizer that understands touch swipes, mouse drags and the
// arrow keys.
//
// Thread-safety: like every QWidget, these live on the GUI (main) thread and must only be used
// there. Ownership follows Qt's parent/child rule; screens keep QPointer outlets to them.
#pragma once

#include <QColor>
#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QPoint>
#include <QPointer>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QToolButton>
#include <QWidget>

#include <functional>
#include <map>
#include <vector>

class QButtonGroup;

namespace stillnook {

// Returns the app's own image `name` (e.g. "logo_white.png"); a null image for an unknown name.
QImage imageNamed(const QString& name);

// Returns `widget`'s background colour as set by setBackgroundColor-style calls (the palette's
// Window role when the widget fills its background, else a transparent colour).
QColor backgroundColorOf(const QWidget* widget);
// Sets `widget`'s background to `color` (alpha respected) through its palette.
void setBackgroundColorOf(QWidget* widget, const QColor& color);
// Sets the foreground (text) colour of a label or button.
void setTextColorOf(QWidget* widget, const QColor& color);
// Returns the foreground (text) colour of `widget`.
QColor textColorOf(const QWidget* widget);

// A stepper: a value between minimumValue and maximumValue moved by stepValue with a "-" and a
// "+" button (object names "decrement" and "increment"). Emits valueChanged after every change
// made through the buttons or setValue.
class Stepper : public QWidget {
  Q_OBJECT
  Q_PROPERTY(double value READ value WRITE setValue NOTIFY valueChanged)
  Q_PROPERTY(double minimumValue READ minimumValue WRITE setMinimumValue)
  Q_PROPERTY(double maximumValue READ maximumValue WRITE setMaximumValue)
  Q_PROPERTY(double stepValue READ stepValue WRITE setStepValue)

 public:
  explicit Stepper(QWidget* parent = nullptr);

  double value() const { return value_; }
  // Sets the value, clamped to [minimumValue, maximumValue].
  void setValue(double value);
  double minimumValue() const { return minimum_; }
  void setMinimumValue(double minimum);
  double maximumValue() const { return maximum_; }
  // Sets the maximum; a value above it is lowered to it.
  void setMaximumValue(double maximum);
  double stepValue() const { return step_; }
  void setStepValue(double step);

  // Steps up or down once, as a tap on "+" or "-" does.
  void stepUp();
  void stepDown();

 signals:
  void valueChanged(double value);

 private:
  void updateButtons();

  double value_ = 0;
  double minimum_ = 0;
  double maximum_ = 100;
  double step_ = 1;
  QPushButton* decrement_;
  QPushButton* increment_;
};

// A push button with a background colour, an image for the normal state drawn aspect-fit, a
// border, and target actions that are added and removed by name (so a screen can swap which
// of two actions a tap runs).
class Button : public QPushButton {
  Q_OBJECT

 public:
  enum class ContentMode { ScaleToFill, AspectFit };

  explicit Button(QWidget* parent = nullptr);

  QColor backgroundColor() const { return background_; }
  void setBackgroundColor(const QColor& color);
  double borderWidth() const { return borderWidth_; }
  void setBorderWidth(double width);
  QColor borderColor() const { return borderColor_; }
  void setBorderColor(const QColor& color);
  ContentMode imageContentMode() const { return contentMode_; }
  void setImageContentMode(ContentMode mode);

  // Sets the image shown in the normal state and the bundle name it came from (kept so that
  // callers and tests can ask which image is on display).
  void setImageNamed(const QString& name);
  QString imageName() const { return imageName_; }
  QImage image() const { return image_; }

  // Adds `action` under `name` to run on every tap (touch up inside). Adding a name twice keeps
  // one entry.
  void addTarget(const QString& name, std::function<void()> action);
  // Removes the action under `name`; no-op when there is none.
  void removeTarget(const QString& name);
  // Returns the names of the attached actions, in the order they were added.
  QStringList targetNames() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void runTargets();

  QColor background_ = QColor(0, 0, 0, 0);
  double borderWidth_ = 0;
  QColor borderColor_ = Qt::black;
  ContentMode contentMode_ = ContentMode::ScaleToFill;
  QString imageName_;
  QImage image_;
  std::vector<std::pair<QString, std::function<void()>>> targets_;
};

// A row of exclusive segments, each with a title. Emits valueChanged when the user picks a
// segment (not when the selection is set from code, as on the phone platform).
class SegmentedControl : public QWidget {
  Q_OBJECT
  Q_PROPERTY(QStringList segmentTitles READ segmentTitles WRITE setSegmentTitles)
  Q_PROPERTY(int selectedSegmentIndex READ selectedSegmentIndex WRITE setSelectedSegmentIndex)

 public:
  explicit SegmentedControl(QWidget* parent = nullptr);

  // Replaces the segments; selects none.
  void setSegmentTitles(const QStringList& titles);
  QStringList segmentTitles() const;
  int numberOfSegments() const;
  QString titleForSegment(int index) const;
  // Returns the segment index with `title`, or -1.
  int indexOfSegment(const QString& title) const;
  // Returns the selected index, or -1 when none is selected.
  int selectedSegmentIndex() const;
  void setSelectedSegmentIndex(int index);
  // Returns the button of segment `index` (for tests and styling), or nullptr.
  QPushButton* segmentButton(int index) const;

 signals:
  void valueChanged(SegmentedControl* sender);

 private:
  QButtonGroup* group_;
  std::vector<QPushButton*> buttons_;
};

// An image view: shows a QImage scaled to fit without distortion (aspect fit) or stretched.
class ImageView : public QWidget {
  Q_OBJECT

 public:
  explicit ImageView(QWidget* parent = nullptr);
  explicit ImageView(const QImage& image, QWidget* parent = nullptr);

  QImage image() const { return image_; }
  void setImage(const QImage& image);
  // Decodes `bytes` (PNG, JPEG, ...) and shows them; returns false and keeps the old image when
  // they do not decode.
  bool setImageFromData(const QByteArray& bytes);
  bool isAspectFit() const { return aspectFit_; }
  void setAspectFit(bool aspectFit);
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QImage image_;
  bool aspectFit_ = false;
};

// A navigation-bar button with a caption.
class BarButtonItem : public QToolButton {
  Q_OBJECT

 public:
  explicit BarButtonItem(QWidget* parent = nullptr);
  explicit BarButtonItem(const QString& title, QWidget* parent = nullptr);

  QString title() const { return text(); }
  void setTitle(const QString& title) { setText(title); }
};

// A small spinning busy mark, like the phone platform's activity indicator: an arc that turns
// while animating and is hidden while stopped.
class ActivityIndicatorView : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kSize = 18;
  static constexpr int kFrameMs = 80;

  explicit ActivityIndicatorView(QWidget* parent = nullptr);

  void startAnimating();
  void stopAnimating();
  bool isAnimating() const { return timer_.isActive(); }
  QColor color() const { return color_; }
  void setColor(const QColor& color);
  QSize sizeHint() const override { return {kSize, kSize}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QTimer timer_;
  QColor color_ = Qt::white;
  int angle_ = 0;
};

// Shows an alert with `title`, `message` and one default "OK" button, window-modal over
// `parent` and without waiting for it. The box has the object name "alert" and deletes itself
// when closed. Returns the box.
QMessageBox* presentAlert(QWidget* parent, const QString& title, const QString& message);

// A repeating timer on the main loop, like the phone platform's: it fires every `interval`
// until invalidated. fire() runs the action at once, as a tick would, so that tests can drive
// a 60-second countdown without waiting.
class RepeatingTimer : public QObject {
  Q_OBJECT

 public:
  // Creates a timer that is not scheduled (never fires until schedule()).
  explicit RepeatingTimer(QObject* parent = nullptr);

  // Starts ticking every `intervalMs`, running `action` each time.
  void schedule(int intervalMs, std::function<void()> action);
  // Runs the action now, as a tick; does nothing once invalidated or before schedule().
  void fire();
  // Stops the timer for good.
  void invalidate();
  bool isValid() const { return valid_; }
  int interval() const { return timer_.interval(); }

 private:
  QTimer timer_;
  std::function<void()> action_;
  bool valid_ = false;
};

// Recognizes swipes in one direction on a view: a touch swipe gesture, a mouse drag of at least
// kMinimumDragDistance pixels that is mostly horizontal, or the matching arrow key. Emits
// recognized(this) for each one.
class SwipeRecognizer : public QObject {
  Q_OBJECT

 public:
  enum class Direction { Left, Right };
  static constexpr int kMinimumDragDistance = 40;

  SwipeRecognizer(Direction direction, QWidget* view);

  Direction direction() const { return direction_; }
  QWidget* view() const { return view_; }

 signals:
  void recognized(SwipeRecognizer* sender);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  Direction direction_;
  QPointer<QWidget> view_;
  QPoint pressPosition_;
  bool pressed_ = false;
};

}  // namespace stillnook
