// The full-screen video player: a dialog with a Qt Multimedia player for one URL. play() starts
// it; a missing video backend, an unreadable address or a decoding error is reported in the
// player's status line instead of failing. Where the multimedia backend could not even make a
// player without crashing (GStreamer without its base plugins), the dialog has no player.
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
  // The player, or nullptr when the backend cannot make one here.
  QMediaPlayer* player() const { return player_; }
  // Returns the status line text (empty while all is well).
  QString statusText() const;

  // Starts playback, or reports why it cannot start.
  void play();

  // Returns whether Qt's multimedia backend can make a player on this machine: always for a
  // backend other than GStreamer; for GStreamer, when its playback and audio plugins are found
  // on its plugin path (as its environment variables set it, or the system's directory).
  static bool mediaBackendCanMakePlayers();

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
