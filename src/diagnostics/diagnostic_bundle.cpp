#include "diagnostics/diagnostic_bundle.h"

#include <string_view>

#include "diagnostics/redaction.h"

namespace ryvoobs {
namespace {

// Paths and the host name go first: a secret pattern could otherwise swallow a path that then
// escapes the path redaction, or split a host name so it is no longer found.
std::string redact_free_text(std::string_view text, const DiagnosticBundleInputs& inputs) {
    return redact_sensitive_text(
        redact_paths_and_host(text, inputs.home_directory, inputs.host_name));
}

void append_line_feed_unless_ending_in_one(std::string& bundle, std::string_view text) {
    if (!text.ends_with('\n')) {
        bundle += '\n';
    }
}

void append_section(std::string& bundle, std::string_view text, std::string_view placeholder,
                    const DiagnosticBundleInputs& inputs) {
    if (text.empty()) {
        bundle += placeholder;
        return;
    }
    bundle += redact_free_text(text, inputs);
    append_line_feed_unless_ending_in_one(bundle, text);
}

}  // namespace

std::string build_diagnostic_bundle(const DiagnosticBundleInputs& inputs) {
    std::string bundle = "# Ryvo OBS diagnostic bundle\n";
    bundle += "generated: " + inputs.generated_at + "\n";
    bundle += "plugin version: " + inputs.plugin_version + "\n\n";
    bundle +=
        "Note: automated redaction replaces recognized API keys, session\n"
        "tokens, RTMP URLs, home paths, and hostnames. Review this bundle\n"
        "before sharing it: third-party OBS plugins may use secret formats\n"
        "that Ryvo does not recognize.\n";

    bundle += "\n## Plugin status snapshot\n\n";
    append_section(bundle, inputs.status_text, "", inputs);

    bundle += "\n## Plugin config (redacted)\n\n";
    if (inputs.config_json.empty()) {
        bundle += "(config file not found or empty)\n";
    } else {
        const std::string config = redact_config_json(inputs.config_json);
        bundle += redact_free_text(config, inputs);
        append_line_feed_unless_ending_in_one(bundle, config);
    }

    bundle += "\n## Runtime state\n\n";
    append_section(bundle, inputs.state_json,
                   "(state file not found \u2014 no session has run yet, or state was reset)\n",
                   inputs);

    bundle += "\n## Recent OBS log tail\n\n";
    append_section(bundle, inputs.log_tail,
                   "(no OBS log file found in ~/.config/obs-studio/logs/)\n", inputs);
    return bundle;
}

}  // namespace ryvoobs
