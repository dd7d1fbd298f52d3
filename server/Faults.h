// Faults: rules that make the next N requests to a path fail on purpose, so that client tests
// can watch retries, time-outs and dropped connections against the real server. A rule answers
// with a chosen status and error body, waits before answering, or drops the connection. It may
// first let K matching requests through ("fail after K requests", e.g. the third page of a
// paged sync), and it may apply the request before failing its reply, which is what a client
// sees when the network loses an answer.
//
// Every request that take() sees is also counted by path and by method and path, so tests can
// check how many requests a client really sent.
//
// The HTTP layer consults take() before handing a request on; Api serves the control requests
// (only when the server runs with --faults, only from loopback).
//
// Thread-safety: every member may be called from any thread.
#pragma once

#include <boost/json.hpp>

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace keel::server {

struct FaultAction {
  int status = 0;  // 0: answer normally (after the delay)
  int code = 1;
  std::string error = "Injected fault.";
  std::chrono::milliseconds delay{0};
  bool drop = false;
  bool apply = false;  // run the request first, then delay, fail or drop its reply
};

struct FaultRule {
  std::string path;    // exact path, or a prefix when it ends with "*"
  std::string method;  // empty: any method
  int skip = 0;       // matching requests still let through before the rule fires
  int remaining = 1;  // requests the rule still fires for
  FaultAction action;
};

class Faults {
 public:
  // Adds a rule; rules are tried in the order they were added.
  void add(FaultRule rule);
  // Parses a rule from its JSON control form {"path", "method"?, "after"?, "count"?, "status"?,
  // "code"?, "error"?, "delayMs"?, "drop"?, "apply"?}; returns an error text when it is malformed.
  static std::optional<std::string> parse(const boost::json::object& body, FaultRule& out);
  // Removes every rule and sets every request counter back to zero.
  void clear();
  // Counts the request, and returns the action for it (using up one of its rule's requests)
  // or none. A rule still letting requests through counts one down and lets this one pass.
  std::optional<FaultAction> take(const std::string& method, const std::string& path);
  // Returns the pending rules in their JSON form.
  boost::json::array list() const;
  // Returns {"requests": {path: n}, "requestsByMethod": {"METHOD path": n}}.
  boost::json::object counters() const;

  // Distinct paths counted at most; requests to further paths are not counted, so a client
  // walking many ids cannot grow the table without end.
  static constexpr std::size_t kMaxCountedPaths = 10000;

 private:
  mutable std::mutex mutex_;
  std::vector<FaultRule> rules_;
  std::map<std::string, std::int64_t> byPath_;
  std::map<std::string, std::int64_t> byMethodAndPath_;
};

}  // namespace keel::server
