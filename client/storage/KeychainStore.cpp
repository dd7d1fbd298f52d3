#include <keel/storage/KeychainStore.h>

#include <keel/base/Exception.h>
#include <keel/base/JSONSerialization.h>
#include <keel/base/Logger.h>
#include <keel/tasks/TaskLibrary.h>
#include <keel/platform/Keychain.h>

namespace keel {
namespace {

using platform::Keychain;
using platform::KeychainStatus;

// Raises when the keychain is touched off the store's queue: mutations there are what keep
// the read-then-write of setObject free of races.
void requireQueue(const platform::DispatchQueuePtr& queue, const char* operation) {
  if (!queue->isCurrent()) {
    throw InternalInconsistencyException(
        formatMessage("%s must be executed on %s", operation, queue->label().c_str()));
  }
}

}  // namespace

KeychainStore::KeychainStore() {
  throw InternalInconsistencyException(formatMessage(
      "%@ is not the designated initializer for instances of %@.", "init", "KeychainStore"));
}

KeychainStore::KeychainStore(std::string service)
    : service_(std::move(service)),
      queue_(platform::DispatchQueue::createConcurrent(std::string(kQueueLabelPrefix) + ".keychain." + service_)) {
  queryTemplate_.set("class", "genp");
  if (!service_.empty()) queryTemplate_.set("svce", service_);
  queryTemplate_.set("pdmn", "akpu");  // after first unlock, this device only
}

Value KeychainStore::objectForKey(const std::string& key) const {
  Value result;
  queue_->sync([&] { result = readObjectForKey(key); });
  return result;
}

Value KeychainStore::readObjectForKey(const std::string& key) const {
  Value stored;
  KeychainStatus status = Keychain::copyItem(service_, key, stored);
  if (status == KeychainStatus::ItemNotFound) return Value();
  if (status == KeychainStatus::Decode) {
    // A damaged service file reads as no value, as an item that cannot be unarchived would.
    logDebug("Failed to unarchive data from keychain: %@", Keychain::filePathForService(service_));
    return Value();
  }
  if (status != KeychainStatus::Success) {
    logError("KeychainStore failed to get object for key '%@', with error: %ld", key,
             static_cast<long>(status));
    return Value();
  }
  return stored;
}

bool KeychainStore::setObject(const Value& object, const std::string& key) {
  if (object.isNull()) return false;
  try {
    (void)JSONSerialization::dataFromJSONObject(object);
  } catch (const std::exception&) {
    return false;
  }
  bool ok = false;
  queue_->barrierSync([&] {
    Value existing;
    KeychainStatus status = Keychain::copyItem(service_, key, existing);
    if (status == KeychainStatus::Success) {
      status = Keychain::updateItem(service_, key, object);
    } else {
      status = Keychain::addItem(service_, key, object);
    }
    ok = status == KeychainStatus::Success;
    if (!ok) {
      logError("KeychainStore failed to set object for key '%@', with error: %ld", key,
               static_cast<long>(status));
    }
  });
  return ok;
}

bool KeychainStore::removeObjectForKey(const std::string& key) {
  bool ok = false;
  queue_->barrierSync([&] { ok = removeObjectForKeyOnQueue(key); });
  return ok;
}

bool KeychainStore::removeObjectForKeyOnQueue(const std::string& key) {
  requireQueue(queue_, "removeObjectForKeyOnQueue");
  return Keychain::deleteItem(service_, key) == KeychainStatus::Success;
}

bool KeychainStore::removeAllObjects() {
  bool ok = false;
  // One call rather than a delete per listed account: a store that is away (see Keychain.h)
  // cannot list its items, and they must go too.
  queue_->barrierSync([&] {
    KeychainStatus status = Keychain::deleteAllItems(service_);
    ok = status == KeychainStatus::Success;
    if (!ok) logError("KeychainStore failed to remove all objects, with error: %ld", static_cast<long>(status));
  });
  return ok;
}

}  // namespace keel
