#include "platform/host_name.h"

#include <unistd.h>

#include <array>

namespace ryvoobs {

std::string host_name() {
    // A name that fills the whole buffer may have been cut without its terminator, so the last
    // byte is kept for one.
    std::array<char, 256> buffer{};
    if (::gethostname(buffer.data(), buffer.size() - 1) != 0) {
        return {};
    }
    return buffer.data();
}

}  // namespace ryvoobs
