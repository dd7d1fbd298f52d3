#include "app/screens/Sharing.h"

#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace stillnook {

namespace {

SocialAccounts::Check& check() {
  static SocialAccounts::Check c;
  return c;
}

SocialAccounts::Opener& opener() {
  static SocialAccounts::Opener o;
  return o;
}

QString serviceName(SocialService service) {
  return service == SocialService::Twitter ? QStringLiteral("Twitter") : QStringLiteral("Facebook");
}

}  // namespace

bool SocialAccounts::isAvailable(SocialService service) { return check() ? check()(service) : true; }

void SocialAccounts::setAvailabilityCheck(Check c) { check() = std::move(c); }

bool SocialAccounts::openUrl(const QUrl& url) {
  return opener() ? opener()(url) : QDesktopServices::openUrl(url);
}

void SocialAccounts::setUrlOpener(Opener o) { opener() = std::move(o); }

QUrl SocialAccounts::shareUrl(SocialService service, const QString& text, const QUrl& link) {
  const bool hasLink = link.isValid() && !link.isEmpty();
  QStringList items;
  // Every delimiter inside a value is escaped, so a link with its own query string survives.
  auto add = [&](const char* key, const QString& value) {
    items << QString::fromLatin1(key) + QLatin1Char('=') + QString::fromLatin1(QUrl::toPercentEncoding(value));
  };
  QString base;
  if (service == SocialService::Twitter) {
    base = QStringLiteral("https://twitter.com/intent/tweet");
    if (!text.isEmpty()) add("text", text);
    if (hasLink) add("url", link.toString(QUrl::FullyEncoded));
  } else {
    base = QStringLiteral("https://www.facebook.com/sharer/sharer.php");
    if (hasLink) add("u", link.toString(QUrl::FullyEncoded));
    if (!text.isEmpty()) add("quote", text);
  }
  QUrl url(base);
  if (!items.isEmpty()) url.setQuery(items.join(QLatin1Char('&')), QUrl::StrictMode);
  return url;
}

ComposeSheet::ComposeSheet(SocialService service, QWidget* parent)
    : QDialog(parent), service_(service), text_(new QPlainTextEdit(this)), link_(new QLabel(this)) {
  setObjectName(QStringLiteral("composeSheet"));
  setWindowTitle(serviceName(service));
  text_->setObjectName(QStringLiteral("composeText"));
  link_->setObjectName(QStringLiteral("attachedLink"));
  link_->setWordWrap(true);
  auto* buttons = new QDialogButtonBox(this);
  auto* postButton = buttons->addButton(QStringLiteral("Post"), QDialogButtonBox::AcceptRole);
  postButton->setObjectName(QStringLiteral("post"));
  auto* cancelButton = buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
  cancelButton->setObjectName(QStringLiteral("cancel"));
  connect(postButton, &QPushButton::clicked, this, &ComposeSheet::post);
  connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(serviceName(service), this));
  layout->addWidget(text_, 1);
  layout->addWidget(link_);
  layout->addWidget(buttons);
  resize(340, 260);
}

void ComposeSheet::setInitialText(const QString& text) { text_->setPlainText(text); }

QString ComposeSheet::text() const { return text_->toPlainText(); }

bool ComposeSheet::addURL(const QUrl& url) {
  if (!url.isValid() || url.isEmpty() || url.scheme().isEmpty()) return false;
  url_ = url;
  link_->setText(url.toString());
  return true;
}

void ComposeSheet::post() {
  SocialAccounts::openUrl(SocialAccounts::shareUrl(service_, text(), url_));
  accept();
}

}  // namespace stillnook
