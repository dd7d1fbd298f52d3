#include "server/Auth.h"

#include <sodium.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <fmt/format.h>

#include <keel/base/JSONSerialization.h>
#include <keel/base/Logger.h>

#include "server/ApiError.h"
#include "server/JsonValues.h"
#include "server/Objects.h"
#include "server/QueryEngine.h"

namespace keel::server {

namespace {

const std::string kUser = "_User";
constexpr auto kFailureWindow = std::chrono::minutes(1);
// Above this many tracked keys, keys whose failures have all aged out are dropped.
constexpr std::size_t kMaxTrackedKeys = 10000;

const char* kAuthSchemaSql = R"SQL(
CREATE TABLE IF NOT EXISTS auth_passwords(user_id TEXT PRIMARY KEY, digest TEXT NOT NULL) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS auth_sessions(
  digest TEXT PRIMARY KEY, id TEXT NOT NULL UNIQUE, user_id TEXT NOT NULL, created_at INTEGER NOT NULL,
  expires_at INTEGER NOT NULL, created_with TEXT NOT NULL, installation_id TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS auth_sessions_user ON auth_sessions(user_id);
CREATE TABLE IF NOT EXISTS auth_links(
  type TEXT NOT NULL, service_id TEXT NOT NULL, user_id TEXT NOT NULL, PRIMARY KEY(type, service_id)) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS auth_links_user ON auth_links(user_id);
CREATE TABLE IF NOT EXISTS auth_resets(digest TEXT PRIMARY KEY, user_id TEXT NOT NULL, expires_at INTEGER NOT NULL);
)SQL";

std::int64_t nowMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string hex(const unsigned char* data, std::size_t size) {
  std::string out(size * 2 + 1, '\0');
  sodium_bin2hex(out.data(), out.size(), data, size);
  out.pop_back();
  return out;
}

std::string randomHex(std::size_t bytes) {
  std::vector<unsigned char> buffer(bytes);
  randombytes_buf(buffer.data(), buffer.size());
  return hex(buffer.data(), buffer.size());
}

std::string randomAlphanumeric(std::size_t length) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::string out(length, ' ');
  for (auto& c : out) c = kAlphabet[randombytes_uniform(62)];
  return out;
}

// Tokens are looked up by digest, so the stored form is useless to whoever reads the database.
std::string digestOf(const std::string& secret) {
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(secret.data()), secret.size());
  return hex(digest, sizeof digest);
}

const json::value* member(const json::object& o, std::string_view key) {
  auto it = o.find(key);
  return it == o.end() || it->value().is_null() ? nullptr : &it->value();
}

std::optional<std::string> stringMember(const json::object& o, std::string_view key) {
  const auto* v = member(o, key);
  if (!v || !v->is_string() || v->get_string().empty()) return std::nullopt;
  return std::string(v->get_string());
}

bool isEmailAddress(std::string_view text) {
  const auto at = text.find('@');
  if (at == 0 || at == std::string_view::npos || text.find('@', at + 1) != std::string_view::npos) return false;
  const auto domain = text.substr(at + 1);
  const auto dot = domain.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == domain.size()) return false;
  return std::none_of(text.begin(), text.end(),
                      [](char c) { return std::isspace(static_cast<unsigned char>(c)) || std::iscntrl(static_cast<unsigned char>(c)); });
}

[[noreturn]] void invalidSession() { throw ApiError(kInvalidSessionToken, "Invalid session token", 400); }

// Leases the writer for one transaction.
struct WriteTransaction {
  explicit WriteTransaction(Store& store) : lease(store.writer()), transaction(lease->begin(true)) {}
  Store::Lease lease;
  std::unique_ptr<platform::Transaction> transaction;
  StoreConnection& db() { return *lease; }
  void commit() { transaction->commit(); }
};

struct ReadTransaction {
  explicit ReadTransaction(Store& store) : lease(store.reader()), transaction(lease->begin(false)) {}
  Store::Lease lease;
  std::unique_ptr<platform::Transaction> transaction;
  StoreConnection& db() { return *lease; }
};

std::optional<StoredObject> userByName(StoreConnection& db, const std::string& username) {
  auto found = db.findEqual(kUser, "username", json::value(username));
  if (found.empty()) return std::nullopt;
  return std::move(found.front());
}

std::optional<std::string> passwordDigest(StoreConnection& db, const std::string& userId) {
  platform::Statement st(db.database(), "SELECT digest FROM auth_passwords WHERE user_id = ?");
  st.bind(1, userId);
  if (!st.step()) return std::nullopt;
  return st.getText(0);
}

void setPasswordDigest(StoreConnection& db, const std::string& userId, const std::string& digest) {
  platform::Statement st(db.database(), "INSERT OR REPLACE INTO auth_passwords(user_id, digest) VALUES(?, ?)");
  st.bind(1, userId).bind(2, digest);
  st.run();
}

void revokeSessionsOf(StoreConnection& db, const std::string& userId) {
  platform::Statement st(db.database(), "DELETE FROM auth_sessions WHERE user_id = ?");
  st.bind(1, userId);
  st.run();
}

json::object defaultUserACL(const std::string& userId) {
  return json::object{{"*", json::object{{"read", true}}}, {userId, json::object{{"read", true}, {"write", true}}}};
}

}  // namespace

Auth::Auth(Store& store, AuthConfig config) : store_(store), config_(std::move(config)), publicURL_(config_.publicURL) {
  if (sodium_init() < 0) throw std::runtime_error("libsodium cannot be initialised");
  {
    WriteTransaction t(store_);
    t.db().database().exec(kAuthSchemaSql);
    t.commit();
  }
  dummyDigest_ = hashPassword(randomHex(16));
}

std::string Auth::hashPassword(const std::string& password) const {
  char out[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str(out, password.data(), password.size(), config_.hashOps, config_.hashMemoryBytes) != 0)
    throw std::runtime_error("out of memory while hashing a password");
  return out;
}

bool Auth::verifyPassword(const std::string& digest, const std::string& password) {
  return crypto_pwhash_str_verify(digest.c_str(), password.data(), password.size()) == 0;
}

void Auth::setPublicURL(std::string url) {
  std::lock_guard lock(urlMutex_);
  if (config_.publicURL.empty()) publicURL_ = std::move(url);
}

bool Auth::handles(const std::string& method, const std::vector<std::string>& parts) {
  if (parts.empty()) return false;
  const std::string& head = parts[0];
  if (parts.size() == 1)
    return head == "login" || head == "logout" || head == "requestPasswordReset" || head == "resetPassword" ||
           head == "upgradeToRevocableSession" || (head == "users" && method == "POST");
  if (parts.size() == 2) {
    if (head == "sessions" && parts[1] == "me") return true;
    if (head == "users") return parts[1] == "me" || method == "PUT" || method == "DELETE";
    if (head == "classes" && parts[1] == kUser) return method == "POST";
  }
  if (parts.size() == 3 && head == "classes" && parts[1] == kUser) return method == "PUT" || method == "DELETE";
  return false;
}

std::pair<int, json::value> Auth::route(const std::string& method, const std::vector<std::string>& parts,
                                        json::object& params, const Caller& caller) {
  const std::string& head = parts[0];
  const bool get = method == "GET" || method == "HEAD";
  auto unknown = [&]() -> std::pair<int, json::value> {
    throw ApiError(kInvalidJSON, fmt::format("Unknown operation: {} /1/{}", method, head), 404);
  };
  if (head == "login") return get || method == "POST" ? logIn(params, caller) : unknown();
  if (head == "logout") return method == "POST" ? logOut(caller) : unknown();
  if (head == "requestPasswordReset") return method == "POST" ? requestPasswordReset(params) : unknown();
  if (head == "resetPassword") return method == "POST" ? resetPassword(params) : unknown();
  if (head == "upgradeToRevocableSession") return method == "POST" ? currentSession(caller) : unknown();
  if (head == "sessions") return get ? currentSession(caller) : unknown();
  if (parts.size() == 2 && parts[1] == "me") return get ? me(caller) : unknown();
  if (parts.size() == 1 || (head == "classes" && parts.size() == 2)) return signUp(std::move(params), caller);
  const std::string& id = parts.back();
  if (method == "PUT") return updateUser(id, std::move(params), caller);
  if (method == "DELETE") return deleteUser(id, caller);
  return unknown();
}

std::string Auth::userForToken(const std::string& token) {
  ReadTransaction t(store_);
  auto session = sessionFor(t.db(), token);
  if (!session) invalidSession();
  return session->userId;
}

std::optional<Auth::Session> Auth::sessionFor(StoreConnection& db, const std::string& token) {
  platform::Statement st(db.database(),
                         "SELECT id, user_id, created_at, expires_at, created_with, installation_id FROM auth_sessions "
                         "WHERE digest = ?");
  st.bind(1, digestOf(token));
  if (!st.step()) return std::nullopt;
  Session s;
  s.objectId = st.getText(0);
  s.userId = st.getText(1);
  s.createdAt = st.getInt64(2);
  s.expiresAt = st.getInt64(3);
  s.createdWith = st.getText(4);
  s.installationId = st.getText(5);
  if (s.expiresAt <= nowMillis()) return std::nullopt;
  return s;
}

std::string Auth::createSession(StoreConnection& db, const std::string& userId, const std::string& action,
                                const std::string& provider, const Caller& caller) {
  const std::string token = "r:" + randomHex(16);
  const auto now = nowMillis();
  const auto expires = now + std::chrono::duration_cast<std::chrono::milliseconds>(config_.sessionLength).count();
  const std::string createdWith =
      JSONSerialization::stringFromBoost(json::object{{"action", action}, {"authProvider", provider}});
  {
    // Expired sessions of this user go when a new one comes, so the table does not only grow.
    platform::Statement st(db.database(), "DELETE FROM auth_sessions WHERE user_id = ? AND expires_at <= ?");
    st.bind(1, userId).bind(2, now);
    st.run();
  }
  platform::Statement st(db.database(),
                         "INSERT INTO auth_sessions(digest, id, user_id, created_at, expires_at, created_with, "
                         "installation_id) VALUES(?, ?, ?, ?, ?, ?, ?)");
  st.bind(1, digestOf(token)).bind(2, randomAlphanumeric(10)).bind(3, userId).bind(4, now).bind(5, expires)
      .bind(6, createdWith).bind(7, caller.installationId);
  st.run();
  return token;
}

json::object Auth::renderSelf(StoreConnection& db, const StoredObject& user) {
  QueryEngine queries(db, AccessScope::forRequest(false, user.objectId));
  return queries.render(user, nullptr, nullptr);
}

std::vector<std::pair<std::string, std::string>> Auth::serviceIds(const json::object& authData) const {
  std::vector<std::pair<std::string, std::string>> ids;
  for (const auto& entry : authData) {
    const std::string type(entry.key());
    if (entry.value().is_null()) continue;
    const bool trusted = type == "anonymous" || std::find(config_.trustedAuthTypes.begin(),
                                                          config_.trustedAuthTypes.end(),
                                                          type) != config_.trustedAuthTypes.end();
    if (!trusted) throw ApiError(kUnsupportedService, fmt::format("This authentication method is unsupported: {}.", type));
    const json::object* data = entry.value().is_object() ? &entry.value().get_object() : nullptr;
    auto id = data ? stringMember(*data, "id") : std::nullopt;
    if (!id) throw ApiError(kIncorrectType, fmt::format("authData.{} needs an \"id\" text.", type));
    ids.emplace_back(type, *id);
  }
  return ids;
}

void Auth::checkLinks(StoreConnection& db, const std::vector<std::pair<std::string, std::string>>& ids,
                      const std::string& userId) {
  platform::Statement st(db.database(), "SELECT user_id FROM auth_links WHERE type = ? AND service_id = ?");
  for (const auto& [type, id] : ids) {
    st.reset();
    st.bind(1, type).bind(2, id);
    if (st.step() && st.getText(0) != userId)
      throw ApiError(kAccountAlreadyLinked, "This authentication data is already linked to another user.");
  }
}

void Auth::writeLinks(StoreConnection& db, const json::object& authData, const std::string& userId) {
  platform::Statement clear(db.database(), "DELETE FROM auth_links WHERE user_id = ? AND type = ?");
  platform::Statement add(db.database(), "INSERT OR REPLACE INTO auth_links(type, service_id, user_id) VALUES(?, ?, ?)");
  for (const auto& entry : authData) {
    const std::string type(entry.key());
    clear.reset();
    clear.bind(1, userId).bind(2, type);
    clear.run();
    if (entry.value().is_null()) continue;
    add.reset();
    add.bind(1, type).bind(2, std::string(entry.value().get_object().at("id").get_string())).bind(3, userId);
    add.run();
  }
}

void Auth::checkUnique(StoreConnection& db, const json::object& body, const std::string& userId) {
  if (const auto* name = member(body, "username")) {
    for (const auto& other : db.findEqual(kUser, "username", *name))
      if (other.objectId != userId) throw ApiError(kUsernameTaken, "Account already exists for this username.");
  }
  if (const auto* email = member(body, "email")) {
    for (const auto& other : db.findEqual(kUser, "email", *email))
      if (other.objectId != userId) throw ApiError(kEmailTaken, "Account already exists for this email address.");
  }
}

namespace {

// Checks the fields of a user that travel beside its other data; returns the password, if any.
std::optional<std::string> takeCredentials(json::object& body, bool requireAll) {
  if (const auto* v = body.if_contains("username"); v || requireAll) {
    if (!v || !v->is_string() || v->get_string().empty())
      throw ApiError(kUsernameMissing, "bad or missing username");
  }
  std::optional<std::string> password;
  if (const auto* v = body.if_contains("password"); v || requireAll) {
    if (!v || !v->is_string() || v->get_string().empty()) throw ApiError(kPasswordMissing, "password is required");
    password = std::string(v->get_string());
  }
  if (const auto* v = body.if_contains("email"); v && !v->is_null()) {
    if (!v->is_string() || !isEmailAddress(v->get_string()))
      throw ApiError(kInvalidEmailAddress, "Email address format is invalid.");
  }
  body.erase("password");
  // The server hands out tokens; one sent in a body is never stored.
  body.erase("sessionToken");
  return password;
}

}  // namespace

std::pair<int, json::value> Auth::signUp(json::object body, const Caller& caller) {
  const json::object* authData = nullptr;
  if (const auto* a = member(body, "authData")) {
    if (!a->is_object()) throw ApiError(kIncorrectType, "authData must be an object.");
    authData = &a->get_object();
  }
  if (authData && !body.contains("username") && !body.contains("password"))
    return logInWithService(*authData, caller);
  auto password = takeCredentials(body, true);
  const auto ids = authData ? serviceIds(*authData) : std::vector<std::pair<std::string, std::string>>{};
  // The slow part comes before the writer is taken, so sign-ups do not queue every write.
  const std::string digest = hashPassword(*password);

  WriteTransaction t(store_);
  checkUnique(t.db(), body, "");
  checkLinks(t.db(), ids, "");
  QueryEngine queries(t.db());
  ObjectService objects(t.db(), queries);
  const bool hasACL = body.contains("ACL");
  auto created = objects.create(kUser, body);
  const std::string userId(created.body.at("objectId").get_string());
  if (!hasACL) {
    auto stored = t.db().get(kUser, userId);
    stored->fields["ACL"] = defaultUserACL(userId);
    t.db().update(*stored);
  }
  setPasswordDigest(t.db(), userId, digest);
  if (authData) writeLinks(t.db(), *authData, userId);
  created.body["sessionToken"] = createSession(t.db(), userId, "signup", "password", caller);
  t.commit();
  return {201, std::move(created.body)};
}

std::pair<int, json::value> Auth::logInWithService(const json::object& authData, const Caller& caller) {
  const auto ids = serviceIds(authData);
  if (ids.empty()) throw ApiError(kIncorrectType, "authData names no service.");
  WriteTransaction t(store_);
  std::string userId;
  {
    platform::Statement st(t.db().database(), "SELECT user_id FROM auth_links WHERE type = ? AND service_id = ?");
    for (const auto& [type, id] : ids) {
      st.reset();
      st.bind(1, type).bind(2, id);
      if (!st.step()) continue;
      const std::string linked = st.getText(0);
      if (!userId.empty() && linked != userId)
        throw ApiError(kAccountAlreadyLinked, "This authentication data is already linked to another user.");
      userId = linked;
    }
  }
  const std::string provider = ids.front().first;
  if (!userId.empty()) {
    auto user = t.db().get(kUser, userId);
    if (!user) throw ApiError(kObjectNotFound, "Object not found.");
    json::object merged;
    if (const auto* old = member(user->fields, "authData"); old && old->is_object()) merged = old->get_object();
    for (const auto& e : authData) merged[e.key()] = e.value();
    user->fields["authData"] = merged;
    t.db().update(*user);
    writeLinks(t.db(), authData, userId);
    json::object reply = renderSelf(t.db(), *user);
    reply["sessionToken"] = createSession(t.db(), userId, "login", provider, caller);
    t.commit();
    return {200, std::move(reply)};
  }
  QueryEngine queries(t.db());
  ObjectService objects(t.db(), queries);
  std::string username;
  do username = randomAlphanumeric(25);
  while (!t.db().findEqual(kUser, "username", json::value(username)).empty());
  auto created = objects.create(kUser, json::object{{"username", username}, {"authData", authData}});
  userId = std::string(created.body.at("objectId").get_string());
  auto stored = t.db().get(kUser, userId);
  stored->fields["ACL"] = defaultUserACL(userId);
  t.db().update(*stored);
  writeLinks(t.db(), authData, userId);
  created.body["username"] = username;
  created.body["authData"] = authData;
  created.body["sessionToken"] = createSession(t.db(), userId, "signup", provider, caller);
  t.commit();
  return {201, std::move(created.body)};
}

std::optional<std::chrono::steady_clock::time_point> Auth::reserveLogIn(const std::string& user,
                                                                        const std::string& address) {
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard lock(failuresMutex_);
  if (failures_.size() > kMaxTrackedKeys) {
    std::erase_if(failures_, [&](const auto& e) { return e.second.empty() || now - e.second.back() >= kFailureWindow; });
  }
  auto& byUser = failures_["u:" + user];
  auto& byAddress = failures_["a:" + address];
  for (auto* list : {&byUser, &byAddress})
    while (!list->empty() && now - list->front() >= kFailureWindow) list->pop_front();
  if (static_cast<int>(byUser.size()) >= config_.failedLoginsPerUser ||
      static_cast<int>(byAddress.size()) >= config_.failedLoginsPerAddress)
    return std::nullopt;
  // Counted as failed until it succeeds: parallel guesses cannot all slip in under the limit.
  byUser.push_back(now);
  byAddress.push_back(now);
  return now;
}

void Auth::logInSucceeded(const std::string& user, const std::string& address,
                          std::chrono::steady_clock::time_point reserved) {
  std::lock_guard lock(failuresMutex_);
  for (const auto& key : {"u:" + user, "a:" + address}) {
    auto it = failures_.find(key);
    if (it == failures_.end()) continue;
    auto at = std::find(it->second.begin(), it->second.end(), reserved);
    if (at != it->second.end()) it->second.erase(at);
  }
}

std::pair<int, json::value> Auth::logIn(const json::object& params, const Caller& caller) {
  auto username = stringMember(params, "username");
  if (!username) throw ApiError(kUsernameMissing, "username is required.");
  auto password = stringMember(params, "password");
  if (!password) throw ApiError(kPasswordMissing, "password is required.");
  const auto attempt = reserveLogIn(*username, caller.address);
  if (!attempt) throw ApiError(kRequestLimitExceeded, "Too many failed log-ins. Try again later.", 429);

  std::optional<StoredObject> user;
  std::string digest = dummyDigest_;
  {
    ReadTransaction t(store_);
    user = userByName(t.db(), *username);
    if (user) {
      if (auto stored = passwordDigest(t.db(), user->objectId)) digest = *stored;
    }
  }
  // An unknown user costs a verification too, and every failure is the same reply.
  const bool matches = verifyPassword(digest, *password);
  if (!user || !matches || digest == dummyDigest_) throw ApiError(kObjectNotFound, "Invalid username/password.");
  logInSucceeded(*username, caller.address, *attempt);
  WriteTransaction t(store_);
  // The row may have gone while the password was being checked.
  auto current = t.db().get(kUser, user->objectId);
  if (!current) throw ApiError(kObjectNotFound, "Invalid username/password.");
  json::object reply = renderSelf(t.db(), *current);
  reply["sessionToken"] = createSession(t.db(), current->objectId, "login", "password", caller);
  t.commit();
  return {200, std::move(reply)};
}

std::pair<int, json::value> Auth::me(const Caller& caller) {
  if (caller.userId.empty()) invalidSession();
  ReadTransaction t(store_);
  auto user = t.db().get(kUser, caller.userId);
  if (!user) invalidSession();
  json::object reply = renderSelf(t.db(), *user);
  reply["sessionToken"] = caller.sessionToken;
  return {200, std::move(reply)};
}

std::pair<int, json::value> Auth::logOut(const Caller& caller) {
  if (caller.sessionToken.empty()) invalidSession();
  WriteTransaction t(store_);
  platform::Statement st(t.db().database(), "DELETE FROM auth_sessions WHERE digest = ?");
  st.bind(1, digestOf(caller.sessionToken));
  st.run();
  t.commit();
  return {200, json::object{}};
}

std::pair<int, json::value> Auth::currentSession(const Caller& caller) {
  if (caller.sessionToken.empty()) invalidSession();
  ReadTransaction t(store_);
  auto session = sessionFor(t.db(), caller.sessionToken);
  if (!session) invalidSession();
  boost::system::error_code ec;
  json::value createdWith = parseJson(session->createdWith, ec);
  if (ec) createdWith = json::object{};
  json::object reply{
      {"objectId", session->objectId},
      {"createdAt", preciseDateText(session->createdAt)},
      {"updatedAt", preciseDateText(session->createdAt)},
      {"sessionToken", caller.sessionToken},
      {"user", json::object{{"__type", "Pointer"}, {"className", kUser}, {"objectId", session->userId}}},
      {"createdWith", std::move(createdWith)},
      {"installationId", session->installationId},
      {"expiresAt", dateValue(session->expiresAt)},
      {"restricted", false},
  };
  return {200, std::move(reply)};
}

std::pair<int, json::value> Auth::requestPasswordReset(const json::object& params) {
  auto email = stringMember(params, "email");
  if (!email) throw ApiError(kEmailMissing, "you must provide an email");
  // The reply is the same whether or not anyone has this address.
  std::string userId;
  std::string token;
  {
    WriteTransaction t(store_);
    auto users = t.db().findEqual(kUser, "email", json::value(*email));
    if (!users.empty() && !config_.outboxDir.empty()) {
      userId = users.front().objectId;
      token = randomHex(32);
      platform::Statement st(t.db().database(), "INSERT INTO auth_resets(digest, user_id, expires_at) VALUES(?, ?, ?)");
      const auto expires =
          nowMillis() + std::chrono::duration_cast<std::chrono::milliseconds>(config_.resetLinkLength).count();
      st.bind(1, digestOf(token)).bind(2, userId).bind(3, expires);
      st.run();
      platform::Statement prune(t.db().database(), "DELETE FROM auth_resets WHERE expires_at <= ?");
      prune.bind(1, nowMillis());
      prune.run();
      t.commit();
    }
  }
  if (token.empty()) return {200, json::object{}};
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::create_directories(config_.outboxDir, ec);
  ::chmod(config_.outboxDir.c_str(), 0700);
  std::string base;
  {
    std::lock_guard lock(urlMutex_);
    base = publicURL_;
  }
  const fs::path file = fs::path(config_.outboxDir) / fmt::format("reset-{}-{}.txt", nowMillis(), randomHex(4));
  const mode_t previous = ::umask(0077);
  std::ofstream out(file, std::ios::binary);
  ::umask(previous);
  out << "To: " << *email << "\nSubject: Reset your password\n\n"
      << "Send a new password to this link within the hour; it works once:\n"
      << base << "/1/resetPassword?token=" << token << "\n"
      << "token: " << token << "\n";
  if (!out) logError("keel-server: cannot write the reset mail for user %@ to %@", userId, file.string());
  return {200, json::object{}};
}

std::pair<int, json::value> Auth::resetPassword(const json::object& params) {
  auto token = stringMember(params, "token");
  auto password = stringMember(params, "password");
  if (!token) throw ApiError(kObjectNotFound, "The reset link is invalid or has expired.");
  if (!password) throw ApiError(kPasswordMissing, "password is required");
  const std::string digest = hashPassword(*password);
  WriteTransaction t(store_);
  platform::Statement find(t.db().database(), "SELECT user_id, expires_at FROM auth_resets WHERE digest = ?");
  find.bind(1, digestOf(*token));
  if (!find.step() || find.getInt64(1) <= nowMillis())
    throw ApiError(kObjectNotFound, "The reset link is invalid or has expired.");
  const std::string userId = find.getText(0);
  find.reset();
  // One use: every outstanding link of the user goes, and so does every session.
  platform::Statement used(t.db().database(), "DELETE FROM auth_resets WHERE user_id = ?");
  used.bind(1, userId);
  used.run();
  if (!t.db().exists(kUser, userId)) throw ApiError(kObjectNotFound, "The reset link is invalid or has expired.");
  setPasswordDigest(t.db(), userId, digest);
  revokeSessionsOf(t.db(), userId);
  t.commit();
  return {200, json::object{}};
}

std::pair<int, json::value> Auth::updateUser(const std::string& userId, json::object body, const Caller& caller) {
  auto password = takeCredentials(body, false);
  std::optional<std::string> digest;
  if (password) digest = hashPassword(*password);
  const json::object* authData = nullptr;
  if (const auto* a = member(body, "authData")) {
    if (!a->is_object()) throw ApiError(kIncorrectType, "authData must be an object.");
    authData = &a->get_object();
  }
  const auto ids = authData ? serviceIds(*authData) : std::vector<std::pair<std::string, std::string>>{};

  WriteTransaction t(store_);
  QueryEngine queries(t.db(), caller.scope());
  ObjectService objects(t.db(), queries);
  auto stored = t.db().get(kUser, userId);
  if (stored && !caller.master && caller.userId != userId)
    throw ApiError(kUserCannotBeAlteredWithoutSession, fmt::format("Cannot modify user {}.", userId));
  if (stored) {
    checkUnique(t.db(), body, userId);
    checkLinks(t.db(), ids, userId);
    if (authData) {
      // Linking merges: a type sent as null is unlinked, the others stay as they were.
      json::object merged;
      if (const auto* old = member(stored->fields, "authData"); old && old->is_object()) merged = old->get_object();
      for (const auto& e : *authData) {
        if (e.value().is_null()) merged.erase(e.key());
        else merged[e.key()] = e.value();
      }
      json::object linkChanges = *authData;
      body["authData"] = std::move(merged);
      auto result = objects.update(kUser, userId, body);
      writeLinks(t.db(), linkChanges, userId);
      if (digest) setPasswordDigest(t.db(), userId, *digest);
      t.commit();
      return {result.status, std::move(result.body)};
    }
  }
  auto result = objects.update(kUser, userId, body);
  if (digest) setPasswordDigest(t.db(), userId, *digest);
  t.commit();
  return {result.status, std::move(result.body)};
}

std::pair<int, json::value> Auth::deleteUser(const std::string& userId, const Caller& caller) {
  WriteTransaction t(store_);
  QueryEngine queries(t.db(), caller.scope());
  ObjectService objects(t.db(), queries);
  objects.remove(kUser, userId, caller.master);
  for (const char* sql : {"DELETE FROM auth_passwords WHERE user_id = ?", "DELETE FROM auth_sessions WHERE user_id = ?",
                          "DELETE FROM auth_links WHERE user_id = ?", "DELETE FROM auth_resets WHERE user_id = ?"}) {
    platform::Statement st(t.db().database(), sql);
    st.bind(1, userId);
    st.run();
  }
  t.commit();
  return {200, json::object{}};
}

}  // namespace keel::server
