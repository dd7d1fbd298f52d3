// NotificationCenter: process-wide publish/subscribe of named notifications, the platform's
// way for the command runner to tell whoever cares (the activity indicator) that a request is
// about to go out or has come back, without knowing them.
//
// Observers are called synchronously on the posting thread, in registration order, with no
// lock held (an observer may post, add or remove observers). An observer removed while a post
// is running on another thread may still receive that one post; observers that can die should
// capture themselves weakly.
//
// Thread-safety: every member may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <keel/base/Value.h>

namespace platform {

struct Notification {
  std::string name;
  const void* object = nullptr;  // the sender, compared by identity
  keel::Dictionary userInfo;
};

class NotificationCenter {
 public:
  using ObserverToken = std::uint64_t;
  using Block = std::function<void(const Notification&)>;

  // Returns the process's default centre.
  static std::shared_ptr<NotificationCenter> defaultCenter();

  // Calls `block` for each notification named `name` from `sender` (nullptr: from any sender).
  // Returns a token for removeObserver.
  ObserverToken addObserver(std::string name, const void* sender, Block block);
  void removeObserver(ObserverToken token);

  // Delivers a notification to every matching observer before returning.
  void post(std::string name, const void* object, keel::Dictionary userInfo = {});

 private:
  struct Entry {
    ObserverToken token;
    std::string name;
    const void* sender;
    std::shared_ptr<Block> block;
  };
  std::mutex mutex_;
  std::vector<Entry> entries_;
  ObserverToken next_ = 1;
};

}  // namespace platform
