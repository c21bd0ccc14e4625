#pragma once

#include <string>

#include "scoped_env.h"
#include "temporary_directory.h"

namespace ryvoobs::testing {

// Points HOME and XDG_CONFIG_HOME into a temporary directory for its lifetime, so that code using
// the default per-user paths never touches the real user's files.
class IsolatedHome {
  public:
    const std::string& path() const { return home_.path(); }
    std::string file(const std::string& relative) const { return home_.file(relative); }

  private:
    TemporaryDirectory home_;
    ScopedEnv home_env_{"HOME", home_.path()};
    ScopedEnv config_env_{"XDG_CONFIG_HOME", home_.file(".config")};
};

}  // namespace ryvoobs::testing
