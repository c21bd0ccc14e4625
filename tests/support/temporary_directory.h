#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace ryvoobs::testing {

// A fresh directory under `base` ($TMPDIR or /tmp), removed with everything in it on destruction.
class TemporaryDirectory {
  public:
    explicit TemporaryDirectory(
        const std::filesystem::path& base = std::filesystem::temp_directory_path())
        : path_(base / "ryvo-test-XXXXXX") {
        if (mkdtemp(path_.data()) == nullptr) {
            throw std::runtime_error("cannot create a temporary directory");
        }
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    ~TemporaryDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }

    const std::string& path() const { return path_; }
    std::string file(const std::string& relative) const { return path_ + "/" + relative; }

  private:
    std::string path_;
};

}  // namespace ryvoobs::testing
