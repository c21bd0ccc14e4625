#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "runtime/sequence_checkpoint.h"

namespace ryvoobs {

// Writes the sequence checkpoint on a thread of its own, so that its two fsyncs never run under
// the locks the feeding and the status snapshots take. Sequences noted while a write runs are
// coalesced into one write of the newest. An upload first waits until a checkpoint covering its
// sequence is on disk: a crash may lose the newest numbers, never reuse one that was sent.
class CheckpointWriter {
  public:
    // The file will name `stream_id` and `agent_id` with each sequence.
    CheckpointWriter(std::string path, std::string stream_id, std::string agent_id);
    // Writes the newest noted sequence if it is not yet written, then ends the thread.
    ~CheckpointWriter();

    CheckpointWriter(const CheckpointWriter&) = delete;
    CheckpointWriter& operator=(const CheckpointWriter&) = delete;

    // Returns at once.
    void note(std::int64_t sequence);
    // Returns once a write of `sequence` or a newer one has been attempted (a failed write is
    // not retried: the next sequence writes again), or at once when `sequence` was never noted.
    void wait_written(std::int64_t sequence);

  private:
    void run(std::stop_token stop);

    const std::string path_;
    const std::string stream_id_;
    const std::string agent_id_;
    std::mutex mutex_;
    std::condition_variable_any changed_;
    std::int64_t noted_ = 0;
    std::int64_t written_ = 0;
    // Declared last: joined before the members it uses are destroyed.
    std::jthread thread_;
};

}  // namespace ryvoobs
