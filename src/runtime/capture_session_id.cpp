#include "runtime/capture_session_id.h"

#include <array>
#include <cstdint>
#include <random>

#include "platform/secure_random.h"

namespace ryvoobs {

std::string make_capture_session_id() {
    std::array<std::uint8_t, 16> bytes{};
    if (!fill_secure_random(bytes)) {
        std::random_device device("/dev/urandom");
        for (std::uint8_t& byte : bytes) {
            byte = static_cast<std::uint8_t>(device() & 0xffU);
        }
    }
    constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const std::uint8_t byte : bytes) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0f]);
    }
    return text;
}

}  // namespace ryvoobs
