#pragma once

#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <random>

#include "temporary_directory.h"

namespace ryvoobs::testing {

// Rounds of kill_writer_mid_save per test. A sanitizer makes every fork cost a hundred times
// more; fewer rounds still land in each step of a save many times over.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
inline constexpr int kKillRounds = 60;
#else
inline constexpr int kKillRounds = 300;
#endif

// A fresh directory in memory-backed /dev/shm where there is one. A killed process leaves the page
// cache intact, so what a kill can break does not depend on the disk; without a disk's flushes
// hundreds of kills take seconds.
class MemoryBackedDirectory : public TemporaryDirectory {
  public:
    MemoryBackedDirectory()
        : TemporaryDirectory(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") {}
};

// Runs `save(1)`, `save(2)`, ... in a forked child that reports each finished call through a
// pipe, lets it finish a random number (1 to 3) of them, waits a random moment into the next
// ones, then kills it with SIGKILL. Returns how many calls had finished when it died, or -1 when
// the child could not be run. The file being saved then holds the content of that call or of the
// one after it (a kill between the rename and the report).
inline int kill_writer_mid_save(const std::function<void(int)>& save, std::mt19937& random) {
    int report[2];
    if (pipe(report) != 0) {
        return -1;
    }
    pid_t child = fork();
    if (child < 0) {
        close(report[0]);
        close(report[1]);
        return -1;
    }
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        close(report[0]);
        for (int call = 1;; ++call) {
            save(call);
            if (write(report[1], "x", 1) != 1) {
                _exit(1);
            }
        }
    }
    close(report[1]);
    int finished = 0;
    const int wanted = std::uniform_int_distribution<int>(1, 3)(random);
    char byte = 0;
    while (finished < wanted && read(report[0], &byte, 1) == 1) {
        ++finished;
    }
    usleep(static_cast<useconds_t>(std::uniform_int_distribution<int>(0, 3000)(random)));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    while (read(report[0], &byte, 1) == 1) {
        ++finished;
    }
    close(report[0]);
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL ? finished : -1;
}

}  // namespace ryvoobs::testing
