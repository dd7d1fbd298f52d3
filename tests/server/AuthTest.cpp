// Users, sessions and access lists, tried from outside over HTTP the way an attacker would.
#include "server/Auth.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <set>
#include <thread>
#include <fstream>
#include <sstream>

#include "server/ServerTestSupport.h"

namespace keel::server::testing {
namespace {

namespace fs = std::filesystem;

enum class Who { Anonymous, Owner, Other, Master };

std::map<std::string, std::string> keys(const std::string& token = {}) {
  std::map<std::string, std::string> h{{"X-Keel-Application-Id", kAppId}, {"X-Keel-Client-Key", kClientKey}};
  if (!token.empty()) h["X-Keel-Session-Token"] = token;
  return h;
}

std::map<std::string, std::string> masterKeys() { return {{"X-Keel-Master-Key", kMasterKey}}; }

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Account {
  std::string id;
  std::string token;
};

class AuthTest : public ::testing::Test {
 protected:
  explicit AuthTest(AuthConfig auth = TestServer::cheapAuth(), std::string data = ":memory:")
      : server_(data, TestServer::quietOptions(), {}, std::move(auth)), client_(server_.port()) {}

  Reply call(const std::string& method, const std::string& target, const json::value& body = nullptr,
             const std::string& token = {}) {
    return client_.send(method, target, body.is_null() ? std::string() : json::serialize(body), keys(token));
  }
  Reply master(const std::string& method, const std::string& target, const json::value& body = nullptr) {
    return client_.send(method, target, body.is_null() ? std::string() : json::serialize(body), masterKeys());
  }
  Account signUp(const std::string& name, const std::string& password = "correct horse") {
    auto r = call("POST", "/1/users", json::object{{"username", name}, {"password", password}});
    EXPECT_EQ(r.status, 201) << r.body;
    return {std::string(r.object().at("objectId").as_string()), std::string(r.object().at("sessionToken").as_string())};
  }
  Reply logIn(const std::string& name, const std::string& password) {
    return call("POST", "/1/login", json::object{{"_method", "GET"}, {"username", name}, {"password", password}});
  }
  int errorCode(const Reply& r) { return static_cast<int>(r.object().at("code").as_int64()); }

  TestServer server_;
  HttpClient client_;
};

TEST_F(AuthTest, SignUpRefusesMissingOrTakenNamesWithTheirCodes) {
  auto refused = [&](json::object body) { return call("POST", "/1/users", body); };
  for (auto [body, code] : std::vector<std::pair<json::object, int>>{
           {{{"password", "p"}}, 200},
           {{{"username", ""}, {"password", "p"}}, 200},
           {{{"username", "ann"}}, 201},
           {{{"username", "ann"}, {"password", 5}}, 201},
           {{{"username", "ann"}, {"password", "p"}, {"email", "not an address"}}, 125},
       }) {
    auto r = refused(body);
    EXPECT_EQ(r.status, 400) << json::serialize(body);
    EXPECT_EQ(errorCode(r), code) << json::serialize(body);
  }
  auto first = call("POST", "/1/users", json::object{{"username", "ann"}, {"password", "p"}, {"email", "ann@example.org"}});
  ASSERT_EQ(first.status, 201) << first.body;
  const auto reply = first.object();
  EXPECT_EQ(reply.at("objectId").as_string().size(), 10u);
  EXPECT_TRUE(reply.contains("createdAt"));
  const std::string token(reply.at("sessionToken").as_string());
  EXPECT_EQ(token.substr(0, 2), "r:");
  EXPECT_EQ(token.size(), 2u + 32u);  // 128 random bits in hex

  auto taken = refused({{"username", "ann"}, {"password", "q"}});
  EXPECT_EQ(errorCode(taken), 202);
  auto emailTaken = refused({{"username", "bob"}, {"password", "q"}, {"email", "ann@example.org"}});
  EXPECT_EQ(errorCode(emailTaken), 203);
  // Nothing of a refused sign-up is left behind.
  EXPECT_EQ(results(client_.send("POST", "/1/classes/_User", R"({"_method":"GET"})", masterKeys())).size(), 1u);
}

TEST_F(AuthTest, LogInFailuresForUnknownUsersAndWrongPasswordsAreTheSameBytes) {
  signUp("carol", "right password");
  auto wrongPassword = logIn("carol", "wrong password");
  auto unknownUser = logIn("nobody-by-that-name", "wrong password");
  EXPECT_EQ(wrongPassword.status, 404);
  EXPECT_EQ(wrongPassword.status, unknownUser.status);
  EXPECT_EQ(wrongPassword.body, unknownUser.body);
  EXPECT_EQ(errorCode(wrongPassword), 101);
  // The query-string form of a log-in answers the same.
  auto viaQuery = call("GET", "/1/login?username=nobody&password=x");
  EXPECT_EQ(viaQuery.body, unknownUser.body);

  auto ok = logIn("carol", "right password");
  ASSERT_EQ(ok.status, 200) << ok.body;
  EXPECT_EQ(ok.object().at("username"), "carol");
  EXPECT_NE(ok.object().at("sessionToken"), nullptr);
}

TEST_F(AuthTest, AnInvalidOrRevokedTokenIsRefusedEverywhereNeverServedAnonymously) {
  auto dave = signUp("dave");
  auto me = call("GET", "/1/users/me", nullptr, dave.token);
  ASSERT_EQ(me.status, 200) << me.body;
  EXPECT_EQ(me.object().at("objectId").as_string(), dave.id);
  EXPECT_EQ(me.object().at("sessionToken").as_string(), dave.token);

  auto session = call("GET", "/1/sessions/me", nullptr, dave.token).object();
  EXPECT_EQ(session.at("user").at("objectId").as_string(), dave.id);
  EXPECT_EQ(session.at("createdWith").at("action"), "signup");
  EXPECT_EQ(session.at("expiresAt").at("__type"), "Date");
  auto upgraded = call("POST", "/1/upgradeToRevocableSession", json::object{}, dave.token);
  EXPECT_EQ(upgraded.object().at("sessionToken").as_string(), dave.token);

  ASSERT_EQ(call("POST", "/1/logout", json::object{}, dave.token).status, 200);
  const std::string forged = "r:" + std::string(32, '0');
  for (const auto& token : {dave.token, forged, std::string("not-even-a-token")}) {
    for (auto [method, target] : std::vector<std::pair<std::string, std::string>>{
             {"GET", "/1/users/me"}, {"GET", "/1/classes/Anything"}, {"POST", "/1/classes/Anything"},
             {"POST", "/1/functions/hello"}, {"GET", "/1/config"}, {"POST", "/1/logout"}}) {
      auto r = call(method, target, method == "POST" ? json::value(json::object{}) : json::value(), token);
      EXPECT_EQ(r.status, 400) << method << " " << target;
      EXPECT_EQ(errorCode(r), 209) << method << " " << target << " " << r.body;
    }
  }
  EXPECT_EQ(errorCode(call("GET", "/1/users/me")), 209);  // no token at all
  // The password still opens a new session.
  EXPECT_EQ(logIn("dave", "correct horse").status, 200);
}

TEST_F(AuthTest, TheEleventhFailedLogInWithinAMinuteIsRefusedEvenWithTheRightPassword) {
  signUp("erin", "secret");
  signUp("frank", "secret");
  // Guesses sent all at once get no more tries than guesses sent one by one.
  std::atomic<int> wrong{0}, limited{0};
  std::vector<std::thread> guessers;
  for (int i = 0; i < 16; ++i) {
    guessers.emplace_back([&, i] {
      HttpClient own(server_.port());
      auto r = own.send("POST", "/1/login", json::serialize(json::object{{"username", "erin"}, {"password", std::to_string(i)}}), keys());
      (r.status == 404 ? wrong : limited) += r.status == 404 || r.status == 429 ? 1 : 0;
    });
  }
  for (auto& t : guessers) t.join();
  EXPECT_EQ(wrong, 10);
  EXPECT_EQ(limited, 6);
  auto refused = logIn("erin", "secret");
  EXPECT_EQ(refused.status, 429);
  EXPECT_EQ(errorCode(refused), 155);
  // Another user from the same address is not locked out by erin's failures.
  EXPECT_EQ(logIn("frank", "secret").status, 200);
}

TEST_F(AuthTest, UsersChangeAndDeleteOnlyTheirOwnRowsUnlessTheMasterKeyIsUsed) {
  auto gina = signUp("gina");
  auto hal = signUp("hal");
  for (const std::string prefix : {"/1/users/", "/1/classes/_User/"}) {
    auto put = call("PUT", prefix + gina.id, json::object{{"nickname", "owned"}}, hal.token);
    EXPECT_EQ(put.status, 400) << put.body;
    EXPECT_EQ(errorCode(put), 206);
    EXPECT_EQ(errorCode(call("PUT", prefix + gina.id, json::object{{"password", "mine now"}}, hal.token)), 206);
    EXPECT_EQ(errorCode(call("PUT", prefix + gina.id, json::object{{"nickname", "anon"}})), 206);
    EXPECT_EQ(errorCode(call("DELETE", prefix + gina.id, nullptr, hal.token)), 206);
  }
  EXPECT_EQ(logIn("gina", "correct horse").status, 200);  // her password is untouched

  EXPECT_EQ(call("PUT", "/1/users/" + gina.id, json::object{{"password", "new one"}}, gina.token).status, 200);
  EXPECT_EQ(logIn("gina", "new one").status, 200);
  EXPECT_EQ(errorCode(call("PUT", "/1/users/" + gina.id, json::object{{"username", "hal"}}, gina.token)), 202);
  EXPECT_EQ(master("PUT", "/1/users/" + hal.id, json::object{{"nickname", "by master"}}).status, 200);
  EXPECT_EQ(master("DELETE", "/1/users/" + hal.id).status, 200);
  EXPECT_EQ(errorCode(call("GET", "/1/users/me", nullptr, hal.token)), 209);  // deleted user's sessions go too
}

TEST_F(AuthTest, NeitherThePasswordNorItsDigestNorAnotherUsersServiceDataIsEverReturned) {
  const std::string password = "p4ssw0rd-that-must-not-leak";
  auto signUpReply = call("POST", "/1/users",
                          json::object{{"username", "ivy"}, {"password", password}, {"email", "ivy@example.org"}});
  auto ivy = Account{std::string(signUpReply.object().at("objectId").as_string()),
                     std::string(signUpReply.object().at("sessionToken").as_string())};
  auto anon = call("POST", "/1/users", json::object{{"authData", {{"anonymous", {{"id", "a1b2c3"}}}}}});
  ASSERT_EQ(anon.status, 201) << anon.body;
  const std::vector<Reply> replies{
      signUpReply, logIn("ivy", password), call("GET", "/1/users/me", nullptr, ivy.token),
      call("GET", "/1/users/" + ivy.id, nullptr, ivy.token), call("GET", "/1/users/" + ivy.id),
      call("POST", "/1/classes/_User", json::object{{"_method", "GET"}}), master("GET", "/1/users"),
      call("POST", "/1/classes/_User", json::object{{"_method", "GET"}, {"where", {{"username", "ivy"}}}}, ivy.token)};
  for (const auto& r : replies) {
    EXPECT_EQ(r.body.find(password), std::string::npos) << r.body;
    EXPECT_EQ(r.body.find("$argon2"), std::string::npos) << r.body;
    EXPECT_EQ(r.body.find("\"password\""), std::string::npos) << r.body;
  }
  // An anonymous user's id is all it takes to log in as them: nobody else sees it.
  EXPECT_EQ(call("POST", "/1/classes/_User", json::object{{"_method", "GET"}}, ivy.token).body.find("a1b2c3"),
            std::string::npos);
  // And a password cannot be slipped into the row as a plain field by its own user.
  auto sneaky = call("PUT", "/1/classes/_User/" + ivy.id, json::object{{"sessionToken", "r:mine"}}, ivy.token);
  EXPECT_EQ(call("GET", "/1/users/me", nullptr, ivy.token).body.find("r:mine"), std::string::npos) << sneaky.body;
}

TEST_F(AuthTest, ServiceLogInCreatesOnceThenLogsInAndRefusesAnAccountLinkedElsewhere) {
  const json::object anonymous{{"authData", {{"anonymous", {{"id", "1f0e2d3c"}}}}}};
  auto created = call("POST", "/1/users", anonymous);
  ASSERT_EQ(created.status, 201) << created.body;
  auto again = call("POST", "/1/users", anonymous);
  ASSERT_EQ(again.status, 200) << again.body;
  EXPECT_EQ(again.object().at("objectId"), created.object().at("objectId"));
  EXPECT_NE(again.object().at("sessionToken"), created.object().at("sessionToken"));

  auto jay = signUp("jay");
  auto link = call("PUT", "/1/users/" + jay.id, json::object{{"authData", anonymous.at("authData")}}, jay.token);
  EXPECT_EQ(errorCode(link), 208) << link.body;
  // A service the server cannot ask is not taken at its word.
  auto untrusted = call("POST", "/1/users", json::object{{"authData", {{"facebook", {{"id", "victim"}}}}}});
  EXPECT_EQ(errorCode(untrusted), 252);
  EXPECT_EQ(errorCode(call("POST", "/1/users", json::object{{"authData", {{"anonymous", {{"token", "x"}}}}}})), 111);
}

TEST_F(AuthTest, MalformedAccessListsAreRefused) {
  for (const auto& acl : std::vector<json::value>{
           json::array{}, json::value("*"), json::object{{"*", true}}, json::object{{"*", {{"read", "yes"}}}},
           json::object{{"*", {{"delete", true}}}}, json::object{{"role:", {{"read", true}}}},
           json::object{{"bad key!", {{"read", true}}}}}) {
    auto r = call("POST", "/1/classes/Note", json::object{{"ACL", acl}});
    EXPECT_EQ(r.status, 400) << json::serialize(acl);
    EXPECT_EQ(errorCode(r), 123) << json::serialize(acl) << " " << r.body;
  }
  EXPECT_EQ(results(master("GET", "/1/classes/Note")).size(), 0u);
}

// The grid: every list shape, every caller, every operation.
TEST_F(AuthTest, AccessListsDecideEveryReadAndWriteForEveryCaller) {
  auto owner = signUp("owner");
  auto other = signUp("other");
  struct Shape {
    const char* name;
    json::value acl;  // null: no list at all
    std::set<Who> readers, writers;
  };
  const std::set<Who> everyone{Who::Anonymous, Who::Owner, Who::Other, Who::Master};
  const std::vector<Shape> shapes{
      {"none", nullptr, everyone, everyone},
      {"public", json::object{{"*", {{"read", true}, {"write", true}}}}, everyone, everyone},
      {"public-read", json::object{{"*", {{"read", true}}}, {owner.id, {{"write", true}}}}, everyone,
       {Who::Owner, Who::Master}},
      {"owner", json::object{{owner.id, {{"read", true}, {"write", true}}}}, {Who::Owner, Who::Master},
       {Who::Owner, Who::Master}},
      {"other", json::object{{other.id, {{"read", true}, {"write", true}}}}, {Who::Other, Who::Master},
       {Who::Other, Who::Master}},
      {"write-only", json::object{{owner.id, {{"write", true}}}}, {Who::Master}, {Who::Master}},
      {"empty", json::object{}, {Who::Master}, {Who::Master}},
  };
  const auto missing = call("GET", "/1/classes/Grid/NoSuchId12");
  for (Who who : {Who::Anonymous, Who::Owner, Who::Other, Who::Master}) {
    const std::string caller = who == Who::Anonymous ? "anonymous" : who == Who::Owner ? "owner" : who == Who::Other ? "other" : "master";
    auto as = [&](const std::string& method, const std::string& target, const json::value& body = nullptr) {
      if (who == Who::Master) return master(method, target, body);
      return call(method, target, body, who == Who::Owner ? owner.token : who == Who::Other ? other.token : "");
    };
    std::map<std::string, const Shape*> byId;
    for (const auto& shape : shapes) {
      json::object body{{"shape", shape.name}, {"caller", caller}};
      if (!shape.acl.is_null()) body["ACL"] = shape.acl;
      auto r = master("POST", "/1/classes/Grid", body);
      ASSERT_EQ(r.status, 201) << r.body;
      byId[std::string(r.object().at("objectId").as_string())] = &shape;
    }
    std::set<std::string> readable;
    for (const auto& [id, shape] : byId)
      if (shape->readers.count(who)) readable.insert(id);

    auto found = as("POST", "/1/classes/Grid",
                    json::object{{"_method", "GET"}, {"where", {{"caller", caller}}}, {"count", 1}, {"limit", 0}});
    EXPECT_EQ(found.object().at("count").as_int64(), static_cast<std::int64_t>(readable.size())) << caller;
    auto listed = ids(as("POST", "/1/classes/Grid", json::object{{"_method", "GET"}, {"where", {{"caller", caller}}}}));
    EXPECT_EQ(std::set<std::string>(listed.begin(), listed.end()), readable) << caller;

    for (const auto& [id, shape] : byId) {
      const std::string what = caller + " on " + shape->name;
      auto got = as("GET", "/1/classes/Grid/" + id);
      if (shape->readers.count(who)) {
        EXPECT_EQ(got.status, 200) << what;
      } else {
        // Exactly like a missing object, down to the bytes.
        EXPECT_EQ(got.status, missing.status) << what;
        EXPECT_EQ(got.body, missing.body) << what;
      }
      const bool writable = shape->writers.count(who) && shape->readers.count(who);
      auto put = as("PUT", "/1/classes/Grid/" + id, json::object{{"touched", true}});
      EXPECT_EQ(put.status, writable ? 200 : 404) << what << " " << put.body;
      auto del = as("DELETE", "/1/classes/Grid/" + id);
      EXPECT_EQ(del.status, writable ? 200 : 404) << what << " " << del.body;
      const bool stillThere = master("GET", "/1/classes/Grid/" + id).status == 200;
      EXPECT_EQ(stillThere, !writable) << what;
      if (stillThere) {
        EXPECT_FALSE(master("GET", "/1/classes/Grid/" + id).object().contains("touched")) << what;
      }
    }
  }
}

TEST_F(AuthTest, PagingAndCountingComeAfterTheAccessFilter) {
  auto kim = signUp("kim");
  std::vector<std::string> kims;
  for (int i = 0; i < 30; ++i) {
    json::object body{{"i", i}};
    if (i % 3 == 0) body["ACL"] = json::object{{kim.id, {{"read", true}}}};
    else body["ACL"] = json::object{};
    auto r = master("POST", "/1/classes/Paged", body);
    if (i % 3 == 0) kims.emplace_back(r.object().at("objectId").as_string());
  }
  auto page = call("POST", "/1/classes/Paged",
                   json::object{{"_method", "GET"}, {"limit", 3}, {"skip", 2}, {"count", 1}}, kim.token);
  EXPECT_EQ(page.object().at("count"), 10);
  EXPECT_EQ(ids(page), std::vector<std::string>(kims.begin() + 2, kims.begin() + 5));
  // The same through an equality lookup and a sorted find.
  auto sorted = call("POST", "/1/classes/Paged",
                     json::object{{"_method", "GET"}, {"order", "-i"}, {"limit", 2}, {"count", 1}}, kim.token);
  EXPECT_EQ(ids(sorted), (std::vector<std::string>{kims[9], kims[8]}));
  EXPECT_EQ(results(call("POST", "/1/classes/Paged", json::object{{"_method", "GET"}, {"where", {{"i", 1}}}}, kim.token)).size(), 0u);
  EXPECT_EQ(call("POST", "/1/classes/Paged", json::object{{"_method", "GET"}, {"count", 1}, {"limit", 0}}).object().at("count"), 0);
}

TEST_F(AuthTest, OrderedPagesReadOnlyRowsTheCallerMayRead) {
  auto kim = signUp("kim");
  std::set<std::string> kims, everyone;
  for (int i = 0; i < 30; ++i) {
    json::object body{{"i", i}};
    if (i % 3 == 0) body["ACL"] = json::object{{kim.id, {{"read", true}}}};
    else if (i % 3 == 1) body["ACL"] = json::object{};
    auto id = std::string(master("POST", "/1/classes/Paged", body).object().at("objectId").as_string());
    if (i % 3 == 0) kims.insert(id);
    if (i % 3 == 2) everyone.insert(id);
  }
  auto find = [&](json::object params, const std::string& token) {
    params["_method"] = "GET";
    params["order"] = "createdAt,objectId";
    params["trace"] = true;
    return call("POST", "/1/classes/Paged", params, token);
  };
  for (const std::string& token : {kim.token, std::string()}) {
    std::set<std::string> readable = everyone;
    if (!token.empty()) readable.insert(kims.begin(), kims.end());
    auto all = find({{"limit", 1000}}, token);
    auto allIds = ids(all);
    EXPECT_EQ(std::set<std::string>(allIds.begin(), allIds.end()), readable);
    // A page stops after its rows: nothing the caller may not read is even looked at.
    auto page = find({{"limit", 4}}, token);
    EXPECT_EQ(ids(page), std::vector<std::string>(allIds.begin(), allIds.begin() + 4));
    const std::string trace(page.object().at("trace").as_string());
    EXPECT_NE(trace.find("examined=4 "), std::string::npos) << trace;
    // The same through a row bound on the page's last objectId.
    auto next = find({{"limit", 4}, {"where", {{"objectId", {{"$in", json::array(allIds.begin() + 4, allIds.begin() + 6)}}}}}},
                     token);
    EXPECT_EQ(ids(next), std::vector<std::string>(allIds.begin() + 4, allIds.begin() + 6));
  }
}

TEST_F(AuthTest, ARequestIdReplaysOnlyToTheCallerThatSentIt) {
  auto mia = signUp("mia");
  auto ned = signUp("ned");
  auto send = [&](const std::string& token, bool asMaster = false) {
    auto h = asMaster ? masterKeys() : keys(token);
    h["X-Keel-Request-Id"] = "same-id";
    const json::object body{{"text", "private"}, {"ACL", {{mia.id, {{"read", true}, {"write", true}}}}}};
    return client_.send("POST", "/1/classes/Note", json::serialize(body), h);
  };
  auto first = send(mia.token);
  ASSERT_EQ(first.status, 201) << first.body;
  const auto miasNote = first.object().at("objectId");
  auto again = send(mia.token);
  EXPECT_EQ(again.headers["X-Keel-Replayed"], "true");
  EXPECT_EQ(again.object().at("objectId"), miasNote);
  // Another user, no user and the master key each make a change of their own with that id.
  for (auto other : {send(ned.token), send(""), send("", true)}) {
    EXPECT_EQ(other.status, 201) << other.body;
    EXPECT_EQ(other.headers.count("X-Keel-Replayed"), 0u);
    EXPECT_NE(other.object().at("objectId"), miasNote);
  }
  // An unknown token is refused before any stored reply is looked up.
  EXPECT_EQ(errorCode(send("r:unknown")), 209);
  EXPECT_EQ(send(mia.token).object().at("objectId"), miasNote);
  // After log-out the token is dead, so the reply is out of reach with it.
  auto h = keys(mia.token);
  EXPECT_EQ(client_.send("POST", "/1/logout", "", h).status, 200);
  EXPECT_EQ(errorCode(send(mia.token)), 209);
}

TEST_F(AuthTest, UsersAndSessionsWithARequestIdAreAnsweredAfresh) {
  auto h = keys();
  h["X-Keel-Request-Id"] = "sign-up-1";
  auto created = client_.send("POST", "/1/users", R"({"username": "olga", "password": "pw"})", h);
  ASSERT_EQ(created.status, 201) << created.body;
  // A batch with a request id holds the write connection; a log-in inside it answers an
  // error of its own instead of waiting on that connection forever.
  h["X-Keel-Request-Id"] = "batch-1";
  const std::string batch = R"({"requests": [
      {"method": "POST", "path": "/1/login", "body": {"username": "olga", "password": "pw"}},
      {"method": "POST", "path": "/1/classes/Note", "body": {"text": "kept"}}]})";
  auto replies = client_.send("POST", "/1/batch", batch, h);
  ASSERT_EQ(replies.status, 200) << replies.body;
  const json::array list = replies.json().as_array();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_TRUE(list[0].as_object().contains("error")) << replies.body;
  EXPECT_TRUE(list[1].as_object().contains("success")) << replies.body;
  EXPECT_EQ(logIn("olga", "pw").status, 200);
}

TEST_F(AuthTest, IncludesSubQueriesAndBatchesSeeOnlyWhatTheCallerMayRead) {
  auto lee = signUp("lee");
  auto secret = master("POST", "/1/classes/Secret", json::object{{"code", 42}, {"ACL", json::object{}}}).object();
  const std::string secretId(secret.at("objectId").as_string());
  const json::object pointer{{"__type", "Pointer"}, {"className", "Secret"}, {"objectId", secretId}};
  auto note = master("POST", "/1/classes/Note", json::object{{"secret", pointer}}).object();
  const std::string noteId(note.at("objectId").as_string());

  auto included = call("GET", "/1/classes/Note/" + noteId + "?include=secret", nullptr, lee.token).object();
  EXPECT_EQ(included.at("secret").at("__type"), "Pointer");
  EXPECT_FALSE(included.at("secret").as_object().contains("code"));

  auto viaInQuery = call("POST", "/1/classes/Note",
                         json::object{{"_method", "GET"},
                                      {"where", {{"secret", {{"$inQuery", {{"className", "Secret"}, {"where", json::object{}}}}}}}}},
                         lee.token);
  EXPECT_EQ(results(viaInQuery).size(), 0u);
  auto viaSelect = call("POST", "/1/classes/Note",
                        json::object{{"_method", "GET"},
                                     {"where", {{"objectId", {{"$select", {{"query", {{"className", "Secret"}}}, {"key", "objectId"}}}}}}}},
                        lee.token);
  EXPECT_EQ(results(viaSelect).size(), 0u);
  EXPECT_EQ(results(master("POST", "/1/classes/Note", json::object{{"_method", "GET"},
      {"where", {{"secret", {{"$inQuery", {{"className", "Secret"}}}}}}}})).size(), 1u);

  auto batch = call("POST", "/1/batch",
                    json::object{{"requests",
                                  {{{"method", "GET"}, {"path", "/1/classes/Secret/" + secretId}},
                                   {{"method", "PUT"}, {"path", "/1/classes/Secret/" + secretId}, {"body", {{"code", 0}}}},
                                   {{"method", "DELETE"}, {"path", "/1/classes/Secret/" + secretId}}}}},
                    lee.token);
  const auto entries = batch.json();
  for (const auto& entry : entries.as_array()) EXPECT_EQ(entry.at("error").at("code"), 101) << batch.body;
  EXPECT_EQ(master("GET", "/1/classes/Secret/" + secretId).object().at("code"), 42);
}

class AddressLimitTest : public AuthTest {
 protected:
  static AuthConfig strict() {
    auto a = TestServer::cheapAuth();
    a.failedLoginsPerAddress = 3;
    return a;
  }
  AddressLimitTest() : AuthTest(strict()) {}
};

TEST_F(AddressLimitTest, OneAddressTryingManyUsersIsStoppedToo) {
  signUp("olga", "secret");
  for (const char* name : {"u1", "u2", "u3"}) EXPECT_EQ(logIn(name, "guess").status, 404);
  EXPECT_EQ(logIn("olga", "secret").status, 429);
}

class PasswordResetTest : public AuthTest {
 protected:
  static AuthConfig withOutbox() {
    auto a = TestServer::cheapAuth();
    a.outboxDir = outbox().string();
    a.publicURL = "https://keel.example";
    return a;
  }
  static fs::path outbox() { return fs::temp_directory_path() / ("keel-outbox-" + std::to_string(::getpid())); }
  PasswordResetTest() : AuthTest(withOutbox()) { fs::remove_all(outbox()); }
  ~PasswordResetTest() override { fs::remove_all(outbox()); }
  std::vector<fs::path> mails() {
    std::vector<fs::path> out;
    if (fs::exists(outbox()))
      for (const auto& e : fs::directory_iterator(outbox())) out.push_back(e.path());
    return out;
  }
};

TEST_F(PasswordResetTest, ALinkWorksOnceRevokesEverySessionAndUnknownAddressesLookTheSame) {
  auto r = call("POST", "/1/users", json::object{{"username", "mia"}, {"password", "old"}, {"email", "mia@example.org"}});
  const std::string oldToken(r.object().at("sessionToken").as_string());

  auto unknown = call("POST", "/1/requestPasswordReset", json::object{{"email", "nobody@example.org"}});
  auto known = call("POST", "/1/requestPasswordReset", json::object{{"email", "mia@example.org"}});
  EXPECT_EQ(unknown.status, 200);
  EXPECT_EQ(unknown.body, known.body);
  EXPECT_EQ(known.body, "{}");
  auto written = mails();
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(fs::status(written[0]).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(fs::status(outbox()).permissions() & fs::perms::all, fs::perms::owner_all);
  const std::string mail = readFile(written[0]);
  EXPECT_NE(mail.find("https://keel.example/1/resetPassword?token="), std::string::npos) << mail;
  const auto at = mail.find("token: ");
  ASSERT_NE(at, std::string::npos);
  const std::string token = mail.substr(at + 7, mail.find('\n', at) - at - 7);

  EXPECT_EQ(call("POST", "/1/resetPassword", json::object{{"token", token + "0"}, {"password", "x"}}).status, 404);
  ASSERT_EQ(call("POST", "/1/resetPassword", json::object{{"token", token}, {"password", "new"}}).status, 200);
  EXPECT_EQ(errorCode(call("GET", "/1/users/me", nullptr, oldToken)), 209);
  EXPECT_EQ(logIn("mia", "old").status, 404);
  EXPECT_EQ(logIn("mia", "new").status, 200);
  EXPECT_EQ(call("POST", "/1/resetPassword", json::object{{"token", token}, {"password", "again"}}).status, 404);
}

// The real program, with a file database and its access log: nothing it keeps holds a
// password or a session token, and the database is its owner's alone.
TEST(AuthProcessTest, NoPasswordOrTokenReachesTheDatabaseTheLogOrAnyServerFile) {
  const fs::path dir = fs::temp_directory_path() / ("keel-secrets-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string data = (dir / "backend.sqlite").string();
  const std::string log = (dir / "server.log").string();
  std::vector<std::string> args{KEEL_SERVER_BINARY, "--port", "0", "--app-id", kAppId, "--client-key", kClientKey,
                                "--data", data, "--hash-ops", "1", "--hash-memory", "8", "--outbox", (dir / "outbox").string()};
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    const int err = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(err, STDERR_FILENO);
    close(out[0]);
    close(out[1]);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  FILE* output = fdopen(out[0], "r");
  char line[64] = {};
  ASSERT_TRUE(std::fgets(line, sizeof line, output));
  HttpClient c(static_cast<std::uint16_t>(std::stoi(line)));

  const std::string password = "Pa55-unique-7c1d9e";
  auto signUp = c.send("POST", "/1/users",
                       json::serialize(json::object{{"username", "nora"}, {"password", password}, {"email", "n@example.org"}}),
                       keys());
  ASSERT_EQ(signUp.status, 201) << signUp.body;
  std::vector<std::string> tokens{std::string(signUp.object().at("sessionToken").as_string())};
  auto byQuery = c.send("GET", "/1/login?username=nora&password=" + password, "", keys());
  ASSERT_EQ(byQuery.status, 200) << byQuery.body;
  tokens.emplace_back(byQuery.object().at("sessionToken").as_string());
  c.send("GET", "/1/login?username=nora&password=" + password + "-wrong", "", keys());
  c.send("POST", "/1/classes/Diary", R"({"entry": "a body the log must not hold 5e1f"})", keys(tokens[1]));
  c.send("POST", "/1/requestPasswordReset", R"({"email": "n@example.org"})", keys());

  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  std::fclose(output);

  EXPECT_EQ(fs::status(data).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  std::size_t files = 0;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    ++files;
    const std::string bytes = readFile(entry.path());
    EXPECT_EQ(bytes.find(password), std::string::npos) << entry.path();
    for (const auto& token : tokens) {
      EXPECT_EQ(bytes.find(token), std::string::npos) << entry.path();
      EXPECT_EQ(bytes.find(token.substr(2)), std::string::npos) << entry.path();
    }
    if (entry.path() == log) {
      EXPECT_EQ(bytes.find("5e1f"), std::string::npos);
    }
  }
  EXPECT_GE(files, 3u);  // the database, the log, the reset mail
  EXPECT_NE(readFile(log).find("/1/login"), std::string::npos);  // the log does record the requests
  fs::remove_all(dir);
}

}  // namespace
}  // namespace keel::server::testing
