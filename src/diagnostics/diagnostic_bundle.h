#pragma once

#include <string>

namespace ryvoobs {

// What a support bundle is made of, each read once per click; a missing source stays empty.
struct DiagnosticBundleInputs {
    std::string generated_at;
    std::string plugin_version;
    std::string home_directory;
    std::string host_name;
    std::string status_text;
    std::string config_json;
    std::string state_json;
    std::string log_tail;
};

// The bundle's text: a header, then the status, configuration, state and log sections, each
// redacted (the configuration's secrets first, then paths and the host name, then anything that
// looks like a secret) or replaced by a placeholder when its source is empty.
std::string build_diagnostic_bundle(const DiagnosticBundleInputs& inputs);

}  // namespace ryvoobs
