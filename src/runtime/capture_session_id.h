#pragma once

#include <string>

namespace ryvoobs {

// A fresh identifier for one broadcast's capture session: 16 random bytes as 32 lower-case
// hexadecimal characters.
std::string make_capture_session_id();

}  // namespace ryvoobs
