#include <keel/network/URLSession.h>

#include <atomic>
#include <mutex>
#include <vector>

#include <keel/network/internal/URLSessionDataTaskDelegate.h>

namespace keel {

// Receives the platform callbacks and hands each to the delegate of its task: the byte-moving
// ones on the I/O thread, the completion on the completion executor. It outlives the URLSession
// only while the I/O thread finishes a turn after the session let go of it; `owner` is then null
// and callbacks are dropped.
class URLSession::Forwarder : public platform::HTTPSessionDelegate {
 public:
  Forwarder(URLSession* owner, ExecutorPtr completionExecutor)
      : owner_(owner), completionExecutor_(std::move(completionExecutor)) {}
  void detach() { owner_.store(nullptr); }

  void didReceiveResponse(platform::HTTPSessionTask& task, const platform::HTTPResponse& response) override {
    if (auto d = find(task)) d->didReceiveResponse(response);
  }
  void didReceiveData(platform::HTTPSessionTask& task, const char* data, std::size_t size) override {
    if (auto d = find(task)) d->didReceiveData(data, size);
  }
  void didSendBodyData(platform::HTTPSessionTask& task, std::int64_t sent, std::int64_t expected) override {
    if (auto d = find(task)) d->didSendBodyData(sent, expected);
  }
  void didCompleteWithError(platform::HTTPSessionTask& task, const ErrorPtr& error) override {
    // The delegate rides along (and dies with the closure, not on this thread): it stays alive
    // until its outcome has been handed on.
    if (auto d = find(task))
      completionExecutor_->execute([d = std::move(d), error] { d->didCompleteWithError(error); });
  }

 private:
  std::shared_ptr<URLSessionDataTaskDelegate> find(platform::HTTPSessionTask& task) {
    URLSession* owner = owner_.load();
    return owner ? owner->delegateForTask(task.taskIdentifier()) : nullptr;
  }
  std::atomic<URLSession*> owner_;
  const ExecutorPtr completionExecutor_;
};

std::shared_ptr<URLSession> URLSession::sessionWithConfiguration(platform::HTTPSessionConfiguration configuration,
                                                                 std::weak_ptr<URLSessionDelegate> delegate,
                                                                 ExecutorPtr completionExecutor) {
  std::shared_ptr<URLSession> session(new URLSession());
  session->delegate_ = std::move(delegate);
  session->completionExecutor_ =
      completionExecutor ? std::move(completionExecutor) : Executor::defaultPriorityBackgroundExecutor();
  session->forwarder_ = std::make_shared<Forwarder>(session.get(), session->completionExecutor_);
  session->urlSession_ = platform::HTTPSession::create(std::move(configuration), session->forwarder_);
  return session;
}

URLSession::~URLSession() {
  urlSession_->invalidateAndCancel();
  // Destroying the platform session hands the remaining cancellations to the completion
  // executor (and waits for that unless we are on its I/O thread, where it cannot).
  urlSession_.reset();
  // Those completions may run after this object is gone, or never when the I/O thread could not
  // deliver them; finish the remaining requests here so that none of them waits for ever. A
  // delegate completes once: whichever call comes second does nothing.
  std::vector<std::shared_ptr<URLSessionDataTaskDelegate>> remaining;
  {
    std::shared_lock lock(delegatesMutex_);
    for (auto& [_, d] : delegatesDictionary_) remaining.push_back(d);
  }
  auto cancelled = Error::make(platform::kHTTPErrorDomain, platform::kHTTPErrorCancelled);
  for (auto& d : remaining) d->didCompleteWithError(cancelled);
  forwarder_->detach();
}

void URLSession::setDelegate(std::weak_ptr<URLSessionDelegate> delegate) {
  std::lock_guard lock(delegateMutex_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<URLSessionDelegate> URLSession::owner() const {
  std::lock_guard lock(delegateMutex_);
  return delegate_.lock();
}

void URLSession::invalidateAndCancel() { urlSession_->invalidateAndCancel(); }

std::size_t URLSession::delegateCount() const {
  std::shared_lock lock(delegatesMutex_);
  return delegatesDictionary_.size();
}

std::shared_ptr<URLSessionDataTaskDelegate> URLSession::delegateForTask(std::uint64_t identifier) const {
  std::shared_lock lock(delegatesMutex_);
  auto it = delegatesDictionary_.find(identifier);
  return it == delegatesDictionary_.end() ? nullptr : it->second;
}

void URLSession::removeDelegate(std::uint64_t identifier) {
  std::unique_lock lock(delegatesMutex_);
  delegatesDictionary_.erase(identifier);
}

void URLSession::perform(std::shared_ptr<URLSessionDataTaskDelegate> delegate, OutcomeHandler handler) {
  const platform::HTTPSessionTaskPtr task = delegate->dataTask();
  if (auto o = owner()) o->urlSessionWillPerformURLRequest(*this, task->originalRequest());
  const std::uint64_t identifier = task->taskIdentifier();
  // Whoever completes the delegate holds it until the handler returns, so a raw pointer will do.
  // The session is held weakly: a completion may run after the session has gone.
  URLSessionDataTaskDelegate* raw = delegate.get();
  delegate->setOutcomeHandler([weakSelf = weak_from_this(), raw, identifier,
                               handler = std::move(handler)](const URLSessionTaskOutcome& outcome) {
    if (auto self = weakSelf.lock()) {
      if (auto o = self->owner())
        o->urlSessionDidPerformURLRequest(*self, raw->dataTask()->originalRequest(), raw->response(),
                                          raw->responseString());
      self->removeDelegate(identifier);
    }
    handler(outcome);
  });
  {
    std::unique_lock lock(delegatesMutex_);
    delegatesDictionary_.emplace(identifier, delegate);
  }
  delegate->resume();
}

void URLSession::performDataURLRequest(platform::HTTPRequest request, const CancellationTokenPtr& token,
                                       OutcomeHandler handler) {
  if (token && token->isCancellationRequested()) {
    handler({URLSessionTaskOutcome::Kind::Cancelled, Value(), nullptr});
    return;
  }
  auto task = urlSession_->dataTask(std::move(request));
  perform(std::make_shared<URLSessionJSONDataTaskDelegate>(task, token), std::move(handler));
}

void URLSession::performFileUploadURLRequest(platform::HTTPRequest request, std::string contentSourceFilePath,
                                             const CancellationTokenPtr& token, ProgressBlock progressBlock,
                                             OutcomeHandler handler) {
  if (token && token->isCancellationRequested()) {
    handler({URLSessionTaskOutcome::Kind::Cancelled, Value(), nullptr});
    return;
  }
  auto task = urlSession_->uploadTask(std::move(request), std::move(contentSourceFilePath));
  perform(std::make_shared<URLSessionUploadTaskDelegate>(task, token, std::move(progressBlock)), std::move(handler));
}

void URLSession::performFileDownloadURLRequest(platform::HTTPRequest request, std::string targetFilePath,
                                               const CancellationTokenPtr& token, ProgressBlock progressBlock,
                                               OutcomeHandler handler) {
  if (token && token->isCancellationRequested()) {
    handler({URLSessionTaskOutcome::Kind::Cancelled, Value(), nullptr});
    return;
  }
  auto task = urlSession_->dataTask(std::move(request));
  perform(std::make_shared<URLSessionFileDownloadTaskDelegate>(task, token, std::move(targetFilePath),
                                                               std::move(progressBlock)),
          std::move(handler));
}

}  // namespace keel
