#include "config/config_file.h"

#include <array>
#include <utility>

#include <nlohmann/json.hpp>

#include "config/keychain_store.h"
#include "config/lenient_json.h"
#include "platform/file_system.h"
#include "platform/paths.h"

namespace ryvoobs {
namespace {

using Json = nlohmann::json;

constexpr unsigned kOwnerOnly = 0600;

void set_error(std::string* error, std::string text) {
    if (error != nullptr) {
        *error = std::move(text);
    }
}

// The plain string settings, in the order they are read.
std::array<std::pair<const char*, std::string PluginConfig::*>, 17> string_fields() {
    return {{
        {"stream_id", &PluginConfig::stream_id},
        {"selected_stream_name", &PluginConfig::selected_stream_name},
        {"linked_account_email", &PluginConfig::linked_account_email},
        {"linked_account_name", &PluginConfig::linked_account_name},
        {"portal_link_session_id", &PluginConfig::portal_link_session_id},
        {"portal_link_verification_code", &PluginConfig::portal_link_verification_code},
        {"portal_link_verification_url", &PluginConfig::portal_link_verification_url},
        {"portal_link_poll_token", &PluginConfig::portal_link_poll_token},
        {"portal_link_expires_at", &PluginConfig::portal_link_expires_at},
        {"api_key", &PluginConfig::api_key},
        {"api_key_id", &PluginConfig::api_key_id},
        {"api_endpoint", &PluginConfig::api_endpoint},
        {"agent_id", &PluginConfig::agent_id},
        {"previous_service_id", &PluginConfig::previous_service_id},
        {"previous_service_profile", &PluginConfig::previous_service_profile},
        {"previous_service_settings_json", &PluginConfig::previous_service_settings_json},
        {"previous_service_hotkeys_json", &PluginConfig::previous_service_hotkeys_json},
    }};
}

std::array<std::pair<const char*, std::int32_t PluginConfig::*>, 3> integer_fields() {
    return {{
        {"segment_duration_ms", &PluginConfig::segment_duration_ms},
        {"ram_buffer_minutes", &PluginConfig::ram_buffer_minutes},
        {"estimated_bitrate_kbps", &PluginConfig::estimated_bitrate_kbps},
    }};
}

// The member's text when it is a string; null when it is absent or of another type.
const std::string* string_member(const Json& object, const char* key) {
    auto found = object.find(key);
    return found != object.end() && found->is_string() ? &found->get_ref<const std::string&>()
                                                       : nullptr;
}

// Applies the file's members over the defaults; the first unreadable mode ends the read.
bool read_members(const Json& object, PluginConfig& config, std::string* error) {
    if (auto found = object.find("enabled"); found != object.end()) {
        config.enabled = lenient_truth_value(*found).value_or(config.enabled);
    }
    if (const std::string* text = string_member(object, "auth_mode")) {
        if (*text != "manual" && *text != "portal") {
            set_error(error, "auth_mode must be manual or portal");
            return false;
        }
        config.auth_mode = *text == "manual" ? AuthMode::manual : AuthMode::portal;
    }
    for (const auto& [key, field] : string_fields()) {
        if (const std::string* text = string_member(object, key)) {
            config.*field = *text;
        }
    }
    config.stream_id = normalize_stream_id(config.stream_id);
    if (const std::string* text = string_member(object, "runtime_mode")) {
        if (*text == "tap_only") {
            config.runtime_mode = RuntimeMode::tap_only;
        } else if (*text == "runtime_only") {
            config.runtime_mode = RuntimeMode::runtime_only;
        } else if (*text == "full") {
            config.runtime_mode = RuntimeMode::full;
        } else {
            set_error(error, "runtime_mode must be tap_only, runtime_only, or full");
            return false;
        }
    }
    if (const std::string* text = string_member(object, "capture_mode")) {
        if (!parse_capture_mode(*text, &config.capture_mode)) {
            set_error(error, "capture_mode must be streaming, recording, or either");
            return false;
        }
    }
    for (const auto& [key, field] : integer_fields()) {
        if (auto found = object.find(key); found != object.end()) {
            config.*field = lenient_int32_value(*found).value_or(config.*field);
        }
    }
    return true;
}

Json to_json(const PluginConfig& config) {
    Json object = Json::object();
    object["enabled"] = config.enabled;
    object["auth_mode"] = to_string(config.auth_mode);
    for (const auto& [key, field] : string_fields()) {
        object[key] = config.*field;
    }
    object["stream_id"] = normalize_stream_id(config.stream_id);
    object["runtime_mode"] = to_string(config.runtime_mode);
    object["capture_mode"] = to_string(config.capture_mode);
    for (const auto& [key, field] : integer_fields()) {
        object[key] = config.*field;
    }
    return object;
}

}  // namespace

std::string default_config_path() {
    return application_support_root() + "/Ryvo/obs-plugin.json";
}

std::optional<PluginConfig> parse_config_text(const std::string& text, KeyStorage keys,
                                              std::string* error) {
    Json object = Json::parse(text, nullptr, false);
    if (!object.is_object()) {
        set_error(error, "invalid config JSON");
        return std::nullopt;
    }
    PluginConfig config;
    if (!read_members(object, config, error)) {
        return std::nullopt;
    }
    if (config.auth_mode == AuthMode::portal) {
        // A portal-linked install delivers to the built-in service and from a live stream, never
        // from a recording alone.
        if (config.capture_mode == CaptureMode::recording) {
            config.capture_mode = CaptureMode::streaming;
        }
        config.api_endpoint = default_api_endpoint();
        if (config.api_key.empty() && keys == KeyStorage::credential_store) {
            std::string keychain_error;
            std::optional<std::string> key = load_api_key_from_keychain(
                default_api_key_service(), default_api_key_account(config), &keychain_error);
            if (key) {
                config.api_key = std::move(*key);
            } else if (!keychain_error.empty()) {
                set_error(error, std::move(keychain_error));
                return std::nullopt;
            }
        }
    }
    return config;
}

std::optional<PluginConfig> read_config_file(const std::string& path, std::string* error,
                                             KeyStorage keys) {
    std::optional<std::string> text = read_whole_file(path, nullptr);
    if (!text) {
        set_error(error, "config file not found: " + path);
        return std::nullopt;
    }
    return parse_config_text(*text, keys, error);
}

std::optional<PluginConfig> load_config_file(const std::string& path, std::string* error,
                                             KeyStorage keys) {
    std::optional<PluginConfig> config = read_config_file(path, error, keys);
    if (!config) {
        return std::nullopt;
    }
    std::vector<std::string> messages = config->validate();
    if (!messages.empty()) {
        set_error(error, std::move(messages.front()));
        return std::nullopt;
    }
    return config;
}

bool save_config_file(const std::string& path, const PluginConfig& config, std::string* error,
                      KeyStorage keys) {
    PluginConfig copy = config;
    if (keys == KeyStorage::credential_store && copy.auth_mode == AuthMode::portal &&
        !copy.api_key.empty()) {
        if (!store_api_key_in_keychain(default_api_key_service(), default_api_key_account(copy),
                                       copy.api_key, error)) {
            return false;
        }
        copy.api_key.clear();
    }
    std::string bytes;
    try {
        bytes = to_json(copy).dump(4);
    } catch (const Json::exception&) {
        // Raised for text that is not valid UTF-8.
        set_error(error, "failed to encode config JSON");
        return false;
    }
    bytes += '\n';
    std::string reason;
    if (!create_directories(parent_directory(path), &reason)) {
        set_error(error, "failed to create config directory: " + reason);
        return false;
    }
    // The file may hold the API key: it is created owner-only, so no other user can ever read it,
    // not even between the write and the permission change below.
    if (!write_file_atomically(path, bytes, kOwnerOnly, &reason)) {
        set_error(error, "failed to write config file: " + reason);
        return false;
    }
    // Redundant where the file system honours the creation mode; kept as the last word on what
    // the file in place allows.
    if (!set_file_permissions(path, kOwnerOnly, nullptr)) {
        set_error(error, "failed to restrict config file permissions");
        return false;
    }
    std::vector<std::string> messages = config.validate();
    if (!messages.empty()) {
        set_error(error, std::move(messages.front()));
    }
    return true;
}

}  // namespace ryvoobs
