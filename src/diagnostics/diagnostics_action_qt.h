#pragma once

class QLabel;

namespace ryvoobs {

// The dock's "Copy Diagnostics for Support" click: builds a redacted support bundle from the
// plug-in's current state, files and OBS log, puts it on the clipboard and the Desktop, and shows
// the outcome in `result_label` (may be null). Qt main thread only, since it takes a status
// snapshot through the OBS frontend.
void copy_diagnostics_for_support(QLabel* result_label);

}  // namespace ryvoobs
