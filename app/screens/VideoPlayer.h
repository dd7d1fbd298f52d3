// The full-screen video player: a dialog with a Qt Multimedia player for one URL. play() starts
// it; a missing video backend, an unreadable address or a decoding error is reported in the
// player's status line instead of failing.
//
// Thread-safety: GUI thread only. The dialog owns its player and video widget.
#pragma once

#include <QDialog>
#include <QUrl>

class QLabel;
class QMediaPlayer;
class QVideoWidget;
class QAudioOutput;

namespace stillnook {

class VideoPlayerDialog : public QDialog {
  Q_OBJECT

 public:
  explicit VideoPlayerDialog(const QUrl& url, QWidget* parent = nullptr);
  ~VideoPlayerDialog() override;

  QUrl url() const { return url_; }
  QMediaPlayer* player() const { return player_; }
  // Returns the status line text (empty while all is well).
  QString statusText() const;

  // Starts playback, or reports why it cannot start.
  void play();

 signals:
  void failed(const QString& message);

 private:
  void report(const QString& message);

  QUrl url_;
  QMediaPlayer* player_;
  QAudioOutput* audio_;
  QVideoWidget* video_;
  QLabel* status_;
};

}  // namespace stillnook
