#pragma once

#include <string>

#include "diagnostics/diagnostic_bundle.h"

namespace ryvoobs {

// Reads everything a bundle shows, as of now, around the given status text: the time, the
// version, the home directory and host name (so that they can be redacted), the configuration
// and state files, and the tail of OBS's newest log. Never fails; what cannot be read stays empty.
DiagnosticBundleInputs gather_diagnostic_inputs(std::string status_text);

}  // namespace ryvoobs
