// CommandRunning: what every controller of the library needs from the command runner, and the
// names of the notifications the runner posts around each request.
//
// Thread-safety: the interface's implementations may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <keel/tasks/CancellationToken.h>
#include <keel/network/CommandResult.h>
#include <keel/network/RESTCommand.h>
#include <keel/tasks/Task.h>

namespace keel {

// The domain and code of a reply body that is not JSON.
inline constexpr const char* kJSONErrorDomain = "JSONSerializationErrorDomain";
inline constexpr long kJSONErrorCodeCorrupt = 3840;

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

// Sends commands. Every task completes on the background executor with the command's result, an
// error in the "Keel" domain (or the JSON parser's error for a body that is not JSON), an
// exception raised while building the request, or cancellation.
class CommandRunning {
 public:
  using ProgressBlock = std::function<void(int percent)>;
  virtual ~CommandRunning() = default;

  virtual Task<CommandResultPtr> runCommandAsync(const RESTCommandPtr& command, CommandRunningOptions options,
                                                 const CancellationTokenPtr& cancellationToken) = 0;
  Task<CommandResultPtr> runCommandAsync(const RESTCommandPtr& command, CommandRunningOptions options) {
    return runCommandAsync(command, options, nullptr);
  }
  // Uploads the file at `contentSourceFilePath` as the body of `command`; progress in percent
  // (rounded) arrives on the main thread.
  virtual Task<CommandResultPtr> runFileUploadCommandAsync(const RESTCommandPtr& command,
                                                           const std::optional<std::string>& contentType,
                                                           const std::string& contentSourceFilePath,
                                                           CommandRunningOptions options,
                                                           const CancellationTokenPtr& cancellationToken,
                                                           ProgressBlock progressBlock) = 0;
  // Downloads `fileURL` into `targetFilePath`, always retrying transient failures; progress in
  // percent (truncated) arrives on the session's I/O thread, as the bytes are written.
  virtual Task<void> runFileDownloadCommandAsyncWithFileURL(const std::string& fileURL,
                                                           const std::string& targetFilePath,
                                                           const CancellationTokenPtr& cancellationToken,
                                                           ProgressBlock progressBlock) = 0;
};

}  // namespace keel
