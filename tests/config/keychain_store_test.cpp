#include "config/keychain_store.h"

#include <gtest/gtest.h>
#include <libsecret/secret.h>

#include <optional>
#include <string>
#include <vector>

namespace ryvoobs {
namespace {

using namespace std::string_literals;

const std::string kService = "net.ryvo.test.obs.api-key";

struct FoundItem {
    std::string object_path;
    std::string schema;
};

// Every item with the pair's attributes, whatever its schema, locked or not.
std::vector<FoundItem> items_for(const std::string& service, const std::string& account) {
    GHashTable* attributes = g_hash_table_new(g_str_hash, g_str_equal);
    g_hash_table_insert(attributes, g_strdup("service"), g_strdup(service.c_str()));
    g_hash_table_insert(attributes, g_strdup("account"), g_strdup(account.c_str()));
    GError* error = nullptr;
    GList* found = secret_service_search_sync(nullptr, nullptr, attributes, SECRET_SEARCH_ALL,
                                              nullptr, &error);
    g_hash_table_foreach(
        attributes, [](gpointer key, gpointer value, gpointer) { g_free(key), g_free(value); },
        nullptr);
    g_hash_table_unref(attributes);
    EXPECT_EQ(error, nullptr) << error->message;
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

std::optional<std::string> load(const std::string& account, std::string* error) {
    return load_api_key_from_keychain(kService, account, error);
}

TEST(KeychainStore, StoringTwiceLeavesOneItemWithTheSecondKey) {
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

TEST(KeychainStore, KeysRoundTripByteForByte) {
    std::string every_byte;
    for (int byte = 0; byte < 256; ++byte) {
        every_byte.push_back(static_cast<char>(byte));
    }
    const std::vector<std::string> keys = {
        "rk_live_\xd0\xba\xd0\xbb\xd1\x8e\xd1\x87 \xf0\x9f\x94\x91", "before\0after"s, "\0\0"s,
        every_byte, ""};
    for (const std::string& key : keys) {
        std::string error;
        ASSERT_TRUE(store_api_key_in_keychain(kService, "bytes", key, &error)) << error;
        const std::optional<std::string> loaded = load("bytes", &error);
        ASSERT_TRUE(loaded.has_value()) << error;
        EXPECT_EQ(*loaded, key) << "key of " << key.size() << " bytes";
    }
}

TEST(KeychainStore, MissingItemIsNotAFailure) {
    std::string error = "stale";
    EXPECT_EQ(load("never-stored", &error), std::nullopt);
    EXPECT_EQ(error, "");

    error = "stale";
    EXPECT_TRUE(remove_api_key_from_keychain(kService, "never-stored", &error));
    EXPECT_EQ(error, "");
    EXPECT_EQ(load("never-stored", nullptr), std::nullopt);
}

TEST(KeychainStore, ItemsAreKeptApartByServiceAndAccount) {
    ASSERT_TRUE(store_api_key_in_keychain(kService, "alpha", "alpha-key", nullptr));
    ASSERT_TRUE(store_api_key_in_keychain(kService, "beta", "beta-key", nullptr));
    ASSERT_TRUE(
        store_api_key_in_keychain("net.ryvo.other.obs.api-key", "alpha", "other-key", nullptr));

    std::string error = "stale";
    EXPECT_TRUE(remove_api_key_from_keychain(kService, "alpha", &error));
    EXPECT_EQ(error, "");
    EXPECT_EQ(load("alpha", &error), std::nullopt);
    EXPECT_EQ(load("beta", &error), "beta-key");
    EXPECT_EQ(load_api_key_from_keychain("net.ryvo.other.obs.api-key", "alpha", &error),
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
