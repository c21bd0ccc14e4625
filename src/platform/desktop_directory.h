#pragma once

#include <string>

namespace ryvoobs {

// The current user's Desktop folder: XDG_DESKTOP_DIR from user-dirs.dirs in the configuration
// root when it names an absolute or $HOME-relative path, otherwise ~/Desktop. The folder need not
// exist. Empty when no home directory is known and user-dirs.dirs names none.
std::string desktop_directory();

}  // namespace ryvoobs
