#pragma once

#include <string>

namespace ryvoobs {

// The current user's home directory: $HOME when it is set to an absolute path, otherwise the
// password database's entry for the real user; empty when neither is known.
std::string home_directory();

// Where per-user application files live: $XDG_CONFIG_HOME when it is set to an absolute path,
// otherwise ~/.config.
std::string application_support_root();

// The directory part of a path, without trailing separators: "/a/b/c" gives "/a/b", "/c" gives "/",
// and a bare file name gives "" (the current directory).
std::string parent_directory(const std::string& path);

}  // namespace ryvoobs
