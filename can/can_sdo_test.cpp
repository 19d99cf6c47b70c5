#include "can/can_sdo.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "can/can_bridge.h"
#include "can/can_events.h"
#include "can/can_lib.h"
#include "can/can_sleep.h"
#include "common/abort.h"
#include "common/status.h"
#include "common/testing/capture_sink.h"
#include "config/rampfile.h"
#include "config/sysinfo.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "sim/can/testing/simcan_session.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A connected simulated bridge, an empty SDO transcript and a CAN instrument
// record with a bridge record.
class CanSdoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim = simcan_session();
        ASSERT_NE(sim, nullptr);
        simcan_session_reset();
        api = can_api();
        ASSERT_NE(api, nullptr);
        const uint8_t ip[4] = {192, 168, 10, 20};
        uint32_t ipv4 = 0;
        std::memcpy(&ipv4, ip, 4);
        ASSERT_EQ(api->CAN_Connect(ipv4), CAN_OK);
        info.instrBdType = SB_BOARD_CAN;
        can_bridge_info_create(&info);
        set_firmware(1, 12);
        sim->simcan_transcript_clear();
    }
    void TearDown() override { simcan_session_reset(); }

    void set_firmware(uint8_t major, uint8_t minor) {
        info.canInfo->firmwareMajor = major;
        info.canInfo->firmwareMinor = minor;
    }
    void object(uint8_t node, uint16_t index, uint8_t sub, uint32_t size,
                int access = SIMCAN_READ_WRITE, const void* initial = nullptr) {
        if (node != 127 && !nodes[node]) {
            ASSERT_TRUE(sim->simcan_node_add(node, 0x1234, 0x00010000));
            nodes[node] = true;
        }
        ASSERT_TRUE(sim->simcan_object_add(node, index, sub, size, access, initial));
    }
    std::vector<SimCanRecord> sdos() { return simcan_sdo_transcript(); }
    // Bytes of the only SDO transfer made, which must be a write of (node, index, sub).
    Bytes only_write(uint8_t node, uint16_t index, uint8_t sub) {
        std::vector<SimCanRecord> records = sdos();
        EXPECT_EQ(records.size(), 1u);
        if (records.size() != 1) return {};
        EXPECT_EQ(records[0].node, node);
        EXPECT_EQ(records[0].index, index);
        EXPECT_EQ(records[0].subIndex, sub);
        EXPECT_EQ(records[0].direction, SIMCAN_DIR_WRITE);
        return simcan_record_bytes(records[0].entry);
    }

    SimCan* sim = nullptr;
    const CanApi* api = nullptr;
    SystemInfo info;
    bool nodes[128] = {};
};

TEST_F(CanSdoTest, NodeAbortGivesTheAccessorsOwnErrorWithTheAbortCode) {
    object(68, 0x2000, 0, 1);
    info.can.ringSpotPresent = 1;
    sim->simcan_sdo_fault(68, 0x2000, 0, SIMCAN_DIR_READ, CAN_OK, 0x06090011, 0, 1);
    CapturedMessages messages;
    uint8_t control = 0;
    EXPECT_EQ(can_read_rs_dd_control(&info, &control), ERR_CAN_SDO_ROF_ERROR);
    EXPECT_EQ(messages.text(),
              "can_sdo_read2 called by can_read_dmd_motor1_control: err=ERR_CAN_SDO_DMD_ERROR, "
              "result=0, abortcode=06090011\n");
    // The same abort on the zoom disk and the ND wheel gives theirs.
    object(70, 0x2000, 0, 1);
    object(64, 0x2028, 0, 2);
    info.can.zoomDiskPresent = 1;
    info.can.focusNdwPresent = 1;
    sim->simcan_sdo_fault(SIMCAN_ANY, SIMCAN_ANY, SIMCAN_ANY, SIMCAN_ANY, CAN_OK, 0x06090011, 0, 2);
    EXPECT_EQ(can_read_zoom_dd_control(&info, &control), ERR_CAN_SDO_ZOOM_ERROR);
    uint16_t level = 0;
    EXPECT_EQ(can_read_ndw_llcLevel(&info, &level, false), ERR_CAN_SDO_NDW_ERROR);
}

TEST_F(CanSdoTest, LibraryFailureGivesTheMappedCodeWithoutAbortPart) {
    object(68, 0x2000, 0, 1);
    info.can.ringSpotPresent = 1;
    ASSERT_EQ(api->CAN_Disconnect(), CAN_OK);
    CapturedMessages messages;
    uint8_t control = 0;
    EXPECT_EQ(can_read_rs_dd_control(&info, &control), ERR_CAN_NOT_CONNECTED);
    EXPECT_EQ(messages.text(),
              "can_sdo_read2 called by can_read_dmd_motor1_control: err=ERR_CAN_NOT_CONNECTED\n");
    // Writes report the same, time-stamped.
    messages.clear();
    EXPECT_EQ(can_write_rs_dd_control(&info, 1), ERR_CAN_NOT_CONNECTED);
    std::string text = messages.text();
    const std::string tail =
        " can_sdo_write2 called by can_write_dmd_motor1_control: err=ERR_CAN_NOT_CONNECTED\n";
    ASSERT_GT(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

TEST_F(CanSdoTest, WriteAbortIsStampedAndReadsBackNothing) {
    object(61, 0x2001, 0, 2, SIMCAN_READ);  // read-only: the node aborts the write
    CapturedMessages messages;
    EXPECT_EQ(can_write_llc(&info, 5, false), ERR_CAN_SDO_LED_ERROR);
    EXPECT_NE(messages.text().find(" can_sdo_write2 called by can_write_llc: "
                                   "err=ERR_CAN_SDO_LED_ERROR, result=0, abortcode=06010002\n"),
              std::string::npos)
        << messages.text();
}

TEST_F(CanSdoTest, SimulatedDelayRunsOnTheSharedScaledClock) {
    double scale = plat_clock_scale();
    plat_set_clock_scale(100);
    object(61, 0x2001, 0, 2);
    sim->simcan_sdo_fault(61, 0x2001, 0, SIMCAN_DIR_READ, CAN_ERR_TIMEOUT, 0, 2000, 1);
    CapturedMessages messages;
    uint16_t level = 0;
    int64_t start = plat_clock_ms();
    int err = can_read_llc(&info, &level, false);
    int64_t elapsed = plat_clock_ms() - start;
    plat_set_clock_scale(scale);
    EXPECT_EQ(err, ERR_CAN_TIMEOUT);
    EXPECT_GE(elapsed, 2000);
    // A library on a clock of its own would take 2 real seconds, 200 s here.
    EXPECT_LT(elapsed, 60000);
    EXPECT_EQ(messages.text(), "can_sdo_read2 called by can_read_llc: err=ERR_CAN_TIMEOUT\n");
}

TEST_F(CanSdoTest, ValuesOutsideTheirRangeAreRefusedWithoutTransfer) {
    CapturedMessages messages;
    EXPECT_EQ(can_write_ramp_select(&info, 4), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(can_write_ramp_select(&info, -1), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(can_write_ramp_rate(&info, 0, 200.5), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(can_write_ramp_rate(&info, 0, -0.5), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(can_write_ramp_rate(&info, 0, NAN), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(can_write_llc_avgcurlmt(&info, 1001), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(can_write_llc_fwdvlt(&info, 10001), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(can_write_syncgen(&info, 100000.5), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(can_write_pifoc_offset(&info, 0x10000, false), ERR_PARAM_OUT_OF_RANGE);
    info.can.digitalScanner = 1;
    EXPECT_EQ(can_write_pi_ramp_select(&info, 0), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(can_write_pi_ramp_select(&info, 16), ERR_PARAM_OUT_OF_RANGE);
    info.can.digitalScanner = 2;
    EXPECT_EQ(can_write_pi_ramp_select(&info, 101), ERR_PARAM_OUT_OF_RANGE);
    info.can.digitalScanner = 0;
    EXPECT_EQ(can_write_pi_ramp_select(&info, 1), ERR_INVALID_PARAM);  // no PI scanner
    EXPECT_EQ(can_write_dmd_motor1_targetVel(&info, 70, 9.9), ERR_INVALID_PARAM);
    EXPECT_EQ(can_write_dmd_motor1_targetVel(&info, 70, 10000.5), ERR_INVALID_PARAM);
    EXPECT_EQ(can_write_dmd_motor1_mode(&info, 70, -1), ERR_INVALID_PARAM);
    EXPECT_EQ(messages.text(), "can_write_dmd_motor1_mode: invalid mode=-1\n");
    messages.clear();
    EXPECT_EQ(can_write_dmd_motor1_mode(&info, 70, 5), ERR_INVALID_PARAM);
    EXPECT_EQ(messages.text(), "can_write_dmd_motor1_mode: invalid mode=5\n");
    EXPECT_TRUE(sdos().empty());

    // The limits themselves are taken.
    object(127, 0x2001, 0, 1);
    object(127, 0x2003, 4, 4);
    object(61, 0x2002, 0, 2);
    object(61, 0x2004, 0, 2);
    object(70, 0x2002, 0, 1);
    object(70, 0x2004, 0, 4);
    object(127, 0x2041, 1, 1);
    EXPECT_EQ(can_write_ramp_select(&info, 3), NO_ERROR);
    EXPECT_EQ(can_write_ramp_rate(&info, 0, 200), NO_ERROR);
    EXPECT_EQ(can_write_llc_avgcurlmt(&info, 1000), NO_ERROR);
    EXPECT_EQ(can_write_llc_fwdvlt(&info, 10000), NO_ERROR);
    EXPECT_EQ(can_write_dmd_motor1_mode(&info, 70, 4), NO_ERROR);
    EXPECT_EQ(can_write_dmd_motor1_targetVel(&info, 70, 10), NO_ERROR);
    EXPECT_EQ(can_write_dmd_motor1_targetVel(&info, 70, 10000), NO_ERROR);
    info.can.digitalScanner = 1;
    EXPECT_EQ(can_write_pi_ramp_select(&info, 15), NO_ERROR);
    info.can.digitalScanner = 2;
    EXPECT_EQ(can_write_pi_ramp_select(&info, 100), NO_ERROR);
}

TEST_F(CanSdoTest, AbsentNodeAndWrongInterfaceMakeNoTransfer) {
    object(68, 0x2000, 0, 1);
    CapturedMessages messages;
    uint8_t control = 0;
    EXPECT_EQ(can_read_rs_dd_control(&info, &control), ERR_CAN_NODE_NOT_AVAIL);
    const std::string tail =
        " can_read_rs_dd_control: CAN Ring-of-Fire and Diffuser Disk node "
        "is not available\n";
    std::string text = messages.text();
    ASSERT_GT(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    info.can.ringSpotPresent = 1;
    info.instrBdType = SB_BOARD_SERIAL1;
    EXPECT_EQ(can_read_rs_dd_control(&info, &control), ERR_INVALID_PARAM);
    EXPECT_EQ(can_write_llc(&info, 1, false), ERR_WRONG_INSTR_BOARD);
    EXPECT_TRUE(sdos().empty());
}

TEST_F(CanSdoTest, WireBytesOfValueConversions) {
    object(61, 0x2001, 0, 2);
    ASSERT_EQ(can_write_llc(&info, 1000, true), NO_ERROR);
    EXPECT_EQ(only_write(61, 0x2001, 0), (Bytes{0x17, 0xFC}));
    uint16_t level = 0;
    ASSERT_EQ(can_read_llc(&info, &level, true), NO_ERROR);
    EXPECT_EQ(level, 1000);

    sim->simcan_transcript_clear();
    object(127, 0x2005, 4, 4);
    ASSERT_EQ(can_write_ramp_rate(&info, 2, 12.5), NO_ERROR);
    EXPECT_EQ(only_write(127, 0x2005, 4), (Bytes{0x00, 0x50, 0x43, 0x46}));

    sim->simcan_transcript_clear();
    object(127, 0x2030, 0, 4);
    ASSERT_EQ(can_write_syncgen(&info, 60), NO_ERROR);
    EXPECT_EQ(only_write(127, 0x2030, 0), (Bytes{0x00, 0x00, 0x70, 0x42}));
}

rr_ramp_hdr_t ramp_header(int32_t start, float rate, float clockKhz) {
    rr_ramp_hdr_t header{};
    header.trigStartAddr = start;
    header.cameraRate = rate;
    header.sampleClkFreq = clockKhz;
    return header;
}

TEST_F(CanSdoTest, RampTriggerFrameNumberAndItsRange) {
    object(127, 0x2003, 2, 2);
    rr_ramp_hdr_t header = ramp_header(1000, 60, 10);
    ASSERT_EQ(can_write_ramp_trigger(&info, 0, &header), NO_ERROR);
    EXPECT_EQ(only_write(127, 0x2003, 2), (Bytes{0x06, 0x00}));

    // 255 is the last frame taken (42500 x 60 / 10000 = 255).
    sim->simcan_transcript_clear();
    header = ramp_header(42500, 60, 10);
    ASSERT_EQ(can_write_ramp_trigger(&info, 0, &header), NO_ERROR);
    EXPECT_EQ(only_write(127, 0x2003, 2), (Bytes{0xFF, 0x00}));

    sim->simcan_transcript_clear();
    CapturedMessages messages;
    header = ramp_header(50000, 60, 10);
    EXPECT_EQ(can_write_ramp_trigger(&info, 0, &header), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(messages.text(),
              "can_write_ramp_trigger: calculated frameNumber=300 outside of valid range\n");
    // 256 (42667 x 60 / 10000 = 256.002), a product beyond the int range, a
    // zero sample clock and a negative start: refused, never wrapped.
    header = ramp_header(42667, 60, 10);
    EXPECT_EQ(can_write_ramp_trigger(&info, 0, &header), ERR_PARAM_OUT_OF_RANGE);
    messages.clear();
    header = ramp_header(2000000000, 60000, 0.001f);
    EXPECT_EQ(can_write_ramp_trigger(&info, 0, &header), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(messages.text(),
              "can_write_ramp_trigger: calculated frameNumber=2147483647 "
              "outside of valid range\n");
    header = ramp_header(1000, 60, 0);
    EXPECT_EQ(can_write_ramp_trigger(&info, 0, &header), ERR_PARAM_OUT_OF_RANGE);
    header = ramp_header(-1000, 60, 10);
    EXPECT_EQ(can_write_ramp_trigger(&info, 0, &header), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(can_write_ramp_trigger(&info, 0, nullptr), ERR_NO_RAMP_INFO);  // no ramp loaded
    EXPECT_TRUE(sdos().empty());
}

TEST_F(CanSdoTest, PztTriggerDoublesOnType25AndStopsAt16383) {
    info.can.rampMux = 0;
    info.can.triplePztPresent = 1;
    object(62, 0x2004, 2, 2);
    info.systemType = 25;
    rr_ramp_hdr_t header = ramp_header(1000, 60, 10);
    ASSERT_EQ(can_write_pztramp_trigger(&info, 1, &header), NO_ERROR);
    EXPECT_EQ(only_write(62, 0x2004, 2), (Bytes{13, 0}));
    info.systemType = 23;
    sim->simcan_transcript_clear();
    header = ramp_header(2730500, 60, 10);  // 16383
    ASSERT_EQ(can_write_pztramp_trigger(&info, 1, &header), NO_ERROR);
    EXPECT_EQ(only_write(62, 0x2004, 2), (Bytes{0xFF, 0x3F}));
    sim->simcan_transcript_clear();
    CapturedMessages messages;
    header = ramp_header(2730667, 60, 10);  // 16384
    EXPECT_EQ(can_write_pztramp_trigger(&info, 1, &header), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(messages.text(),
              "can_write_pztramp_trigger: calculated frameNumber=16384 outside "
              "of valid range [0,16383]\n");
    EXPECT_TRUE(sdos().empty());
}

TEST_F(CanSdoTest, PztNodeChosenByRampMux) {
    object(62, 0x2000, 0, 1);
    object(52, 0x2000, 0, 1);
    CapturedMessages messages;
    info.can.rampMux = 0;
    EXPECT_EQ(can_pztramp_start(&info), ERR_CAN_NODE_NOT_AVAIL);
    info.can.rampMux = 1;
    EXPECT_EQ(can_pztramp_start(&info), ERR_CAN_NODE_NOT_AVAIL);
    info.can.rampMux = 2;
    EXPECT_EQ(can_pztramp_start(&info), ERR_INVALID_PARAM);
    EXPECT_EQ(messages.text(),
              "The triple PZT node is not available\n"
              "The large aperture PZT power node is not available\n"
              "Invalid parameter si->rampMux=2\n");
    EXPECT_TRUE(sdos().empty());
    info.can.triplePztPresent = 1;
    info.can.largeAperturePresent = 1;
    info.can.rampMux = 1;
    sim->simcan_sdo_fault(52, SIMCAN_ANY, SIMCAN_ANY, SIMCAN_ANY, CAN_OK, 0x06090011, 0, 1);
    EXPECT_EQ(can_pztramp_start(&info), ERR_CAN_SDO_LAP_ERROR);
    info.can.rampMux = 0;
    sim->simcan_transcript_clear();
    EXPECT_EQ(can_pztramp_start(&info), NO_ERROR);
    EXPECT_EQ(only_write(62, 0x2000, 0), (Bytes{1}));
}

TEST_F(CanSdoTest, RampDataIsOneZeroPaddedBlock) {
    object(127, 0x2003, 5, CAN_RAMP_BLOCK_BYTES);
    std::vector<uint16_t> samples(CAN_RAMP_MAX_POINTS + 1, 0xABCD);
    CapturedMessages messages;
    EXPECT_EQ(can_write_ramp_data(&info, 0, samples.data(), CAN_RAMP_MAX_POINTS + 1),
              ERR_PARAM_OUT_OF_RANGE);
    EXPECT_TRUE(sdos().empty());
    ASSERT_EQ(can_write_ramp_data(&info, 0, samples.data(), 3), NO_ERROR);
    Bytes sent = only_write(127, 0x2003, 5);
    ASSERT_EQ(sent.size(), CAN_RAMP_BLOCK_BYTES);
    EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 8),
              (Bytes{0xCD, 0xAB, 0xCD, 0xAB, 0xCD, 0xAB, 0, 0}));
    for (size_t i = 6; i < sent.size(); ++i) ASSERT_EQ(sent[i], 0) << i;
    sim->simcan_transcript_clear();
    ASSERT_EQ(can_write_ramp_data(&info, 0, samples.data(), CAN_RAMP_MAX_POINTS), NO_ERROR);
    sent = only_write(127, 0x2003, 5);
    ASSERT_EQ(sent.size(), CAN_RAMP_BLOCK_BYTES);
    EXPECT_EQ(sent[CAN_RAMP_BLOCK_BYTES - 1], 0xAB);
}

TEST_F(CanSdoTest, ZoomPositionsOfTheTwoBrushMotorProducts) {
    const uint8_t raw0 = 0;
    object(63, 0x2012, 0, 1, SIMCAN_READ_WRITE, &raw0);
    info.zoom = 1;
    info.canInfo->brushMotorProductId = CAN_PRODUCT_BRMTR_ENCODED;
    const int expected[8] = {0, 6, 5, 4, 3, 2, 1, 7};
    for (uint8_t raw = 0; raw < 8; ++raw) {
        ASSERT_TRUE(sim->simcan_object_set(63, 0x2012, 0, &raw, 1));
        int32_t position = -1;
        ASSERT_EQ(can_read_zoom(&info, &position), NO_ERROR);
        EXPECT_EQ(position, expected[raw]) << int(raw);
    }
    uint8_t raw = 8;
    ASSERT_TRUE(sim->simcan_object_set(63, 0x2012, 0, &raw, 1));
    int32_t position = -1;
    EXPECT_EQ(can_read_zoom(&info, &position), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(position, 0);

    info.canInfo->brushMotorProductId = CAN_PRODUCT_BRMTR_D5;
    raw = 15;
    ASSERT_TRUE(sim->simcan_object_set(63, 0x2012, 0, &raw, 1));
    ASSERT_EQ(can_read_zoom(&info, &position), NO_ERROR);
    EXPECT_EQ(position, CAN_ZOOM_NO_POSITION);
    raw = 14;
    ASSERT_TRUE(sim->simcan_object_set(63, 0x2012, 0, &raw, 1));
    ASSERT_EQ(can_read_zoom(&info, &position), NO_ERROR);
    EXPECT_EQ(position, 14);
    info.zoom = 0;
    EXPECT_EQ(can_read_zoom(&info, &position), ERR_ZOOM_NOT_AVAILABLE);
}

TEST_F(CanSdoTest, AllZoomPositionsFillAtMostTheSixEntries) {
    const uint8_t raw[6] = {1, 15, 3, 4, 5, 6};
    object(63, 0x2015, 0, 6, SIMCAN_READ_WRITE, raw);
    info.zoom = 1;
    info.canInfo->brushMotorProductId = CAN_PRODUCT_BRMTR_D5;
    info.can.zoomPositions = 7;               // a 3-bit count above the table's size
    info.canInfo->ledProductId = 0x11223344;  // the field after the table
    ASSERT_EQ(can_read_all_zoom(&info), NO_ERROR);
    EXPECT_EQ(info.canInfo->ledProductId, 0x11223344u);
    const int32_t all[6] = {1, -2, 3, 4, 5, 6};
    EXPECT_TRUE(std::equal(all, all + 6, info.canInfo->zoomPositions));
    info.can.zoomPositions = 3;
    ASSERT_EQ(can_read_all_zoom(&info), NO_ERROR);
    const int32_t three[6] = {1, -2, 3, -2, -2, -2};
    EXPECT_TRUE(std::equal(three, three + 6, info.canInfo->zoomPositions));
    info.canInfo->brushMotorProductId = CAN_PRODUCT_BRMTR_ENCODED;
    sim->simcan_transcript_clear();
    EXPECT_EQ(can_read_all_zoom(&info), ERR_INVALID_PARAM);
    EXPECT_TRUE(sdos().empty());
}

TEST_F(CanSdoTest, FrameGrabberTriggerSizeByFirmware) {
    object(127, 0x2010, 5, 2, SIMCAN_READ_WRITE | SIMCAN_VARIABLE_SIZE);
    struct Case {
        uint8_t major, minor;
        Bytes sent;
    };
    const Case cases[] = {
        {1, 11, {0x34}}, {1, 12, {0x34, 0x12}}, {2, 0, {0x34, 0x12}}, {0, 12, {0x34}}};
    for (const Case& c : cases) {
        set_firmware(c.major, c.minor);
        sim->simcan_transcript_clear();
        ASSERT_EQ(can_write_fg_trigger(&info, 0x1234), NO_ERROR);
        EXPECT_EQ(only_write(127, 0x2010, 5), c.sent) << int(c.major) << "." << int(c.minor);
    }
}

TEST_F(CanSdoTest, AlignmentDiodeByFirmware) {
    const uint8_t outputs = 0x05;
    object(127, 0x6200, 1, 1, SIMCAN_READ_WRITE, &outputs);
    object(127, 0x6240, 1, 1);
    object(127, 0x6220, 1, 1);
    set_firmware(0, 99);
    ASSERT_EQ(can_set_align_illumination_diode(&info, true), NO_ERROR);
    EXPECT_TRUE(sdos().empty());

    set_firmware(10, 8);
    ASSERT_EQ(can_set_align_illumination_diode(&info, true), NO_ERROR);
    std::vector<SimCanRecord> records = sdos();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].direction, SIMCAN_DIR_READ);
    EXPECT_EQ(records[0].index, 0x6200);
    EXPECT_EQ(simcan_record_bytes(records[1].entry), (Bytes{0x04}));
    EXPECT_EQ(records[1].index, 0x6200);

    set_firmware(10, 9);
    sim->simcan_transcript_clear();
    ASSERT_EQ(can_set_align_illumination_diode(&info, false), NO_ERROR);
    records = sdos();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].index, 0x6240);
    EXPECT_EQ(simcan_record_bytes(records[0].entry), (Bytes{1}));
    EXPECT_EQ(records[1].index, 0x6220);
    EXPECT_EQ(simcan_record_bytes(records[1].entry), (Bytes{0}));
}

TEST_F(CanSdoTest, HomingThatNeverLeavesTheSearchTimesOutAtTheLimit) {
    double scale = plat_clock_scale();
    if (std::getenv("SURF_CLOCK_SCALE") == nullptr) plat_set_clock_scale(50);
    info.can.focusNdwPresent = 1;
    object(64, 0x2020, 0, 1);
    const uint8_t searching = 0x08;
    object(64, 0x2021, 0, 1, SIMCAN_READ_WRITE, &searching);
    CapturedMessages messages;
    static std::atomic<int> idles{0};
    idles = 0;
    UIdleHook previous = u_set_idle_hook([] { ++idles; });
    int err = can_home_ndw(&info, true, 10000);
    u_set_idle_hook(previous);
    plat_set_clock_scale(scale);
    EXPECT_EQ(err, ERR_CAN_NDW_HOME_ERROR);
    EXPECT_EQ(messages.text(), "can_home_ndw: timeout waiting for home search, time=10000 ms\n");
    // The application's idle work runs after every polling sleep.
    EXPECT_EQ(idles.load(), 100);
    int statusReads = 0;
    for (const SimCanRecord& r : sdos())
        if (r.index == 0x2021 && r.direction == SIMCAN_DIR_READ) ++statusReads;
    EXPECT_EQ(statusReads, 100);
}

TEST_F(CanSdoTest, HomingFailureStatusAndMoveToInitialPosition) {
    double scale = plat_clock_scale();
    if (std::getenv("SURF_CLOCK_SCALE") == nullptr) plat_set_clock_scale(50);
    info.can.focusNdwPresent = 1;
    object(64, 0x2020, 0, 1);
    uint8_t status = 0x10;
    object(64, 0x2021, 0, 1, SIMCAN_READ_WRITE, &status);
    CapturedMessages messages;
    EXPECT_EQ(can_home_ndw(&info, true, 1000), ERR_CAN_NDW_HOME_ERROR);
    EXPECT_EQ(messages.text(), "can_home_ndw: llcHomeStatus=16\n");
    // Homed but still moving: the second phase runs out of the same budget.
    messages.clear();
    status = 0x02;
    ASSERT_TRUE(sim->simcan_object_set(64, 0x2021, 0, &status, 1));
    EXPECT_EQ(can_home_ndw(&info, true, 300), ERR_CAN_NDW_HOME_ERROR);
    EXPECT_EQ(messages.text(),
              "can_home_ndw: timeout waiting for move to initial position, time=300 ms\n");
    status = 0x00;
    ASSERT_TRUE(sim->simcan_object_set(64, 0x2021, 0, &status, 1));
    EXPECT_EQ(can_home_ndw(&info, true, 300), NO_ERROR);
    plat_set_clock_scale(scale);
}

TEST_F(CanSdoTest, MotorCurrentWriteFailsWhenItsReadFails) {
    object(66, 0x2034, 0, 2);  // no 0x2036: the read aborts
    EXPECT_EQ(can_write_dmd_motor2_current(&info, 66, 100), ERR_CAN_SDO_DMD_ERROR);
    std::vector<SimCanRecord> records = sdos();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].index, 0x2036);
    EXPECT_EQ(records[0].abortCode, 0x06020000u);
}

TEST_F(CanSdoTest, IdentityAndFirmwareVersionOfANode) {
    sim->simcan_node_add(61, 0xCAFE0001, 0x0003000B);
    uint32_t product = 0;
    ASSERT_EQ(can_read_productID(&info, 61, &product), NO_ERROR);
    EXPECT_EQ(product, 0xCAFE0001u);
    int major = 0, minor = 0;
    ASSERT_EQ(can_read_version(&info, 61, &major, &minor), NO_ERROR);
    EXPECT_EQ(major, 3);
    EXPECT_EQ(minor, 11);
    EXPECT_EQ(can_read_productID(&info, 99, &product), ERR_CAN_TIMEOUT);  // nobody answers
}

// Restores the clock scale a test raised (unless the run sets it).
class FastClock {
  public:
    FastClock() : scale_(plat_clock_scale()) {
        if (std::getenv("SURF_CLOCK_SCALE") == nullptr) plat_set_clock_scale(50);
    }
    ~FastClock() { plat_set_clock_scale(scale_); }

  private:
    double scale_;
};

int count_reads(const std::vector<SimCanRecord>& records, uint8_t node, uint16_t index) {
    int n = 0;
    for (const SimCanRecord& r : records)
        if (r.node == node && r.index == index && r.direction == SIMCAN_DIR_READ) ++n;
    return n;
}

TEST_F(CanSdoTest, PiScannerTakesOverTheRampObjects) {
    info.can.digitalScanner = 2;
    object(127, 0x2041, 1, 1);
    object(127, 0x2041, 6, 1);
    const uint8_t busy[2] = {5, 0};
    object(127, 0x2041, 11, 2, SIMCAN_READ_WRITE, busy);
    object(127, 0x2040, 0, 2);
    // Bridge ramp 0 is the scanner's ramp 1.
    ASSERT_EQ(can_write_ramp_select(&info, 0), NO_ERROR);
    EXPECT_EQ(only_write(127, 0x2041, 1), (Bytes{1}));
    sim->simcan_transcript_clear();
    ASSERT_EQ(can_ramp_start(&info), NO_ERROR);
    EXPECT_EQ(only_write(127, 0x2041, 6), (Bytes{1}));
    sim->simcan_transcript_clear();
    uint8_t valid = 0;
    ASSERT_EQ(can_read_ramp_valid(&info, 3, &valid), NO_ERROR);
    EXPECT_EQ(valid, 1);
    EXPECT_TRUE(sdos().empty());
    // Status: nonzero reads as 3; the object moves only when major and minor both exceed 5.
    uint8_t status = 0;
    set_firmware(6, 5);
    ASSERT_EQ(can_read_ramp_status(&info, &status), NO_ERROR);
    EXPECT_EQ(status, 3);
    set_firmware(6, 6);
    ASSERT_EQ(can_read_ramp_status(&info, &status), NO_ERROR);
    EXPECT_EQ(status, 0);
    std::vector<SimCanRecord> records = sdos();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].index, 0x2041);
    EXPECT_EQ(records[1].index, 0x2040);
}

TEST_F(CanSdoTest, DdlTablesLoadOnlyOnTheTablesScanner) {
    FastClock fast;
    const uint16_t tables = 12;
    object(127, 0x2041, 19, 1);
    object(127, 0x2041, 20, 2, SIMCAN_READ_WRITE, &tables);
    int count = 0;
    info.can.digitalScanner = 2;
    EXPECT_EQ(can_pi_load_ddl_tables(&info, &count), ERR_INVALID_PARAM);
    EXPECT_TRUE(sdos().empty());
    info.can.digitalScanner = 1;
    int64_t start = plat_clock_ms();
    ASSERT_EQ(can_pi_load_ddl_tables(&info, &count), NO_ERROR);
    EXPECT_GE(plat_clock_ms() - start, 2000);
    EXPECT_EQ(count, 12);
    std::vector<SimCanRecord> records = sdos();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(simcan_record_bytes(records[0].entry), (Bytes{0}));
    EXPECT_EQ(records[1].subIndex, 20);
}

TEST_F(CanSdoTest, PiezoFocusOffsetWaitsForTheRampToStop) {
    FastClock fast;
    object(127, 0x2009, 1, 2);
    const uint8_t running = 1;
    object(127, 0x2000, 0, 1, SIMCAN_READ_WRITE, &running);
    info.systemType = 23;  // not a piezo-focus type
    EXPECT_EQ(can_write_pifoc_offset(&info, 100, true), ERR_WRONG_SYSTEM_TYPE);
    EXPECT_TRUE(sdos().empty());
    info.systemType = 22;
    int64_t before = plat_clock_ms();
    EXPECT_EQ(can_write_pifoc_offset(&info, 0xFFFF, true), ERR_RAMP_WAIT_TIMEOUT);
    EXPECT_GE(info.can.pifocOffsetTimeMs, before);
    EXPECT_EQ(count_reads(sdos(), 127, 0x2000), 20);
    const uint8_t stopped = 0;
    ASSERT_TRUE(sim->simcan_object_set(127, 0x2000, 0, &stopped, 1));
    sim->simcan_transcript_clear();
    EXPECT_EQ(can_write_pifoc_offset(&info, 7, true), NO_ERROR);
    EXPECT_EQ(count_reads(sdos(), 127, 0x2000), 1);
    // A PI scanner takes no offset; the time is still stamped.
    info.can.digitalScanner = 1;
    info.can.pifocOffsetTimeMs = 0;
    sim->simcan_transcript_clear();
    EXPECT_EQ(can_write_pifoc_offset(&info, 7, false), NO_ERROR);
    EXPECT_TRUE(sdos().empty());
    EXPECT_GT(info.can.pifocOffsetTimeMs, 0);
}

TEST_F(CanSdoTest, LightLevelRangeFromTheCalibration) {
    object(61, 0x2002, 0, 2);
    object(61, 0x2004, 0, 2);
    ASSERT_EQ(can_set_llc_range(&info, -1), NO_ERROR);
    std::vector<SimCanRecord> records = sdos();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(simcan_record_bytes(records[0].entry), (Bytes{0xE8, 0x03}));  // 1000
    EXPECT_EQ(simcan_record_bytes(records[1].entry), (Bytes{0x94, 0x11}));  // 4500
    info.numLlcAvgCurLimit = 2;
    info.llcAvgCurLimit[0] = 0;  // not sent
    info.llcAvgCurLimit[1] = 800;
    info.numLlcFwdVoltage = 2;
    info.llcFwdVoltage[0] = 3000;
    info.llcFwdVoltage[1] = 3500;
    sim->simcan_transcript_clear();
    ASSERT_EQ(can_set_llc_range(&info, 0), NO_ERROR);
    EXPECT_EQ(only_write(61, 0x2004, 0), (Bytes{0xB8, 0x0B}));
    info.llcAvgCurLimit[1] = 1001;  // out of range: reported as the range's failure
    CapturedMessages messages;
    EXPECT_EQ(can_set_llc_range(&info, 1), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(messages.text(), "can_set_llc_range failed: ERR_PARAM_OUT_OF_RANGE\n");
}

TEST_F(CanSdoTest, RingSpotMoveDrivesTheMotorAndRestoresTheKeys) {
    FastClock fast;
    info.systemType = 23;
    info.can.ringSpotPresent = 1;
    info.can.ringSpotRequired = 1;
    const uint8_t atEnd1 = 1, keys = 0x03, idle = 0;
    const int16_t maxCurrent = 700;
    object(68, 0x2047, 0, 1, SIMCAN_READ_WRITE, &atEnd1);
    object(68, 0x2044, 8, 1, SIMCAN_READ_WRITE, &keys);
    object(68, 0x2036, 0, 2, SIMCAN_READ_WRITE, &maxCurrent);
    object(68, 0x2034, 0, 2);
    object(68, 0x2021, 0, 1, SIMCAN_READ_WRITE, &idle);
    ASSERT_EQ(can_move_ring_spot(&info, 0, true), NO_ERROR);  // already there
    EXPECT_EQ(sdos().size(), 1u);
    sim->simcan_transcript_clear();
    ASSERT_EQ(can_move_ring_spot(&info, 1, true), NO_ERROR);
    std::vector<Bytes> written;
    for (const SimCanRecord& r : sdos())
        if (r.direction == SIMCAN_DIR_WRITE) written.push_back(simcan_record_bytes(r.entry));
    // Keys off, -700, keys back.
    EXPECT_EQ(written, (std::vector<Bytes>{{0x01}, {0x44, 0xFD}, {0x03}}));
    EXPECT_EQ(can_move_ring_spot(&info, 2, false), ERR_INVALID_PARAM);
}

TEST_F(CanSdoTest, AuxMotorParkGivesUpAfter21StatusReads) {
    FastClock fast;
    info.systemType = 26;
    const uint8_t moving = 0x02;
    object(66, 0x2034, 0, 2);
    EXPECT_EQ(can_park_aux_motor(&info, true), ERR_CAN_AUX_MOTOR_ERROR);  // no 0x2036
    object(66, 0x2036, 0, 2);
    object(66, 0x2021, 0, 1, SIMCAN_READ_WRITE, &moving);
    sim->simcan_transcript_clear();
    EXPECT_EQ(can_park_aux_motor(&info, false), ERR_AV_TIMEOUT);
    EXPECT_EQ(count_reads(sdos(), 66, 0x2021), 21);
    const uint8_t still = 0;
    ASSERT_TRUE(sim->simcan_object_set(66, 0x2021, 0, &still, 1));
    EXPECT_EQ(can_park_aux_motor(&info, false), NO_ERROR);
    sim->simcan_sdo_fault(66, 0x2021, 0, SIMCAN_DIR_READ, CAN_OK, 0x06090011, 0, 1);
    EXPECT_EQ(can_park_aux_motor(&info, false), ERR_CAN_SDO_AUX_MOTOR_ERROR);
}

TEST_F(CanSdoTest, ScannerTriggerRearmedOnlyOnNewerFirmwareWithAPiScanner) {
    const uint16_t config = 0x0100;
    object(127, 0x2010, 2, 2, SIMCAN_READ_WRITE, &config);
    info.can.digitalScanner = 1;
    set_firmware(1, 11);
    ASSERT_EQ(can_rearm_scanner_trigger(&info), NO_ERROR);
    EXPECT_TRUE(sdos().empty());
    set_firmware(1, 12);
    ASSERT_EQ(can_rearm_scanner_trigger(&info), NO_ERROR);
    uint16_t now = 0;
    ASSERT_TRUE(sim->simcan_object_get(127, 0x2010, 2, &now, 2));
    EXPECT_EQ(now, 0x2100);
}

TEST_F(CanSdoTest, FirstEncodedZoomReadingSeedsTheDecoder) {
    const uint8_t raw = 1;
    object(63, 0x2012, 0, 1, SIMCAN_READ_WRITE, &raw);
    info.zoom = 1;
    info.canInfo->brushMotorProductId = CAN_PRODUCT_BRMTR_ENCODED;
    can_set_last_zoom_position(CAN_NO_ZOOM_POSITION);
    int32_t position = -1;
    ASSERT_EQ(can_read_zoom(&info, &position), NO_ERROR);
    EXPECT_EQ(can_decoder_memory().lastZoomPosition, 6);
    const uint8_t raw2 = 2;
    ASSERT_TRUE(sim->simcan_object_set(63, 0x2012, 0, &raw2, 1));
    ASSERT_EQ(can_read_zoom(&info, &position), NO_ERROR);
    EXPECT_EQ(position, 5);
    EXPECT_EQ(can_decoder_memory().lastZoomPosition, 6);  // the decoder's own from then on
    can_set_last_zoom_position(CAN_NO_ZOOM_POSITION);
}

TEST_F(CanSdoTest, NdWheelLevelWriteResetsTheStoppedEventAndSetsItAgainOnFailure) {
    info.can.focusNdwPresent = 1;
    object(64, 0x2028, 0, 2);
    PlatWaitable* stopped = plat_event_create(true, true, "CAN_NDWHEEL_STOPPED");
    ASSERT_NE(stopped, nullptr);
    ASSERT_EQ(can_write_ndw_llcLevel(&info, 0x1234, true), NO_ERROR);
    EXPECT_EQ(only_write(64, 0x2028, 0), (Bytes{0xCB, 0xED}));
    EXPECT_EQ(plat_wait_one(stopped, 0), PLAT_WAIT_TIMEOUT);  // moving now
    sim->simcan_sdo_fault(64, 0x2028, 0, SIMCAN_DIR_WRITE, CAN_OK, 0x06090011, 0, 1);
    EXPECT_EQ(can_write_ndw_llcLevel(&info, 1, false), ERR_CAN_SDO_NDW_ERROR);
    EXPECT_EQ(plat_wait_one(stopped, 0), 0);  // no motion started
    plat_handle_close(stopped);
    // Without the event the write still goes out.
    EXPECT_EQ(can_write_ndw_llcLevel(&info, 2, false), NO_ERROR);
}

TEST_F(CanSdoTest, HomingFromTheEventQueuesMakesNoStatusReads) {
    FastClock fast;
    info.can.focusNdwPresent = 1;
    object(64, 0x2020, 0, 1);
    object(64, 0x2021, 0, 1);
    CapturedMessages messages;
    EXPECT_EQ(can_home_ndw(&info, false, 300), ERR_CAN_NDW_HOME_ERROR);
    EXPECT_EQ(messages.text(), "can_home_ndw: timeout waiting for home search, time=300 ms\n");
    EXPECT_EQ(count_reads(sdos(), 64, 0x2021), 0);
    EXPECT_EQ(only_write(64, 0x2020, 0), (Bytes{3}));
    can_set_ndw_status(0, false);
}

bool agc_running() {
    return true;
}

// Transfers marked as use restart the sleep-mode count; the gain control's own
// light-level writes do not.
TEST_F(CanSdoTest, TransfersMarkedAsUseRestartTheSleepCount) {
    double scale = plat_clock_scale();
    if (std::getenv("SURF_CLOCK_SCALE") == nullptr) plat_set_clock_scale(100);
    CanAppEvent event;
    while (can_get_app_event(&event)) {
    }
    object(61, 0x2001, 0, 2);
    object(64, 0x2028, 0, 2);
    info.sleepTimeout = 4;
    sleep_mode_start(&info);
    int64_t last = plat_clock_ms();
    for (int i = 0; i < 5; ++i) {
        plat_sleep_ms(2000);
        // A request may come only when this machine let a whole count pass
        // between two transfers.
        if (can_get_app_event(&event)) {
            EXPECT_GE(plat_clock_ms() - last, 4000) << i;
        }
        uint16_t level = 0;
        ASSERT_EQ(can_read_llc(&info, &level, false), NO_ERROR);
        last = plat_clock_ms();
    }
    can_set_agc_running_query(agc_running);
    bool requested = false;
    for (int i = 0; i < 30 && !requested; ++i) {
        ASSERT_EQ(can_write_dmd_motor2_llcLevel(&info, 64, 100, false), NO_ERROR);
        plat_sleep_ms(1000);
        requested = can_get_app_event(&event);
    }
    can_set_agc_running_query(nullptr);
    EXPECT_TRUE(sleep_mode_stop());
    plat_set_clock_scale(scale);
    EXPECT_TRUE(requested);
    EXPECT_EQ(event.kind, 10u);
    while (can_get_app_event(&event)) {
    }
}

// Out-parameters and scanner/node selection for the accessor table below.
uint8_t g_u8;
uint16_t g_u16;
int16_t g_i16;
uint32_t g_u32;
float g_f;
const uint16_t kSamples[3] = {0x0102, 0x0304, 0x0506};
SystemInfo* with_pi_scanner(SystemInfo* info) {
    info->can.digitalScanner = 1;
    return info;
}
SystemInfo* on_large_aperture(SystemInfo* info) {
    info->can.rampMux = 1;
    info->can.largeAperturePresent = 1;
    return info;
}

// Every single-object accessor the other tests leave unpinned, called once with
// its documented object in place: the transfer must match node, object,
// direction and size (writes: the bytes), and the same object aborted must give
// the accessor's own SDO error.
TEST_F(CanSdoTest, EachAccessorMakesItsDocumentedTransferAndReportsItsOwnError) {
    struct Row {
        const char* name;
        int (*call)(SystemInfo*);
        uint8_t node;
        uint16_t index;
        uint8_t sub;
        int dir;
        uint32_t size;
        int sdoError;
        Bytes sent;
        size_t transfers = 1;  // the row's transfer is the last
    };
    constexpr int R = SIMCAN_DIR_READ, W = SIMCAN_DIR_WRITE;
    constexpr int RAMP = ERR_CAN_SDO_RAMP_ERROR, BRIDGE = ERR_CAN_SDO_BRIDGE_ERROR;
    constexpr int LED = ERR_CAN_SDO_LED_ERROR, BRMTR = ERR_CAN_SDO_BRMOTOR_ERROR;
    constexpr int ROF = ERR_CAN_SDO_ROF_ERROR, ZOOM = ERR_CAN_SDO_ZOOM_ERROR;
    constexpr int NDW = ERR_CAN_SDO_NDW_ERROR, DMD = ERR_CAN_SDO_DMD_ERROR;
    constexpr int PZT = ERR_CAN_SDO_PZT_ERROR, LAP = ERR_CAN_SDO_LAP_ERROR;
#define CALL(expr) [](SystemInfo* i) { return expr; }
    // clang-format off
    const Row rows[] = {
        {"can_ramp_start", CALL(can_ramp_start(i)), 127, 0x2000, 0, W, 1, RAMP, {1}},
        {"can_write_ramp_select", CALL(can_write_ramp_select(i, 2)), 127, 0x2001, 0, W, 1, RAMP, {2}},
        {"can_read_ramp_valid", CALL(can_read_ramp_valid(i, 1, &g_u8)), 127, 0x2004, 1, R, 1, RAMP, {}},
        {"can_write_pifoc_offset", CALL(can_write_pifoc_offset(i, 0x1234, false)), 127, 0x2009, 1, W, 2, RAMP, {0x34, 0x12}},
        {"can_read_bridge_status", CALL(can_read_bridge_status(i, &g_u8)), 127, 0x2010, 1, R, 1, BRIDGE, {}},
        {"can_bridge_read_config", CALL(can_bridge_read_config(i, &g_u16)), 127, 0x2010, 2, R, 2, RAMP, {}},
        {"can_bridge_write_config", CALL(can_bridge_write_config(i, 0xA55A)), 127, 0x2010, 2, W, 2, RAMP, {0x5A, 0xA5}},
        {"can_read_pi_ramp_amplitude", CALL(can_read_pi_ramp_amplitude(with_pi_scanner(i), &g_f)), 127, 0x2041, 2, R, 4, RAMP, {}},
        {"can_read_pi_ramp_velocity", CALL(can_read_pi_ramp_velocity(with_pi_scanner(i), &g_f)), 127, 0x2041, 3, R, 4, RAMP, {}},
        {"can_bridge_read_digitalout", CALL(can_bridge_read_digitalout(i, &g_u8)), 127, 0x6200, 1, R, 1, BRIDGE, {}},
        {"can_bridge_write_digitalout", CALL(can_bridge_write_digitalout(i, 0x81)), 127, 0x6200, 1, W, 1, BRIDGE, {0x81}},
        {"can_write_led_setup", CALL(can_write_led_setup(i, 0x42)), 61, 0x2000, 0, W, 1, LED, {0x42}},
        {"can_write_llc_avgcurlmt", CALL(can_write_llc_avgcurlmt(i, 600)), 61, 0x2002, 0, W, 2, LED, {0x58, 0x02}},
        {"can_write_llc_pwmfreq", CALL(can_write_llc_pwmfreq(i, 0x12345)), 61, 0x2006, 0, W, 4, LED, {0x45, 0x23, 0x01, 0x00}},
        {"can_read_turret_status", CALL(can_read_turret_status(i, &g_u8)), 63, 0x2001, 0, R, 1, BRMTR, {}},
        {"can_read_turret", CALL(can_read_turret(i, &g_u8)), 63, 0x2002, 0, R, 1, BRMTR, {}},
        {"can_get_brmtr_config", CALL(can_get_brmtr_config(i, &g_u16)), 63, 0x2020, 1, R, 2, BRMTR, {}},
        {"can_write_rs_dd_control", CALL(can_write_rs_dd_control(i, 5)), 68, 0x2000, 0, W, 1, ROF, {5}},
        {"can_write_rs_dd_mode", CALL(can_write_rs_dd_mode(i, 3)), 68, 0x2002, 0, W, 1, ROF, {3}},
        {"can_read_rs_status", CALL(can_read_rs_status(i, &g_u8)), 68, 0x2021, 0, R, 1, ROF, {}},
        {"can_write_rs_current", CALL(can_write_rs_current(i, -700)), 68, 0x2034, 0, W, 2, ROF, {0x44, 0xFD}, 2},
        {"can_read_rs_maxCurrent", CALL(can_read_rs_maxCurrent(i, &g_i16)), 68, 0x2036, 0, R, 2, ROF, {}},
        {"can_read_rs_position", CALL(can_read_rs_position(i, &g_u8)), 68, 0x2047, 0, R, 1, ROF, {}},
        {"can_read_rs_keypress_mode", CALL(can_read_rs_keypress_mode(i, &g_u8)), 68, 0x2044, 8, R, 1, ROF, {}},
        {"can_write_rs_keypress_mode", CALL(can_write_rs_keypress_mode(i, 2)), 68, 0x2044, 8, W, 1, ROF, {2}},
        {"can_read_zoom_dd_control", CALL(can_read_zoom_dd_control(i, &g_u8)), 70, 0x2000, 0, R, 1, ZOOM, {}},
        {"can_write_zoom_dd_control", CALL(can_write_zoom_dd_control(i, 1)), 70, 0x2000, 0, W, 1, ZOOM, {1}},
        {"can_write_zoom_dd_mode", CALL(can_write_zoom_dd_mode(i, 4)), 70, 0x2002, 0, W, 1, ZOOM, {4}},
        {"can_write_zoom_dd_targetVel", CALL(can_write_zoom_dd_targetVel(i, 250)), 70, 0x2004, 0, W, 4, ZOOM, {0x00, 0x00, 0x7A, 0x43}},
        {"can_read_zoom_keypress_mode", CALL(can_read_zoom_keypress_mode(i, &g_u8)), 70, 0x2044, 8, R, 1, ZOOM, {}},
        {"can_write_zoom_keypress_mode", CALL(can_write_zoom_keypress_mode(i, 3)), 70, 0x2044, 8, W, 1, ZOOM, {3}},
        {"can_read_ndw_llcLevel", CALL(can_read_ndw_llcLevel(i, &g_u16, false)), 64, 0x2028, 0, R, 2, NDW, {}},
        {"can_write_ndw_control", CALL(can_write_ndw_control(i, 3)), 64, 0x2020, 0, W, 1, NDW, {3}},
        {"can_read_ndw_status", CALL(can_read_ndw_status(i, &g_u8)), 64, 0x2021, 0, R, 1, NDW, {}},
        {"can_read_focus_keypress_mode", CALL(can_read_focus_keypress_mode(i, &g_u8)), 64, 0x2044, 8, R, 1, NDW, {}},
        {"can_write_focus_keypress_mode", CALL(can_write_focus_keypress_mode(i, 2)), 64, 0x2044, 8, W, 1, NDW, {2}},
        {"can_write_dmd_motor2_control", CALL(can_write_dmd_motor2_control(i, 66, 1)), 66, 0x2020, 0, W, 1, DMD, {1}},
        {"can_read_pztramp_status", CALL(can_read_pztramp_status(i, &g_u8)), 62, 0x2000, 0, R, 1, PZT, {}},
        {"can_write_pztramp_select", CALL(can_write_pztramp_select(i, 2)), 62, 0x2001, 0, W, 1, PZT, {2}},
        {"can_read_pztramp_valid", CALL(can_read_pztramp_valid(i, 3, &g_u8)), 62, 0x2006, 1, R, 1, PZT, {}},
        {"can_write_pztramp_rate", CALL(can_write_pztramp_rate(i, 1, 0.5)), 62, 0x2004, 4, W, 4, PZT, {0x00, 0x00, 0xFA, 0x43}},
        {"can_write_pztramp_data", CALL(can_write_pztramp_data(i, 2, kSamples, 3)), 62, 0x2005, 5, W, 6, PZT, {2, 1, 4, 3, 6, 5}},
        {"can_write_pztramp_gain", CALL(can_write_pztramp_gain(i, 0, 2, 0x3FFF)), 62, 0x2003, 7, W, 2, PZT, {0xFF, 0x3F}},
        {"can_read_pztramp_errchk", CALL(can_read_pztramp_errchk(i, &g_u32)), 62, 0x1002, 0, R, 4, PZT, {}},
        {"can_read_pztramp_errchk (52)", CALL(can_read_pztramp_errchk(on_large_aperture(i), &g_u32)), 52, 0x1002, 0, R, 4, LAP, {}},
    };
    // clang-format on
#undef CALL
    info.turret[0] = 1;
    info.can.ringSpotPresent = 1;
    info.can.zoomDiskPresent = 1;
    info.can.focusNdwPresent = 1;
    info.can.triplePztPresent = 1;
    object(68, 0x2036, 0, 2);  // the ring/spot current write reads its limit first
    CapturedMessages messages;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        info.can.digitalScanner = 0;
        info.can.rampMux = 0;
        object(row.node, row.index, row.sub, row.size);
        sim->simcan_transcript_clear();
        EXPECT_EQ(row.call(&info), NO_ERROR);
        std::vector<SimCanRecord> records = sdos();
        ASSERT_EQ(records.size(), row.transfers);
        const SimCanRecord& r = records.back();
        EXPECT_EQ(r.node, row.node);
        EXPECT_EQ(r.index, row.index);
        EXPECT_EQ(r.subIndex, row.sub);
        EXPECT_EQ(r.direction, row.dir);
        EXPECT_EQ(r.size, row.size);
        if (row.dir == W) {
            EXPECT_EQ(simcan_record_bytes(r.entry), row.sent);
        }
        sim->simcan_sdo_fault(row.node, row.index, row.sub, row.dir, CAN_OK, 0x06090011, 0, 1);
        EXPECT_EQ(row.call(&info), row.sdoError);
        sim->simcan_sdo_faults_clear();
    }
}

}  // namespace
