#pragma once

#include <cstdint>

namespace ryvoobs {

enum class MediaKind : std::int32_t { video = 0, audio = 1 };

}  // namespace ryvoobs
