#pragma once

namespace ryvoobs {

// Every line the plug-in writes to OBS's log, at one of libobs's levels (LOG_INFO, LOG_WARNING,
// LOG_DEBUG), printf-style; the "[ryvo-obs] " prefix is added here so that no call site can
// forget it.
void ryvo_log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace ryvoobs
