#pragma once

namespace ryvoobs {

// Puts the calling thread in the batch scheduling class: it keeps its fair share of the CPU, but
// waking it never preempts the thread that woke it. For workers that an OBS encoder thread wakes
// for every packet, so that the encoder thread finishes its callback before the worker runs.
// False when the system refuses; the thread then runs as before.
bool use_batch_scheduling_for_this_thread();

}  // namespace ryvoobs
