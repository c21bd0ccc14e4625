#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_input_file.h"
#include "runtime/sequence_checkpoint.h"

using namespace ryvoobs;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz::InputFile file("state");
    const std::string& path = file.write(data, size);
    std::string error;
    load_sequence_checkpoint(path, &error);
    load_last_sequence(path, &error);
    return 0;
}
