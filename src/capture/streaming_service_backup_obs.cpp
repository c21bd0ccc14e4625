#include "capture/streaming_service_backup_obs.h"

namespace ryvoobs {

void ensure_streaming_service_selected() {}

void restore_previous_streaming_service() {}

}  // namespace ryvoobs
