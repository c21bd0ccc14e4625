#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>

namespace ryvoobs::fuzz {

// The readers under test take a path, so each input goes through one file per process, kept in
// memory-backed /dev/shm where there is one and removed when the fuzzer exits.
class InputFile {
  public:
    explicit InputFile(const char* name) {
        const char* directory = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        path_ = std::string(directory) + "/ryvo-fuzz-" + name + "-" + std::to_string(getpid());
    }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile() { unlink(path_.c_str()); }

    const std::string& path() const { return path_; }

    const std::string& write(const std::uint8_t* data, std::size_t size) {
        std::ofstream(path_, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        return path_;
    }

  private:
    std::string path_;
};

}  // namespace ryvoobs::fuzz
