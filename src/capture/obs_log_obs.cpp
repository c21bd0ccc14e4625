#include "capture/obs_log.h"

#include <util/base.h>

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <string>

namespace ryvoobs {

void ryvo_log(int level, const char* format, ...) {
    // The prefixed format on the stack: lines are logged from OBS's encoder thread, which must
    // not wait on the allocator.
    char prefixed[512];
    const int length = std::snprintf(prefixed, sizeof prefixed, "[ryvo-obs] %s", format);
    const std::string longer = length >= 0 && static_cast<std::size_t>(length) < sizeof prefixed
                                   ? std::string()
                                   : std::string("[ryvo-obs] ") + format;
    va_list args;
    va_start(args, format);
    blogva(level, longer.empty() ? prefixed : longer.c_str(), args);
    va_end(args);
}

}  // namespace ryvoobs
