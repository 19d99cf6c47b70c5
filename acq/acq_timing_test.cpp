// Camera timing on CAN and serial boards, board type 6's integration
// period, and the sync generator written on a rate change.
#include <cstring>

#include "acq/acq_testing.h"
#include "board/testing/sim_board.h"
#include "can/can_api.h"
#include "can/can_bridge.h"
#include "can/can_lib.h"
#include "common/status.h"
#include "datafile/surface.h"
#include "platform/pty.h"
#include "sim/can/testing/simcan_session.h"

namespace {

// The default ini with the first mode's rate (and the second's) replaced.
std::string ini_with_rates(const std::string& first, const std::string& second = "30") {
    std::string ini = simacq_default_ini();
    ini.replace(ini.find("DATA RATE=60"), 12, "DATA RATE=" + first);
    ini.replace(ini.find("DATA RATE=30"), 12, "DATA RATE=" + second);
    return ini;
}

class AcqCanTest : public AcqTest {
  protected:
    void SetUp() override {
        AcqTest::SetUp();
        can = simcan_session();
        ASSERT_NE(can, nullptr);
        simcan_session_reset();
        info->instrBdType = SB_BOARD_CAN;
        can_bridge_info_create(info);
        info->canInfo->firmwareMajor = 1;
        info->canInfo->firmwareMinor = 12;
    }
    void TearDown() override {
        AcqTest::TearDown();
        simcan_session_reset();
    }
    void connect() {
        const uint8_t ip[4] = {192, 168, 10, 20};
        uint32_t ipv4 = 0;
        std::memcpy(&ipv4, ip, 4);
        ASSERT_EQ(can_api()->CAN_Connect(ipv4), CAN_OK);
    }
    int digital_out() {
        uint8_t value = 0;
        EXPECT_TRUE(can->simcan_object_get(127, 0x6200, 1, &value, 1));
        return value;
    }
    void mark_digital_out() {
        uint8_t marker = 0xEE;
        ASSERT_TRUE(can->simcan_object_set(127, 0x6200, 1, &marker, 1));
    }
    SimCan* can = nullptr;
};

TEST_F(AcqCanTest, BridgeOutputFollowsTheRateAndTheShutterCode) {
    connect();
    struct Case {
        int camera;
        const char* rate;
        int shutter;
        int result;
        int out;  // 0xEE: nothing written
    };
    const Case cases[] = {
        {6, "221.6", 8, NO_ERROR, 6},
        {6, "130", 8, NO_ERROR, 2},
        {6, "120", 8, NO_ERROR, 10},
        {6, "60", 8, NO_ERROR, 14},
        {6, "60.99", 8, NO_ERROR, 14},
        {6, "61", 8, ERR_ACQ_INVALID_MODE, 0xEE},
        {8, "59.5", 0, NO_ERROR, 12},
        {8, "58.7", 0, ERR_ACQ_INVALID_MODE, 0xEE},
        {8, "29.97", 4, NO_ERROR, 5},
        {6, "60", 972, NO_ERROR, 255},
        {6, "60", 976, ERR_PARAM_OUT_OF_RANGE, 0xEE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.rate) + " camera " + std::to_string(c.camera));
        ASSERT_TRUE(simacq_write_ini(root.path(), ini_with_rates(c.rate, c.rate)));
        info->cameraType = c.camera;
        info->acq.shutterCode = c.shutter;
        ASSERT_EQ(start(), NO_ERROR);
        mark_digital_out();
        EXPECT_EQ(pl_can_setup(info), c.result);
        EXPECT_EQ(digital_out(), c.out);
        acq_mgrrelease();
    }
    // TM6710 takes the code as its shutter.
    ASSERT_TRUE(simacq_write_ini(root.path(), ini_with_rates("60")));
    info->cameraType = 13;
    info->acq.shutterCode = 77;
    ASSERT_EQ(start(), NO_ERROR);
    EXPECT_EQ(pl_can_setup(info), NO_ERROR);
    double shutter = 0;
    EXPECT_TRUE(sim->simacq_last_set("MAN SHUTTER", &shutter));
    EXPECT_EQ(shutter, 77.0);
    info->instrBdType = SB_BOARD_SERIAL2;
    EXPECT_EQ(pl_can_setup(info), ERR_WRONG_INSTR_BOARD);
}

TEST_F(AcqCanTest, RateChangeWritesTheSyncGeneratorAndANotConnectedBridgeIsIgnored) {
    info->power.instrumentOn = true;
    // Not connected: the rate is taken, the write's failure is not reported.
    ASSERT_EQ(start(), NO_ERROR);
    EXPECT_EQ(info->acq.frameRate, 60.0);
    EXPECT_EQ(messages().find("error writing sync gen rate"), std::string::npos);
    acq_mgrrelease();

    connect();
    info->acq.frameRate = 0;
    ASSERT_EQ(start(), NO_ERROR);
    float rate = 0;
    ASSERT_TRUE(can->simcan_object_get(127, 0x2030, 0, &rate, 4));
    EXPECT_EQ(rate, 60.0f);
    // The same rate again: nothing written.
    float marker = 1;
    ASSERT_TRUE(can->simcan_object_set(127, 0x2030, 0, &marker, 4));
    ASSERT_EQ(pl_update_sysinfo(info, false), NO_ERROR);
    ASSERT_TRUE(can->simcan_object_get(127, 0x2030, 0, &rate, 4));
    EXPECT_EQ(rate, 1.0f);
    // Another failure is reported, and the rate still taken.
    info->acq.frameRate = 5;
    can->simcan_sdo_fault(127, 0x2030, 0, SIMCAN_DIR_WRITE, CAN_ERR_TCP_TRANSMISSION, 0, 0, 1);
    captured.clear();
    ASSERT_EQ(pl_update_sysinfo(info, false), NO_ERROR);
    EXPECT_NE(messages().find("@ pl_update_sysinfo: error writing sync gen rate: "),
              std::string::npos);
    EXPECT_EQ(info->acq.frameRate, 60.0);
    // Instrument off: no write.
    info->power.instrumentOn = false;
    info->acq.frameRate = 5;
    ASSERT_EQ(pl_update_sysinfo(info, false), NO_ERROR);
    ASSERT_TRUE(can->simcan_object_get(127, 0x2030, 0, &rate, 4));
    EXPECT_EQ(rate, 1.0f);
}

TEST_F(AcqCanTest, ReadTimeOutWithAScannerRearmsItsTrigger) {
    connect();
    ASSERT_EQ(start(), NO_ERROR);
    ASSERT_EQ(pl_switch_live(info, 1), NO_ERROR);
    FrameStore image{};
    ASSERT_EQ(fs_setup(&image, Window{0, 0, 64, 64}, 1, 1, 8), NO_ERROR);
    auto config = [&] {
        uint16_t word = 0;
        EXPECT_TRUE(can->simcan_object_get(127, 0x2010, 2, &word, 2));
        return word;
    };
    // Without a scanner, and with a scanner after another failure: untouched.
    sim->simacq_fail_next("ReadDevice", 1, ACQ_LIB_TIMEOUT);
    EXPECT_EQ(pl_copy_fb(info, &image), ERR_ACQ_TIMEOUT);
    EXPECT_EQ(config(), 0);
    info->can.digitalScanner = 1;
    sim->simacq_fail_next("ReadDevice", 1, ACQ_LIB_MISSED_FRAME);
    EXPECT_EQ(pl_copy_fb(info, &image), ERR_LOST_FRAME);
    EXPECT_EQ(config(), 0);
    sim->simacq_fail_next("ReadDevice", 1, ACQ_LIB_TIMEOUT);
    EXPECT_EQ(pl_copy_fb(info, &image), ERR_ACQ_TIMEOUT);
    EXPECT_EQ(config(), 0x2000);
    sim->simacq_fail_next("ReadDevice", 1, ACQ_LIB_TIMEOUT);
    EXPECT_EQ(pl_copy_frame(info, &image, -1, 1.0), ERR_ACQ_TIMEOUT);
    EXPECT_EQ(config(), 0x2000);
    fs_release(&image);
}

// The instrument board on a virtual serial line, which needs a pseudo-terminal.
class AcqSerialTest : public AcqTest {
  protected:
    void SetUp() override {
        if (!plat_pty_available()) GTEST_SKIP() << "no pseudo-terminals on this system";
        AcqTest::SetUp();
    }
    void TearDown() override {
        if (info == nullptr) return;  // skipped
        AcqTest::TearDown();
        board.stop();
        info->instrBdType = 0;
        info->instrComm.clear();
    }
    void start_board(int type) { ASSERT_TRUE(board.start(info, type)); }
    int io_writes() {
        int n = 0;
        for (int code : board.model().commands()) n += code == write_io_code();
        return n;
    }
    int write_io_code() const { return board.model().board_type() == 6 ? 41 : 53; }
    int count_of(int code) {
        int n = 0;
        for (int c : board.model().commands()) n += c == code;
        return n;
    }
    SimBoardSession board;
};

TEST_F(AcqSerialTest, TimingCodeIsSentOnChangeOrWhenForced) {
    start_board(3);
    // Live is the second mode for this camera.
    ASSERT_TRUE(simacq_write_ini(root.path(), ini_with_rates("120", "221.6")));
    info->cameraType = 6;
    info->acq.shutterCode = 3;
    ASSERT_EQ(start(), NO_ERROR);
    int mode120 = info->acq.primaryModeIds[0];
    ASSERT_EQ(pl_uz_setup(info, true, false), NO_ERROR);
    EXPECT_EQ(board.model().io(4222), 240);
    EXPECT_EQ(board.model().io(4223), 5 * 16);
    // The select before the code.
    std::vector<int> taken = board.model().commands();
    ASSERT_GE(taken.size(), 2u);
    EXPECT_EQ(board.model().last_payload(53), (SimBytes{0x10, 0x7F, 80}));
    EXPECT_EQ(io_writes(), 2);
    // Unchanged: nothing; forced: again.
    ASSERT_EQ(pl_uz_setup(info, true, false), NO_ERROR);
    EXPECT_EQ(io_writes(), 2);
    ASSERT_EQ(pl_uz_setup(info, true, true), NO_ERROR);
    EXPECT_EQ(io_writes(), 4);
    // Another rate, another code.
    ASSERT_EQ(pl_device_setup(info, info->acq.primaryInputDevice, mode120, true), NO_ERROR);
    ASSERT_EQ(pl_uz_setup(info, true, false), NO_ERROR);
    EXPECT_EQ(board.model().io(4223), 4 * 16);
    EXPECT_EQ(io_writes(), 6);
    // The largest code that fits the port, and the first that does not.
    info->acq.shutterCode = 14;
    ASSERT_EQ(pl_uz_setup(info, true, false), NO_ERROR);
    EXPECT_EQ(board.model().io(4223), 240);
    info->acq.shutterCode = 15;
    EXPECT_EQ(pl_uz_setup(info, true, true), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(board.model().io(4223), 240);
    EXPECT_EQ(io_writes(), 8);
}

TEST_F(AcqSerialTest, CameraModeOfTheSecondGenerationBoardIsSentOnChange) {
    start_board(3);
    ASSERT_TRUE(simacq_write_ini(root.path(), ini_with_rates("29.97", "59.82")));
    info->cameraType = 8;
    ASSERT_EQ(start(), NO_ERROR);
    int before = static_cast<int>(board.model().commands().size());
    ASSERT_EQ(pl_uz_setup(info, true, false), NO_ERROR);
    int after = static_cast<int>(board.model().commands().size());
    EXPECT_EQ(after - before, 1);
    int code = board.model().commands().back();
    EXPECT_EQ(board.model().last_payload(code), SimBytes{0});
    ASSERT_EQ(pl_uz_setup(info, true, false), NO_ERROR);
    EXPECT_EQ(static_cast<int>(board.model().commands().size()), after);
    ASSERT_EQ(
        pl_device_setup(info, info->acq.primaryInputDevice, info->acq.primaryModeIds[0], true),
        NO_ERROR);
    ASSERT_EQ(pl_uz_setup(info, true, false), NO_ERROR);
    EXPECT_EQ(board.model().last_payload(code), SimBytes{1});
    EXPECT_EQ(info->acq.serialBoardMode, 1);
}

TEST_F(AcqSerialTest, BoardSixIntegrationPeriodForGrabsAndLive) {
    start_board(6);
    std::string ini = simacq_default_ini();
    ini.replace(ini.find("MEAS INTEGRATION PERIOD=16"), 26, "MEAS INTEGRATION PERIOD=1");
    ini.replace(ini.find("READOUT CLOCKS=400000"), 21, "READOUT CLOCKS=1250000");
    ASSERT_TRUE(simacq_write_ini(root.path(), ini));
    ASSERT_EQ(start(), NO_ERROR);
    ASSERT_EQ(pl_grab_frames(info, 0, 1), NO_ERROR);
    EXPECT_EQ(board.model().last_payload(42), SimBytes{48});
    EXPECT_EQ(board.model().last_payload(2), SimBytes{1});
    std::vector<int> taken = board.model().commands();
    ASSERT_GE(taken.size(), 2u);
    EXPECT_EQ(taken[taken.size() - 2], 42);
    EXPECT_EQ(taken.back(), 2);
    AcqStartRequest start_request{};
    ASSERT_TRUE(sim->simacq_last_start(&start_request));
    EXPECT_EQ(start_request.kind, ACQ_START_GRAB);
    EXPECT_EQ(start_request.arg2, 1);
    ASSERT_EQ(acq_stop(info), NO_ERROR);  // the grab runs on until stopped

    ASSERT_EQ(pl_switch_live(info, 1), NO_ERROR);
    EXPECT_EQ(board.model().last_payload(42), SimBytes{221});
    taken = board.model().commands();
    EXPECT_EQ(taken.back(), 2);
    double period = 0;
    EXPECT_TRUE(sim->simacq_last_set("INTEGRATION PERIOD", &period));
    EXPECT_EQ(period, 32.0);
    ASSERT_EQ(pl_switch_live(info, 0), NO_ERROR);

    // 85 ms needs a code above 255: refused before anything is sent.
    acq_mgrrelease();
    ini.replace(ini.find("MEAS INTEGRATION PERIOD=1\n"), 26, "MEAS INTEGRATION PERIOD=85\n");
    ASSERT_TRUE(simacq_write_ini(root.path(), ini));
    ASSERT_EQ(start(), NO_ERROR);
    int sent = count_of(42);
    captured.clear();
    EXPECT_EQ(pl_grab_frames(info, 0, 1), ERR_ACQ_INVALID_MODE);
    EXPECT_EQ(messages(), "@ pl_grab_frames: integration period cannot be set\n");
    EXPECT_EQ(count_of(42), sent);
}

}  // namespace
