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

// A sanitizer makes every fork cost a hundred times more; fewer rounds still hit every step.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
inline constexpr int kKillRounds = 60;
#else
inline constexpr int kKillRounds = 300;
#endif

// A kill leaves the page cache intact, so memory-backed /dev/shm breaks the same and runs faster.
class MemoryBackedDirectory : public TemporaryDirectory {
  public:
    MemoryBackedDirectory()
        : TemporaryDirectory(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") {}
};

// Runs `save(1)`, `save(2)`, ... in a forked child, kills it a random moment after 1 to 3 calls
// and returns how many had finished (-1 when the child could not run). The file then holds that
// call's content or the next one's (a kill between the rename and the report).
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
