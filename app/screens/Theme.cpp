#include "app/screens/Theme.h"

#include "app/screens/Controls.h"

namespace stillnook::theme {

QColor highlightGreen() { return QColor::fromRgbF(0.2f, 0.72f, 0.58f, 1.0f); }
QColor tableGreen() { return QColor::fromRgbF(0.19f, 0.84f, 0.62f, 1.0f); }
QColor screenBackground() { return QColor(33, 62, 72); }
QColor transparentWhite() { return QColor::fromRgbF(1.0f, 1.0f, 1.0f, 0.0f); }

void applyScreenLook(QWidget* screen) {
  setBackgroundColorOf(screen, screenBackground());
  setTextColorOf(screen, Qt::white);
}

void styleOutlineButton(Button* button) {
  button->setBorderWidth(1.0);
  button->setBorderColor(Qt::white);
  setTextColorOf(button, Qt::white);
}

ImageView* logoTitleView() {
  auto* view = new ImageView(imageNamed(QStringLiteral("logo_white.png")));
  view->setObjectName(QStringLiteral("titleView"));
  view->setAspectFit(true);
  return view;
}

}  // namespace stillnook::theme
