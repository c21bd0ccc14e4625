#include "runtime/ryvo_runtime.h"

#include <algorithm>
#include <utility>

#include "api/curl_ryvo_api.h"
#include "api/ingest_requests.h"
#include "config/config_file.h"
#include "runtime/capture_session_id.h"
#include "runtime/checkpoint_writer.h"
#include "runtime/sequence_checkpoint.h"
#include "runtime/sequence_ledger.h"

namespace ryvoobs {
namespace {

void set_error(std::string* error, std::string text) {
    if (error != nullptr) {
        *error = std::move(text);
    }
}

// After both the checkpoint and what this process handed out: the file may lag behind a
// broadcast that is still finishing.
std::int64_t first_sequence_for(const PluginConfig& config, const std::string& state_path) {
    std::int64_t first = 1;
    const auto checkpoint = load_sequence_checkpoint(state_path, nullptr);
    if (checkpoint && !checkpoint->stream_id.empty() && !checkpoint->agent_id.empty() &&
        checkpoint->stream_id == config.stream_id && checkpoint->agent_id == config.agent_id) {
        first = checkpoint->last_sequence + 1;
    }
    return std::max(
        first,
        SequenceLedger::process().highest({state_path, config.stream_id, config.agent_id}) + 1);
}

// Uploads through `client`, each only once a checkpoint covering its sequence is on disk.
UploadTransport checkpointed_transport(std::shared_ptr<RyvoApiClient> client,
                                       std::shared_ptr<CheckpointWriter> writer) {
    UploadTransport upload = make_api_upload_transport(std::move(client));
    if (!upload) {
        return upload;
    }
    return [upload = std::move(upload), writer = std::move(writer)](const PluginConfig& config,
                                                                    const SegmentData& segment) {
        writer->wait_written(segment.sequence);
        return upload(config, segment);
    };
}

double cache_depth_minutes(std::int32_t segment_duration_ms, std::uint64_t segment_count) {
    if (segment_duration_ms < 1) {
        return 0.0;
    }
    return static_cast<double>(segment_duration_ms) * static_cast<double>(segment_count) / 1000.0 /
           60.0;
}

}  // namespace

RyvoRuntime::RyvoRuntime(std::string config_path, std::string state_path,
                         ClientFactory client_factory)
    : RyvoRuntime([path = std::move(config_path)](
                      std::string* error) { return load_config_file(path, error); },
                  std::move(state_path), std::move(client_factory)) {}

RyvoRuntime::RyvoRuntime(ConfigLoader config_loader, std::string state_path,
                         ClientFactory client_factory)
    : config_loader_(std::move(config_loader)),
      state_path_(std::move(state_path)),
      client_factory_(std::move(client_factory)) {}

RyvoRuntime::~RyvoRuntime() {
    stop_now();
}

bool RyvoRuntime::load(std::string* error) {
    std::lock_guard lock(mutex_);
    return load_locked(error);
}

bool RyvoRuntime::load_locked(std::string* error) {
    config_ = config_loader_(error);
    if (!config_) {
        return false;
    }
    client_ = client_factory_ ? client_factory_(*config_) : std::make_shared<CurlRyvoApi>(*config_);
    return true;
}

bool RyvoRuntime::start(std::string* error) {
    // One critical section from the check to the new session, so that two starts racing each
    // other cannot both build a session (and the loser destroy the winner's under the mutex).
    std::lock_guard lock(mutex_);
    if (session_) {
        return true;
    }
    if (!load_locked(error)) {
        return false;
    }
    const PluginConfig& config = *config_;
    auto writer =
        std::make_shared<CheckpointWriter>(state_path_, config.stream_id, config.agent_id);
    auto note_checkpoint = [writer](std::int64_t sequence) noexcept { writer->note(sequence); };
    auto claim = [key = SequenceLedger::Key{state_path_, config.stream_id, config.agent_id}](
                     std::int64_t proposed) {
        return SequenceLedger::process().claim(key, proposed);
    };
    session_ = std::make_unique<RyvoSession>(
        config, checkpointed_transport(client_, writer), first_sequence_for(config, state_path_),
        std::move(note_checkpoint), make_capture_session_id(), nullptr, std::move(claim));
    ++session_generation_;
    session_->start();
    return true;
}

std::unique_ptr<RyvoSession> RyvoRuntime::take_session() {
    std::lock_guard lock(mutex_);
    return std::move(session_);
}

StopResidue RyvoRuntime::stop_now() {
    // Stopped outside the mutex, so that feeding, snapshots and polls are not held up by it;
    // they simply find no session.
    const std::unique_ptr<RyvoSession> session = take_session();
    if (!session) {
        return StopResidue{};
    }
    session->stop();
    return StopResidue{session->status_snapshot(), session->cache_snapshot(),
                       session->delivery_figures()};
}

void RyvoRuntime::finish() {
    std::lock_guard lock(mutex_);
    if (session_) {
        session_->finish();
    }
}

void RyvoRuntime::requeue_unconfirmed() {
    std::lock_guard lock(mutex_);
    if (session_) {
        session_->requeue_unconfirmed();
    }
}

ApiStatus RyvoRuntime::post_end(std::string* error) {
    std::shared_ptr<RyvoApiClient> client;
    {
        std::lock_guard lock(mutex_);
        client = client_;
    }
    if (!client) {
        set_error(error, "Ryvo API client was unavailable while ending the stream.");
        return ApiStatus::failed;
    }
    return client->post_end(error);
}

void RyvoRuntime::cancel() {
    std::shared_ptr<RyvoApiClient> client;
    {
        std::lock_guard lock(mutex_);
        client = client_;
    }
    if (client) {
        client->cancel();
    }
}

void RyvoRuntime::push_encoded_bytes(std::span<const std::uint8_t> bytes, std::int32_t duration_ms,
                                     bool keyframe) {
    std::lock_guard lock(mutex_);
    if (session_) {
        session_->push_encoded_bytes(bytes, duration_ms, keyframe);
    }
}

void RyvoRuntime::report_error(std::string message) {
    std::lock_guard lock(mutex_);
    if (session_) {
        session_->report_error(std::move(message));
    }
}

void RyvoRuntime::report_auth_failed(bool failed) {
    std::lock_guard lock(mutex_);
    if (session_) {
        session_->report_auth_failed(failed);
    }
}

ApiStatus RyvoRuntime::poll_backfill(std::string* error, std::vector<std::int64_t>* missing) {
    std::shared_ptr<RyvoApiClient> client;
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(mutex_);
        if (!session_ || !client_) {
            set_error(error, "runtime not started");
            return ApiStatus::failed;
        }
        client = client_;
        generation = session_generation_;
    }
    ApiStatus status = ApiStatus::ok;
    const std::optional<BackfillResponse> response = client->fetch_backfill(error, &status);
    if (!response) {
        return status;
    }
    if (missing != nullptr) {
        *missing = response->missing_sequences;
    }
    std::lock_guard lock(mutex_);
    // A session started after the request went out has its own numbering; the answer is not
    // about it.
    if (session_ && session_generation_ == generation) {
        for (const std::int64_t sequence : response->missing_sequences) {
            session_->requeue_sequence(sequence);
        }
    }
    return status;
}

ApiStatus RyvoRuntime::send_heartbeat(std::string* error) {
    std::shared_ptr<RyvoApiClient> client;
    HeartbeatPayload payload;
    {
        std::lock_guard lock(mutex_);
        if (!session_ || !client_) {
            set_error(error, "runtime not started");
            return ApiStatus::failed;
        }
        client = client_;
        const StatusSnapshot status = session_->status_snapshot();
        const RamCacheSnapshot cache = session_->cache_snapshot();
        payload.current_sequence = status.current_sequence;
        payload.cache_depth_minutes =
            cache_depth_minutes(session_->config().segment_duration_ms, cache.segment_count);
        payload.upload_queue_depth = status.upload_queue_depth;
        payload.agent_version = kPluginVersion;
    }
    return client->post_heartbeat(payload, error);
}

bool RyvoRuntime::loaded() const {
    std::lock_guard lock(mutex_);
    return config_.has_value();
}

std::optional<PluginConfig> RyvoRuntime::config() const {
    std::lock_guard lock(mutex_);
    return config_;
}

RamCacheSnapshot RyvoRuntime::cache_snapshot() const {
    std::lock_guard lock(mutex_);
    return session_ ? session_->cache_snapshot() : RamCacheSnapshot{};
}

StatusSnapshot RyvoRuntime::status_snapshot() const {
    std::lock_guard lock(mutex_);
    return session_ ? session_->status_snapshot() : StatusSnapshot{};
}

SessionDeliveryFigures RyvoRuntime::delivery_figures() const {
    std::lock_guard lock(mutex_);
    return session_ ? session_->delivery_figures() : SessionDeliveryFigures{};
}

bool RyvoRuntime::uploads_idle() const {
    std::lock_guard lock(mutex_);
    return !session_ || session_->uploads_idle();
}

std::string RyvoRuntime::uploads_halt_reason() const {
    std::lock_guard lock(mutex_);
    return session_ ? session_->uploads_halt_reason() : std::string();
}

}  // namespace ryvoobs
