#include "runtime/sha256.h"

#include <openssl/evp.h>

#include <array>
#include <stdexcept>

namespace ryvoobs {

std::string sha256_hex(std::span<const std::uint8_t> bytes) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int digest_length = 0;
    // A failing digest would send segments the server must reject; better to stop loudly.
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &digest_length, EVP_sha256(),
                   nullptr) != 1) {
        throw std::runtime_error("sha256 digest failed");
    }
    static constexpr char kHexDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(digest_length * 2);
    for (unsigned int i = 0; i < digest_length; ++i) {
        hex.push_back(kHexDigits[digest[i] >> 4]);
        hex.push_back(kHexDigits[digest[i] & 0x0f]);
    }
    return hex;
}

std::string sha256_hex(const std::vector<std::uint8_t>& bytes) {
    return sha256_hex(std::span<const std::uint8_t>(bytes));
}

}  // namespace ryvoobs
