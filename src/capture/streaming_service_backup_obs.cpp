#include "capture/streaming_service_backup_obs.h"

#include <obs-frontend-api.h>

#include <cstring>

namespace ryvoobs {

void ensure_streaming_service_selected() {}

void restore_previous_streaming_service() {}

void capture_initial_service_backup() {}

bool active_streaming_service_is_ryvo() {
    obs_service_t* current = obs_frontend_get_streaming_service();
    const char* id = current != nullptr ? obs_service_get_id(current) : nullptr;
    return id != nullptr && std::strcmp(id, "ryvo_stream_service") == 0;
}

}  // namespace ryvoobs
