#pragma once

namespace ryvoobs {

// Registers the plug-in's own OBS streaming service and output types, once per process.
void register_stream_service();

}  // namespace ryvoobs
