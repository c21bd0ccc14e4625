// The whole sending path on a real clip: ryvo-send delivers a 1080p 8 Mbit/s H.264/AAC file as
// fast as it goes to the local ingest server, against FFmpeg's bare remux of the same file to
// MPEG-TS, the floor for reading and muxing those packets at all.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_measure.h"
#include "bench_report.h"
#include "dev_server_process.h"
#include "temporary_directory.h"

namespace ryvoobs::bench {
namespace {

namespace fs = std::filesystem;

struct ClipShape {
    int seconds = 600;
    std::string size = "1920x1080";
    std::string bitrate = "8M";
    std::string buffer = "16M";
};

// Encoding takes minutes, so the clip is made once and kept; it is written beside and renamed,
// so an interrupted run never leaves half a clip behind under the final name.
void ensure_clip(const fs::path& clip, const ClipShape& shape) {
    if (fs::exists(clip)) {
        return;
    }
    std::printf("send clip: encoding %s (%d s, once)...\n", clip.c_str(), shape.seconds);
    std::fflush(stdout);
    fs::create_directories(clip.parent_path());
    const fs::path part = clip.string() + ".part";
    const std::string seconds = std::to_string(shape.seconds);
    const ChildRun run = run_child({"ffmpeg",
                                    "-hide_banner",
                                    "-loglevel",
                                    "error",
                                    "-nostdin",
                                    "-f",
                                    "lavfi",
                                    "-i",
                                    "testsrc2=size=" + shape.size + ":rate=30",
                                    "-f",
                                    "lavfi",
                                    "-i",
                                    "sine=frequency=440:sample_rate=48000",
                                    "-t",
                                    seconds,
                                    "-c:v",
                                    "libx264",
                                    "-preset",
                                    "ultrafast",
                                    "-b:v",
                                    shape.bitrate,
                                    "-maxrate",
                                    shape.bitrate,
                                    "-bufsize",
                                    shape.buffer,
                                    "-g",
                                    "60",
                                    "-pix_fmt",
                                    "yuv420p",
                                    "-c:a",
                                    "aac",
                                    "-b:a",
                                    "128k",
                                    "-f",
                                    "mp4",
                                    "-y",
                                    part.string()});
    if (run.exit_status != 0) {
        throw std::runtime_error("ffmpeg could not encode the clip");
    }
    fs::rename(part, clip);
}

ChildRun remux(const fs::path& clip) {
    const ChildRun run =
        run_child({"ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-i", clip.string(),
                   "-c", "copy", "-f", "mpegts", "-y", "/dev/null"});
    if (run.exit_status != 0) {
        throw std::runtime_error("ffmpeg could not remux the clip");
    }
    return run;
}

struct SendRun {
    ChildRun child;
    double server_cpu_s = 0.0;
};

SendRun send(const std::string& ryvo_send, const fs::path& clip, const fs::path& work_dir,
             int round) {
    test_support::DevServerOptions options;
    options.streams = {{"bench-stream", "bench-key"}};
    test_support::DevServerProcess server(options);
    const fs::path state = work_dir / ("state-" + std::to_string(round) + ".json");
    SendRun run;
    const double server_start = process_cpu_seconds(server.pid());
    run.child = run_child({ryvo_send, "--fast", "--quiet", "--endpoint", server.base_url(),
                           "--stream-id", "bench-stream", "--api-key", "bench-key", "--state",
                           state.string(), clip.string()});
    run.server_cpu_s = process_cpu_seconds(server.pid()) - server_start;
    if (run.child.exit_status != 0) {
        throw std::runtime_error("ryvo-send failed with exit status " +
                                 std::to_string(run.child.exit_status));
    }
    return run;
}

int run(int argc, char** argv) {
    const bool smoke = has_flag(argc, argv, "--smoke");
    const std::string ryvo_send = flag_value(argc, argv, "--ryvo-send", RYVO_SEND_PATH);
    const int rounds = std::stoi(flag_value(argc, argv, "--rounds", smoke ? "1" : "2"));
    // The cache bound of ryvo-send's default settings: 10 minutes at 8000 kbit/s.
    const double cache_bound_mib = 10.0 * 8000.0 * 7500.0 / 1048576.0;

    const testing::TemporaryDirectory work;
    const fs::path work_dir = work.path();
    // ryvo-send must neither read nor touch the configuration of whoever runs the benchmark.
    setenv("XDG_CONFIG_HOME", work_dir.c_str(), 1);

    ClipShape shape;
    fs::path clip;
    if (smoke) {
        shape = {4, "320x240", "300k", "600k"};
        clip = work_dir / "smoke.mp4";
    } else {
        clip = flag_value(argc, argv, "--clip", "bench-media/clip-1080p30-8M-600s.mp4");
    }
    ensure_clip(clip, shape);
    const double minutes = shape.seconds / 60.0;

    std::printf("send clip: %s, %d s, %d rounds\n", clip.c_str(), shape.seconds, rounds);
    Measurement ffmpeg{1e300, 1e300, kNoFaultsYet};
    Measurement ours{1e300, 1e300, kNoFaultsYet};
    long peak_rss_kib = 0;
    double server_cpu_s = 0.0;
    for (int round = 1; round <= rounds; ++round) {
        const ChildRun bare = remux(clip);
        const SendRun sent = send(ryvo_send, clip, work_dir, round);
        std::printf(
            "  round %d: ryvo-send %s s wall, %s s CPU, %ld page faults, peak RSS %ld MiB, server "
            "%s s CPU; ffmpeg remux %s s wall, %s s CPU, %ld page faults\n",
            round, fixed(sent.child.time.wall_s, 2).c_str(),
            fixed(sent.child.time.cpu_s, 2).c_str(), sent.child.time.minor_faults,
            sent.child.peak_rss_kib / 1024, fixed(sent.server_cpu_s, 2).c_str(),
            fixed(bare.time.wall_s, 2).c_str(), fixed(bare.time.cpu_s, 2).c_str(),
            bare.time.minor_faults);
        ffmpeg = best_of(ffmpeg, bare.time);
        if (sent.child.time.cpu_s < ours.cpu_s) {
            server_cpu_s = sent.server_cpu_s;
        }
        ours = best_of(ours, sent.child.time);
        peak_rss_kib = std::max(peak_rss_kib, sent.child.peak_rss_kib);
    }

    const double cpu_per_minute = ours.cpu_s / minutes;
    const double live_core_share = 100.0 * ours.cpu_s / shape.seconds;
    std::printf(
        "  ryvo-send --fast: %s s wall, %s s CPU (%s s CPU per broadcast minute, %s%% of "
        "one core live); peak RSS %ld MiB beside a cache bound of %s MiB\n",
        fixed(ours.wall_s, 2).c_str(), fixed(ours.cpu_s, 2).c_str(),
        fixed(cpu_per_minute, 3).c_str(), fixed(live_core_share, 3).c_str(), peak_rss_kib / 1024,
        fixed(cache_bound_mib, 0).c_str());
    std::printf("  ffmpeg -c copy -f mpegts: %s s wall, %s s CPU; dev server %s s CPU\n",
                fixed(ffmpeg.wall_s, 2).c_str(), fixed(ffmpeg.cpu_s, 2).c_str(),
                fixed(server_cpu_s, 2).c_str());

    const std::string clip_name = std::to_string(shape.seconds) + " s " + shape.size + " " +
                                  shape.bitrate + "bit/s H.264/AAC clip";
    print_result({"Send a " + clip_name + ": ryvo-send --fast to the dev server",
                  fixed(ours.wall_s, 2) + " s wall, " + fixed(ours.cpu_s, 2) + " s CPU; peak RSS " +
                      std::to_string(peak_rss_kib / 1024) + " MiB (cache bound " +
                      fixed(cache_bound_mib, 0) + " MiB)",
                  "ffmpeg -c copy -f mpegts of the same clip: " + fixed(ffmpeg.wall_s, 2) +
                      " s wall, " + fixed(ffmpeg.cpu_s, 2) + " s CPU",
                  "CPU time", ours.cpu_s / ffmpeg.cpu_s, 1.5});
    print_result({"Live cost of the same send (CPU over broadcast time)",
                  fixed(cpu_per_minute, 3) + " s CPU per broadcast minute = " +
                      fixed(live_core_share, 3) + "% of one core",
                  "one core for the broadcast's length: 60 s CPU per minute", "CPU time",
                  live_core_share / 100.0, 0.01});
    return 0;
}

}  // namespace
}  // namespace ryvoobs::bench

int main(int argc, char** argv) {
    try {
        return ryvoobs::bench::run(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "send clip: %s\n", error.what());
        return 1;
    }
}
