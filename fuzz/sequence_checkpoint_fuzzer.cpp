#include "fuzz_support.h"
#include "runtime/sequence_checkpoint.h"

using namespace ryvoobs;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz::InputFile input("state");
    static fuzz::InputFile saved("state-saved");
    std::string error;
    const auto state = load_sequence_checkpoint(input.write(data, size), &error);
    if (state && save_sequence_checkpoint(saved.path, *state, &error)) {
        // What was loaded must survive a save and a second load unchanged.
        const auto again = load_sequence_checkpoint(saved.path, &error);
        fuzz::require(again && again->last_sequence == state->last_sequence &&
                      again->stream_id == state->stream_id && again->agent_id == state->agent_id);
    }
    return 0;
}
