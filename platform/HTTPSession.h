// HTTPSession: the platform HTTP client the command runner sends every request through. One
// session owns one libcurl multi handle that a single I/O thread drives, so every connection of
// the session lives in one connection cache and is reused across requests (keep-alive), and any
// number of requests run concurrently without a thread each.
//
// The session never stores or sends cookies and keeps no response cache. TLS peer and host
// verification are always on, against the system CA store plus, optionally, one extra PEM file
// of trusted certificates (for a private or test certificate authority).
//
// Time-outs (see HTTPSessionConfiguration): connecting (TCP and TLS handshake) must finish within
// 10 s; a request fails when no byte moves in either direction for 60 s; there is no limit on the
// total length of a transfer that keeps moving.
//
// Callbacks: every callback of a session's delegate runs on the session's I/O thread, one at a
// time, in order response -> data... -> completion for each task (upload progress in between).
// That thread is the session's serial callback queue: callbacks must be quick and must not block
// on other requests of the same session. Each task completes exactly once: with no error, with a
// transport error, or with the "cancelled" error (code kHTTPErrorCancelled) after cancel().
//
// Thread-safety and ownership: HTTPSession and HTTPSessionTask may be used from any thread. The
// creator owns the session; the session holds its delegate weakly (a delegate that has gone
// simply receives nothing) and a task holds its session weakly. Destroying the session (or
// invalidateAndCancel) cancels every outstanding task; their completions are delivered before the
// I/O thread stops. A task resumed after its session has gone never runs.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <keel/base/Error.h>

namespace platform {

// The error domain of transport failures and the codes the session reports.
inline constexpr const char* kHTTPErrorDomain = "HTTPSessionErrorDomain";
enum HTTPErrorCode : long {
  kHTTPErrorUnknown = -1,
  kHTTPErrorCancelled = -999,
  kHTTPErrorBadURL = -1000,
  kHTTPErrorTimedOut = -1001,
  kHTTPErrorCannotFindHost = -1003,
  kHTTPErrorCannotConnectToHost = -1004,
  kHTTPErrorNetworkConnectionLost = -1005,
  kHTTPErrorBadServerResponse = -1011,
  kHTTPErrorCannotOpenFile = -3000,
  kHTTPErrorSecureConnectionFailed = -1200,
  kHTTPErrorServerCertificateUntrusted = -1202,
};

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// Returns the value of the first header named `name` (case-insensitive), or nullptr.
const std::string* findHeader(const HeaderList& headers, std::string_view name);
// Sets `name` to `value`, replacing every header of that name (case-insensitive).
void setHeader(HeaderList& headers, std::string name, std::string value);

// One HTTP request as the session sends it. Header names keep their case; the body is sent as
// it stands (the session sets Content-Length).
struct HTTPRequest {
  std::string url;
  std::string method = "GET";
  HeaderList headers;
  std::optional<std::string> body;

  const std::string* header(std::string_view name) const { return findHeader(headers, name); }
};

// The status line and headers of a response, as received (the final response; interim 1xx
// responses are skipped).
struct HTTPResponse {
  std::string url;
  long statusCode = 0;
  HeaderList headers;
  // The declared body length, or -1 when the response declares none.
  std::int64_t expectedContentLength = -1;

  const std::string* header(std::string_view name) const { return findHeader(headers, name); }
};

struct HTTPSessionConfiguration {
  // Sent with every request unless the request sets the same header itself.
  HeaderList additionalHeaders;
  std::chrono::milliseconds connectTimeout{10'000};
  // A transfer fails when nothing moves for this long.
  std::chrono::milliseconds idleTimeout{60'000};
  // A PEM file of certificates trusted in addition to the system store; empty for none.
  std::string extraTrustedCAFile;
  // Connections kept open for reuse.
  long maxCachedConnections = 128;
};

class HTTPSession;
class HTTPSessionTask;
using HTTPSessionTaskPtr = std::shared_ptr<HTTPSessionTask>;

// What the session tells about its tasks. See the header comment for threading and order.
class HTTPSessionDelegate {
 public:
  virtual ~HTTPSessionDelegate() = default;
  // Tells that the final response's status line and headers have arrived.
  virtual void didReceiveResponse(HTTPSessionTask& task, const HTTPResponse& response) = 0;
  // Hands over a piece of the body.
  virtual void didReceiveData(HTTPSessionTask& task, const char* data, std::size_t size) = 0;
  // Tells how much of an upload body has been sent (only for upload tasks).
  virtual void didSendBodyData(HTTPSessionTask& /*task*/, std::int64_t /*sent*/,
                               std::int64_t /*expected*/) {}
  // Tells that the task is over; `error` is null on success.
  virtual void didCompleteWithError(HTTPSessionTask& task, const keel::ErrorPtr& error) = 0;
};

class HTTPSessionTask : public std::enable_shared_from_this<HTTPSessionTask> {
 public:
  enum class State { Suspended, Running, Completed };

  ~HTTPSessionTask();
  HTTPSessionTask(const HTTPSessionTask&) = delete;
  HTTPSessionTask& operator=(const HTTPSessionTask&) = delete;

  // Returns the session-unique identifier of this task (never 0).
  std::uint64_t taskIdentifier() const { return identifier_; }
  // Returns the request as it was first issued.
  const HTTPRequest& originalRequest() const { return request_; }
  State state() const { return state_.load(); }

  // Starts the transfer: sets it up on the calling thread and hands it to the I/O thread. Does
  // nothing after the first call or after cancel().
  void resume();
  // Stops the transfer; the task completes with the "cancelled" error unless it has completed
  // already. Safe from any thread, also from a callback of this task.
  void cancel();

 private:
  friend class HTTPSession;
  struct Transfer;
  HTTPSessionTask(std::weak_ptr<HTTPSession> session, std::uint64_t identifier, HTTPRequest request,
                  std::optional<std::string> uploadFilePath);

  std::weak_ptr<HTTPSession> session_;
  std::uint64_t identifier_;
  HTTPRequest request_;
  std::optional<std::string> uploadFilePath_;
  std::atomic<State> state_{State::Suspended};
  std::atomic<bool> cancelRequested_{false};
  std::unique_ptr<Transfer> transfer_;  // touched only on the I/O thread
};

class HTTPSession : public std::enable_shared_from_this<HTTPSession> {
 public:
  // Returns a new session with its own I/O thread.
  static std::shared_ptr<HTTPSession> create(HTTPSessionConfiguration configuration,
                                             std::weak_ptr<HTTPSessionDelegate> delegate);
  ~HTTPSession();
  HTTPSession(const HTTPSession&) = delete;
  HTTPSession& operator=(const HTTPSession&) = delete;

  const HTTPSessionConfiguration& configuration() const { return configuration_; }

  // Returns a suspended task that sends `request` and streams the body to the delegate.
  HTTPSessionTaskPtr dataTask(HTTPRequest request);
  // Returns a suspended task whose body is streamed from the file at `path` (the request's own
  // body is ignored). A file that cannot be opened fails the task with kHTTPErrorCannotOpenFile.
  HTTPSessionTaskPtr uploadTask(HTTPRequest request, std::string path);

  // Cancels every outstanding task and refuses new ones (they complete as cancelled).
  void invalidateAndCancel();

  // Returns the number of tasks resumed and not yet completed.
  std::size_t runningTaskCount() const;

 private:
  struct Impl;
  friend class HTTPSessionTask;
  HTTPSession(HTTPSessionConfiguration configuration, std::weak_ptr<HTTPSessionDelegate> delegate);
  void start(const HTTPSessionTaskPtr& task);
  void requestCancel(const HTTPSessionTaskPtr& task);

  HTTPSessionConfiguration configuration_;
  // Shared with the I/O thread, which may outlive the session object by one loop turn when the
  // last owner lets go of the session from inside a callback.
  std::shared_ptr<Impl> impl_;
  std::thread ioThread_;
  std::atomic<std::uint64_t> nextIdentifier_{1};
};

}  // namespace platform
