#pragma once

#include <sys/stat.h>

namespace ryvoobs::testing {

// Sets the process's file creation mask for its lifetime and puts the old one back.
class ScopedUmask {
  public:
    explicit ScopedUmask(mode_t mask) : saved_(::umask(mask)) {}
    ScopedUmask(const ScopedUmask&) = delete;
    ScopedUmask& operator=(const ScopedUmask&) = delete;
    ~ScopedUmask() { ::umask(saved_); }

  private:
    mode_t saved_;
};

}  // namespace ryvoobs::testing
