#include "runtime/checkpoint_writer.h"

#include <utility>

namespace ryvoobs {

CheckpointWriter::CheckpointWriter(std::string path, std::string stream_id, std::string agent_id)
    : path_(std::move(path)),
      stream_id_(std::move(stream_id)),
      agent_id_(std::move(agent_id)),
      thread_([this](std::stop_token stop) { run(std::move(stop)); }) {}

CheckpointWriter::~CheckpointWriter() {
    thread_.request_stop();
    changed_.notify_all();
}

void CheckpointWriter::note(std::int64_t sequence) {
    {
        std::lock_guard lock(mutex_);
        if (sequence <= noted_) {
            return;
        }
        noted_ = sequence;
    }
    changed_.notify_all();
}

void CheckpointWriter::wait_written(std::int64_t sequence) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return written_ >= sequence || noted_ < sequence; });
}

void CheckpointWriter::run(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, stop, [this] { return noted_ > written_; });
        if (noted_ <= written_) {
            return;  // stop requested with nothing left to write
        }
        const std::int64_t sequence = noted_;
        lock.unlock();
        // Best effort: the next sequence writes the file again.
        try {
            save_sequence_checkpoint(
                path_, SequenceCheckpointState{stream_id_, agent_id_, sequence}, nullptr);
        } catch (...) {
        }
        lock.lock();
        written_ = sequence;
        changed_.notify_all();
    }
}

}  // namespace ryvoobs
