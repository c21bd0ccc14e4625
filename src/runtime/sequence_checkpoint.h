#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ryvoobs {

// The newest sequence handed out for a stream from this install, kept on disk so that numbering
// keeps rising across broadcasts and restarts.
struct SequenceCheckpointState {
    std::string stream_id;
    std::string agent_id;
    std::int64_t last_sequence = 0;
};

// <application support root>/Ryvo/obs-plugin-state.json for the current user.
std::string default_state_path();

// `error` may be null; it is only written on failure.
std::optional<SequenceCheckpointState> load_sequence_checkpoint(const std::string& path,
                                                                std::string* error);
bool save_sequence_checkpoint(const std::string& path, const SequenceCheckpointState& state,
                              std::string* error);

}  // namespace ryvoobs
