// Finds ordered by createdAt/objectId, keyset paging and sub-query order, over real HTTP.
#include "server/QueryEngine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <numeric>

#include <fmt/format.h>

#include "server/JsonValues.h"
#include "server/ServerTestSupport.h"

namespace keel::server::testing {
namespace {

json::object date(std::int64_t millis) { return json::object{{"__type", "Date"}, {"iso", preciseDateText(millis)}}; }

struct Row {
  std::string id;
  std::int64_t createdAt;
  int n;
};

// 2,500 objects whose ids do not follow insertion order and whose creation times repeat (50
// objects share each millisecond), so ties decide much of the order.
class PagingTest : public ::testing::Test {
 protected:
  static constexpr int kObjects = 2500;
  static constexpr std::int64_t kBase = 1700000000000;

  void SetUp() override {
    json::array items;
    for (int i = 0; i < kObjects; ++i) {
      Row row{fmt::format("k{:05d}", (i * 7919) % 10007), kBase + (i * 37) % 50, i};
      items.push_back(json::object{{"objectId", row.id}, {"createdAt", preciseDateText(row.createdAt)},
                                   {"n", row.n}, {"even", i % 2 == 0}});
      rows_.push_back(row);
    }
    const auto path = std::filesystem::temp_directory_path() / fmt::format("paging-seed-{}.json", ::getpid());
    std::ofstream(path) << json::serialize(json::object{{"Item", items}});
    server_.api().loadSeed(path.string(), "");
    std::filesystem::remove(path);
  }

  // Returns the ids in the order a stable sort of insertion order by `less` gives.
  template <class Less>
  std::vector<std::string> expected(Less less, bool evenOnly = false) const {
    std::vector<Row> sorted;
    for (const auto& r : rows_)
      if (!evenOnly || r.n % 2 == 0) sorted.push_back(r);
    std::stable_sort(sorted.begin(), sorted.end(), less);
    std::vector<std::string> out;
    for (const auto& r : sorted) out.push_back(r.id);
    return out;
  }

  // Pages through the class the way a sync does: the next page starts after the last
  // (createdAt, objectId) seen, until a page comes back empty. Checks that no page reads more
  // documents than it returns.
  std::vector<std::string> syncAll(bool descending, json::object where = {}) {
    std::vector<std::string> seen;
    std::optional<std::pair<std::int64_t, std::string>> last;
    for (int page = 0; page < 100; ++page) {
      json::object w = where;
      if (last) {
        const char* op = descending ? "$lt" : "$gt";
        w["$or"] = json::array{json::object{{"createdAt", json::object{{op, date(last->first)}}}},
                               json::object{{"createdAt", date(last->first)}, {"objectId", json::object{{op, last->second}}}}};
      }
      auto r = client_.find("Item", {{"where", w},
                                     {"order", descending ? "-createdAt,-objectId" : "createdAt,objectId"},
                                     {"limit", "1000"},
                                     {"trace", true}});
      EXPECT_EQ(r.status, 200) << r.body;
      if (r.status != 200) break;
      const auto page_ = results(r);
      const std::string trace(r.object().at("trace").as_string());
      EXPECT_NE(trace.find(fmt::format("matched={}", page_.size())), std::string::npos) << trace;
      if (where.empty()) {
        EXPECT_NE(trace.find(fmt::format("examined={}", page_.size())), std::string::npos) << trace;
      }
      if (page_.empty()) break;
      for (const auto& o : page_) seen.emplace_back(o.at("objectId").as_string());
      const auto& tail = page_.back().as_object();
      last = {*parseIsoDate(tail.at("createdAt").as_string()), std::string(tail.at("objectId").as_string())};
    }
    return seen;
  }

  std::vector<std::string> findIds(json::object params) {
    auto r = client_.find("Item", std::move(params));
    EXPECT_EQ(r.status, 200) << r.body;
    return r.status == 200 ? ids(r) : std::vector<std::string>{};
  }

  TestServer server_;
  HttpClient client_{server_.port()};
  std::vector<Row> rows_;
};

bool byCreatedThenId(const Row& a, const Row& b) {
  return a.createdAt != b.createdAt ? a.createdAt < b.createdAt : a.id < b.id;
}

TEST_F(PagingTest, KeysetPagingVisitsEveryObjectOnceInOrderReadingOnlyEachPage) {
  EXPECT_EQ(syncAll(false), expected(byCreatedThenId));
  EXPECT_EQ(syncAll(true), expected([](const Row& a, const Row& b) { return byCreatedThenId(b, a); }));
}

TEST_F(PagingTest, KeysetPagingKeepsTheOtherConstraints) {
  EXPECT_EQ(syncAll(false, {{"even", true}}), expected(byCreatedThenId, true));
}

TEST_F(PagingTest, OrdersByCreationAndIdAsTheGeneralSortWould) {
  // Ties in creation time keep insertion order, in either direction.
  const auto createdAsc = expected([](const Row& a, const Row& b) { return a.createdAt < b.createdAt; });
  const auto createdDesc = expected([](const Row& a, const Row& b) { return a.createdAt > b.createdAt; });
  EXPECT_EQ(findIds({{"order", "createdAt"}, {"limit", 1000}, {"skip", 700}}),
            std::vector<std::string>(createdAsc.begin() + 700, createdAsc.begin() + 1700));
  EXPECT_EQ(findIds({{"order", "-createdAt"}, {"limit", 1000}}),
            std::vector<std::string>(createdDesc.begin(), createdDesc.begin() + 1000));
  const auto idDesc = expected([](const Row& a, const Row& b) { return a.id > b.id; });
  EXPECT_EQ(findIds({{"order", "-objectId,n"}, {"limit", 50}}), std::vector<std::string>(idDesc.begin(), idDesc.begin() + 50));
  const auto mixed = expected([](const Row& a, const Row& b) {
    return a.createdAt != b.createdAt ? a.createdAt < b.createdAt : a.id > b.id;
  });
  EXPECT_EQ(findIds({{"order", "createdAt,-objectId"}, {"limit", 100}}),
            std::vector<std::string>(mixed.begin(), mixed.begin() + 100));
  // An order the index cannot give still sorts the whole match.
  const auto byN = expected([](const Row& a, const Row& b) {
    return a.createdAt != b.createdAt ? a.createdAt < b.createdAt : a.n > b.n;
  });
  EXPECT_EQ(findIds({{"order", "createdAt,-n"}, {"limit", 100}}), std::vector<std::string>(byN.begin(), byN.begin() + 100));
}

TEST_F(PagingTest, BoundsOnCreationAndIdCountAndFilterExactly) {
  auto count = [&](json::object where) {
    auto r = client_.find("Item", {{"where", where}, {"count", 1}, {"limit", 0}, {"order", "createdAt"}});
    EXPECT_EQ(r.status, 200) << r.body;
    return r.status == 200 ? r.object().at("count").as_int64() : -1;
  };
  EXPECT_EQ(count({{"createdAt", date(kBase + 10)}}), 50);
  EXPECT_EQ(count({{"createdAt", json::object{{"$gte", date(kBase + 10)}, {"$lt", date(kBase + 20)}}}}), 500);
  EXPECT_EQ(count({{"$or", json::array{json::object{{"createdAt", json::object{{"$lte", date(kBase)}}}},
                                      json::object{{"n", 3}}}}}),
            51);
  // Only when every branch bounds the creation time may the branches' range narrow the rows.
  EXPECT_EQ(count({{"$or", json::array{json::object{{"createdAt", json::object{{"$gte", date(kBase + 49)}}}},
                                      json::object{{"objectId", rows_[0].id}}}}}),
            51);
  EXPECT_EQ(count({{"$or", json::array{json::object{{"createdAt", json::object{{"$gt", date(kBase + 48)}}}},
                                      json::object{{"createdAt", date(kBase)}, {"n", 0}}}}}),
            51);
  EXPECT_EQ(count({{"objectId", json::object{{"$gt", "k09000"}}}}),
            std::count_if(rows_.begin(), rows_.end(), [](const Row& r) { return r.id > "k09000"; }));
  // A bound of the wrong kind matches nothing, as the comparison itself does.
  EXPECT_EQ(count({{"createdAt", json::object{{"$gt", 5}}}}), 0);
  EXPECT_EQ(count({{"objectId", json::object{{"$gt", 5}}}}), 0);
}

TEST_F(PagingTest, SubQueriesHonourTheirOwnOrderBeforeSkipAndLimit) {
  // The three highest n, found through a sub-query that orders, skips one and takes three.
  const json::object sub{{"className", "Item"}, {"where", json::object{}}, {"order", "-n"}, {"skip", 1}, {"limit", 3}};
  auto r = client_.find("Item", {{"where", {{"n", {{"$select", {{"query", sub}, {"key", "n"}}}}}}}, {"order", "-n"}});
  ASSERT_EQ(r.status, 200) << r.body;
  std::vector<std::int64_t> ns;
  for (const auto& o : results(r)) ns.push_back(o.at("n").as_int64());
  EXPECT_EQ(ns, (std::vector<std::int64_t>{kObjects - 2, kObjects - 3, kObjects - 4}));

  // The same through $dontSelect, ordered by creation so the index answers the sub-query.
  const json::object newest{{"className", "Item"}, {"order", "-createdAt,-objectId"}, {"limit", 10}};
  r = client_.find("Item", {{"where", {{"n", {{"$dontSelect", {{"query", newest}, {"key", "n"}}}}}}}, {"count", 1}, {"limit", 0}});
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.object().at("count").as_int64(), kObjects - 10);
}

TEST_F(PagingTest, InQuerySubQueriesOrderBeforeLimit) {
  // Pointers to the two objects with the smallest n, chosen by an ordered, limited sub-query.
  for (int n : {0, 1, 2499})
    ASSERT_EQ(client_.post("/1/classes/Ref", {{"to", {{"__type", "Pointer"}, {"className", "Item"},
                                                       {"objectId", rows_[n].id}}}, {"n", n}}).status, 201);
  const json::object smallest{{"className", "Item"}, {"order", "n"}, {"limit", 2}};
  auto r = client_.find("Ref", {{"where", {{"to", {{"$inQuery", smallest}}}}}, {"order", "n"}});
  ASSERT_EQ(r.status, 200) << r.body;
  ASSERT_EQ(results(r).size(), 2u);
  EXPECT_EQ(results(r)[0].at("n").as_int64(), 0);
  EXPECT_EQ(results(r)[1].at("n").as_int64(), 1);
}

}  // namespace
}  // namespace keel::server::testing
