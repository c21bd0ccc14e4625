#include "capture/native_stream_service_obs.h"

namespace ryvoobs {

void register_stream_service() {}

}  // namespace ryvoobs
