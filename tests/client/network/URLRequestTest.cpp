#include <keel/network/CommandURLRequestConstructor.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include <keel/base/Exception.h>
#include <keel/network/HTTPURLRequestConstructor.h>
#include <keel/base/JSONSerialization.h>
#include <keel/network/URLConstructor.h>

namespace keel {
namespace {

class FixedDataSource : public CommandRequestDataSource {
 public:
  std::string installationIdentifier() override { return "inst-1"; }
};

class URLRequestTest : public ::testing::Test {
 protected:
  std::shared_ptr<FixedDataSource> source = std::make_shared<FixedDataSource>();
  CommandURLRequestConstructor constructor{source, "https://api.example.test"};
};

TEST_F(URLRequestTest, SendsAFindWithParametersAsAPostCarryingTheMethod) {
  auto command = RESTCommand::commandWithHTTPPath("classes/Video", "GET", Dictionary{{"limit", Value(3)}},
                                                  std::string("r:tok"));
  auto request = constructor.dataURLRequestForCommand(*command);
  EXPECT_EQ(request.url, "https://api.example.test/1/classes/Video");
  EXPECT_EQ(request.method, "POST");
  ASSERT_TRUE(request.body);
  EXPECT_EQ(*JSONSerialization::JSONObjectFromString(*request.body),
            Value(Dictionary{{"limit", Value(3)}, {"_method", Value("GET")}}));
  EXPECT_EQ(*request.header("Content-Type"), "application/json; charset=utf-8");
  EXPECT_EQ(*request.header("X-Keel-Installation-Id"), "inst-1");
  EXPECT_EQ(*request.header("X-Keel-Session-Token"), "r:tok");
}

TEST_F(URLRequestTest, KeepsMethodsWithoutParametersOrWithABodyAsTheyAre) {
  auto get = constructor.dataURLRequestForCommand(*RESTCommand::commandWithHTTPPath("config", "GET", std::nullopt, std::nullopt));
  EXPECT_EQ(get.method, "GET");
  EXPECT_FALSE(get.body);
  EXPECT_EQ(get.header("Content-Type"), nullptr);
  EXPECT_EQ(get.header("X-Keel-Session-Token"), nullptr);

  auto put = constructor.dataURLRequestForCommand(
      *RESTCommand::commandWithHTTPPath("classes/Video/x", "PUT", Dictionary{{"Mins", Value(5)}}, std::nullopt));
  EXPECT_EQ(put.method, "PUT");
  EXPECT_EQ(*put.body, R"({"Mins":5})");
}

TEST_F(URLRequestTest, LetsTheInstallationIdAndSessionTokenWinOverCommandHeaders) {
  auto command = RESTCommand::commandWithHTTPPath("users/me", "GET", std::nullopt, std::string("r:mine"))
                     ->commandWithAdditionalRequestHeaders(Dictionary{{"X-Keel-Session-Token", Value("forged")},
                                                                      {"X-Keel-Revocable-Session", Value("1")}});
  auto request = constructor.dataURLRequestForCommand(*command);
  EXPECT_EQ(*request.header("X-Keel-Session-Token"), "r:mine");
  EXPECT_EQ(*request.header("X-Keel-Revocable-Session"), "1");
}

TEST_F(URLRequestTest, ReplacesAnyPathOfTheServerURL) {
  constructor.setServerURLString("http://127.0.0.1:8080/old/path?q=1");
  auto request = constructor.dataURLRequestForCommand(*RESTCommand::commandWithHTTPPath("config", "GET", std::nullopt, std::nullopt));
  EXPECT_EQ(request.url, "http://127.0.0.1:8080/1/config?q=1");
  EXPECT_EQ(URLConstructor::URLFromAbsoluteString("https://h.test/a?b=c", std::string("x/y"), std::string("")),
            "https://h.test/x/y");
}

TEST_F(URLRequestTest, RefusesBodiesOnMethodsThatCannotCarryThemAndUnserialisableParameters) {
  try {
    HTTPURLRequestConstructor::urlRequestWithURL("https://h.test/1/x", "DELETE", {}, Dictionary{{"a", Value(1)}});
    FAIL() << "expected an exception";
  } catch (const InternalInconsistencyException& e) {
    EXPECT_EQ(e.reason(), "Can't create DELETE request with json body.");
  }
  try {
    HTTPURLRequestConstructor::urlRequestWithURL("https://h.test/1/x", "POST", {}, Dictionary{{"a", Value(Bytes{1})}});
    FAIL() << "expected an exception";
  } catch (const InternalInconsistencyException& e) {
    EXPECT_TRUE(e.reason().starts_with("Failed to serialize JSON with error = ")) << e.reason();
  }
}

TEST_F(URLRequestTest, BuildsSessionHeadersWithTheClientVersionAndOnlyKnownAppVersions) {
  auto headers = CommandURLRequestConstructor::defaultURLRequestHeadersForApplicationId("app", "key", BundleInfo{});
  EXPECT_EQ(*platform::findHeader(headers, "X-Keel-Application-Id"), "app");
  EXPECT_EQ(*platform::findHeader(headers, "X-Keel-Client-Key"), "key");
  EXPECT_EQ(*platform::findHeader(headers, "X-Keel-Client-Version"), "i1.9.1");
  EXPECT_FALSE(platform::findHeader(headers, "X-Keel-OS-Version")->empty());
  EXPECT_EQ(platform::findHeader(headers, "X-Keel-App-Build-Version"), nullptr);
  auto withVersions = CommandURLRequestConstructor::defaultURLRequestHeadersForApplicationId(
      "app", "key", BundleInfo{std::string("42"), std::string("1.2")});
  EXPECT_EQ(*platform::findHeader(withVersions, "X-Keel-App-Build-Version"), "42");
  EXPECT_EQ(*platform::findHeader(withVersions, "X-Keel-App-Display-Version"), "1.2");
}

TEST_F(URLRequestTest, SizesFileUploadsFromTheSourceFile) {
  std::string path = ::testing::TempDir() + "upload-source.bin";
  std::ofstream(path) << std::string(1234, 'x');
  auto request = constructor.fileUploadURLRequestForCommand(
      *RESTFileCommand::uploadCommandForFileWithName("a.png", std::nullopt), std::string("image/png"), path);
  EXPECT_EQ(request.url, "https://api.example.test/1/files/a.png");
  EXPECT_EQ(*request.header("Content-Type"), "image/png");
  EXPECT_EQ(*request.header("Content-Length"), "1234");
  std::remove(path.c_str());
}

}  // namespace
}  // namespace keel
