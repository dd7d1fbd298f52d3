// Sharing to the two social services. Whether a service can be used is a platform check that
// tests (and a future settings page) can replace; the compose sheet is a real dialog with the
// initial text and the attached link, and posting opens the service's web share address through
// a replaceable URL opener (the desktop browser by default).
//
// Thread-safety: GUI thread only. The check and the opener are process-wide.
#pragma once

#include <QDialog>
#include <QString>
#include <QUrl>

#include <functional>

class QLabel;
class QPlainTextEdit;

namespace stillnook {

enum class SocialService { Facebook, Twitter };

class SocialAccounts {
 public:
  using Check = std::function<bool(SocialService)>;
  using Opener = std::function<bool(const QUrl&)>;

  // Returns true iff an account for `service` can be used. By default both services are
  // available: the web share page needs no account set up on this machine.
  static bool isAvailable(SocialService service);
  // Replaces the availability check; an empty function restores the default.
  static void setAvailabilityCheck(Check check);
  // Opens `url` (QDesktopServices by default). Returns false when it could not be opened.
  static bool openUrl(const QUrl& url);
  // Replaces the URL opener; an empty function restores the default.
  static void setUrlOpener(Opener opener);

  // Returns the service's web share address for `text` and `link` (either may be empty).
  static QUrl shareUrl(SocialService service, const QString& text, const QUrl& link);
};

// The compose sheet of one service: an editable text, the attached link, "Post" and "Cancel".
class ComposeSheet : public QDialog {
  Q_OBJECT

 public:
  explicit ComposeSheet(SocialService service, QWidget* parent = nullptr);

  SocialService service() const { return service_; }
  void setInitialText(const QString& text);
  QString text() const;
  // Attaches `url`; returns false (attaching nothing) when it is not a valid address.
  bool addURL(const QUrl& url);
  QUrl url() const { return url_; }

  // Opens the share address for the current text and link, then closes the sheet.
  void post();

 private:
  SocialService service_;
  QPlainTextEdit* text_;
  QLabel* link_;
  QUrl url_;
};

}  // namespace stillnook
