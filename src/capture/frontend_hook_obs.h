#pragma once

namespace ryvoobs {

// When installing the hook reconciles OBS's streaming service and the attachment with the
// configuration. While OBS loads its modules it has not read the profile's streaming service yet:
// its active service is a placeholder, which must not be taken for the user's own. The hook then
// reconciles once OBS has finished loading.
enum class HookInstall { now, after_obs_loads };

// The frontend hook attaches delivery to OBS outputs as they start and stop.
bool install_obs_hook(HookInstall reconcile = HookInstall::now);
void uninstall_obs_hook();
bool obs_hook_installed();

// Re-reads the configuration and attaches the tap to the OBS output it asks for, moves it, or
// lets it go. Takes the attachment lock itself.
void refresh_output_attachment();

}  // namespace ryvoobs
