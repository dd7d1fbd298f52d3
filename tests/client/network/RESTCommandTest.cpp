#include <keel/network/RESTCommand.h>

#include <gtest/gtest.h>

#include <map>

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

TEST(RESTCommandDictionaryTest, RoundTripsThePersistentFieldsOnly) {
  auto command = RESTCommand::commandWithHTTPPath<RESTCommand>("classes/Video", "POST", Dictionary{{"Mins", Value(5)}},
                                                               std::string("op-1"), std::string("r:tok"));
  command->setLocalId(std::string("local_1"));
  command->setAdditionalRequestHeaders(Dictionary{{"X-Extra", Value("1")}});
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

  d.remove("httpPath");
  EXPECT_FALSE(RESTCommand::isValidDictionaryRepresentation(d));
  EXPECT_EQ(RESTCommand::commandFromDictionaryRepresentation(d), nullptr);
}

TEST(RESTCommandLocalIdTest, TurnsAQueuedCreateIntoAnUpdateOfTheObjectThatGotItsId) {
  MapLocalIdStore store;
  store.ids["local_1"] = "abc123";
  auto command = RESTCommand::commandWithHTTPPath("classes/Video", "POST", Dictionary{{"Mins", Value(5)}}, std::nullopt);
  command->setLocalId(std::string("local_1"));
  command->resolveLocalIds(&store);
  EXPECT_EQ(command->httpMethod(), "PUT");
  EXPECT_EQ(command->httpPath(), "classes/Video/abc123");
  EXPECT_FALSE(command->localId());

  auto unknown = RESTCommand::commandWithHTTPPath("classes/Video", "POST", std::nullopt, std::nullopt);
  unknown->setLocalId(std::string("local_2"));
  unknown->resolveLocalIds(&store);
  EXPECT_EQ(unknown->httpMethod(), "POST");
  EXPECT_EQ(unknown->localId(), std::optional<std::string>("local_2"));
}

TEST(RESTCommandLocalIdTest, RefusesToDeleteAnObjectThatNeverGotAnId) {
  MapLocalIdStore store;
  auto command = RESTCommand::commandWithHTTPPath("classes/Video", "DELETE", std::nullopt, std::nullopt);
  command->setLocalId(std::string("local_9"));
  try {
    command->resolveLocalIds(&store);
    FAIL() << "expected an exception";
  } catch (const InternalInconsistencyException& e) {
    EXPECT_EQ(e.reason(), "Attempt to delete non-existent object.");
  }
}

TEST(RESTCommandLocalIdTest, ReplacesNestedLocalPointersWhoseObjectsHaveIds) {
  MapLocalIdStore store;
  store.ids["local_1"] = "obj1";
  auto command = RESTCommand::commandWithHTTPPath(
      "classes/Favorite", "POST",
      Dictionary{{"video", pointer("Video", "localId", "local_1")},
                 {"others", Value(Array{pointer("Video", "localId", "local_2"), pointer("Video", "objectId", "x")})}},
      std::nullopt);
  EXPECT_TRUE(command->forEachLocalId(&store));
  auto p = *command->parameters();
  EXPECT_EQ(p["video"], pointer("Video", "objectId", "obj1"));
  EXPECT_EQ(p["others"].arrayValue()[0], pointer("Video", "localId", "local_2"));
  EXPECT_FALSE(command->forEachLocalId(&store));
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
