// Keychain: this platform's stand-in for the system keychain's generic-password items. Items
// are grouped by service; each item is one account name with one value. The items of a service
// live in one file of their own, "<keychain directory>/<escaped service>.keychain", a JSON
// object from account to value, written atomically with mode 0600. The keychain directory is
// <home>/Library/Keychains unless a test points it elsewhere; it sits outside the library's
// data directories so that moving or clearing those never touches secrets by accident.
//
// Values are JSON-compatible keel::Values (null, numbers, strings, arrays, dictionaries).
// Read-modify-write of a service's file holds an advisory lock on "<file>.lock", so processes
// sharing the keychain directory do not lose each other's writes.
//
// Thread-safety: every function may be called from any thread.
#pragma once

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
};

class Keychain {
 public:
  // Replaces the directory that holds the service files (an empty path restores the default).
  static void setDirectory(const std::string& path);
  // Returns the directory that holds the service files.
  static std::string directory();
  // Returns the file that holds the items of `service`.
  static std::string filePathForService(const std::string& service);

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
  // Lists the accounts of the service's items; ItemNotFound when there are none.
  static KeychainStatus copyAccounts(const std::string& service, std::vector<std::string>& accounts);
};

}  // namespace platform
