#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace ryvoobs::testing {

// Sets one environment variable for its lifetime and puts the old value (or its absence) back.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name); old != nullptr) {
            saved_ = old;
        }
        setenv(name, value.c_str(), 1);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    ~ScopedEnv() {
        if (saved_) {
            setenv(name_, saved_->c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }

  private:
    const char* name_;
    std::optional<std::string> saved_;
};

}  // namespace ryvoobs::testing
