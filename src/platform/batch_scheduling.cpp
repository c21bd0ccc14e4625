#include "platform/batch_scheduling.h"

#include <sched.h>

namespace ryvoobs {

bool use_batch_scheduling_for_this_thread() {
    const sched_param param{};
    // On Linux, pid 0 names the calling thread, not the whole process.
    return sched_setscheduler(0, SCHED_BATCH, &param) == 0;
}

}  // namespace ryvoobs
