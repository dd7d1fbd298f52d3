// ViewController: the base of every Stillnook screen. A screen is a QWidget whose contents are
// built on first use (lazy view loading): view() runs loadView() and then viewDidLoad() once, so
// data handed over before the screen is shown (in the source's prepareForSegue) is in place when
// viewDidLoad reads it. Each screen has a navigation item (title view, back-button item, bar
// buttons) that the hosting NavigationController shows, leaves through transitions named in the
// Storyboard (performSegue / prepareForSegue), and can present dialogs (alerts, sheets, players).
//
// Thread-safety: GUI thread only. Ownership: a screen on a navigation stack is owned by the
// NavigationController (as a Qt child); the navigation item owns its title view and bar buttons
// until the bar takes them; presented dialogs are children of the screen.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>

#include "app/screens/Controls.h"

#include <functional>

namespace stillnook {


class NavigationController;
class Storyboard;
class ViewController;

// What the navigation bar shows while a screen is on top, and the back control that screens
// pushed from it show.
class NavigationItem : public QObject {
  Q_OBJECT

 public:
  explicit NavigationItem(QObject* parent = nullptr) : QObject(parent) {}

  QWidget* titleView() const { return titleView_; }
  // Sets the widget shown in the middle of the bar (the screen keeps ownership until shown).
  void setTitleView(QWidget* view);
  BarButtonItem* backBarButtonItem() const { return back_; }
  // Sets the item whose title the back control of screens pushed from this one shows.
  void setBackBarButtonItem(BarButtonItem* item);
  BarButtonItem* leftBarButtonItem() const { return left_; }
  void setLeftBarButtonItem(BarButtonItem* item);
  BarButtonItem* rightBarButtonItem() const { return right_; }
  void setRightBarButtonItem(BarButtonItem* item);

 signals:
  void changed();

 private:
  QPointer<QWidget> titleView_;
  QPointer<BarButtonItem> back_;
  QPointer<BarButtonItem> left_;
  QPointer<BarButtonItem> right_;
};

// One transition: its identifier, the screen it starts from and the screen (or navigation
// container) it leads to.
class Segue {
 public:
  Segue(QString identifier, ViewController* source, ViewController* destination)
      : identifier_(std::move(identifier)), source_(source), destination_(destination) {}

  const QString& identifier() const { return identifier_; }
  ViewController* sourceViewController() const { return source_; }
  // Returns the destination as the transition names it (possibly a navigation container).
  ViewController* destinationViewController() const { return destination_; }
  // Returns the destination screen, looking through a navigation container to its visible
  // screen, which is how screens find the one they hand data to.
  ViewController* destinationScreen() const;

 private:
  QString identifier_;
  ViewController* source_;
  ViewController* destination_;
};

class ViewController : public QWidget {
  Q_OBJECT

 public:
  explicit ViewController(QWidget* parent = nullptr);
  ~ViewController() override;

  // Returns the screen's view, loading it first if needed (loadView, then viewDidLoad).
  QWidget* view();
  bool isViewLoaded() const { return viewLoaded_; }
  // Loads the view now when it is not loaded yet.
  void loadViewIfNeeded() { view(); }

  NavigationItem* navigationItem() const { return navigationItem_; }
  // Returns the container whose stack holds this screen, or nullptr.
  NavigationController* navigationController() const;

  // Returns the name the storyboard knows this screen by ("home", "exercise", ...).
  const QString& storyboardIdentifier() const { return storyboardIdentifier_; }
  void setStoryboardIdentifier(const QString& identifier) { storyboardIdentifier_ = identifier; }
  Storyboard* storyboard() const { return storyboard_; }
  void setStoryboard(Storyboard* storyboard) { storyboard_ = storyboard; }

  // Runs the transition `identifier` of this screen's storyboard with `sender` as its cause.
  // Returns false (doing nothing) when the screen has no storyboard, the storyboard has no such
  // transition from this screen, or the screen is not on a navigation stack.
  bool performSegue(const QString& identifier, QObject* sender);
  // Called before a transition leaves this screen; the destination's view is not loaded yet.
  virtual void prepareForSegue(Segue& segue, QObject* sender);

  // Shows `dialog` window-modal over this screen without waiting for it and calls `completion`
  // once it is on screen. The screen takes ownership; the dialog deletes itself when closed.
  void presentViewController(QWidget* dialog, bool animated, std::function<void()> completion = {});
  // Returns the dialog presented last while it is still open, or nullptr.
  QWidget* presentedViewController() const { return presented_; }

 protected:
  // Builds the screen's controls (normally from its layout) and connects the outlets.
  virtual void loadView() {}
  // Called once, right after loadView().
  virtual void viewDidLoad() {}
  void showEvent(QShowEvent* event) override;

 private:
  NavigationItem* navigationItem_;
  QString storyboardIdentifier_;
  Storyboard* storyboard_ = nullptr;
  QPointer<QWidget> presented_;
  bool viewLoaded_ = false;
  bool loading_ = false;
};

}  // namespace stillnook
