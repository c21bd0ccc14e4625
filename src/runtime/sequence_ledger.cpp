#include "runtime/sequence_ledger.h"

#include <algorithm>

namespace ryvoobs {

SequenceLedger& SequenceLedger::process() {
    static SequenceLedger ledger;
    return ledger;
}

std::int64_t SequenceLedger::highest(const std::string& stream_id,
                                     const std::string& agent_id) const {
    std::lock_guard lock(mutex_);
    const auto found = highest_.find({stream_id, agent_id});
    return found == highest_.end() ? 0 : found->second;
}

std::int64_t SequenceLedger::claim(const std::string& stream_id, const std::string& agent_id,
                                   std::int64_t proposed) {
    std::lock_guard lock(mutex_);
    std::int64_t& highest = highest_[{stream_id, agent_id}];
    const std::int64_t sequence = std::max(proposed, highest + 1);
    highest = sequence;
    return sequence;
}

}  // namespace ryvoobs
