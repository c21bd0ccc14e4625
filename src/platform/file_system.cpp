#include "platform/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/paths.h"

namespace ryvoobs {
namespace {

bool fail_with_errno(int code, std::string* error) {
    if (error != nullptr) {
        *error = std::strerror(code);
    }
    return false;
}

// Owns a descriptor so that every early return closes it.
class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const { return fd_; }
    // Closing can report a late write error (on network file systems), so it is checked.
    int close() {
        int result = ::close(fd_);
        fd_ = -1;
        return result;
    }

  private:
    int fd_;
};

class DirectoryStream {
  public:
    explicit DirectoryStream(DIR* dir) : dir_(dir) {}
    DirectoryStream(const DirectoryStream&) = delete;
    DirectoryStream& operator=(const DirectoryStream&) = delete;
    ~DirectoryStream() {
        if (dir_ != nullptr) {
            ::closedir(dir_);
        }
    }
    DIR* get() const { return dir_; }

  private:
    DIR* dir_;
};

std::chrono::system_clock::time_point to_time_point(const timespec& time) {
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::seconds(time.tv_sec) + std::chrono::nanoseconds(time.tv_nsec)));
}

bool make_directory(const std::string& path, std::string* error) {
    if (::mkdir(path.c_str(), 0777) == 0) {
        return true;
    }
    // An existing directory can also be reported as EACCES or EROFS, so look before failing.
    int code = errno;
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        return S_ISDIR(info.st_mode) || fail_with_errno(ENOTDIR, error);
    }
    return fail_with_errno(code, error);
}

bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// Makes the rename itself durable. File systems that cannot sync a directory say EINVAL; there is
// nothing more to do on them.
bool sync_directory(const std::string& directory, std::string* error) {
    FileDescriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0) {
        return fail_with_errno(errno, error);
    }
    if (::fsync(fd.get()) != 0 && errno != EINVAL) {
        return fail_with_errno(errno, error);
    }
    return true;
}

}  // namespace

bool create_directories(const std::string& path, std::string* error) {
    std::size_t position = path.find_first_not_of('/');
    while (position != std::string::npos && position < path.size()) {
        std::size_t end = path.find('/', position);
        if (!make_directory(path.substr(0, end), error)) {
            return false;
        }
        position = end == std::string::npos ? end : path.find_first_not_of('/', end);
    }
    return true;
}

bool write_file_atomically(const std::string& path, std::string_view bytes, unsigned permissions,
                           std::string* error) {
    std::string directory = parent_directory(path);
    std::string name = path.substr(path.find_last_of('/') + 1);
    if (directory.empty()) {
        directory = ".";
    }
    // A hidden name beside the target keeps the rename on one file system.
    std::string temporary = (directory == "/" ? "" : directory) + "/." + name + ".XXXXXX";
    FileDescriptor fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (fd.get() < 0) {
        return fail_with_errno(errno, error);
    }
    // mkostemp creates the file 0600; it takes its final mode before any byte is written.
    if (::fchmod(fd.get(), permissions) != 0 || !write_all(fd.get(), bytes) ||
        ::fsync(fd.get()) != 0 || fd.close() != 0 ||
        ::rename(temporary.c_str(), path.c_str()) != 0) {
        int code = errno;
        ::unlink(temporary.c_str());
        return fail_with_errno(code, error);
    }
    return sync_directory(directory, error);
}

bool set_file_permissions(const std::string& path, unsigned permissions, std::string* error) {
    return ::chmod(path.c_str(), permissions) == 0 || fail_with_errno(errno, error);
}

std::optional<std::vector<DirectoryEntry>> list_directory(const std::string& path,
                                                          std::string* error) {
    DirectoryStream dir(::opendir(path.c_str()));
    if (dir.get() == nullptr) {
        fail_with_errno(errno, error);
        return std::nullopt;
    }
    std::vector<DirectoryEntry> entries;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir.get());
        if (entry == nullptr) {
            if (errno != 0) {
                fail_with_errno(errno, error);
                return std::nullopt;
            }
            return entries;
        }
        const std::string name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        DirectoryEntry listed{name, std::nullopt};
        struct stat info {};
        if (::fstatat(::dirfd(dir.get()), entry->d_name, &info, 0) == 0) {
            listed.modified = to_time_point(info.st_mtim);
        }
        entries.push_back(std::move(listed));
    }
}

std::optional<std::string> read_whole_file(const std::string& path, std::string* error) {
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0) {
        fail_with_errno(errno, error);
        return std::nullopt;
    }
    if (S_ISDIR(info.st_mode)) {
        fail_with_errno(EISDIR, error);
        return std::nullopt;
    }
    std::string content;
    char buffer[65536];
    for (;;) {
        ssize_t count = ::read(fd.get(), buffer, sizeof buffer);
        if (count == 0) {
            return content;
        }
        if (count < 0 && errno != EINTR) {
            fail_with_errno(errno, error);
            return std::nullopt;
        }
        if (count > 0) {
            content.append(buffer, static_cast<std::size_t>(count));
        }
    }
}

}  // namespace ryvoobs
