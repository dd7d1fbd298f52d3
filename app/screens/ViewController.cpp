#include "app/screens/ViewController.h"

#include <QDialog>
#include <QEvent>
#include <QTimer>

#include "app/screens/Controls.h"
#include "app/screens/NavigationController.h"
#include "app/screens/Storyboard.h"

namespace stillnook {

void NavigationItem::setTitleView(QWidget* view) {
  titleView_ = view;
  emit changed();
}
void NavigationItem::setBackBarButtonItem(BarButtonItem* item) {
  back_ = item;
  emit changed();
}
void NavigationItem::setLeftBarButtonItem(BarButtonItem* item) {
  left_ = item;
  emit changed();
}
void NavigationItem::setRightBarButtonItem(BarButtonItem* item) {
  right_ = item;
  emit changed();
}

ViewController* Segue::destinationScreen() const {
  if (auto* navigation = qobject_cast<NavigationController*>(destination_)) return navigation->visibleViewController();
  return destination_;
}

ViewController::ViewController(QWidget* parent) : QWidget(parent), navigationItem_(new NavigationItem(this)) {}

ViewController::~ViewController() = default;

QWidget* ViewController::view() {
  // A screen whose loadView asks for its own view must not load twice.
  if (!viewLoaded_ && !loading_) {
    loading_ = true;
    loadView();
    viewLoaded_ = true;
    loading_ = false;
    viewDidLoad();
  }
  return this;
}

void ViewController::showEvent(QShowEvent* event) {
  view();
  QWidget::showEvent(event);
}

NavigationController* ViewController::navigationController() const {
  for (QObject* p = parent(); p; p = p->parent()) {
    if (auto* navigation = qobject_cast<NavigationController*>(p)) return navigation;
  }
  return nullptr;
}

bool ViewController::performSegue(const QString& identifier, QObject* sender) {
  return storyboard_ && storyboard_->perform(this, identifier, sender);
}

void ViewController::prepareForSegue(Segue&, QObject*) {}

void ViewController::presentViewController(QWidget* dialog, bool, std::function<void()> completion) {
  if (!dialog) return;
  dialog->setParent(this, dialog->windowFlags() | Qt::Dialog);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setWindowModality(Qt::WindowModal);
  presented_ = dialog;
  dialog->show();
  if (completion) {
    // The platform calls the completion once the presentation has finished; here that is the
    // next turn of the event loop after the dialog was shown.
    QPointer<QWidget> guard(dialog);
    QTimer::singleShot(0, this, [guard, completion = std::move(completion)] {
      if (guard) completion();
    });
  }
}

}  // namespace stillnook
