// CommandRunning: what every controller of the library needs from the command runner, and the
// names of the notifications the runner posts around each request.
//
// Thread-safety: the interface's implementations may be called from any thread.
#pragma once

#include <cstdint>

namespace keel {

// Run options: a bit set passed with each command.
using CommandRunningOptions = std::uint32_t;
inline constexpr CommandRunningOptions kCommandRunningOptionNone = 0;
inline constexpr CommandRunningOptions kCommandRunningOptionRetryIfFailed = 1;

// Posted (object: the runner) before each request and after its response.
inline constexpr const char* kNetworkWillSendURLRequestNotification = "NetworkWillSendURLRequestNotification";
inline constexpr const char* kNetworkDidReceiveURLResponseNotification = "NetworkDidReceiveURLResponseNotification";
// User-info keys, filled only when the shared logger's level is Debug.
inline constexpr const char* kNetworkNotificationURLRequestUserInfoKey = "NetworkNotificationURLRequestUserInfoKey";
inline constexpr const char* kNetworkNotificationURLResponseUserInfoKey = "NetworkNotificationURLResponseUserInfoKey";
inline constexpr const char* kNetworkNotificationURLResponseBodyUserInfoKey =
    "NetworkNotificationURLResponseBodyUserInfoKey";

}  // namespace keel
