#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "config/plugin_config.h"
#include "runtime/segment_data.h"

namespace ryvoobs {

// What one call of the upload transport came back with.
struct UploadResult {
    bool ok = false;
    std::int32_t http_status = 0;
    std::string error;
    std::int64_t retry_after_ms = 0;
};

// Posts one segment to the service. May be empty, in which case every upload fails.
using UploadTransport = std::function<UploadResult(const PluginConfig&, const SegmentData&)>;

}  // namespace ryvoobs
