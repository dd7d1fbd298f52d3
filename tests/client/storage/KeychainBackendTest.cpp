#include <keel/storage/KeychainStore.h>

#include <algorithm>
#include <optional>
#include <thread>

#include <libsecret/secret.h>

#include "support/PrivateKeyring.h"
#include "support/StorageTestSupport.h"

namespace keel {
namespace {

namespace fs = std::filesystem;
using platform::Keychain;
using platform::KeychainBackend;

const std::string kService = "local.app.com.keel.sdk";

std::vector<std::string> accountsOf(const std::string& service) {
  std::vector<std::string> accounts;
  Keychain::copyAccounts(service, accounts);
  std::sort(accounts.begin(), accounts.end());
  return accounts;
}

// Everything a store must do whichever backend keeps its items.
void expectItemsBehaveAsADictionary() {
  KeychainStore store(kService);
  EXPECT_TRUE(store.objectForKey("missing").isNull());
  EXPECT_TRUE(store.setObject(Value("first"), "currentUser"));
  const Value secrets(Dictionary{{"sessionToken", Value("r:abc")},
                                 {"authData", Dictionary{{"anonymous", Dictionary{{"id", Value("é ✓ \"q\"")}}}}}});
  EXPECT_TRUE(store.setObject(secrets, "currentUser"));
  EXPECT_EQ(store.objectForKey("currentUser"), secrets);
  EXPECT_FALSE(store.setObject(Value(), "nothing"));
  EXPECT_FALSE(store.setObject(Value(Bytes{1, 2}), "bytes"));  // not archivable
  EXPECT_TRUE(store.setObject(Value(1), "other"));
  EXPECT_EQ(accountsOf(kService), (std::vector<std::string>{"currentUser", "other"}));

  KeychainStore sameService(kService);
  EXPECT_EQ(sameService.objectForKey("other"), Value(1));
  KeychainStore otherService(kService + ".other");
  EXPECT_TRUE(otherService.objectForKey("currentUser").isNull());
  EXPECT_TRUE(otherService.setObject(Value(2), "currentUser"));

  EXPECT_TRUE(store.removeObjectForKey("other"));
  EXPECT_FALSE(store.removeObjectForKey("other"));
  EXPECT_TRUE(store.removeAllObjects());
  EXPECT_TRUE(store.objectForKey("currentUser").isNull());
  EXPECT_TRUE(store.removeAllObjects());  // nothing left is not a failure
  EXPECT_EQ(otherService.objectForKey("currentUser"), Value(2));
}

// Keeps an environment variable's value for the test and puts it back afterwards.
class ScopedEnvironment {
 public:
  explicit ScopedEnvironment(const char* name) : name_(name) {
    if (const char* value = std::getenv(name)) saved_ = value;
  }
  ~ScopedEnvironment() {
    if (saved_) {
      ::setenv(name_, saved_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  void set(const std::string& value) { ::setenv(name_, value.c_str(), 1); }
  void unset() { ::unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

using KeychainFileStoreTest = testing::SandboxedTest;

TEST_F(KeychainFileStoreTest, BehavesAsADictionaryOfItemsInPrivateFiles) {
  expectItemsBehaveAsADictionary();
  EXPECT_TRUE(fs::exists(Keychain::filePathForService(kService + ".other")));
  EXPECT_THROW(KeychainStore(), InternalInconsistencyException);
}

TEST_F(KeychainFileStoreTest, IsChosenWhenNoSessionBusCanBeReached) {
  ScopedEnvironment bus("DBUS_SESSION_BUS_ADDRESS");
  ScopedEnvironment runtime("XDG_RUNTIME_DIR");

  bus.unset();
  runtime.set(root);  // holds no "bus" socket
  Keychain::setBackend(std::nullopt);
  EXPECT_EQ(Keychain::backend(), KeychainBackend::File);
  EXPECT_TRUE(KeychainStore(kService).setObject(Value("r:1"), "currentUser"));
  EXPECT_TRUE(fs::exists(Keychain::filePathForService(kService)));

  // A bus that is named but gone (its session ended) is no bus either, and costs no hang.
  bus.set("unix:path=" + root + "/gone");
  Keychain::setBackend(std::nullopt);
  EXPECT_EQ(Keychain::backend(), KeychainBackend::File);
  EXPECT_EQ(KeychainStore(kService).objectForKey("currentUser"), Value("r:1"));
}

class SecretServiceKeychainTest : public testing::SandboxedTest {
 protected:
  void SetUp() override {
    SandboxedTest::SetUp();
    const auto& keyring = testing::PrivateKeyring::start();
    if (keyring.toolsMissing) GTEST_SKIP() << keyring.message;
    ASSERT_TRUE(keyring.ready) << keyring.message;
    useChosenBackend();
    ASSERT_EQ(Keychain::backend(), KeychainBackend::SecretService)
        << "the private session's keyring is not usable";
    // Cases that share a process share the keyring: each starts without the library's items.
    GHashTable* none = g_hash_table_new(g_str_hash, g_str_equal);
    GError* error = nullptr;
    secret_password_clearv_sync(schema(), none, nullptr, &error);
    g_hash_table_unref(none);
    ASSERT_EQ(error, nullptr) << error->message;
  }

  // Lets the keychain choose again, as a new process would.
  static void useChosenBackend() { Keychain::setBackend(std::nullopt); }

  static const SecretSchema* schema() {
    static const SecretSchema* s = [] {
      auto* made = new SecretSchema{};
      made->name = "com.keel.Keychain";
      made->attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
      made->attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
      return made;
    }();
    return s;
  }

  // Reads an item straight from the Secret Service, past the library.
  static std::optional<std::string> secretServiceText(const std::string& service, const std::string& account) {
    GError* error = nullptr;
    gchar* text = secret_password_lookup_sync(schema(), nullptr, &error, "service", service.c_str(), "account",
                                              account.c_str(), nullptr);
    if (error) {
      ADD_FAILURE() << error->message;
      g_error_free(error);
    }
    if (!text) return std::nullopt;
    std::string out = text;
    secret_password_free(text);
    return out;
  }

  static std::vector<std::string> filesInKeychainDirectory() {
    std::error_code ec;
    return platform::contentsOfDirectory(Keychain::directory(), ec);
  }
};

TEST_F(SecretServiceKeychainTest, BehavesAsADictionaryOfItemsAndWritesNoFiles) {
  expectItemsBehaveAsADictionary();
  EXPECT_EQ(secretServiceText(kService + ".other", "currentUser"), "2");
  EXPECT_EQ(secretServiceText(kService, "currentUser"), std::nullopt);
  for (const auto& name : filesInKeychainDirectory()) {
    EXPECT_EQ(name.find(".keychain"), std::string::npos) << name;
  }
}

TEST_F(SecretServiceKeychainTest, ItemsWrittenWhileItWasAwayMoveIntoItAndReplaceOlderOnes) {
  KeychainStore store(kService);
  ASSERT_TRUE(store.setObject(Value("r:old"), "currentUser"));

  // A run without the service (a shell without the desktop session) signs another user in.
  Keychain::setBackend(KeychainBackend::File);
  EXPECT_TRUE(store.objectForKey("currentUser").isNull());  // out of reach, not gone
  ASSERT_TRUE(store.setObject(Value("r:new"), "currentUser"));
  ASSERT_TRUE(store.setObject(Dictionary{{"n", Value(3)}}, "config"));

  useChosenBackend();
  EXPECT_EQ(store.objectForKey("currentUser"), Value("r:new"));
  EXPECT_EQ(secretServiceText(kService, "config"), "{\"n\":3}");
  EXPECT_FALSE(fs::exists(Keychain::filePathForService(kService)));

  // Moved, not copied: the plain file no longer holds the secrets.
  Keychain::setBackend(KeychainBackend::File);
  EXPECT_TRUE(store.objectForKey("currentUser").isNull());
}

TEST_F(SecretServiceKeychainTest, RemovalsMadeWhileItWasAwayAreCarriedOutWhenItIsBack) {
  KeychainStore store(kService);
  ASSERT_TRUE(store.setObject(Value("r:signed-out"), "currentUser"));
  ASSERT_TRUE(store.setObject(Value("kept"), "other"));
  KeychainStore cleared(kService + ".cleared");
  ASSERT_TRUE(cleared.setObject(Value(1), "a"));
  ASSERT_TRUE(cleared.setObject(Value(2), "b"));

  Keychain::setBackend(KeychainBackend::File);
  store.removeObjectForKey("currentUser");  // log-out while the service is away
  EXPECT_TRUE(cleared.removeAllObjects());  // another application id clears everything
  ASSERT_TRUE(cleared.setObject(Value(3), "c"));

  useChosenBackend();
  EXPECT_TRUE(store.objectForKey("currentUser").isNull());
  EXPECT_EQ(store.objectForKey("other"), Value("kept"));
  EXPECT_EQ(accountsOf(kService + ".cleared"), std::vector<std::string>{"c"});
  EXPECT_EQ(secretServiceText(kService, "currentUser"), std::nullopt);

  // A removal that a later write supersedes is not carried out.
  Keychain::setBackend(KeychainBackend::File);
  store.removeObjectForKey("other");
  ASSERT_TRUE(store.setObject(Value("again"), "other"));
  useChosenBackend();
  EXPECT_EQ(store.objectForKey("other"), Value("again"));
  for (const auto& name : filesInKeychainDirectory()) {
    EXPECT_EQ(name.find(".removed"), std::string::npos) << name;
  }
}

TEST_F(SecretServiceKeychainTest, ADamagedFileStoreDoesNotStandInTheWay) {
  write(Keychain::filePathForService(kService), "{\"currentUser\": ");
  KeychainStore store(kService);
  EXPECT_TRUE(store.setObject(Value("r:1"), "currentUser"));
  EXPECT_EQ(store.objectForKey("currentUser"), Value("r:1"));
  // Kept for whoever wants to look at it; never read as items.
  EXPECT_EQ(read(Keychain::filePathForService(kService)), "{\"currentUser\": ");
}

TEST_F(SecretServiceKeychainTest, ConcurrentWritersLeaveOneItemPerKeyWithOneOfTheirValues) {
  KeychainStore store(kService);
  std::vector<std::thread> writers;
  for (int w = 0; w < 4; ++w) {
    writers.emplace_back([&store, w] {
      for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(store.setObject(Value(w * 100 + i), "key" + std::to_string(i % 2)));
        EXPECT_FALSE(store.objectForKey("key0").isNull() && i > 0);
      }
    });
  }
  for (auto& writer : writers) writer.join();
  EXPECT_EQ(accountsOf(kService), (std::vector<std::string>{"key0", "key1"}));
  const Value last = store.objectForKey("key1");
  EXPECT_EQ(last.intValue() % 100 % 2, 1);
}

// Last in this file: the keyring stays locked for the rest of the process (unlocking takes a
// prompt), which matters only when the cases share one process.
TEST_F(SecretServiceKeychainTest, ALockedKeyringIsLeftAloneWithItsItemsInIt) {
  KeychainStore store(kService);
  ASSERT_TRUE(store.setObject(Value("r:1"), "currentUser"));

  GError* error = nullptr;
  SecretService* service = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &error);
  ASSERT_NE(service, nullptr) << error->message;
  SecretCollection* collection =
      secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &error);
  ASSERT_NE(collection, nullptr);
  GList* objects = g_list_append(nullptr, collection);
  EXPECT_EQ(secret_service_lock_sync(service, objects, nullptr, nullptr, &error), 1);
  g_list_free(objects);

  // Choosing must not wait for a password prompt that nobody can answer.
  useChosenBackend();
  EXPECT_EQ(Keychain::backend(), KeychainBackend::File);
  EXPECT_TRUE(store.setObject(Value("kept meanwhile"), "other"));

  // The locked items are still there for when the keyring is unlocked again (the file store's
  // items then move over, as above).
  GHashTable* attributes = secret_attributes_build(schema(), "service", kService.c_str(), nullptr);
  GList* found = secret_collection_search_sync(collection, schema(), attributes, SECRET_SEARCH_ALL, nullptr, &error);
  EXPECT_EQ(g_list_length(found), 1u);
  g_list_free_full(found, g_object_unref);
  g_hash_table_unref(attributes);
  g_object_unref(collection);
  g_object_unref(service);
}

}  // namespace
}  // namespace keel
