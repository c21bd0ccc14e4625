#include "diagnostics/diagnostic_inputs.h"

#include <array>
#include <chrono>
#include <ctime>

#include "api/ingest_requests.h"
#include "config/config_file.h"
#include "diagnostics/obs_log_tail.h"
#include "diagnostics/text_file.h"
#include "platform/host_name.h"
#include "platform/paths.h"
#include "runtime/sequence_checkpoint.h"

namespace ryvoobs {
namespace {

std::string utc_timestamp_now() {
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm calendar{};
    std::array<char, 32> text{};
    if (::gmtime_r(&now, &calendar) == nullptr ||
        std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%SZ", &calendar) == 0) {
        return {};
    }
    return text.data();
}

}  // namespace

DiagnosticBundleInputs gather_diagnostic_inputs(std::string status_text) {
    DiagnosticBundleInputs inputs;
    inputs.generated_at = utc_timestamp_now();
    inputs.plugin_version = kPluginVersion;
    inputs.home_directory = home_directory();
    inputs.host_name = host_name();
    inputs.status_text = std::move(status_text);
    inputs.config_json = read_text_file(default_config_path());
    inputs.state_json = read_text_file(default_state_path());
    inputs.log_tail = read_obs_log_tail(obs_log_directory());
    return inputs;
}

}  // namespace ryvoobs
