#include "platform/batch_scheduling.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <thread>

namespace ryvoobs {
namespace {

// The worker alone changes class: the encoder threads of the same process must keep theirs.
TEST(BatchScheduling, ChangesTheCallingThreadOnly) {
    const int before = sched_getscheduler(0);
    int worker_policy = -1;
    std::thread worker([&worker_policy] {
        ASSERT_TRUE(use_batch_scheduling_for_this_thread());
        worker_policy = sched_getscheduler(0);
    });
    worker.join();
    EXPECT_EQ(worker_policy, SCHED_BATCH);
    EXPECT_EQ(sched_getscheduler(0), before);
}

}  // namespace
}  // namespace ryvoobs
