#include "config/keychain_store.h"

#include <gtest/gtest.h>
#include <libsecret/secret.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "keyring_lock.h"

namespace ryvoobs {
namespace {

const std::string kService = "net.ryvo.test.obs.api-key";

GHashTable* attributes_for(const std::string& service, const std::string& account) {
    GHashTable* attributes = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free);
    g_hash_table_insert(attributes, g_strdup("service"), g_strdup(service.c_str()));
    g_hash_table_insert(attributes, g_strdup("account"), g_strdup(account.c_str()));
    return attributes;
}

struct FoundItem {
    std::string object_path;
    std::string schema;
};

// Every item with the pair's attributes, whatever its schema, locked or not.
std::vector<FoundItem> items_for(const std::string& service, const std::string& account) {
    GHashTable* attributes = attributes_for(service, account);
    GError* error = nullptr;
    GList* found = secret_service_search_sync(nullptr, nullptr, attributes, SECRET_SEARCH_ALL,
                                              nullptr, &error);
    g_hash_table_unref(attributes);
    EXPECT_EQ(error, nullptr);
    g_clear_error(&error);
    std::vector<FoundItem> items;
    for (GList* node = found; node != nullptr; node = node->next) {
        SecretItem* item = SECRET_ITEM(node->data);
        GHashTable* item_attributes = secret_item_get_attributes(item);
        const auto* schema =
            static_cast<const char*>(g_hash_table_lookup(item_attributes, "xdg:schema"));
        items.push_back({g_dbus_proxy_get_object_path(G_DBUS_PROXY(item)), schema ? schema : ""});
        g_hash_table_unref(item_attributes);
    }
    g_list_free_full(found, g_object_unref);
    return items;
}

// A second item for the pair, as another writer that does not replace would leave it.
void add_duplicate_item(const std::string& account, const std::string& key) {
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, nullptr);
    ASSERT_NE(service, nullptr);
    SecretCollection* collection = secret_collection_for_alias_sync(
        service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, nullptr);
    ASSERT_NE(collection, nullptr);
    GHashTable* attributes = attributes_for(kService, account);
    g_hash_table_insert(attributes, g_strdup("xdg:schema"), g_strdup("net.ryvo.obs.ApiKey"));
    SecretValue* value =
        secret_value_new(key.data(), static_cast<gssize>(key.size()), "text/plain");
    GError* error = nullptr;
    SecretItem* item = secret_item_create_sync(collection, nullptr, attributes, "duplicate", value,
                                               SECRET_ITEM_CREATE_NONE, nullptr, &error);
    EXPECT_NE(item, nullptr) << (error ? error->message : "");
    g_clear_error(&error);
    if (item != nullptr) {
        g_object_unref(item);
    }
    secret_value_unref(value);
    g_hash_table_unref(attributes);
    g_object_unref(collection);
    g_object_unref(service);
}

// These tests store, delete and lock: only ever in the wrapper's throw-away keyring.
class KeychainStore : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::getenv("RYVO_PRIVATE_KEYRING") == nullptr) {
            GTEST_FAIL() << "run through tests/support/with-keyring.sh";
        }
    }
};

std::optional<std::string> load(const std::string& account, std::string* error) {
    return load_api_key_from_keychain(kService, account, error);
}

// Whatever was there before, including duplicates another writer left, one item remains.
TEST_F(KeychainStore, StoringLeavesOneItemWithTheLatestKey) {
    add_duplicate_item("twice", "old-1");
    add_duplicate_item("twice", "old-2");
    ASSERT_EQ(items_for(kService, "twice").size(), 2u);

    std::string error = "stale";
    ASSERT_TRUE(store_api_key_in_keychain(kService, "twice", "first-key", &error)) << error;
    ASSERT_TRUE(store_api_key_in_keychain(kService, "twice", "second-key", &error)) << error;
    EXPECT_EQ(error, "");

    const std::vector<FoundItem> items = items_for(kService, "twice");
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].schema, "net.ryvo.obs.ApiKey");
    EXPECT_EQ(items[0].object_path.rfind("/org/freedesktop/secrets/collection/login/", 0), 0u)
        << items[0].object_path;
    EXPECT_EQ(load("twice", &error), "second-key");
}

TEST_F(KeychainStore, KeysRoundTripByteForByte) {
    std::string every_byte;
    for (int byte = 0; byte < 256; ++byte) {
        every_byte.push_back(static_cast<char>(byte));
    }
    for (const std::string& key : {every_byte, std::string()}) {
        std::string error;
        ASSERT_TRUE(store_api_key_in_keychain(kService, "bytes", key, &error)) << error;
        const std::optional<std::string> loaded = load("bytes", &error);
        ASSERT_TRUE(loaded.has_value()) << error;
        EXPECT_EQ(*loaded, key) << "key of " << key.size() << " bytes";
    }
}

// A locked item exists but cannot be read or deleted: that is a failure, never "no item".
TEST_F(KeychainStore, LockedKeyringIsAFailure) {
    ASSERT_TRUE(store_api_key_in_keychain(kService, "locked", "locked-key", nullptr));
    testing::set_login_collection_locked(true);

    std::string error;
    EXPECT_EQ(load("locked", &error), std::nullopt);
    EXPECT_EQ(error,
              "failed to read API key from Keychain: the keyring holding the item is locked");
    EXPECT_FALSE(store_api_key_in_keychain(kService, "locked", "other-key", &error));
    EXPECT_EQ(error, "failed to replace Keychain item: the keyring holding the item is locked");
    EXPECT_FALSE(store_api_key_in_keychain(kService, "locked-new", "other-key", &error));
    EXPECT_EQ(error.rfind("failed to store API key in Keychain: ", 0), 0u) << error;

    testing::set_login_collection_locked(false);
    EXPECT_EQ(load("locked", &error), "locked-key");
}

TEST_F(KeychainStore, ItemsAreKeptApartByServiceAndAccountAndAMissingOneIsNoFailure) {
    ASSERT_TRUE(store_api_key_in_keychain(kService, "alpha", "alpha-key", nullptr));
    ASSERT_TRUE(store_api_key_in_keychain(kService, "beta", "beta-key", nullptr));
    ASSERT_TRUE(
        store_api_key_in_keychain("net.ryvo.other.obs.api-key", "alpha", "other-key", nullptr));

    std::string error = "stale";
    EXPECT_EQ(load("gamma", &error), std::nullopt);
    EXPECT_EQ(error, "");
    EXPECT_EQ(load("alpha", nullptr), "alpha-key");
    EXPECT_EQ(load("beta", nullptr), "beta-key");
    EXPECT_EQ(load_api_key_from_keychain("net.ryvo.other.obs.api-key", "alpha", nullptr),
              "other-key");
}

TEST(KeychainAccount, FollowsKeyIdThenAuthMode) {
    PluginConfig config;
    EXPECT_EQ(default_api_key_account(config), "portal-default");
    config.auth_mode = AuthMode::manual;
    EXPECT_EQ(default_api_key_account(config), "manual-default");
    config.api_key_id = "key_123";
    EXPECT_EQ(default_api_key_account(config), "key_123");
    config.auth_mode = AuthMode::portal;
    EXPECT_EQ(default_api_key_account(config), "key_123");
}

TEST(KeychainService, IsTheEndpointHostReversed) {
    EXPECT_EQ(api_key_service_for_endpoint("https://ingest.ryvo.net"),
              "net.ryvo.ingest.obs.api-key");
    EXPECT_EQ(api_key_service_for_endpoint("https://user@Ingest.Ryvo.NET:8443/v1/?x=a.b"),
              "net.ryvo.ingest.obs.api-key");
    EXPECT_EQ(api_key_service_for_endpoint("ryvo.net"), "net.ryvo.obs.api-key");
}

}  // namespace
}  // namespace ryvoobs
