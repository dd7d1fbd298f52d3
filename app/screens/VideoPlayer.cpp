#include "app/screens/VideoPlayer.h"

#include <QAudioOutput>
#include <QKeyEvent>
#include <QLabel>
#include <QMediaPlayer>
#include <QPushButton>
#include <QVBoxLayout>
#include <QVideoWidget>

namespace stillnook {

VideoPlayerDialog::VideoPlayerDialog(const QUrl& url, QWidget* parent)
    : QDialog(parent), url_(url), player_(new QMediaPlayer(this)), audio_(new QAudioOutput(this)),
      video_(new QVideoWidget(this)), status_(new QLabel(this)) {
  setObjectName(QStringLiteral("videoPlayer"));
  setWindowTitle(QStringLiteral("Stillnook"));
  status_->setObjectName(QStringLiteral("playerStatus"));
  status_->setWordWrap(true);
  status_->setAlignment(Qt::AlignCenter);
  status_->hide();
  auto* close = new QPushButton(QStringLiteral("Done"), this);
  close->setObjectName(QStringLiteral("closePlayer"));
  connect(close, &QPushButton::clicked, this, &QDialog::accept);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(video_, 1);
  layout->addWidget(status_);
  layout->addWidget(close);
  QPalette p = palette();
  p.setColor(QPalette::Window, Qt::black);
  p.setColor(QPalette::WindowText, Qt::white);
  setPalette(p);
  setAutoFillBackground(true);
  player_->setAudioOutput(audio_);
  player_->setVideoOutput(video_);
  connect(player_, &QMediaPlayer::errorOccurred, this,
          [this](QMediaPlayer::Error, const QString& message) {
            report(message.isEmpty() ? QStringLiteral("The video cannot be played.") : message);
          });
  setWindowState(windowState() | Qt::WindowFullScreen);
}

VideoPlayerDialog::~VideoPlayerDialog() { player_->stop(); }

QString VideoPlayerDialog::statusText() const { return status_->text(); }

void VideoPlayerDialog::play() {
  if (!player_->isAvailable()) {
    report(QStringLiteral("Video playback is not available on this system."));
    return;
  }
  if (!url_.isValid() || url_.isEmpty()) {
    report(QStringLiteral("The video address is not valid."));
    return;
  }
  player_->setSource(url_);
  player_->play();
}

void VideoPlayerDialog::report(const QString& message) {
  status_->setText(message);
  status_->show();
  emit failed(message);
}

}  // namespace stillnook
