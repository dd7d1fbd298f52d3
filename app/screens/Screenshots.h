// Screenshots: renders every screen and the three chart views offscreen to PNG files, for the
// README. It runs the whole app in a fresh temporary sandbox with a small sample catalogue (made
// in code, thumbnails drawn on the spot) and a few weeks of practice history.
//
// Thread-safety: GUI thread only; needs a QApplication and the Qt main queue. It takes over the
// running application's delegate and sandbox for its duration.
#pragma once

#include <QString>
#include <QStringList>

namespace stillnook {

// Writes home.png, exercise.png, favorites.png, completion.png, progress-daily.png,
// progress-weekly.png and progress-monthly.png into `directory` (created if needed). Returns the
// paths written; empty when the directory cannot be made.
QStringList renderScreenshots(const QString& directory);

}  // namespace stillnook
