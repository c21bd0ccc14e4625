#include "stop_signal.h"

#include <csignal>

namespace ryvoobs {
namespace {

// Lock-free, so that the handler may set them.
std::atomic<bool> stop_flag{false};
std::atomic<bool> quit_flag{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void on_stop_signal(int signal_number) {
    if (!stop_flag.exchange(true)) {
        return;
    }
    quit_flag.store(true);
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
}

}  // namespace

void install_stop_signal_handlers() {
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

const std::atomic<bool>& stop_requested() {
    return stop_flag;
}

const std::atomic<bool>& quit_requested() {
    return quit_flag;
}

}  // namespace ryvoobs
