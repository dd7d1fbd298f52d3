// Auth: users, passwords and sessions of the backend: sign-up and log-in by password or by a
// linked service's data, "users/me", log-out, revocable sessions, password reset by a one-time
// link, and the rules for changing and deleting "_User" rows.
//
// Secrets are kept so that a copy of the database gives nothing away: passwords as Argon2id
// digests (libsodium's crypto_pwhash_str, salted, cost from AuthConfig), session tokens and
// reset links as SHA-256 digests, never in a user's document. A token is "r:" and 128 random
// bits. Log-in failures for an unknown user and for a wrong password are one and the same
// reply, and an unknown user still costs one password verification, so neither the answer nor
// its time tells them apart. Failed log-ins are counted per user and per client address; past
// the limit within a minute, log-in is refused with 429 until the oldest failure ages out.
//
// Hashing is slow on purpose: it runs without holding any database connection, so other
// requests go on meanwhile.
//
// Thread-safety: all members may be called from any thread at once. Each operation leases the
// Store connections it needs one at a time, never two together.
#pragma once

#include <boost/json.hpp>

#include <chrono>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "server/Acl.h"
#include "server/Store.h"

namespace keel::server {

struct AuthConfig {
  // Argon2id cost; the defaults are libsodium's interactive limits.
  unsigned long long hashOps = 2;
  std::size_t hashMemoryBytes = 64u << 20;
  std::chrono::seconds sessionLength{std::chrono::hours(24 * 365)};
  std::chrono::seconds resetLinkLength{std::chrono::hours(1)};
  int failedLoginsPerUser = 10;      // within a minute
  int failedLoginsPerAddress = 100;  // within a minute
  std::string outboxDir;             // reset mails go here; empty: none are written
  std::string publicURL;             // base of reset links
  // Services whose data is taken at its word (the server cannot ask them); "anonymous" always is.
  std::vector<std::string> trustedAuthTypes;
};

// Who sent a request, as far as authentication goes.
struct Caller {
  bool master = false;
  std::string userId;        // the session's user, empty without a session
  std::string sessionToken;  // as sent
  std::string address;       // the client's address, for rate limits
  std::string installationId;

  AccessScope scope() const { return AccessScope::forRequest(master, userId); }
};

class Auth {
 public:
  // Creates the tables it needs. REQUIRES: `store` outlives the Auth.
  Auth(Store& store, AuthConfig config);

  // Returns the user id of a live session token; throws ApiError 209 for an unknown, revoked
  // or expired one.
  std::string userForToken(const std::string& token);

  // Returns true iff the request is one that Auth answers (paths after "/1/").
  static bool handles(const std::string& method, const std::vector<std::string>& parts);
  // Answers such a request: {status, body}. Throws ApiError.
  std::pair<int, json::value> route(const std::string& method, const std::vector<std::string>& parts,
                                    json::object& params, const Caller& caller);

  // Sets the base address of reset links once the server knows it (when not configured).
  void setPublicURL(std::string url);

  // Returns an Argon2id digest of `password` at the configured cost, and checks one.
  std::string hashPassword(const std::string& password) const;
  static bool verifyPassword(const std::string& digest, const std::string& password);

 private:
  struct Session {
    std::string objectId;
    std::string userId;
    std::int64_t createdAt = 0;
    std::int64_t expiresAt = 0;
    std::string createdWith;  // JSON text
    std::string installationId;
  };

  std::pair<int, json::value> signUp(json::object body, const Caller& caller);
  std::pair<int, json::value> logInWithService(const json::object& authData, const Caller& caller);
  std::pair<int, json::value> logIn(const json::object& params, const Caller& caller);
  std::pair<int, json::value> me(const Caller& caller);
  std::pair<int, json::value> logOut(const Caller& caller);
  std::pair<int, json::value> currentSession(const Caller& caller);
  std::pair<int, json::value> requestPasswordReset(const json::object& params);
  std::pair<int, json::value> resetPassword(const json::object& params);
  std::pair<int, json::value> updateUser(const std::string& userId, json::object body, const Caller& caller);
  std::pair<int, json::value> deleteUser(const std::string& userId, const Caller& caller);

  // Starts a session for the user and returns its token.
  std::string createSession(StoreConnection& db, const std::string& userId, const std::string& action,
                            const std::string& provider, const Caller& caller);
  std::optional<Session> sessionFor(StoreConnection& db, const std::string& token);
  // Checks a service's data and returns the ids it names, by type; null entries (unlink) are kept
  // out. Throws 111 / 252.
  std::vector<std::pair<std::string, std::string>> serviceIds(const json::object& authData) const;
  // Throws 208 when a service account is linked to a user other than `userId`.
  void checkLinks(StoreConnection& db, const std::vector<std::pair<std::string, std::string>>& ids,
                  const std::string& userId);
  void writeLinks(StoreConnection& db, const json::object& authData, const std::string& userId);
  // Throws 202 / 203 when another user holds the name or address.
  void checkUnique(StoreConnection& db, const json::object& body, const std::string& userId);
  json::object renderSelf(StoreConnection& db, const StoredObject& user);

  // Failed log-in bookkeeping: an attempt counts as failed from its start until it succeeds.
  // Returns none when the user or the address is past its limit.
  std::optional<std::chrono::steady_clock::time_point> reserveLogIn(const std::string& user, const std::string& address);
  void logInSucceeded(const std::string& user, const std::string& address, std::chrono::steady_clock::time_point reserved);

  Store& store_;
  const AuthConfig config_;
  std::string dummyDigest_;  // verified against for unknown users

  std::mutex urlMutex_;
  std::string publicURL_;

  std::mutex failuresMutex_;
  std::unordered_map<std::string, std::deque<std::chrono::steady_clock::time_point>> failures_;
};

}  // namespace keel::server
