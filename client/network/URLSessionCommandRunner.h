// URLSessionCommandRunner: sends REST commands over HTTP(S) and returns tasks of their results.
// It owns one URLSession (one libcurl multi session: connections are reused, requests run
// concurrently, no cookies, no response cache) whose every request carries the session-wide
// headers (application id, client key, versions).
//
// Retries: with kCommandRunningOptionRetryIfFailed, a command whose failure is marked
// "temporary" (transport failures, 5xx replies) is sent again, at most 5 times in all; the waits
// before the 2nd to 5th sending are d, 2d, 4d and 8d, where d is drawn once per command from
// [initialRetryDelay, 2 x initialRetryDelay]. Waiting blocks no thread. Cancelling the token
// stops the chain at once, also during a wait: the task is then cancelled, never faulted.
//
// Before each request the runner resolves the command's local ids against the data source's
// local-id store and builds the request anew (the store may have learnt ids meanwhile). The
// resolved command is a new one: the caller's command is never changed. It posts
// "NetworkWillSendURLRequestNotification" before and "NetworkDidReceiveURLResponseNotification"
// after each request (object: the runner) to its notification centre; the user info describes
// request, response and body only when the shared logger's level is Debug.
//
// Threading: may be called from any thread. Replies are parsed and tasks complete on the
// background executor (the global queue), never on the HTTP session's I/O thread, so
// continuations that run inline (default executor) may decode and work at length without
// stalling other transfers.
//
// Ownership: held by std::shared_ptr (the KeelManager creates and owns it); it holds its data
// source weakly. Destroying the runner cancels every outstanding request.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include <keel/network/CommandRunning.h>
#include <keel/network/CommandURLRequestConstructor.h>
#include <keel/network/URLSession.h>
#include <keel/platform/NotificationCenter.h>

namespace keel {

class URLSessionCommandRunner : public CommandRunning,
                                public URLSessionDelegate,
                                public std::enable_shared_from_this<URLSessionCommandRunner> {
 public:
  // Returns a runner with its own session that sends to `serverURL` (scheme, host and port).
  // `configuration` supplies time-outs and extra trust; the session-wide headers are added to it.
  static std::shared_ptr<URLSessionCommandRunner> commandRunnerWithDataSource(
      std::weak_ptr<CommandRequestDataSource> dataSource, std::string applicationId, std::string clientKey,
      std::string serverURL, platform::HTTPSessionConfiguration configuration = {});
  // Returns a runner over the given parts (the session's delegate becomes the runner). Without a
  // request constructor, requests go to kDefaultServerURLString.
  static std::shared_ptr<URLSessionCommandRunner> initWithDataSource(
      std::weak_ptr<CommandRequestDataSource> dataSource, std::shared_ptr<URLSession> session,
      std::shared_ptr<CommandURLRequestConstructor> requestConstructor,
      std::shared_ptr<platform::NotificationCenter> notificationCenter);
  ~URLSessionCommandRunner() override;

  using CommandRunning::runCommandAsync;
  Task<CommandResultPtr> runCommandAsync(const RESTCommandPtr& command, CommandRunningOptions options,
                                         const CancellationTokenPtr& cancellationToken) override;
  Task<CommandResultPtr> runFileUploadCommandAsync(const RESTCommandPtr& command,
                                                   const std::optional<std::string>& contentType,
                                                   const std::string& contentSourceFilePath,
                                                   CommandRunningOptions options,
                                                   const CancellationTokenPtr& cancellationToken,
                                                   ProgressBlock progressBlock) override;
  Task<void> runFileDownloadCommandAsyncWithFileURL(const std::string& fileURL, const std::string& targetFilePath,
                                                   const CancellationTokenPtr& cancellationToken,
                                                   ProgressBlock progressBlock) override;

  const std::string& applicationId() const { return applicationId_; }
  const std::string& clientKey() const { return clientKey_; }
  std::shared_ptr<CommandRequestDataSource> dataSource() const { return requestConstructor_->dataSource(); }
  const std::shared_ptr<URLSession>& session() const { return session_; }
  const std::shared_ptr<CommandURLRequestConstructor>& requestConstructor() const { return requestConstructor_; }
  const std::shared_ptr<platform::NotificationCenter>& notificationCenter() const { return notificationCenter_; }

  // Seconds; 1.0 at creation.
  double initialRetryDelay() const { return initialRetryDelay_.load(); }
  void setInitialRetryDelay(double seconds) { initialRetryDelay_.store(seconds); }

  // URLSessionDelegate
  void urlSessionWillPerformURLRequest(URLSession& session, const platform::HTTPRequest& request) override;
  void urlSessionDidPerformURLRequest(URLSession& session, const platform::HTTPRequest& request,
                                      const std::optional<platform::HTTPResponse>& response,
                                      const std::string& responseString) override;

 private:
  URLSessionCommandRunner() = default;
  template <typename T>
  friend struct RetryingRun;
  // Returns the first back-off delay in seconds: initialRetryDelay x (1 + r), r in [0, 1].
  double firstRetryDelay() const;
  // Returns `command` as it must go out now: its local ids resolved against the data source's
  // store. The caller's command stays as it was.
  RESTCommandPtr resolvedCommand(const RESTCommandPtr& command) const;

  std::string applicationId_;
  std::string clientKey_;
  std::shared_ptr<URLSession> session_;
  std::shared_ptr<CommandURLRequestConstructor> requestConstructor_;
  std::shared_ptr<platform::NotificationCenter> notificationCenter_;
  std::atomic<double> initialRetryDelay_{1.0};
};

}  // namespace keel
