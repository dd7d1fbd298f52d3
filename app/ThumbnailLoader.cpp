#include "app/ThumbnailLoader.h"

#include <QFile>
#include <QUrl>

#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

#include "app/NetworkActivityScope.h"
#include <keel/platform/Dispatch.h>
#include <keel/platform/HTTPSession.h>

namespace stillnook {

namespace {

bool isWebAddress(const QUrl& url) {
  const QString scheme = url.scheme().toLower();
  return (scheme == QLatin1String("http") || scheme == QLatin1String("https")) && !url.host().isEmpty();
}

void deliver(ThumbnailSource::Completion completion, std::optional<QByteArray> bytes) {
  platform::DispatchQueue::main()->async(
      [completion = std::move(completion), bytes = std::move(bytes)]() mutable { completion(std::move(bytes)); });
}

std::optional<QByteArray> readFile(const QString& path, std::size_t maximumBytes) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
  if (static_cast<std::size_t>(file.size()) > maximumBytes) return std::nullopt;
  QByteArray bytes = file.readAll();
  if (bytes.isEmpty()) return std::nullopt;
  return bytes;
}

// One download, from the first request to the last redirect's answer.
struct Download {
  QUrl url;
  int redirects = 0;
  long status = 0;
  std::string location;
  QByteArray body;
  bool tooLarge = false;
  ThumbnailSource::Completion completion;
  std::unique_ptr<NetworkActivityScope> inFlight;
};

bool isRedirect(long status) { return status >= 300 && status < 400; }

}  // namespace

// The session's delegate: the downloads in flight by task, and what to do when each ends.
class ThumbnailLoader::Downloads : public platform::HTTPSessionDelegate {
 public:
  explicit Downloads(ThumbnailLoaderOptions options) : options_(options) {}

  // REQUIRES: called once, before the first start().
  void setSession(std::weak_ptr<platform::HTTPSession> session) { session_ = std::move(session); }

  // Sends the request for `download.url`. Also called on the I/O thread to follow a redirect.
  void start(Download download) {
    auto session = session_.lock();
    if (!session) {  // the loader is going away
      deliver(std::move(download.completion), std::nullopt);
      return;
    }
    platform::HTTPRequest request;
    request.url = download.url.toEncoded().toStdString();
    auto task = session->dataTask(std::move(request));
    {
      std::lock_guard lock(mutex_);
      table_.emplace(task->taskIdentifier(), std::move(download));
    }
    task->resume();
  }

  void didReceiveResponse(platform::HTTPSessionTask& task, const platform::HTTPResponse& response) override {
    std::lock_guard lock(mutex_);
    auto it = table_.find(task.taskIdentifier());
    if (it == table_.end()) return;
    it->second.status = response.statusCode;
    if (const std::string* location = response.header("Location"); location && isRedirect(response.statusCode)) {
      it->second.location = *location;
    }
  }

  void didReceiveData(platform::HTTPSessionTask& task, const char* data, std::size_t size) override {
    {
      std::lock_guard lock(mutex_);
      auto it = table_.find(task.taskIdentifier());
      if (it == table_.end() || isRedirect(it->second.status)) return;
      Download& download = it->second;
      if (static_cast<std::size_t>(download.body.size()) + size <= options_.maximumBytes) {
        download.body.append(data, static_cast<qsizetype>(size));
        return;
      }
      download.tooLarge = true;
    }
    task.cancel();
  }

  void didCompleteWithError(platform::HTTPSessionTask& task, const keel::ErrorPtr& error) override {
    Download download;
    {
      std::lock_guard lock(mutex_);
      auto it = table_.find(task.taskIdentifier());
      if (it == table_.end()) return;
      download = std::move(it->second);
      table_.erase(it);
    }
    if (!error && isRedirect(download.status) && !download.location.empty() &&
        download.redirects < options_.maximumRedirects) {
      // A relative Location is resolved against the address that answered with it.
      const QUrl next = download.url.resolved(QUrl(QString::fromStdString(download.location)));
      if (isWebAddress(next)) {
        download.url = next;
        ++download.redirects;
        download.status = 0;
        download.location.clear();
        download.body.clear();
        start(std::move(download));
        return;
      }
    }
    const bool ok = !error && !download.tooLarge && download.status >= 200 && download.status < 300 &&
                    !download.body.isEmpty();
    deliver(std::move(download.completion), ok ? std::optional<QByteArray>(std::move(download.body)) : std::nullopt);
    // The download stops counting as activity here, after its answer is on its way.
  }

 private:
  const ThumbnailLoaderOptions options_;
  std::weak_ptr<platform::HTTPSession> session_;
  std::mutex mutex_;  // guards table_
  std::unordered_map<std::uint64_t, Download> table_;
};

ThumbnailLoader::ThumbnailLoader(std::shared_ptr<keel::NetworkActivityIndicatorManager> activity,
                                 ThumbnailLoaderOptions options)
    : activity_(std::move(activity)), options_(options), downloads_(std::make_shared<Downloads>(options)) {}

ThumbnailLoader::~ThumbnailLoader() {
  // Cancels what is in flight and waits for the session's thread; the cancelled downloads are
  // answered with none on the way.
  session_.reset();
}

void ThumbnailLoader::fetch(const QString& address, Completion completion) {
  if (!completion) return;
  const QUrl url(address, QUrl::StrictMode);
  if (address.trimmed().isEmpty() || !url.isValid()) {
    deliver(std::move(completion), std::nullopt);
    return;
  }
  if (url.scheme().compare(QLatin1String("file"), Qt::CaseInsensitive) == 0) {
    platform::DispatchQueue::global()->async(
        [path = url.toLocalFile(), maximumBytes = options_.maximumBytes, completion = std::move(completion)]() mutable {
          deliver(std::move(completion), readFile(path, maximumBytes));
        });
    return;
  }
  if (!isWebAddress(url)) {
    deliver(std::move(completion), std::nullopt);
    return;
  }
  if (!session_) {
    // Made on the first download, so an app that only ever shows local pictures starts no thread.
    platform::HTTPSessionConfiguration configuration;
    configuration.connectTimeout = options_.connectTimeout;
    configuration.idleTimeout = options_.idleTimeout;
    session_ = platform::HTTPSession::create(std::move(configuration), downloads_);
    downloads_->setSession(session_);
  }
  Download download;
  download.url = url;
  download.completion = std::move(completion);
  download.inFlight = std::make_unique<NetworkActivityScope>(activity_);
  downloads_->start(std::move(download));
}

}  // namespace stillnook
