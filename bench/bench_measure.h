#pragma once

#include <sys/types.h>

#include <limits>
#include <string>
#include <vector>

namespace ryvoobs::bench {

// Wall and CPU time of a stretch of work. CPU time is the whole process's (every thread), so
// work handed to a worker thread is counted too, and so are the page faults: memory touched for
// the first time costs CPU that no profile of the code itself shows.
struct Measurement {
    double wall_s = 0.0;
    double cpu_s = 0.0;
    long minor_faults = 0;
};

class Stopwatch {
  public:
    Stopwatch();
    Measurement elapsed() const;

  private:
    double wall_start_;
    double cpu_start_;
    long faults_start_;
};

// What a child process cost, from wait4().
struct ChildRun {
    int exit_status = -1;  // 128 + signal when killed
    Measurement time;
    long peak_rss_kib = 0;
};

// Runs `argv` (argv[0] a path or a name looked up on PATH) with stdout going to `stdout_path`
// (empty: inherited) and stderr inherited, and waits for it.
ChildRun run_child(const std::vector<std::string>& argv, const std::string& stdout_path = {});

// CPU seconds a running process has used so far, from /proc; 0 when it cannot be read.
double process_cpu_seconds(pid_t pid);

// A starting point for best_of that any round improves on.
inline constexpr long kNoFaultsYet = std::numeric_limits<long>::max();

// The smaller wall and CPU time and fault count of two rounds: the least disturbed figures on a
// machine that other work shares.
Measurement best_of(const Measurement& a, const Measurement& b);

}  // namespace ryvoobs::bench
