#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace ryvoobs {

// The highest sequence this process has handed out per checkpoint file, stream and agent. The
// checkpoint file may lag behind the newest segment; a broadcast that starts while the previous
// one still finishes numbers on from here, so no number is ever used twice. Thread-safe.
class SequenceLedger {
  public:
    // The one ledger of the process.
    static SequenceLedger& process();

    // Which numbering a sequence belongs to: an install (its checkpoint file), a stream, an agent.
    struct Key {
        std::string state_path;
        std::string stream_id;
        std::string agent_id;
        auto operator<=>(const Key&) const = default;
    };

    // The highest sequence handed out under `key`, 0 when none.
    std::int64_t highest(const Key& key) const;
    // `proposed`, or the next number above the highest handed out when that is higher; recorded
    // as handed out.
    std::int64_t claim(const Key& key, std::int64_t proposed);

  private:
    mutable std::mutex mutex_;
    std::map<Key, std::int64_t> highest_;
};

}  // namespace ryvoobs
