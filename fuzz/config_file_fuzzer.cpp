#include <cstddef>
#include <cstdint>
#include <string>

#include "config/config_file.h"
#include "fuzz_input_file.h"

using namespace ryvoobs;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz::InputFile file("config");
    const std::string& path = file.write(data, size);
    std::string error;
    if (auto config = read_config_file(path, &error)) {
        config->validate();
    }
    return 0;
}
