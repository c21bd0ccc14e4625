#pragma once

#include <string>

#include "capture/plugin_status_snapshot.h"
#include "runtime/segment_data.h"

namespace ryvoobs {

// The snapshot as "label: value" lines for the support bundle, with the dock's own words for
// health, link, output and ages; `now` is the wall clock the ages are measured against. Holds the
// stream and account names but none of the link's secrets.
std::string diagnostic_status_text(const RyvoPluginStatusSnapshot& snapshot, WallClockTime now);

}  // namespace ryvoobs
