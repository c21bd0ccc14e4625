#include "dock/settings_ui.h"

namespace ryvoobs {

bool install_settings_ui() {
    return true;
}

void uninstall_settings_ui() {}

}  // namespace ryvoobs
