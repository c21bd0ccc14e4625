#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

namespace ryvoobs::fuzz {

// A broken promise stops the run, so that libFuzzer keeps the input that broke it.
inline void require(bool promise) {
    if (!promise) {
        std::abort();
    }
}

// The readers under test take a path, so each input goes through a file of this process in
// memory-backed /dev/shm, removed when the fuzzer exits.
struct InputFile {
    explicit InputFile(const char* name)
        : path("/dev/shm/ryvo-fuzz-" + std::string(name) + "-" + std::to_string(getpid())) {}
    ~InputFile() { unlink(path.c_str()); }

    const std::string& write(const std::uint8_t* data, std::size_t size) {
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        return path;
    }

    const std::string path;
};

}  // namespace ryvoobs::fuzz
