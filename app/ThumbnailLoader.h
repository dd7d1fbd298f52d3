// ThumbnailLoader: the application's ThumbnailSource. http and https addresses are downloaded
// through a platform HTTP session of the loader's own (the libcurl multi session the library
// uses: one I/O thread, connections kept alive, TLS always verified), so no thread waits on a
// transfer; file URLs are read on the global dispatch queue. Every answer is handed to the
// completion on the main queue.
//
// What counts as no bytes: an address that is not a valid http, https or file URL; a failed
// transfer; a status other than 2xx after at most `maximumRedirects` redirects (each to http or
// https only); an empty body; a body larger than `maximumBytes` (the transfer is stopped there,
// a thumbnail is never that large). Each http or https download counts as network activity on
// the given indicator manager from its start to its end, redirects included.
//
// Thread-safety: fetch() on the main thread; the session's callbacks run on its I/O thread and
// share only the table of downloads in flight, under a mutex.
// Ownership: the loader owns its session. Destroying the loader cancels the downloads in flight;
// their completions still run, with none, on the main queue.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>

#include "app/ThumbnailSource.h"
#include <keel/network/NetworkActivityIndicatorManager.h>

namespace platform {
class HTTPSession;
}

namespace stillnook {

struct ThumbnailLoaderOptions {
  std::chrono::milliseconds connectTimeout{10'000};
  // A download fails when nothing moves for this long.
  std::chrono::milliseconds idleTimeout{20'000};
  std::size_t maximumBytes = 16 * 1024 * 1024;
  int maximumRedirects = 5;
};

class ThumbnailLoader final : public ThumbnailSource {
 public:
  // `activity` is told about every http and https download; nullptr counts nothing.
  explicit ThumbnailLoader(std::shared_ptr<keel::NetworkActivityIndicatorManager> activity,
                           ThumbnailLoaderOptions options = {});
  ~ThumbnailLoader() override;
  ThumbnailLoader(const ThumbnailLoader&) = delete;
  ThumbnailLoader& operator=(const ThumbnailLoader&) = delete;

  void fetch(const QString& address, Completion completion) override;

 private:
  class Downloads;

  std::shared_ptr<keel::NetworkActivityIndicatorManager> activity_;
  ThumbnailLoaderOptions options_;
  // Declared before the session: the session's last callbacks, made while it is destroyed, still
  // find the table.
  std::shared_ptr<Downloads> downloads_;
  std::shared_ptr<platform::HTTPSession> session_;
};

}  // namespace stillnook
