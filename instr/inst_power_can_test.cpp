// The CAN branch of the instrument power control against the simulated bridge.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "can/can_agc.h"
#include "can/can_events.h"
#include "can/can_lib.h"
#include "can/can_nodes.h"
#include "can/can_power.h"
#include "common/status.h"
#include "common/testing/capture_sink.h"
#include "config/sysinfo.h"
#include "devpoll/devpoll.h"
#include "instr/inst_power.h"
#include "platform/process.h"
#include "sim/can/testing/simcan_session.h"

namespace {

const uint8_t kMac[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
const uint8_t kIp[4] = {10, 0, 0, 7};

// An LED instrument (system type 22) behind the simulated bridge.
class InstPowerCan : public ::testing::Test {
  protected:
    void SetUp() override {
        sim_ = simcan_session();
        ASSERT_NE(sim_, nullptr);
        simcan_session_reset();
        ASSERT_GE(sim_->simcan_bridge_add(kMac, kIp), 0);
        ASSERT_TRUE(sim_->simcan_model_add(61, CAN_PRODUCT_LED_B, 0x00010000));
        info_.instrBdType = SB_BOARD_CAN;
        info_.systemType = 22;
        info_.dualBrushMotorPresent = false;
        info_.macAddressSet = true;
        std::memcpy(info_.macAddress, kMac, 6);
        info_.cameraType = 29;
        info_.frameGrabberType = 8;  // CameraLink
        info_.lightType = 5;
        can_events_install_poll();
        ASSERT_EQ(dev_init_cntrl(true), 0);
        devices_ = dev_device_count();
        threads_ = plat_process_thread_count();
        fds_ = plat_process_descriptor_count();
    }
    void TearDown() override {
        inst_off(&info_);
        if (info_.canInfo) can_inst_off(&info_);
        can_agc_stop(&info_);
        can_close_ndw_event(&info_);
        dev_close_cntrl();
        simcan_session_reset();
    }
    void expect_start_resources() {
        EXPECT_EQ(dev_device_count(), devices_);
        EXPECT_EQ(plat_process_thread_count(), threads_);
        EXPECT_EQ(plat_process_descriptor_count(), fds_);
    }

    SimCan* sim_ = nullptr;
    SystemInfo info_;
    int devices_ = 0, threads_ = 0, fds_ = 0;
};

TEST_F(InstPowerCan, CyclesThroughTheBridgeLeaveNothingBehind) {
    for (int cycle = 0; cycle < 3; ++cycle) {
        CapturedMessages msgs;
        ASSERT_EQ(inst_on(&info_), 0) << msgs.text();
        EXPECT_TRUE(info_.power.instrumentOn);
        EXPECT_FALSE(info_.power.syncCamera);
        EXPECT_EQ(dev_device_count(), devices_ + 1);
        EXPECT_EQ(inst_check(&info_), 0) << msgs.text();
        EXPECT_EQ(inst_check_eeprom(&info_, true), 0);
        EXPECT_EQ(inst_check_eeprom(&info_, false), 0);
        EXPECT_EQ(inst_reset(&info_), 0) << msgs.text();
        EXPECT_EQ(dev_device_count(), devices_ + 1);
        ASSERT_EQ(inst_off(&info_), 0) << msgs.text();
        EXPECT_FALSE(info_.power.instrumentOn);
        EXPECT_FALSE(msgs.text().find("table is full") != std::string::npos);
        expect_start_resources();
    }
}

TEST_F(InstPowerCan, IncompatibleCameraPowersTheBridgeOffAgain) {
    info_.cameraType = 24;  // refused by the CameraLink grabber
    CapturedMessages msgs;
    EXPECT_EQ(inst_on(&info_), ERR_SB_INST_CONFIG);
    EXPECT_FALSE(info_.power.instrumentOn);
    expect_start_resources();
    info_.cameraType = 26;
    ASSERT_EQ(inst_on(&info_), 0) << msgs.text();
    ASSERT_EQ(inst_off(&info_), 0);
    expect_start_resources();
}

TEST_F(InstPowerCan, MissingBridgeFailsThePowerOnUnchanged) {
    info_.macAddress[5] ^= 0xFF;  // no bridge has this address
    CapturedMessages msgs;
    int result = inst_on(&info_);
    EXPECT_NE(result, 0);
    EXPECT_NE(result, ERR_SB_INST_CONFIG);
    EXPECT_EQ(result, can_inst_on(&info_));
    EXPECT_FALSE(info_.power.instrumentOn);
}

}  // namespace
