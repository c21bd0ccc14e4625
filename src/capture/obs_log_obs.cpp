#include "capture/obs_log.h"

#include <util/base.h>

#include <cstdarg>
#include <string>

namespace ryvoobs {

void ryvo_log(int level, const char* format, ...) {
    const std::string prefixed = std::string("[ryvo-obs] ") + format;
    va_list args;
    va_start(args, format);
    blogva(level, prefixed.c_str(), args);
    va_end(args);
}

}  // namespace ryvoobs
