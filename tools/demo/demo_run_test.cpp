// The demo's own verdicts: a "table is full" split over messages, a step
// giving another status than it should, cycles stopping at a failure and a
// device left in the table.
#include "tools/demo/demo_run.h"

#include <gtest/gtest.h>

#include <memory>

#include "common/msg.h"
#include "common/status.h"
#include "config/sysinfo.h"
#include "devpoll/devpoll.h"
#include "tools/demo/demo_console.h"

namespace {

TEST(DemoConsole, TableFullIsSeenWhenTheMessageComesInParts) {
    demo_console_install();
    u_msg_sink("%s\n", "the table is not full");
    u_msg_sink("table is\nfull\n");
    EXPECT_FALSE(demo_console_saw_table_full());
    u_msg_sink("%s", "gl_DevInfo table i");
    u_msg_sink("s %s\n", "full");
    EXPECT_TRUE(demo_console_saw_table_full());
    demo_console_remove();
}

TEST(DemoTally, StepsGivingAnotherStatusAreFailures) {
    DemoTally tally;
    EXPECT_TRUE(demo_step(&tally, "power-on", NO_ERROR));
    EXPECT_TRUE(demo_step(&tally, "mismatch", ERR_SB_INST_CONFIG, ERR_SB_INST_CONFIG));
    EXPECT_TRUE(tally.ok());
    EXPECT_FALSE(demo_step(&tally, "mismatch", NO_ERROR, ERR_SB_INST_CONFIG));
    EXPECT_FALSE(demo_step(&tally, "power-on", ERR_INST_POWER));
    ASSERT_EQ(tally.failures.size(), 2u);
    EXPECT_EQ(tally.failures[0], "mismatch gave 0 instead of ERR_SB_INST_CONFIG");
    EXPECT_EQ(tally.failures[1], "power-on gave ERR_INST_POWER instead of 0");
}

TEST(DemoTally, CyclesStopAtTheFirstFailureAndADeviceLeftBehindFails) {
    ASSERT_EQ(dev_init_cntrl(true), 0);
    auto info = std::make_unique<SystemInfo>();
    DemoTally tally;
    int runs = 0;
    demo_cycles("test", 5, info.get(), &tally, [&] {
        if (++runs == 2) tally.fail("second cycle");
        return 0;
    });
    EXPECT_EQ(runs, 2);
    ASSERT_EQ(tally.failures.size(), 1u);

    DemoTally leaky;
    int device = 0;
    demo_cycles("test", 3, info.get(), &leaky, [&] {
        if (!dev_is_registered(&device)) dev_add_device(DEV_TYPE_KEYBOARD, &device, nullptr);
        return dev_device_count();
    });
    ASSERT_EQ(leaky.failures.size(), 1u);
    EXPECT_EQ(leaky.failures[0], "device count 0 -> 1");
    dev_remove_device(&device);
    dev_close_cntrl();
}

TEST(DemoResources, DifferencesAreNamed) {
    EXPECT_EQ(demo_resources_differ({3, 8}, {3, 8}), "");
    EXPECT_EQ(demo_resources_differ({3, 8}, {4, 8}), "threads 3 -> 4");
    EXPECT_EQ(demo_resources_differ({3, 8}, {3, 9}), "open descriptors 8 -> 9");
    EXPECT_EQ(demo_resources_differ({3, 8}, {2, 9}), "threads 3 -> 2, open descriptors 8 -> 9");
}

}  // namespace
