// SessionTokenProvider: where a query finds the session token of the signed-in user. The token
// goes into the request and into the result cache's key, so one user's cached results are never
// served to another (or to nobody signed in).
//
// The object layer cannot see the accounts layer that knows the current user, so the accounts
// layer implements this interface and puts it into the core manager's slot
// (core.setComponent<SessionTokenProvider>(...)). Until it does, sessionTokenProvider() hands out
// a provider that always answers "no session".
//
// Thread-safety: implementations may be called from any thread.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include <keel/tasks/Task.h>

namespace keel {

class CoreManager;

class SessionTokenProvider {
 public:
  virtual ~SessionTokenProvider() = default;
  // Returns a task with the current user's session token, or none when nobody is signed in.
  virtual Task<std::optional<std::string>> currentSessionTokenAsync() = 0;
};

// Answers "no session", always.
class NoSessionTokenProvider final : public SessionTokenProvider {
 public:
  Task<std::optional<std::string>> currentSessionTokenAsync() override {
    return Task<std::optional<std::string>>::taskWithResult(std::nullopt);
  }
};

// Returns the provider in the core manager's slot, making a NoSessionTokenProvider when the slot
// is empty.
std::shared_ptr<SessionTokenProvider> sessionTokenProvider(CoreManager& core);

}  // namespace keel
