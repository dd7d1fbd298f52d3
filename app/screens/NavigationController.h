// NavigationController: the app's navigation container. It holds a stack of screens, shows the
// top one under a navigation bar, and gives every screen it hosts the same bar styling: an
// opaque green bar, white title and white controls, and a light status bar. The bar shows the
// top screen's title view and bar buttons, and a back control (titled by the previous screen's
// back-button item; the app's screens set an empty one, so the control shows only its arrow).
// A busy mark beside the title shows while network requests are in flight.
//
// Thread-safety: GUI thread only. Ownership: the container owns the screens on its stack (Qt
// children); a popped screen is deleted once control returns to the event loop.
#pragma once

#include <QColor>
#include <QFrame>
#include <QPointer>
#include <QToolButton>

#include <vector>

#include "app/screens/ViewController.h"

#include <QLabel>

class QHBoxLayout;
class QStackedWidget;

namespace stillnook {

class ActivityIndicatorView;

enum class StatusBarStyle { Default, LightContent };

// The bar over the screens; its looks are plain properties the container sets in viewDidLoad.
class NavigationBar : public QFrame {
  Q_OBJECT

 public:
  explicit NavigationBar(QWidget* parent = nullptr);

  bool isTranslucent() const { return translucent_; }
  void setTranslucent(bool translucent);
  QColor barTintColor() const { return barTint_; }
  void setBarTintColor(const QColor& color);
  QColor titleTextColor() const { return titleText_; }
  void setTitleTextColor(const QColor& color);
  QColor tintColor() const { return tint_; }
  void setTintColor(const QColor& color);

  QToolButton* backButton() const { return back_; }
  // The busy mark beside the title, shown while the app has network requests in flight.
  ActivityIndicatorView* activityIndicator() const { return activity_; }
  bool isNetworkActivityIndicatorVisible() const;
  void setNetworkActivityIndicatorVisible(bool visible);
  // Returns the title of the back control without its arrow ("" for the app's screens).
  QString backButtonTitle() const { return backTitle_; }

 private:
  friend class NavigationController;
  void showItems(NavigationItem* item, NavigationItem* previous, QWidget* owner, QWidget* previousOwner);
  void applyLook();

  bool translucent_ = true;
  QColor barTint_ = QColor(247, 247, 247);
  QColor titleText_ = Qt::black;
  QColor tint_ = QColor(0, 122, 255);
  QToolButton* back_;
  ActivityIndicatorView* activity_;
  QHBoxLayout* leftSlot_;
  QHBoxLayout* titleSlot_;
  QHBoxLayout* rightSlot_;
  QString backTitle_;
  QPointer<QWidget> shown_[3];
  QPointer<QWidget> owners_[3];
};

class NavigationController : public ViewController {
  Q_OBJECT

 public:
  explicit NavigationController(QWidget* parent = nullptr);
  // Starts with `root` as the first screen.
  explicit NavigationController(ViewController* root, QWidget* parent = nullptr);

  NavigationBar* navigationBar() const { return bar_; }
  // Returns the light-content style: the bar is dark enough for white status text.
  StatusBarStyle preferredStatusBarStyle() const { return StatusBarStyle::LightContent; }

  // Puts `screen` on top and shows it (loading its view). Takes ownership.
  void pushViewController(ViewController* screen, bool animated = true);
  // Removes the top screen unless it is the only one; returns it (deleted later) or nullptr.
  ViewController* popViewController(bool animated = true);
  // Removes every screen above the first.
  void popToRootViewController(bool animated = true);

  const std::vector<QPointer<ViewController>>& viewControllers() const { return stack_; }
  ViewController* topViewController() const;
  // Returns the screen on display: the top one (the app presents no screens over the stack).
  ViewController* visibleViewController() const { return topViewController(); }

 protected:
  void loadView() override;
  void viewDidLoad() override;

 private:
  void showTop();

  NavigationBar* bar_;
  QStackedWidget* pages_;
  std::vector<QPointer<ViewController>> stack_;
};

}  // namespace stillnook
