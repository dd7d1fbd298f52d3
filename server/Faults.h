// Faults: rules that make the next N requests to a path fail on purpose, so that client tests
// can watch retries, time-outs and dropped connections against the real server. A rule answers
// with a chosen status and error body, waits before answering, or drops the connection.
//
// The HTTP layer consults take() before handing a request on; Api serves the control requests
// (only when the server runs with --faults, only from loopback).
//
// Thread-safety: every member may be called from any thread.
#pragma once

#include <boost/json.hpp>

#include <chrono>
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
};

struct FaultRule {
  std::string path;    // exact path, or a prefix when it ends with "*"
  std::string method;  // empty: any method
  int remaining = 1;
  FaultAction action;
};

class Faults {
 public:
  // Adds a rule; rules are tried in the order they were added.
  void add(FaultRule rule);
  // Parses a rule from its JSON control form {"path", "method"?, "count"?, "status"?, "code"?,
  // "error"?, "delayMs"?, "drop"?}; returns an error text when it is malformed.
  static std::optional<std::string> parse(const boost::json::object& body, FaultRule& out);
  void clear();
  // Returns the action for this request and uses up one of its rule's requests, or none.
  std::optional<FaultAction> take(const std::string& method, const std::string& path);
  // Returns the pending rules in their JSON form.
  boost::json::array list() const;

 private:
  mutable std::mutex mutex_;
  std::vector<FaultRule> rules_;
};

}  // namespace keel::server
