// SecretServiceKeychain: keychain items kept by the Secret Service, the keyring daemon of the
// desktop session, reached over the session bus through libsecret. Internal to the platform
// layer (not installed); platform/Keychain.h decides when to use it.
//
// An item is identified by its schema ("com.keel.Keychain") and two attributes, "service" and
// "account"; its secret is the value's JSON text. Items go to the default collection (the login
// keyring on a desktop).
//
// Every call is bounded in time: a service that stops answering, or an unlock prompt nobody
// answers, fails the call (NotAvailable) instead of holding the caller for ever.
//
// Thread-safety: the object may be used from any thread, one call at a time; the keychain
// serialises its calls.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <keel/platform/Keychain.h>

namespace platform::internal {

class SecretServiceKeychain {
 public:
  // Returns a connection when the session bus offers the Secret Service with a default
  // collection that is unlocked, so that items can be written without asking anyone; returns
  // nullptr otherwise, with the reason in `reason`. With `requireUnlockedCollection` false,
  // only the service itself has to answer.
  static std::unique_ptr<SecretServiceKeychain> connect(bool requireUnlockedCollection, std::string& reason);

  ~SecretServiceKeychain();
  SecretServiceKeychain(const SecretServiceKeychain&) = delete;
  SecretServiceKeychain& operator=(const SecretServiceKeychain&) = delete;

  // Reads the secret of an item; ItemNotFound when there is none.
  KeychainStatus copy(const std::string& service, const std::string& account, std::string& secret);
  // Returns Success when the item exists, ItemNotFound when it does not.
  KeychainStatus contains(const std::string& service, const std::string& account);
  // Creates the item or replaces its secret.
  KeychainStatus store(const std::string& service, const std::string& account, const std::string& secret);
  // Deletes the item; ItemNotFound when there was none.
  KeychainStatus remove(const std::string& service, const std::string& account);
  // Deletes every item of the service; ItemNotFound when there was none.
  KeychainStatus removeAll(const std::string& service);
  // Lists the accounts of the service's items (empty when there are none).
  KeychainStatus accounts(const std::string& service, std::vector<std::string>& accounts);

 private:
  struct Connection;
  explicit SecretServiceKeychain(std::unique_ptr<Connection> connection);

  std::unique_ptr<Connection> connection_;
};

}  // namespace platform::internal
