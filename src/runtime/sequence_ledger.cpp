#include "runtime/sequence_ledger.h"

#include <algorithm>

namespace ryvoobs {

SequenceLedger& SequenceLedger::process() {
    static SequenceLedger ledger;
    return ledger;
}

std::int64_t SequenceLedger::highest(const Key& key) const {
    std::lock_guard lock(mutex_);
    const auto found = highest_.find(key);
    return found == highest_.end() ? 0 : found->second;
}

std::int64_t SequenceLedger::claim(const Key& key, std::int64_t proposed) {
    std::lock_guard lock(mutex_);
    std::int64_t& highest = highest_[key];
    const std::int64_t sequence = std::max(proposed, highest + 1);
    highest = sequence;
    return sequence;
}

}  // namespace ryvoobs
