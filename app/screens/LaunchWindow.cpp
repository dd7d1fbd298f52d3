#include "app/screens/LaunchWindow.h"

#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <cmath>

#include "app/screens/Theme.h"

namespace stillnook {

LaunchWindow::LaunchWindow(QWidget* parent)
    : QWidget(parent),
      attemptLabel_(new QLabel(this)),
      nextTryLabel_(new QLabel(this)),
      continueOffline_(new QPushButton(QStringLiteral("Continue offline"), this)),
      countdown_(new QTimer(this)) {
  setObjectName(QStringLiteral("launchWindow"));
  setWindowTitle(QStringLiteral("Stillnook"));
  theme::applyScreenLook(this);

  auto* heading = new QLabel(QStringLiteral("Fetching the exercises\u2026"), this);
  heading->setObjectName(QStringLiteral("fetchingLabel"));
  QFont bigger = heading->font();
  bigger.setPointSizeF(bigger.pointSizeF() * 1.25);
  heading->setFont(bigger);
  attemptLabel_->setObjectName(QStringLiteral("attemptLabel"));
  nextTryLabel_->setObjectName(QStringLiteral("nextTryLabel"));
  nextTryLabel_->setWordWrap(true);
  continueOffline_->setObjectName(QStringLiteral("continueOfflineButton"));
  continueOffline_->setAccessibleName(QStringLiteral("Continue offline"));
  continueOffline_->setAutoDefault(true);
  // The app's outline look; the platform's light button would put white text on white.
  continueOffline_->setStyleSheet(QStringLiteral(
      "QPushButton { color: white; background: transparent; border: 1px solid white; border-radius: 4px;"
      " padding: 6px 16px; }"
      "QPushButton:hover, QPushButton:focus { background: rgba(255, 255, 255, 40); }"
      "QPushButton:pressed { background: rgba(255, 255, 255, 80); }"));
  for (QLabel* label : {heading, attemptLabel_, nextTryLabel_}) label->setAlignment(Qt::AlignHCenter);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(24, 24, 24, 24);
  layout->setSpacing(10);
  layout->addWidget(heading);
  layout->addWidget(attemptLabel_);
  layout->addWidget(nextTryLabel_);
  layout->addSpacing(8);
  layout->addWidget(continueOffline_, 0, Qt::AlignHCenter);
  setMinimumWidth(320);

  connect(continueOffline_, &QPushButton::clicked, this, &LaunchWindow::continueOfflineRequested);
  countdown_->setInterval(250);
  connect(countdown_, &QTimer::timeout, this, &LaunchWindow::updateCountdown);
  // Until the fetch reports, there is no attempt to name yet.
  updateCountdown();
}

void LaunchWindow::showProgress(const FetchProgress& progress) {
  attemptLabel_->setText(QStringLiteral("Attempt %1 of %2").arg(progress.attempt).arg(progress.attempts));
  nextAttemptAt_ = progress.nextAttemptAt;
  if (nextAttemptAt_) {
    countdown_->start();
  } else {
    countdown_->stop();
  }
  updateCountdown();
}

void LaunchWindow::updateCountdown() {
  if (!nextAttemptAt_) {
    nextTryLabel_->setText(QStringLiteral("Waiting for the server\u2026"));
    return;
  }
  const std::chrono::duration<double> left = *nextAttemptAt_ - std::chrono::steady_clock::now();
  const int seconds = static_cast<int>(std::ceil(left.count()));
  if (seconds <= 0) {
    nextTryLabel_->setText(QStringLiteral("The server did not answer. Trying again now\u2026"));
  } else {
    nextTryLabel_->setText(QStringLiteral("The server did not answer. Next try in %1 s.").arg(seconds));
  }
}

}  // namespace stillnook
