#include "runtime/delivery_progress.h"

namespace ryvoobs {

const char* to_string(DeliveryPhase phase) {
    switch (phase) {
        case DeliveryPhase::live:
            return "live";
        case DeliveryPhase::finishing:
            return "finishing";
        case DeliveryPhase::finished:
            return "finished";
        case DeliveryPhase::gave_up:
            return "gave_up";
    }
    return "live";
}

std::string format_sequences(const std::vector<std::int64_t>& sequences) {
    std::string text;
    for (std::size_t i = 0; i < sequences.size();) {
        std::size_t last = i;
        while (last + 1 < sequences.size() && sequences[last + 1] == sequences[last] + 1) {
            ++last;
        }
        if (!text.empty()) {
            text += ", ";
        }
        text += std::to_string(sequences[i]);
        if (last != i) {
            text += "-" + std::to_string(sequences[last]);
        }
        i = last + 1;
    }
    return text;
}

}  // namespace ryvoobs
