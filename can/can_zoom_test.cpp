#include "can/can_zoom.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "can/can_agc.h"
#include "can/can_bridge.h"
#include "can/can_lib.h"
#include "can/can_nodes.h"
#include "common/status.h"
#include "common/testing/capture_sink.h"
#include "common/testing/temp_dir.h"
#include "config/sysinfo.h"
#include "sim/can/testing/simcan_session.h"

namespace {

std::vector<uint8_t> le32(int32_t value) {
    std::vector<uint8_t> bytes(4);
    std::memcpy(bytes.data(), &value, 4);
    return bytes;
}

// Node 64 with the given firmware on a connected simulated bridge, and an
// instrument whose calibration enables the encoded zoom.
class CanZoomTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim = simcan_session();
        ASSERT_NE(sim, nullptr);
        simcan_session_reset();
        const CanApi* api = can_api();
        ASSERT_NE(api, nullptr);
        const uint8_t ip[4] = {192, 168, 10, 20};
        uint32_t ipv4 = 0;
        std::memcpy(&ipv4, ip, 4);
        ASSERT_EQ(api->CAN_Connect(ipv4), CAN_OK);
        info.instrBdType = SB_BOARD_CAN;
        info.systemType = 30;
        can_bridge_info_create(&info);
        info.encodedZoom.flags = 1;
        info.encodedZoom.softLimitMin = -1000;
        info.encodedZoom.softLimitMax = 250000;
        info.encodedZoom.backlash = 37;
        info.encodedZoom.calFileName = dir.path() + "/ZoomCal.txt";  // absent until written
        firmware(4, 3);
    }
    void TearDown() override {
        can_agc_stop(&info);
        simcan_session_reset();
    }

    void firmware(int major, int minor) {
        ASSERT_TRUE(sim->simcan_model_add(64, 0x1064, static_cast<uint32_t>(major << 16 | minor)));
        sim->simcan_transcript_clear();
    }
    void write_cal(const std::string& text) {
        FILE* f = std::fopen(info.encodedZoom.calFileName.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs(text.c_str(), f);
        std::fclose(f);
    }
    // The SDO writes made, as "index/sub" with their bytes.
    struct Write {
        uint16_t index;
        uint8_t sub;
        std::vector<uint8_t> bytes;
        bool operator==(const Write&) const = default;
    };
    std::vector<Write> writes() {
        std::vector<Write> out;
        for (const SimCanRecord& r : simcan_sdo_transcript()) {
            EXPECT_EQ(r.node, 64);
            if (r.direction == SIMCAN_DIR_WRITE)
                out.push_back({r.index, r.subIndex, simcan_record_bytes(r.entry)});
        }
        return out;
    }

    SimCan* sim = nullptr;
    SystemInfo info;
    TempDir dir;
};

TEST_F(CanZoomTest, SetUpWritesModeLimitsAndBacklashInOrderWithoutACalibrationFile) {
    CapturedMessages messages;
    EXPECT_EQ(qel_enc_zoom_set_backlash(&info), NO_ERROR);
    const std::vector<Write> want = {
        {0x2002, 0, {0x03}},
        {0x607D, 1, le32(-1000)},
        {0x607D, 2, le32(250000)},
        {0x2019, 0, le32(37)},
    };
    EXPECT_EQ(writes(), want);
    // The version was read first; the missing file is reported, not failed.
    std::vector<SimCanRecord> sdos = simcan_sdo_transcript();
    ASSERT_FALSE(sdos.empty());
    EXPECT_EQ(sdos[0].index, 0x1018);
    EXPECT_EQ(sdos[0].subIndex, 3);
    EXPECT_NE(messages.text().find("Cannot access QEL encoded zoom magnification calibration file"),
              std::string::npos)
        << messages.text();
    EXPECT_EQ(info.zoomCal.table.count, 0);
}

TEST_F(CanZoomTest, FirmwareIsComparedAsMajorMinorPairs) {
    struct Case {
        int major;
        int minor;
        bool accepted;
    };
    for (const Case& c : {Case{4, 2, false}, Case{3, 9, false}, Case{0, 99, false},
                          Case{4, 3, true}, Case{4, 10, true}, Case{5, 0, true}}) {
        firmware(c.major, c.minor);
        CapturedMessages messages;
        int err = qel_enc_zoom_set_backlash(&info);
        if (c.accepted) {
            EXPECT_EQ(err, NO_ERROR) << c.major << "." << c.minor;
            EXPECT_EQ(writes().size(), 4u);
        } else {
            EXPECT_EQ(err, ERR_QEL_ENC_ZOOM_FIRMWARE_VERSION_OLD) << c.major << "." << c.minor;
            EXPECT_TRUE(writes().empty());
            EXPECT_EQ(messages.text(), "QEL encoded zoom firmware version " +
                                           std::to_string(c.major) + "." + std::to_string(c.minor) +
                                           " is old; version 4.3 or later is required\n");
        }
    }
}

TEST_F(CanZoomTest, NothingIsDoneUnlessTheCalibrationEnablesIt) {
    info.encodedZoom.flags = 2;  // bit 0 clear
    EXPECT_EQ(qel_enc_zoom_set_backlash(&info), NO_ERROR);
    EXPECT_EQ(qel_enc_zoom_set_backlash(nullptr), NO_ERROR);
    EXPECT_TRUE(simcan_sdo_transcript().empty());
}

TEST_F(CanZoomTest, FirstSdoFailureEndsTheSetUpWithTheEncodedZoomError) {
    struct Case {
        uint16_t index;
        uint8_t sub;
        size_t writesMade;  // including the failed one
        const char* caller;
    };
    for (const Case& c : {Case{0x2002, 0, 1, "qel_enc_zoom_set_motion_mode"},
                          Case{0x607D, 1, 2, "qel_enc_zoom_set_soft_limits"},
                          Case{0x607D, 2, 3, "qel_enc_zoom_set_soft_limits"},
                          Case{0x2019, 0, 4, "qel_enc_zoom_set_backlash"}}) {
        sim->simcan_transcript_clear();
        sim->simcan_sdo_fault(64, c.index, c.sub, SIMCAN_DIR_WRITE, CAN_OK, 0x06090030, 0, 1);
        CapturedMessages messages;
        EXPECT_EQ(qel_enc_zoom_set_backlash(&info), ERR_CAN_SDO_ENC_ZOOM_ERROR) << c.caller;
        EXPECT_EQ(writes().size(), c.writesMade) << c.caller;
        std::string want = std::string(" can_sdo_write2 called by ") + c.caller +
                           ": err=ERR_CAN_SDO_ENC_ZOOM_ERROR, result=0, abortcode=06090030\n";
        EXPECT_NE(messages.text().find(want), std::string::npos) << messages.text();
    }
    // A failing version read is returned as it is.
    sim->simcan_sdo_fault(64, 0x1018, 3, SIMCAN_DIR_READ, CAN_ERR_TIMEOUT, 0, 0, 1);
    sim->simcan_transcript_clear();
    CapturedMessages messages;
    EXPECT_EQ(qel_enc_zoom_set_backlash(&info), ERR_CAN_TIMEOUT);
    EXPECT_TRUE(writes().empty());
}

TEST_F(CanZoomTest, CalibrationFileIsLoadedAndABadOneFailsTheSetUp) {
    write_cal("position magnification\n0 0.5\n1000, 1.5\n2000,6\n");
    {
        CapturedMessages messages;
        EXPECT_EQ(qel_enc_zoom_set_backlash(&info), NO_ERROR);
        EXPECT_NE(messages.text().find("QEL encoded zoom calibration data loaded from file"),
                  std::string::npos)
            << messages.text();
    }
    EXPECT_EQ(info.zoomCal.table.count, 3);
    // Magnifications not increasing: the table is dropped and the error returned.
    write_cal("position magnification\n0 1.5\n1000 1.5\n");
    CapturedMessages messages;
    EXPECT_EQ(qel_enc_zoom_set_backlash(&info), ERR_QEL_ENC_ZOOM_INVALID_CAL_FILE);
    EXPECT_NE(messages.text().find("Magnification values are not in strictly increasing order"),
              std::string::npos)
        << messages.text();
    EXPECT_EQ(info.zoomCal.table.count, 0);
}

TEST_F(CanZoomTest, QelBringUpEndsWithTheEncodedZoomSetUp) {
    info.cameraType = 1;
    can_take_node_requirements(&info);
    info.can.zoomDiskRequired = 0;
    info.can.triplePztRequired = 0;
    info.can.largeApertureRequired = 0;
    firmware(4, 2);
    ASSERT_TRUE(sim->simcan_model_param(64, "home_ms", 100));
    ASSERT_TRUE(sim->simcan_model_param(64, "move_ms", 100));
    CapturedMessages messages;
    EXPECT_EQ(can_bring_up_nodes(&info), ERR_QEL_ENC_ZOOM_FIRMWARE_VERSION_OLD);
    EXPECT_NE(messages.text().find("QEL encoded zoom firmware version 4.2 is old; version 4.3 or "
                                   "later is required\n"),
              std::string::npos)
        << messages.text();
    can_close_ndw_event(&info);
}

}  // namespace
