#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "temporary_directory.h"

namespace ryvoobs::testing {

// Points HOME and XDG_CONFIG_HOME into a temporary directory for its lifetime, so that code using
// the default per-user paths never touches the real user's files. Restores both on destruction.
class IsolatedHome {
  public:
    IsolatedHome() : saved_home_(current("HOME")), saved_config_home_(current("XDG_CONFIG_HOME")) {
        setenv("HOME", home_.path().c_str(), 1);
        setenv("XDG_CONFIG_HOME", home_.file(".config").c_str(), 1);
    }
    IsolatedHome(const IsolatedHome&) = delete;
    IsolatedHome& operator=(const IsolatedHome&) = delete;
    ~IsolatedHome() {
        restore("HOME", saved_home_);
        restore("XDG_CONFIG_HOME", saved_config_home_);
    }

    const std::string& path() const { return home_.path(); }
    std::string file(const std::string& relative) const { return home_.file(relative); }

  private:
    static std::optional<std::string> current(const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
    }
    static void restore(const char* name, const std::optional<std::string>& value) {
        if (value) {
            setenv(name, value->c_str(), 1);
        } else {
            unsetenv(name);
        }
    }

    TemporaryDirectory home_;
    std::optional<std::string> saved_home_;
    std::optional<std::string> saved_config_home_;
};

}  // namespace ryvoobs::testing
