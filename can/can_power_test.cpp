#include "can/can_power.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "can/can_agc.h"
#include "can/can_bridge.h"
#include "can/can_events.h"
#include "can/can_lib.h"
#include "can/can_nodes.h"
#include "common/abort.h"
#include "common/status.h"
#include "common/testing/capture_sink.h"
#include "config/sbcal.h"
#include "config/sysinfo.h"
#include "devpoll/devpoll.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/pty.h"
#include "serial/wm.h"
#include "sim/can/testing/simcan_session.h"
#include "sim/line.h"
#include "sim/wave_monitor_model.h"

namespace {

const bool kScaled = [] {
    if (std::getenv("SURF_CLOCK_SCALE") == nullptr) plat_set_clock_scale(10);
    return true;
}();

const uint8_t kMac[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
const uint8_t kIp[4] = {10, 0, 0, 7};

// Idle calls, and the gain control's suspension seen at each.
std::atomic<int> g_idle_calls{0};
std::atomic<int> g_idle_unsuspended{0};
void watch_idle() {
    g_idle_calls.fetch_add(1);
    if (can_agc_suspension_count() == 0) g_idle_unsuspended.fetch_add(1);
}

int count_calls(const char* name) {
    int n = 0;
    for (const SimCanRecord& r : simcan_transcript())
        if (r.kind == SIMCAN_REC_CALL && std::strcmp(r.name, name) == 0) ++n;
    return n;
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// An unconnected network with the instrument's bridge (and the default one,
// which has another MAC), the device table running.
class CanPowerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim = simcan_session();
        ASSERT_NE(sim, nullptr);
        simcan_session_reset();
        bridgeIndex = sim->simcan_bridge_add(kMac, kIp);
        ASSERT_GE(bridgeIndex, 0);
        info.instrBdType = SB_BOARD_CAN;
        info.macAddressSet = true;
        std::memcpy(info.macAddress, kMac, 6);
        can_events_install_poll();
        ASSERT_EQ(dev_init_cntrl(true), 0);
        previousIdle = u_set_idle_hook(watch_idle);
        g_idle_calls = 0;
        g_idle_unsuspended = 0;
    }
    void TearDown() override {
        if (info.canInfo) can_inst_off(&info);
        can_agc_stop(&info);
        can_close_ndw_event(&info);
        dev_close_cntrl();
        u_set_idle_hook(previousIdle);
        if (info.serial.wmPort) wm_comm_close(&info.serial.wmPort);
        line.close();
        simcan_session_reset();
    }
    void led_instrument(int32_t type) {
        info.systemType = type;
        info.dualBrushMotorPresent = false;
        ASSERT_TRUE(sim->simcan_model_add(61, CAN_PRODUCT_LED_B, 0x00010000));
    }
    void qel_instrument(int32_t type) {
        info.systemType = type;
        for (uint8_t node : {62, 52, 72, 73, 70, 68, 64})
            ASSERT_TRUE(sim->simcan_model_add(node, 0x1000 + node, 0x00040003));
        ASSERT_TRUE(sim->simcan_model_param(64, "home_ms", 200));
        ASSERT_TRUE(sim->simcan_model_param(64, "move_ms", 100));
        // Type 30's wave monitor, calibrated, laser off until asked.
        ASSERT_TRUE(line.open(&monitor));
        info.wmComm = line.path();
        monitor.set_status(WM_STATUS_CALIBRATED, 150, 1, 20, 60);
        monitor.set_laser_delay(1);
    }
    void same_resources() {
        EXPECT_EQ(dev_device_count(), devices0);
        EXPECT_EQ(plat_process_thread_count(), threads0);
        EXPECT_EQ(plat_process_descriptor_count(), fds0);
    }
    void note_resources() {
        devices0 = dev_device_count();
        threads0 = plat_process_thread_count();
        fds0 = plat_process_descriptor_count();
    }

    SimCan* sim = nullptr;
    int bridgeIndex = -1;
    SystemInfo info;
    SimWaveMonitor monitor;
    SimLine line;
    UIdleHook previousIdle = nullptr;
    int devices0 = 0, threads0 = 0, fds0 = 0;
};

// ---- Finding the bridge --------------------------------------------------

TEST_F(CanPowerTest, BridgeListedOnTheThirdEnumerationIsFoundAfterTwoWaits) {
    ASSERT_TRUE(sim->simcan_bridge_found_from(bridgeIndex, 3));
    can_bridge_info_create(&info);
    CapturedMessages messages;
    ASSERT_EQ(find_bridge(&info), NO_ERROR) << messages.text();
    EXPECT_EQ(count_calls("CAN_EnumerateBridges"), 3);
    EXPECT_EQ(g_idle_calls.load(), 2);
    EXPECT_EQ(messages.text(),
              "Found CAN bridge\nMAC address: 02 11 22 33 44 55\nIP  address: 10.0.0.7\n");
    EXPECT_EQ(std::memcmp(info.canInfo->ipv4, kIp, 4), 0);
}

TEST_F(CanPowerTest, BridgeNeverListedIsNotFoundAfterThreePasses) {
    ASSERT_TRUE(sim->simcan_bridge_found_from(bridgeIndex, 4));
    can_bridge_info_create(&info);
    CapturedMessages messages;
    EXPECT_EQ(find_bridge(&info), ERR_CAN_MACADDRESS_ERROR);
    EXPECT_EQ(count_calls("CAN_EnumerateBridges"), 3);
    EXPECT_EQ(g_idle_calls.load(), 2);  // none after the third
    EXPECT_TRUE(has(messages.text(),
                    " CAN bridge with MAC address 02 11 22 33 44 55 not found on network\n"));
    for (uint8_t byte : info.canInfo->ipv4) EXPECT_EQ(byte, 0xFF);
}

TEST_F(CanPowerTest, EnumerationCountsOutsideTheBufferAreBounded) {
    can_bridge_info_create(&info);
    // More than the buffer holds: only the buffer is searched, and the
    // bridge in it is found.
    sim->simcan_set_enumeration_result(500);
    EXPECT_EQ(find_bridge(&info), NO_ERROR);
    sim->simcan_set_enumeration_result(128);
    EXPECT_EQ(find_bridge(&info), NO_ERROR);
    // Every negative count is a failure, not only -1.
    for (int32_t count : {-1, -2, -1000}) {
        sim->simcan_set_enumeration_result(count);
        CapturedMessages messages;
        EXPECT_EQ(find_bridge(&info), ERR_CAN_FINDING_BRIDGE) << count;
        EXPECT_TRUE(has(messages.text(), " find_bridge: CAN_EnumerateBridges failed\n"));
    }
    sim->simcan_set_enumeration_result(0);
    CapturedMessages messages;
    EXPECT_EQ(find_bridge(&info), ERR_CAN_FINDING_BRIDGE);
    EXPECT_TRUE(has(messages.text(), "CAN_EnumerateBridges found no CAN bridges\n"));
    sim->simcan_set_enumeration_result(1);  // only the default bridge fits
    EXPECT_EQ(find_bridge(&info), ERR_CAN_MACADDRESS_ERROR);
}

TEST_F(CanPowerTest, UnconfiguredMacFailsWithoutEnumerating) {
    led_instrument(22);
    info.macAddressSet = false;
    CapturedMessages messages;
    EXPECT_EQ(can_inst_on(&info), ERR_CAN_MACADDRESS_ERROR);
    EXPECT_EQ(count_calls("CAN_EnumerateBridges"), 0);
    EXPECT_TRUE(has(messages.text(), " can_inst_on: ERR_CAN_MACADDRESS_ERROR\n"));
}

// ---- Bridge set-up --------------------------------------------------------

TEST_F(CanPowerTest, ErrorLatchedOnEveryReadGivesUpAfterTenResets) {
    led_instrument(22);
    ASSERT_TRUE(sim->simcan_bridge_latch_error(bridgeIndex, 0x55, -1));
    CapturedMessages messages;
    EXPECT_EQ(can_inst_on(&info), ERR_CAN_BRIDGE_ERROR);
    EXPECT_EQ(sim->simcan_bridge_resets(bridgeIndex), 10);
    EXPECT_TRUE(has(messages.text(),
                    " can_inst_on: Unable to reset bridge with no errors after 10 tries: "
                    "CAN_GetLastBridgeError = 85\n"));
    // Nine reads and resets later the error clears: the tenth read sees 0.
    simcan_session_reset();
    bridgeIndex = sim->simcan_bridge_add(kMac, kIp);
    led_instrument(22);
    ASSERT_TRUE(sim->simcan_bridge_latch_error(bridgeIndex, 0x55, 9));
    CapturedMessages again;
    EXPECT_EQ(can_inst_on(&info), NO_ERROR) << again.text();
    EXPECT_EQ(sim->simcan_bridge_resets(bridgeIndex), 9);
}

TEST_F(CanPowerTest, ConfigurationIsSetAndTheBridgeReconnectedOnlyWhenItDiffers) {
    led_instrument(22);
    {
        CapturedMessages messages;
        ASSERT_EQ(can_inst_on(&info), NO_ERROR) << messages.text();
    }
    EXPECT_EQ(count_calls("CAN_SetBridgeConfiguration"), 0);
    EXPECT_EQ(sim->simcan_bridge_connects(bridgeIndex), 1);
    ASSERT_EQ(can_inst_off(&info), NO_ERROR);

    ASSERT_TRUE(sim->simcan_bridge_set_config(bridgeIndex, 127, 500));
    sim->simcan_transcript_clear();
    CapturedMessages messages;
    ASSERT_EQ(can_inst_on(&info), NO_ERROR) << messages.text();
    EXPECT_EQ(count_calls("CAN_SetBridgeConfiguration"), 1);
    EXPECT_EQ(sim->simcan_bridge_connects(bridgeIndex), 3);
    uint8_t node = 0;
    uint32_t rate = 0;
    ASSERT_TRUE(sim->simcan_bridge_get_config(bridgeIndex, &node, &rate, nullptr, nullptr));
    EXPECT_EQ(node, 127);
    EXPECT_EQ(rate, 1000u);
}

// ---- The bridge's power check ----------------------------------------------

TEST_F(CanPowerTest, BridgeStatusBitsAndThePztNodeErrorRegister) {
    led_instrument(22);
    ASSERT_EQ(can_inst_on(&info), NO_ERROR);
    struct Case {
        uint8_t status;
        const char* line;
    };
    for (const Case& c : {Case{0x00, "Bridge Status: External 12V power fault\n"},
                          Case{0x0C, "Bridge Status: -12V power trip\n"},
                          Case{0x0E, "Bridge Status: -12V power trip\n"},
                          Case{0x0A, "Bridge Status: +12V power trip\n"},
                          Case{0x07, "Bridge Status: External 12V power fault\n"}}) {
        ASSERT_TRUE(sim->simcan_object_set(127, 0x2010, 1, &c.status, 1));
        CapturedMessages messages;
        EXPECT_EQ(can_check_bridge_status(&info), ERR_INST_POWER) << +c.status;
        std::string text = messages.text();
        ASSERT_GT(text.size(), 20u);
        EXPECT_EQ(text.substr(20), c.line) << +c.status;
    }
    const uint8_t good = 0x08;
    ASSERT_TRUE(sim->simcan_object_set(127, 0x2010, 1, &good, 1));
    EXPECT_EQ(can_check_bridge_status(&info), NO_ERROR);

    // With a PZT node: its error register's byte 3, first set bit only.
    ASSERT_TRUE(sim->simcan_model_add(62, 0x1062, 0x00010000));
    info.can.triplePztPresent = 1;
    info.can.rampMux = 0;
    uint8_t reg[4] = {0, 0, 0, 0x30};
    ASSERT_TRUE(sim->simcan_object_set(62, 0x1002, 0, reg, 4));
    CapturedMessages messages;
    EXPECT_EQ(can_check_bridge_status(&info), ERR_INST_POWER);
    EXPECT_EQ(messages.text().substr(20),
              "Triple PZT node: High voltage supply under-voltage fault\n");
    reg[3] = 0x08;  // bit 3 is no fault
    ASSERT_TRUE(sim->simcan_object_set(62, 0x1002, 0, reg, 4));
    EXPECT_EQ(can_check_bridge_status(&info), NO_ERROR);
    reg[0] = 0xFF;  // other bytes do not count
    reg[3] = 0x40;
    ASSERT_TRUE(sim->simcan_object_set(62, 0x1002, 0, reg, 4));
    messages.clear();
    EXPECT_EQ(can_check_bridge_status(&info), ERR_INST_POWER);
    EXPECT_EQ(messages.text().substr(20), "Triple PZT node: VSync lost\n");
}

TEST_F(CanPowerTest, PowerTripFailsThePowerOn) {
    // Type 30 and 32 talk to the wave monitor over a virtual serial line.
    if (!plat_pty_available()) GTEST_SKIP() << "no pseudo-terminals on this system";
    qel_instrument(32);
    note_resources();
    const uint8_t trip = 0x0C;
    ASSERT_TRUE(sim->simcan_object_set(127, 0x2010, 1, &trip, 1));
    CapturedMessages messages;
    EXPECT_EQ(can_inst_on(&info), ERR_INST_POWER);
    EXPECT_TRUE(has(messages.text(), " Bridge Status: -12V power trip\n"));
    EXPECT_TRUE(has(messages.text(), " can_inst_on: ERR_INST_POWER\n"));
    EXPECT_FALSE(dev_is_registered(&info));
    EXPECT_EQ(can_agc_suspension_count(), 0);
    // The wave monitor's line the power-on opened is not left open.
    EXPECT_EQ(info.serial.wmPort, nullptr);
    same_resources();
}

// ---- Power-on and power-off --------------------------------------------------

TEST_F(CanPowerTest, QelType30PowersOnFromAnUnsettledBridgeAndCyclesCleanly) {
    // Type 30 and 32 talk to the wave monitor over a virtual serial line.
    if (!plat_pty_available()) GTEST_SKIP() << "no pseudo-terminals on this system";
    qel_instrument(30);
    info.cameraType = 29;
    info.sleepTimeout = 60;
    note_resources();
    ASSERT_TRUE(sim->simcan_bridge_found_from(bridgeIndex, 3));
    ASSERT_TRUE(sim->simcan_bridge_latch_error(bridgeIndex, 7, 1));
    for (int cycle = 0; cycle < 3; ++cycle) {
        CapturedMessages messages;
        ASSERT_EQ(can_inst_on(&info), NO_ERROR) << cycle << messages.text();
        const std::string text = messages.text();
        EXPECT_TRUE(has(text, "MAC address: 02 11 22 33 44 55\n"));
        EXPECT_TRUE(has(text, "IP  address: 10.0.0.7\n"));
        EXPECT_TRUE(has(text, "Bridge firmware version: major = 1, minor = 12\n"));
        EXPECT_TRUE(has(text, "DLL version: major = "));
        EXPECT_TRUE(has(text, "Wave monitor calibrated "));
        EXPECT_TRUE(has(text, "Enabling PI digital scanner") == false);
        EXPECT_TRUE(has(text, " Instrument ON\n"));
        EXPECT_TRUE(dev_is_registered(&info));
        EXPECT_EQ(dev_device_count(), devices0 + 1);
        EXPECT_TRUE(info.serial.wm.statusRead);
        EXPECT_DOUBLE_EQ(info.serial.wm.maxTuneRange, 150e6);
        // Gain control was held for every wait and let go at the end.
        EXPECT_GT(g_idle_calls.load(), 0);
        EXPECT_EQ(g_idle_unsuspended.load(), 0);
        EXPECT_EQ(can_agc_suspension_count(), 0);
        // Trigger bits of the newer firmware.
        uint16_t config = 0;
        ASSERT_TRUE(sim->simcan_object_get(127, 0x2010, 2, &config, 2));
        EXPECT_EQ(config & 0x2100, 0x2100);
        if (cycle == 0) {
            EXPECT_EQ(sim->simcan_bridge_resets(bridgeIndex), 1);
            EXPECT_GE(g_idle_calls.load(), 3);  // two enumerations, one reset
        }
        messages.clear();
        ASSERT_EQ(can_inst_off(&info), NO_ERROR);
        EXPECT_TRUE(has(messages.text(), " Instrument OFF\n"));
        EXPECT_FALSE(info.canInfo);
        EXPECT_EQ(info.can.ndwStoppedEvent, nullptr);
        EXPECT_EQ(sim->simcan_connected_bridge(), -1);
        ASSERT_TRUE(sim->simcan_object_get(127, 0x2010, 2, &config, 2));
        EXPECT_EQ(config & 0x0100, 0);
        same_resources();
        g_idle_calls = 0;
        g_idle_unsuspended = 0;
    }
}

TEST_F(CanPowerTest, LedAndPztTypesPowerOnAndOff) {
    for (int32_t type : {22, 29}) {
        simcan_session_reset();
        bridgeIndex = sim->simcan_bridge_add(kMac, kIp);
        led_instrument(type);
        if (type == 29) {
            ASSERT_TRUE(sim->simcan_model_add(62, 0x1062, 0x00010000));
        }
        note_resources();
        for (int cycle = 0; cycle < 2; ++cycle) {
            CapturedMessages messages;
            ASSERT_EQ(can_inst_on(&info), NO_ERROR) << type << messages.text();
            EXPECT_EQ(info.can.piezoFocusMode, type == 22 ? 1 : 2);
            EXPECT_EQ(info.can.lightLevel, 0xFFFF / 4);
            EXPECT_EQ(dev_device_count(), devices0 + 1);
            ASSERT_EQ(can_inst_off(&info), NO_ERROR);
            same_resources();
        }
    }
}

TEST_F(CanPowerTest, ResetAndRepeatedPowerOnKeepOneDeviceEntry) {
    led_instrument(22);
    note_resources();
    ASSERT_EQ(can_inst_on(&info), NO_ERROR);
    ASSERT_EQ(can_inst_on(&info), NO_ERROR);
    EXPECT_EQ(dev_device_count(), devices0 + 1);
    CapturedMessages messages;
    for (int i = 0; i < 2; ++i) ASSERT_EQ(can_inst_reset(&info), NO_ERROR);
    EXPECT_FALSE(has(messages.text(), "table is full"));
    EXPECT_EQ(dev_device_count(), devices0 + 1);
    ASSERT_EQ(can_inst_off(&info), NO_ERROR);
    EXPECT_EQ(dev_device_count(), devices0);
}

std::atomic<int> g_ramp_loads{0};
std::atomic<int> g_ramp_result{0};
int counting_ramp_loader(SystemInfo*) {
    ++g_ramp_loads;
    return g_ramp_result.load();
}

TEST_F(CanPowerTest, RampSetComesFromTheInstalledLoaderAndOnlyItsRealErrorsFail) {
    led_instrument(22);
    // Without a loader the instrument powers on without ramp information.
    CanRampSetLoader previous = can_set_ramp_set_loader(nullptr);
    ASSERT_EQ(can_inst_on(&info), NO_ERROR);
    ASSERT_EQ(can_inst_off(&info), NO_ERROR);
    can_set_ramp_set_loader(counting_ramp_loader);
    g_ramp_loads = 0;
    g_ramp_result = ERR_NO_RAMP_INFO;  // no usable ramp: not a failure
    EXPECT_EQ(can_inst_on(&info), NO_ERROR);
    EXPECT_EQ(g_ramp_loads.load(), 1);
    ASSERT_EQ(can_inst_off(&info), NO_ERROR);
    g_ramp_result = ERR_CANT_OPEN_FILE;
    EXPECT_EQ(can_inst_on(&info), ERR_CANT_OPEN_FILE);
    EXPECT_EQ(g_ramp_loads.load(), 2);
    can_inst_off(&info);
    can_set_ramp_set_loader(previous);
}

TEST_F(CanPowerTest, OtherBoardsAndSystemTypesAreRefused) {
    led_instrument(22);
    ASSERT_EQ(can_inst_on(&info), NO_ERROR);
    info.instrBdType = SB_BOARD_NONE;
    EXPECT_EQ(can_inst_reset(&info), ERR_WRONG_INSTR_BOARD);
    EXPECT_EQ(can_inst_on(&info), ERR_WRONG_INSTR_BOARD);
    EXPECT_EQ(can_inst_off(&info), ERR_WRONG_INSTR_BOARD);
    EXPECT_EQ(can_check_bridge_status(&info), ERR_WRONG_INSTR_BOARD);
    info.instrBdType = SB_BOARD_CAN;
    info.systemType = 1;
    EXPECT_EQ(can_inst_on(&info), ERR_WRONG_SYSTEM_TYPE);
}

TEST_F(CanPowerTest, FullDeviceTableFailsThePowerOn) {
    led_instrument(22);
    for (int i = 0; i < DEV_MAX_DEVICES; ++i)
        ASSERT_EQ(dev_add_device(DEV_TYPE_KEYBOARD, reinterpret_cast<void*>(0x100 + i), nullptr),
                  0);
    CapturedMessages messages;
    EXPECT_EQ(can_inst_on(&info), ERR_DEV_CNTRL);
    EXPECT_TRUE(has(messages.text(), "gl_DevInfo table is full\n"));
    EXPECT_FALSE(has(messages.text(), "Instrument ON"));
    for (int i = 0; i < DEV_MAX_DEVICES; ++i) dev_remove_device(reinterpret_cast<void*>(0x100 + i));
}

TEST_F(CanPowerTest, FailureAfterRegistrationRemovesTheDeviceAndTheEvents) {
    led_instrument(22);
    // Step 14's read of the configuration word fails.
    sim->simcan_sdo_fault(127, 0x2010, 2, SIMCAN_DIR_READ, -4, 0, 0, -1);
    CapturedMessages messages;
    EXPECT_NE(can_inst_on(&info), NO_ERROR);
    EXPECT_FALSE(dev_is_registered(&info));
    EXPECT_EQ(count_calls("CAN_RegisterEvents"), 2);
    EXPECT_EQ(count_calls("CAN_UnregisterPDOs"), 1);
    // The bridge stays connected.
    EXPECT_EQ(sim->simcan_connected_bridge(), bridgeIndex);
    sim->simcan_sdo_faults_clear();
}

TEST_F(CanPowerTest, OldFirmwareLeavesTheConfigurationWordAlone) {
    led_instrument(22);
    // Neither 1.11 nor 0.12 is newer than 1.11 (the minor alone would say
    // 0.12 is); 2.0 is.
    uint16_t config = 0;
    for (uint8_t major : {1, 0}) {
        ASSERT_TRUE(sim->simcan_bridge_set_firmware(bridgeIndex, major, major == 1 ? 11 : 12));
        ASSERT_EQ(can_inst_on(&info), NO_ERROR);
        ASSERT_TRUE(sim->simcan_object_get(127, 0x2010, 2, &config, 2));
        EXPECT_EQ(config, 0) << +major;
        ASSERT_EQ(can_inst_off(&info), NO_ERROR);
    }
    ASSERT_TRUE(sim->simcan_bridge_set_firmware(bridgeIndex, 2, 0));
    // Without a PI scanner a set scanner bit is cleared.
    config = 0x0800;
    ASSERT_TRUE(sim->simcan_object_set(127, 0x2010, 2, &config, 2));
    CapturedMessages messages;
    ASSERT_EQ(can_inst_on(&info), NO_ERROR) << messages.text();
    EXPECT_TRUE(has(messages.text(), "Disabling PI digital scanner triggering mode\n"));
    ASSERT_TRUE(sim->simcan_object_get(127, 0x2010, 2, &config, 2));
    EXPECT_EQ(config, 0x2100);
}

}  // namespace
