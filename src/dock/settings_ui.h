#pragma once

namespace ryvoobs {

// Adds the status dock to OBS's main window; always true, a failure is logged instead.
bool install_settings_ui();
void uninstall_settings_ui();

}  // namespace ryvoobs
