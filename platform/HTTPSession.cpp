#include <keel/platform/HTTPSession.h>

#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>

#include <keel/base/Logger.h>

namespace platform {

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

// curl_global_init is not thread-safe on every build; do it once, before the first session.
void globalInitOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

HTTPErrorCode errorCodeFor(CURLcode code) {
  switch (code) {
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
      return kHTTPErrorBadURL;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return kHTTPErrorCannotFindHost;
    case CURLE_COULDNT_CONNECT:
      return kHTTPErrorCannotConnectToHost;
    case CURLE_OPERATION_TIMEDOUT:
      return kHTTPErrorTimedOut;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
      return kHTTPErrorServerCertificateUntrusted;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
      return kHTTPErrorSecureConnectionFailed;
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
      return kHTTPErrorNetworkConnectionLost;
    case CURLE_WEIRD_SERVER_REPLY:
      return kHTTPErrorBadServerResponse;
    default:
      return kHTTPErrorUnknown;
  }
}

keel::ErrorPtr makeError(long code, const std::string& description, const std::string& url,
                         long curlCode = 0) {
  keel::Dictionary info{{keel::kLocalizedDescriptionKey, keel::Value(description)},
                        {"URL", keel::Value(url)}};
  if (curlCode) info.set("transportCode", keel::Value(curlCode));
  return keel::Error::make(kHTTPErrorDomain, code, std::move(info));
}

}  // namespace

const std::string* findHeader(const HeaderList& headers, std::string_view name) {
  for (const auto& [k, v] : headers)
    if (equalsIgnoringCase(k, name)) return &v;
  return nullptr;
}

void setHeader(HeaderList& headers, std::string name, std::string value) {
  std::erase_if(headers, [&](const auto& h) { return equalsIgnoringCase(h.first, name); });
  headers.emplace_back(std::move(name), std::move(value));
}

// Per-transfer libcurl state. Lives from Start until completion, on the I/O thread only.
struct HTTPSessionTask::Transfer {
  HTTPSession::Impl* impl = nullptr;
  HTTPSessionTask* task = nullptr;
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  FILE* upload = nullptr;
  std::int64_t uploadSize = 0;
  std::int64_t lastReportedSent = -1;
  HTTPResponse response;
  bool responseDelivered = false;
  char errorBuffer[CURL_ERROR_SIZE] = {0};

  ~Transfer();
};

struct HTTPSession::Impl {
  enum class CommandKind { Start, Cancel, CancelAll, Stop };
  struct Command {
    CommandKind kind;
    HTTPSessionTaskPtr task;
    // Start only: the transfer prepared on the resuming thread, or why it could not be.
    std::unique_ptr<HTTPSessionTask::Transfer> transfer = nullptr;
    keel::ErrorPtr failure = nullptr;
  };

  HTTPSessionConfiguration configuration;
  std::weak_ptr<HTTPSessionDelegate> delegate;
  CURLM* multi = nullptr;
  std::vector<X509*> extraCertificates;

  std::mutex mutex;  // guards `commands`, `wakeupPending` and `stopped`
  std::vector<Command> commands;
  bool wakeupPending = false;  // woken for `commands` and not yet taken them
  bool stopped = false;
  std::atomic<std::size_t> running{0};
  std::thread::id ioThread;  // set by the I/O thread under `mutex`

  std::mutex handlesMutex;  // guards `idleHandles`
  std::vector<CURL*> idleHandles;  // reset handles kept for the next transfers

  // I/O thread only.
  std::unordered_map<HTTPSessionTask*, HTTPSessionTaskPtr> active;
  bool invalidated = false;

  ~Impl() {
    for (CURL* e : idleHandles) curl_easy_cleanup(e);
    for (X509* c : extraCertificates) X509_free(c);
  }

  void post(Command command) {
    std::lock_guard lock(mutex);
    if (stopped) return;
    commands.push_back(std::move(command));
    // The I/O thread looks at its commands before it polls again; others must wake it, once
    // per batch: a wake-up still pending makes the next poll return at once anyway. Under the
    // lock: `multi` is cleaned up only once `stopped` is set.
    if (!wakeupPending && std::this_thread::get_id() != ioThread) {
      wakeupPending = true;
      curl_multi_wakeup(multi);
    }
  }

  bool hasCommands() {
    std::lock_guard lock(mutex);
    return !commands.empty();
  }

  CURL* obtainHandle() {
    {
      std::lock_guard lock(handlesMutex);
      if (!idleHandles.empty()) {
        CURL* e = idleHandles.back();
        idleHandles.pop_back();
        return e;
      }
    }
    return curl_easy_init();
  }

  void recycle(CURL* e) {
    curl_easy_reset(e);
    {
      std::lock_guard lock(handlesMutex);
      if (idleHandles.size() < 64) {
        idleHandles.push_back(e);
        return;
      }
    }
    curl_easy_cleanup(e);
  }

  void loadExtraCertificates() {
    if (configuration.extraTrustedCAFile.empty()) return;
    FILE* f = std::fopen(configuration.extraTrustedCAFile.c_str(), "r");
    if (!f) {
      keel::logError("Unable to read trusted certificates from %@.", configuration.extraTrustedCAFile);
      return;
    }
    while (X509* cert = PEM_read_X509(f, nullptr, nullptr, nullptr)) extraCertificates.push_back(cert);
    ERR_clear_error();  // the read that ends the loop leaves "no start line" behind
    std::fclose(f);
  }

  static CURLcode sslContextCallback(CURL*, void* sslContext, void* user) {
    auto* self = static_cast<Impl*>(user);
    X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslContext));
    for (X509* cert : self->extraCertificates) X509_STORE_add_cert(store, cert);
    ERR_clear_error();  // adding a certificate the store already has is not a failure
    return CURLE_OK;
  }

  static size_t headerCallback(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<HTTPSessionTask::Transfer*>(user);
    const size_t n = size * count;
    if (t->task->cancelRequested_.load(std::memory_order_relaxed)) return 0;
    std::string_view line(data, n);
    if (line.starts_with("HTTP/")) {  // a new status line: drop any interim response's headers
      t->response.headers.clear();
      return n;
    }
    if (trim(line).empty()) {
      long status = 0;
      curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &status);
      if (status >= 100 && status < 200) return n;  // interim response; the final one follows
      t->impl->deliverResponse(*t);
      return n;
    }
    if (auto colon = line.find(':'); colon != std::string_view::npos) {
      t->response.headers.emplace_back(std::string(trim(line.substr(0, colon))),
                                       std::string(trim(line.substr(colon + 1))));
    }
    return n;
  }

  static size_t writeCallback(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<HTTPSessionTask::Transfer*>(user);
    const size_t n = size * count;
    if (t->task->cancelRequested_.load(std::memory_order_relaxed)) return 0;
    if (!t->responseDelivered) t->impl->deliverResponse(*t);
    if (auto d = t->impl->delegate.lock()) d->didReceiveData(*t->task, data, n);
    return n;
  }

  static size_t readCallback(char* buffer, size_t size, size_t count, void* user) {
    auto* t = static_cast<HTTPSessionTask::Transfer*>(user);
    if (t->task->cancelRequested_.load(std::memory_order_relaxed)) return CURL_READFUNC_ABORT;
    size_t n = std::fread(buffer, 1, size * count, t->upload);
    if (n == 0 && std::ferror(t->upload)) return CURL_READFUNC_ABORT;
    return n;
  }

  static int progressCallback(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t sent) {
    auto* t = static_cast<HTTPSessionTask::Transfer*>(user);
    if (t->task->cancelRequested_.load(std::memory_order_relaxed)) return 1;
    if (sent != t->lastReportedSent && sent > 0) {
      t->lastReportedSent = sent;
      if (auto d = t->impl->delegate.lock()) d->didSendBodyData(*t->task, sent, t->uploadSize);
    }
    return 0;
  }

  void deliverResponse(HTTPSessionTask::Transfer& t) {
    if (t.responseDelivered) return;
    t.responseDelivered = true;
    curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &t.response.statusCode);
    curl_off_t length = -1;
    if (curl_easy_getinfo(t.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK)
      t.response.expectedContentLength = length;
    if (auto d = delegate.lock()) d->didReceiveResponse(*t.task, t.response);
  }

  void complete(const HTTPSessionTaskPtr& task, keel::ErrorPtr error) {
    if (task->state_.exchange(HTTPSessionTask::State::Completed) == HTTPSessionTask::State::Completed)
      return;
    if (task->transfer_) {
      if (task->transfer_->easy) curl_multi_remove_handle(multi, task->transfer_->easy);
      if (!error && !task->transfer_->responseDelivered && task->transfer_->response.statusCode == 0)
        deliverResponse(*task->transfer_);
      task->transfer_.reset();
      running.fetch_sub(1);
    }
    if (task->cancelRequested_.load()) error = cancelledError(*task);
    active.erase(task.get());
    if (auto d = delegate.lock()) d->didCompleteWithError(*task, error);
  }

  keel::ErrorPtr cancelledError(const HTTPSessionTask& task) {
    return makeError(kHTTPErrorCancelled, "cancelled", task.originalRequest().url);
  }

  // Sets up the libcurl transfer for `task`. Runs on the thread that resumes the task, so that
  // the I/O thread, which serves every transfer of the session, only has to attach it. Returns
  // the transfer, or null with `failure` set.
  std::unique_ptr<HTTPSessionTask::Transfer> prepare(const HTTPSessionTaskPtr& task, keel::ErrorPtr& failure) {
    const HTTPRequest& request = task->request_;
    auto t = std::make_unique<HTTPSessionTask::Transfer>();
    t->impl = this;
    t->task = task.get();
    t->response.url = request.url;
    if (task->uploadFilePath_) {
      t->upload = std::fopen(task->uploadFilePath_->c_str(), "rb");
      struct stat st {};
      if (!t->upload || fstat(fileno(t->upload), &st) != 0) {
        failure = makeError(kHTTPErrorCannotOpenFile, "The file could not be opened: " + *task->uploadFilePath_,
                            request.url);
        return nullptr;
      }
      t->uploadSize = st.st_size;
    }
    CURL* e = t->easy = obtainHandle();
    if (!e) {
      failure = makeError(kHTTPErrorUnknown, "Unable to create a transfer.", request.url);
      return nullptr;
    }
    curl_easy_setopt(e, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(e, CURLOPT_PRIVATE, task.get());
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t->errorBuffer);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!extraCertificates.empty()) {
      curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, &Impl::sslContextCallback);
      curl_easy_setopt(e, CURLOPT_SSL_CTX_DATA, this);
    }
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(configuration.connectTimeout.count()));
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME,
                     std::max(1L, static_cast<long>(configuration.idleTimeout.count() / 1000)));
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &Impl::headerCallback);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, t.get());
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Impl::writeCallback);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, t.get());

    if (t->upload) {
      curl_easy_setopt(e, CURLOPT_UPLOAD, 1L);
      curl_easy_setopt(e, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(t->uploadSize));
      curl_easy_setopt(e, CURLOPT_READFUNCTION, &Impl::readCallback);
      curl_easy_setopt(e, CURLOPT_READDATA, t.get());
      curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
      curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &Impl::progressCallback);
      curl_easy_setopt(e, CURLOPT_XFERINFODATA, t.get());
      curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    } else if (request.body) {
      curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body->size()));
      curl_easy_setopt(e, CURLOPT_POSTFIELDS, request.body->data());
      if (request.method != "POST") curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    } else if (request.method == "HEAD") {
      curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
    } else if (request.method != "GET") {
      curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }

    // libcurl computes Content-Length itself and would otherwise add its own defaults.
    auto append = [&](const std::string& k, const std::string& v) {
      std::string line = v.empty() ? k + ":" : k + ": " + v;
      t->headers = curl_slist_append(t->headers, line.c_str());
    };
    for (const auto& [k, v] : configuration.additionalHeaders)
      if (!findHeader(request.headers, k)) append(k, v);
    for (const auto& [k, v] : request.headers)
      if (!equalsIgnoringCase(k, "Content-Length")) append(k, v);
    if ((request.body || t->upload) && !findHeader(request.headers, "Content-Type") &&
        !findHeader(configuration.additionalHeaders, "Content-Type"))
      append("Content-Type", "");
    append("Expect", "");
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, t->headers);
    return t;
  }

  // Attaches the prepared transfer of `task` to the multi handle (I/O thread).
  void start(const HTTPSessionTaskPtr& task, std::unique_ptr<HTTPSessionTask::Transfer> t,
             const keel::ErrorPtr& failure) {
    if (task->state_.load() == HTTPSessionTask::State::Completed) return;
    if (invalidated || task->cancelRequested_.load()) {
      task->cancelRequested_.store(true);
      complete(task, nullptr);
      return;
    }
    if (!t) {
      complete(task, failure);
      return;
    }
    CURL* e = t->easy;
    task->transfer_ = std::move(t);
    running.fetch_add(1);
    active.emplace(task.get(), task);
    if (curl_multi_add_handle(multi, e) != CURLM_OK) {
      complete(task, makeError(kHTTPErrorUnknown, "Unable to start a transfer.", task->request_.url));
    }
  }

  void cancel(const HTTPSessionTaskPtr& task) {
    if (task->state_.load() == HTTPSessionTask::State::Completed) return;
    // A task not yet started (Suspended) or whose Start is still queued completes here; its
    // Start then finds it completed.
    complete(task, nullptr);
  }

  void cancelAll() {
    invalidated = true;
    std::vector<HTTPSessionTaskPtr> tasks;
    tasks.reserve(active.size());
    for (auto& [_, t] : active) tasks.push_back(t);
    for (auto& t : tasks) {
      t->cancelRequested_.store(true);
      complete(t, nullptr);
    }
  }

  void finished(CURL* easy, CURLcode code) {
    HTTPSessionTask* raw = nullptr;
    curl_easy_getinfo(easy, CURLINFO_PRIVATE, reinterpret_cast<char**>(&raw));
    auto it = active.find(raw);
    if (it == active.end()) return;
    HTTPSessionTaskPtr task = it->second;
    keel::ErrorPtr error;
    if (code != CURLE_OK) {
      const char* detail = task->transfer_->errorBuffer;
      std::string text = detail[0] ? detail : curl_easy_strerror(code);
      error = makeError(errorCodeFor(code), text, task->request_.url, code);
    }
    complete(task, error);
  }

  // Returns false when the loop should stop.
  bool runCommands() {
    std::vector<Command> batch;
    {
      std::lock_guard lock(mutex);
      batch.swap(commands);
      wakeupPending = false;
    }
    for (auto& c : batch) {
      switch (c.kind) {
        case CommandKind::Start: start(c.task, std::move(c.transfer), c.failure); break;
        case CommandKind::Cancel: cancel(c.task); break;
        case CommandKind::CancelAll: cancelAll(); break;
        case CommandKind::Stop: cancelAll(); return false;
      }
    }
    return true;
  }

  void run() {
    {
      std::lock_guard lock(mutex);
      ioThread = std::this_thread::get_id();
    }
    while (runCommands()) {
      int stillRunning = 0;
      curl_multi_perform(multi, &stillRunning);
      int queued = 0;
      while (CURLMsg* m = curl_multi_info_read(multi, &queued)) {
        if (m->msg == CURLMSG_DONE) finished(m->easy_handle, m->data.result);
      }
      if (!hasCommands()) curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
    }
    {
      // From here on post() refuses work, so nobody wakes a multi handle that is gone.
      std::lock_guard lock(mutex);
      stopped = true;
    }
    curl_multi_cleanup(multi);
    multi = nullptr;
  }
};

HTTPSessionTask::Transfer::~Transfer() {
  if (easy) impl->recycle(easy);
  if (headers) curl_slist_free_all(headers);
  if (upload) std::fclose(upload);
}

HTTPSessionTask::HTTPSessionTask(std::weak_ptr<HTTPSession> session, std::uint64_t identifier,
                                 HTTPRequest request, std::optional<std::string> uploadFilePath)
    : session_(std::move(session)),
      identifier_(identifier),
      request_(std::move(request)),
      uploadFilePath_(std::move(uploadFilePath)) {}

HTTPSessionTask::~HTTPSessionTask() = default;

void HTTPSessionTask::resume() {
  State expected = State::Suspended;
  if (!state_.compare_exchange_strong(expected, State::Running)) return;
  if (auto s = session_.lock()) s->start(shared_from_this());
}

void HTTPSessionTask::cancel() {
  if (cancelRequested_.exchange(true)) return;
  if (state_.load() == State::Completed) return;
  if (auto s = session_.lock()) s->requestCancel(shared_from_this());
}

std::shared_ptr<HTTPSession> HTTPSession::create(HTTPSessionConfiguration configuration,
                                                 std::weak_ptr<HTTPSessionDelegate> delegate) {
  return std::shared_ptr<HTTPSession>(new HTTPSession(std::move(configuration), std::move(delegate)));
}

HTTPSession::HTTPSession(HTTPSessionConfiguration configuration, std::weak_ptr<HTTPSessionDelegate> delegate)
    : configuration_(std::move(configuration)), impl_(std::make_shared<Impl>()) {
  globalInitOnce();
  impl_->configuration = configuration_;
  impl_->delegate = std::move(delegate);
  impl_->multi = curl_multi_init();
  curl_multi_setopt(impl_->multi, CURLMOPT_MAXCONNECTS, configuration_.maxCachedConnections);
  impl_->loadExtraCertificates();
  ioThread_ = std::thread([impl = impl_] { impl->run(); });
}

HTTPSession::~HTTPSession() {
  // The I/O thread holds the Impl; it finishes the current turn, cancels what is left and exits.
  // Waiting for it here is only possible when we are not on it. Joining (rather than waiting
  // for the loop to end) also waits until the thread has let go of the Impl, so that its
  // certificates and handles are freed before this returns, not at some point after.
  impl_->post({Impl::CommandKind::Stop, nullptr});
  if (ioThread_.get_id() == std::this_thread::get_id()) {
    ioThread_.detach();
    return;
  }
  ioThread_.join();
}

HTTPSessionTaskPtr HTTPSession::dataTask(HTTPRequest request) {
  auto id = nextIdentifier_.fetch_add(1);
  return HTTPSessionTaskPtr(new HTTPSessionTask(weak_from_this(), id, std::move(request), std::nullopt));
}

HTTPSessionTaskPtr HTTPSession::uploadTask(HTTPRequest request, std::string path) {
  auto id = nextIdentifier_.fetch_add(1);
  return HTTPSessionTaskPtr(new HTTPSessionTask(weak_from_this(), id, std::move(request), std::move(path)));
}

void HTTPSession::invalidateAndCancel() { impl_->post({Impl::CommandKind::CancelAll, nullptr}); }

std::size_t HTTPSession::runningTaskCount() const { return impl_->running.load(); }

void HTTPSession::start(const HTTPSessionTaskPtr& task) {
  keel::ErrorPtr failure;
  auto transfer = impl_->prepare(task, failure);
  impl_->post({Impl::CommandKind::Start, task, std::move(transfer), std::move(failure)});
}

void HTTPSession::requestCancel(const HTTPSessionTaskPtr& task) {
  impl_->post({Impl::CommandKind::Cancel, task});
}

}  // namespace platform
