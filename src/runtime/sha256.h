#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace ryvoobs {

// SHA-256 of `bytes` as 64 lower-case hexadecimal characters.
std::string sha256_hex(std::span<const std::uint8_t> bytes);
std::string sha256_hex(const std::vector<std::uint8_t>& bytes);

}  // namespace ryvoobs
