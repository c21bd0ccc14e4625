#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace ryvoobs {

// The highest sequence this process has handed out per stream and agent. The checkpoint file
// may lag behind the newest segment; a broadcast that starts while the previous one still
// finishes numbers on from here, so no number is ever used twice. Thread-safe.
class SequenceLedger {
  public:
    // The one ledger of the process.
    static SequenceLedger& process();

    // The highest sequence handed out for the pair, 0 when none.
    std::int64_t highest(const std::string& stream_id, const std::string& agent_id) const;
    // `proposed`, or the next number above the highest handed out when that is higher; recorded
    // as handed out.
    std::int64_t claim(const std::string& stream_id, const std::string& agent_id,
                       std::int64_t proposed);

  private:
    mutable std::mutex mutex_;
    std::map<std::pair<std::string, std::string>, std::int64_t> highest_;
};

}  // namespace ryvoobs
