#pragma once

#include <string>

namespace ryvoobs {

// The machine's host name as the kernel reports it; empty when it cannot be read.
std::string host_name();

}  // namespace ryvoobs
