#include "config/keychain_store.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <string_view>

#include "platform/secret_service.h"

namespace ryvoobs {
namespace {

std::atomic<std::uint64_t> calls_made{0};

void count_call() {
    calls_made.fetch_add(1, std::memory_order_relaxed);
}

void set_error(std::string* error, std::string text) {
    if (error != nullptr) {
        *error = std::move(text);
    }
}

// The host of an absolute URL, lower-cased, without user info or port.
std::string url_host(std::string_view url) {
    const std::size_t scheme_end = url.find("://");
    if (scheme_end != std::string_view::npos) {
        url.remove_prefix(scheme_end + 3);
    }
    url = url.substr(0, url.find_first_of("/?#"));
    const std::size_t at = url.rfind('@');
    if (at != std::string_view::npos) {
        url.remove_prefix(at + 1);
    }
    url = url.substr(0, url.find(':'));
    std::string host(url);
    std::transform(host.begin(), host.end(), host.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return host;
}

}  // namespace

std::uint64_t credential_store_calls() {
    return calls_made.load(std::memory_order_relaxed);
}

std::string api_key_service_for_endpoint(const std::string& endpoint) {
    const std::string host = url_host(endpoint);
    std::string service;
    std::size_t label_end = host.size();
    while (label_end > 0) {
        const std::size_t dot = host.rfind('.', label_end - 1);
        const std::size_t label_begin = dot == std::string::npos ? 0 : dot + 1;
        if (label_end > label_begin) {
            service.append(host, label_begin, label_end - label_begin).push_back('.');
        }
        label_end = dot == std::string::npos ? 0 : dot;
    }
    return service + "obs.api-key";
}

// Derived from the endpoint compiled into the plug-in, never from the configured one, so that the
// item stays where it was stored whatever the configuration says later.
std::string default_api_key_service() {
    return api_key_service_for_endpoint(kDefaultApiEndpoint);
}

std::string default_api_key_account(const PluginConfig& config) {
    if (!config.api_key_id.empty()) {
        return config.api_key_id;
    }
    return config.auth_mode == AuthMode::manual ? "manual-default" : "portal-default";
}

// Delete-then-add rather than an in-place update, so that the pair never ends up with more than
// one item, whatever earlier versions left behind.
bool store_api_key_in_keychain(const std::string& service, const std::string& account,
                               const std::string& api_key, std::string* error) {
    count_call();
    std::string message;
    if (!delete_secret_items(service, account, &message)) {
        set_error(error, "failed to replace Keychain item: " + message);
        return false;
    }
    if (!add_secret_item(service, account, api_key, &message)) {
        set_error(error, "failed to store API key in Keychain: " + message);
        return false;
    }
    set_error(error, {});
    return true;
}

std::optional<std::string> load_api_key_from_keychain(const std::string& service,
                                                      const std::string& account,
                                                      std::string* error) {
    count_call();
    std::string message;
    std::optional<std::string> api_key = lookup_secret_item(service, account, &message);
    if (!api_key && !message.empty()) {
        set_error(error, "failed to read API key from Keychain: " + message);
        return std::nullopt;
    }
    set_error(error, {});
    return api_key;
}

}  // namespace ryvoobs
