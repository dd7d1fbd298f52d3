#include "app/screens/ThumbnailLoader.h"

#include <QFile>
#include <QUrl>

#include <curl/curl.h>

#include "app/screens/NetworkActivity.h"

namespace stillnook {

namespace {

constexpr long kTimeoutSeconds = 20;
// A thumbnail is small; anything much larger is not one and must not fill memory.
constexpr std::size_t kMaximumBytes = 16 * 1024 * 1024;

std::size_t appendBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto* body = static_cast<QByteArray*>(user);
  const std::size_t n = size * count;
  if (static_cast<std::size_t>(body->size()) + n > kMaximumBytes) return 0;  // aborts the transfer
  body->append(data, static_cast<qsizetype>(n));
  return n;
}

std::optional<QByteArray> fetchHttp(const QUrl& url) {
  static const bool initialised = (curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK);
  if (!initialised) return std::nullopt;
  CURL* curl = curl_easy_init();
  if (!curl) return std::nullopt;
  QByteArray body;
  const QByteArray address = url.toEncoded();
  curl_easy_setopt(curl, CURLOPT_URL, address.constData());
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, kTimeoutSeconds);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 10L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &appendBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  CURLcode rc;
  {
    const NetworkActivityScope inFlight;
    rc = curl_easy_perform(curl);
  }
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(curl);
  if (rc != CURLE_OK || status < 200 || status >= 300 || body.isEmpty()) return std::nullopt;
  return body;
}

std::optional<QByteArray> fetchFile(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
  if (static_cast<std::size_t>(file.size()) > kMaximumBytes) return std::nullopt;
  QByteArray bytes = file.readAll();
  if (bytes.isEmpty()) return std::nullopt;
  return bytes;
}

}  // namespace

std::optional<QByteArray> ThumbnailLoader::fetchBytes(const QString& address) {
  if (address.trimmed().isEmpty()) return std::nullopt;
  const QUrl url(address, QUrl::StrictMode);
  if (!url.isValid()) return std::nullopt;
  const QString scheme = url.scheme().toLower();
  if (scheme == QLatin1String("http") || scheme == QLatin1String("https")) {
    if (url.host().isEmpty()) return std::nullopt;
    return fetchHttp(url);
  }
  if (scheme == QLatin1String("file")) return fetchFile(url.toLocalFile());
  return std::nullopt;
}

}  // namespace stillnook
