#include "server/HttpServer.h"

#include <gtest/gtest.h>

#include <boost/asio/ssl.hpp>
#include <boost/beast/ssl.hpp>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <thread>
#include <vector>

#include "server/ServerTestSupport.h"

namespace keel::server::testing {
namespace {

class HttpServerTest : public ::testing::Test {
 protected:
  TestServer server_;
  HttpClient client_{server_.port()};
};

TEST_F(HttpServerTest, KeepsOneConnectionAliveAcrossRequests) {
  for (int i = 0; i < 20; ++i) ASSERT_EQ(client_.post("/1/classes/Note", json::object{{"n", i}}).status, 201);
  EXPECT_EQ(client_.connections(), 1);
  EXPECT_EQ(results(client_.find("Note", {{"limit", 1000}})).size(), 20u);
}

TEST_F(HttpServerTest, ServesManyConnectionsAtOnce) {
  constexpr int kThreads = 8, kEach = 25;
  std::atomic<int> created{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      HttpClient c(server_.port());
      for (int i = 0; i < kEach; ++i)
        if (c.post("/1/classes/Load", json::object{{"t", t}, {"i", i}}).status == 201) ++created;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(created, kThreads * kEach);
  EXPECT_EQ(client_.find("Load", {{"count", 1}, {"limit", 0}}).object().at("count"), kThreads * kEach);
}

TEST_F(HttpServerTest, RefusesRequestsWithoutTheApplicationKeys) {
  EXPECT_EQ(client_.send("GET", "/1/classes/Video", "", {}).status, 401);
  auto wrongKey = client_.send("GET", "/1/classes/Video", "",
                               {{"X-Keel-Application-Id", kAppId}, {"X-Keel-Client-Key", "guess"}});
  EXPECT_EQ(wrongKey.status, 401);
  EXPECT_EQ(wrongKey.object().at("error"), "unauthorized");
  EXPECT_TRUE(wrongKey.object().contains("code"));
  EXPECT_EQ(client_.send("GET", "/1/classes/Video", "", {{"X-Keel-Application-Id", "other"},
                                                          {"X-Keel-Client-Key", kClientKey}}).status, 401);
  EXPECT_EQ(client_.send("GET", "/1/classes/Video", "", {{"X-Keel-Master-Key", kMasterKey}}).status, 200);
}

TEST_F(HttpServerTest, AnswersOversizedBodiesWith413AndGoesOnServing) {
  HttpServerOptions options = TestServer::quietOptions();
  options.maxBodyBytes = 1024;
  TestServer small(":memory:", options);
  HttpClient c(small.port());
  auto big = c.post("/1/classes/Note", json::object{{"text", std::string(4096, 'x')}});
  EXPECT_EQ(big.status, 413);
  EXPECT_EQ(big.object().at("code"), 107);
  EXPECT_EQ(c.post("/1/classes/Note", json::object{{"text", "fits"}}).status, 201);
}

TEST_F(HttpServerTest, AnswersMalformedJSONWith107AndGoesOnServing) {
  auto bad = client_.send("POST", "/1/classes/Note", "{\"a\": ");
  EXPECT_EQ(bad.status, 400);
  EXPECT_EQ(bad.object().at("code"), 107);
  EXPECT_EQ(client_.send("POST", "/1/classes/Note", "[1,2]").object().at("code"), 107);
  EXPECT_EQ(client_.post("/1/classes/Note", json::object{{"a", 1}}).status, 201);
}

TEST_F(HttpServerTest, AnswersBrokenHTTPWith400) {
  boost::asio::io_context ioc;
  boost::beast::tcp_stream raw(ioc);
  raw.connect(boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), server_.port()));
  const std::string garbage = "NOT A REQUEST\r\n\r\n";
  boost::asio::write(raw.socket(), boost::asio::buffer(garbage));
  boost::beast::flat_buffer buffer;
  boost::beast::http::response<boost::beast::http::string_body> res;
  boost::beast::http::read(raw, buffer, res);
  EXPECT_EQ(res.result_int(), 400);
  EXPECT_EQ(client_.get("/health").status, 200);
}

TEST_F(HttpServerTest, AnswersExpectContinueBeforeTheBodyIsSent) {
  boost::asio::io_context ioc;
  boost::asio::ip::tcp::socket socket(ioc);
  socket.connect(boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), server_.port()));
  struct timeval timeout{5, 0};
  ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  const std::string body = R"({"a": 1})";
  const std::string head = "POST /1/classes/Note HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Keel-Application-Id: " + kAppId +
                           "\r\nX-Keel-Client-Key: " + kClientKey + "\r\nExpect: 100-continue\r\nContent-Length: " +
                           std::to_string(body.size()) + "\r\n\r\n";
  boost::asio::write(socket, boost::asio::buffer(head));
  std::string interim;
  boost::system::error_code ec;
  boost::asio::read_until(socket, boost::asio::dynamic_buffer(interim), "\r\n\r\n", ec);
  ASSERT_FALSE(ec) << ec.message();
  EXPECT_EQ(interim.rfind("HTTP/1.1 100", 0), 0u) << interim;
  boost::asio::write(socket, boost::asio::buffer(body));
  boost::beast::flat_buffer buffer;
  boost::beast::http::response<boost::beast::http::string_body> res;
  boost::beast::http::read(socket, buffer, res);
  EXPECT_EQ(res.result_int(), 201);
}

TEST_F(HttpServerTest, TreatsPostWithMethodFieldAsThatMethod) {
  const auto id = std::string(client_.post("/1/classes/Note", json::object{{"a", 1}}).object().at("objectId").as_string());
  auto fetched = client_.post("/1/classes/Note/" + id, json::object{{"_method", "GET"}});
  EXPECT_EQ(fetched.status, 200);
  EXPECT_EQ(fetched.object().at("a"), 1);
  EXPECT_EQ(client_.post("/1/classes/Note/" + id, json::object{{"_method", "DELETE"}}).status, 200);
  EXPECT_EQ(client_.get("/1/classes/Note/" + id).status, 404);
}

TEST_F(HttpServerTest, InjectedFaultsFailTheNextRequestsThenStop) {
  auto rule = client_.send("POST", "/__keel/faults",
                           R"({"path": "/1/classes/Flaky", "count": 2, "status": 503, "error": "try later"})");
  ASSERT_EQ(rule.status, 200);
  auto first = client_.find("Flaky");
  EXPECT_EQ(first.status, 503);
  EXPECT_EQ(first.object().at("error"), "try later");
  EXPECT_EQ(client_.find("Flaky").status, 503);
  EXPECT_EQ(client_.find("Flaky").status, 200);
  EXPECT_EQ(client_.find("Other").status, 200);
}

TEST_F(HttpServerTest, InjectedDropClosesTheConnectionWithoutAnswer) {
  ASSERT_EQ(client_.send("POST", "/__keel/faults", R"({"path": "/1/classes/*", "drop": true})").status, 200);
  HttpClient fresh(server_.port());
  EXPECT_THROW(fresh.find("Anything"), boost::system::system_error);
  EXPECT_EQ(fresh.find("Anything").status, 200);
}

TEST_F(HttpServerTest, InjectedDelayHoldsTheAnswer) {
  ASSERT_EQ(client_.send("POST", "/__keel/faults", R"({"path": "/1/classes/Slow", "delayMs": 300})").status, 200);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client_.find("Slow").status, 200);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
}

TEST_F(HttpServerTest, RefusesMalformedFaultRules) {
  EXPECT_EQ(client_.send("POST", "/__keel/faults", R"({"path": "relative", "status": 500})").status, 400);
  EXPECT_EQ(client_.send("POST", "/__keel/faults", R"({"path": "/x"})").status, 400);
  EXPECT_EQ(client_.send("POST", "/__keel/faults", R"({"path": "/x", "status": 99})").status, 400);
}

TEST_F(HttpServerTest, StopLetsARequestInFlightFinish) {
  ASSERT_EQ(client_.send("POST", "/__keel/faults", R"({"path": "/1/classes/Slow", "delayMs": 400})").status, 200);
  HttpClient idle(server_.port());
  ASSERT_EQ(idle.get("/health").status, 200);
  std::optional<Reply> reply;
  std::thread request([&] { reply = client_.find("Slow"); });
  // The delayed request is in the server once the rule is used up.
  while (!server_.faults().list().empty()) std::this_thread::yield();
  server_.http().stop();
  server_.http().wait();
  request.join();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 200);
  EXPECT_EQ(reply->headers["Connection"], "close");
}

// Returns the local port of a connected socket, as the server sees the peer.
template <class Socket>
std::string localPort(Socket& socket) {
  return std::to_string(socket.local_endpoint().port());
}

TEST_F(HttpServerTest, LogsEveryDroppedConnectionWithItsReason) {
  LogCapture log;
  HttpServerOptions options = TestServer::quietOptions();
  options.readTimeout = std::chrono::milliseconds(300);
  TestServer server(":memory:", options);
  const boost::asio::ip::tcp::endpoint endpoint(boost::asio::ip::make_address("127.0.0.1"), server.port());
  boost::asio::io_context ioc;

  // A client that answers its last request and closes is no failure.
  boost::asio::ip::tcp::socket clean(ioc);
  clean.connect(endpoint);
  const std::string cleanPort = localPort(clean);
  {
    boost::beast::http::request<boost::beast::http::string_body> req{boost::beast::http::verb::get, "/health", 11};
    boost::beast::http::write(clean, req);
    boost::beast::flat_buffer buffer;
    boost::beast::http::response<boost::beast::http::string_body> res;
    boost::beast::http::read(clean, buffer, res);
    ASSERT_EQ(res.result_int(), 200);
    clean.close();
  }

  // A connection that never sends a request times out as idle; half a request times out too.
  boost::asio::ip::tcp::socket idle(ioc);
  idle.connect(endpoint);
  EXPECT_TRUE(log.waitFor(":" + localPort(idle) + " while waiting for a request: timed out"));
  boost::asio::ip::tcp::socket stalled(ioc);
  stalled.connect(endpoint);
  boost::asio::write(stalled, boost::asio::buffer(std::string("GET /health HTTP/1.1\r\nHost: x\r\n")));
  const auto timedOut = log.waitFor(":" + localPort(stalled) + " while reading a request: timed out");
  EXPECT_TRUE(timedOut) << "no log line for the stalled connection";

  // Half a request, then the peer goes away.
  boost::asio::ip::tcp::socket quitter(ioc);
  quitter.connect(endpoint);
  const std::string quitterPort = localPort(quitter);
  boost::asio::write(quitter, boost::asio::buffer(std::string("POST /1/classes/A HTTP/1.1\r\nContent-Length: 50\r\n\r\n{")));
  quitter.close();
  EXPECT_TRUE(log.waitFor(":" + quitterPort + " while reading a request")) << "no log line for the vanished peer";

  EXPECT_FALSE(log.contains(":" + cleanPort + " ")) << "a clean close was logged as a failure";
}

TEST(HttpServerHandlerTest, AnythingTheHandlerThrowsAnswers500WithAJSONBodyAndALogLine) {
  LogCapture log;
  HttpServer server(TestServer::quietOptions(),
                    [](const ApiRequest& r) -> ApiResponse {
                      if (r.target == "/int") throw 42;
                      if (r.target == "/std") throw std::logic_error("broken invariant");
                      ApiResponse fine;
                      fine.body = "{}";
                      return fine;
                    },
                    nullptr);
  server.start();
  HttpClient client(server.port());
  for (const char* target : {"/int", "/std"}) {
    auto reply = client.get(target);
    EXPECT_EQ(reply.status, 500) << target;
    EXPECT_EQ(reply.object(), (json::object{{"code", 1}, {"error", "Internal server error."}})) << target;
  }
  EXPECT_TRUE(log.contains("GET /int failed with an exception of unknown type"));
  EXPECT_TRUE(log.contains("GET /std failed: broken invariant"));
  // The connection survives both.
  EXPECT_EQ(client.get("/fine").status, 200);
  EXPECT_EQ(client.connections(), 1);
}

// The request path without sockets: what the fuzz target drives.
class AnswerRequestsTest : public ::testing::Test {
 protected:
  std::string answer(const std::string& bytes, HttpServerOptions options = TestServer::quietOptions()) {
    return answerRequests(bytes, options, [this](const ApiRequest& r) { return api_.handle(r); });
  }
  static std::string request(const std::string& method, const std::string& target, const std::string& body = {},
                             const std::string& extra = {}) {
    return method + " " + target + " HTTP/1.1\r\nHost: x\r\nX-Keel-Application-Id: " + kAppId +
           "\r\nX-Keel-Client-Key: " + kClientKey + "\r\n" + extra + "Content-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
  }
  // Returns the status codes of the answers, in order.
  static std::vector<int> statuses(const std::string& bytes) {
    std::vector<int> out;
    for (auto pos = bytes.find("HTTP/1.1 "); pos != std::string::npos; pos = bytes.find("HTTP/1.1 ", pos + 1))
      out.push_back(std::stoi(bytes.substr(pos + 9, 3)));
    return out;
  }

  Store store_{":memory:"};
  Faults faults_;
  Api api_{store_, ApiConfig{kAppId, kClientKey, kMasterKey, {}, true, TestServer::cheapAuth()}, faults_};
};

TEST_F(AnswerRequestsTest, AnswersPipelinedRequestsInOrderOnOneStore) {
  const std::string out = answer(request("POST", "/1/classes/A", R"({"n": 1})") +
                                 request("POST", "/1/classes/A", R"({"_method": "GET", "count": 1})") +
                                 request("GET", "/1/classes/A/missing"));
  EXPECT_EQ(statuses(out), (std::vector<int>{201, 200, 404}));
  EXPECT_NE(out.find(R"("count":1)"), std::string::npos) << out;
}

TEST_F(AnswerRequestsTest, StopsWhereAConnectionWouldClose) {
  // Unreadable bytes are answered 400 and end the connection.
  EXPECT_EQ(statuses(answer("NOT HTTP\r\n\r\n" + request("GET", "/health"))), (std::vector<int>{400}));
  // A body over the limit is answered 413.
  HttpServerOptions small = TestServer::quietOptions();
  small.maxBodyBytes = 8;
  EXPECT_EQ(statuses(answer(request("POST", "/1/classes/A", R"({"text": "too long"})"), small)), (std::vector<int>{413}));
  // A request cut short gets no answer; one that asks to close ends the exchange.
  EXPECT_EQ(statuses(answer(request("GET", "/health") + "POST /1/classes/A HTTP/1.1\r\nContent-Length: 9\r\n\r\n{")),
            (std::vector<int>{200}));
  EXPECT_EQ(statuses(answer(request("GET", "/health", "", "Connection: close\r\n") + request("GET", "/health"))),
            (std::vector<int>{200}));
}

// Writes a fresh self-signed certificate for 127.0.0.1 and its key as PEM files.
bool writeSelfSignedCertificate(const std::string& certPath, const std::string& keyPath) {
  EVP_PKEY* pkey = EVP_RSA_gen(2048);
  X509* x509 = X509_new();
  bool ok = pkey && x509;
  if (ok) {
    ASN1_INTEGER_set(X509_get_serialNumber(x509), 1);
    X509_gmtime_adj(X509_getm_notBefore(x509), -60);
    X509_gmtime_adj(X509_getm_notAfter(x509), 3600);
    X509_set_pubkey(x509, pkey);
    X509_NAME* name = X509_get_subject_name(x509);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
    X509_set_issuer_name(x509, name);
    ok = X509_sign(x509, pkey, EVP_sha256()) > 0;
  }
  if (ok) {
    FILE* c = std::fopen(certPath.c_str(), "wb");
    FILE* k = std::fopen(keyPath.c_str(), "wb");
    ok = c && k && PEM_write_X509(c, x509) && PEM_write_PrivateKey(k, pkey, nullptr, nullptr, 0, nullptr, nullptr);
    if (c) std::fclose(c);
    if (k) std::fclose(k);
  }
  X509_free(x509);
  EVP_PKEY_free(pkey);
  return ok;
}

TEST(HttpServerTlsTest, ServesHTTPSWithTheGivenCertificate) {
  const auto dir = std::filesystem::temp_directory_path() / ("keel-tls-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string cert = (dir / "cert.pem").string(), key = (dir / "key.pem").string();
  ASSERT_TRUE(writeSelfSignedCertificate(cert, key));
  HttpServerOptions options = TestServer::quietOptions();
  options.tlsCertificateFile = cert;
  options.tlsKeyFile = key;
  TestServer server(":memory:", options);

  namespace ssl = boost::asio::ssl;
  namespace http = boost::beast::http;
  boost::asio::io_context ioc;
  ssl::context ctx(ssl::context::tls_client);
  ctx.load_verify_file(cert);
  ctx.set_verify_mode(ssl::verify_peer);
  boost::beast::ssl_stream<boost::beast::tcp_stream> stream(ioc, ctx);
  boost::beast::get_lowest_layer(stream).connect(
      boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), server.port()));
  stream.handshake(ssl::stream_base::client);
  for (int i = 0; i < 2; ++i) {
    http::request<http::string_body> req{http::verb::post, "/1/classes/Secure", 11};
    req.set("X-Keel-Application-Id", kAppId);
    req.set("X-Keel-Client-Key", kClientKey);
    req.body() = R"({"_method": "GET"})";
    req.prepare_payload();
    http::write(stream, req);
    boost::beast::flat_buffer buffer;
    http::response<http::string_body> res;
    http::read(stream, buffer, res);
    EXPECT_EQ(res.result_int(), 200);
    EXPECT_EQ(res.body(), R"({"results":[]})");
  }
  // A plain-HTTP client gets no answer from a TLS port.
  HttpClient plain(server.port());
  EXPECT_THROW(plain.get("/health"), boost::system::system_error);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace keel::server::testing
