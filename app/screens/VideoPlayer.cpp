#include "app/screens/VideoPlayer.h"

#include <QAudioOutput>
#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QMediaPlayer>
#include <QPushButton>
#include <QVBoxLayout>
#include <QVideoWidget>

#include <algorithm>

namespace stillnook {

namespace {

QStringList pathsIn(const char* variable) {
  return qEnvironmentVariable(variable).split(QLatin1Char(':'), Qt::SkipEmptyParts);
}

}  // namespace

bool VideoPlayerDialog::mediaBackendCanMakePlayers() {
  const QByteArray backend = qgetenv("QT_MEDIA_BACKEND");
  if (!backend.isEmpty() && backend != "gstreamer") return true;
  // Qt's GStreamer backend crashes while making a player when GStreamer's base elements are
  // missing, so look for their plugins where GStreamer itself would.
  QStringList dirs;
  if (qEnvironmentVariableIsSet("GST_PLUGIN_SYSTEM_PATH_1_0")) {
    dirs = pathsIn("GST_PLUGIN_SYSTEM_PATH_1_0");
  } else if (qEnvironmentVariableIsSet("GST_PLUGIN_SYSTEM_PATH")) {
    dirs = pathsIn("GST_PLUGIN_SYSTEM_PATH");
  } else {
    dirs << QDir::homePath() + QStringLiteral("/.local/share/gstreamer-1.0/plugins")
         << QStringLiteral(STILLNOOK_GSTREAMER_PLUGIN_DIR);
  }
  dirs += pathsIn("GST_PLUGIN_PATH_1_0");
  dirs += pathsIn("GST_PLUGIN_PATH");
  for (const char* plugin : {"libgstplayback.so", "libgstaudioconvert.so", "libgstaudioresample.so", "libgstvolume.so"}) {
    const QString name = QString::fromLatin1(plugin);
    const bool found = std::any_of(dirs.begin(), dirs.end(), [&](const QString& dir) {
      return QFileInfo(QDir(dir).filePath(name)).isFile();
    });
    if (!found) return false;
  }
  return true;
}

VideoPlayerDialog::VideoPlayerDialog(const QUrl& url, QWidget* parent)
    : QDialog(parent), url_(url), player_(mediaBackendCanMakePlayers() ? new QMediaPlayer(this) : nullptr),
      audio_(new QAudioOutput(this)), video_(new QVideoWidget(this)), status_(new QLabel(this)) {
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
  if (player_) {
    player_->setAudioOutput(audio_);
    player_->setVideoOutput(video_);
    connect(player_, &QMediaPlayer::errorOccurred, this, [this](QMediaPlayer::Error, const QString& message) {
      report(message.isEmpty() ? QStringLiteral("The video cannot be played.") : message);
    });
  }
  setWindowState(windowState() | Qt::WindowFullScreen);
}

VideoPlayerDialog::~VideoPlayerDialog() {
  if (player_) player_->stop();
}

QString VideoPlayerDialog::statusText() const { return status_->text(); }

void VideoPlayerDialog::play() {
  if (!player_ || !player_->isAvailable()) {
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
