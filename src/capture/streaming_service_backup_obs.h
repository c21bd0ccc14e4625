#pragma once

namespace ryvoobs {

// Makes OBS's active streaming service agree with the configuration, backing up the user's own
// service before replacing it.
void ensure_streaming_service_selected();
// Gives the user back the streaming service that was replaced.
void restore_previous_streaming_service();
// Records the user's service once OBS has finished loading, so that it can be given back later.
void capture_initial_service_backup();
// True when OBS's current streaming service is the plug-in's own.
bool active_streaming_service_is_ryvo();

}  // namespace ryvoobs
