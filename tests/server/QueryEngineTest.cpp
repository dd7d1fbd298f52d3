#include "server/QueryEngine.h"

#include <gtest/gtest.h>

#include "server/ServerTestSupport.h"

namespace keel::server::testing {
namespace {

json::object point(double lat, double lon) {
  return json::object{{"__type", "GeoPoint"}, {"latitude", lat}, {"longitude", lon}};
}
json::object date(const char* iso) { return json::object{{"__type", "Date"}, {"iso", iso}}; }

class QueryEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A field keeps one type, so values of mixed kinds live in an array field ("v").
    add({{"name", "a"}, {"n", 1}, {"v", json::array{1}}, {"tags", json::array{"x", "y"}}, {"place", point(0, 0)},
         {"when", date("2020-01-01T00:00:00.000Z")}});
    add({{"name", "b"}, {"n", 2}, {"v", json::array{"1"}}, {"tags", json::array{"y"}}, {"place", point(0, 10)},
         {"when", date("2021-01-01T00:00:00.000Z")}});
    add({{"name", "c"}, {"n", 3}, {"v", json::array{true}}, {"tags", json::array{}}, {"place", point(0, 2)}});
    add({{"name", "d"}, {"n", 3.5}, {"v", json::array{date("2020-01-01T00:00:00.000Z")}}, {"text", "Hello\nWorld a.b"}});
    add({{"name", "e"}, {"v", nullptr}});
  }
  void add(const json::object& body) {
    auto r = client_.post("/1/classes/Item", body);
    ASSERT_EQ(r.status, 201) << r.body;
    byName_[std::string(body.at("name").as_string())] = std::string(r.object().at("objectId").as_string());
  }
  // Returns the names that a where clause matches, in insertion order unless ordered.
  std::vector<std::string> names(const json::object& where, json::object extra = {}) {
    extra["where"] = where;
    if (!extra.contains("order")) extra["order"] = "name";
    auto r = client_.find("Item", extra);
    EXPECT_EQ(r.status, 200) << r.body;
    std::vector<std::string> out;
    if (r.status == 200)
      for (const auto& o : results(r)) out.emplace_back(o.at("name").as_string());
    return out;
  }
  int errorCode(const json::object& where) {
    auto r = client_.find("Item", {{"where", where}});
    return r.status == 400 ? static_cast<int>(r.object().at("code").as_int64()) : 0;
  }
  using Names = std::vector<std::string>;

  TestServer server_;
  HttpClient client_{server_.port()};
  std::map<std::string, std::string> byName_;
};

TEST_F(QueryEngineTest, EqualityMatchesOnlyTheSameKind) {
  EXPECT_EQ(names({{"v", 1}}), (Names{"a"}));
  EXPECT_EQ(names({{"v", 1.0}}), (Names{"a"}));
  EXPECT_EQ(names({{"v", "1"}}), (Names{"b"}));
  EXPECT_EQ(names({{"v", true}}), (Names{"c"}));
  EXPECT_EQ(names({{"v", date("2020-01-01T00:00:00Z")}}), (Names{"d"}));
  // A null operand also matches objects without the field.
  EXPECT_EQ(names({{"text", nullptr}}), (Names{"a", "b", "c", "e"}));
  EXPECT_EQ(names({{"missing", 1}}), Names{});
  EXPECT_EQ(names({{"n", "1"}}), Names{});
}

TEST_F(QueryEngineTest, EqualityOnAnArrayFieldMatchesAnElement) {
  EXPECT_EQ(names({{"tags", "y"}}), (Names{"a", "b"}));
  EXPECT_EQ(names({{"tags", json::array{"y"}}}), (Names{"b"}));
}

TEST_F(QueryEngineTest, OrderingOperatorsCompareNumbersWithNumbersAndDatesWithDates) {
  EXPECT_EQ(names({{"n", {{"$gt", 1}, {"$lte", 3}}}}), (Names{"b", "c"}));
  EXPECT_EQ(names({{"n", {{"$gte", 3}}}}), (Names{"c", "d"}));
  EXPECT_EQ(names({{"v", {{"$lt", 2}}}}), (Names{"a"}));
  EXPECT_EQ(names({{"v", {{"$gte", "0"}}}}), (Names{"b"}));
  EXPECT_EQ(names({{"when", {{"$gt", date("2020-06-01T00:00:00.000Z")}}}}), (Names{"b"}));
  EXPECT_EQ(names({{"createdAt", {{"$lt", date("2000-01-01T00:00:00.000Z")}}}}), Names{});
  EXPECT_EQ(names({{"v", {{"$ne", 1}}}}), (Names{"b", "c", "d", "e"}));
}

TEST_F(QueryEngineTest, SetOperatorsAndExists) {
  EXPECT_EQ(names({{"n", {{"$in", json::array{1, 3, "2"}}}}}), (Names{"a", "c"}));
  EXPECT_EQ(names({{"n", {{"$nin", json::array{1, 3}}}}}), (Names{"b", "d", "e"}));
  EXPECT_EQ(names({{"tags", {{"$all", json::array{"x", "y"}}}}}), (Names{"a"}));
  EXPECT_EQ(names({{"tags", {{"$all", json::array{}}}}}), Names{});
  EXPECT_EQ(names({{"text", {{"$exists", true}}}}), (Names{"d"}));
  EXPECT_EQ(names({{"n", {{"$exists", false}}}}), (Names{"e"}));
  EXPECT_EQ(names({{"objectId", {{"$in", json::array{byName_["b"], byName_["e"], "nope"}}}}}), (Names{"b", "e"}));
}

TEST_F(QueryEngineTest, RegexHonoursOptionsAndLiteralQuoting) {
  EXPECT_EQ(names({{"text", {{"$regex", "^world"}}}}), Names{});
  EXPECT_EQ(names({{"text", {{"$regex", "^world"}, {"$options", "im"}}}}), (Names{"d"}));
  EXPECT_EQ(names({{"text", {{"$regex", "\\Qa.b\\E$"}}}}), (Names{"d"}));
  EXPECT_EQ(names({{"text", {{"$regex", "\\Qa*b\\E"}}}}), Names{});
  EXPECT_EQ(names({{"name", {{"$regex", "[ab]"}}}}), (Names{"a", "b"}));
  EXPECT_EQ(errorCode({{"name", {{"$regex", "(unclosed"}}}}), 102);
  EXPECT_EQ(errorCode({{"name", {{"$regex", "a"}, {"$options", "q"}}}}), 102);
}

TEST_F(QueryEngineTest, NearSphereOrdersByDistanceWithinTheLimit) {
  EXPECT_EQ(names({{"place", {{"$nearSphere", point(0, 9)}}}}, {{"order", ""}}), (Names{"b", "c", "a"}));
  // 3 degrees of longitude at the equator are about 0.052 radians.
  EXPECT_EQ(names({{"place", {{"$nearSphere", point(0, 0)}, {"$maxDistance", 0.06}}}}, {{"order", ""}}),
            (Names{"a", "c"}));
  EXPECT_EQ(names({{"place", {{"$nearSphere", point(0, 0)}, {"$maxDistanceInKilometers", 100}}}}, {{"order", ""}}),
            (Names{"a"}));
  EXPECT_EQ(names({{"place", {{"$within", {{"$box", json::array{point(-1, 1), point(1, 11)}}}}}}}), (Names{"b", "c"}));
  EXPECT_EQ(errorCode({{"place", {{"$within", {{"$box", json::array{point(5, 0), point(1, 1)}}}}}}}), 102);
}

TEST_F(QueryEngineTest, OrCombinesClauses) {
  EXPECT_EQ(names({{"$or", json::array{json::object{{"name", "a"}}, json::object{{"n", {{"$gt", 3}}}}}}}), (Names{"a", "d"}));
  EXPECT_EQ(errorCode({{"$or", json::object{}}}), 102);
}

TEST_F(QueryEngineTest, SubqueriesMatchPointersAndSelectedKeys) {
  auto ptr = [&](const std::string& name) {
    return json::object{{"__type", "Pointer"}, {"className", "Item"}, {"objectId", byName_[name]}};
  };
  for (const auto& [owner, item] : std::vector<std::pair<std::string, std::string>>{{"x", "a"}, {"y", "b"}, {"z", "d"}})
    ASSERT_EQ(client_.post("/1/classes/Link", json::object{{"owner", owner}, {"item", ptr(item)}, {"n", 3}}).status, 201);
  auto linkOwners = [&](const json::object& where) {
    std::vector<std::string> out;
    for (const auto& o : results(client_.find("Link", {{"where", where}, {"order", "owner"}})))
      out.emplace_back(o.at("owner").as_string());
    return out;
  };
  const json::object smallItems{{"className", "Item"}, {"where", {{"n", {{"$lt", 3}}}}}};
  EXPECT_EQ(linkOwners({{"item", {{"$inQuery", smallItems}}}}), (Names{"x", "y"}));
  EXPECT_EQ(linkOwners({{"item", {{"$notInQuery", smallItems}}}}), (Names{"z"}));
  const json::object select{{"query", {{"className", "Item"}, {"where", json::object{}}}}, {"key", "n"}};
  EXPECT_EQ(linkOwners({{"n", {{"$select", select}}}}), (Names{"x", "y", "z"}));
  EXPECT_EQ(linkOwners({{"n", {{"$dontSelect", select}}}}), Names{});
  EXPECT_EQ(errorCode({{"n", {{"$inQuery", {{"where", json::object{}}}}}}}), 102);
}

TEST_F(QueryEngineTest, OrdersBySeveralKeysAndPagesWithLimitAndSkip) {
  EXPECT_EQ(names({}, {{"order", "-n,name"}}), (Names{"d", "c", "b", "a", "e"}));
  EXPECT_EQ(names({}, {{"order", "-n"}, {"limit", "2"}, {"skip", "1"}}), (Names{"c", "b"}));
  EXPECT_EQ(names({}, {{"limit", 0}}), Names{});
  auto counted = client_.find("Item", {{"count", "1"}, {"limit", "0"}, {"where", {{"n", {{"$gte", 2}}}}}});
  EXPECT_EQ(counted.object().at("count"), 3);
  EXPECT_TRUE(results(counted).empty());
  auto bad = client_.find("Item", {{"limit", "ten"}});
  EXPECT_EQ(bad.object().at("code"), 102);
  EXPECT_EQ(client_.find("Item", {{"skip", -1}}).object().at("code"), 102);
}

TEST_F(QueryEngineTest, LimitDefaultsToOneHundredAndStopsAtOneThousand) {
  json::array requests;
  for (int batch = 0; batch < 24; ++batch) {
    json::array reqs;
    for (int i = 0; i < 50; ++i)
      reqs.push_back(json::object{{"method", "POST"}, {"path", "/1/classes/Many"}, {"body", {{"i", batch * 50 + i}}}});
    ASSERT_EQ(client_.post("/1/batch", json::object{{"requests", reqs}}).status, 200);
  }
  EXPECT_EQ(results(client_.find("Many")).size(), 100u);
  EXPECT_EQ(results(client_.find("Many", {{"limit", 5000}})).size(), 1000u);
}

TEST_F(QueryEngineTest, KeysSelectFieldsButKeepTheIdAndTimes) {
  auto r = client_.find("Item", {{"where", {{"name", "a"}}}, {"keys", "n"}});
  const json::object o = results(r).at(0).as_object();
  EXPECT_EQ(o.size(), 4u);
  for (const char* key : {"objectId", "createdAt", "updatedAt", "n"}) EXPECT_TRUE(o.contains(key)) << key;
  auto none = client_.find("Item", {{"where", {{"name", "a"}}}, {"keys", ""}});
  EXPECT_EQ(results(none).at(0).as_object().size(), 3u);
}

TEST_F(QueryEngineTest, IncludeReplacesPointersAlongDottedPaths) {
  auto ptr = [](const std::string& cls, const std::string& id) {
    return json::object{{"__type", "Pointer"}, {"className", cls}, {"objectId", id}};
  };
  const std::string author(client_.post("/1/classes/Author", json::object{{"name", "Ann"}}).object().at("objectId").as_string());
  const std::string book(client_.post("/1/classes/Book", json::object{{"title", "T"}, {"author", ptr("Author", author)}})
                             .object().at("objectId").as_string());
  ASSERT_EQ(client_.post("/1/classes/Review", json::object{{"stars", 5}, {"book", ptr("Book", book)}}).status, 201);
  ASSERT_EQ(client_.post("/1/classes/Review", json::object{{"stars", 1}, {"book", ptr("Book", "deletedBook")}}).status, 201);
  auto r = client_.find("Review", {{"include", "book.author"}, {"order", "-stars"}});
  const auto list = results(r);
  const auto& included = list.at(0).at("book").as_object();
  EXPECT_EQ(included.at("__type"), "Object");
  EXPECT_EQ(included.at("className"), "Book");
  EXPECT_EQ(included.at("author").at("__type"), "Object");
  EXPECT_EQ(included.at("author").at("name"), "Ann");
  // A pointer to an object that is gone stays a pointer.
  EXPECT_EQ(list.at(1).at("book"), ptr("Book", "deletedBook"));
  auto fetched = client_.get("/1/classes/Book/" + book + "?include=author").object();
  EXPECT_EQ(fetched.at("author").at("name"), "Ann");
}

TEST_F(QueryEngineTest, IndexedEqualityAndScanAgree) {
  // "name" equality goes through the index; the same constraint under $or is scanned.
  const json::object indexed{{"tags", "y"}};
  const json::object scanned{{"$or", json::array{indexed}}};
  EXPECT_EQ(names(indexed), names(scanned));
  auto traced = client_.find("Item", {{"where", indexed}, {"trace", "1"}});
  EXPECT_NE(traced.object().at("trace").as_string().find("index(tags)"), std::string::npos);
}

TEST_F(QueryEngineTest, InvalidQueriesAnswer102) {
  EXPECT_EQ(errorCode({{"n", {{"$bogus", 1}}}}), 102);
  EXPECT_EQ(errorCode({{"$where", "1"}}), 102);
  EXPECT_EQ(errorCode({{"n", {{"$in", 1}}}}), 102);
  EXPECT_EQ(errorCode({{"n", {{"$exists", "yes"}}}}), 102);
  EXPECT_EQ(errorCode({{"n", {{"$lt", json::array{1}}}}}), 102);
  // A date operand that names no date would compare as some arbitrary instant.
  EXPECT_EQ(errorCode({{"when", {{"$lt", date("now")}}}}), 102);
  EXPECT_EQ(errorCode({{"v", {{"$in", json::array{1, date("12345")}}}}}), 102);
  EXPECT_EQ(errorCode({{"$or", json::array{json::object{{"when", date("2020-13-01")}}}}}), 102);
  EXPECT_EQ(names({{"when", {{"$lt", date("2020-06-01")}}}}), Names{"a"});
  auto textWhere = client_.send("GET", "/1/classes/Item?where=%7Bbroken", "",
                                {{"X-Keel-Application-Id", kAppId}, {"X-Keel-Client-Key", kClientKey}});
  EXPECT_EQ(textWhere.object().at("code"), 107);
  auto queryString = client_.send("GET", "/1/classes/Item?where=%7B%22name%22%3A%22c%22%7D", "",
                                  {{"X-Keel-Application-Id", kAppId}, {"X-Keel-Client-Key", kClientKey}});
  EXPECT_EQ(results(queryString).size(), 1u);
}

}  // namespace
}  // namespace keel::server::testing
