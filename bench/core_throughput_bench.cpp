// How much CPU the delivery core spends on a live 8 Mbit/s broadcast: the synthetic stream is fed
// through a broadcast delivery whose client accepts every request at once, as fast as it goes,
// and compared with the bare SHA-256 digest of the same bytes, the one piece of work the core
// cannot avoid.
#include <openssl/evp.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "accepting_client.h"
#include "bench_measure.h"
#include "bench_report.h"
#include "runtime/broadcast_delivery.h"
#include "synthetic_stream.h"
#include "temporary_directory.h"

namespace ryvoobs::bench {
namespace {

constexpr std::int64_t kBitrateBps = 8'000'000;

volatile unsigned char digest_sink = 0;

struct CoreRun {
    Measurement time;
    std::int64_t uploads = 0;
    DeliveryProgress outcome;
};

PluginConfig session_config(std::int32_t ram_buffer_minutes) {
    PluginConfig config;
    config.stream_id = "bench-stream";
    config.api_key = "bench-key";
    config.api_endpoint = "http://127.0.0.1:9";
    config.runtime_mode = RuntimeMode::full;
    config.segment_duration_ms = SyntheticStream::kGopMs;
    config.estimated_bitrate_kbps = static_cast<std::int32_t>(kBitrateBps / 1000);
    config.ram_buffer_minutes = ram_buffer_minutes;
    return config;
}

// The delivery's whole life, construction to the posted end, is measured: a broadcast pays for
// all of it, the checkpoint written to `state_path` included.
CoreRun run_session(const SyntheticStream& stream, std::int64_t gops,
                    std::int32_t ram_buffer_minutes, const std::string& state_path) {
    auto client = std::make_shared<testing::AcceptingClient>();
    CoreRun run;
    const Stopwatch watch;
    {
        DeliverySettings settings;
        settings.config_loader = [ram_buffer_minutes](std::string*) {
            return std::optional<PluginConfig>(session_config(ram_buffer_minutes));
        };
        settings.state_path = state_path;
        settings.client_factory = [client](PluginConfig) { return client; };
        BroadcastDelivery delivery(std::move(settings));
        std::string error;
        if (!delivery.start(&error)) {
            throw std::runtime_error("the delivery did not start: " + error);
        }
        for (std::int64_t gop = 0; gop < gops; ++gop) {
            std::span<const std::uint8_t> bytes = stream.gop_bytes(gop);
            for (const ChunkLayout& chunk : stream.gop_layout()) {
                delivery.push_encoded_bytes(bytes.first(chunk.size), chunk.duration_ms,
                                            chunk.keyframe);
                bytes = bytes.subspan(chunk.size);
            }
        }
        delivery.finish();
        delivery.wait_done(BroadcastDelivery::Clock::now() + std::chrono::minutes(10));
        run.outcome = delivery.progress();
    }
    run.time = watch.elapsed();
    run.uploads = client->uploads.load();
    return run;
}

// One digest per GOP, fed chunk by chunk as the bytes arrive: the same bytes, the same
// boundaries, nothing else.
Measurement run_digest(const SyntheticStream& stream, std::int64_t gops) {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (context == nullptr) {
        throw std::runtime_error("EVP_MD_CTX_new failed");
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_length = 0;
    const Stopwatch watch;
    for (std::int64_t gop = 0; gop < gops; ++gop) {
        std::span<const std::uint8_t> bytes = stream.gop_bytes(gop);
        EVP_DigestInit_ex(context, EVP_sha256(), nullptr);
        for (const ChunkLayout& chunk : stream.gop_layout()) {
            EVP_DigestUpdate(context, bytes.data(), chunk.size);
            bytes = bytes.subspan(chunk.size);
        }
        EVP_DigestFinal_ex(context, digest, &digest_length);
        // Keeps the digests from being optimised away.
        digest_sink = digest[0];
    }
    const Measurement time = watch.elapsed();
    EVP_MD_CTX_free(context);
    return time;
}

// The delivery must have cut, cached and "uploaded" one segment per GOP with no error at all and
// ended the broadcast; otherwise the figures would describe some other amount of work.
bool verify(const CoreRun& run, std::int64_t gops) {
    const DeliveryProgress& outcome = run.outcome;
    if (outcome.phase == DeliveryPhase::finished && outcome.end_posted && run.uploads == gops &&
        outcome.last_sequence == gops && outcome.undelivered.empty() &&
        outcome.status.last_error.empty()) {
        return true;
    }
    std::fprintf(stderr,
                 "core throughput: expected %lld segments uploaded and the end posted, got %lld "
                 "uploaded, last sequence %lld, %s, last error \"%s\" %s\n",
                 static_cast<long long>(gops), static_cast<long long>(run.uploads),
                 static_cast<long long>(outcome.last_sequence),
                 outcome.end_posted ? "end posted" : "no end", outcome.status.last_error.c_str(),
                 outcome.reason.c_str());
    return false;
}

int run(int argc, char** argv) {
    const bool smoke = has_flag(argc, argv, "--smoke");
    const std::int64_t broadcast_s =
        std::stoll(flag_value(argc, argv, "--seconds", smoke ? "10" : "600"));
    const int rounds = std::stoi(flag_value(argc, argv, "--rounds", smoke ? "1" : "3"));
    // Two minutes of cache: a long broadcast runs with a full cache that evicts a segment for
    // every new one, and that steady state is what is measured.
    const std::int32_t ram_minutes = std::stoi(flag_value(argc, argv, "--ram-minutes", "2"));
    const std::int64_t gops = broadcast_s * 1000 / SyntheticStream::kGopMs;

    const testing::TemporaryDirectory work;

    const SyntheticStream stream(kBitrateBps);
    const double megabytes =
        static_cast<double>(stream.gop_size()) * static_cast<double>(gops) / 1e6;
    std::printf(
        "core throughput: %lld s of an 8 Mbit/s broadcast (%s MB, %lld segments), %d "
        "rounds, cache of %d min\n",
        static_cast<long long>(broadcast_s), fixed(megabytes, 0).c_str(),
        static_cast<long long>(gops), rounds, ram_minutes);

    Measurement core{1e300, 1e300, kNoFaultsYet};
    Measurement digest{1e300, 1e300, kNoFaultsYet};
    for (int round = 0; round < rounds; ++round) {
        const Measurement bare = run_digest(stream, gops);
        // A state file per round: each broadcast numbers from 1.
        const CoreRun session = run_session(stream, gops, ram_minutes,
                                            work.file("state-" + std::to_string(round) + ".json"));
        if (!verify(session, gops)) {
            return 1;
        }
        std::printf(
            "  round %d: session %s s CPU (%s s wall, %ld page faults), digest %s s CPU (%ld page "
            "faults)\n",
            round + 1, fixed(session.time.cpu_s, 3).c_str(), fixed(session.time.wall_s, 3).c_str(),
            session.time.minor_faults, fixed(bare.cpu_s, 3).c_str(), bare.minor_faults);
        core = best_of(core, session.time);
        digest = best_of(digest, bare);
    }

    const double core_mb_s = megabytes / core.wall_s;
    const double core_us_per_s = core.cpu_s * 1e6 / static_cast<double>(broadcast_s);
    const double digest_mb_s = megabytes / digest.cpu_s;
    const double digest_us_per_s = digest.cpu_s * 1e6 / static_cast<double>(broadcast_s);
    std::printf("  session: %s MB/s, %s us CPU per broadcast second (%s%% of one core)\n",
                fixed(core_mb_s, 0).c_str(), fixed(core_us_per_s, 0).c_str(),
                fixed(core_us_per_s / 1e4, 3).c_str());
    std::printf("  bare EVP SHA-256: %s MB/s, %s us CPU per broadcast second\n",
                fixed(digest_mb_s, 0).c_str(), fixed(digest_us_per_s, 0).c_str());

    print_result(
        {"Core throughput: delivery, instant client, 8 Mbit/s",
         fixed(core_mb_s, 0) + " MB/s; " + fixed(core_us_per_s, 0) + " us CPU per broadcast s",
         "EVP SHA-256 of the same bytes: " + fixed(digest_mb_s, 0) + " MB/s; " +
             fixed(digest_us_per_s, 0) + " us CPU per broadcast s",
         "CPU time", core.cpu_s / digest.cpu_s, 1.5});
    return 0;
}

}  // namespace
}  // namespace ryvoobs::bench

int main(int argc, char** argv) {
    try {
        return ryvoobs::bench::run(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "core throughput: %s\n", error.what());
        return 1;
    }
}
