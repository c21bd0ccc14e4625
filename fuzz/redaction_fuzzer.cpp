#include <nlohmann/json.hpp>
#include <string_view>

#include "diagnostics/redaction.h"
#include "fuzz_support.h"

using namespace ryvoobs;

namespace {

// Takes the text up to the next NUL byte off the front of `rest`.
std::string_view take_field(std::string_view& rest) {
    const std::size_t end = rest.find('\0');
    const std::string_view field = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    return field;
}

}  // namespace

// The input is a text, then optionally a NUL and a home path, then a NUL and a host name.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    const std::string_view text = take_field(rest);
    const std::string_view home = take_field(rest);
    const std::string_view host = rest;

    // Support bundles are redacted once; a second pass finding more would mean the first one
    // left a secret-shaped remainder behind.
    const std::string sensitive = redact_sensitive_text(text);
    fuzz::require(redact_sensitive_text(sensitive) == sensitive);
    // In broken JSON a quote may close one value and open a key at once, so only well-formed
    // files are held to the same rule.
    if (nlohmann::json::accept(text)) {
        const std::string config = redact_config_json(text);
        fuzz::require(nlohmann::json::accept(config) && redact_config_json(config) == config);
    }
    redact_paths_and_host(text, home, host);
    return 0;
}
