#pragma once

#include <atomic>

namespace ryvoobs {

// Ctrl-C and SIGTERM ask the sender to stop and end the broadcast cleanly instead of killing it.
// The first one sets the flag; the handler then gives way to the default action, so that a
// second one ends the process at once. Also ignores SIGPIPE, so that a closed output cannot
// kill the process in the middle of ending a broadcast.
void install_stop_signal_handlers();

const std::atomic<bool>& stop_requested();

}  // namespace ryvoobs
