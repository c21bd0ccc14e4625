#pragma once

#include <string>

namespace ryvoobs {

// The whole file as UTF-8 text; empty when it is missing, unreadable or not valid UTF-8.
std::string read_text_file(const std::string& path);

}  // namespace ryvoobs
