#pragma once

#include <obs.h>

#include <cstdint>
#include <string>

#include "capture/packet_tap_obs.h"

namespace ryvoobs {

// Starts handing the encoded packets of one of OBS's own outputs to the tap with `token`. False,
// with the reason in `error` (may be null), when they cannot be had.
bool connect_frontend_packets(PacketTap::Attachment& tap, obs_output_t* output, std::uint64_t token,
                              std::string* error);
// Stops that delivery; afterwards no packet of `output` reaches the tap. Does nothing when
// nothing is connected.
void disconnect_frontend_packets(PacketTap::Attachment& tap, obs_output_t* output,
                                 std::uint64_t token);

}  // namespace ryvoobs
