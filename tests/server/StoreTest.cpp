#include "server/Store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include <keel/base/Sqlite.h>

#include "server/ServerTestSupport.h"

namespace keel::server::testing {
namespace {

ApiRequest request(const std::string& method, const std::string& target, const json::value& body = nullptr) {
  ApiRequest r;
  r.method = method;
  r.target = target;
  r.headers = {{"x-keel-application-id", kAppId}, {"x-keel-client-key", kClientKey}};
  if (!body.is_null()) r.body = json::serialize(body);
  return r;
}

json::object find(Api& api, const std::string& className) {
  auto reply = api.handle(request("POST", "/1/classes/" + className, json::object{{"_method", "GET"}, {"count", 1}}));
  EXPECT_EQ(reply.status, 200) << reply.body;
  return json::parse(reply.body).as_object();
}

TEST(StoreTest, AReadIsAnsweredWhileAWriteIsInProgressAndSeesTheLastCommit) {
  TempDatabase file("keel-store");
  Store store(file.path(), 2);
  Faults faults;
  Api api(store, ApiConfig{kAppId, kClientKey, kMasterKey, {}, false, TestServer::cheapAuth()}, faults);
  ASSERT_EQ(api.handle(request("POST", "/1/classes/Note", json::object{{"n", 1}})).status, 201);

  {
    // A write request holds the writer and its open transaction for as long as it runs.
    auto writer = store.writer();
    auto transaction = writer->begin(true);
    StoredObject unsaved;
    unsaved.className = "Note";
    unsaved.objectId = "pending001";
    unsaved.fields = json::object{{"n", 2}};
    writer->insert(unsaved);

    auto read = std::async(std::launch::async, [&] { return find(api, "Note"); });
    ASSERT_EQ(read.wait_for(std::chrono::seconds(10)), std::future_status::ready)
        << "the read waited for the writer";
    EXPECT_EQ(read.get().at("count"), 1);
    transaction->commit();
  }
  EXPECT_EQ(find(api, "Note").at("count"), 2);
}

TEST(StoreTest, ReadersRefuseToWrite) {
  TempDatabase file("keel-store");
  Store store(file.path(), 1);
  auto reader = store.reader();
  StoredObject object;
  object.className = "Note";
  object.objectId = "refused001";
  EXPECT_THROW(reader->insert(object), platform::SqliteError);
}

TEST(StoreTest, AnInMemoryStoreServesReadsOnItsOneConnection) {
  Store store(":memory:", 4);
  EXPECT_EQ(store.readers(), 0);
  {
    auto writer = store.writer();
    StoredObject object;
    object.className = "Note";
    object.objectId = "memory0001";
    writer->insert(object);
  }
  EXPECT_TRUE(store.reader()->exists("Note", "memory0001"));
}

// Writers move a pair of fields in one request (a + b stays 0); readers on other connections
// must never see half of a request, nor an object count that goes backwards.
TEST(StoreTest, ConcurrentReadersSeeEveryWriteWholeOrNotAtAll) {
  TempDatabase file("keel-store");
  HttpServerOptions options = TestServer::quietOptions();
  options.threads = 4;
  TestServer server(file.path(), options);
  std::vector<std::string> ids;
  {
    HttpClient c(server.port());
    for (int i = 0; i < 4; ++i)
      ids.emplace_back(c.post("/1/classes/Pair", json::object{{"a", 0}, {"b", 0}}).object().at("objectId").as_string());
  }
  constexpr int kWrites = 60, kReads = 60;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < 2; ++w) {
    threads.emplace_back([&, w] {
      HttpClient c(server.port());
      for (int i = 0; i < kWrites; ++i) {
        const json::object move{{"a", {{"__op", "Increment"}, {"amount", 1}}}, {"b", {{"__op", "Increment"}, {"amount", -1}}}};
        if (c.put("/1/classes/Pair/" + ids[(w + i) % ids.size()], move).status != 200) ++failures;
        if (i % 10 == 0 && c.post("/1/classes/Pair", json::object{{"a", 0}, {"b", 0}}).status != 201) ++failures;
      }
    });
  }
  for (int r = 0; r < 3; ++r) {
    threads.emplace_back([&] {
      HttpClient c(server.port());
      std::int64_t lastCount = 0;
      for (int i = 0; i < kReads; ++i) {
        auto reply = c.find("Pair", {{"count", 1}, {"limit", 1000}});
        if (reply.status != 200) {
          ++failures;
          continue;
        }
        const auto body = reply.object();
        const auto count = body.at("count").as_int64();
        if (count < lastCount) ++failures;
        lastCount = count;
        for (const auto& o : body.at("results").as_array())
          if (o.at("a").as_int64() + o.at("b").as_int64() != 0) ++failures;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures, 0);
  HttpClient c(server.port());
  std::int64_t moved = 0;
  for (const auto& o : results(c.find("Pair", {{"limit", 1000}}))) moved += o.at("a").as_int64();
  EXPECT_EQ(moved, 2 * kWrites);
}

// Writes text into a stored document behind the server's back, as a damaged disk or an older
// build might have left it.
void damage(const std::string& path, const std::string& id, const std::string& text) {
  platform::Database db(path);
  db.setBusyTimeout(5000);
  auto st = db.prepare("UPDATE objects SET data = ? WHERE id = ?");
  st.bind(1, text).bind(2, id);
  st.run();
  ASSERT_EQ(db.changes(), 1);
}

TEST(StoreTest, ReadsSkipADamagedStoredDocumentWithALogLine) {
  TempDatabase file("keel-store");
  TestServer server(file.path());
  HttpClient c(server.port());
  std::vector<std::string> made;
  for (int i = 0; i < 4; ++i)
    made.emplace_back(c.post("/1/classes/Item", json::object{{"n", i}, {"group", 1}}).object().at("objectId").as_string());
  damage(file.path(), made[1], R"({"n": 1e400, "group": 1})");
  damage(file.path(), made[2], "not JSON at all");

  LogCapture log;
  for (const json::object& params : {json::object{}, json::object{{"where", {{"group", 1}}}},
                                     json::object{{"where", {{"n", {{"$gte", 0}}}}}},
                                     json::object{{"where", {{"objectId", {{"$in", json::array{made[0], made[1], made[2]}}}}}}}}) {
    auto reply = c.find("Item", params);
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_FALSE(results(reply).empty());
    for (const auto& id : ids(reply)) EXPECT_TRUE(id == made[0] || id == made[3]) << id;
  }
  EXPECT_TRUE(log.contains("Item/" + made[1]));
  EXPECT_TRUE(log.contains("Item/" + made[2]));

  // The damaged object itself reads as missing, and deleting it with the master key clears the
  // row (without it, nobody can tell whose row it is).
  EXPECT_EQ(c.get("/1/classes/Item/" + made[1]).status, 404);
  EXPECT_EQ(c.get("/1/classes/Item/" + made[0]).status, 200);
  EXPECT_EQ(c.del("/1/classes/Item/" + made[2]).status, 404);
  EXPECT_EQ(c.send("DELETE", "/1/classes/Item/" + made[2], "", {{"X-Keel-Master-Key", kMasterKey}}).status, 200);
  EXPECT_EQ(c.find("Item", {{"count", 1}, {"limit", 0}}).object().at("count"), 2);
}

TEST(StoreTest, ADamagedConfigurationReadsAsEmpty) {
  TempDatabase file("keel-store");
  TestServer server(file.path());
  HttpClient c(server.port());
  ASSERT_EQ(c.send("PUT", "/1/config", R"({"params": {"a": 1}})", {{"X-Keel-Master-Key", kMasterKey}}).status, 200);
  {
    platform::Database db(file.path());
    db.setBusyTimeout(5000);
    db.exec(R"(UPDATE config SET params = '{"a": 1e999}')");
  }
  LogCapture log;
  auto reply = c.get("/1/config");
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.object().at("params"), json::object{});
  EXPECT_TRUE(log.contains("configuration"));
}

}  // namespace
}  // namespace keel::server::testing
