// Frame acquisition with the gain-control thread closed over the simulated
// CAN bridge's ND wheel and the simulated library's optics: switches suspend
// and restart the thread, and the loop settles from saturated and from dark
// frames within the writes the documented optics call for.
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "acq/acq_testing.h"
#include "can/can_agc.h"
#include "can/can_api.h"
#include "can/can_bridge.h"
#include "can/can_events.h"
#include "can/can_lib.h"
#include "can/can_sdo.h"
#include "common/status.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "sim/bench/simbench.h"
#include "sim/can/testing/simcan_session.h"

namespace {

constexpr int kTarget = 191;  // 8-bit frames: the brightest at 3/4 of full scale

bool eventually(const std::function<bool()>& condition, int seconds = 60) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A QEL instrument on the simulated bridge with its focus and ND wheel node,
// the LED at full level, live acquisition running.
class AcqAgcTest : public AcqTest {
  protected:
    void SetUp() override {
        scale_ = plat_clock_scale();
        if (std::getenv("SURF_CLOCK_SCALE") == nullptr) plat_set_clock_scale(10);
        AcqTest::SetUp();
        // Small frames: a stop is answered within one frame read.
        std::string ini = simacq_default_ini();
        ini.replace(ini.find("MAX USER WIDTH=640"), 18, "MAX USER WIDTH=160");
        ini.replace(ini.find("MAX USER HEIGHT=480"), 19, "MAX USER HEIGHT=120");
        ini.replace(ini.find("MAX USER WIDTH=1024"), 19, "MAX USER WIDTH=128");
        ini.replace(ini.find("MAX USER HEIGHT=1024"), 20, "MAX USER HEIGHT=128");
        ASSERT_TRUE(simacq_write_ini(root.path(), ini));
        can = simcan_session();
        ASSERT_NE(can, nullptr);
        simcan_session_reset();
        const uint8_t ip[4] = {192, 168, 10, 20};
        uint32_t ipv4 = 0;
        std::memcpy(&ipv4, ip, 4);
        ASSERT_EQ(can_api()->CAN_Connect(ipv4), CAN_OK);
        info->instrBdType = SB_BOARD_CAN;
        can_bridge_info_create(info);
        info->canInfo->firmwareMajor = 1;
        info->canInfo->firmwareMinor = 12;
        info->systemType = 23;
        info->can.focusNdwRequired = 1;
        info->can.focusNdwPresent = 1;
        info->llcTarget = kTarget;
        ASSERT_TRUE(can->simcan_model_add(64, 0x1234, 0x00010000));
        simbench_set_light_level(65535);
        ASSERT_EQ(can_agc_init(), NO_ERROR);
        // The wheel's stop reaches the thread's wait as on the instrument.
        stopped = plat_event_create(false, false, "CAN_NDWHEEL_STOPPED");
        ASSERT_NE(stopped, nullptr);
        ASSERT_EQ(can_register_events(info, true), NO_ERROR);
    }
    void TearDown() override {
        AcqTest::TearDown();  // stops the thread
        can_agc_stop_thread();
        can_register_events(info, false);
        plat_handle_close(stopped);
        can_agc_init();
        simcan_session_reset();
        simbench_set_light_level(0);
        plat_set_clock_scale(scale_);
    }
    // The wheel at rest at `command` (its inverse on the wire).
    void set_wheel(uint16_t command) {
        ASSERT_TRUE(can->simcan_model_param(64, "speed", 1000000000));
        ASSERT_EQ(can_write_dmd_motor2_llcLevel(info, 64, command, true), NO_ERROR);
        plat_sleep_ms(1);
        ASSERT_EQ(can_write_dmd_motor2_llcLevel(info, 64, command, true), NO_ERROR);
        ASSERT_TRUE(can->simcan_model_param(64, "speed", 20000));
        can->simcan_transcript_clear();
    }
    int wheel_writes() {
        int n = 0;
        for (const SimCanRecord& r : simcan_sdo_transcript())
            n += r.node == 64 && r.index == 0x2028 && r.direction == SIMCAN_DIR_WRITE;
        return n;
    }
    int reads() { return sim->simacq_call_count("ReadDevice"); }

    SimCan* can = nullptr;
    PlatWaitable* stopped = nullptr;
    double scale_ = 1;
};

TEST_F(AcqAgcTest, SwitchesSuspendGainControlAndLiveRestartsIt) {
    info->cameraType = 3;  // live on the second mode, measurement on the first
    ASSERT_EQ(start(), NO_ERROR);
    set_wheel(20000);
    ASSERT_EQ(pl_switch_live(info, 1), NO_ERROR);
    ASSERT_EQ(can_agc_start(info, 7), NO_ERROR);
    ASSERT_TRUE(can_agc_thread_running());
    int before = reads();
    ASSERT_TRUE(eventually([&] { return reads() > before + 2; }));

    // A read held when the switch comes: the suspension waits for it (the
    // read times out), before the library is stopped.
    sim->simacq_hold_reads(true);
    ASSERT_TRUE(sim->simacq_wait_reads_waiting(1, 60000));
    ASSERT_EQ(pl_switch_live(info, 0), NO_ERROR);
    sim->simacq_hold_reads(false);
    EXPECT_FALSE(can_agc_thread_running());
    EXPECT_EQ(can_agc_active_mode(), 0u);
    EXPECT_EQ(can_agc_requested_mode(), 7u);
    EXPECT_EQ(can_agc_suspension_count(), 0);
    int idle = reads();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(reads(), idle);  // nobody reads in measurement

    // Back to live, another mode: the thread serves the remembered mode again.
    ASSERT_EQ(pl_switch_live(info, 1), NO_ERROR);
    EXPECT_TRUE(can_agc_thread_running());
    EXPECT_EQ(can_agc_active_mode(), 7u);
    EXPECT_TRUE(eventually([&] { return reads() > idle + 2; }));

    // Device set-up outside a switch stops it for good.
    ASSERT_EQ(
        pl_device_setup(info, info->acq.primaryInputDevice, info->acq.primaryModeIds[0], true),
        NO_ERROR);
    EXPECT_FALSE(can_agc_thread_running());
    EXPECT_EQ(can_agc_requested_mode(), 0u);
}

// The writes the loop needs on the documented optics, without noise: the
// brightest pixels of an 8-bit frame sit at 255 x LED x 10^(-3c/65535) for
// command c, and the loop's PD step is that of the gain-control thread.
int model_writes(uint16_t start) {
    double command = start, previous = 0;
    int last = start, iteration = 0, writes = 0, quiet = 0;
    for (int frame = 0; frame < 1000; ++frame) {
        double level = std::round(255 * std::pow(10.0, -3.0 * last / 65535));
        double e = (level + 1) / 256 - (kTarget + 1) / 256.0;
        if (std::fabs(e) <= 0.03125) {
            iteration = 0;
            if (++quiet == 5) return writes;
            continue;
        }
        quiet = 0;
        ++iteration;
        double p = 3000 * e, d = 3000 * (e - previous);
        previous = e;
        if (iteration % 10 == 0) {
            if (p > 1000) p -= 1000;
            if (d > 1000) d -= 1000;
        }
        command = std::clamp(command + p + d, 0.0, 65535.0);
        if (static_cast<int>(command) == last) {
            iteration = 0;
            continue;
        }
        last = static_cast<int>(command);
        ++writes;
    }
    return 1000;
}

class AcqAgcLoopTest : public AcqAgcTest, public ::testing::WithParamInterface<int> {};

TEST_P(AcqAgcLoopTest, SettlesWithinTheBudgetAndThenWritesNothing) {
    const uint16_t start_command = static_cast<uint16_t>(GetParam());
    const int budget = std::min(50, model_writes(start_command) + 5);
    ASSERT_LT(model_writes(start_command), 45);  // the optics as documented
    ASSERT_EQ(start(), NO_ERROR);                // camera 0: live on the 8-bit mode
    set_wheel(start_command);
    ASSERT_EQ(pl_switch_live(info, 1), NO_ERROR);
    ASSERT_EQ(can_agc_start(info, 1), NO_ERROR);

    // Settled: 2 skipped frames after the last write, then 5 that ask for
    // nothing (and a few more for the observation's lag).
    int writes = 0, readsAtChange = reads();
    bool settled = eventually([&] {
        int now = wheel_writes();
        if (now != writes) {
            writes = now;
            readsAtChange = reads();
        }
        return writes > 0 && reads() - readsAtChange >= 2 + 5 + 3;
    });
    ASSERT_TRUE(settled) << writes << " writes";
    EXPECT_TRUE(can_agc_thread_running());
    EXPECT_LE(writes, budget);
    SimAcqFrameInfo frame{};
    ASSERT_TRUE(sim->simacq_last_frame(&frame));
    double transmission = std::pow(10.0, -3.0 * (65535 - frame.wheelLevel) / 65535);
    double level = std::round(255 * transmission);
    // The noise moves the brightest pixels by one count at most.
    EXPECT_LE(std::fabs((level + 1) / 256 - (kTarget + 1) / 256.0), 0.03125 + 1.0 / 256);
}

// Command 0: full transmission, saturated frames; 60000: dark frames.
INSTANTIATE_TEST_SUITE_P(FromSaturatedAndDark, AcqAgcLoopTest, ::testing::Values(0, 60000));

}  // namespace
