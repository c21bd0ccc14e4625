#pragma once

#include <string>
#include <string_view>

namespace ryvoobs::bench {

// One row of the benchmark table. `ratio` is always our cost over the baseline's (time or CPU,
// named in `ratio_of`), so lower is better and the aim is an upper bound.
struct BenchResult {
    std::string benchmark;
    std::string figure;
    std::string baseline;
    std::string ratio_of;
    double ratio = 0.0;
    double aim = 0.0;
};

// Prints the row as one tab-separated line starting with "RESULT", which scripts/bench.sh
// collects into the table; the figures themselves are printed by each benchmark as it goes.
void print_result(const BenchResult& result);

// printf("%.*f") without the format string.
std::string fixed(double value, int decimals);

// Whether `flag` is among the arguments, and the argument after `flag` (or `fallback`).
bool has_flag(int argc, char** argv, std::string_view flag);
std::string flag_value(int argc, char** argv, std::string_view flag, std::string fallback);

}  // namespace ryvoobs::bench
