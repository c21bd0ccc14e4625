#include "config/config_file.h"
#include "fuzz_support.h"

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
        fuzz::require(again && *again == *config);
    } else {
        fuzz::require(error == "failed to encode config JSON");
    }
    return 0;
}
