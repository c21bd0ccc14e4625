#pragma once

namespace ryvoobs {

inline constexpr const char* kRyvoStreamServiceId = "ryvo_stream_service";
inline constexpr const char* kRyvoStreamOutputId = "ryvo_output";

// Registers the plug-in's own OBS streaming service and output types, once per process.
void register_stream_service();

}  // namespace ryvoobs
