#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "config/config_file.h"
#include "fuzz_input_file.h"

using namespace ryvoobs;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz::InputFile input("config");
    static fuzz::InputFile saved("config-saved");
    std::string error;
    const auto config = read_config_file(input.write(data, size), &error);
    if (!config) {
        return 0;
    }
    config->validate();
    // Whatever was read must survive a save and a second read unchanged. A save may only fail
    // for text that is not valid UTF-8.
    if (save_config_file(saved.path, *config, &error)) {
        const auto again = read_config_file(saved.path, &error);
        if (!again || !(*again == *config)) {
            std::abort();
        }
    } else if (error != "failed to encode config JSON") {
        std::abort();
    }
    return 0;
}
