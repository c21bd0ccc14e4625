#include "bench_measure.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "temporary_directory.h"

namespace ryvoobs::bench {
namespace {

// The benchmarks trust these figures for their baselines (curl, ffmpeg) and for their checks
// (a child's exit status, its output), so they are checked against real children.
TEST(RunChildTest, ReportsExitStatusOutputAndCost) {
    ryvoobs::testing::TemporaryDirectory dir;
    const std::string out = dir.file("out.txt");

    const ChildRun busy = run_child(
        {"/bin/sh", "-c", "i=0; while [ $i -lt 200000 ]; do i=$((i+1)); done; echo done; exit 3"},
        out);
    EXPECT_EQ(busy.exit_status, 3);
    EXPECT_GT(busy.time.cpu_s, 0.0);
    EXPECT_GE(busy.time.wall_s, busy.time.cpu_s * 0.5);
    EXPECT_GT(busy.peak_rss_kib, 0);
    std::ifstream in(out);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "done");

    EXPECT_EQ(run_child({"/bin/sh", "-c", "kill -TERM $$"}).exit_status, 128 + 15);
    EXPECT_THROW(run_child({"/nonexistent/program"}), std::runtime_error);
}

TEST(ProcessCpuTest, ReadsARunningProcessAndToleratesAMissingOne) {
    const Stopwatch watch;
    volatile double sink = 0;
    while (watch.elapsed().cpu_s < 0.05) {
        sink = sink + 1.0;
    }
    EXPECT_GE(process_cpu_seconds(getpid()), 0.04);
    EXPECT_EQ(process_cpu_seconds(-1), 0.0);
}

}  // namespace
}  // namespace ryvoobs::bench
