// ThumbnailSource: where the exercise screen gets the bytes of a thumbnail from. The application
// uses ThumbnailLoader (the platform HTTP session); tests give their own source and decide when
// each answer arrives.
//
// Contract of every source: fetch() returns at once; the completion runs exactly once, later, on
// the main queue (never inside fetch), with the bytes or with none. The completion is all the
// source keeps of the caller, so a caller that may be gone by then captures itself weakly.
//
// Thread-safety: fetch() on the main thread.
#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

namespace stillnook {

class ThumbnailSource {
 public:
  using Completion = std::function<void(std::optional<QByteArray> bytes)>;

  virtual ~ThumbnailSource() = default;
  // Starts fetching the bytes at `address`; see the header comment for when `completion` runs.
  virtual void fetch(const QString& address, Completion completion) = 0;
};

}  // namespace stillnook
