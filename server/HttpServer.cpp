#include "server/HttpServer.h"

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast.hpp>
#include <boost/beast/ssl.hpp>

#include <atomic>
#include <cstdio>
#include <sstream>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <unordered_map>
#include <vector>

#include <keel/base/Logger.h>

namespace keel::server {

namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using tcp = boost::asio::ip::tcp;

namespace {

struct SessionControl {
  virtual ~SessionControl() = default;
  // Asks the connection to close once its current request (if any) is answered.
  virtual void requestStop() = 0;
};

// Returns a request target without its query: a query may carry a log-in's password, and no
// log line ever holds what a request sent.
std::string withoutQuery(const std::string& target) {
  const auto q = target.find('?');
  return q == std::string::npos ? target : target.substr(0, q) + "?...";
}

// What every connection shares with the server.
struct Core {
  HttpServerOptions options;
  HttpServer::Handler handler;
  net::thread_pool* workers = nullptr;
  Faults* faults = nullptr;
  std::optional<ssl::context> tls;
  std::atomic<bool> stopping{false};
  std::function<void()> onLastSessionGone;

  std::mutex mutex;
  std::unordered_map<std::uint64_t, std::weak_ptr<SessionControl>> sessions;
  std::uint64_t nextId = 1;

  std::uint64_t add(std::weak_ptr<SessionControl> s) {
    std::lock_guard lock(mutex);
    const auto id = nextId++;
    sessions.emplace(id, std::move(s));
    return id;
  }
  void remove(std::uint64_t id) {
    bool last;
    {
      std::lock_guard lock(mutex);
      sessions.erase(id);
      last = sessions.empty();
    }
    if (last && stopping && onLastSessionGone) onLastSessionGone();
  }
  std::vector<std::shared_ptr<SessionControl>> live() {
    std::lock_guard lock(mutex);
    std::vector<std::shared_ptr<SessionControl>> out;
    for (auto& [id, weak] : sessions)
      if (auto s = weak.lock()) out.push_back(std::move(s));
    return out;
  }

  void logAccess(const std::string& remote, const std::string& method, const std::string& target, int status,
                 std::size_t bytes, double ms, const char* note) {
    if (!options.accessLog) return;
    // A bounded line keeps the log readable.
    const std::string path = withoutQuery(target);
    const std::string shown = path.size() > 200 ? path.substr(0, 200) + "..." : path;
    std::fprintf(stderr, "%s \"%s %s\" %d %zu %.2fms%s%s\n", remote.c_str(), method.c_str(), shown.c_str(), status,
                 bytes, ms, note ? " " : "", note ? note : "");
  }
};

http::response<http::string_body> makeResponse(const ApiResponse& r, unsigned version, bool keepAlive, bool head) {
  http::response<http::string_body> res{static_cast<http::status>(r.status), version};
  res.set(http::field::server, "keel-server");
  res.set(http::field::content_type, r.contentType);
  for (const auto& [name, value] : r.headers) res.set(name, value);
  res.keep_alive(keepAlive);
  if (head) {
    res.content_length(r.body.size());
  } else {
    res.body() = r.body;
    res.prepare_payload();
  }
  return res;
}

ApiResponse errorResponse(int status, int code, const std::string& message) {
  ApiResponse r;
  r.status = status;
  r.body = boost::json::serialize(boost::json::object{{"code", code}, {"error", message}});
  return r;
}

// Returns the answer to a request whose reading failed, or none when the connection just ends
// (the peer went away, timed out, or sent nothing more).
std::optional<ApiResponse> readFailureReply(beast::error_code ec, const HttpServerOptions& options) {
  if (ec == http::error::body_limit) {
    return errorResponse(413, 107,
                         "The request body is larger than the limit of " + std::to_string(options.maxBodyBytes) +
                             " bytes.");
  }
  if (ec == http::error::header_limit) return errorResponse(431, 107, "The request headers are too large.");
  // Every other parser error means the bytes were not HTTP; only running out of them is not.
  if (ec.category() == make_error_code(http::error::bad_method).category() && ec != http::error::end_of_stream &&
      ec != http::error::partial_message)
    return errorResponse(400, 107, "Malformed HTTP request.");
  return std::nullopt;
}

ApiRequest toApiRequest(http::request<http::string_body>& request, bool loopback, const std::string& peer) {
  ApiRequest r;
  r.method = std::string(request.method_string());
  r.target = std::string(request.target());
  for (const auto& field : request) {
    std::string name(field.name_string());
    for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    r.headers[name] = std::string(field.value());
  }
  r.body = std::move(request.body());
  r.fromLoopback = loopback;
  r.peerAddress = peer;
  return r;
}

// Runs the handler; whatever it throws, of any type, becomes a 500 with a JSON body and a log
// line, and the connection goes on.
ApiResponse answer(const HttpServer::Handler& handler, http::request<http::string_body>& request, bool loopback,
                   const std::string& peer) {
  const std::string method(request.method_string());
  const std::string target = withoutQuery(std::string(request.target()));
  try {
    return handler(toApiRequest(request, loopback, peer));
  } catch (const std::exception& e) {
    logError("keel-server: %@ %@ failed: %@", method, target, e.what());
  } catch (...) {
    logError("keel-server: %@ %@ failed with an exception of unknown type", method, target);
  }
  return errorResponse(500, 1, "Internal server error.");
}

// The part of a connection that does not depend on TLS; Derived supplies stream(),
// doClose() and dropConnection().
template <class Derived>
class Session : public SessionControl {
 public:
  ~Session() override {
    if (id_) core_.remove(id_);
  }

  void requestStop() override {
    net::post(derived().stream().get_executor(), [self = derived().shared_from_this()] {
      self->stopRequested_ = true;
      // An idle connection waits in a read: cancelling it ends the connection now.
      if (!self->busy_) beast::get_lowest_layer(self->stream()).cancel();
    });
  }

 protected:
  Session(Core& core, const net::any_io_executor& executor, std::string remote, std::uint16_t remotePort, bool loopback)
      : core_(core), timer_(executor), remote_(std::move(remote)), remotePort_(remotePort), loopback_(loopback) {}

  Derived& derived() { return static_cast<Derived&>(*this); }

  void registerSelf() {
    id_ = core_.add(std::weak_ptr<SessionControl>(derived().shared_from_this()));
    if (core_.stopping) stopRequested_ = true;
  }

  void doRead() {
    busy_ = false;
    if (stopRequested_) return derived().doClose();
    parser_.emplace();
    parser_->body_limit(core_.options.maxBodyBytes);
    parser_->header_limit(64 * 1024);
    beast::get_lowest_layer(derived().stream()).expires_after(core_.options.readTimeout);
    http::async_read_header(derived().stream(), buffer_, *parser_,
                            beast::bind_front_handler(&Session::onHeader, derived().shared_from_this()));
  }

  // A client that sent "Expect: 100-continue" (libcurl does for larger bodies) waits for the
  // interim answer before it sends the body; without one it stalls for a second first.
  void onHeader(beast::error_code ec, std::size_t bytes) {
    if (ec || parser_->is_done()) return onRead(ec, bytes);
    const auto expect = parser_->get()[http::field::expect];
    if (beast::iequals(expect, "100-continue")) {
      auto interim = std::make_shared<http::response<http::empty_body>>(http::status::continue_, parser_->get().version());
      beast::get_lowest_layer(derived().stream()).expires_after(core_.options.writeTimeout);
      http::async_write(derived().stream(), *interim,
                        [self = derived().shared_from_this(), interim](beast::error_code wec, std::size_t) {
                          if (wec) return self->fail(wec, "writing the interim answer");
                          self->readBody();
                        });
      return;
    }
    readBody();
  }

  void readBody() {
    beast::get_lowest_layer(derived().stream()).expires_after(core_.options.readTimeout);
    http::async_read(derived().stream(), buffer_, *parser_,
                     beast::bind_front_handler(&Session::onRead, derived().shared_from_this()));
  }

  void onRead(beast::error_code ec, std::size_t) {
    busy_ = true;
    // The peer closed between requests: the ordinary end of a kept-alive connection. Many TLS
    // clients close without the TLS goodbye; between requests that is no failure either.
    if (ec == http::error::end_of_stream || (ec == ssl::error::stream_truncated && !parser_->got_some()))
      return derived().doClose();
    if (ec) {
      if (auto reply = readFailureReply(ec, core_.options)) return sendError(std::move(*reply));
      // An idle kept-alive connection has not begun a request yet: say so, it reads differently.
      return fail(ec, parser_->got_some() ? "reading a request" : "waiting for a request");
    }
    request_ = parser_->release();
    started_ = std::chrono::steady_clock::now();
    const std::string target(request_.target());
    const std::string path = target.substr(0, target.find('?'));
    std::optional<FaultAction> fault;
    if (core_.faults && path != "/__keel/faults")
      fault = core_.faults->take(std::string(request_.method_string()), path);
    applied_.reset();
    // The request takes effect before its reply is held back, failed or lost. It runs on the
    // worker pool like any other; the rest of the rule goes on once its answer is back.
    if (fault && fault->apply) {
      return runHandler([fault](Session& self, ApiResponse answered) {
        self.applied_ = std::move(answered);
        self.holdOrRespond(fault);
      });
    }
    holdOrRespond(fault);
  }

  void holdOrRespond(const std::optional<FaultAction>& fault) {
    if (fault && fault->delay.count() > 0) {
      timer_.expires_after(fault->delay);
      timer_.async_wait([self = derived().shared_from_this(), fault](beast::error_code wec) {
        if (wec) return self->fail(wec, "holding an answer back");
        self->respond(fault);
      });
      return;
    }
    respond(fault);
  }

  void respond(const std::optional<FaultAction>& fault) {
    const std::string method(request_.method_string());
    const std::string target(request_.target());
    if (fault && fault->drop) {
      core_.logAccess(remote_, method, target, 0, 0, elapsedMs(), "dropped");
      logWarning("keel-server: dropped the connection from %@:%d on purpose: a fault rule for %@ %@", remote_,
                 static_cast<int>(remotePort_), method, withoutQuery(target));
      return derived().dropConnection();
    }
    if (fault && fault->status) return reply(errorResponse(fault->status, fault->code, fault->error));
    if (applied_) {
      ApiResponse answered = std::move(*applied_);
      applied_.reset();
      return reply(std::move(answered));
    }
    runHandler([](Session& self, ApiResponse answered) { self.reply(std::move(answered)); });
  }

  // Handlers block (storage, password hashing): they run on the worker pool, so the I/O
  // threads go on reading and writing for every other connection meanwhile. `then` runs back
  // on this connection's strand; the work guard keeps the I/O loop running until it has.
  template <class Then>
  void runHandler(Then then) {
    net::post(*core_.workers, [self = derived().shared_from_this(), then = std::move(then),
                               work = net::make_work_guard(derived().stream().get_executor())]() mutable {
      ApiResponse answered = answer(self->core_.handler, self->request_, self->loopback_, self->remote_);
      net::post(work.get_executor(), [self, then = std::move(then), answered = std::move(answered)]() mutable {
        then(static_cast<Session&>(*self), std::move(answered));
      });
      work.reset();
    });
  }

  void reply(ApiResponse reply) {
    const std::string method(request_.method_string());
    const std::string target(request_.target());
    const bool keepAlive = request_.keep_alive() && !stopRequested_ && !core_.stopping;
    send(makeResponse(reply, request_.version(), keepAlive, request_.method() == http::verb::head), method, target);
  }

  // Answers a request that could not be read, and closes the connection after it.
  void sendError(ApiResponse reply) {
    started_ = std::chrono::steady_clock::now();
    const auto& header = parser_->get();
    send(makeResponse(reply, header.version() ? header.version() : 11, false, false),
         std::string(header.method_string()), std::string(header.target()));
  }

  void send(http::response<http::string_body>&& res, std::string method, std::string target) {
    auto shared = std::make_shared<http::response<http::string_body>>(std::move(res));
    beast::get_lowest_layer(derived().stream()).expires_after(core_.options.writeTimeout);
    http::async_write(derived().stream(), *shared,
                      [self = derived().shared_from_this(), shared, method = std::move(method),
                       target = std::move(target)](beast::error_code ec, std::size_t bytes) {
                        self->core_.logAccess(self->remote_, method, target, shared->result_int(), bytes,
                                              self->elapsedMs(), ec ? "unsent" : nullptr);
                        if (ec) return self->fail(ec, "writing the answer");
                        if (shared->need_eof()) return self->doClose();
                        self->doRead();
                      });
  }

  // The one way a connection ends other than by a clean close: a log line that says what it
  // was doing and why it failed. The connection then ends as its last operation's handler
  // lets go of it.
  void fail(beast::error_code ec, const char* what) {
    std::string reason;
    if (ec == beast::error::timeout) reason = "timed out";
    else if (ec == net::error::operation_aborted && (stopRequested_ || core_.stopping)) reason = "the server is stopping";
    else reason = ec.message();
    logWarning("keel-server: dropped the connection from %@:%d while %@: %@", remote_, static_cast<int>(remotePort_), what, reason);
  }

  double elapsedMs() const {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started_).count();
  }

  Core& core_;
  std::optional<ApiResponse> applied_;  // the answer of a request a fault rule applied first
  beast::flat_buffer buffer_;
  net::steady_timer timer_;
  std::string remote_;
  std::uint16_t remotePort_;
  bool loopback_;

 private:
  std::optional<http::request_parser<http::string_body>> parser_;
  http::request<http::string_body> request_;
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::uint64_t id_ = 0;
  bool busy_ = false;
  bool stopRequested_ = false;
};

class PlainSession : public Session<PlainSession>, public std::enable_shared_from_this<PlainSession> {
 public:
  PlainSession(tcp::socket&& socket, Core& core, std::string remote, std::uint16_t remotePort, bool loopback)
      : Session(core, socket.get_executor(), std::move(remote), remotePort, loopback), stream_(std::move(socket)) {}

  void run() {
    registerSelf();
    net::dispatch(stream_.get_executor(), beast::bind_front_handler(&PlainSession::doRead, shared_from_this()));
  }
  beast::tcp_stream& stream() { return stream_; }
  void doClose() {
    beast::error_code ec;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
  }
  void dropConnection() {
    beast::error_code ec;
    stream_.socket().set_option(net::socket_base::linger(true, 0), ec);
    stream_.socket().close(ec);
  }

 private:
  beast::tcp_stream stream_;
};

class TlsSession : public Session<TlsSession>, public std::enable_shared_from_this<TlsSession> {
 public:
  TlsSession(tcp::socket&& socket, ssl::context& ctx, Core& core, std::string remote, std::uint16_t remotePort,
             bool loopback)
      : Session(core, socket.get_executor(), std::move(remote), remotePort, loopback), stream_(std::move(socket), ctx) {}

  void run() {
    registerSelf();
    net::dispatch(stream_.get_executor(), [self = shared_from_this()] {
      beast::get_lowest_layer(self->stream_).expires_after(self->core_.options.readTimeout);
      self->stream_.async_handshake(ssl::stream_base::server,
                                    beast::bind_front_handler(&TlsSession::onHandshake, self));
    });
  }
  beast::ssl_stream<beast::tcp_stream>& stream() { return stream_; }
  void doClose() {
    beast::get_lowest_layer(stream_).expires_after(std::chrono::seconds(5));
    stream_.async_shutdown([self = shared_from_this()](beast::error_code ec) {
      // A peer that closed first ends the exchange this way; that is no failure.
      if (ec && ec != net::error::eof && ec != ssl::error::stream_truncated) self->fail(ec, "closing TLS");
    });
  }
  void dropConnection() {
    beast::error_code ec;
    beast::get_lowest_layer(stream_).socket().set_option(net::socket_base::linger(true, 0), ec);
    beast::get_lowest_layer(stream_).socket().close(ec);
  }

 private:
  void onHandshake(beast::error_code ec) {
    if (ec) return fail(ec, "negotiating TLS");
    doRead();
  }
  beast::ssl_stream<beast::tcp_stream> stream_;
};

class Listener : public std::enable_shared_from_this<Listener> {
 public:
  Listener(net::io_context& ioc, Core& core)
      : ioc_(ioc), acceptor_(net::make_strand(ioc)), retry_(acceptor_.get_executor()), core_(core) {}

  void listen(const tcp::endpoint& endpoint) {
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(net::socket_base::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen(net::socket_base::max_listen_connections);
  }
  std::uint16_t port() const { return acceptor_.local_endpoint().port(); }
  void run() { doAccept(); }
  void stop() {
    net::post(acceptor_.get_executor(), [self = shared_from_this()] {
      beast::error_code ec;
      self->acceptor_.close(ec);
      self->retry_.cancel();
    });
  }

 private:
  void doAccept() {
    acceptor_.async_accept(net::make_strand(ioc_), beast::bind_front_handler(&Listener::onAccept, shared_from_this()));
  }
  void onAccept(beast::error_code ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted || !acceptor_.is_open()) return;
    if (!ec && !core_.stopping) {
      beast::error_code rec;
      const auto remote = socket.remote_endpoint(rec);
      const std::string address = rec ? std::string("?") : remote.address().to_string();
      const std::uint16_t port = rec ? 0 : remote.port();
      const bool loopback = !rec && remote.address().is_loopback();
      socket.set_option(tcp::no_delay(true), rec);
      if (core_.tls) std::make_shared<TlsSession>(std::move(socket), *core_.tls, core_, address, port, loopback)->run();
      else std::make_shared<PlainSession>(std::move(socket), core_, address, port, loopback)->run();
    }
    if (ec) {
      // Running out of descriptors must not end the server, nor spin it: wait a little so that
      // connections can close before accepting again.
      logWarning("keel-server: could not accept a connection: %@; trying again in 50 ms", ec.message());
      retry_.expires_after(std::chrono::milliseconds(50));
      retry_.async_wait([self = shared_from_this()](beast::error_code wec) {
        if (!wec) self->doAccept();
      });
      return;
    }
    doAccept();
  }

  net::io_context& ioc_;
  tcp::acceptor acceptor_;
  net::steady_timer retry_;
  Core& core_;
};

}  // namespace

struct HttpServer::Impl {
  Core core;
  net::io_context ioc;
  std::shared_ptr<Listener> listener;
  std::vector<std::thread> threads;
  std::unique_ptr<net::thread_pool> workers;
  net::strand<net::io_context::executor_type> control{net::make_strand(ioc)};
  net::steady_timer grace{control};
  net::signal_set signals{control};
  std::atomic<bool> stopCalled{false};
  std::uint16_t port = 0;
};

HttpServer::HttpServer(HttpServerOptions options, Handler handler, Faults* faults) : impl_(std::make_unique<Impl>()) {
  impl_->core.options = std::move(options);
  impl_->core.handler = std::move(handler);
  impl_->core.faults = faults;
}

HttpServer::~HttpServer() {
  stop();
  wait();
  // Connections that the loop drops on destruction must not post to it any more.
  impl_->core.onLastSessionGone = nullptr;
}

void HttpServer::start() {
  auto& o = impl_->core.options;
  if (!o.tlsCertificateFile.empty() || !o.tlsKeyFile.empty()) {
    if (o.tlsCertificateFile.empty() || o.tlsKeyFile.empty())
      throw std::runtime_error("TLS needs both a certificate and a key file");
    impl_->core.tls.emplace(ssl::context::tls_server);
    auto& ctx = *impl_->core.tls;
    ctx.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                    ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 | ssl::context::single_dh_use);
    try {
      ctx.use_certificate_chain_file(o.tlsCertificateFile);
      ctx.use_private_key_file(o.tlsKeyFile, ssl::context::pem);
    } catch (const std::exception& e) {
      throw std::runtime_error(std::string("cannot load the TLS certificate or key: ") + e.what());
    }
  }
  impl_->listener = std::make_shared<Listener>(impl_->ioc, impl_->core);
  try {
    impl_->listener->listen(tcp::endpoint(net::ip::make_address(o.address), o.port));
  } catch (const std::exception& e) {
    throw std::runtime_error("cannot listen on " + o.address + ":" + std::to_string(o.port) + ": " + e.what());
  }
  impl_->port = impl_->listener->port();
  impl_->core.onLastSessionGone = [impl = impl_.get()] {
    net::post(impl->control, [impl] { impl->grace.cancel(); });
  };
  impl_->listener->run();
  if (o.handleSignals) {
    impl_->signals.add(SIGINT);
    impl_->signals.add(SIGTERM);
    impl_->signals.async_wait([this](beast::error_code ec, int) {
      if (!ec) stop();
    });
  }
  const int count = std::max(1, o.threads);
  impl_->workers = std::make_unique<net::thread_pool>(count);
  impl_->core.workers = impl_->workers.get();
  for (int i = 0; i < count; ++i) {
    impl_->threads.emplace_back([impl = impl_.get()] {
      // A handler that throws loses its connection (its last owner unwinds), never the thread.
      for (;;) {
        try {
          impl->ioc.run();
          return;
        } catch (const std::exception& e) {
          logError("keel-server: a connection ended by an exception: %@", e.what());
        } catch (...) {
          logError("keel-server: a connection ended by an exception of unknown type");
        }
      }
    });
  }
}

std::uint16_t HttpServer::port() const { return impl_->port; }

std::string HttpServer::baseURL() const {
  std::string host = impl_->core.options.address;
  if (host == "0.0.0.0" || host == "::") host = "127.0.0.1";
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  return std::string(impl_->core.tls ? "https" : "http") + "://" + host + ":" + std::to_string(impl_->port);
}

void HttpServer::stop() {
  if (impl_->stopCalled.exchange(true) || !impl_->listener) return;
  net::post(impl_->control, [impl = impl_.get()] {
    impl->core.stopping = true;
    beast::error_code ec;
    impl->signals.cancel(ec);
    impl->listener->stop();
    auto sessions = impl->core.live();
    for (auto& s : sessions) s->requestStop();
    if (sessions.empty()) return;
    // Requests still running after the grace period are cut off with the whole loop.
    impl->grace.expires_after(impl->core.options.shutdownGrace);
    impl->grace.async_wait([impl](beast::error_code wec) {
      if (!wec) impl->ioc.stop();
    });
  });
}

void HttpServer::wait() {
  for (auto& t : impl_->threads)
    if (t.joinable()) t.join();
  impl_->threads.clear();
  if (impl_->workers) impl_->workers->join();
}

std::string answerRequests(std::string_view bytes, const HttpServerOptions& options, const HttpServer::Handler& handler) {
  std::ostringstream out;
  while (!bytes.empty()) {
    http::request_parser<http::string_body> parser;
    parser.body_limit(options.maxBodyBytes);
    parser.header_limit(64 * 1024);
    parser.eager(true);
    beast::error_code ec;
    while (!parser.is_done()) {
      const std::size_t used = parser.put(net::buffer(bytes.data(), bytes.size()), ec);
      bytes.remove_prefix(used);
      if (ec == http::error::need_more) ec = {};
      if (ec) break;
      // What is left cannot complete the message: the input ends here, as a peer's close would.
      if (used == 0) {
        parser.put_eof(ec);
        if (!ec && !parser.is_done()) ec = http::error::partial_message;
        break;
      }
    }
    if (ec) {
      if (auto reply = readFailureReply(ec, options)) {
        const auto& header = parser.get();
        out << makeResponse(*reply, header.version() ? header.version() : 11, false, false);
      }
      break;
    }
    auto request = parser.release();
    const bool keepAlive = request.keep_alive();
    const unsigned version = request.version();
    const bool head = request.method() == http::verb::head;
    out << makeResponse(answer(handler, request, true, "127.0.0.1"), version, keepAlive, head);
    if (!keepAlive) break;
  }
  return out.str();
}

}  // namespace keel::server
