// Task delegates: one per in-flight request. Internal to the network layer (not installed): the
// URLSession creates them and nothing outside this layer names them.
// A delegate collects the response and body that the
// HTTP session streams to it, turns them into the request's outcome (a result, an error, or
// cancellation) and hands that outcome on exactly once.
//
//  - URLSessionDataTaskDelegate: the base; keeps the body in memory and succeeds with no result.
//  - URLSessionJSONDataTaskDelegate: parses the body as JSON and applies the backend's status
//    rules (2xx/3xx with JSON: a CommandResult; 4xx/5xx with an "error" entry: the server's
//    error, temporary for 5xx; transport failures: code 100, temporary unless a 4xx arrived;
//    anything else: code 1 with the body text).
//  - URLSessionUploadTaskDelegate: a JSON delegate that reports upload progress, as a rounded
//    percentage, on the main thread.
//  - URLSessionFileDownloadTaskDelegate: writes the body to a file (truncating it) and reports
//    download progress as a truncated percentage after each write.
//
// Cancellation: the delegate observes its token and cancels the platform task; a transfer that
// ends cancelled yields a cancelled outcome, never an error, unless the delegate itself stopped
// it because of a failure it recorded (a file it could not write), which is then reported.
//
// Threading: the transfer callbacks (response, data, upload progress) come on the HTTP session's
// I/O thread, one at a time, and only collect bytes. didCompleteWithError() is called once the
// transfer is over, on the session's completion executor (a pool thread), and does the real work
// there: parsing the body, building the error, running the outcome handler. So a large reply is
// decoded without holding up every other transfer of the session. It may be called more than
// once (the session's teardown races the executor); the first call wins, the others return at
// once. Reading responseString()/response() is safe once the outcome has been handed on. Owned
// by the URLSession's delegate table until the outcome is handed on.
#pragma once

#include <atomic>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <keel/base/Error.h>
#include <keel/base/Value.h>
#include <keel/network/CommandResult.h>
#include <keel/network/CommandRunning.h>
#include <keel/network/URLSession.h>
#include <keel/platform/HTTPSession.h>
#include <keel/tasks/CancellationToken.h>

namespace keel {

class URLSessionDataTaskDelegate {
 public:
  using OutcomeHandler = std::function<void(const URLSessionTaskOutcome&)>;

  URLSessionDataTaskDelegate(platform::HTTPSessionTaskPtr dataTask, CancellationTokenPtr token);
  virtual ~URLSessionDataTaskDelegate();
  URLSessionDataTaskDelegate(const URLSessionDataTaskDelegate&) = delete;
  URLSessionDataTaskDelegate& operator=(const URLSessionDataTaskDelegate&) = delete;

  // Sets who receives the outcome. REQUIRES: called before resume().
  void setOutcomeHandler(OutcomeHandler handler) { outcomeHandler_ = std::move(handler); }
  // Starts observing the token and resumes the task. REQUIRES: the delegate is already where
  // the session's callbacks find it, so that a cancellation at any point reaches it.
  void resume();

  const platform::HTTPSessionTaskPtr& dataTask() const { return dataTask_; }
  const std::optional<platform::HTTPResponse>& response() const { return response_; }
  const std::string& responseString() const { return responseString_; }
  std::int64_t downloadedBytes() const { return downloadedBytes_; }

  // Session callbacks.
  virtual void didReceiveResponse(const platform::HTTPResponse& response);
  virtual void didReceiveData(const char* data, std::size_t size);
  virtual void didSendBodyData(std::int64_t /*sent*/, std::int64_t /*expected*/) {}
  // Turns what was collected into the outcome and hands it on. See the header comment.
  void didCompleteWithError(const ErrorPtr& error);

 protected:
  // Writes body bytes; returns false (with error_ set) when they cannot be kept.
  virtual bool writeData(const char* data, std::size_t size);
  // Turns what was collected into result_/error_; the base keeps them as they are.
  virtual void prepareOutcome() {}
  // Builds the error of a transport failure (code 100). `withEmptyDescription` keeps "error"
  // even when the failure has no text.
  ErrorPtr transportError(const ErrorPtr& failure, bool withEmptyDescription) const;
  long statusCode() const { return response_ ? response_->statusCode : 0; }

  platform::HTTPSessionTaskPtr dataTask_;
  std::optional<platform::HTTPResponse> response_;
  std::string body_;
  std::string responseString_;
  std::int64_t downloadedBytes_ = 0;
  Value result_;
  ErrorPtr error_;
  bool failedLocally_ = false;

 private:
  void finish();
  void cancelled();

  CancellationTokenPtr token_;
  CancellationTokenRegistrationPtr registration_;
  OutcomeHandler outcomeHandler_;
  std::atomic<bool> completing_{false};
};

class URLSessionJSONDataTaskDelegate : public URLSessionDataTaskDelegate {
 public:
  using URLSessionDataTaskDelegate::URLSessionDataTaskDelegate;

 protected:
  void prepareOutcome() override;
};

class URLSessionUploadTaskDelegate : public URLSessionJSONDataTaskDelegate {
 public:
  using ProgressBlock = std::function<void(int percent)>;
  URLSessionUploadTaskDelegate(platform::HTTPSessionTaskPtr dataTask, CancellationTokenPtr token,
                               ProgressBlock progressBlock);
  void didSendBodyData(std::int64_t sent, std::int64_t expected) override;

 private:
  ProgressBlock progressBlock_;
  int lastPercent_ = -1;
};

class URLSessionFileDownloadTaskDelegate : public URLSessionDataTaskDelegate {
 public:
  using ProgressBlock = std::function<void(int percent)>;
  URLSessionFileDownloadTaskDelegate(platform::HTTPSessionTaskPtr dataTask, CancellationTokenPtr token,
                                     std::string targetFilePath, ProgressBlock progressBlock);

 protected:
  bool writeData(const char* data, std::size_t size) override;
  void prepareOutcome() override;

 private:
  std::string targetFilePath_;
  std::ofstream file_;
  bool opened_ = false;
  ProgressBlock progressBlock_;
};

}  // namespace keel
