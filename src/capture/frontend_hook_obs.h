#pragma once

namespace ryvoobs {

// The frontend hook attaches delivery to OBS outputs as they start and stop.
bool install_obs_hook();
void uninstall_obs_hook();

}  // namespace ryvoobs
