// LaunchWindow: the small window shown while the launch waits for the exercise catalogue. It
// says that the exercises are being fetched, which attempt is under way and, after a failed
// attempt, how long until the next one (counted down each second), and offers "Continue offline"
// for a user who does not want to wait.
//
// Thread-safety: GUI thread only.
#pragma once

#include <QWidget>

#include <optional>

#include "app/CatalogSource.h"

class QLabel;
class QPushButton;
class QTimer;

namespace stillnook {

class LaunchWindow : public QWidget {
  Q_OBJECT

 public:
  explicit LaunchWindow(QWidget* parent = nullptr);

  // Shows where the fetch stands.
  void showProgress(const FetchProgress& progress);

  QLabel* attemptLabel() const { return attemptLabel_; }
  QLabel* nextTryLabel() const { return nextTryLabel_; }
  QPushButton* continueOfflineButton() const { return continueOffline_; }

 signals:
  // The user pressed "Continue offline".
  void continueOfflineRequested();

 private:
  void updateCountdown();

  QLabel* attemptLabel_;
  QLabel* nextTryLabel_;
  QPushButton* continueOffline_;
  QTimer* countdown_;
  std::optional<std::chrono::steady_clock::time_point> nextAttemptAt_;
};

}  // namespace stillnook
