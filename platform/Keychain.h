// Keychain: this platform's system keychain of generic-password items. Items are grouped by
// service; each item is one account name with one value. Values are JSON-compatible
// keel::Values (null, numbers, strings, arrays, dictionaries).
//
// Two stores keep the items:
//  - the Secret Service: the desktop session's keyring daemon on the session bus, chosen when
//    a session bus offers it with an unlocked default collection (so that nothing has to ask
//    the user for a password just to start);
//  - the file store otherwise: one file per service, "<keychain directory>/<escaped
//    service>.keychain", a JSON object from account to value, written atomically with mode
//    0600 in a directory of mode 0700. The keychain directory is <home>/Library/Keychains
//    unless a test points it elsewhere; it sits outside the library's data directories so that
//    moving or clearing those never touches secrets by accident.
// The store is chosen once per process, at the first call.
//
// A bus can come and go between runs (a desktop session, then a cron job or an SSH login), so
// neither store may lose what the other holds:
//  - Whenever the Secret Service is in use and the file store holds items of a service, they
//    are moved into the Secret Service before the service is read or written (the file store
//    is only written while the Secret Service was away, so its items are the newer ones).
//  - Items in the Secret Service cannot be read while it is away: a process without it sees
//    only the file store. It writes there, and the items move over when the service is back.
//  - A removal made while the Secret Service is away is remembered in
//    "<escaped service>.keychain.removed" and carried out when it is back, so that an item
//    removed on log-out (a session token) does not come back.
//
// Read-modify-write of a service's files holds an advisory lock on "<file>.lock", so processes
// sharing the keychain directory do not lose each other's writes.
//
// Thread-safety: every function may be called from any thread; calls are serialised.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <keel/base/Value.h>

namespace platform {

// Status codes, as the system keychain reports them.
enum class KeychainStatus : long {
  Success = 0,
  ItemNotFound = -25300,
  DuplicateItem = -25299,
  Param = -50,
  IO = -36,
  Decode = -26275,
  NotAvailable = -25291,  // the Secret Service failed or stopped answering
};

// Where the items are kept.
enum class KeychainBackend {
  File,
  SecretService,
};

class Keychain {
 public:
  // Replaces the directory that holds the service files (an empty path restores the default).
  static void setDirectory(const std::string& path);
  // Returns the directory that holds the service files.
  static std::string directory();
  // Returns the file that holds the items of `service` in the file store.
  static std::string filePathForService(const std::string& service);

  // Returns the store in use, choosing it at the first call of the process.
  static KeychainBackend backend();
  // Uses `backend` from now on (for tests and tools); none chooses again at the next call.
  // Forcing the Secret Service only requires that it answers, not that it is unlocked.
  static void setBackend(std::optional<KeychainBackend> backend);

  // Reads the value of one item.
  static KeychainStatus copyItem(const std::string& service, const std::string& account,
                                 keel::Value& value);
  // Adds an item; DuplicateItem when it exists.
  static KeychainStatus addItem(const std::string& service, const std::string& account,
                                const keel::Value& value);
  // Replaces the value of an existing item; ItemNotFound when there is none.
  static KeychainStatus updateItem(const std::string& service, const std::string& account,
                                   const keel::Value& value);
  // Deletes an item; ItemNotFound when there is none.
  static KeychainStatus deleteItem(const std::string& service, const std::string& account);
  // Deletes every item of the service; Success also when there was none.
  static KeychainStatus deleteAllItems(const std::string& service);
  // Lists the accounts of the service's items; ItemNotFound when there are none.
  static KeychainStatus copyAccounts(const std::string& service, std::vector<std::string>& accounts);
};

}  // namespace platform
