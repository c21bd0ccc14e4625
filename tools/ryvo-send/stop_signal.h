#pragma once

#include <atomic>

namespace ryvoobs {

// Ctrl-C and SIGTERM ask the sender to stop and end the broadcast cleanly instead of killing it.
// The first one sets the stop flag; a second one asks to quit at once, abandoning what is still
// being delivered; the handler then gives way to the default action, so that a third one ends
// the process. Also ignores SIGPIPE, so that a closed output cannot kill the process in the
// middle of ending a broadcast.
void install_stop_signal_handlers();

const std::atomic<bool>& stop_requested();
const std::atomic<bool>& quit_requested();

}  // namespace ryvoobs
