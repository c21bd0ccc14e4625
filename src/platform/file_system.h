#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ryvoobs {

// Thin wrappers over the POSIX file calls. Each reports a failure as the operating system's text
// for it (strerror) through `error`, which may be null and is left untouched on success.

// Creates `path` and every missing parent with default permissions; an existing directory is fine.
bool create_directories(const std::string& path, std::string* error);

// Replaces `path` with `bytes` so that a reader sees either the old or the new content in full,
// even when the writer dies midway. The new file carries exactly `permissions` from the moment it
// exists (the umask does not apply). Its directory must exist.
bool write_file_atomically(const std::string& path, std::string_view bytes, unsigned permissions,
                           std::string* error);

bool set_file_permissions(const std::string& path, unsigned permissions, std::string* error);

// One name in a directory; `modified` is empty when the entry's attributes cannot be read.
struct DirectoryEntry {
    std::string name;
    std::optional<std::chrono::system_clock::time_point> modified;
};

// The entries of a directory in the order the file system lists them, without "." and "..".
std::optional<std::vector<DirectoryEntry>> list_directory(const std::string& path,
                                                          std::string* error);

// The whole content of a regular file; a directory is refused like an unreadable file.
std::optional<std::string> read_whole_file(const std::string& path, std::string* error);

}  // namespace ryvoobs
