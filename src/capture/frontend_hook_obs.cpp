#include "capture/frontend_hook_obs.h"

namespace ryvoobs {

bool install_obs_hook() {
    return true;
}

void uninstall_obs_hook() {}

}  // namespace ryvoobs
