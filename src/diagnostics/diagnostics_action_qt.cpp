#include "diagnostics/diagnostics_action_qt.h"

#include <string>

#include "capture/plugin_status_snapshot.h"
#include "diagnostics/diagnostic_bundle.h"
#include "diagnostics/diagnostic_inputs.h"
#include "diagnostics/diagnostic_status_text.h"
#include "diagnostics/diagnostics_result_qt.h"

namespace ryvoobs {

void copy_diagnostics_for_support(QLabel* result_label) {
    std::string status = diagnostic_status_text(plugin_status_snapshot(), wall_clock_now());
    const std::string bundle = build_diagnostic_bundle(gather_diagnostic_inputs(std::move(status)));
    deliver_diagnostic_bundle(bundle, result_label);
}

}  // namespace ryvoobs
