#include "bench_report.h"

#include <cstdio>
#include <vector>

namespace ryvoobs::bench {

namespace {

// Small ratios (a share of a core) need more places than the usual two.
std::string ratio_text(double ratio) {
    return fixed(ratio, ratio < 0.1 ? 4 : 2) + "x";
}

}  // namespace

void print_result(const BenchResult& result) {
    const bool met = result.ratio <= result.aim;
    std::printf("RESULT\t%s\t%s\t%s\t%s (%s)\t<= %s\t%s\n", result.benchmark.c_str(),
                result.figure.c_str(), result.baseline.c_str(), ratio_text(result.ratio).c_str(),
                result.ratio_of.c_str(), ratio_text(result.aim).c_str(), met ? "met" : "missed");
    std::fflush(stdout);
}

std::string fixed(double value, int decimals) {
    std::vector<char> buffer(64);
    const int length = std::snprintf(buffer.data(), buffer.size(), "%.*f", decimals, value);
    if (length >= static_cast<int>(buffer.size())) {
        buffer.resize(static_cast<std::size_t>(length) + 1);
        std::snprintf(buffer.data(), buffer.size(), "%.*f", decimals, value);
    }
    return buffer.data();
}

bool has_flag(int argc, char** argv, std::string_view flag) {
    for (int i = 1; i < argc; ++i) {
        if (flag == argv[i]) {
            return true;
        }
    }
    return false;
}

std::string flag_value(int argc, char** argv, std::string_view flag, std::string fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (flag == argv[i]) {
            return argv[i + 1];
        }
    }
    return fallback;
}

}  // namespace ryvoobs::bench
