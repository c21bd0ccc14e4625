#pragma once

#include <string>
#include <string_view>

namespace ryvoobs {

// Saves the bundle as "ryvo-diagnostics-<local time>.txt" in the Desktop folder, creating the
// folder when it does not exist yet. The file is readable by its owner only from the moment it
// appears. On success stores the file's path; on failure one of "Could not locate the Desktop
// folder.", "Could not write diagnostic bundle: <reason>" or "Could not secure diagnostic bundle
// permissions.". Either out-string may be null.
bool write_bundle_to_desktop(std::string_view bundle, std::string* path, std::string* error);

}  // namespace ryvoobs
