// URLSession: the command runner's thin layer over the platform HTTP session. It keeps one task
// delegate per in-flight request in a table keyed by the platform task's identifier, forwards
// every platform callback to the delegate registered for that task, and tells its own delegate
// (the runner) before and after each request.
//
// Each perform operation hands back its outcome through a handler (the *Async forms wrap that in
// a Task). The outcome is a CommandResult (JSON and upload requests), a null result (downloads),
// an error, or cancellation: a token that requests cancellation cancels the transfer, and the
// outcome is then "cancelled", never an error.
//
// Threading: the platform callbacks that move bytes run on the HTTP session's I/O thread (its
// serial callback queue) and only collect them. When a transfer is over, its body is parsed and
// its outcome handler runs on the completion executor (the background executor unless another
// is given), never on the I/O thread: one large reply being decoded must not hold up every other
// transfer of the session, and whatever the handler goes on to do runs off that thread too. The
// delegate table is guarded by a reader/writer lock (lookups shared, insertions and removals
// exclusive). Perform operations may be called from any thread.
//
// Ownership: created and owned by the runner, which it holds weakly. Destroying the session, or
// invalidateAndCancel(), cancels every outstanding request.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>

#include <keel/base/Error.h>
#include <keel/base/Value.h>
#include <keel/platform/HTTPSession.h>
#include <keel/tasks/CancellationToken.h>
#include <keel/tasks/Executor.h>

namespace keel {

class URLSession;
class URLSessionDataTaskDelegate;

// How one request ended.
struct URLSessionTaskOutcome {
  enum class Kind { Result, Error, Cancelled };
  Kind kind = Kind::Result;
  Value result;  // a CommandResult for JSON and upload requests, null otherwise
  ErrorPtr error;
};

// What the session tells its owner around each request.
class URLSessionDelegate {
 public:
  virtual ~URLSessionDelegate() = default;
  virtual void urlSessionWillPerformURLRequest(URLSession& session, const platform::HTTPRequest& request) = 0;
  virtual void urlSessionDidPerformURLRequest(URLSession& session, const platform::HTTPRequest& request,
                                              const std::optional<platform::HTTPResponse>& response,
                                              const std::string& responseString) = 0;
};

class URLSession : public std::enable_shared_from_this<URLSession> {
 public:
  using OutcomeHandler = std::function<void(const URLSessionTaskOutcome&)>;
  using ProgressBlock = std::function<void(int percent)>;

  // Returns a session over a new platform session made with `configuration`. Replies are parsed
  // and outcome handlers run on `completionExecutor` (the background executor when null).
  static std::shared_ptr<URLSession> sessionWithConfiguration(platform::HTTPSessionConfiguration configuration,
                                                              std::weak_ptr<URLSessionDelegate> delegate,
                                                              ExecutorPtr completionExecutor = nullptr);
  ~URLSession();
  URLSession(const URLSession&) = delete;
  URLSession& operator=(const URLSession&) = delete;

  // Sends a JSON request; the handler receives a CommandResult, an error or cancellation.
  void performDataURLRequest(platform::HTTPRequest request, const CancellationTokenPtr& token, OutcomeHandler handler);
  // Sends a request whose body is streamed from `contentSourceFilePath`; progress in percent
  // arrives on the main thread.
  void performFileUploadURLRequest(platform::HTTPRequest request, std::string contentSourceFilePath,
                                   const CancellationTokenPtr& token, ProgressBlock progressBlock,
                                   OutcomeHandler handler);
  // Sends a request and writes the body to `targetFilePath` (the writes happen on the I/O
  // thread, as the bytes arrive); progress in percent arrives there after each write.
  void performFileDownloadURLRequest(platform::HTTPRequest request, std::string targetFilePath,
                                     const CancellationTokenPtr& token, ProgressBlock progressBlock,
                                     OutcomeHandler handler);

  // Replaces whom the session tells around each request (held weakly).
  void setDelegate(std::weak_ptr<URLSessionDelegate> delegate);

  // Cancels every outstanding request and refuses new ones.
  void invalidateAndCancel();

  // Returns the number of requests whose delegate is registered (in flight).
  std::size_t delegateCount() const;

 private:
  class Forwarder;
  URLSession() = default;
  void perform(std::shared_ptr<URLSessionDataTaskDelegate> delegate, OutcomeHandler handler);
  std::shared_ptr<URLSessionDataTaskDelegate> delegateForTask(std::uint64_t identifier) const;
  void removeDelegate(std::uint64_t identifier);

  mutable std::mutex delegateMutex_;
  std::weak_ptr<URLSessionDelegate> delegate_;
  std::shared_ptr<URLSessionDelegate> owner() const;
  ExecutorPtr completionExecutor_;
  std::shared_ptr<Forwarder> forwarder_;
  std::shared_ptr<platform::HTTPSession> urlSession_;
  mutable std::shared_mutex delegatesMutex_;
  std::unordered_map<std::uint64_t, std::shared_ptr<URLSessionDataTaskDelegate>> delegatesDictionary_;
};

}  // namespace keel
