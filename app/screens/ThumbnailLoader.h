// Loads the bytes behind a thumbnail address: http and https through libcurl (TLS verified,
// redirects followed, bounded time), file URLs and plain paths from disk. The call blocks, so it
// is made on a background queue; the exercise screen decodes the bytes on the main thread. An
// http or https transfer counts as network activity while it runs.
//
// Thread-safety: fetchBytes may be called from any thread at the same time.
#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

namespace stillnook {

class ThumbnailLoader {
 public:
  using Fetcher = std::function<std::optional<QByteArray>(const QString& address)>;

  // Returns the bytes at `address`, or none for an address that is not a valid http, https or
  // file URL, a failed transfer, an HTTP status other than 2xx, or an empty body.
  static std::optional<QByteArray> fetchBytes(const QString& address);
};

}  // namespace stillnook
