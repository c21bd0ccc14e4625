#pragma once

namespace ryvoobs {

// The frontend hook attaches delivery to OBS outputs as they start and stop.
bool install_obs_hook();
void uninstall_obs_hook();
bool obs_hook_installed();

// Re-reads the configuration and attaches the tap to the OBS output it asks for, moves it, or
// lets it go. Takes the attachment lock itself.
void refresh_output_attachment();

}  // namespace ryvoobs
