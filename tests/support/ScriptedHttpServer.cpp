#include "support/ScriptedHttpServer.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace keel::testing {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;

std::string ReceivedRequest::header(const std::string& lowerCaseName) const {
  auto it = headers.find(lowerCaseName);
  return it == headers.end() ? std::string() : it->second;
}

namespace {

// Makes a self-signed certificate for the loopback address and returns (certificate PEM, key PEM).
std::pair<std::string, std::string> makeSelfSignedCertificate() {
  EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
  X509* cert = X509_new();
  if (!key || !cert) throw std::runtime_error("cannot create a test certificate");
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), static_cast<long>(std::time(nullptr)));
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"),
                             -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  for (auto [nid, value] : {std::pair{NID_basic_constraints, "critical,CA:TRUE"},
                            std::pair{NID_key_usage, "critical,digitalSignature,keyCertSign"},
                            std::pair{NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost"}}) {
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
  }
  X509_sign(cert, key, EVP_sha256());

  auto toText = [](auto write) {
    BIO* bio = BIO_new(BIO_s_mem());
    write(bio);
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    std::string s(data, static_cast<std::size_t>(n));
    BIO_free(bio);
    return s;
  };
  std::string certPem = toText([&](BIO* b) { PEM_write_bio_X509(b, cert); });
  std::string keyPem = toText([&](BIO* b) { PEM_write_bio_PrivateKey(b, key, nullptr, nullptr, 0, nullptr, nullptr); });
  X509_free(cert);
  EVP_PKEY_free(key);
  return {certPem, keyPem};
}

}  // namespace

struct ScriptedHttpServer::Impl {
  Mode mode;
  bool record;
  ssl::context sslContext{ssl::context::tls_server};
  asio::io_context ioc{1};
  tcp::acceptor acceptor{ioc};
  std::thread thread;
  std::string certificatePath;
  std::uint16_t port = 0;

  mutable std::mutex mutex;
  mutable std::condition_variable arrived;
  std::deque<ScriptedResponse> queue;
  ScriptedResponse defaultResponse;
  Handler handler;
  std::vector<ReceivedRequest> received;
  std::size_t receivedCount = 0;

  ScriptedResponse answer(ReceivedRequest request) {
    std::unique_lock lock(mutex);
    ++receivedCount;
    Handler h = handler;
    ScriptedResponse response = defaultResponse;
    if (!h && !queue.empty()) {
      response = std::move(queue.front());
      queue.pop_front();
    }
    if (record) received.push_back(request);
    arrived.notify_all();
    lock.unlock();
    if (h) response = h(request);
    return response;
  }

  void accept();
};

namespace {

template <class Stream>
class Session : public std::enable_shared_from_this<Session<Stream>> {
 public:
  template <class... Args>
  Session(ScriptedHttpServer::Impl* server, Args&&... args)
      : server_(server), stream_(std::forward<Args>(args)...), timer_(server->ioc) {}

  void run() {
    if constexpr (std::is_same_v<Stream, beast::tcp_stream>) {
      read();
    } else {
      stream_.async_handshake(ssl::stream_base::server, [self = this->shared_from_this()](beast::error_code ec) {
        if (!ec) self->read();
      });
    }
  }

 private:
  void read() {
    request_ = {};
    http::async_read(stream_, buffer_, request_,
                     [self = this->shared_from_this()](beast::error_code ec, std::size_t) { self->onRead(ec); });
  }

  void onRead(beast::error_code ec) {
    if (ec) return close();
    ReceivedRequest r;
    r.method = std::string(request_.method_string());
    r.target = std::string(request_.target());
    for (const auto& f : request_) {
      std::string n(f.name_string());
      std::transform(n.begin(), n.end(), n.begin(), [](unsigned char c) { return std::tolower(c); });
      r.headers[n] = std::string(f.value());
    }
    r.body = request_.body();
    r.receivedAt = std::chrono::steady_clock::now();
    response_ = server_->answer(std::move(r));
    if (response_.delay.count() > 0) {
      timer_.expires_after(response_.delay);
      timer_.async_wait([self = this->shared_from_this()](beast::error_code) { self->respond(); });
    } else {
      respond();
    }
  }

  void respond() {
    if (response_.dropConnection) return close();
    auto res = std::make_shared<http::response<http::string_body>>(
        static_cast<http::status>(response_.status), request_.version());
    for (const auto& [k, v] : response_.headers) res->set(k, v);
    res->body() = response_.body;
    res->keep_alive(request_.keep_alive());
    res->prepare_payload();
    http::async_write(stream_, *res, [self = this->shared_from_this(), res](beast::error_code ec, std::size_t) {
      if (ec || !res->keep_alive()) return self->close();
      self->read();
    });
  }

  void close() {
    beast::error_code ignored;
    beast::get_lowest_layer(stream_).socket().shutdown(tcp::socket::shutdown_both, ignored);
    beast::get_lowest_layer(stream_).socket().close(ignored);
  }

  ScriptedHttpServer::Impl* server_;
  Stream stream_;
  asio::steady_timer timer_;
  beast::flat_buffer buffer_;
  http::request<http::string_body> request_;
  ScriptedResponse response_;
};

}  // namespace

void ScriptedHttpServer::Impl::accept() {
  acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
    if (ec) return;
    socket.set_option(tcp::no_delay(true));
    if (mode == Mode::Http) {
      std::make_shared<Session<beast::tcp_stream>>(this, std::move(socket))->run();
    } else {
      std::make_shared<Session<beast::ssl_stream<beast::tcp_stream>>>(this, std::move(socket), sslContext)->run();
    }
    accept();
  });
}

ScriptedHttpServer::ScriptedHttpServer(Mode mode, bool recordRequests) : impl_(std::make_shared<Impl>()) {
  impl_->mode = mode;
  impl_->record = recordRequests;
  if (mode == Mode::Https) {
    auto [certPem, keyPem] = makeSelfSignedCertificate();
    impl_->sslContext.use_certificate_chain(asio::buffer(certPem));
    impl_->sslContext.use_private_key(asio::buffer(keyPem), ssl::context::pem);
    static std::atomic<int> counter{0};
    impl_->certificatePath = "/tmp/keel-test-ca-" + std::to_string(::getpid()) + "-" +
                             std::to_string(counter.fetch_add(1)) + ".pem";
    FILE* f = std::fopen(impl_->certificatePath.c_str(), "w");
    if (!f) throw std::runtime_error("cannot write the test certificate");
    std::fwrite(certPem.data(), 1, certPem.size(), f);
    std::fclose(f);
  }
  tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), 0);
  impl_->acceptor.open(endpoint.protocol());
  impl_->acceptor.set_option(asio::socket_base::reuse_address(true));
  impl_->acceptor.bind(endpoint);
  impl_->acceptor.listen(asio::socket_base::max_listen_connections);
  impl_->port = impl_->acceptor.local_endpoint().port();
  impl_->accept();
  impl_->thread = std::thread([impl = impl_.get()] { impl->ioc.run(); });
}

ScriptedHttpServer::~ScriptedHttpServer() {
  impl_->ioc.stop();
  impl_->thread.join();
  if (!impl_->certificatePath.empty()) std::remove(impl_->certificatePath.c_str());
}

std::uint16_t ScriptedHttpServer::port() const { return impl_->port; }

std::string ScriptedHttpServer::baseURL() const {
  return std::string(impl_->mode == Mode::Https ? "https" : "http") + "://127.0.0.1:" + std::to_string(impl_->port);
}

std::string ScriptedHttpServer::caCertificatePath() const { return impl_->certificatePath; }

void ScriptedHttpServer::enqueue(ScriptedResponse response) {
  std::lock_guard lock(impl_->mutex);
  impl_->queue.push_back(std::move(response));
}

void ScriptedHttpServer::setDefaultResponse(ScriptedResponse response) {
  std::lock_guard lock(impl_->mutex);
  impl_->defaultResponse = std::move(response);
}

void ScriptedHttpServer::setHandler(Handler handler) {
  std::lock_guard lock(impl_->mutex);
  impl_->handler = std::move(handler);
}

std::vector<ReceivedRequest> ScriptedHttpServer::requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->received;
}

std::size_t ScriptedHttpServer::requestCount() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->receivedCount;
}

bool ScriptedHttpServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->arrived.wait_for(lock, timeout, [&] { return impl_->receivedCount >= count; });
}

std::uint16_t unusedLoopbackPort() {
  asio::io_context ioc;
  tcp::acceptor a(ioc, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  return a.local_endpoint().port();
}

}  // namespace keel::testing
