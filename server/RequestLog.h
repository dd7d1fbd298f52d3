// RequestLog: the replies of changes that carried a request id ("X-Keel-Request-Id"), so that
// a client that never heard an answer can send the same request again and receive the first
// answer instead of making the change a second time (a lost reply to an Increment must not
// increment twice).
//
// An entry is written in the transaction of the change it answers: either both are durable or
// neither is. Entries are kept per application and per caller (the key it was sent with and a
// digest of its session token), so a duplicate sent with another user's session runs as a
// request of its own and never receives someone else's reply. They expire after a retention
// window; an expired id is a new request again. Changes run one at a time on the write connection, so a duplicate
// that arrives while the first is still running waits for it and then finds its entry.
//
// Thread-safety: static functions on a connection the caller holds the lease of, inside its
// transaction.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <keel/base/Sqlite.h>

namespace keel::server {

struct LoggedReply {
  std::string method;  // the request's method and path, to refuse an id reused for another request
  std::string path;
  int status = 200;
  std::string body;
};

class RequestLog {
 public:
  // Longest request id accepted; a client's command identifier is well below it.
  static constexpr std::size_t kMaxIdLength = 200;

  // Creates the table and its index when missing. REQUIRES: the write connection.
  static void createTable(platform::Database& db);

  // Returns true iff `id` is 1 to kMaxIdLength printable ASCII characters without spaces.
  static bool isValidId(std::string_view id);

  // Returns the reply stored for (application, caller, id) at or after `notBefore`
  // (milliseconds since 1970), or none.
  static std::optional<LoggedReply> find(platform::Database& db, const std::string& application,
                                         const std::string& caller, const std::string& id, std::int64_t notBefore);

  // Stores the reply of (application, caller, id), written at `now`.
  static void store(platform::Database& db, const std::string& application, const std::string& caller,
                    const std::string& id, const LoggedReply& reply, std::int64_t now);

  // Removes the entries written before `notBefore`; returns how many.
  static int prune(platform::Database& db, std::int64_t notBefore);
};

}  // namespace keel::server
