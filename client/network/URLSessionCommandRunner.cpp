#include <keel/network/URLSessionCommandRunner.h>

#include <mutex>

#include <keel/base/Crypto.h>
#include <keel/base/Logger.h>
#include <keel/platform/Dispatch.h>

namespace keel {

namespace {

Dictionary describeRequest(const platform::HTTPRequest& request) {
  Dictionary headers;
  for (const auto& [k, v] : request.headers) headers.set(k, Value(v));
  Dictionary d{{"URL", Value(request.url)}, {"HTTPMethod", Value(request.method)},
               {"allHTTPHeaderFields", Value(std::move(headers))}};
  if (request.body) d.set("HTTPBody", Value(*request.body));
  return d;
}

Dictionary describeResponse(const platform::HTTPResponse& response) {
  Dictionary headers;
  for (const auto& [k, v] : response.headers) headers.set(k, Value(v));
  return Dictionary{{"URL", Value(response.url)},
                    {"statusCode", Value(response.statusCode)},
                    {"allHeaderFields", Value(std::move(headers))}};
}

template <typename T>
void completeSource(TaskCompletionSource<T>& source, const URLSessionTaskOutcome& outcome) {
  switch (outcome.kind) {
    case URLSessionTaskOutcome::Kind::Cancelled:
      source.trySetCancelled();
      return;
    case URLSessionTaskOutcome::Kind::Error:
      source.trySetError(outcome.error);
      return;
    case URLSessionTaskOutcome::Kind::Result:
      if constexpr (std::is_void_v<T>) {
        source.trySetResult();
      } else {
        source.trySetResult(outcome.result.as<CommandResult>());
      }
      return;
  }
}

}  // namespace

// One command's chain of sendings. Lives as long as a sending or a wait refers to it.
template <typename T>
struct RetryingRun : std::enable_shared_from_this<RetryingRun<T>> {
  using Send = std::function<void(URLSessionCommandRunner&, URLSession::OutcomeHandler)>;

  std::weak_ptr<URLSessionCommandRunner> runner;
  Send send;  // builds the request anew and sends it; may throw while building
  CancellationTokenPtr token;
  TaskCompletionSource<T> source;
  unsigned long attemptsLeft = 1;
  double delay = 0;

  std::mutex mutex;  // guards the wait below
  platform::DelayedWorkPtr wait;
  CancellationTokenRegistrationPtr registration;
  bool waitOver = true;

  // REQUIRES: `first` only for the sending made on the caller's thread, whose building
  // exceptions reach the caller as they would from a direct call.
  void start(bool first) {
    auto r = runner.lock();
    if (!r || (token && token->isCancellationRequested())) {
      source.trySetCancelled();
      return;
    }
    try {
      send(*r, [self = this->shared_from_this()](const URLSessionTaskOutcome& o) { self->onOutcome(o); });
    } catch (...) {
      if (first) throw;
      source.trySetException(std::current_exception());
    }
  }

  void onOutcome(const URLSessionTaskOutcome& outcome) {
    const bool temporary = outcome.kind == URLSessionTaskOutcome::Kind::Error && outcome.error &&
                           outcome.error->userInfo()["temporary"].boolValue();
    if (!temporary || attemptsLeft < 2) {
      completeSource(source, outcome);
      return;
    }
    logError("Network connection failed. Making attempt %lu after sleeping for %f seconds.", 6 - attemptsLeft, delay);
    scheduleRetry();
  }

  void scheduleRetry() {
    auto self = this->shared_from_this();
    {
      std::lock_guard lock(mutex);
      waitOver = false;
      const auto millis = platform::Milliseconds(static_cast<long long>(delay * 1000));
      wait = platform::dispatchAfter(millis, platform::DispatchQueue::global(), [self] { self->waitEnded(); });
      if (token) {
        std::weak_ptr<RetryingRun> weak = self;
        registration = token->registerCancellationObserverWithBlock([weak] {
          if (auto s = weak.lock()) s->cancelWait();
        });
      }
    }
    // A cancellation that came before the observer was registered is never told to it; without
    // this the chain would sit out the whole wait.
    if (token && token->isCancellationRequested()) cancelWait();
  }

  void waitEnded() {
    CancellationTokenRegistrationPtr r;
    {
      std::lock_guard lock(mutex);
      if (waitOver) return;
      waitOver = true;
      r = std::move(registration);
    }
    if (r) r->dispose();
    attemptsLeft -= 1;
    delay *= 2;
    start(false);
  }

  void cancelWait() {
    {
      std::lock_guard lock(mutex);
      if (waitOver) return;
      waitOver = true;
      if (wait) wait->cancel();
    }
    source.trySetCancelled();
  }
};

std::shared_ptr<URLSessionCommandRunner> URLSessionCommandRunner::commandRunnerWithDataSource(
    std::weak_ptr<CommandRequestDataSource> dataSource, std::string applicationId, std::string clientKey,
    std::string serverURL, platform::HTTPSessionConfiguration configuration) {
  for (auto& h : CommandURLRequestConstructor::defaultURLRequestHeadersForApplicationId(applicationId, clientKey,
                                                                                        BundleInfo::mainBundle()))
    platform::setHeader(configuration.additionalHeaders, h.first, h.second);
  auto session = URLSession::sessionWithConfiguration(std::move(configuration), {});
  auto runner = initWithDataSource(dataSource, std::move(session),
                                   CommandURLRequestConstructor::constructorWithDataSource(dataSource, std::move(serverURL)),
                                   platform::NotificationCenter::defaultCenter());
  runner->applicationId_ = std::move(applicationId);
  runner->clientKey_ = std::move(clientKey);
  return runner;
}

std::shared_ptr<URLSessionCommandRunner> URLSessionCommandRunner::initWithDataSource(
    std::weak_ptr<CommandRequestDataSource> dataSource, std::shared_ptr<URLSession> session,
    std::shared_ptr<CommandURLRequestConstructor> requestConstructor,
    std::shared_ptr<platform::NotificationCenter> notificationCenter) {
  std::shared_ptr<URLSessionCommandRunner> runner(new URLSessionCommandRunner());
  runner->session_ = std::move(session);
  runner->requestConstructor_ = requestConstructor ? std::move(requestConstructor)
                                                   : CommandURLRequestConstructor::constructorWithDataSource(
                                                         dataSource, kDefaultServerURLString);
  runner->notificationCenter_ = notificationCenter ? std::move(notificationCenter)
                                                   : platform::NotificationCenter::defaultCenter();
  runner->session_->setDelegate(runner);
  return runner;
}

URLSessionCommandRunner::~URLSessionCommandRunner() {
  if (session_) session_->invalidateAndCancel();
}

RESTCommandPtr URLSessionCommandRunner::resolvedCommand(const RESTCommandPtr& command) const {
  auto source = dataSource();
  auto store = source ? source->objectLocalIdStore() : nullptr;
  return command->resolveLocalIds(store.get());
}

double URLSessionCommandRunner::firstRetryDelay() const {
  const double initial = initialRetryDelay();
  return initial + initial * (static_cast<double>(random32() & 65535u) / 65535.0);
}

Task<CommandResultPtr> URLSessionCommandRunner::runCommandAsync(const RESTCommandPtr& command,
                                                                CommandRunningOptions options,
                                                                const CancellationTokenPtr& cancellationToken) {
  if (cancellationToken && cancellationToken->isCancellationRequested()) return Task<CommandResultPtr>::cancelledTask();
  auto run = std::make_shared<RetryingRun<CommandResultPtr>>();
  run->runner = weak_from_this();
  run->token = cancellationToken;
  run->send = [command, token = cancellationToken](URLSessionCommandRunner& r, URLSession::OutcomeHandler handler) {
    RESTCommandPtr resolved = r.resolvedCommand(command);
    r.session_->performDataURLRequest(r.requestConstructor_->dataURLRequestForCommand(*resolved), token,
                                      std::move(handler));
  };
  if (options & kCommandRunningOptionRetryIfFailed) {
    run->attemptsLeft = 5;
    run->delay = firstRetryDelay();
  }
  run->start(true);
  return run->source.task();
}

Task<CommandResultPtr> URLSessionCommandRunner::runFileUploadCommandAsync(
    const RESTCommandPtr& command, const std::optional<std::string>& contentType,
    const std::string& contentSourceFilePath, CommandRunningOptions options,
    const CancellationTokenPtr& cancellationToken, ProgressBlock progressBlock) {
  if (cancellationToken && cancellationToken->isCancellationRequested()) return Task<CommandResultPtr>::cancelledTask();
  auto run = std::make_shared<RetryingRun<CommandResultPtr>>();
  run->runner = weak_from_this();
  run->token = cancellationToken;
  run->send = [command, contentType, contentSourceFilePath, progressBlock, token = cancellationToken](
                  URLSessionCommandRunner& r, URLSession::OutcomeHandler handler) {
    RESTCommandPtr resolved = r.resolvedCommand(command);
    auto request = r.requestConstructor_->fileUploadURLRequestForCommand(*resolved, contentType, contentSourceFilePath);
    r.session_->performFileUploadURLRequest(std::move(request), contentSourceFilePath, token, progressBlock,
                                            std::move(handler));
  };
  if (options & kCommandRunningOptionRetryIfFailed) {
    run->attemptsLeft = 5;
    run->delay = firstRetryDelay();
  }
  run->start(true);
  return run->source.task();
}

Task<void> URLSessionCommandRunner::runFileDownloadCommandAsyncWithFileURL(const std::string& fileURL,
                                                                           const std::string& targetFilePath,
                                                                           const CancellationTokenPtr& cancellationToken,
                                                                           ProgressBlock progressBlock) {
  if (cancellationToken && cancellationToken->isCancellationRequested()) return Task<void>::cancelledTask();
  auto run = std::make_shared<RetryingRun<void>>();
  run->runner = weak_from_this();
  run->token = cancellationToken;
  run->send = [fileURL, targetFilePath, progressBlock, token = cancellationToken](URLSessionCommandRunner& r,
                                                                                 URLSession::OutcomeHandler handler) {
    platform::HTTPRequest request;
    request.url = fileURL;
    request.method = "GET";
    r.session_->performFileDownloadURLRequest(std::move(request), targetFilePath, token, progressBlock,
                                              std::move(handler));
  };
  run->attemptsLeft = 5;
  run->delay = firstRetryDelay();
  run->start(true);
  return run->source.task();
}

void URLSessionCommandRunner::urlSessionWillPerformURLRequest(URLSession&, const platform::HTTPRequest& request) {
  Dictionary userInfo;
  if (Logger::sharedLogger().logLevel() == static_cast<std::uint8_t>(LoggingLevel::Debug))
    userInfo.set(kNetworkNotificationURLRequestUserInfoKey, Value(describeRequest(request)));
  notificationCenter_->post(kNetworkWillSendURLRequestNotification, this, std::move(userInfo));
}

void URLSessionCommandRunner::urlSessionDidPerformURLRequest(URLSession&, const platform::HTTPRequest& request,
                                                             const std::optional<platform::HTTPResponse>& response,
                                                             const std::string& responseString) {
  Dictionary userInfo;
  if (Logger::sharedLogger().logLevel() == static_cast<std::uint8_t>(LoggingLevel::Debug)) {
    userInfo.set(kNetworkNotificationURLRequestUserInfoKey, Value(describeRequest(request)));
    if (response) userInfo.set(kNetworkNotificationURLResponseUserInfoKey, Value(describeResponse(*response)));
    if (!responseString.empty()) userInfo.set(kNetworkNotificationURLResponseBodyUserInfoKey, Value(responseString));
  }
  notificationCenter_->post(kNetworkDidReceiveURLResponseNotification, this, std::move(userInfo));
}

}  // namespace keel
