#include <keel/objects/Query.h>

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <keel/base/Exception.h>
#include <keel/base/JSONSerialization.h>
#include <keel/objects/Encoder.h>
#include <keel/objects/GeoPoint.h>
#include <keel/objects/RESTQueryCommand.h>

#include "client/objects/ObjectTestSupport.h"

#include "support/ExceptionTestSupport.h"

namespace keel {

namespace {

using testing::sameValue;

using testing::TestObject;

using testing::parse;

Value findParameters(const Query& query) {
  return Value(RESTQueryCommand::findCommandParametersForQueryState(*query.state()));
}

Value whereOf(const Query& query) { return findParameters(query).get("where"); }

using testing::reasonOf;

// ---- The wire table: state -> find and count parameters ---------------------------------------

TEST(QueryWireTest, AQueryWithNothingSetSendsNoParametersToItsClassPath) {
  auto find = RESTQueryCommand::findCommandForQueryState(*Query::queryWithClassName("Video")->state(), std::nullopt);
  EXPECT_EQ(find->httpPath(), "classes/Video");
  EXPECT_EQ(find->httpMethod(), "GET");
  EXPECT_TRUE(sameValue(find->parametersValue(), parse("{}")));

  auto count = RESTQueryCommand::countCommandFromFindCommand(*find);
  EXPECT_EQ(count->httpPath(), "classes/Video");
  EXPECT_TRUE(sameValue(count->parametersValue(), parse(R"({"count": "1", "limit": "0"})")));
}

TEST(QueryWireTest, LimitAndSkipAreWrittenIn64BitsAndCountDropsThem) {
  auto query = Query::queryWithClassName("Video");
  query->setLimit(0);
  EXPECT_TRUE(sameValue(findParameters(*query), parse(R"({"limit": "0"})")));

  query->setLimit(std::int64_t{1} << 32).setSkip(0);
  EXPECT_TRUE(sameValue(findParameters(*query), parse(R"({"limit": "4294967296"})")));

  query->setSkip((std::int64_t{1} << 32) + 5);
  EXPECT_TRUE(sameValue(findParameters(*query), parse(R"({"limit": "4294967296", "skip": "4294967301"})")));

  auto count = RESTQueryCommand::countCommandFromFindCommand(
      *RESTQueryCommand::findCommandForQueryState(*query->state(), std::string("r:token")));
  EXPECT_TRUE(sameValue(count->parametersValue(), parse(R"({"count": "1", "limit": "0"})")));
  EXPECT_EQ(count->sessionToken(), "r:token");

  query->setLimit(-1);
  EXPECT_FALSE(findParameters(*query).contains("limit"));
  EXPECT_EQ(reasonOf([&] { query->setLimit(-2); }),
            "InvalidArgumentException: A query's limit must be -1 (none) or at least 0, not -2.");
  EXPECT_EQ(reasonOf([&] { query->setSkip(-1); }), "InvalidArgumentException: A query's skip must be at least 0, not -1.");
}

TEST(QueryWireTest, KeysAndIncludesAreSortedSoEqualQueriesShareACacheKey) {
  auto a = Query::queryWithClassName("Video");
  a->selectKeys(std::vector<std::string>{"Title", "Mins"}).includeKey("owner").includeKey("author");
  auto b = Query::queryWithClassName("Video");
  b->includeKeys({"author", "owner"}).selectKeys(std::vector<std::string>{"Mins"}).selectKeys(
      std::vector<std::string>{"Title"});

  EXPECT_TRUE(sameValue(findParameters(*a), parse(R"({"keys": "Mins,Title", "include": "author,owner"})")));
  EXPECT_EQ(RESTQueryCommand::findCommandForQueryState(*a->state(), std::nullopt)->cacheKey(),
            RESTQueryCommand::findCommandForQueryState(*b->state(), std::nullopt)->cacheKey());
  EXPECT_TRUE(a->isEqual(*b));
  EXPECT_EQ(a->hash(), b->hash());

  auto none = Query::queryWithClassName("Video");
  none->selectKeys(std::vector<std::string>{});
  EXPECT_TRUE(sameValue(findParameters(*none), parse(R"({"keys": ""})")));
  none->selectKeys(std::nullopt);
  EXPECT_TRUE(sameValue(findParameters(*none), parse("{}")));
}

TEST(QueryWireTest, OrderKeysReplaceOrAppend) {
  auto query = Query::queryWithClassName("Video");
  query->orderByAscending("Title").orderByDescending("createdAt").addAscendingOrder("name").addDescendingOrder("");
  EXPECT_TRUE(sameValue(findParameters(*query), parse(R"({"order": "-createdAt,name"})")));

  query->orderBySortDescriptors({{"Mins", false}, {std::nullopt, true}, {"objectId", true}});
  EXPECT_EQ(query->state()->sortOrderString(), "-Mins,objectId");
  query->orderBySortDescriptor({std::nullopt, true});
  EXPECT_EQ(query->state()->sortOrderString(), "-Mins,objectId");
}

TEST(QueryWireTest, ConditionsOnOneKeyCombineOrReplaceAsTheBuildersSay) {
  auto query = Query::queryWithClassName("Video");
  query->whereKeyEqualTo("Mins", 5).whereKeyGreaterThan("Mins", 1);
  query->whereKeyGreaterThan("Score", 1).whereKeyLessThanOrEqualTo("Score", 9);
  query->whereKeyLessThan("Rank", 3).whereKeyEqualTo("Rank", 2);
  query->whereKeyExists("Title").whereKeyMatchesRegex("Title", "^a", "i");
  query->whereKeyHasPrefix("Prefix", "a\\E").whereKeyHasSuffix("Suffix", "z").whereKeyContainsString("Inside", ".*");
  query->whereKeyDoesNotExist("Gone").whereKeyNotContainedIn("Type", {Value("x")});
  EXPECT_TRUE(sameValue(whereOf(*query), parse(R"({
    "Mins": {"$gt": 1},
    "Score": {"$gt": 1, "$lte": 9},
    "Rank": 2,
    "Title": {"$regex": "^a", "$options": "i"},
    "Prefix": {"$regex": "^\\Qa\\E\\\\E\\Q\\E"},
    "Suffix": {"$regex": "\\Qz\\E$"},
    "Inside": {"$regex": "\\Q.*\\E"},
    "Gone": {"$exists": false},
    "Type": {"$nin": ["x"]}})")));

  query->whereKeyMatchesRegex("Title", "b", "");
  EXPECT_TRUE(sameValue(whereOf(*query).get("Title"), parse(R"({"$regex": "b"})")));
}

TEST(QueryWireTest, OperandsAreEncodedObjectsAsPointersDatesAndPointsAsSpecialValues) {
  auto owner = TestObject::saved("_User", "u1");
  auto query = Query::queryWithClassName("Video");
  query->whereKeyEqualTo("owner", Value(owner))
      .whereKeyGreaterThan("createdAt", Value(dateFromMillis(0)))
      .whereKeyNearGeoPointWithinMiles("where", GeoPoint::geoPointWithLatitude(1, 2), 3958.8)
      .whereKeyWithinGeoBoxFromSouthwest("box", GeoPoint::geoPointWithLatitude(0, 0),
                                         GeoPoint::geoPointWithLatitude(1, 1));
  EXPECT_TRUE(sameValue(whereOf(*query), parse(R"({
    "owner": {"__type": "Pointer", "className": "_User", "objectId": "u1"},
    "createdAt": {"$gt": {"__type": "Date", "iso": "1970-01-01T00:00:00.000Z"}},
    "where": {"$nearSphere": {"__type": "GeoPoint", "latitude": 1, "longitude": 2}, "$maxDistance": 1.0},
    "box": {"$within": {"$box": [{"__type": "GeoPoint", "latitude": 0, "longitude": 0},
                                 {"__type": "GeoPoint", "latitude": 1, "longitude": 1}]}}})")));

  query->whereRelatedToObject(Value(owner), "likes");
  EXPECT_TRUE(sameValue(whereOf(*query).get("$relatedTo"),
            parse(R"({"object": {"__type": "Pointer", "className": "_User", "objectId": "u1"}, "key": "likes"})")));
}

TEST(QueryWireTest, NestedQueriesBecomeTheirParametersAndOrSubqueriesTheirWhere) {
  auto inner = Query::queryWithClassName("Author");
  inner->whereKeyEqualTo("name", "Ann").setLimit(5);
  auto query = Query::queryWithClassName("Video");
  query->whereKeyMatchesQuery("author", inner).whereKeyDoesNotMatchKey("city", "home", inner);
  EXPECT_TRUE(sameValue(whereOf(*query), parse(R"({
    "author": {"$inQuery": {"where": {"name": "Ann"}, "limit": "5", "className": "Author"}},
    "city": {"$dontSelect": {"query": {"where": {"name": "Ann"}, "limit": "5", "className": "Author"},
                             "key": "home"}}})")));

  auto a = Query::queryWithClassName("Video");
  a->whereKeyEqualTo("Type", "Relax");
  auto b = Query::queryWithClassName("Video");
  auto either = Query::orQueryWithSubqueries({a, b});
  EXPECT_TRUE(sameValue(whereOf(*either), parse(R"({"$or": [{"Type": "Relax"}, {}]})")));
}

// ---- Refusals ---------------------------------------------------------------------------------

TEST(QueryTest, OrSubqueriesAreCheckedWhenTheCommandIsBuiltNotWhenCombined) {
  const std::vector<std::pair<std::function<void(Query&)>, std::string>> cases = {
      {[](Query& q) { q.setLimit(1); }, "OR queries do not support sub queries with limits"},
      {[](Query& q) { q.setSkip(1); }, "OR queries do not support sub queries with skip"},
      {[](Query& q) { q.orderByAscending("a"); }, "OR queries do not support sub queries with order"},
      {[](Query& q) { q.includeKey("a"); }, "OR queries do not support sub-queries with includes"},
      {[](Query& q) { q.selectKeys(std::vector<std::string>{}); }, "OR queries do not support sub-queries with selectKeys"},
  };
  for (const auto& [change, message] : cases) {
    auto sub = Query::queryWithClassName("Video");
    change(*sub);
    auto either = Query::orQueryWithSubqueries({sub, Query::queryWithClassName("Video")});
    EXPECT_EQ(reasonOf([&] { RESTQueryCommand::findCommandForQueryState(*either->state(), std::nullopt); }),
              "InvalidArgumentException: " + message);
  }

  EXPECT_EQ(reasonOf([] { Query::orQueryWithSubqueries({}); }),
            "InvalidArgumentException: Can't create an `or` query from no sub queries.");
  EXPECT_EQ(reasonOf([] { Query::orQueryWithSubqueries({Query::queryWithClassName("A"), nullptr}); }),
            "InvalidArgumentException: All elements should be instances of `Query` class.");
  EXPECT_EQ(reasonOf([] { Query::orQueryWithSubqueries({Query::queryWithClassName("A"), Query::queryWithClassName("B")}); }),
            "InvalidArgumentException: All sub queries of an `or` query should be on the same class.");
}

TEST(QueryTest, OperandsOfTheWrongKindAreRefused) {
  auto query = Query::queryWithClassName("Video");
  EXPECT_EQ(reasonOf([&] { query->whereKeyEqualTo("a", Value(Array{})); }),
            "InvalidArgumentException: Cannot do a comparison query for type: Array");
  EXPECT_EQ(reasonOf([&] { query->whereKeyNotEqualTo("a", Value(Query::queryWithClassName("B"))); }),
            "InvalidArgumentException: Cannot do a comparison query for type: Query");
  EXPECT_EQ(reasonOf([&] { query->whereKeyLessThan("a", Value(TestObject::saved("B", "1"))); }),
            "InvalidArgumentException: Cannot do a query that requires ordering for type: B");
  EXPECT_EQ(reasonOf([&] { query->whereKeyGreaterThan("a", Value()); }),
            "InvalidArgumentException: Cannot do a query that requires ordering for type: Null");
  EXPECT_EQ(query->state()->conditions().size(), 0u);
}

TEST(QueryTest, ClassNamesThatCouldLeaveTheirPathSegmentAreRefused) {
  for (const char* name : {"", "../users", "Video?x=1", "Video/1", "1Video", "Vidéo", "Video Game"}) {
    EXPECT_THROW(Query::queryWithClassName(name), InvalidArgumentException) << name;
    // A state made elsewhere still cannot reach the path.
    EXPECT_THROW(RESTQueryCommand::findCommandForQueryState(QueryState(name), std::nullopt), InvalidArgumentException)
        << name;
  }
  EXPECT_NO_THROW(Query::queryWithClassName("_User"));
  EXPECT_NO_THROW(Query::queryWithClassName("Video_2"));
}

TEST(QueryTest, QueriesNestedInThemselvesAreRefusedInsteadOfRecursingForever) {
  auto a = Query::queryWithClassName("A");
  EXPECT_THROW(a->whereKeyMatchesQuery("self", a), InvalidArgumentException);
  auto b = Query::queryWithClassName("B");
  a->whereKeyMatchesQuery("b", b);
  b->whereKeyMatchesQuery("a", a);
  EXPECT_THROW(a->_beginRun(), InvalidArgumentException);
  EXPECT_FALSE(a->isRunning());
  // The two queries own each other; let go so that they are freed.
  b->_changeState([](MutableQueryState& s) { s.removeAllConditions(); });
}

// ---- Running ----------------------------------------------------------------------------------

TEST(QueryTest, BuildersAreRefusedWhileRunningAndWorkAgainAfterwards) {
  auto query = Query::queryWithClassName("Video");
  query->setCachePolicy(CachePolicy::CacheElseNetwork);
  auto [source, state] = query->_beginRun();
  EXPECT_TRUE(query->isRunning());

  const std::string refused =
      "InternalInconsistencyException: This query has an outstanding network connection. You have to wait until "
      "it's done.";
  EXPECT_EQ(reasonOf([&] { query->whereKeyEqualTo("a", 1); }), refused);
  EXPECT_EQ(reasonOf([&] { query->orderByAscending("a"); }), refused);
  EXPECT_EQ(reasonOf([&] { query->setCachePolicy(CachePolicy::NetworkOnly); }), refused);
  EXPECT_EQ(reasonOf([&] { query->_beginRun(); }), refused);
  // Reading the policy and the few state-only setters stay allowed.
  EXPECT_EQ(query->cachePolicy(), CachePolicy::CacheElseNetwork);
  query->setLimit(3).setTrace(true);
  // The run keeps the state it started with.
  EXPECT_EQ(state->limit(), -1);

  // An outdated source does not end a newer run.
  query->_endRun(CancellationTokenSource::cancellationTokenSource());
  EXPECT_TRUE(query->isRunning());
  query->_endRun(source);
  EXPECT_FALSE(query->isRunning());
  EXPECT_NO_THROW(query->whereKeyEqualTo("a", 1));

  auto [second, unused] = query->_beginRun();
  query->cancel();
  EXPECT_TRUE(second->isCancellationRequested());
  EXPECT_FALSE(query->isRunning());
}

TEST(QueryTest, AStateThatCannotBeSentIsRefusedBeforeTheQueryIsMarkedRunning) {
  auto limited = Query::queryWithClassName("Video");
  limited->setLimit(1);
  auto either = Query::orQueryWithSubqueries({limited});
  EXPECT_THROW(either->_beginRun(), InvalidArgumentException);
  EXPECT_FALSE(either->isRunning());

  auto unsaved = Query::queryWithClassName("Video");
  unsaved->whereKeyEqualTo("owner", Value(TestObject::unsaved("_User")));
  EXPECT_EQ(reasonOf([&] { unsaved->_beginRun(); }),
            "InternalInconsistencyException: Tried to save an object with a new, unsaved child.");
  EXPECT_FALSE(unsaved->isRunning());

  // Text the request could not carry is refused here too, not when the request is written.
  auto notUtf8 = Query::queryWithClassName("Video");
  notUtf8->whereKeyEqualTo("Title", std::string("\x84"));
  EXPECT_THROW(notUtf8->_beginRun(), InvalidArgumentException);
  EXPECT_FALSE(notUtf8->isRunning());

  MutableQueryState state("Video");
  state.setShouldIgnoreACLs(true);
  auto ignoring = Query::queryWithState(state);
  EXPECT_EQ(reasonOf([&] { ignoring->_beginRun(); }),
            "InternalInconsistencyException: `ignoreACLs` can only be used with Local Datastore queries.");
  EXPECT_FALSE(ignoring->isRunning());
}

TEST(QueryTest, OfRacingRunsExactlyOneStarts) {
  for (int round = 0; round < 50; ++round) {
    auto query = Query::queryWithClassName("Video");
    std::atomic<int> started{0};
    std::atomic<int> refused{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
      threads.emplace_back([&] {
        try {
          query->_beginRun();
          ++started;
        } catch (const InternalInconsistencyException&) {
          ++refused;
        }
      });
    }
    for (auto& t : threads) t.join();
    ASSERT_EQ(started.load(), 1);
    ASSERT_EQ(refused.load(), 3);
  }
}

TEST(QueryStateTest, CopiesFreezeAndThawWithoutSharingChanges) {
  MutableQueryState state("Video");
  state.setConditionType("$gt", Value(1), "Mins");
  state.selectKeys(std::vector<std::string>{"b", "a"});
  state.setMaxCacheAge(30);
  QueryStatePtr frozen = state.copy();
  auto thawed = frozen->mutableCopy();
  EXPECT_EQ(*frozen, state);
  EXPECT_EQ(frozen->hash(), state.hash());

  thawed->setConditionType("$lt", Value(9), "Mins");
  thawed->selectKeys(std::nullopt);
  EXPECT_NE(*thawed, *frozen);
  EXPECT_TRUE(sameValue(Value(frozen->conditions()), parse(R"({"Mins": {"$gt": 1}})")));
  EXPECT_TRUE(frozen->selectedKeys().has_value());

  // Conditions compare as values: key order and number kinds do not matter.
  MutableQueryState other("Video");
  other.selectKeys(std::vector<std::string>{"a", "b"});
  other.setConditionType("$gt", Value(1.0), "Mins");
  other.setMaxCacheAge(30);
  EXPECT_EQ(other, *frozen);
  EXPECT_NE(frozen->description().find("selectedKeys = (a, b);"), std::string::npos) << frozen->description();
}

TEST(QueryTest, ACopyIsEqualButIndependent) {
  auto query = Query::queryWithClassName("Video");
  query->whereKeyEqualTo("Type", "Relax").setMaxCacheAge(60);
  auto copy = query->copy();
  EXPECT_TRUE(query->isEqual(*copy));
  EXPECT_EQ(query->hash(), copy->hash());
  copy->whereKeyEqualTo("Type", "Energize");
  EXPECT_FALSE(query->isEqual(*copy));
  EXPECT_TRUE(sameValue(query->state()->conditions()["Type"], Value("Relax")));
  EXPECT_THROW(query->setMaxCacheAge(std::nan("")), InvalidArgumentException);
}

TEST(QueryTest, LocalDatastoreFormsNeedItEnabled) {
  auto query = Query::queryWithClassName("Video");
  EXPECT_EQ(reasonOf([&] { query->fromLocalDatastore(); }), "InternalInconsistencyException: Method requires Pinning enabled.");
  EXPECT_EQ(reasonOf([&] { query->fromPin(); }), "InternalInconsistencyException: Method requires Pinning enabled.");
  EXPECT_EQ(reasonOf([&] { query->ignoreACLs(); }), "InternalInconsistencyException: Method requires Pinning enabled.");
}

}  // namespace
}  // namespace keel
