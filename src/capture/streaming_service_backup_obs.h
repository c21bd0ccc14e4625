#pragma once

namespace ryvoobs {

// Makes OBS's active streaming service agree with the configuration, backing up the user's own
// service before replacing it.
void ensure_streaming_service_selected();
// Gives the user back the streaming service that was replaced.
void restore_previous_streaming_service();

}  // namespace ryvoobs
