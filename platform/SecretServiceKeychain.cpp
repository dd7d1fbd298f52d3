#include <keel/platform/internal/SecretServiceKeychain.h>

#include <libsecret/secret.h>

#include <keel/base/Logger.h>
#include <keel/platform/Dispatch.h>

namespace platform::internal {
namespace {

// A service that answers at all answers within milliseconds; the probe gives up long before a
// caller would notice a hang.
constexpr Milliseconds kProbeLimit{5000};
// An ordinary call may have to wait for the user to unlock the keyring in a prompt.
constexpr Milliseconds kCallLimit{30000};

const SecretSchema* itemSchema() {
  static const SecretSchema* schema = [] {
    auto* s = new SecretSchema{};
    s->name = "com.keel.Keychain";
    s->flags = SECRET_SCHEMA_NONE;
    s->attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
    s->attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
    return s;
  }();
  return schema;
}

// Cancels the call it guards when that call has not returned within its limit.
class Deadline {
 public:
  explicit Deadline(Milliseconds limit) : cancellable_(g_cancellable_new(), g_object_unref) {
    std::shared_ptr<GCancellable> cancellable = cancellable_;
    timer_ = dispatchAfter(limit, DispatchQueue::global(), [cancellable] { g_cancellable_cancel(cancellable.get()); });
  }
  ~Deadline() { timer_->cancel(); }
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;

  GCancellable* cancellable() const { return cancellable_.get(); }

 private:
  std::shared_ptr<GCancellable> cancellable_;
  DelayedWorkPtr timer_;
};

class ErrorSlot {
 public:
  ErrorSlot() = default;
  ~ErrorSlot() {
    if (error_) g_error_free(error_);
  }
  ErrorSlot(const ErrorSlot&) = delete;
  ErrorSlot& operator=(const ErrorSlot&) = delete;

  GError** out() { return &error_; }
  explicit operator bool() const { return error_ != nullptr; }
  std::string message() const { return error_ ? error_->message : "no error"; }

 private:
  GError* error_ = nullptr;
};

// The attribute table of one item (or, without an account, of every item of a service). The
// strings are borrowed for the duration of the call.
std::unique_ptr<GHashTable, void (*)(GHashTable*)> attributes(const std::string& service, const std::string* account) {
  std::unique_ptr<GHashTable, void (*)(GHashTable*)> table(g_hash_table_new(g_str_hash, g_str_equal), g_hash_table_unref);
  g_hash_table_insert(table.get(), const_cast<char*>("service"), const_cast<char*>(service.c_str()));
  if (account) g_hash_table_insert(table.get(), const_cast<char*>("account"), const_cast<char*>(account->c_str()));
  return table;
}

KeychainStatus failure(const char* what, const ErrorSlot& error) {
  keel::logError("Secret Service %s failed: %@", what, error.message());
  return KeychainStatus::NotAvailable;
}

}  // namespace

struct SecretServiceKeychain::Connection {
  // The session bus is held so that the process's shared connection stays the one whose
  // exit-on-close we turned off.
  GDBusConnection* bus = nullptr;
  SecretService* service = nullptr;
  ~Connection() {
    if (service) g_object_unref(service);
    if (bus) g_object_unref(bus);
  }
};

std::unique_ptr<SecretServiceKeychain> SecretServiceKeychain::connect(bool requireUnlockedCollection,
                                                                      std::string& reason) {
  auto connection = std::make_unique<Connection>();
  Deadline deadline(kProbeLimit);
  ErrorSlot error;
  connection->bus = g_bus_get_sync(G_BUS_TYPE_SESSION, deadline.cancellable(), error.out());
  if (!connection->bus) {
    reason = "no session bus (" + error.message() + ")";
    return nullptr;
  }
  // By default a process whose session bus goes away is sent SIGTERM; a library must not end
  // its host because the desktop session ended. Its calls fail instead.
  g_dbus_connection_set_exit_on_close(connection->bus, FALSE);
  connection->service = secret_service_get_sync(SECRET_SERVICE_NONE, deadline.cancellable(), error.out());
  if (!connection->service) {
    reason = "no Secret Service on the session bus (" + error.message() + ")";
    return nullptr;
  }
  if (requireUnlockedCollection) {
    SecretCollection* collection = secret_collection_for_alias_sync(
        connection->service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, deadline.cancellable(), error.out());
    if (!collection) {
      reason = error ? "the Secret Service did not answer (" + error.message() + ")"
                     : std::string("the Secret Service has no default collection");
      return nullptr;
    }
    const bool locked = secret_collection_get_locked(collection);
    g_object_unref(collection);
    if (locked) {
      reason = "the default collection of the Secret Service is locked";
      return nullptr;
    }
  }
  return std::unique_ptr<SecretServiceKeychain>(new SecretServiceKeychain(std::move(connection)));
}

SecretServiceKeychain::SecretServiceKeychain(std::unique_ptr<Connection> connection)
    : connection_(std::move(connection)) {}

SecretServiceKeychain::~SecretServiceKeychain() = default;

KeychainStatus SecretServiceKeychain::copy(const std::string& service, const std::string& account, std::string& secret) {
  auto query = attributes(service, &account);
  Deadline deadline(kCallLimit);
  ErrorSlot error;
  SecretValue* value =
      secret_service_lookup_sync(connection_->service, itemSchema(), query.get(), deadline.cancellable(), error.out());
  if (!value) return error ? failure("lookup", error) : KeychainStatus::ItemNotFound;
  gsize length = 0;
  const gchar* bytes = secret_value_get(value, &length);
  secret.assign(bytes, length);
  secret_value_unref(value);
  return KeychainStatus::Success;
}

KeychainStatus SecretServiceKeychain::contains(const std::string& service, const std::string& account) {
  auto query = attributes(service, &account);
  Deadline deadline(kCallLimit);
  ErrorSlot error;
  GList* items = secret_service_search_sync(connection_->service, itemSchema(), query.get(), SECRET_SEARCH_NONE,
                                            deadline.cancellable(), error.out());
  if (error) return failure("search", error);
  const bool found = items != nullptr;
  g_list_free_full(items, g_object_unref);
  return found ? KeychainStatus::Success : KeychainStatus::ItemNotFound;
}

KeychainStatus SecretServiceKeychain::store(const std::string& service, const std::string& account,
                                            const std::string& secret) {
  auto query = attributes(service, &account);
  // The label is what a keyring manager shows; the attributes are what we search by.
  const std::string label = account + " (" + service + ")";
  SecretValue* value = secret_value_new(secret.data(), static_cast<gssize>(secret.size()), "application/json");
  Deadline deadline(kCallLimit);
  ErrorSlot error;
  const gboolean stored = secret_service_store_sync(connection_->service, itemSchema(), query.get(),
                                                    SECRET_COLLECTION_DEFAULT, label.c_str(), value,
                                                    deadline.cancellable(), error.out());
  secret_value_unref(value);
  return stored ? KeychainStatus::Success : failure("store", error);
}

KeychainStatus SecretServiceKeychain::remove(const std::string& service, const std::string& account) {
  auto query = attributes(service, &account);
  Deadline deadline(kCallLimit);
  ErrorSlot error;
  if (secret_service_clear_sync(connection_->service, itemSchema(), query.get(), deadline.cancellable(), error.out())) {
    return KeychainStatus::Success;
  }
  return error ? failure("delete", error) : KeychainStatus::ItemNotFound;
}

KeychainStatus SecretServiceKeychain::removeAll(const std::string& service) {
  auto query = attributes(service, nullptr);
  Deadline deadline(kCallLimit);
  ErrorSlot error;
  if (secret_service_clear_sync(connection_->service, itemSchema(), query.get(), deadline.cancellable(), error.out())) {
    return KeychainStatus::Success;
  }
  return error ? failure("delete", error) : KeychainStatus::ItemNotFound;
}

KeychainStatus SecretServiceKeychain::accounts(const std::string& service, std::vector<std::string>& accounts) {
  auto query = attributes(service, nullptr);
  Deadline deadline(kCallLimit);
  ErrorSlot error;
  GList* items = secret_service_search_sync(connection_->service, itemSchema(), query.get(), SECRET_SEARCH_ALL,
                                            deadline.cancellable(), error.out());
  if (error) return failure("search", error);
  accounts.clear();
  for (GList* node = items; node; node = node->next) {
    GHashTable* itemAttributes = secret_item_get_attributes(SECRET_ITEM(node->data));
    if (!itemAttributes) continue;
    if (const auto* account = static_cast<const char*>(g_hash_table_lookup(itemAttributes, "account"))) {
      accounts.emplace_back(account);
    }
    g_hash_table_unref(itemAttributes);
  }
  g_list_free_full(items, g_object_unref);
  return KeychainStatus::Success;
}

}  // namespace platform::internal
