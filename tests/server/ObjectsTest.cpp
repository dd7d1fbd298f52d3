#include "server/Objects.h"

#include <gtest/gtest.h>

#include <regex>

#include "server/ServerTestSupport.h"

namespace keel::server::testing {
namespace {

class ObjectsTest : public ::testing::Test {
 protected:
  std::string create(const std::string& cls, const json::object& body) {
    auto r = client_.post("/1/classes/" + cls, body);
    EXPECT_EQ(r.status, 201) << r.body;
    return std::string(r.object().at("objectId").as_string());
  }
  json::object fetch(const std::string& cls, const std::string& id) {
    return client_.get("/1/classes/" + cls + "/" + id).object();
  }
  int errorCode(const Reply& r) { return static_cast<int>(r.object().at("code").as_int64()); }

  TestServer server_;
  HttpClient client_{server_.port()};
};

TEST_F(ObjectsTest, CreateAnswers201WithTenCharacterIdAndTimes) {
  auto r = client_.post("/1/classes/Video", json::object{{"Title", "Calm"}, {"Mins", 5}});
  ASSERT_EQ(r.status, 201);
  const std::string id(r.object().at("objectId").as_string());
  EXPECT_TRUE(std::regex_match(id, std::regex("[A-Za-z0-9]{10}"))) << id;
  const auto created = r.object().at("createdAt").as_string();
  auto stored = fetch("Video", id);
  EXPECT_EQ(stored.at("Title"), "Calm");
  EXPECT_EQ(stored.at("createdAt"), created);
  EXPECT_EQ(stored.at("updatedAt"), created);
}

TEST_F(ObjectsTest, SpecialValuesComeBackInTheirJSONForms) {
  const json::object body{
      {"when", {{"__type", "Date"}, {"iso", "2015-06-01T08:30:00.125Z"}}},
      {"plain", {{"__type", "Date"}, {"iso", "2015-06-01 08:30:00"}}},
      {"data", {{"__type", "Bytes"}, {"base64", "aGVsbG8="}}},
      {"where", {{"__type", "GeoPoint"}, {"latitude", 52.5}, {"longitude", 13.4}}},
      {"owner", {{"__type", "Pointer"}, {"className", "Person"}, {"objectId", "abc"}}},
      {"file", {{"__type", "File"}, {"name", "a.png"}, {"url", "http://h/a.png"}}},
      {"nested", {{"list", json::array{1, "two", nullptr}}}}};
  const auto id = create("Thing", body);
  auto stored = fetch("Thing", id);
  for (const char* key : {"when", "data", "where", "owner", "file", "nested"})
    EXPECT_EQ(stored.at(key), body.at(key)) << key;
  EXPECT_EQ(stored.at("plain").at("iso"), "2015-06-01T08:30:00.000Z");
}

TEST_F(ObjectsTest, StoresFloatingNumbersExactlyAsSent) {
  // Numbers of 17 digits that a merely close reading would change in the last place.
  const json::object body{{"score", 4.1851944843074307E-7}, {"ratio", 1.0094232857227325E-4},
                          {"list", json::array{-3.6296844482421875E-3}}};
  const auto id = create("Thing", body);
  const auto reply = client_.get("/1/classes/Thing/" + id);
  for (const char* text : {"4.1851944843074307e-7", "0.00010094232857227325", "-0.0036296844482421875"})
    EXPECT_NE(reply.body.find(text), std::string::npos) << text << " in " << reply.body;
}

TEST_F(ObjectsTest, RefusesMalformedSpecialValuesWith111) {
  for (const char* bad : {R"({"d": {"__type": "Date", "iso": "not a date"}})",
                          R"({"p": {"__type": "Pointer", "className": "X"}})",
                          R"({"g": {"__type": "GeoPoint", "latitude": 91, "longitude": 0}})",
                          R"({"u": {"__type": "Unknown"}})",
                          R"({"o": {"__op": "Explode"}})"}) {
    auto r = client_.send("POST", "/1/classes/Thing", bad);
    EXPECT_EQ(r.status, 400) << bad;
    EXPECT_EQ(errorCode(r), 111) << bad;
  }
  EXPECT_EQ(results(client_.find("Thing")).size(), 0u);
}

TEST_F(ObjectsTest, RefusesSpecialValuesThatWouldBeStoredWrongAndGoesOnServing) {
  const auto id = create("Thing", {{"n", 1}});
  for (const char* bad : {
           // Not base64: stored as sent, it would fail every client that decodes it.
           R"({"b": {"__type": "Bytes", "base64": "!!!!"}})",
           R"({"b": {"__type": "Bytes", "base64": "aGVsbG8"}})",
           R"({"b": {"__type": "Bytes", "base64": "aG=sbG8="}})",
           R"({"b": {"__type": "Bytes", "base64": "aGVs\nbG8="}})",
           // Members would be dropped without a word.
           R"({"r": {"__type": "Relation", "className": "Tag", "objects": []}})",
           // Texts the date functions read as some date, though they name none.
           R"({"d": {"__type": "Date", "iso": "now"}})",
           R"({"d": {"__type": "Date", "iso": "12345"}})",
           R"({"d": {"__type": "Date", "iso": "2459000.5"}})",
           R"({"d": {"__type": "Date", "iso": "2015-02-29T00:00:00Z"}})",
           R"({"d": {"__type": "Date", "iso": "2015-06-01T24:00:00Z"}})",
           R"({"d": {"__type": "Date", "iso": "2015-06-01T08:30:00.125Z junk"}})",
           R"({"d": {"__type": "Date", "iso": ""}})",
           R"({"d": {"__type": "Date", "iso": 1433147400}})",
           // Pointers to no possible class.
           R"({"p": {"__type": "Pointer", "className": "1abc", "objectId": "x"}})",
           R"({"p": {"__type": "Pointer", "className": "a.b", "objectId": "x"}})",
           R"({"p": {"__type": "Pointer", "className": 7, "objectId": "x"}})",
           R"({"p": {"__type": "Object", "className": "_", "objectId": "x"}})",
           // The same inside arrays and operations.
           R"({"list": [1, {"__type": "Date", "iso": "now"}]})",
           R"({"list": {"__op": "Add", "objects": [{"__type": "Bytes", "base64": "%%%%"}]}})",
           R"({"rel": {"__op": "AddRelation", "objects": [{"__type": "Pointer", "className": "no way", "objectId": "x"}]}})"}) {
    auto created = client_.send("POST", "/1/classes/Thing", bad);
    EXPECT_EQ(created.status, 400) << bad;
    EXPECT_EQ(errorCode(created), 111) << bad << " " << created.body;
    EXPECT_EQ(errorCode(client_.send("PUT", "/1/classes/Thing/" + id, bad)), 111) << bad;
  }
  auto left = client_.find("Thing");
  ASSERT_EQ(left.status, 200);
  ASSERT_EQ(results(left).size(), 1u);
  EXPECT_EQ(results(left)[0].as_object().size(), 4u) << "a refused update changed the object";
}

TEST_F(ObjectsTest, AcceptsEveryISODateFormAndStoresThePreciseText) {
  const std::pair<const char*, const char*> forms[] = {
      {"2015-06-01", "2015-06-01T00:00:00.000Z"},
      {"2015-06-01T08:30Z", "2015-06-01T08:30:00.000Z"},
      {"2015-06-01T08:30:05Z", "2015-06-01T08:30:05.000Z"},
      {"2015-06-01 08:30:05.5", "2015-06-01T08:30:05.500Z"},
      {"2015-06-01T10:30:00.125+02:00", "2015-06-01T08:30:00.125Z"},
      {"2016-02-29T00:00:00.000Z", "2016-02-29T00:00:00.000Z"},
      {"1970-01-01T00:00:00Z", "1970-01-01T00:00:00.000Z"}};
  for (const auto& [sent, stored] : forms) {
    const auto id = create("Dated", {{"d", {{"__type", "Date"}, {"iso", sent}}}});
    EXPECT_EQ(fetch("Dated", id).at("d").at("iso"), stored) << sent;
  }
  // Base64 of every length, pointers to the backend's own classes.
  const auto id = create("Dated", {{"b0", {{"__type", "Bytes"}, {"base64", ""}}},
                                   {"b1", {{"__type", "Bytes"}, {"base64", "aA=="}}},
                                   {"b2", {{"__type", "Bytes"}, {"base64", "aGk="}}},
                                   {"p", {{"__type", "Pointer"}, {"className", "_User"}, {"objectId", "u1"}}}});
  EXPECT_EQ(fetch("Dated", id).at("b1").at("base64"), "aA==");
}

// Found by fuzzing: the refusal quoted the class name of the path, a byte that is not UTF-8
// made the error body unwritable, and the request answered 500.
TEST_F(ObjectsTest, AClassNameThatIsNotUTF8IsRefusedWithAWellFormedMessage) {
  for (const std::string path : {"/1/classes/\xB5hunk", "/1/classes/%B5hunk", "/1/classes/\xF4\x90\x80\x80"}) {
    auto r = client_.send("POST", path, R"({"a": 1})");
    EXPECT_EQ(r.status, 400) << r.body;
    EXPECT_EQ(errorCode(r), 103) << r.body;
    EXPECT_NE(r.object().at("error").as_string().find("\xEF\xBF\xBD"), std::string::npos) << r.body;
  }
  EXPECT_EQ(client_.send("POST", "/1/classes/Fine", R"({"a": 1})").status, 201) << "the server goes on serving";
}

TEST_F(ObjectsTest, NumbersBeyondADoubleAreRefusedAtTheDoorAndTheClassStaysReadable) {
  const auto id = create("Big", {{"n", 1.5e308}});
  for (const char* bad : {R"({"n": 1e400})", R"({"list": [1, -1e400]})", R"({"deep": {"x": 1e999999}})",
                          R"({"_method": "GET", "where": {"n": {"$lt": 1e400}}})"}) {
    auto r = client_.send("POST", "/1/classes/Big", bad);
    EXPECT_EQ(r.status, 400) << bad;
    EXPECT_EQ(errorCode(r), 107) << bad;
    EXPECT_NE(r.object().at("error").as_string().find("number out of range"), std::string::npos) << r.body;
  }
  // The same in a query string's where.
  EXPECT_EQ(errorCode(client_.get("/1/classes/Big?where=%7B%22n%22%3A1e400%7D")), 107);
  // An increment past the largest double would store infinity just the same.
  auto overflow = client_.put("/1/classes/Big/" + id, json::object{{"n", {{"__op", "Increment"}, {"amount", 1.5e308}}}});
  EXPECT_EQ(overflow.status, 400);
  EXPECT_EQ(errorCode(overflow), 111);
  // Tiny numbers read as zero or a subnormal; they are numbers all the same.
  EXPECT_EQ(client_.send("POST", "/1/classes/Big", R"({"tiny": 1e-400})").status, 201);
  auto all = client_.find("Big");
  ASSERT_EQ(all.status, 200) << all.body;
  EXPECT_EQ(results(all).size(), 2u);
  EXPECT_EQ(fetch("Big", id).at("n").as_double(), 1.5e308);
}

TEST_F(ObjectsTest, RefusesReservedAndInvalidFieldNames) {
  EXPECT_EQ(errorCode(client_.post("/1/classes/Thing", json::object{{"objectId", "mine"}})), 105);
  EXPECT_EQ(errorCode(client_.post("/1/classes/Thing", json::object{{"_secret", 1}})), 105);
  EXPECT_EQ(errorCode(client_.post("/1/classes/Thing", json::object{{"className", "X"}})), 105);
  EXPECT_EQ(errorCode(client_.post("/1/classes/Thing", json::object{{"a-b", 1}})), 105);
  EXPECT_EQ(errorCode(client_.post("/1/classes/Thing", json::object{{"d", {{"$where", 1}}}})), 121);
  EXPECT_EQ(errorCode(client_.post("/1/classes/Bad-Class", json::object{{"a", 1}})), 103);
  // Server-owned times sent back by a client are ignored, not refused.
  const auto id = create("Thing", {{"createdAt", "1999-01-01T00:00:00.000Z"}, {"a", 1}});
  EXPECT_NE(fetch("Thing", id).at("createdAt"), "1999-01-01T00:00:00.000Z");
}

TEST_F(ObjectsTest, KeepsEachFieldToTheTypeItWasFirstStoredWith) {
  const auto id = create("Video", {{"Mins", 5}, {"owner", {{"__type", "Pointer"}, {"className", "A"}, {"objectId", "x"}}}});
  auto mismatch = client_.put("/1/classes/Video/" + id, json::object{{"Mins", "five"}});
  EXPECT_EQ(mismatch.status, 400);
  EXPECT_EQ(errorCode(mismatch), 111);
  EXPECT_NE(mismatch.object().at("error").as_string().find("expected Number but got String"), std::string::npos);
  EXPECT_EQ(errorCode(client_.post("/1/classes/Video", json::object{{"Mins", true}})), 111);
  EXPECT_EQ(errorCode(client_.put("/1/classes/Video/" + id,
                                  json::object{{"owner", {{"__type", "Pointer"}, {"className", "B"}, {"objectId", "y"}}}})),
            111);
  // Null fits every type, and a refused update changed nothing.
  EXPECT_EQ(client_.put("/1/classes/Video/" + id, json::object{{"Mins", nullptr}}).status, 200);
  EXPECT_EQ(client_.put("/1/classes/Video/" + id, json::object{{"Mins", 10}}).status, 200);
  EXPECT_EQ(fetch("Video", id).at("Mins"), 10);
}

TEST_F(ObjectsTest, UpdateAnswersUpdatedAtAndTheValuesOperationsComputed) {
  const auto id = create("Counter", {{"n", 1}, {"x", 1.5}, {"tags", json::array{"a", "b"}}, {"gone", 1}});
  auto r = client_.put("/1/classes/Counter/" + id,
                       json::object{{"n", {{"__op", "Increment"}, {"amount", 2}}},
                                    {"x", {{"__op", "Increment"}, {"amount", 1}}},
                                    {"fresh", {{"__op", "Increment"}, {"amount", 7}}},
                                    {"tags", {{"__op", "Add"}, {"objects", json::array{"a", "c"}}}},
                                    {"gone", {{"__op", "Delete"}}}});
  ASSERT_EQ(r.status, 200) << r.body;
  const auto reply = r.object();
  EXPECT_TRUE(reply.contains("updatedAt"));
  EXPECT_EQ(reply.at("n"), 3);
  EXPECT_EQ(reply.at("x").as_double(), 2.5);
  EXPECT_EQ(reply.at("fresh"), 7);
  EXPECT_EQ(reply.at("tags"), (json::array{"a", "b", "a", "c"}));
  auto stored = fetch("Counter", id);
  EXPECT_EQ(stored.at("n"), 3);
  EXPECT_FALSE(stored.contains("gone"));
  EXPECT_EQ(stored.at("updatedAt"), reply.at("updatedAt"));
}

TEST_F(ObjectsTest, AddUniqueAndRemoveCompareValuesAndPointersByIdentity) {
  const json::object p1{{"__type", "Pointer"}, {"className", "P"}, {"objectId", "one"}};
  const json::object p2{{"__type", "Pointer"}, {"className", "P"}, {"objectId", "two"}};
  const auto id = create("Bag", {{"items", json::array{1, "a", p1}}});
  auto r = client_.put("/1/classes/Bag/" + id,
                       json::object{{"items", {{"__op", "AddUnique"}, {"objects", json::array{1.0, "b", p1, p2}}}}});
  EXPECT_EQ(r.object().at("items"), (json::array{1, "a", p1, "b", p2}));
  r = client_.put("/1/classes/Bag/" + id,
                  json::object{{"items", {{"__op", "Remove"}, {"objects", json::array{1, p1, "missing"}}}}});
  EXPECT_EQ(r.object().at("items"), (json::array{"a", "b", p2}));
  r = client_.put("/1/classes/Bag/" + id, json::object{{"none", {{"__op", "Remove"}, {"objects", json::array{1}}}}});
  EXPECT_EQ(r.object().at("none"), json::array{});
}

TEST_F(ObjectsTest, OperationsOnTheWrongKindAreRefusedAndChangeNothing) {
  const auto id = create("Mixed", {{"s", "text"}, {"n", 1}});
  EXPECT_EQ(errorCode(client_.put("/1/classes/Mixed/" + id,
                                  json::object{{"n", {{"__op", "Increment"}, {"amount", 1}}},
                                               {"s", {{"__op", "Increment"}, {"amount", 1}}}})), 111);
  EXPECT_EQ(errorCode(client_.put("/1/classes/Mixed/" + id,
                                  json::object{{"s", {{"__op", "Add"}, {"objects", json::array{1}}}}})), 111);
  EXPECT_EQ(errorCode(client_.put("/1/classes/Mixed/" + id,
                                  json::object{{"n", {{"__op", "Increment"}, {"amount", "1"}}}})), 111);
  EXPECT_EQ(fetch("Mixed", id).at("n"), 1);
}

TEST_F(ObjectsTest, RelationOperationsKeepMembersThatQueriesFind) {
  const auto a = create("Tag", {{"name", "a"}});
  const auto b = create("Tag", {{"name", "b"}});
  const auto c = create("Tag", {{"name", "c"}});
  auto ptr = [](const std::string& id) { return json::object{{"__type", "Pointer"}, {"className", "Tag"}, {"objectId", id}}; };
  const auto post = create("Post", {{"tags", {{"__op", "AddRelation"}, {"objects", json::array{ptr(a), ptr(b)}}}}});
  auto r = client_.put("/1/classes/Post/" + post,
                       json::object{{"tags", {{"__op", "Batch"},
                                              {"ops", json::array{json::object{{"__op", "AddRelation"}, {"objects", json::array{ptr(c)}}},
                                                                  json::object{{"__op", "RemoveRelation"}, {"objects", json::array{ptr(a)}}}}}}}});
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(fetch("Post", post).at("tags"), (json::object{{"__type", "Relation"}, {"className", "Tag"}}));
  const json::object related{{"$relatedTo", {{"object", {{"__type", "Pointer"}, {"className", "Post"}, {"objectId", post}}}, {"key", "tags"}}}};
  auto members = client_.find("Tag", {{"where", related}, {"order", "name"}});
  EXPECT_EQ(ids(members), (std::vector<std::string>{b, c}));
  // Without the target class, the client asks for the relation's own class to be named.
  auto redirected = client_.find("Post", {{"where", related}, {"redirectClassNameForKey", "tags"}, {"order", "name"}});
  EXPECT_EQ(redirected.object().at("className"), "Tag");
  EXPECT_EQ(ids(redirected), (std::vector<std::string>{b, c}));
  // Deleting the field forgets its members.
  ASSERT_EQ(client_.put("/1/classes/Post/" + post, json::object{{"tags", {{"__op", "Delete"}}}}).status, 200);
  ASSERT_EQ(client_.put("/1/classes/Post/" + post,
                        json::object{{"tags", {{"__op", "AddRelation"}, {"objects", json::array{ptr(a)}}}}}).status, 200);
  EXPECT_EQ(ids(client_.find("Tag", {{"where", related}})), (std::vector<std::string>{a}));
  EXPECT_EQ(errorCode(client_.put("/1/classes/Post/" + post,
                                  json::object{{"tags", {{"__op", "AddRelation"},
                                                         {"objects", json::array{json::object{{"__type", "Pointer"}, {"className", "Other"}, {"objectId", "z"}}}}}}})),
            111);
}

TEST_F(ObjectsTest, DeleteRemovesTheObjectAndMissingObjectsAnswer101) {
  const auto id = create("Video", {{"a", 1}});
  EXPECT_EQ(client_.del("/1/classes/Video/" + id).status, 200);
  for (const auto& r : {client_.get("/1/classes/Video/" + id), client_.del("/1/classes/Video/" + id),
                        client_.put("/1/classes/Video/" + id, json::object{{"a", 2}})}) {
    EXPECT_EQ(r.status, 404);
    EXPECT_EQ(r.object().at("code"), 101);
    EXPECT_EQ(r.object().at("error"), "Object not found.");
  }
  EXPECT_EQ(results(client_.find("Video", {{"where", {{"a", 1}}}})).size(), 0u);
}

TEST_F(ObjectsTest, InstallationsAreOnePerInstallationIdAndCannotBeDeleted) {
  auto missing = client_.post("/1/classes/_Installation", json::object{{"installationId", "abc"}});
  EXPECT_EQ(missing.object().at("code"), 135);
  auto first = client_.post("/1/installations", json::object{{"deviceType", "ios"}, {"installationId", "ABC-1"}, {"badge", 1}});
  ASSERT_EQ(first.status, 201);
  const std::string id(first.object().at("objectId").as_string());
  auto again = client_.post("/1/classes/_Installation", json::object{{"deviceType", "ios"}, {"installationId", "abc-1"}, {"badge", 2}});
  EXPECT_EQ(again.status, 200);
  EXPECT_EQ(std::string(again.object().at("objectId").as_string()), id);
  auto stored = fetch("_Installation", id);
  EXPECT_EQ(stored.at("installationId"), "abc-1");
  EXPECT_EQ(stored.at("badge"), 2);
  EXPECT_EQ(client_.put("/1/installations/" + id, json::object{{"deviceType", "android"}}).object().at("code"), 136);
  auto refused = client_.del("/1/classes/_Installation/" + id);
  EXPECT_EQ(refused.status, 400);
  EXPECT_EQ(refused.object().at("code"), 108);
  EXPECT_EQ(refused.object().at("error"), "Installation cannot be deleted");
  EXPECT_EQ(std::string(fetch("_Installation", id).at("objectId").as_string()), id);
}

}  // namespace
}  // namespace keel::server::testing
