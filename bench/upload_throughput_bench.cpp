// Upload throughput against the local ingest server: a backlog of segments sent by the upload
// manager through the real libcurl transport, against the same files posted by one curl process
// that keeps its connection, alternating, in the same run.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "api/curl_ryvo_api.h"
#include "bench_measure.h"
#include "bench_report.h"
#include "dev_server_process.h"
#include "runtime/sha256.h"
#include "runtime/upload_manager.h"
#include "temporary_directory.h"

namespace ryvoobs::bench {
namespace {

namespace fs = std::filesystem;
using test_support::DevServerProcess;

struct UploadRun {
    Measurement time;
    double server_cpu_s = 0.0;
};

PluginConfig upload_config(const std::string& endpoint) {
    PluginConfig config;
    config.stream_id = "bench-stream";
    config.api_key = "bench-key";
    config.api_endpoint = endpoint;
    return config;
}

std::vector<SegmentData> make_segments(int count, std::size_t size) {
    std::mt19937_64 random(20261206);
    std::vector<SegmentData> segments;
    for (int i = 0; i < count; ++i) {
        auto bytes = std::make_shared<SegmentBytes>(size);
        for (std::size_t at = 0; at + 8 <= size; at += 8) {
            const std::uint64_t word = random();
            std::memcpy(bytes->data() + at, &word, 8);
        }
        SegmentData segment;
        segment.sequence = i + 1;
        segment.duration_ms = 2000;
        segment.sha256 = sha256_hex(*bytes);
        segment.bytes = std::move(bytes);
        segments.push_back(std::move(segment));
    }
    return segments;
}

// Every round uploads under a capture session of its own, so each one is new to the server.
std::vector<SegmentData> for_capture(std::vector<SegmentData> segments, const std::string& id) {
    for (SegmentData& segment : segments) {
        segment.capture_session_id = id;
    }
    return segments;
}

UploadRun run_upload_manager(DevServerProcess& server, const std::vector<SegmentData>& segments) {
    const PluginConfig config = upload_config(server.base_url());
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t uploaded = 0;
    std::size_t failed = 0;
    StatusTracker status;
    UploadManager uploads(config, make_api_upload_transport(std::make_shared<CurlRyvoApi>(config)),
                          &status, {}, [&](std::int64_t, bool ok) {
                              std::lock_guard lock(mutex);
                              ++(ok ? uploaded : failed);
                              changed.notify_all();
                          });
    for (const SegmentData& segment : segments) {
        uploads.enqueue(segment);
    }
    UploadRun run;
    const double server_start = process_cpu_seconds(server.pid());
    const Stopwatch watch;
    uploads.start();
    {
        // Every job reports its end once, uploaded or given up.
        std::unique_lock lock(mutex);
        changed.wait_for(lock, std::chrono::minutes(10),
                         [&] { return uploaded + failed == segments.size(); });
    }
    run.time = watch.elapsed();
    run.server_cpu_s = process_cpu_seconds(server.pid()) - server_start;
    uploads.stop();
    std::lock_guard lock(mutex);
    if (uploaded != segments.size()) {
        throw std::runtime_error("upload manager: " + std::to_string(uploaded) + " of " +
                                 std::to_string(segments.size()) + " uploaded, " +
                                 std::to_string(failed) + " failed, last error \"" +
                                 status.snapshot().last_error + "\"");
    }
    return run;
}

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

// How curl gets the body: streamed from the file as it sends (--upload-file with POST), or read
// into memory first (--data-binary @file), which curl does for every transfer of the config
// before the first one starts.
enum class CurlBody { streamed, preloaded };

const char* curl_body_name(CurlBody body) {
    return body == CurlBody::streamed ? "--upload-file" : "--data-binary @file";
}

// One config file, one transfer per segment separated by "next", with the very headers the
// plug-in sends; each transfer writes its status code on a line of its own.
fs::path write_curl_config(const fs::path& dir, const PluginConfig& config,
                           const std::vector<SegmentData>& segments, const std::string& round,
                           CurlBody body) {
    const fs::path path = dir / ("curl-" + round + ".conf");
    std::ofstream out(path);
    bool first = true;
    for (const SegmentData& segment : segments) {
        if (!first) {
            out << "next\n";
        }
        first = false;
        const fs::path file = dir / ("segment-" + std::to_string(segment.sequence) + ".ts");
        out << "url = " << quoted(build_segment_upload_url(config, segment.sequence)) << "\n";
        if (body == CurlBody::streamed) {
            out << "upload-file = " << quoted(file.string()) << "\nrequest = \"POST\"\n";
        } else {
            out << "data-binary = " << quoted("@" + file.string()) << "\n";
        }
        for (const auto& [name, value] : build_segment_headers(config, segment)) {
            out << "header = " << quoted(name + ": " + value) << "\n";
        }
        out << "header = \"Expect:\"\n";
        out << "user-agent = " << quoted(std::string("ryvo-obs/") + kPluginVersion) << "\n";
        out << "silent\nshow-error\noutput = \"/dev/null\"\n";
        out << "write-out = \"%{http_code}\\n\"\n";
    }
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
    return path;
}

void write_segment_files(const fs::path& dir, const std::vector<SegmentData>& segments) {
    for (const SegmentData& segment : segments) {
        std::ofstream out(dir / ("segment-" + std::to_string(segment.sequence) + ".ts"),
                          std::ios::binary);
        out.write(reinterpret_cast<const char*>(segment.bytes->data()),
                  static_cast<std::streamsize>(segment.bytes->size()));
        if (!out) {
            throw std::runtime_error("cannot write the segment files to " + dir.string());
        }
    }
}

UploadRun run_curl(DevServerProcess& server, const fs::path& dir,
                   const std::vector<SegmentData>& segments, const std::string& round,
                   CurlBody body) {
    const fs::path config_file =
        write_curl_config(dir, upload_config(server.base_url()), segments, round, body);
    const fs::path codes_file = dir / ("codes-" + round + ".txt");
    UploadRun run;
    const double server_start = process_cpu_seconds(server.pid());
    const ChildRun child = run_child({"curl", "--config", config_file.string()}, codes_file);
    run.server_cpu_s = process_cpu_seconds(server.pid()) - server_start;
    run.time = child.time;
    std::ifstream codes(codes_file);
    std::size_t created = 0;
    std::string code;
    while (codes >> code) {
        created += code == "201" ? 1 : 0;
    }
    if (child.exit_status != 0 || created != segments.size()) {
        throw std::runtime_error("curl: exit status " + std::to_string(child.exit_status) + ", " +
                                 std::to_string(created) + " of " +
                                 std::to_string(segments.size()) + " answered 201");
    }
    return run;
}

std::string rates(double megabytes, int segments, const Measurement& time) {
    return fixed(megabytes / time.wall_s, 1) + " MB/s, " + fixed(segments / time.wall_s, 1) +
           " segments/s";
}

// How busy the single-process server was while a phase ran; near 100% it set the pace.
std::string server_load(const UploadRun& run) {
    return fixed(100.0 * run.server_cpu_s / run.time.wall_s, 0) + "% of a core";
}

int run(int argc, char** argv) {
    const bool smoke = has_flag(argc, argv, "--smoke");
    const int count = std::stoi(flag_value(argc, argv, "--segments", smoke ? "5" : "300"));
    const std::size_t size =
        std::stoul(flag_value(argc, argv, "--segment-bytes", smoke ? "262144" : "1048576"));
    const int rounds = std::stoi(flag_value(argc, argv, "--rounds", smoke ? "1" : "3"));

    const testing::TemporaryDirectory work;
    const fs::path dir = work.path();

    const std::vector<SegmentData> segments = make_segments(count, size);
    write_segment_files(dir, segments);
    test_support::DevServerOptions options;
    options.streams = {{"bench-stream", "bench-key"}};
    DevServerProcess server(options);

    const double megabytes = static_cast<double>(size) * count / 1e6;
    std::printf("upload throughput: %d segments of %zu bytes to the dev server on %s, %d rounds\n",
                count, size, server.base_url().c_str(), rounds);
    // Each contender's fastest round counts.
    UploadRun ours{{1e300, 1e300}, 0.0};
    UploadRun streamed{{1e300, 1e300}, 0.0};
    UploadRun preloaded{{1e300, 1e300}, 0.0};
    const auto keep_faster = [](UploadRun& best, const UploadRun& run) {
        if (run.time.wall_s < best.time.wall_s) {
            best = run;
        }
    };
    const auto describe = [](const char* who, const UploadRun& run) {
        return std::string(who) + " " + fixed(run.time.wall_s, 2) + " s wall, " +
               fixed(run.time.cpu_s, 2) + " s CPU, server " + server_load(run);
    };
    for (int round = 1; round <= rounds; ++round) {
        const std::string tag = std::to_string(round);
        const UploadRun manager =
            run_upload_manager(server, for_capture(segments, "bench-manager-" + tag));
        const UploadRun curl_streamed = run_curl(
            server, dir, for_capture(segments, "bench-curl-s" + tag), tag, CurlBody::streamed);
        const UploadRun curl_preloaded = run_curl(
            server, dir, for_capture(segments, "bench-curl-p" + tag), tag, CurlBody::preloaded);
        std::printf("  round %s: %s; %s; %s\n", tag.c_str(),
                    describe("upload manager", manager).c_str(),
                    describe(curl_body_name(CurlBody::streamed), curl_streamed).c_str(),
                    describe(curl_body_name(CurlBody::preloaded), curl_preloaded).c_str());
        keep_faster(ours, manager);
        keep_faster(streamed, curl_streamed);
        keep_faster(preloaded, curl_preloaded);
    }
    std::printf("  upload manager: %s (server %s)\n", rates(megabytes, count, ours.time).c_str(),
                server_load(ours).c_str());
    for (const auto& [body, run] :
         {std::pair{CurlBody::streamed, streamed}, std::pair{CurlBody::preloaded, preloaded}}) {
        std::printf("  one curl process, %s: %s (server %s)\n", curl_body_name(body),
                    rates(megabytes, count, run.time).c_str(), server_load(run).c_str());
    }
    // The stronger of the two curl runs is the baseline.
    const bool streamed_wins = streamed.time.wall_s <= preloaded.time.wall_s;
    const UploadRun& curl = streamed_wins ? streamed : preloaded;
    print_result({"Upload throughput: " + std::to_string(count) + " x " +
                      fixed(static_cast<double>(size) / 1048576.0, 2) +
                      " MiB to the dev server, upload manager + libcurl",
                  rates(megabytes, count, ours.time) + " (server " + server_load(ours) + ")",
                  std::string("one curl process, one connection, ") +
                      curl_body_name(streamed_wins ? CurlBody::streamed : CurlBody::preloaded) +
                      ": " + rates(megabytes, count, curl.time) + " (server " + server_load(curl) +
                      ")",
                  "wall time", ours.time.wall_s / curl.time.wall_s, 1.0});
    return 0;
}

}  // namespace
}  // namespace ryvoobs::bench

int main(int argc, char** argv) {
    try {
        return ryvoobs::bench::run(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "upload throughput: %s\n", error.what());
        return 1;
    }
}
