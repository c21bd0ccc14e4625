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
#include "media_feeder.h"
#include "progress_display.h"
#include "progress_reporter.h"
#include "progress_sampler.h"
#include "runtime/broadcast_delivery.h"
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
// busy. Without the bound a long file would sit in the cache whole, and its oldest segments
// would be evicted before their upload.
constexpr std::uint64_t kFastSendBacklog = 4;
// How often the wait for the finishing delivery looks for a second Ctrl-C.
constexpr std::chrono::milliseconds kQuitCheck{100};

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
    // A second Ctrl-C abandoned the delivery before it finished.
    bool quit = false;
    DeliveryProgress delivery;
    DeliveryCounts counts;
    ProgressFigures figures;
};

SendOutcome broadcast(LoopedMediaSource& source, MpegTsMuxer& muxer, BroadcastDelivery& delivery,
                      const DeliveryTally& tally, const LatestWarning& warning,
                      const SendOptions& options, ProgressDisplay& display) {
    SendOutcome outcome;
    FeedStats stats;
    const ProgressSampler sampler(delivery, tally, warning, stats);
    ProgressReporter reporter(
        display, [&sampler] { return sampler.sample(); }, progress_period(display.style()));
    LivePacer pacer(!options.fast);
    const FeedControls controls{
        stop_requested(),
        [&tally, &delivery] {
            return tally.counts().refused || !delivery.progress().fatal_error.empty();
        },
        // A live encoder never waits, so only an unpaced send holds back for the uploads.
        [&delivery, fast = options.fast] {
            return fast && delivery.progress().status.upload_queue_depth >= kFastSendBacklog;
        },
    };
    outcome.feed = feed_media(source, muxer, delivery, pacer, controls, stats);
    // The end of the input and a Ctrl-C take the same road: what was cut is delivered in the
    // background while the progress goes on, and a second Ctrl-C abandons it.
    delivery.finish();
    while (!delivery.wait_done(std::chrono::steady_clock::now() + kQuitCheck)) {
        if (quit_requested().load()) {
            outcome.quit = true;
            delivery.cancel("quit before delivery finished");
        }
    }
    delivery.shutdown(std::chrono::steady_clock::now());
    reporter.stop();
    outcome.delivery = delivery.progress();
    outcome.counts = tally.counts();
    outcome.figures = sampler.sample();
    return outcome;
}

// Prints what went wrong, if anything, and gives the exit code.
int report_outcome(const SendOutcome& outcome) {
    const DeliveryCounts& counts = outcome.counts;
    const DeliveryProgress& delivery = outcome.delivery;
    if (counts.refused) {
        return fail(kExitDeliveryFailed, "uploads halted: " + counts.refusal);
    }
    if (!delivery.fatal_error.empty()) {
        return fail(kExitDeliveryFailed, "uploads halted: " + delivery.fatal_error);
    }
    if (outcome.feed.outcome == FeedOutcome::read_failed) {
        return fail(kExitDeliveryFailed, outcome.feed.error);
    }
    if (!delivery.end_posted) {
        std::string message = "the broadcast could not be ended: " + delivery.reason;
        if (!delivery.undelivered.empty()) {
            message += "; sequences " + format_sequences(delivery.undelivered) + " not delivered";
        }
        return fail(outcome.quit ? kExitInterrupted : kExitDeliveryFailed, message);
    }
    if (!delivery.undelivered.empty()) {
        std::string message = std::to_string(delivery.undelivered.size()) + " of " +
                              std::to_string(outcome.figures.segments) +
                              " segments were not uploaded (sequences " +
                              format_sequences(delivery.undelivered) + ")";
        if (!delivery.status.last_error.empty()) {
            message += ": " + delivery.status.last_error;
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
    std::optional<SenderConfig> config = SenderConfig::prepare(options, &error);
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
    LatestWarning warning;
    DeliverySettings settings;
    settings.config_path = config->path();
    settings.state_path = options.state_path.value_or(default_state_path());
    settings.client_factory = [tally](PluginConfig client_config) {
        return std::make_shared<TallyingApiClient>(
            std::make_shared<CurlRyvoApi>(std::move(client_config)), tally);
    };
    settings.log = [&warning](bool is_warning, const std::string& line) {
        if (is_warning) {
            warning.note(line);
        }
    };
    BroadcastDelivery delivery(std::move(settings));
    install_stop_signal_handlers();
    const auto started = std::chrono::steady_clock::now();
    if (!delivery.start(&error)) {
        return fail(kExitBadInput, error);
    }
    ProgressDisplay display(progress_style(options), stderr);
    const SendOutcome outcome =
        broadcast(*source, *muxer, delivery, *tally, warning, options, display);
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - started;

    SendSummary summary;
    summary.segments = outcome.figures.segments;
    summary.uploaded = outcome.counts.segments_uploaded;
    summary.bytes_muxed = outcome.figures.bytes_muxed;
    summary.media_seconds = outcome.figures.media_seconds;
    summary.wall_seconds = wall.count();
    summary.last_error =
        outcome.counts.refused ? outcome.counts.refusal : outcome.delivery.status.last_error;
    if (summary.last_error.empty()) {
        summary.last_error = outcome.counts.last_failure;
    }
    if (summary.last_error.empty() && !outcome.delivery.end_posted) {
        summary.last_error = outcome.delivery.reason;
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
