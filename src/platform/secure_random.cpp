#include "platform/secure_random.h"

#include <climits>

#include <openssl/rand.h>

namespace ryvoobs {

bool fill_secure_random(std::span<std::uint8_t> out) {
    if (out.size() > static_cast<std::size_t>(INT_MAX)) {
        return false;
    }
    return RAND_bytes(out.data(), static_cast<int>(out.size())) == 1;
}

}  // namespace ryvoobs
