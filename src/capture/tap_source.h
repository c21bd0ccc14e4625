#pragma once

#include <cstdint>

namespace ryvoobs {

// How packets reach the tap: from one of OBS's own outputs, or handed over by the plug-in's output.
enum class TapSource : std::uint32_t { none = 0, frontend_callback = 1, native_output = 2 };

}  // namespace ryvoobs
