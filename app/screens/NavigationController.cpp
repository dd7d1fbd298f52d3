#include "app/screens/NavigationController.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QStackedWidget>
#include <QVBoxLayout>

#include "app/screens/Controls.h"
#include "app/screens/Theme.h"

namespace stillnook {

namespace {
constexpr int kBarHeight = 44;
const QString kBackArrow = QStringLiteral("\u2039");
}  // namespace

NavigationBar::NavigationBar(QWidget* parent)
    : QFrame(parent), back_(new QToolButton(this)), activity_(new ActivityIndicatorView(this)) {
  setObjectName(QStringLiteral("navigationBar"));
  setFixedHeight(kBarHeight);
  setAutoFillBackground(true);
  back_->setObjectName(QStringLiteral("backButton"));
  back_->setAutoRaise(true);
  back_->hide();
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(6, 0, 6, 0);
  leftSlot_ = new QHBoxLayout;
  titleSlot_ = new QHBoxLayout;
  rightSlot_ = new QHBoxLayout;
  leftSlot_->addWidget(back_);
  row->addLayout(leftSlot_, 1);
  // The busy mark sits right of the title; a gap of its width on the left keeps the title
  // centred.
  row->addSpacing(ActivityIndicatorView::kSize);
  row->addLayout(titleSlot_, 2);
  row->addWidget(activity_, 0, Qt::AlignVCenter);
  row->addLayout(rightSlot_, 1);
  rightSlot_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  leftSlot_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  applyLook();
}

void NavigationBar::setTranslucent(bool translucent) {
  translucent_ = translucent;
  applyLook();
}
void NavigationBar::setBarTintColor(const QColor& color) {
  barTint_ = color;
  applyLook();
}
void NavigationBar::setTitleTextColor(const QColor& color) {
  titleText_ = color;
  applyLook();
}
void NavigationBar::setTintColor(const QColor& color) {
  tint_ = color;
  applyLook();
}

bool NavigationBar::isNetworkActivityIndicatorVisible() const { return activity_->isAnimating(); }

void NavigationBar::setNetworkActivityIndicatorVisible(bool visible) {
  if (visible) activity_->startAnimating();
  else activity_->stopAnimating();
}

void NavigationBar::applyLook() {
  QColor background = barTint_;
  // A translucent bar lets the content shine through; ours is opaque.
  if (translucent_) background.setAlphaF(0.85f);
  setBackgroundColorOf(this, background);
  setTextColorOf(back_, tint_);
  activity_->setColor(tint_);
  for (auto& widget : shown_) {
    if (!widget) continue;
    if (qobject_cast<QLabel*>(widget)) setTextColorOf(widget, titleText_);
    else setTextColorOf(widget, tint_);
  }
}

void NavigationBar::showItems(NavigationItem* item, NavigationItem* previous, QWidget* owner, QWidget* previousOwner) {
  // Hand the widgets of the screen shown before back to their screen.
  for (int i = 0; i < 3; ++i) {
    QWidget* widget = shown_[i];
    if (widget && widget->parent() == this) {
      widget->hide();
      // A screen deleted while on display leaves its bar widgets to us.
      if (owners_[i]) widget->setParent(owners_[i]);
      else widget->deleteLater();
    }
    shown_[i] = nullptr;
    owners_[i] = nullptr;
  }
  (void)previousOwner;
  if (previous) {
    backTitle_ = previous->backBarButtonItem() ? previous->backBarButtonItem()->title() : QStringLiteral("Back");
    back_->setText(backTitle_.isEmpty() ? kBackArrow : kBackArrow + QStringLiteral(" ") + backTitle_);
    back_->show();
  } else {
    backTitle_.clear();
    back_->hide();
  }
  if (!item) return;
  auto place = [&](QWidget* widget, QHBoxLayout* slot, int index) {
    if (!widget) return;
    owners_[index] = owner;
    widget->setParent(this);
    slot->addWidget(widget);
    widget->show();
    shown_[index] = widget;
  };
  if (!previous) place(item->leftBarButtonItem(), leftSlot_, 0);
  place(item->titleView(), titleSlot_, 1);
  place(item->rightBarButtonItem(), rightSlot_, 2);
  if (item->titleView()) item->titleView()->setMaximumHeight(kBarHeight - 8);
  applyLook();
}

NavigationController::NavigationController(QWidget* parent)
    : ViewController(parent), bar_(new NavigationBar(this)), pages_(new QStackedWidget(this)) {
  setObjectName(QStringLiteral("navigationController"));
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  column->addWidget(bar_);
  column->addWidget(pages_, 1);
  connect(bar_->backButton(), &QToolButton::clicked, this, [this] { popViewController(true); });
}

NavigationController::NavigationController(ViewController* root, QWidget* parent) : NavigationController(parent) {
  if (root) pushViewController(root, false);
}

void NavigationController::loadView() {}

void NavigationController::viewDidLoad() {
  NavigationBar* bar = navigationBar();
  bar->setTranslucent(false);
  bar->setBarTintColor(QColor::fromRgbF(0.2f, 0.72f, 0.58f, 1.0f));
  bar->setTitleTextColor(Qt::white);
  bar->setTintColor(Qt::white);
}

ViewController* NavigationController::topViewController() const {
  for (auto it = stack_.rbegin(); it != stack_.rend(); ++it) {
    if (*it) return *it;
  }
  return nullptr;
}

void NavigationController::pushViewController(ViewController* screen, bool) {
  if (!screen) return;
  view();
  stack_.emplace_back(screen);
  pages_->addWidget(screen);
  screen->view();
  connect(screen->navigationItem(), &NavigationItem::changed, this, [this, screen] {
    if (topViewController() == screen) showTop();
  });
  showTop();
}

ViewController* NavigationController::popViewController(bool) {
  if (stack_.size() < 2) return nullptr;
  ViewController* top = stack_.back();
  stack_.pop_back();
  showTop();
  if (top) {
    pages_->removeWidget(top);
    top->hide();
    top->deleteLater();
  }
  return top;
}

void NavigationController::popToRootViewController(bool animated) {
  while (stack_.size() > 1) popViewController(animated);
}

void NavigationController::showTop() {
  // Screens deleted behind our back leave empty entries; drop them.
  std::erase_if(stack_, [](const QPointer<ViewController>& p) { return p.isNull(); });
  ViewController* top = topViewController();
  ViewController* previous = stack_.size() >= 2 ? stack_[stack_.size() - 2].data() : nullptr;
  if (top) pages_->setCurrentWidget(top);
  bar_->showItems(top ? top->navigationItem() : nullptr, previous ? previous->navigationItem() : nullptr, top, previous);
}

}  // namespace stillnook
