#include "bench_measure.h"

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace ryvoobs::bench {
namespace {

double clock_seconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

long minor_faults_so_far() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

double seconds_of(const timeval& value) {
    return static_cast<double>(value.tv_sec) + static_cast<double>(value.tv_usec) * 1e-6;
}

}  // namespace

Stopwatch::Stopwatch()
    : wall_start_(clock_seconds(CLOCK_MONOTONIC)),
      cpu_start_(clock_seconds(CLOCK_PROCESS_CPUTIME_ID)),
      faults_start_(minor_faults_so_far()) {}

Measurement Stopwatch::elapsed() const {
    return {clock_seconds(CLOCK_MONOTONIC) - wall_start_,
            clock_seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu_start_,
            minor_faults_so_far() - faults_start_};
}

ChildRun run_child(const std::vector<std::string>& argv, const std::string& stdout_path) {
    std::vector<char*> args;
    std::vector<std::string> owned = argv;
    for (std::string& arg : owned) {
        args.push_back(arg.data());
    }
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (!stdout_path.empty()) {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stdout_path.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    ChildRun run;
    const double wall_start = clock_seconds(CLOCK_MONOTONIC);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        throw std::runtime_error("cannot start " + argv.front());
    }
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            throw std::runtime_error("lost the child " + argv.front());
        }
    }
    run.time.wall_s = clock_seconds(CLOCK_MONOTONIC) - wall_start;
    run.time.cpu_s = seconds_of(usage.ru_utime) + seconds_of(usage.ru_stime);
    run.time.minor_faults = usage.ru_minflt;
    run.peak_rss_kib = usage.ru_maxrss;
    if (WIFEXITED(status)) {
        run.exit_status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        run.exit_status = 128 + WTERMSIG(status);
    }
    return run;
}

double process_cpu_seconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(in, text);
    // The command name may hold spaces and parentheses; the fields start after the last ')'.
    const auto close = text.rfind(')');
    if (close == std::string::npos) {
        return 0.0;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double ticks = 0.0;
    // Fields 14 and 15 of the file (utime, stime) are the 12th and 13th after the name.
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index >= 14) {
            ticks += std::stod(field);
        }
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

Measurement best_of(const Measurement& a, const Measurement& b) {
    return {std::min(a.wall_s, b.wall_s), std::min(a.cpu_s, b.cpu_s),
            std::min(a.minor_faults, b.minor_faults)};
}

}  // namespace ryvoobs::bench
