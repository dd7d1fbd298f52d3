#include <keel/network/RESTCommand.h>

#include <gtest/gtest.h>

#include <map>
#include <thread>
#include <vector>

#include <keel/base/Crypto.h>
#include <keel/base/Exception.h>

namespace keel {
namespace {

class MapLocalIdStore : public LocalIdLookup {
 public:
  std::map<std::string, std::string> ids;
  std::optional<std::string> objectIdForLocalId(const std::string& localId) override {
    auto it = ids.find(localId);
    if (it == ids.end()) return std::nullopt;
    return it->second;
  }
};

Value pointer(const std::string& className, const std::string& idKey, const std::string& id) {
  return Value(Dictionary{{"__type", Value("Pointer")}, {"className", Value(className)}, {idKey, Value(id)}});
}

TEST(RESTCommandCacheKeyTest, IsStableAcrossKeyOrderAndSensitiveToTheSessionToken) {
  auto a = RESTCommand::commandWithHTTPPath("classes/Video", "GET",
                                            Dictionary{{"limit", Value(10)}, {"where", Value(Dictionary{{"Mins", Value(5)}})}},
                                            std::string("r:abc"));
  auto b = RESTCommand::commandWithHTTPPath("classes/Video", "GET",
                                            Dictionary{{"where", Value(Dictionary{{"Mins", Value(5)}})}, {"limit", Value(10)}},
                                            std::string("r:abc"));
  auto c = RESTCommand::commandWithHTTPPath("classes/Video", "GET",
                                            Dictionary{{"limit", Value(10)}, {"where", Value(Dictionary{{"Mins", Value(5)}})}},
                                            std::nullopt);
  EXPECT_EQ(a->cacheKey(), b->cacheKey());
  EXPECT_NE(a->cacheKey(), c->cacheKey());
  EXPECT_EQ(a->cacheKey(), "RESTCommand.1.GET." + md5HexDigest("classes/Video") + ".2." +
                               md5HexDigest(R"({"parameters":{"limit":10,"where":{"Mins":5,},},"sessionToken":"r:abc",})"));
}

TEST(RESTCommandCacheKeyTest, WritesEveryEntryAndElementWithATrailingSeparator) {
  Value v(Dictionary{{"b", Value(Array{Value(1), Value(nullptr), Value(true)})}, {"a", Value(1.5)}});
  EXPECT_EQ(RESTCommand::cacheKeyForObject(v), R"({"a":1.5,"b":[1,null,1,],})");
}

TEST(RESTCommandCacheKeyTest, EscapesStringsSoThatDifferentParametersNeverShareAKey) {
  // Without escaping both canonical texts would read {"a":"x","b":"y",}.
  Value forged(Dictionary{{"a", Value("x\",\"b\":\"y")}});
  Value honest(Dictionary{{"a", Value("x")}, {"b", Value("y")}});
  EXPECT_NE(RESTCommand::cacheKeyForObject(forged), RESTCommand::cacheKeyForObject(honest));
  Value forgedKey(Dictionary{{"a\":\"x\",\"b", Value("y")}});
  EXPECT_NE(RESTCommand::cacheKeyForObject(forgedKey), RESTCommand::cacheKeyForObject(honest));
}

TEST(RESTCommandCacheKeyTest, RejectsValuesThatAreNotJSON) {
  auto command = RESTCommand::commandWithHTTPPath("classes/Video", "GET", Dictionary{{"at", Value(dateNow())}},
                                                  std::nullopt);
  try {
    command->cacheKey();
    FAIL() << "expected an exception";
  } catch (const InvalidArgumentException& e) {
    EXPECT_TRUE(e.reason().starts_with("Couldn't create cache key from ")) << e.reason();
  }
}

TEST(RESTCommandCacheKeyTest, FollowsTheContentOfEveryCommandDerivedFromAnother) {
  auto find = RESTCommand::commandWithHTTPPath("classes/Video", "GET", Dictionary{{"limit", Value(10)}}, std::nullopt);
  const std::string anonymousKey = find->cacheKey();  // computed and kept before deriving

  auto signedIn = find->commandWithSessionToken(std::string("r:abc"));
  EXPECT_NE(signedIn->cacheKey(), anonymousKey);
  EXPECT_EQ(signedIn->cacheKey(), RESTCommand::commandWithHTTPPath("classes/Video", "GET",
                                                                   Dictionary{{"limit", Value(10)}},
                                                                   std::string("r:abc"))
                                      ->cacheKey());
  EXPECT_EQ(signedIn->commandWithSessionToken(std::nullopt)->cacheKey(), anonymousKey);

  auto more = find->commandWithParameters(Dictionary{{"limit", Value(20)}});
  EXPECT_NE(more->cacheKey(), anonymousKey);
  EXPECT_EQ(more->commandWithParameters(Dictionary{{"limit", Value(10)}})->cacheKey(), anonymousKey);

  // Neither the key nor the content of the command derived from changed.
  EXPECT_EQ(find->cacheKey(), anonymousKey);
  EXPECT_FALSE(find->sessionToken());
  EXPECT_EQ(find->parameters(), (Dictionary{{"limit", Value(10)}}));
}

TEST(RESTCommandCacheKeyTest, OfAResolvedCommandIsThatOfTheCommandItBecame) {
  MapLocalIdStore store;
  store.ids["local_1"] = "obj1";
  auto queued = RESTCommand::commandWithHTTPPath(
      "classes/Favorite", "POST", Dictionary{{"video", pointer("Video", "localId", "local_1")}}, std::nullopt);
  const std::string queuedKey = queued->cacheKey();
  auto resolved = queued->resolveLocalIds(&store);
  auto direct = RESTCommand::commandWithHTTPPath(
      "classes/Favorite", "POST", Dictionary{{"video", pointer("Video", "objectId", "obj1")}}, std::nullopt);
  EXPECT_EQ(resolved->cacheKey(), direct->cacheKey());
  EXPECT_NE(resolved->cacheKey(), queuedKey);
  EXPECT_EQ(queued->cacheKey(), queuedKey);
}

TEST(RESTCommandCacheKeyTest, IsTheSameForManyThreadsAskingAtOnce) {
  auto command = RESTCommand::commandWithHTTPPath(
      "classes/Video", "GET", Dictionary{{"where", Value(Dictionary{{"Mins", Value(5)}})}}, std::string("r:t"));
  const std::string expected = RESTCommand::commandWithHTTPPath(
      "classes/Video", "GET", Dictionary{{"where", Value(Dictionary{{"Mins", Value(5)}})}}, std::string("r:t"))->cacheKey();
  std::vector<std::string> keys(8);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < keys.size(); ++i)
    threads.emplace_back([&, i] {
      // Deriving reads the same command while others compute its key.
      auto derived = command->commandWithLocalId(std::string("l"));
      keys[i] = command->cacheKey();
      EXPECT_EQ(derived->cacheKey(), expected);  // the local id is not part of the key
    });
  for (auto& t : threads) t.join();
  for (const auto& k : keys) EXPECT_EQ(k, expected);
}

TEST(RESTCommandDictionaryTest, RoundTripsThePersistentFieldsOnly) {
  auto command = RESTCommand::commandWithHTTPPath<RESTCommand>("classes/Video", "POST", Dictionary{{"Mins", Value(5)}},
                                                               std::string("op-1"), std::string("r:tok"))
                     ->commandWithLocalId(std::string("local_1"))
                     ->commandWithAdditionalRequestHeaders(Dictionary{{"X-Extra", Value("1")}});
  EXPECT_EQ(command->operationSetUUID(), std::optional<std::string>("op-1"));
  Dictionary d = command->dictionaryRepresentation();
  EXPECT_EQ(d.size(), 5u);
  EXPECT_FALSE(d.contains("operationSetUUID"));

  auto back = RESTCommand::commandFromDictionaryRepresentation(d);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->httpPath(), "classes/Video");
  EXPECT_EQ(back->httpMethod(), "POST");
  EXPECT_EQ(back->parameters(), command->parameters());
  EXPECT_EQ(back->sessionToken(), std::optional<std::string>("r:tok"));
  EXPECT_EQ(back->localId(), std::optional<std::string>("local_1"));
  EXPECT_FALSE(back->operationSetUUID());
  EXPECT_FALSE(back->additionalRequestHeaders());
  EXPECT_EQ(back->cacheKey(), command->cacheKey());

  d.remove("httpPath");
  EXPECT_FALSE(RESTCommand::isValidDictionaryRepresentation(d));
  EXPECT_EQ(RESTCommand::commandFromDictionaryRepresentation(d), nullptr);
}

TEST(RESTCommandLocalIdTest, TurnsAQueuedCreateIntoAnUpdateOfTheObjectThatGotItsId) {
  MapLocalIdStore store;
  store.ids["local_1"] = "abc123";
  auto queued = RESTCommand::commandWithHTTPPath("classes/Video", "POST", Dictionary{{"Mins", Value(5)}}, std::nullopt)
                    ->commandWithLocalId(std::string("local_1"));
  auto command = queued->resolveLocalIds(&store);
  EXPECT_EQ(command->httpMethod(), "PUT");
  EXPECT_EQ(command->httpPath(), "classes/Video/abc123");
  EXPECT_FALSE(command->localId());
  // The queue still holds the command it stored, local id and all.
  EXPECT_EQ(queued->httpMethod(), "POST");
  EXPECT_EQ(queued->httpPath(), "classes/Video");
  EXPECT_EQ(queued->localId(), std::optional<std::string>("local_1"));

  auto unknown = RESTCommand::commandWithHTTPPath("classes/Video", "POST", std::nullopt, std::nullopt)
                     ->commandWithLocalId(std::string("local_2"));
  EXPECT_EQ(unknown->resolveLocalIds(&store), unknown);
  EXPECT_EQ(unknown->resolveLocalIds(nullptr), unknown);
}

TEST(RESTCommandLocalIdTest, RefusesToDeleteAnObjectThatNeverGotAnId) {
  MapLocalIdStore store;
  auto command = RESTCommand::commandWithHTTPPath("classes/Video", "DELETE", std::nullopt, std::nullopt)
                     ->commandWithLocalId(std::string("local_9"));
  for (LocalIdLookup* lookup : {static_cast<LocalIdLookup*>(&store), static_cast<LocalIdLookup*>(nullptr)}) {
    try {
      (void)command->resolveLocalIds(lookup);
      FAIL() << "expected an exception";
    } catch (const InternalInconsistencyException& e) {
      EXPECT_EQ(e.reason(), "Attempt to delete non-existent object.");
    }
  }
  store.ids["local_9"] = "gone1";
  auto resolved = command->resolveLocalIds(&store);
  EXPECT_EQ(resolved->httpMethod(), "DELETE");
  EXPECT_EQ(resolved->httpPath(), "classes/Video/gone1");
}

TEST(RESTCommandLocalIdTest, ReplacesNestedLocalPointersWhoseObjectsHaveIds) {
  MapLocalIdStore store;
  store.ids["local_1"] = "obj1";
  auto command = RESTCommand::commandWithHTTPPath(
      "classes/Favorite", "POST",
      Dictionary{{"video", pointer("Video", "localId", "local_1")},
                 {"others", Value(Array{pointer("Video", "localId", "local_2"), pointer("Video", "objectId", "x")})}},
      std::nullopt);
  auto resolved = command->resolveLocalIds(&store);
  ASSERT_NE(resolved, command);
  auto p = *resolved->parameters();
  EXPECT_EQ(p["video"], pointer("Video", "objectId", "obj1"));
  EXPECT_EQ(p["others"].arrayValue()[0], pointer("Video", "localId", "local_2"));
  EXPECT_EQ(p["others"].arrayValue()[1], pointer("Video", "objectId", "x"));
  EXPECT_EQ((*command->parameters())["video"], pointer("Video", "localId", "local_1"));
  EXPECT_EQ(resolved->resolveLocalIds(&store), resolved);
}

TEST(RESTCommandValueTest, CommandsDerivedFromAFamilyCommandKeepItsClass) {
  auto login = RESTUserCommand::logInUserCommandWithUsername("ann", "pw", true);
  auto withToken = std::dynamic_pointer_cast<const RESTUserCommand>(login->commandWithSessionToken(std::string("r:x")));
  ASSERT_TRUE(withToken);
  EXPECT_TRUE(withToken->revocableSessionEnabled());
  EXPECT_EQ(withToken->additionalRequestHeaders(), login->additionalRequestHeaders());
  EXPECT_EQ(withToken->parameters(), login->parameters());
  EXPECT_FALSE(login->sessionToken());

  MapLocalIdStore store;
  store.ids["l1"] = "o1";
  auto cloud = RESTCloudCommand::commandForFunction("hello", Dictionary{{"p", pointer("Video", "localId", "l1")}},
                                                    std::nullopt);
  EXPECT_TRUE(std::dynamic_pointer_cast<const RESTCloudCommand>(cloud->resolveLocalIds(&store)));
}

TEST(RESTCommandFamilyTest, BuildsUserCommandsWithTheRevocableSessionHeader) {
  auto login = RESTUserCommand::logInUserCommandWithUsername("ann", "pw", true);
  EXPECT_EQ(login->httpPath(), "login");
  EXPECT_EQ(login->httpMethod(), "GET");
  EXPECT_EQ(login->parameters()->operator[]("username"), Value("ann"));
  EXPECT_EQ(login->additionalRequestHeaders(), (Dictionary{{"X-Keel-Revocable-Session", Value("1")}}));
  EXPECT_FALSE(RESTUserCommand::logInUserCommandWithUsername("ann", "pw", false)->additionalRequestHeaders());
  EXPECT_EQ(RESTCloudCommand::commandForFunction("hello", std::nullopt, std::nullopt)->httpPath(), "functions/hello");
  auto update = RESTConfigCommand::configUpdateCommandWithConfigParameters(Dictionary{{"k", Value(1)}}, std::nullopt);
  EXPECT_EQ(update->httpMethod(), "PUT");
  EXPECT_TRUE(update->parameters()->contains("params"));
  EXPECT_EQ(RESTFileCommand::uploadCommandForFileWithName("a.png", std::nullopt)->httpPath(), "files/a.png");
  EXPECT_EQ(RESTAnalyticsCommand::trackEventCommandWithName("Search", std::nullopt, std::nullopt)->httpPath(),
            "events/Search");
}

TEST(RESTCommandFamilyTest, BatchesAtMostFiftyCommands) {
  std::vector<RESTCommandPtr> commands{
      RESTCommand::commandWithHTTPPath("classes/Video", "POST", Dictionary{{"Mins", Value(5)}}, std::nullopt),
      RESTCommand::commandWithHTTPPath("classes/Video/x", "DELETE", std::nullopt, std::nullopt)};
  auto batch = RESTObjectBatchCommand::batchCommandWithCommands(commands, std::string("r:t"));
  EXPECT_EQ(batch->httpPath(), "batch");
  const auto& requests = batch->parameters()->operator[]("requests").arrayValue();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0], Value(Dictionary{{"method", Value("POST")},
                                          {"path", Value("/1/classes/Video")},
                                          {"body", Value(Dictionary{{"Mins", Value(5)}})}}));
  EXPECT_FALSE(requests[1].contains("body"));

  std::vector<RESTCommandPtr> tooMany(51, commands[0]);
  try {
    RESTObjectBatchCommand::batchCommandWithCommands(tooMany, std::nullopt);
    FAIL() << "expected an exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.reason(), "Max of 50 commands are allowed in a single batch command");
  }
  tooMany.pop_back();
  EXPECT_NO_THROW(RESTObjectBatchCommand::batchCommandWithCommands(tooMany, std::nullopt));
}

}  // namespace
}  // namespace keel
