#include "can/can_nodes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "can/can_agc.h"
#include "can/can_bridge.h"
#include "can/can_lib.h"
#include "can/can_sdo.h"
#include "common/abort.h"
#include "common/status.h"
#include "common/testing/capture_sink.h"
#include "config/sbcal.h"
#include "config/sysinfo.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "sim/can/testing/simcan_session.h"

namespace {

std::atomic<int> g_idle_calls{0};
void count_idle() {
    g_idle_calls.fetch_add(1);
}

int count_calls(const char* name) {
    int n = 0;
    for (const SimCanRecord& r : simcan_transcript())
        if (r.kind == SIMCAN_REC_CALL && std::strcmp(r.name, name) == 0) ++n;
    return n;
}

// A connected simulated bridge with its node 127 and a CAN instrument record
// whose requirements come from the default calibration switches.
class CanNodesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim = simcan_session();
        ASSERT_NE(sim, nullptr);
        fresh_bus();
        info.instrBdType = SB_BOARD_CAN;
        bridge = can_bridge_info_create(&info);
        previousIdle = u_set_idle_hook(count_idle);
        g_idle_calls = 0;
    }
    void TearDown() override {
        can_agc_stop(&info);
        can_close_ndw_event(&info);
        u_set_idle_hook(previousIdle);
        simcan_session_reset();
    }

    // A new simulation, connected to its default bridge.
    void fresh_bus() {
        simcan_session_reset();
        const CanApi* api = can_api();
        ASSERT_NE(api, nullptr);
        const uint8_t ip[4] = {192, 168, 10, 20};
        uint32_t ipv4 = 0;
        std::memcpy(&ipv4, ip, 4);
        ASSERT_EQ(api->CAN_Connect(ipv4), CAN_OK);
    }
    void led_instrument(int32_t type, uint32_t ledProduct = CAN_PRODUCT_LED_B) {
        info.systemType = type;
        info.dualBrushMotorPresent = false;  // IgnoreDualBrushMotor
        can_take_node_requirements(&info);
        ASSERT_TRUE(sim->simcan_model_add(61, ledProduct, 0x00010000));
    }
    // Every QEL node on the bus, quick motors, an unset initial keypress mode.
    void qel_instrument(int32_t type) {
        info.systemType = type;
        can_take_node_requirements(&info);
        for (uint8_t node : {62, 52, 72, 73, 70, 68, 64})
            ASSERT_TRUE(sim->simcan_model_add(node, 0x1000 + node, 0x00040003));
        ASSERT_TRUE(sim->simcan_model_param(64, "home_ms", 200));
        ASSERT_TRUE(sim->simcan_model_param(64, "move_ms", 100));
        const uint8_t zero = 0;
        for (uint8_t node : {64, 68, 70})
            ASSERT_TRUE(sim->simcan_object_set(node, 0x2044, 8, &zero, 1));
        sim->simcan_transcript_clear();
    }
    uint8_t object_byte(uint8_t node, uint16_t index, uint8_t sub) {
        uint8_t value = 0xEE;
        EXPECT_TRUE(sim->simcan_object_get(node, index, sub, &value, 1));
        return value;
    }
    // The SDO writes of (node, index, sub), in order.
    std::vector<std::vector<uint8_t>> writes(uint8_t node, uint16_t index, uint8_t sub) {
        std::vector<std::vector<uint8_t>> out;
        for (const SimCanRecord& r : simcan_sdo_transcript())
            if (r.node == node && r.index == index && r.subIndex == sub &&
                r.direction == SIMCAN_DIR_WRITE)
                out.push_back(simcan_record_bytes(r.entry));
        return out;
    }

    SimCan* sim = nullptr;
    SystemInfo info;
    CanBridgeInfo* bridge = nullptr;
    UIdleHook previousIdle = nullptr;
};

// ---- LED and PZT families ------------------------------------------------

TEST_F(CanNodesTest, LedFamilyStatusLinesMarkNodesNotRequiredAndStartTheLed) {
    led_instrument(22);
    info.llcFreq = 41000;
    info.llcConfig[0] = 7;
    sim->simcan_transcript_clear();
    CapturedMessages messages;
    ASSERT_EQ(can_led_family_on(&info, bridge), NO_ERROR) << messages.text();
    EXPECT_EQ(messages.text(),
              "Instrument CAN node status:\n"
              "  Ramper           : Yes  \n"
              "  LED              : Yes  \n"
              "  Dual Brush Motor : No, Ignore\n"
              "  Triple PZT       : No\n");
    EXPECT_EQ(bridge->ledProductId, CAN_PRODUCT_LED_B);
    EXPECT_EQ(info.can.ledPresent, 1);
    EXPECT_EQ(info.can.lastTurretFlags, 255);
    // Light off, then the light source's PWM frequency and set-up, then the
    // default range (1000, 4500).
    EXPECT_EQ(writes(61, 0x2001, 0), (std::vector<std::vector<uint8_t>>{{0, 0}}));
    const uint32_t freq = 41000;
    std::vector<uint8_t> freqBytes(4);
    std::memcpy(freqBytes.data(), &freq, 4);
    EXPECT_EQ(writes(61, 0x2006, 0), (std::vector<std::vector<uint8_t>>{freqBytes}));
    EXPECT_EQ(writes(61, 0x2000, 0), (std::vector<std::vector<uint8_t>>{{7}}));
    EXPECT_EQ(writes(61, 0x2002, 0), (std::vector<std::vector<uint8_t>>{{0xE8, 0x03}}));
    EXPECT_EQ(writes(61, 0x2004, 0), (std::vector<std::vector<uint8_t>>{{0x94, 0x11}}));

    // Required and present: no mark.
    info.dualBrushMotorPresent = true;
    can_take_node_requirements(&info);
    ASSERT_TRUE(sim->simcan_model_add(63, CAN_PRODUCT_BRMTR_D5, 0x00010000));
    messages.clear();
    ASSERT_EQ(can_init_basic_node_availability(&info), NO_ERROR);
    EXPECT_NE(messages.text().find("  Dual Brush Motor : Yes\n"), std::string::npos)
        << messages.text();
    // Present but not required: marked all the same.
    info.pztPresent = false;
    can_take_node_requirements(&info);
    ASSERT_TRUE(sim->simcan_model_add(62, 0x1062, 0x00010000));
    messages.clear();
    ASSERT_EQ(can_init_basic_node_availability(&info), NO_ERROR);
    EXPECT_NE(messages.text().find("  Triple PZT       : Yes, Ignore\n"), std::string::npos)
        << messages.text();
}

TEST_F(CanNodesTest, ProductIdsOutsideTheAcceptedListsAreRefusedInDecimal) {
    for (uint32_t product : {CAN_PRODUCT_LED_A, CAN_PRODUCT_LED_B, CAN_PRODUCT_LED_C}) {
        led_instrument(22, product);
        CapturedMessages quiet;
        EXPECT_EQ(can_led_family_on(&info, bridge), NO_ERROR) << std::hex << product;
    }
    for (uint32_t product : {0x12345678u, CAN_PRODUCT_LED_B - 1, CAN_PRODUCT_LED_B + 1}) {
        led_instrument(22, product);
        CapturedMessages messages;
        EXPECT_EQ(can_led_family_on(&info, bridge), ERR_CAN_INVALID_PRODUCTID);
        std::string want = " can_led_family_on: Invalid productID = " + std::to_string(product) +
                           " for CAN_NODE_ID_LED\n";
        EXPECT_NE(messages.text().find(want), std::string::npos) << messages.text();
    }
    // The dual brush motor's list, when the instrument needs it.
    led_instrument(22);
    info.dualBrushMotorPresent = true;
    can_take_node_requirements(&info);
    ASSERT_TRUE(sim->simcan_model_add(63, 0x12345678, 0x00010000));
    CapturedMessages messages;
    EXPECT_EQ(can_led_family_on(&info, bridge), ERR_CAN_INVALID_PRODUCTID);
    EXPECT_NE(messages.text().find(
                  " can_led_family_on: Invalid productID = 305419896 for CAN_NODE_ID_BRUSHMOTOR\n"),
              std::string::npos)
        << messages.text();
    ASSERT_TRUE(sim->simcan_model_add(63, CAN_PRODUCT_BRMTR_ENCODED, 0x00010000));
    messages.clear();
    EXPECT_EQ(can_led_family_on(&info, bridge), NO_ERROR) << messages.text();
    EXPECT_EQ(bridge->brushMotorProductId, CAN_PRODUCT_BRMTR_ENCODED);
}

TEST_F(CanNodesTest, NodeStateIsReadTenTimesThenTimesOut) {
    led_instrument(22);
    // Nine slow reads: the tenth finds the node operational.
    ASSERT_TRUE(sim->simcan_node_set_not_operational(61, 4, 9));
    sim->simcan_transcript_clear();
    {
        CapturedMessages messages;
        EXPECT_TRUE(wait_for_node_operational(61, "CAN_NODE_ID_LED")) << messages.text();
        EXPECT_EQ(messages.text(), "");
    }
    EXPECT_EQ(count_calls("CAN_GetNodeState"), 10);
    EXPECT_EQ(g_idle_calls.load(), 9);

    // Ten: the reads run out, 200 ms apart on the library's clock.
    ASSERT_TRUE(sim->simcan_node_set_not_operational(61, 4, 10));
    sim->simcan_transcript_clear();
    g_idle_calls = 0;
    CapturedMessages messages;
    int64_t start = plat_clock_ms();
    EXPECT_EQ(can_led_family_on(&info, bridge), ERR_CAN_LED_ERROR);
    EXPECT_GE(plat_clock_ms() - start, 9 * CAN_NODE_STATE_WAIT_MS);
    const std::string tail =
        " wait_for_node_operational: Timeout waiting for node CAN_NODE_ID_LED operational: "
        "CAN_GetNodeState status = 4\n";
    std::string text = messages.text();
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    // Node 127 took one read, node 61 all ten.
    EXPECT_EQ(count_calls("CAN_GetNodeState"), 11);
    EXPECT_EQ(g_idle_calls.load(), 9);
}

TEST_F(CanNodesTest, FindAndLibraryFailuresNameTheNode) {
    led_instrument(22);
    ASSERT_TRUE(sim->simcan_node_set_find_status(61, 1));
    {
        CapturedMessages messages;
        EXPECT_EQ(can_led_family_on(&info, bridge), ERR_CAN_LED_ERROR);
        EXPECT_NE(messages.text().find(" find_node: Error finding node CAN_NODE_ID_LED: "
                                       "CAN_FindNode status = 1\n"),
                  std::string::npos)
            << messages.text();
    }
    ASSERT_TRUE(sim->simcan_node_set_find_status(61, 2));
    // The product ID read fails: the node counts as not there.
    sim->simcan_sdo_fault(61, 0x1018, 2, SIMCAN_DIR_READ, CAN_OK, 0x06020000, 0, 1);
    {
        CapturedMessages messages;
        EXPECT_EQ(can_led_family_on(&info, bridge), ERR_CAN_LED_ERROR);
        EXPECT_NE(messages.text().find(" get_operational_node: Error getting node CAN_NODE_ID_LED "
                                       "product ID: ERR_CAN_ERROR\n"),
                  std::string::npos)
            << messages.text();
    }
    // Without a connection every library call fails with its own code.
    sim->simcan_drop_connection();
    CapturedMessages messages;
    EXPECT_FALSE(find_node(61, "CAN_NODE_ID_LED"));
    EXPECT_FALSE(wait_for_node_operational(61, "CAN_NODE_ID_LED"));
    EXPECT_EQ(can_init_basic_node_availability(&info), ERR_CAN_NOT_CONNECTED);
    EXPECT_EQ(can_qel_on(&info, bridge), ERR_CAN_NOT_CONNECTED);
    std::string text = messages.text();
    for (const char* line :
         {" find_node: Error finding node CAN_NODE_ID_LED: CAN_FindNode canErr = -2\n",
          " wait_for_node_operational: Error waiting for node CAN_NODE_ID_LED operational: "
          "CAN_GetNodeState canErr = -2\n",
          " can_init_basic_node_availability: CAN_EnumerateNodes canErr = -2\n",
          " can_qel_on: CAN_EnumerateNodes canErr = -2\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
}

TEST_F(CanNodesTest, MissingBrushMotorAndScannerChecks) {
    led_instrument(22);
    info.dualBrushMotorPresent = true;
    can_take_node_requirements(&info);
    {
        CapturedMessages messages;
        EXPECT_EQ(can_led_family_on(&info, bridge), ERR_CAN_NODE_MISSING);
        EXPECT_NE(messages.text().find(" Missing the CAN Dual Brush Motor node\n"),
                  std::string::npos);
    }
    info.dualBrushMotorPresent = false;
    can_take_node_requirements(&info);

    // A ramp scanner must show an amplitude on PI ramp 1.
    info.can.digitalScanner = 2;
    const float zero = 0;
    const float amplitude = 2.5f;
    ASSERT_TRUE(sim->simcan_object_set(127, 0x2041, 2, &zero, 4));
    {
        CapturedMessages messages;
        EXPECT_EQ(can_led_family_on(&info, bridge), ERR_CAN_DIGITAL_SCANNER_MISSING);
        EXPECT_NE(messages.text().find(
                      "Scanner verification failed. Verify connections and configuration.\n"),
                  std::string::npos);
    }
    EXPECT_EQ(object_byte(127, 0x2041, 1), 1);
    ASSERT_TRUE(sim->simcan_object_set(127, 0x2041, 2, &amplitude, 4));
    {
        CapturedMessages messages;
        EXPECT_EQ(can_led_family_on(&info, bridge), NO_ERROR) << messages.text();
    }
    sim->simcan_sdo_fault(127, 0x2041, 2, SIMCAN_DIR_READ, CAN_OK, 0x06090011, 0, 1);
    {
        CapturedMessages messages;
        EXPECT_EQ(can_led_family_on(&info, bridge), ERR_CAN_DIGITAL_SCANNER_MISSING);
    }

    // A scanner with DDL tables must load at least one.
    info.can.digitalScanner = 1;
    for (uint16_t tables : {0, 1}) {
        ASSERT_TRUE(sim->simcan_object_set(127, 0x2041, 20, &tables, 2));
        CapturedMessages messages;
        EXPECT_EQ(can_led_family_on(&info, bridge),
                  tables == 0 ? ERR_CAN_DIGITAL_SCANNER_MISSING : NO_ERROR);
        std::string loaded =
            "Loaded " + std::to_string(tables) + " PI 751 digital scanner DDL tables\n";
        EXPECT_NE(messages.text().find(loaded), std::string::npos) << messages.text();
        EXPECT_EQ(messages.text().find("Scanner verification failed") != std::string::npos,
                  tables == 0);
    }
}

TEST_F(CanNodesTest, PztFamilyNeedsBothRampNodesOperational) {
    led_instrument(29);
    {
        CapturedMessages messages;
        EXPECT_EQ(can_pzt_family_on(&info, bridge), ERR_CAN_NODE_MISSING);
        EXPECT_NE(messages.text().find(" Missing the CAN Triple PZT node\n"), std::string::npos);
    }
    ASSERT_TRUE(sim->simcan_model_add(62, 0x1062, 0x00010000));
    ASSERT_TRUE(sim->simcan_node_set_not_operational(62, 0, 10));
    {
        CapturedMessages messages;
        EXPECT_EQ(can_pzt_family_on(&info, bridge), ERR_CAN_RAMP_ERROR);
    }
    ASSERT_TRUE(sim->simcan_node_set_not_operational(127, 0, 10));
    {
        CapturedMessages messages;
        EXPECT_EQ(can_pzt_family_on(&info, bridge), ERR_CAN_RAMP_ERROR);
    }
    info.can.triplePztPresent = 0;
    CapturedMessages messages;
    EXPECT_EQ(can_bring_up_nodes(&info), NO_ERROR) << messages.text();
    EXPECT_EQ(info.can.triplePztPresent, 1);
    EXPECT_EQ(bridge->ledProductId, CAN_PRODUCT_LED_B);
}

// ---- QEL family ----------------------------------------------------------

TEST_F(CanNodesTest, QelBringUpPrintsEveryNodeAndSetsThemUp) {
    qel_instrument(30);
    info.cameraType = 29;
    info.diffDiskRate = -1;
    info.diffDiskFraction = 0.5;
    info.can.currentObjectiveValue = 20;
    CapturedMessages messages;
    ASSERT_EQ(can_bring_up_nodes(&info), NO_ERROR) << messages.text();
    EXPECT_EQ(messages.text(),
              "Instrument CAN node status:\n"
              "  Triple PZT          : Yes\n"
              "  Large Aperture      : Yes\n"
              "  Primary Wand        : Yes\n"
              "  Secondary Wand      : Yes\n"
              "  Zoom & Diffuser Disk: Yes\n"
              "  RoF & Diffuser Disk : Yes\n"
              "  Focus & ND Wheel    : Yes\n"
              "  Auxiliary Motor     : No\n");
    EXPECT_EQ(info.can.largeApertureInUse, 1);
    EXPECT_EQ(info.can.pztRampSelect, -1);
    // Disks switched on, keys enabled and remembered.
    EXPECT_EQ(object_byte(70, 0x2000, 0) & 1, 1);
    EXPECT_EQ(object_byte(68, 0x2000, 0) & 1, 1);
    for (uint8_t node : {70, 68, 64}) EXPECT_EQ(object_byte(node, 0x2044, 8), 0x02) << +node;
    EXPECT_EQ(bridge->zoomDiskKeypressMode, 0x02);
    EXPECT_EQ(bridge->ringSpotKeypressMode, 0x02);
    EXPECT_EQ(bridge->focusKeypressMode, 0x02);
    // The ND wheel was homed, the event made signalled.
    EXPECT_EQ(writes(64, 0x2020, 0), (std::vector<std::vector<uint8_t>>{{3}}));
    ASSERT_NE(info.can.ndwStoppedEvent, nullptr);
    EXPECT_EQ(plat_wait_one(info.can.ndwStoppedEvent, 0), 0);
    // Zoom disk: mode 0 and v / k = 40; ring/spot disk mode 1.
    EXPECT_EQ(writes(70, 0x2002, 0), (std::vector<std::vector<uint8_t>>{{0}}));
    float velocity = 0;
    ASSERT_TRUE(sim->simcan_object_get(70, 0x2004, 0, &velocity, 4));
    EXPECT_EQ(velocity, 40.0f);
    EXPECT_EQ(writes(68, 0x2002, 0), (std::vector<std::vector<uint8_t>>{{1}}));
    // Camera 29 sets the bridge output.
    EXPECT_EQ(writes(127, 0x6200, 1), (std::vector<std::vector<uint8_t>>{{1}}));
    // Without the encoded zoom enabled node 64 is not set up for it.
    EXPECT_TRUE(writes(64, 0x2019, 0).empty());
}

TEST_F(CanNodesTest, QelMissingNodesFailInOrderAndWandsNever) {
    struct Case {
        int32_t type;
        uint8_t absent;
        const char* line;
    };
    const Case cases[] = {
        {23, 62, "Missing the CAN Triple PZT node\n"},
        {23, 52, "Missing the CAN Large Aperture node\n"},
        {30, 70, "Missing the CAN Zoom & Diffuser Disk node\n"},
        {30, 64, "Missing the CAN Focus & ND Wheel node\n"},
        {26, 66, "Missing the CAN Auxiliary Motor node\n"},
    };
    for (const Case& c : cases) {
        qel_instrument(c.type);
        sim->simcan_node_remove(c.absent);
        CapturedMessages messages;
        EXPECT_EQ(can_bring_up_nodes(&info), ERR_CAN_NODE_MISSING) << c.line;
        const std::string text = messages.text();
        EXPECT_NE(text.find(std::string(" ") + c.line), std::string::npos) << text;
        fresh_bus();
    }
    // Only the first missing node is reported.
    qel_instrument(30);
    sim->simcan_node_remove(62);
    sim->simcan_node_remove(70);
    {
        CapturedMessages messages;
        EXPECT_EQ(can_bring_up_nodes(&info), ERR_CAN_NODE_MISSING);
        EXPECT_NE(messages.text().find("Missing the CAN Triple PZT node"), std::string::npos);
        EXPECT_EQ(messages.text().find("Missing the CAN Zoom"), std::string::npos);
    }
    fresh_bus();
    // A ring/spot disk the calibration asks for.
    qel_instrument(30);
    info.ringSpot = true;
    can_take_node_requirements(&info);
    sim->simcan_node_remove(68);
    {
        CapturedMessages messages;
        EXPECT_EQ(can_bring_up_nodes(&info), ERR_CAN_NODE_MISSING);
        EXPECT_NE(messages.text().find(" Missing the CAN Ring/Spot & Diffuser Disk node\n"),
                  std::string::npos);
    }
    ASSERT_TRUE(sim->simcan_model_add(68, 0x1068, 0x00040003));

    // Types 32 and 33 need neither the triple PZT nor the large aperture.
    info.systemType = 32;
    can_take_node_requirements(&info);
    sim->simcan_node_remove(62);
    sim->simcan_node_remove(52);
    // Wands: one absent, one that never comes up; neither fails.
    sim->simcan_node_remove(72);
    ASSERT_TRUE(sim->simcan_node_set_not_operational(73, 0, 10));
    CapturedMessages messages;
    EXPECT_EQ(can_bring_up_nodes(&info), NO_ERROR) << messages.text();
    EXPECT_NE(messages.text().find("  Primary Wand        : No\n"), std::string::npos);
    EXPECT_NE(messages.text().find("  Secondary Wand      : Yes\n"), std::string::npos);
    EXPECT_EQ(info.can.primaryWandPresent, 0);
    EXPECT_EQ(info.can.secondaryWandPresent, 0);
    EXPECT_EQ(info.can.triplePztRequired, 0);
    EXPECT_EQ(info.can.largeApertureRequired, 0);
}

TEST_F(CanNodesTest, QelNodeNotOperationalLosesPresenceAndGivesItsError) {
    struct Case {
        uint8_t node;
        int error;
    };
    for (const Case& c : {Case{62, ERR_CAN_TRIPLEPZT_ERROR}, Case{52, ERR_CAN_LARGEAP_ERROR},
                          Case{70, ERR_CAN_DD_ZOOM_ERROR}, Case{68, ERR_CAN_DD_RS_ERROR},
                          Case{64, ERR_CAN_FOCUS_NDW_ERROR}}) {
        qel_instrument(30);
        ASSERT_TRUE(sim->simcan_node_set_not_operational(c.node, 0, 10));
        CapturedMessages messages;
        EXPECT_EQ(can_bring_up_nodes(&info), c.error) << +c.node;
        uint8_t present = 1;
        switch (c.node) {
            case 62:
                present = info.can.triplePztPresent;
                break;
            case 52:
                present = info.can.largeAperturePresent;
                break;
            case 70:
                present = info.can.zoomDiskPresent;
                break;
            case 68:
                present = info.can.ringSpotPresent;
                break;
            case 64:
                present = info.can.focusNdwPresent;
                break;
        }
        EXPECT_EQ(present, 0) << +c.node;
        ASSERT_TRUE(sim->simcan_node_set_not_operational(c.node, 0, 0));
    }
    // The auxiliary motor of type 26.
    qel_instrument(26);
    ASSERT_TRUE(sim->simcan_model_add(66, 0x1066, 0x00010000));
    ASSERT_TRUE(sim->simcan_node_set_not_operational(66, 0, 10));
    CapturedMessages messages;
    EXPECT_EQ(can_bring_up_nodes(&info), ERR_CAN_AUX_MOTOR_ERROR);
}

TEST_F(CanNodesTest, FailureAfterTheDisksWereSwitchedOnSwitchesBothOff) {
    qel_instrument(30);
    ASSERT_TRUE(sim->simcan_model_param(64, "home_result", 0x10));  // home search fails
    CapturedMessages messages;
    EXPECT_EQ(can_bring_up_nodes(&info), ERR_CAN_NDW_HOME_ERROR);
    EXPECT_NE(messages.text().find(" can_qel_on: Error homing the ND wheel\n"), std::string::npos)
        << messages.text();
    // Each disk was switched on, then off again.
    EXPECT_EQ(writes(70, 0x2000, 0), (std::vector<std::vector<uint8_t>>{{1}, {0}}));
    EXPECT_EQ(writes(68, 0x2000, 0), (std::vector<std::vector<uint8_t>>{{1}, {0}}));
}

TEST_F(CanNodesTest, AuxiliaryMotorOfType26IsParkedAndTheBridgeOutputSet) {
    qel_instrument(26);
    ASSERT_TRUE(sim->simcan_model_add(66, 0x1066, 0x00010000));
    ASSERT_TRUE(sim->simcan_model_param(66, "move_ms", 300));
    sim->simcan_transcript_clear();
    CapturedMessages messages;
    ASSERT_EQ(can_bring_up_nodes(&info), NO_ERROR) << messages.text();
    const int16_t current = -500;
    std::vector<uint8_t> bytes(2);
    std::memcpy(bytes.data(), &current, 2);
    EXPECT_EQ(writes(66, 0x2034, 0), (std::vector<std::vector<uint8_t>>{bytes}));
    EXPECT_EQ(writes(127, 0x6200, 1), (std::vector<std::vector<uint8_t>>{{4}}));
}

// ---- Run-time copies and the zoom disk's velocity --------------------------

TEST_F(CanNodesTest, BringUpChangesOnlyTheRunTimeCopiesOfTheCalibration) {
    qel_instrument(32);
    info.turret[1] = 4;
    info.cameraType = 29;
    info.macAddressSet = true;
    SbCalibration before = info;
    std::string written;
    {
        CapturedMessages quiet;  // the writer's own complaints, the same both times
        sb_format_cal(before, "cal.txt", false, &written);
    }
    can_take_node_requirements(&info);
    EXPECT_EQ(info.can.turretPositions, 4);
    CapturedMessages messages;
    ASSERT_EQ(can_bring_up_nodes(&info), NO_ERROR) << messages.text();
    // The ring/spot disk found is needed from now on; 32 needs no PZT nodes.
    EXPECT_EQ(info.can.ringSpotRequired, 1);
    EXPECT_EQ(info.can.triplePztRequired, 0);
    EXPECT_EQ(info.can.largeApertureRequired, 0);
    // The calibration itself, and what saving it writes, are unchanged.
    EXPECT_TRUE(static_cast<const SbCalibration&>(info) == before);
    std::string after;
    {
        CapturedMessages quiet;
        sb_format_cal(info, "cal.txt", false, &after);
    }
    EXPECT_EQ(after, written);
    EXPECT_EQ(after.find("RingSpot"), std::string::npos);
    EXPECT_EQ(after.find("Ignore"), std::string::npos);
    // The next power-on starts from the calibration again.
    can_take_node_requirements(&info);
    EXPECT_EQ(info.can.ringSpotRequired, 0);
    EXPECT_EQ(info.can.triplePztRequired, 1);
}

TEST(CanZoomDiskVelocity, ConfiguredRateObjectiveBandsAndUnusableFactors) {
    SystemInfo info;
    info.diffDiskRate = 120;
    info.can.currentObjectiveValue = 20;
    EXPECT_EQ(can_zoom_disk_velocity(&info), 120);
    info.diffDiskRate = -1;
    info.diffDiskFraction = 0.5;
    struct Case {
        double v;
        double want;
    };
    const Case cases[] = {
        {0, 64},        // unknown objective
        {-3, 64},       // not a value the table holds
        {30, 60},       // v / k up to 30
        {30.5, 15.25},  // v x k above it
        {75, 37.5},     // up to 75
        {75.5, 64},     // above 75
        {std::numeric_limits<double>::quiet_NaN(), 64},
    };
    for (const Case& c : cases) {
        info.can.currentObjectiveValue = c.v;
        EXPECT_DOUBLE_EQ(can_zoom_disk_velocity(&info), c.want) << c.v;
    }
    // A factor that is not positive and finite gives the default, never an
    // infinite or negative rate.
    info.can.currentObjectiveValue = 20;
    for (double k : {0.0, -0.85, std::numeric_limits<double>::infinity(),
                     std::numeric_limits<double>::quiet_NaN()}) {
        info.diffDiskFraction = k;
        EXPECT_EQ(can_zoom_disk_velocity(&info), 64) << k;
    }
    info.diffDiskFraction = 1e-300;  // tiny but positive: the rule applies
    EXPECT_GT(can_zoom_disk_velocity(&info), 1e300);
}

}  // namespace
