#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

#include "api/curl_ryvo_api.h"
#include "capture/mpeg_ts_muxer.h"
#include "delivery_tally.h"
#include "live_pacer.h"
#include "looped_media_source.h"
#include "maintenance_workers.h"
#include "media_feeder.h"
#include "progress_display.h"
#include "progress_reporter.h"
#include "progress_sampler.h"
#include "runtime/ryvo_runtime.h"
#include "runtime/sequence_checkpoint.h"
#include "send_options.h"
#include "sender_config.h"
#include "stop_signal.h"

namespace ryvoobs {
namespace {

constexpr int kExitSent = 0;
constexpr int kExitDeliveryFailed = 1;
constexpr int kExitBadInput = 2;
constexpr int kExitInterrupted = 130;

// Segments waiting for upload beyond which a --fast send waits: enough to keep the upload worker
// busy. Without the bound a long file would sit in memory whole, and most of its segments would
// be left to the bounded drain at the end, where a failed upload is no longer retried.
constexpr std::uint64_t kFastSendBacklog = 4;

int fail(int code, const std::string& message) {
    std::fprintf(stderr, "ryvo-send: %s\n", message.c_str());
    return code;
}

ProgressStyle progress_style(const SendOptions& options) {
    if (options.quiet) {
        return ProgressStyle::silent;
    }
    if (options.status_json) {
        return ProgressStyle::json;
    }
    return isatty(STDERR_FILENO) != 0 ? ProgressStyle::terminal : ProgressStyle::lines;
}

std::chrono::milliseconds progress_period(ProgressStyle style) {
    switch (style) {
        case ProgressStyle::terminal:
            return std::chrono::milliseconds(250);
        case ProgressStyle::json:
            return std::chrono::milliseconds(500);
        case ProgressStyle::lines:
        case ProgressStyle::silent:
            break;
    }
    return std::chrono::milliseconds(5000);
}

// Everything that is known when the broadcast is over.
struct SendOutcome {
    FeedResult feed;
    // The status's message when the feeding stopped, before the session was handed to the drain.
    std::string status_error;
    bool ended = false;
    std::string end_error;
    DeliveryCounts counts;
    ProgressFigures figures;
};

SendOutcome broadcast(LoopedMediaSource& source, MpegTsMuxer& muxer, RyvoRuntime& runtime,
                      const DeliveryTally& tally, const SendOptions& options,
                      ProgressDisplay& display) {
    SendOutcome outcome;
    FeedStats stats;
    MaintenanceWorkers workers(runtime);
    ProgressSampler sampler(runtime, tally, workers, stats);
    ProgressReporter reporter(
        display, [&sampler] { return sampler.sample(); }, progress_period(display.style()));
    LivePacer pacer(!options.fast);
    const FeedControls controls{
        stop_requested(),
        [&tally] { return tally.counts().refused; },
        // A live encoder never waits, so only an unpaced send holds back for the uploads.
        [&runtime, fast = options.fast] {
            return fast && runtime.status_snapshot().upload_queue_depth >= kFastSendBacklog;
        },
    };
    outcome.feed = feed_media(source, muxer, runtime, pacer, controls, stats);
    workers.request_stop();
    // The last look at the live session before the drain takes it away.
    sampler.sample();
    outcome.status_error = runtime.status_snapshot().last_error;
    outcome.ended = runtime.stop_and_end(&outcome.end_error);
    reporter.stop();
    outcome.counts = tally.counts();
    outcome.figures = sampler.sample();
    return outcome;
}

// Prints what went wrong, if anything, and gives the exit code.
int report_outcome(const SendOutcome& outcome) {
    const DeliveryCounts& counts = outcome.counts;
    if (counts.refused) {
        return fail(kExitDeliveryFailed, "uploads halted: " + counts.refusal);
    }
    if (outcome.feed.outcome == FeedOutcome::read_failed) {
        return fail(kExitDeliveryFailed, outcome.feed.error);
    }
    if (!outcome.ended) {
        return fail(kExitDeliveryFailed, "the broadcast could not be ended: " + outcome.end_error);
    }
    if (counts.segments_uploaded < outcome.figures.segments) {
        std::string message = std::to_string(outcome.figures.segments - counts.segments_uploaded) +
                              " of " + std::to_string(outcome.figures.segments) +
                              " segments were not uploaded";
        if (!outcome.status_error.empty()) {
            message += ": " + outcome.status_error;
        }
        return fail(kExitDeliveryFailed, message);
    }
    if (outcome.feed.outcome == FeedOutcome::interrupted) {
        return kExitInterrupted;
    }
    return kExitSent;
}

int run(const SendOptions& options) {
    std::string error;
    std::optional<PluginConfig> config = prepare_sender_config(options, &error);
    if (!config) {
        return fail(kExitBadInput, error);
    }
    std::unique_ptr<LoopedMediaSource> source;
    std::unique_ptr<MpegTsMuxer> muxer;
    try {
        source = std::make_unique<LoopedMediaSource>(options.media_path, options.loops);
        muxer = std::make_unique<MpegTsMuxer>(source->video(), source->audio());
    } catch (const MediaInputError& input_error) {
        return fail(kExitBadInput, input_error.what());
    } catch (const std::exception& muxer_error) {
        return fail(kExitBadInput,
                    std::string("Ryvo muxer could not start: ") + muxer_error.what());
    }

    auto tally = std::make_shared<DeliveryTally>();
    RyvoRuntime runtime([prepared = *config](std::string*) { return std::optional(prepared); },
                        options.state_path.value_or(default_state_path()),
                        [tally](PluginConfig client_config) {
                            return std::make_shared<TallyingApiClient>(
                                std::make_shared<CurlRyvoApi>(std::move(client_config)), tally);
                        });
    install_stop_signal_handlers();
    const auto started = std::chrono::steady_clock::now();
    if (!runtime.start(&error)) {
        return fail(kExitBadInput, error);
    }
    ProgressDisplay display(progress_style(options), stderr);
    const SendOutcome outcome = broadcast(*source, *muxer, runtime, *tally, options, display);
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - started;

    SendSummary summary;
    summary.segments = outcome.figures.segments;
    summary.uploaded = outcome.counts.segments_uploaded;
    summary.bytes_muxed = outcome.figures.bytes_muxed;
    summary.media_seconds = outcome.figures.media_seconds;
    summary.wall_seconds = wall.count();
    summary.last_error = outcome.counts.refused ? outcome.counts.refusal : outcome.status_error;
    if (summary.last_error.empty()) {
        summary.last_error = outcome.counts.last_failure;
    }
    if (summary.last_error.empty() && !outcome.ended) {
        summary.last_error = outcome.end_error;
    }
    display.print_summary(summary);
    return report_outcome(outcome);
}

}  // namespace
}  // namespace ryvoobs

int main(int argc, char** argv) {
    using namespace ryvoobs;
    // FFmpeg's notes and warnings would only garble the progress line; its errors stay visible.
    av_log_set_level(AV_LOG_ERROR);
    std::string error;
    const std::span<const char* const> arguments(argv + 1, static_cast<std::size_t>(argc - 1));
    const std::optional<SendOptions> options =
        parse_send_options(arguments, std::getenv("RYVO_API_KEY"), &error);
    if (!options) {
        std::fprintf(stderr, "ryvo-send: %s\nTry 'ryvo-send --help' for more information.\n",
                     error.c_str());
        return kExitBadInput;
    }
    if (options->help) {
        std::fputs(send_usage_text().c_str(), stdout);
        return kExitSent;
    }
    return run(*options);
}
