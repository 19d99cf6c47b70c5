// Opening and closing the controller against the simulated motion library:
// failures and their translation, the re-open, the slow open and the idle
// hook, and the hand-over of CAN events between the two libraries.
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "can/can_bridge.h"
#include "can/can_events.h"
#include "can/can_lib.h"
#include "common/abort.h"
#include "common/status.h"
#include "common/testing/capture_sink.h"
#include "motion/mwi_testing.h"
#include "platform/clock.h"
#include "sim/can/simcan_fixture.h"

namespace {

std::atomic<int> g_idle_calls{0};
void count_idle() {
    ++g_idle_calls;
}

class McOpenTest : public MotionTest {};

TEST_F(McOpenTest, OpenPassesItsArgumentsAndCloseEndsEverything) {
    CapturedMessages messages;
    ASSERT_EQ(open("Stage", 1, 7), 0);
    EXPECT_NE(info->motion.handle, -1);
    EXPECT_EQ(info->motion.configName, "Stage");
    EXPECT_EQ(messages.text(), "  Effective motion config file: Stage.cfg\n");
    char name[32];
    uint8_t mac[6];
    uint8_t flag = 0;
    int32_t value = 0;
    ASSERT_TRUE(sim->simmotion_last_open(name, sizeof name, mac, &flag, &value));
    EXPECT_STREQ(name, "Stage");
    EXPECT_EQ(mac[0], 0xFF);  // no bridge: not configured
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(value, 7);
    EXPECT_EQ(sim->simmotion_open_count(), 1);

    EXPECT_EQ(mc_close_comm_tsnx(info.get(), "Other"), ERR_MC_INVALID_CONFIG);
    EXPECT_EQ(mc_close_comm_tsnx(info.get(), "Stage"), 0);
    EXPECT_EQ(info->motion.handle, -1);
    EXPECT_FALSE(sim->simmotion_initialised());
    EXPECT_EQ(sim->simmotion_calls("CloseMotionWrapperInterface_MWI"), 1);
    // Closed already: nothing is called.
    EXPECT_EQ(mc_close_comm_tsnx(info.get(), nullptr), 0);
    EXPECT_EQ(sim->simmotion_calls("CloseComm_MWI"), 1);
}

TEST_F(McOpenTest, OnlyControllerTypeThreeIsOpenedOrClosed) {
    for (int32_t type : {0, 2, 4}) {
        info->motion.controllerType = type;
        EXPECT_EQ(open(), ERR_MC_WRONG_MC);
        EXPECT_EQ(mc_close_comm_tsnx(info.get(), nullptr), ERR_MC_WRONG_MC);
    }
    EXPECT_EQ(sim->simmotion_calls("InitMotionWrapperInterface_MWI"), 0);
}

TEST_F(McOpenTest, FailuresAreTranslatedAndPrinted) {
    sim->simmotion_set_error_text("kill switch pressed");
    const struct {
        int32_t code;
        int translated;  // printed as err=
        int returned;
    } cases[] = {
        {21, ERR_MC_KILL_SWITCH, ERR_MC_KILL_SWITCH_DURING_INIT},
        {277, ERR_MC_CONFIRM_INIT, ERR_MC_CONFIRM_INIT},
        {278, ERR_MC_CONFIG_MISSING, ERR_MC_CONFIG_MISSING},
        {279, ERR_MC_CONFIG_CORRUPT, ERR_MC_CONFIG_CORRUPT},
        {256, ERR_MC_COMM, ERR_MC_COMM},
        {276, ERR_CAN_NODE_NOT_AVAIL, ERR_MC_COMM},
        {12, ERR_MC_AXIS_BUSY, ERR_MC_COMM},
        {280, ERR_MC_MISC, ERR_MC_COMM},
    };
    for (const auto& c : cases) {
        sim->simmotion_set_result("OpenComm_MWI", c.code, 1);
        CapturedMessages messages;
        EXPECT_EQ(open("Stage"), c.returned) << c.code;
        EXPECT_EQ(messages.text(),
                  "mc_open_comm_tsnx() error opening Stage err=" + std::to_string(c.translated) +
                      "\nmc_open_comm_tsnx() error message\nkill switch pressed\n")
            << c.code;
        EXPECT_EQ(info->motion.handle, -1);
    }
    EXPECT_EQ(ERR_MC_KILL_SWITCH, 273);
}

TEST_F(McOpenTest, NullLibraryTextsPrintAsEmpty) {
    sim->simmotion_set_error_text(nullptr);
    sim->simmotion_set_config_file(nullptr);
    sim->simmotion_set_result("OpenComm_MWI", 256, 1);
    CapturedMessages messages;
    EXPECT_EQ(open("Stage"), ERR_MC_COMM);
    EXPECT_EQ(messages.text(),
              "mc_open_comm_tsnx() error opening Stage err=264\n"
              "mc_open_comm_tsnx() error message\n\n");
    messages.clear();
    ASSERT_EQ(open("Stage"), 0);
    EXPECT_EQ(messages.text(), "  Effective motion config file: \n");
    messages.clear();
    EXPECT_EQ(mc_move_tsnx(&info->motion, 0, 1000), ERR_MC_AXIS_AT_LIMIT);
    EXPECT_EQ(messages.text(), "mc_move_tsnx failed: ERR_MC_AXIS_AT_LIMIT\n\n");
    EXPECT_EQ(messages.text().find("(null)"), std::string::npos);
}

TEST_F(McOpenTest, ReopenClosesTheOldHandleBeforeInitialising) {
    ASSERT_EQ(open("Stage"), 0);
    const int64_t first = info->motion.handle;
    sim->simmotion_transcript_clear();
    ASSERT_EQ(open("Stage2"), 0);
    EXPECT_NE(info->motion.handle, first);
    EXPECT_EQ(info->motion.configName, "Stage2");
    EXPECT_EQ(sim->simmotion_open_count(), 1);
    EXPECT_TRUE(sim->simmotion_initialised());
    int close = transcript_find("CloseMotionWrapperInterface_MWI");
    int init = transcript_find("InitMotionWrapperInterface_MWI");
    ASSERT_GE(close, 0);
    EXPECT_GT(init, close);
    EXPECT_LT(transcript_find("CloseComm_MWI(" + std::to_string(first)), close);
}

TEST_F(McOpenTest, SlowOpenCallsTheIdleHookEachSecond) {
    UIdleHook previous = u_set_idle_hook(count_idle);
    g_idle_calls = 0;
    sim->simmotion_set_open_delay(3500);
    const int64_t start = plat_clock_ms();
    EXPECT_EQ(open("Stage"), 0);
    EXPECT_GE(plat_clock_ms() - start, 3500);
    // Waits begin at 0, 1000, 2000 and 3000 ms at least, each after a call.
    EXPECT_GE(g_idle_calls.load(), 4);
    mc_close_comm_tsnx(info.get(), nullptr);

    g_idle_calls = 0;
    sim->simmotion_set_open_delay(0);
    EXPECT_EQ(open("Stage"), 0);
    EXPECT_GE(g_idle_calls.load(), 1);  // before the first wait, however fast
    u_set_idle_hook(previous);
}

TEST_F(McOpenTest, CloseFailureKeepsTheHandle) {
    ASSERT_EQ(open("Stage"), 0);
    const int64_t handle = info->motion.handle;
    sim->simmotion_set_result("CloseComm_MWI", 256, 1);
    CapturedMessages messages;
    EXPECT_EQ(mc_close_comm_tsnx(info.get(), nullptr), ERR_MC_COMM);
    EXPECT_EQ(info->motion.handle, handle);
    EXPECT_TRUE(sim->simmotion_initialised());
    EXPECT_EQ(mc_close_comm_tsnx(info.get(), nullptr), 0);
    EXPECT_EQ(info->motion.handle, -1);
}

// ---- CAN hand-over -----------------------------------------------------------

class McCanTest : public SimCanTest {
  protected:
    void SetUp() override {
        SimCanTest::SetUp();
        msim = simmotion_session();
        ASSERT_NE(msim, nullptr);
        msim->simmotion_reset();
        simbench_reset();
        ASSERT_NE(can_api(), nullptr);
        connect();
        info = std::make_unique<SystemInfo>();
        info->instrBdType = SB_BOARD_CAN;
        info->systemType = 23;
        info->motion.controllerType = MC_TYPE_MWI;
        CanBridgeInfo* bridge = can_bridge_info_create(info.get());
        const uint8_t mac[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
        std::memcpy(bridge->mac, mac, 6);
        ASSERT_EQ(can_register_events(info.get(), true), 0);
        drain();
    }
    void TearDown() override {
        if (info->motion.handle != -1) mc_close_comm_tsnx(info.get(), nullptr);
        can_register_events(info.get(), false);
        drain();
        msim->simmotion_reset();
        simbench_reset();
        SimCanTest::TearDown();
    }

    int open_stage() {
        McOpenRequest request{info.get(), "Stage", 0, 0, -1, {false}};
        return mc_open_comm_tsnx(&request);
    }

    void drain() {
        can_poll_events(info.get());
        CanAppEvent event;
        while (can_get_app_event(&event)) {
        }
        CanAppEmcy emcy;
        while (can_get_app_emcy(&emcy)) {
        }
    }

    // A wand press (node 72's third PDO), and the events it produced once
    // it arrived (library clock, generous).
    std::vector<uint32_t> press_wand() {
        const uint8_t data[8] = {1, 0, 0, 0, 0, 0, 0, 0};
        sim->simcan_emit_pdo(0x1C8, data, 8);
        std::vector<uint32_t> kinds;
        int64_t end = plat_clock_ms() + 20000;
        while (kinds.empty() && plat_clock_ms() < end) {
            can_poll_events(info.get());
            CanAppEvent event;
            while (can_get_app_event(&event)) kinds.push_back(event.kind);
            if (kinds.empty()) plat_sleep_ms(5);
        }
        return kinds;
    }

    int deliveries(const char* name) {
        int count = 0;
        for (const SimCanRecord& r : simcan_transcript())
            if (r.kind == SIMCAN_REC_DELIVERY && std::strcmp(r.name, name) == 0) ++count;
        return count;
    }
    int calls(const char* name) {
        int count = 0;
        for (const SimCanRecord& r : simcan_transcript())
            if (r.kind == SIMCAN_REC_CALL && std::strcmp(r.name, name) == 0) ++count;
        return count;
    }

    SimMotion* msim = nullptr;
    std::unique_ptr<SystemInfo> info;
};

TEST_F(McCanTest, EventsTakeTheMotionPathWhileOpenAndComeBackAfterClose) {
    EXPECT_EQ(press_wand(), std::vector<uint32_t>{CAN_EVENT_WAND_1});
    EXPECT_EQ(deliveries("motion pdo"), 0);

    CapturedMessages messages;
    ASSERT_EQ(open_stage(), 0);
    uint8_t mac[6];
    ASSERT_TRUE(msim->simmotion_last_open(nullptr, 0, mac, nullptr, nullptr));
    EXPECT_EQ(std::vector<uint8_t>(mac, mac + 6),
              (std::vector<uint8_t>{0x02, 0x11, 0x22, 0x33, 0x44, 0x55}));
    EXPECT_EQ(simbench_can_receiver(), SIMBENCH_CAN_MOTION);
    EXPECT_EQ(press_wand(), std::vector<uint32_t>{CAN_EVENT_WAND_1});
    EXPECT_EQ(deliveries("motion pdo"), 1);
    bool delivered = false;
    for (const std::string& line : simmotion_transcript())
        delivered = delivered || line == "pdo 0x1C8 -> program";
    EXPECT_TRUE(delivered);

    // An emergency in the controller's shape reaches the same record, but for
    // the two bytes that shape cannot carry.
    const uint32_t block[3] = {0x11223344, 0x55667788, 0x0000AABB};
    ASSERT_EQ(sim->simcan_emit_emcy(0x81, 0x1000, block, 0x7E), 1);
    can_poll_events(info.get());
    CanAppEmcy emcy{};
    ASSERT_TRUE(can_get_app_emcy(&emcy));
    EXPECT_EQ(emcy.emcy.value1, 0x81u);
    EXPECT_EQ(emcy.emcy.value2, 0x1000u);
    EXPECT_EQ(emcy.emcy.block[0], block[0]);
    EXPECT_EQ(emcy.emcy.block[1], block[1]);
    EXPECT_EQ(emcy.emcy.block[2], block[2]);
    EXPECT_EQ(emcy.emcy.byte, 0x7Eu);

    messages.clear();
    ASSERT_EQ(mc_close_comm_tsnx(info.get(), nullptr), 0);
    EXPECT_EQ(messages.text(), "MP registered for processing of CAN events\n");
    EXPECT_EQ(simbench_can_receiver(), SIMBENCH_CAN_BRIDGE);
    EXPECT_EQ(press_wand(), std::vector<uint32_t>{CAN_EVENT_WAND_1});
    EXPECT_EQ(deliveries("motion pdo"), 1);
}

TEST_F(McCanTest, FailedOpenGivesTheEventsBackToTheBridge) {
    msim->simmotion_set_result("OpenComm_MWI", 256, 1);
    const int registrations = calls("CAN_RegisterEvents");
    CapturedMessages messages;
    EXPECT_EQ(open_stage(), ERR_MC_COMM);
    EXPECT_NE(messages.text().find("MP registered for processing of CAN events\n"),
              std::string::npos);
    EXPECT_EQ(calls("CAN_RegisterEvents"), registrations + 1);
    EXPECT_EQ(press_wand(), std::vector<uint32_t>{CAN_EVENT_WAND_1});
}

TEST_F(McCanTest, FailedReregistrationIsReported) {
    msim->simmotion_set_result("OpenComm_MWI", 256, 1);
    sim->simcan_drop_connection();
    CapturedMessages messages;
    EXPECT_EQ(open_stage(), ERR_MC_COMM);
    EXPECT_NE(messages.text().find("Error registering for MP processing of CAN events\n"),
              std::string::npos);
}

TEST_F(McCanTest, RefusedRegistrationLeavesTheBridgeDelivering) {
    msim->simmotion_set_result("RegisterCanEvents_MWI", 0, 1);
    msim->simmotion_set_error_text("no CAN channel");
    const int registrations = calls("CAN_RegisterEvents");
    CapturedMessages messages;
    ASSERT_EQ(open_stage(), 0);
    EXPECT_NE(messages.text().find("mc_open_comm_tsnx() failed to register for PDO and EMCY "
                                   "events\nno CAN channel\nMP registered for processing of CAN "
                                   "events\n"),
              std::string::npos);
    EXPECT_EQ(calls("CAN_RegisterEvents"), registrations + 1);
    EXPECT_EQ(simbench_can_receiver(), SIMBENCH_CAN_BRIDGE);
    EXPECT_EQ(press_wand(), std::vector<uint32_t>{CAN_EVENT_WAND_1});
}

TEST_F(McCanTest, CloseFailingAfterUnregisteringGivesTheEventsBack) {
    ASSERT_EQ(open_stage(), 0);
    msim->simmotion_set_result("CloseComm_MWI", 256, 1);
    const int registrations = calls("CAN_RegisterEvents");
    CapturedMessages messages;
    EXPECT_EQ(mc_close_comm_tsnx(info.get(), nullptr), ERR_MC_COMM);
    EXPECT_NE(info->motion.handle, -1);
    EXPECT_NE(messages.text().find("MP registered for processing of CAN events\n"),
              std::string::npos);
    EXPECT_EQ(calls("CAN_RegisterEvents"), registrations + 1);
    EXPECT_EQ(simbench_can_receiver(), SIMBENCH_CAN_BRIDGE);
    EXPECT_EQ(press_wand(), std::vector<uint32_t>{CAN_EVENT_WAND_1});
}

TEST_F(McCanTest, UnregisterTextIsPrintedOnlyWhenNotEmpty) {
    ASSERT_EQ(open_stage(), 0);
    msim->simmotion_set_error_text("still busy");
    CapturedMessages messages;
    ASSERT_EQ(mc_close_comm_tsnx(info.get(), nullptr), 0);
    EXPECT_EQ(messages.text(),
              "mc_close_comm_tsnx() error unregistering PDO and EMCY events\nstill busy\n"
              "MP registered for processing of CAN events\n");
    ASSERT_EQ(open_stage(), 0);
    msim->simmotion_set_error_text(nullptr);
    messages.clear();
    ASSERT_EQ(mc_close_comm_tsnx(info.get(), nullptr), 0);
    EXPECT_EQ(messages.text(), "MP registered for processing of CAN events\n");
}

}  // namespace
