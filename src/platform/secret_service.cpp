#include "platform/secret_service.h"

#include <libsecret/secret.h>

#include <filesystem>
#include <memory>
#include <system_error>

namespace ryvoobs {
namespace {

// Every item of the plug-in carries this schema name (as "xdg:schema") and the two attributes.
const SecretSchema kApiKeySchema = [] {
    SecretSchema schema{};
    schema.name = "net.ryvo.obs.ApiKey";
    schema.flags = SECRET_SCHEMA_NONE;
    schema.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
    schema.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
    return schema;
}();

constexpr const char* kContentType = "application/octet-stream";

struct ErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
struct HashTableUnref {
    void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};
struct ValueUnref {
    void operator()(SecretValue* value) const { secret_value_unref(value); }
};
using ErrorPtr = std::unique_ptr<GError, ErrorFree>;
using AttributesPtr = std::unique_ptr<GHashTable, HashTableUnref>;
struct ItemListFree {
    void operator()(GList* items) const { g_list_free_full(items, g_object_unref); }
};
using ValuePtr = std::unique_ptr<SecretValue, ValueUnref>;
using ItemListPtr = std::unique_ptr<GList, ItemListFree>;

constexpr const char* kLockedMessage = "the keyring holding the item is locked";

std::string string_from_secret_error(const GError* error) {
    if (error == nullptr) {
        return "Secret Service error";
    }
    if (error->message == nullptr || error->message[0] == '\0') {
        return "Secret Service error " + std::to_string(error->code);
    }
    return error->message;
}

void set_message(std::string* message, std::string text) {
    if (message != nullptr) {
        *message = std::move(text);
    }
}

// GLib would fall back to autolaunching a session bus (and an X11 helper) when the environment
// names none; a credential lookup must fail instead. Same order of places as GLib's own lookup.
bool session_bus_is_named(std::string* message) {
    const char* address = g_getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address != nullptr && address[0] != '\0') {
        return true;
    }
    const char* runtime_dir = g_getenv("XDG_RUNTIME_DIR");
    if (runtime_dir != nullptr && runtime_dir[0] != '\0') {
        std::error_code ignored;
        if (std::filesystem::is_socket(std::filesystem::path(runtime_dir) / "bus", ignored)) {
            return true;
        }
    }
    set_message(message, "no D-Bus session bus is available");
    return false;
}

AttributesPtr item_attributes(const std::string& service, const std::string& account) {
    AttributesPtr attributes(g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free));
    g_hash_table_insert(attributes.get(), g_strdup("service"), g_strdup(service.c_str()));
    g_hash_table_insert(attributes.get(), g_strdup("account"), g_strdup(account.c_str()));
    return attributes;
}

// The pair's items, locked ones included. Nothing is ever unlocked here: an unlock prompt would
// block the calling (UI) thread until the user answers, and come back on every re-read.
std::optional<ItemListPtr> search_items(SecretService* secret_service, const std::string& service,
                                        const std::string& account, SecretSearchFlags flags,
                                        std::string* message) {
    const AttributesPtr attributes = item_attributes(service, account);
    GError* raw_error = nullptr;
    ItemListPtr items(secret_service_search_sync(secret_service, &kApiKeySchema, attributes.get(),
                                                 flags, nullptr, &raw_error));
    if (raw_error != nullptr) {
        const ErrorPtr error(raw_error);
        set_message(message, string_from_secret_error(error.get()));
        return std::nullopt;
    }
    return items;
}

// One call's Secret Service proxy, opened on its own GLib context. Whatever the proxy schedules
// lands on that context, which is drained and dropped at the end, so nothing waits for a main loop
// the process may not run. GLib keeps the session connection only while someone holds it, so a
// bus that went away between calls is not reused.
class SecretServiceCall {
  public:
    SecretServiceCall() : context_(g_main_context_new()) {
        g_main_context_push_thread_default(context_);
    }

    ~SecretServiceCall() {
        if (service_ != nullptr) {
            g_object_unref(service_);
        }
        if (bus_ != nullptr) {
            g_object_unref(bus_);
        }
        while (g_main_context_iteration(context_, FALSE)) {
        }
        g_main_context_pop_thread_default(context_);
        g_main_context_unref(context_);
    }

    SecretServiceCall(const SecretServiceCall&) = delete;
    SecretServiceCall& operator=(const SecretServiceCall&) = delete;

    // The connected service, or null with `message` set.
    SecretService* open(std::string* message) {
        if (!session_bus_is_named(message)) {
            return nullptr;
        }
        GError* raw_error = nullptr;
        bus_ = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &raw_error);
        if (bus_ == nullptr) {
            const ErrorPtr error(raw_error);
            set_message(message, string_from_secret_error(error.get()));
            return nullptr;
        }
        // GLib's session connection would otherwise end the whole process if the bus went away.
        g_dbus_connection_set_exit_on_close(bus_, FALSE);
        service_ = secret_service_open_sync(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_NONE,
                                            nullptr, &raw_error);
        if (service_ == nullptr) {
            const ErrorPtr error(raw_error);
            set_message(message, string_from_secret_error(error.get()));
        }
        return service_;
    }

  private:
    GMainContext* context_;
    GDBusConnection* bus_ = nullptr;
    SecretService* service_ = nullptr;
};

}  // namespace

bool delete_secret_items(const std::string& service, const std::string& account,
                         std::string* message) {
    SecretServiceCall call;
    SecretService* secret_service = call.open(message);
    if (secret_service == nullptr) {
        return false;
    }
    std::optional<ItemListPtr> items =
        search_items(secret_service, service, account, SECRET_SEARCH_ALL, message);
    if (!items) {
        return false;
    }
    for (GList* node = items->get(); node != nullptr; node = node->next) {
        SecretItem* item = SECRET_ITEM(node->data);
        // A locked item would stay behind while the delete reported success.
        if (secret_item_get_locked(item)) {
            set_message(message, kLockedMessage);
            return false;
        }
        GError* raw_error = nullptr;
        if (!secret_item_delete_sync(item, nullptr, &raw_error)) {
            const ErrorPtr error(raw_error);
            set_message(message, string_from_secret_error(error.get()));
            return false;
        }
    }
    return true;
}

bool add_secret_item(const std::string& service, const std::string& account,
                     std::string_view secret, std::string* message) {
    SecretServiceCall call;
    SecretService* secret_service = call.open(message);
    if (secret_service == nullptr) {
        return false;
    }
    const AttributesPtr attributes = item_attributes(service, account);
    const ValuePtr value(
        secret_value_new(secret.data(), static_cast<gssize>(secret.size()), kContentType));
    const std::string label = "Ryvo OBS API key (" + account + ")";
    GError* raw_error = nullptr;
    if (!secret_service_store_sync(secret_service, &kApiKeySchema, attributes.get(),
                                   SECRET_COLLECTION_DEFAULT, label.c_str(), value.get(), nullptr,
                                   &raw_error)) {
        const ErrorPtr error(raw_error);
        set_message(message, string_from_secret_error(error.get()));
        return false;
    }
    return true;
}

std::optional<std::string> lookup_secret_item(const std::string& service,
                                              const std::string& account, std::string* message) {
    SecretServiceCall call;
    SecretService* secret_service = call.open(message);
    if (secret_service == nullptr) {
        return std::nullopt;
    }
    // Without SECRET_SEARCH_ALL the search gives the one item to use, an unlocked one first.
    std::optional<ItemListPtr> items =
        search_items(secret_service, service, account, SECRET_SEARCH_LOAD_SECRETS, message);
    if (!items) {
        return std::nullopt;
    }
    if (!*items) {
        set_message(message, {});
        return std::nullopt;
    }
    SecretItem* item = SECRET_ITEM(items->get()->data);
    // A locked item is there but unreadable; calling it missing would drop the key silently.
    const ValuePtr value(secret_item_get_locked(item) ? nullptr : secret_item_get_secret(item));
    if (!value) {
        set_message(message, kLockedMessage);
        return std::nullopt;
    }
    set_message(message, {});
    gsize length = 0;
    const gchar* bytes = secret_value_get(value.get(), &length);
    return std::string(bytes, length);
}

}  // namespace ryvoobs
