// Locks and unlocks the default keyring of the private Secret Service that
// tests/support/with-keyring.sh runs, as a user's screen lock or a fresh login would.
#pragma once

// Qt's "signals" keyword would clash with a GIO struct member when Qt is included first.
#pragma push_macro("signals")
#undef signals
#include <gio/gio.h>
#pragma pop_macro("signals")
#include <gtest/gtest.h>

#include <string>

namespace ryvoobs::testing {

inline constexpr const char* kLoginCollection = "/org/freedesktop/secrets/collection/login";

// A call to the keyring daemon's service object; the reply, or null after a test failure.
inline GVariant* call_keyring(GDBusConnection* bus, const char* interface, const char* method,
                              GVariant* parameters) {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.secrets", "/org/freedesktop/secrets", interface, method, parameters,
        nullptr, G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, &error);
    EXPECT_NE(reply, nullptr) << method << ": " << (error ? error->message : "");
    g_clear_error(&error);
    return reply;
}

inline void set_login_collection_locked(bool locked) {
    // One connection throughout: a Secret Service session belongs to the connection that opened it.
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    GVariant* reply = nullptr;
    if (locked) {
        const char* paths[] = {kLoginCollection, nullptr};
        reply = call_keyring(bus, "org.freedesktop.Secret.Service", "Lock",
                             g_variant_new("(^ao)", paths));
    } else if (GVariant* session =
                   call_keyring(bus, "org.freedesktop.Secret.Service", "OpenSession",
                                g_variant_new("(sv)", "plain", g_variant_new_string("")))) {
        // Unlocking through the Secret Service would need a prompt; gnome-keyring takes the
        // password (the wrapper's "test") directly through its interface for tools.
        const char* session_path = nullptr;
        GVariant* output = nullptr;
        g_variant_get(session, "(v&o)", &output, &session_path);
        const std::string password = "test";
        GVariant* secret = g_variant_new(
            "(o@ay@ays)", session_path,
            g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, nullptr, 0, 1),
            g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, password.data(), password.size(), 1),
            "text/plain");
        reply = call_keyring(bus, "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface",
                             "UnlockWithMasterPassword",
                             g_variant_new("(o@(oayays))", kLoginCollection, secret));
        g_variant_unref(output);
        g_variant_unref(session);
    }
    if (reply != nullptr) {
        g_variant_unref(reply);
    }
    g_object_unref(bus);
}

}  // namespace ryvoobs::testing
