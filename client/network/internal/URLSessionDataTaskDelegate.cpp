#include <keel/network/internal/URLSessionDataTaskDelegate.h>

#include <algorithm>
#include <cmath>

#include <keel/base/ErrorUtilities.h>
#include <keel/base/Format.h>
#include <keel/base/JSONSerialization.h>
#include <keel/platform/Dispatch.h>

namespace keel {

URLSessionDataTaskDelegate::URLSessionDataTaskDelegate(platform::HTTPSessionTaskPtr dataTask,
                                                       CancellationTokenPtr token)
    : dataTask_(std::move(dataTask)), token_(std::move(token)) {}

void URLSessionDataTaskDelegate::resume() {
  if (token_) {
    std::weak_ptr<platform::HTTPSessionTask> weakTask = dataTask_;
    registration_ = token_->registerCancellationObserverWithBlock([weakTask] {
      if (auto t = weakTask.lock()) t->cancel();
    });
    // An observer registered after the cancellation is never called.
    if (token_->isCancellationRequested()) dataTask_->cancel();
  }
  dataTask_->resume();
}

URLSessionDataTaskDelegate::~URLSessionDataTaskDelegate() {
  if (registration_) registration_->dispose();
}

void URLSessionDataTaskDelegate::didReceiveResponse(const platform::HTTPResponse& response) { response_ = response; }

void URLSessionDataTaskDelegate::didReceiveData(const char* data, std::size_t size) {
  if (failedLocally_) return;
  if (!writeData(data, size)) {
    failedLocally_ = true;
    dataTask_->cancel();
    return;
  }
  downloadedBytes_ += static_cast<std::int64_t>(size);
}

bool URLSessionDataTaskDelegate::writeData(const char* data, std::size_t size) {
  if (body_.empty() && response_ && response_->expectedContentLength > 0) {
    // One allocation for a reply of known length; a length nobody has sent yet is not trusted
    // beyond a few megabytes.
    constexpr std::int64_t kLargestReservation = 8 << 20;
    body_.reserve(static_cast<std::size_t>(std::min(response_->expectedContentLength, kLargestReservation)));
  }
  body_.append(data, size);
  return true;
}

void URLSessionDataTaskDelegate::didCompleteWithError(const ErrorPtr& error) {
  if (completing_.exchange(true)) return;
  if (error && error->domain() == platform::kHTTPErrorDomain && error->code() == platform::kHTTPErrorCancelled &&
      !failedLocally_) {
    cancelled();
    return;
  }
  if (!error_ && !failedLocally_) error_ = error;
  finish();
}

ErrorPtr URLSessionDataTaskDelegate::transportError(const ErrorPtr& failure, bool withEmptyDescription) const {
  const long s = statusCode();
  Dictionary result{{"code", Value(100)},
                    {"originalError", Error::toValue(failure)},
                    {kUnderlyingErrorKey, Error::toValue(failure)},
                    {"temporary", Value((s >= 400 && s <= 499) ? 0 : 1)}};
  std::string text = failure->localizedDescription();
  if (text.empty()) text = failure->userInfo()["localizedFailureReason"].stringValue();
  if (!text.empty() || withEmptyDescription) result.set("error", Value(text));
  return ErrorUtilities::errorFromResult(result);
}

void URLSessionDataTaskDelegate::cancelled() {
  if (registration_) registration_->dispose();
  URLSessionTaskOutcome outcome{URLSessionTaskOutcome::Kind::Cancelled, Value(), nullptr};
  if (outcomeHandler_) outcomeHandler_(outcome);
}

void URLSessionDataTaskDelegate::finish() {
  prepareOutcome();
  if (registration_) registration_->dispose();
  URLSessionTaskOutcome outcome;
  if (error_) {
    outcome.kind = URLSessionTaskOutcome::Kind::Error;
    outcome.error = error_;
  } else {
    outcome.result = result_;
  }
  if (outcomeHandler_) outcomeHandler_(outcome);
}

void URLSessionJSONDataTaskDelegate::prepareOutcome() {
  std::optional<Value> json;
  if (!body_.empty()) {
    responseString_ = std::move(body_);
    body_.clear();
    std::string failure;
    json = JSONSerialization::JSONObjectFromString(responseString_, failure);
    if (!json) {
      if (!error_) {
        error_ = Error::make(kJSONErrorDomain, kJSONErrorCodeCorrupt,
                             Dictionary{{kLocalizedDescriptionKey,
                                         Value("The data couldn't be read because it isn't in the correct format.")},
                                        {"NSDebugDescription", Value(failure)}});
        return;
      }
    }
  }
  if (error_) {
    error_ = transportError(error_, true);
    return;
  }
  const long s = statusCode();
  if (s >= 400 && json && json->isDictionary() && json->contains("error")) {
    Dictionary result = json->dictionaryValue();
    result.set("temporary", Value(s >= 500 ? 1 : 0));
    error_ = ErrorUtilities::errorFromResult(result);
  } else if (s >= 200 && s <= 399 && json) {
    result_ = Value(CommandResult::commandResultWithResult(*json, responseString_, *response_));
  }
  if (result_.isNull() && !error_) error_ = ErrorUtilities::errorWithCode(1, responseString_);
}

URLSessionUploadTaskDelegate::URLSessionUploadTaskDelegate(platform::HTTPSessionTaskPtr dataTask,
                                                           CancellationTokenPtr token, ProgressBlock progressBlock)
    : URLSessionJSONDataTaskDelegate(std::move(dataTask), std::move(token)), progressBlock_(std::move(progressBlock)) {}

void URLSessionUploadTaskDelegate::didSendBodyData(std::int64_t sent, std::int64_t expected) {
  if (!progressBlock_ || expected <= 0) return;
  int percent = static_cast<int>(std::lround(static_cast<double>(sent) / static_cast<double>(expected) * 100.0));
  if (percent == lastPercent_) return;  // the main thread need not hear the same number twice
  lastPercent_ = percent;
  platform::DispatchQueue::main()->async([block = progressBlock_, percent] { block(percent); });
}

URLSessionFileDownloadTaskDelegate::URLSessionFileDownloadTaskDelegate(platform::HTTPSessionTaskPtr dataTask,
                                                                       CancellationTokenPtr token,
                                                                       std::string targetFilePath,
                                                                       ProgressBlock progressBlock)
    : URLSessionDataTaskDelegate(std::move(dataTask), std::move(token)),
      targetFilePath_(std::move(targetFilePath)),
      progressBlock_(std::move(progressBlock)) {}

bool URLSessionFileDownloadTaskDelegate::writeData(const char* data, std::size_t size) {
  if (!opened_) {
    opened_ = true;
    file_.open(targetFilePath_, std::ios::binary | std::ios::trunc);
  }
  if (file_.is_open()) file_.write(data, static_cast<std::streamsize>(size));
  if (!file_.is_open() || !file_) {
    error_ = Error::make(platform::kHTTPErrorDomain, platform::kHTTPErrorCannotOpenFile,
                         Dictionary{{kLocalizedDescriptionKey,
                                     Value(formatMessage("Unable to write the downloaded file %@.", targetFilePath_))}});
    return false;
  }
  const std::int64_t expected = response_ ? response_->expectedContentLength : -1;
  if (progressBlock_ && expected > 0) {
    progressBlock_(static_cast<int>(static_cast<double>(downloadedBytes_ + static_cast<std::int64_t>(size)) /
                                    static_cast<double>(expected) * 100.0));
  }
  return true;
}

void URLSessionFileDownloadTaskDelegate::prepareOutcome() {
  if (file_.is_open()) file_.close();
  if (error_) {
    if (!failedLocally_) error_ = transportError(error_, false);
    return;
  }
  const long s = statusCode();
  if (s >= 200 && s <= 399 && !opened_) std::ofstream(targetFilePath_, std::ios::binary | std::ios::trunc);
  if (s < 200 || s > 399) error_ = ErrorUtilities::errorWithCode(1, formatMessage("Response status code was unacceptable: %d", s));
}

}  // namespace keel
