#include "server/Api.h"

#include <gtest/gtest.h>

#include <fstream>
#include <unistd.h>

#include "server/ServerTestSupport.h"

namespace keel::server::testing {
namespace {

class ApiTest : public ::testing::Test {
 protected:
  Reply asMaster(const std::string& method, const std::string& target, const json::value& body) {
    return client_.send(method, target, json::serialize(body), {{"X-Keel-Master-Key", kMasterKey}});
  }

  TestServer server_;
  HttpClient client_{server_.port()};
};

TEST_F(ApiTest, BatchAnswersEachRequestInOrderWithItsOwnOutcome) {
  const std::string id(client_.post("/1/classes/Note", json::object{{"n", 1}}).object().at("objectId").as_string());
  json::array requests{
      json::object{{"method", "POST"}, {"path", "/1/classes/Note"}, {"body", {{"n", 2}}}},
      json::object{{"method", "PUT"}, {"path", "/1/classes/Note/" + id}, {"body", {{"n", {{"__op", "Increment"}, {"amount", 10}}}}}},
      json::object{{"method", "PUT"}, {"path", "/1/classes/Note/missing1"}, {"body", {{"n", 1}}}},
      json::object{{"method", "POST"}, {"path", "/1/classes/Note"}, {"body", {{"n", "text"}}}},
      json::object{{"method", "DELETE"}, {"path", "/1/classes/Note/" + id}},
      json::object{{"method", "GET"}, {"path", "/1/classes/Note/" + id}},
  };
  auto r = client_.post("/1/batch", json::object{{"requests", requests}});
  ASSERT_EQ(r.status, 200);
  const auto replies = r.json().as_array();
  ASSERT_EQ(replies.size(), 6u);
  EXPECT_TRUE(replies[0].at("success").as_object().contains("objectId"));
  EXPECT_EQ(replies[1].at("success").at("n"), 11);
  EXPECT_EQ(replies[2].at("error").at("code"), 101);
  EXPECT_EQ(replies[3].at("error").at("code"), 111);
  EXPECT_EQ(replies[4].at("success"), json::object{});
  EXPECT_EQ(replies[5].at("error").at("code"), 101);
  // Only the failed requests left nothing behind.
  auto left = client_.find("Note");
  ASSERT_EQ(results(left).size(), 1u);
  EXPECT_EQ(results(left)[0].at("n"), 2);
}

TEST_F(ApiTest, BatchTakesFiftyRequestsAndRefusesMore) {
  json::array requests;
  for (int i = 0; i < 51; ++i) requests.push_back(json::object{{"method", "POST"}, {"path", "/1/classes/B"}, {"body", {{"i", i}}}});
  auto tooMany = client_.post("/1/batch", json::object{{"requests", requests}});
  EXPECT_EQ(tooMany.status, 400);
  EXPECT_EQ(results(client_.find("B")).size(), 0u);
  requests.pop_back();
  auto fifty = client_.post("/1/batch", json::object{{"requests", requests}});
  EXPECT_EQ(fifty.json().as_array().size(), 50u);
  EXPECT_EQ(client_.post("/1/batch", json::object{{"requests", "no"}}).object().at("code"), 107);
  auto nested = client_.post("/1/batch", json::object{{"requests", json::array{json::object{{"method", "POST"}, {"path", "/1/batch"}}}}});
  EXPECT_EQ(nested.json().as_array()[0].at("error").at("code"), 107);
}

TEST_F(ApiTest, ConfigIsReadByAnyClientAndChangedOnlyWithTheMasterKey) {
  EXPECT_EQ(client_.get("/1/config").object().at("params"), json::object{});
  auto refused = client_.put("/1/config", json::object{{"params", {{"a", 1}}}});
  EXPECT_EQ(refused.status, 403);
  EXPECT_EQ(refused.object().at("code"), 119);
  EXPECT_EQ(asMaster("PUT", "/1/config", json::object{{"params", {{"a", 1}, {"b", "x"}}}}).status, 200);
  EXPECT_EQ(asMaster("PUT", "/1/config", json::object{{"params", {{"b", {{"__op", "Delete"}}}, {"c", true}}}}).status, 200);
  EXPECT_EQ(client_.get("/1/config").object().at("params"), (json::object{{"a", 1}, {"c", true}}));
}

TEST_F(ApiTest, FunctionsEchoFailWithTheChosenCodeOrAreUnknown) {
  auto echo = client_.post("/1/functions/echo", json::object{{"x", json::array{1, 2}}});
  EXPECT_EQ(echo.status, 200);
  EXPECT_EQ(echo.object().at("result"), (json::object{{"x", json::array{1, 2}}}));
  auto fail = client_.post("/1/functions/fail", json::object{{"code", 142}, {"message", "nope"}});
  EXPECT_EQ(fail.status, 400);
  EXPECT_EQ(fail.object(), (json::object{{"code", 142}, {"error", "nope"}}));
  auto unknown = client_.post("/1/functions/missing", json::object{});
  EXPECT_EQ(unknown.object().at("code"), 141);
  EXPECT_EQ(unknown.object().at("error"), "Invalid function: \"missing\"");
}

TEST_F(ApiTest, UnknownRoutesAnswer404WithAnErrorBody) {
  EXPECT_EQ(client_.get("/1/nothing").status, 404);
  EXPECT_EQ(client_.get("/1/classes/A/b/c").status, 404);
  EXPECT_EQ(client_.get("/elsewhere").status, 404);
  EXPECT_TRUE(client_.get("/1/nothing").object().contains("code"));
}

TEST_F(ApiTest, MediaServesFilesOnlyFromTheMediaFolder) {
  const auto root = std::filesystem::temp_directory_path() / ("keel-media-" + std::to_string(::getpid()));
  const auto dir = root / "media";
  std::filesystem::create_directories(dir / "sub");
  { std::ofstream(dir / "sub" / "a.png", std::ios::binary) << "PNGDATA"; }
  { std::ofstream(root / "outside.txt") << "secret"; }
  std::filesystem::create_symlink(root / "outside.txt", dir / "link.txt");
  TestServer withMedia(":memory:", TestServer::quietOptions(), dir.string());
  HttpClient c(withMedia.port());
  auto file = c.send("GET", "/media/sub/a.png", "", {});
  EXPECT_EQ(file.status, 200);
  EXPECT_EQ(file.body, "PNGDATA");
  EXPECT_EQ(file.headers["Content-Type"], "image/png");
  EXPECT_EQ(c.send("GET", "/media/../outside.txt", "", {}).status, 404);
  EXPECT_EQ(c.send("GET", "/media/sub/%2e%2e/%2e%2e/outside.txt", "", {}).status, 404);
  EXPECT_EQ(c.send("GET", "/media/sub", "", {}).status, 404);
  EXPECT_EQ(c.send("GET", "/media/link.txt", "", {}).status, 404);
  std::filesystem::remove_all(root);
}

TEST_F(ApiTest, SeedLoadsObjectsWithTheirIdsAndMediaAddresses) {
  const auto path = std::filesystem::temp_directory_path() / ("keel-seed-" + std::to_string(::getpid()) + ".json");
  {
    std::ofstream out(path);
    out << R"({"Video": [{"objectId": "vid0000001", "Mins": 5, "ThumbnailImage": "{{mediaURL}}/a.png"},
                        {"Mins": 10}]})";
  }
  EXPECT_EQ(server_.api().loadSeed(path.string(), "http://host:1/media"), 2u);
  // Loading again replaces the objects with ids instead of doubling them.
  EXPECT_EQ(server_.api().loadSeed(path.string(), "http://host:1/media"), 2u);
  auto video = client_.get("/1/classes/Video/vid0000001").object();
  EXPECT_EQ(video.at("ThumbnailImage"), "http://host:1/media/a.png");
  EXPECT_EQ(results(client_.find("Video", {{"where", {{"Mins", 5}}}})).size(), 1u);
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace keel::server::testing
