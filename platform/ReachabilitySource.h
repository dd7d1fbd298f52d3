// ReachabilitySource: the platform's reachability service for one host, reporting flags in the
// platform's bit layout (kReachable, kConnectionRequired, ...).
//
// The Linux source reports the host reachable when its name resolves and the kernel has a route
// to one of its addresses (a loopback host always is). It re-evaluates whenever the kernel
// announces a link, address or route change over netlink, and when refresh() is called, and
// calls back only when the flags differ from the last ones it reported.
//
// Thread-safety: every member may be called from any thread. The callback runs on the queue
// given to setCallback; it is never called after stop() (or destruction) has returned, except
// for a call already posted to that queue.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <keel/platform/Dispatch.h>

namespace platform {

using ReachabilityFlags = std::uint32_t;
inline constexpr ReachabilityFlags kReachabilityReachable = 1u << 1;
inline constexpr ReachabilityFlags kReachabilityConnectionRequired = 1u << 2;
inline constexpr ReachabilityFlags kReachabilityConnectionOnTraffic = 1u << 3;
inline constexpr ReachabilityFlags kReachabilityInterventionRequired = 1u << 4;
inline constexpr ReachabilityFlags kReachabilityConnectionOnDemand = 1u << 5;

class ReachabilitySource {
 public:
  using Callback = std::function<void(ReachabilityFlags)>;
  virtual ~ReachabilitySource() = default;

  // Returns a source for `host` on this platform, or nullptr when it cannot be made.
  static std::shared_ptr<ReachabilitySource> createForHost(const std::string& host);

  // Returns the current flags (may block on name resolution).
  virtual ReachabilityFlags currentFlags() = 0;
  // Starts calling `callback` on `queue` with new flags. Returns false when monitoring cannot
  // start. A second call replaces the first.
  virtual bool setCallback(Callback callback, DispatchQueuePtr queue) = 0;
  // Re-evaluates now (asynchronously) and reports a change through the callback.
  virtual void refresh() = 0;
  // Stops calling back.
  virtual void stop() = 0;
};

}  // namespace platform
