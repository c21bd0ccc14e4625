#pragma once

#include <obs.h>

#include <cstdint>
#include <string>

namespace ryvoobs {

// Starts handing the encoded packets of one of OBS's own outputs to process_encoder_packet with
// `token`. False, with the reason in `error` (may be null), when they cannot be had. Expects the
// attachment lock held.
bool connect_frontend_packets_locked(obs_output_t* output, std::uint64_t token, std::string* error);
// Stops that delivery; afterwards no packet of `output` reaches the tap. Expects the attachment
// lock held; does nothing when nothing is connected.
void disconnect_frontend_packets_locked(obs_output_t* output, std::uint64_t token);

}  // namespace ryvoobs
