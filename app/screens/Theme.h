// The app's colours and the few looks the screens share. The two greens are the app's own: the
// bar/highlight green and the lighter table/chart green.
//
// Thread-safety: GUI thread only (the functions touch widgets).
#pragma once

#include <QColor>
#include <QWidget>

namespace stillnook {

class Button;
class ImageView;

namespace theme {

// Red 0.2, green 0.72, blue 0.58: the navigation bar, the active tab, the chart's bars.
QColor highlightGreen();
// Red 0.19, green 0.84, blue 0.62: the favourites table, its cells, the chart's background.
QColor tableGreen();
// The background of every screen.
QColor screenBackground();
// White with alpha 0: a tab that is not active.
QColor transparentWhite();

// Gives a screen the app's background and white text.
void applyScreenLook(QWidget* screen);
// Gives a button the white outline the app uses for its plain buttons.
void styleOutlineButton(Button* button);
// Returns a new image view of "logo_white.png", aspect-fit, for a navigation item's title.
ImageView* logoTitleView();

}  // namespace theme
}  // namespace stillnook
