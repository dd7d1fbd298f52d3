// KeychainStore: a dictionary over the keychain items of one service. Each key is one item
// (its account); its object is stored in the library's JSON value form. The keychain is
// platform/Keychain.h: the Secret Service of the desktop session when the session bus offers
// one, else a file per service (mode 0600, written atomically); items written while one store
// was in use are carried over, or kept for later, when the other is chosen in another run.
//
// Failures are logged and reported as false or none, never raised. An object that JSON cannot
// express (a date, bytes, a reference) cannot be archived and stores nothing.
//
// Thread-safety: every member may be called from any thread. Reads run concurrently on the
// store's queue; writes and removals run there as barriers.
#pragma once

#include <memory>
#include <string>

#include <keel/base/Value.h>
#include <keel/platform/Dispatch.h>

namespace keel {

class KeychainStore {
 public:
  // Throws: the plain initializer is not the designated one.
  KeychainStore();
  explicit KeychainStore(std::string service);

  const std::string& service() const { return service_; }
  // Returns the query every item of this store matches: the item class and, when the service
  // is not empty, its service attribute, and the accessibility the items are written with.
  const Dictionary& keychainQueryTemplate() const { return queryTemplate_; }

  // Returns the object under `key`, or the null Value when there is none.
  Value objectForKey(const std::string& key) const;
  Value objectForKeyedSubscript(const std::string& key) const { return objectForKey(key); }
  // Stores `object` under `key`; returns true iff it was stored. A null object stores nothing.
  bool setObject(const Value& object, const std::string& key);
  bool setObjectForKeyedSubscript(const Value& object, const std::string& key) { return setObject(object, key); }
  // Removes the item of `key`; returns true iff one was removed.
  bool removeObjectForKey(const std::string& key);
  // Removes every item of the service; returns true iff all went.
  bool removeAllObjects();

 private:
  Value readObjectForKey(const std::string& key) const;
  bool removeObjectForKeyOnQueue(const std::string& key);

  std::string service_;
  Dictionary queryTemplate_;
  platform::DispatchQueuePtr queue_;
};

}  // namespace keel
