// The motion operations on an open controller, and the module's plug-ins:
// the device table's library poll and event read, the Z encoder of the
// position instrument.
#include <atomic>
#include <cmath>
#include <thread>

#include "common/status.h"
#include "common/testing/capture_sink.h"
#include "devpoll/devpoll.h"
#include "motion/mwi_testing.h"
#include "platform/clock.h"
#include "posinstr/posinstr.h"

namespace {

class McOpsTest : public MotionTest {
  protected:
    void SetUp() override {
        MotionTest::SetUp();
        ASSERT_EQ(open("Stage"), 0);
        m = &info->motion;
    }
    const SysMotionState* m = nullptr;
};

TEST_F(McOpsTest, HomeMoveReadAndStopAnAxis) {
    const int16_t x[1] = {0};
    ASSERT_EQ(mc_home_multiple_axes_tsnx(m, x, 1, 10000), 0);
    int32_t state = 0;
    ASSERT_EQ(mc_home_state_tsnx(m, 0, &state), 0);
    EXPECT_EQ(state, MWI_HOME_FOUND);

    ASSERT_EQ(mc_set_velocity_tsnx(m, 0, 2), 0);  // 20 mm: 10 s
    ASSERT_EQ(mc_move_tsnx(m, 0, 20), 0);
    int32_t status = 0;
    ASSERT_EQ(mc_get_status_tsnx(m, 0, &status), 0);
    EXPECT_TRUE(status & MWI_AXIS_MOVING);
    ASSERT_EQ(mc_get_status_tsnx(m, -1, &status), 0);
    EXPECT_TRUE(status & MWI_AXIS_MOVING);
    plat_sleep_ms(1000);
    ASSERT_EQ(mc_stop_tsnx(m, 0), 0);
    ASSERT_EQ(mc_get_status_tsnx(m, 0, &status), 0);
    EXPECT_FALSE(status & MWI_AXIS_MOVING);
    double inches = 0;
    ASSERT_EQ(mc_get_ipos_tsnx(m, x, 1, &inches), 0);
    EXPECT_GT(inches, 0);
    EXPECT_LT(inches, 20 / 25.4);
    EXPECT_DOUBLE_EQ(inches * 25.4, sim->simmotion_axis_position(0));

    // Relative mode from where it stopped; then all axes stop.
    ASSERT_EQ(mc_set_mode_tsnx(m, 0, MWI_MOVE_RELATIVE), 0);
    const double before = sim->simmotion_axis_position(0);
    ASSERT_EQ(mc_set_velocity_tsnx(m, 0, 1000), 0);
    ASSERT_EQ(mc_move_tsnx(m, 0, 1), 0);
    plat_sleep_ms(100);
    ASSERT_EQ(mc_stop_tsnx(m, -1), 0);
    EXPECT_DOUBLE_EQ(sim->simmotion_axis_position(0), before + 1);
    int32_t error = -1;
    EXPECT_EQ(mc_get_error_tsnx(m, 0, &error), 0);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(mc_get_error_tsnx(m, -1, &error), 0);
    EXPECT_EQ(mc_set_accel_tsnx(m, 0, 50), 0);
}

TEST_F(McOpsTest, TravelLimitsOnBothSides) {
    ASSERT_EQ(mc_set_velocity_tsnx(m, 1, 1e6), 0);
    EXPECT_EQ(mc_move_tsnx(m, 1, 50), 0);
    EXPECT_EQ(mc_move_tsnx(m, 1, 50.001), ERR_MC_AXIS_AT_LIMIT);
    EXPECT_EQ(mc_move_tsnx(m, 1, -50), 0);
    EXPECT_EQ(mc_move_tsnx(m, 1, -50.001), ERR_MC_AXIS_AT_LIMIT);
    EXPECT_EQ(mc_set_velocity_tsnx(m, 1, 0), ERR_MC_CONFIG);
}

TEST_F(McOpsTest, LibraryErrorsAndAMissingAxis) {
    const struct {
        int32_t code;
        int error;
    } cases[] = {{12, ERR_MC_AXIS_BUSY}, {21, ERR_MC_KILL_SWITCH}, {275, ERR_MC_COMM}};
    sim->simmotion_set_error_text("axis fault");
    for (const auto& c : cases) {
        sim->simmotion_set_result("Move_MWI", c.code, 1);
        CapturedMessages messages;
        EXPECT_EQ(mc_move_tsnx(m, 0, 1), c.error);
        EXPECT_EQ(messages.text(),
                  std::string("mc_move_tsnx failed: ") + u_error_name(c.error) + "\naxis fault\n");
    }
    EXPECT_EQ(mc_move_tsnx(m, 0, 1), 0);
    EXPECT_EQ(mc_move_tsnx(m, 5, 1), ERR_MC_AXIS_INACTIVE);
    const int16_t axes[2] = {0, 5};
    double inches[2] = {0, 0};
    EXPECT_EQ(mc_get_ipos_tsnx(m, axes, 2, inches), ERR_MC_AXIS_INACTIVE);
}

TEST_F(McOpsTest, HomingFailsOnTimeOutAndOnALostHome) {
    const int16_t y[1] = {1};
    ASSERT_EQ(mc_set_velocity_tsnx(m, 1, 1000), 0);
    ASSERT_EQ(mc_move_tsnx(m, 1, 40), 0);
    plat_sleep_ms(100);
    ASSERT_EQ(mc_set_velocity_tsnx(m, 1, 1), 0);  // 40 s home
    CapturedMessages messages;
    EXPECT_EQ(mc_home_multiple_axes_tsnx(m, y, 1, 2000), ERR_MC_CANT_FIND_HOME);
    EXPECT_NE(messages.text().find("homing timed out"), std::string::npos);
    sim->simmotion_set_result("GetHomeState_MWI", 17, 1);
    EXPECT_EQ(mc_home_multiple_axes_tsnx(m, y, 1, 2000), ERR_MC_NO_HOME);
    sim->simmotion_set_result("FindHome_MWI", 19, 1);
    EXPECT_EQ(mc_home_multiple_axes_tsnx(m, y, 1, 2000), ERR_MC_AXIS_AT_LIMIT);
}

TEST_F(McOpsTest, JoystickSwitchesAskTheLibraryFirst) {
    ASSERT_EQ(mc_enable_joystick_tsnx(m, -1), 0);
    ASSERT_EQ(mc_enable_joystick_tsnx(m, -1), 0);
    EXPECT_EQ(sim->simmotion_calls("EnableJoystick_MWI"), 1);
    EXPECT_EQ(sim->simmotion_calls("GetIsJoystickEnabled_MWI"), 2);
    ASSERT_EQ(mc_disable_joystick_tsnx(m, -1), 0);
    ASSERT_EQ(mc_disable_joystick_tsnx(m, -1), 0);
    EXPECT_EQ(sim->simmotion_calls("DisableJoystick_MWI"), 1);
    ASSERT_EQ(mc_enable_joystick_tsnx(m, 2), 0);
    ASSERT_EQ(mc_disable_joystick_tsnx(m, 2), 0);
    EXPECT_EQ(sim->simmotion_calls("EnableAxisJoystick_MWI"), 1);
    EXPECT_EQ(sim->simmotion_calls("DisableAxisJoystick_MWI"), 1);
    sim->simmotion_set_result("EnableJoystick_MWI", 22, 1);
    EXPECT_EQ(mc_enable_joystick_tsnx(m, -1), ERR_MC_JOYSTICK_ENABLE);
    EXPECT_EQ(mc_enable_pos_report_tsnx(m), 0);
    EXPECT_EQ(mc_axis_pos_report_tsnx(m, 2, true), 0);
    EXPECT_EQ(mc_disable_pos_report_tsnx(m), 0);
    EXPECT_EQ(mc_set_align_view_indicator_tsnx(m, 1), 0);
}

TEST_F(McOpsTest, AClosedControllerIsNotAvailable) {
    ASSERT_EQ(mc_close_comm_tsnx(info.get(), nullptr), 0);
    const int16_t x[1] = {0};
    double inches = 0;
    int32_t value = 0;
    EXPECT_EQ(mc_move_tsnx(m, 0, 1), ERR_MC_NOT_AVAIL);
    EXPECT_EQ(mc_stop_tsnx(m, -1), ERR_MC_NOT_AVAIL);
    EXPECT_EQ(mc_get_ipos_tsnx(m, x, 1, &inches), ERR_MC_NOT_AVAIL);
    EXPECT_EQ(mc_home_multiple_axes_tsnx(m, x, 1, 100), ERR_MC_NOT_AVAIL);
    EXPECT_EQ(mc_get_status_tsnx(m, -1, &value), ERR_MC_NOT_AVAIL);
    EXPECT_EQ(mc_get_event_tsnx(&info->motion, &value), ERR_MC_NOT_AVAIL);
    EXPECT_EQ(mc_find_axis(m, "Z"), -1);
    EXPECT_EQ(sim->simmotion_calls("Move_MWI"), 0);
}

// ---- Device table -----------------------------------------------------------

class McDeviceTest : public McOpsTest {
  protected:
    void SetUp() override {
        McOpsTest::SetUp();
        mwi_install_hooks();
        ASSERT_EQ(dev_init_cntrl(true), 0);
    }
    void TearDown() override {
        dev_close_cntrl();
        McOpsTest::TearDown();
    }
    void* device() { return reinterpret_cast<void*>(static_cast<intptr_t>(m->handle)); }
};

TEST_F(McDeviceTest, LibraryEventsReachTheEventState) {
    ASSERT_EQ(dev_add_device(DEV_TYPE_MOTION, device(), &info->motion), 0);
    DevInfo found{};
    EXPECT_EQ(dev_data_read(DEV_TYPE_MOTION, &found, false), DEV_NO_DATA);

    sim->simmotion_push_event(MWI_EVENT_ESTOP);
    EXPECT_EQ(dev_data_read(DEV_TYPE_MOTION, &found, false), DEV_TYPE_MOTION);
    EXPECT_EQ(found.handle, device());
    int32_t code = 0;
    ASSERT_EQ(mc_get_event_tsnx(&info->motion, &code), 0);
    EXPECT_EQ(code, MWI_EVENT_ESTOP);
    EXPECT_EQ(info->motion.eventState, 2);

    sim->simmotion_push_event(MWI_EVENT_ESTOP_CLEARED);
    sim->simmotion_push_event(4);  // neither: the state stays
    ASSERT_EQ(mc_get_event_tsnx(&info->motion, &code), 0);
    EXPECT_EQ(info->motion.eventState, 1);
    ASSERT_EQ(mc_get_event_tsnx(&info->motion, &code), 0);
    EXPECT_EQ(code, 4);
    EXPECT_EQ(info->motion.eventState, 1);
    ASSERT_EQ(mc_get_event_tsnx(&info->motion, &code), 0);
    EXPECT_EQ(code, 0);  // none waiting
    EXPECT_EQ(dev_data_read(DEV_TYPE_MOTION, &found, false), DEV_NO_DATA);
    EXPECT_EQ(dev_remove_device(device()), 0);
}

TEST_F(McDeviceTest, OnlyTheLibraryControllerIsTakenAsADevice) {
    SysMotionState other;
    other.controllerType = 1;
    EXPECT_EQ(dev_add_device(DEV_TYPE_MOTION, reinterpret_cast<void*>(99), &other),
              ERR_MC_NOT_AVAIL);
    EXPECT_EQ(dev_device_count(), 0);
}

// Re-opens publish new tables while the worker polls through the old ones.
TEST_F(McDeviceTest, ReopeningWhileTheWorkerPolls) {
    std::atomic<bool> stop{false};
    ASSERT_EQ(dev_add_device(DEV_TYPE_MOTION, device(), &info->motion), 0);
    std::thread reader([&] {
        DevInfo found{};
        while (!stop.load()) dev_data_read(DEV_TYPE_MOTION, &found, false);
    });
    for (int i = 0; i < 20; ++i) ASSERT_EQ(open("Stage"), 0);
    stop = true;
    reader.join();
    dev_remove_device(device());
}

// ---- Position instrument -----------------------------------------------------

TEST_F(McDeviceTest, ZEncoderHomesByItsEncoderAndReadsInInches) {
    PosInstr p;
    p.posInstrType = POSINSTR_ZENCODER;
    ASSERT_EQ(mc_move_tsnx(m, 2, 3), 0);
    plat_sleep_ms(1000);
    ASSERT_EQ(posinstr_init(&p, &info->motion), 0);
    int32_t state = 0;
    ASSERT_EQ(mc_home_state_tsnx(m, 2, &state), 0);
    EXPECT_EQ(state, MWI_HOME_FOUND);
    EXPECT_EQ(sim->simmotion_calls("FindHome_MWI"), 1);

    ASSERT_EQ(mc_set_velocity_tsnx(m, 2, 1000), 0);
    ASSERT_EQ(mc_move_tsnx(m, 2, 12.7), 0);
    plat_sleep_ms(100);
    ASSERT_EQ(posinstr_read(&p), 0);
    EXPECT_NEAR(p.position, 12.7, 1e-9);

    // Without a Z axis, or with the controller closed, the refusals.
    sim->simmotion_axis_remove(2);
    EXPECT_EQ(posinstr_read(&p), ERR_MC_NO_ACTIVE_ZENCODER);
    ASSERT_EQ(mc_close_comm_tsnx(info.get(), nullptr), 0);
    EXPECT_EQ(posinstr_read(&p), ERR_MC_NOT_AVAIL);
}

TEST_F(McDeviceTest, ZAxisHomedBySwitchIsNotHomedByThePositionInstrument) {
    sim->simmotion_axis_add(3, "z", 1, -10, 10, MWI_HOME_BY_SWITCH);
    sim->simmotion_axis_remove(2);
    PosInstr p;
    p.posInstrType = POSINSTR_ZENCODER;
    ASSERT_EQ(posinstr_init(&p, &info->motion), 0);
    EXPECT_EQ(sim->simmotion_calls("FindHome_MWI"), 0);
    EXPECT_EQ(mc_find_axis(m, "Z"), 3);
}

}  // namespace
