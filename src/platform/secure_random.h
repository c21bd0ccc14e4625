#pragma once

#include <cstdint>
#include <span>

namespace ryvoobs {

// Fills `out` from the operating system's cryptographic random source (through OpenSSL's
// generator). False when the generator could not deliver; `out` is then unspecified.
bool fill_secure_random(std::span<std::uint8_t> out);

}  // namespace ryvoobs
