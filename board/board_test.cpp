#include "board/board.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/status.h"
#include "common/testing/capture_sink.h"
#include "config/rampfile.h"
#include "config/sysinfo.h"
#include "devpoll/devpoll.h"
#include "platform/clock.h"
#include "board/testing/sim_board.h"
#include "sim/board_model.h"
#include "sim/line.h"
#include "sim/testing/pty_skip.h"

namespace {
// A 10 s first-byte time-out takes half a second of real time.
const bool kScaled = [] {
    if (std::getenv("SURF_CLOCK_SCALE") == nullptr) plat_set_clock_scale(20);
    return true;
}();

class Board : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(dev_init_cntrl(true), 0);
        SKIP_WITHOUT_PTY();
    }
    void TearDown() override {
        board_.stop();
        if (info_ != nullptr) {
            if (info_->serial.instrBdPort != SIO_INVALID_HANDLE) ur_closeUZ(info_);
            info_->instrBdType = 0;
            info_->instrComm.clear();
        }
        dev_close_cntrl();
    }

    // Opens the board line of slot 0 to a simulated board of `type`, drained.
    void start(int type) {
        info_ = sb_system_info(0);
        ASSERT_TRUE(board_.start(info_, type));
        model_ = &board_.model();
        base_frames_ = line_.frames();
        line_.clear_transcript();
    }
    SerialHandle port() const { return info_->serial.instrBdPort; }
    // The frames the board has taken since start(), once it has taken at least
    // `expected` (or a while has passed): the library may see a reply that was
    // queued ahead before the board has read the request itself.
    std::size_t frames(std::size_t expected = 0) const {
        line_.wait_frames(base_frames_ + expected, 5000);
        return line_.frames() - base_frames_;
    }

    SimBoardSession board_;
    SimLine& line_ = board_.line();
    SimBoardModel* model_ = nullptr;
    SystemInfo* info_ = nullptr;
    std::size_t base_frames_ = 0;
};

TEST(BoardTables, MatchTheSimulatedBoardsCopyRowForRow) {
    const int expected_rows[] = {59, 63, 43, 42};  // type 6 keeps an unnamed row 0
    const int types[] = {1, 3, 6, 7};
    for (int t = 0; t < 4; ++t) {
        int count = 0, sim_count = 0;
        const UrCmdInfo* rows = ur_cmd_table(types[t], &count);
        const SimBoardCmd* sim = sim_board_table(types[t], &sim_count);
        ASSERT_EQ(count, expected_rows[t]) << "type " << types[t];
        int named = 0;
        for (int code = 0; code < count; ++code) {
            if (rows[code].name == nullptr) continue;
            ASSERT_LT(named, sim_count);
            const SimBoardCmd& s = sim[named++];
            EXPECT_EQ(s.code, code);
            EXPECT_STREQ(s.name, rows[code].name);
            EXPECT_EQ(s.reqLen, rows[code].reqLen) << s.name;
            EXPECT_EQ(s.replyLen, rows[code].replyLen) << s.name;
        }
        EXPECT_EQ(named, sim_count) << "type " << types[t];
    }
    EXPECT_EQ(ur_cmd_table(5, nullptr), nullptr);
    EXPECT_EQ(ur_cmd_code(3, "EE_SERIAL_SET_CMD"), UZ2_EE_SERIAL_SET_CMD);
    EXPECT_EQ(ur_cmd_code(6, "ADC_P200_READ_CMD"), -1);
}

TEST_F(Board, RequestGoesOutByteExactAndItsReplyIsUnpacked) {
    start(3);
    ASSERT_EQ(ur_ee_serial_set(info_, 0x00012345), 0);
    EXPECT_EQ(line_.received(), (SimBytes{0x06, 0x07, 0x00, 0x01, 0x23, 0x45, 0x70}));
    EXPECT_EQ(model_->eeprom().serial, 0x00012345u);
    uint32_t serial = 0;
    ASSERT_EQ(ur_ee_serial_read(info_, &serial), 0);
    EXPECT_EQ(serial, 0x00012345u);
}

TEST_F(Board, PowerCheckOfTheFirstGenerationIsThreeBytes) {
    start(1);
    uint8_t status = 0xAA;
    ASSERT_EQ(ur_power_check(info_, &status), 0);
    EXPECT_EQ(line_.received(), (SimBytes{0x02, 0x29, 0x29}));
    EXPECT_EQ(line_.sent(), (SimBytes{0x03, 0x29, 0x00, 0x29}));
    EXPECT_EQ(status, 0);
}

TEST_F(Board, NakAndBadChecksumsAreResentAtMostThreeTimes) {
    start(3);
    line_.nak_next(2);
    EXPECT_EQ(ur_ee_byte_set(info_, UR_EE_CAMERA, 7), 0);
    EXPECT_EQ(frames(3), 3u);
    EXPECT_EQ(model_->eeprom().camera, 7);

    CapturedMessages messages;
    line_.nak_next(3);
    EXPECT_EQ(ur_ee_byte_set(info_, UR_EE_LIGHT, 2), ERR_UZ_RECV_FAILED);
    EXPECT_EQ(frames(6), 6u);
    EXPECT_EQ(messages.text(), "ur_writeUZ failed: cmd=UZ2_EE_LIGHT_SET_CMD\n");

    // The corrupted reply 03 31 00 31 ends in 0xCE.
    messages.clear();
    line_.corrupt_next(3);
    uint8_t status = 0;
    EXPECT_EQ(ur_power_check(info_, &status), ERR_UZ_RECV_FAILED);
    EXPECT_EQ(frames(9), 9u);
    std::string bad = "ur_readUZ: checksum err recv 206 calc 49\n";
    EXPECT_EQ(messages.text(), bad + bad + bad + "ur_writeUZ failed: cmd=UZ2_POWER_CHK_CMD\n");

    line_.corrupt_next(1);
    model_->set_power_status(6);
    EXPECT_EQ(ur_power_check(info_, &status), 0);
    EXPECT_EQ(status, 6);
    EXPECT_EQ(frames(11), 11u);
}

TEST_F(Board, ReportsWhileAReplyIsAwaitedAreDroppedUpToTwo) {
    start(1);
    SimBytes two = SimBoardModel::report(UZ1_ZOOM_POSITION_CMD, 3);
    SimBytes one = SimBoardModel::report(UZ1_TURRET_POSITION_CMD, 1);
    two.insert(two.end(), one.begin(), one.end());
    line_.unsolicited_before_next(1, two);
    EXPECT_EQ(ur_ee_byte_set(info_, UR_EE_SYSTEM, 9), 0);
    EXPECT_EQ(frames(1), 1u);

    SimBytes three = two;
    three.insert(three.end(), one.begin(), one.end());
    line_.unsolicited_before_next(1, three);
    CapturedMessages messages;
    EXPECT_EQ(ur_ee_byte_set(info_, UR_EE_SYSTEM, 9), ERR_UZ_RECV_FAILED);
    EXPECT_EQ(messages.text(),
              "ur_readUZ: received unsolicited info\n"
              "ur_writeUZ failed: cmd=UZ1_EE_SYSTEM_SET_CMD\n");
    EXPECT_EQ(frames(2), 2u);
}

TEST_F(Board, EmptyOrInvalidLengthByteIsNoReply) {
    start(3);
    uint8_t buffer[UZ_REPLY_BUFFER_SIZE];
    int count = -1;
    line_.send({0x00, 0x80});
    EXPECT_EQ(ur_readUZ(port(), buffer, UZ_RESP_ACK, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(ur_readUZ(port(), buffer, UZ_RESP_DATA, &count), 0);
    EXPECT_EQ(count, 0);

    // Neither an acknowledgement nor a data reply: nothing was read.
    CapturedMessages messages;
    line_.silent_next(2);
    line_.send({0x00});
    EXPECT_EQ(ur_ee_byte_set(info_, UR_EE_INSTRBD, 3), ERR_UZ_RECV_FAILED);
    uint32_t serial = 0xDEADBEEF;
    line_.send({0x81});
    EXPECT_EQ(ur_ee_serial_read(info_, &serial), ERR_UZ_RECV_FAILED);
    EXPECT_EQ(serial, 0xDEADBEEFu);
    EXPECT_EQ(frames(2), 2u);
    EXPECT_EQ(messages.text(),
              "ur_writeUZ failed: cmd=UZ2_EE_INSTRBD_SET_CMD\n"
              "ur_writeUZ failed: cmd=UZ2_EE_SERIAL_READ_CMD\n");
}

TEST_F(Board, ShortOrMisechoedDataRepliesAreRefused) {
    start(3);
    CapturedMessages messages;
    // A well-formed reply with one payload byte where four are due.
    uint32_t serial = 0xDEADBEEF;
    line_.silent_next(1);
    line_.send(SimBoardModel::frame({UZ2_EE_SERIAL_READ_CMD, 0x55}));
    EXPECT_EQ(ur_ee_serial_read(info_, &serial), ERR_UZ_RECV_FAILED);
    EXPECT_EQ(serial, 0xDEADBEEFu);

    // A reply longer than the caller's frame is not copied into it.
    uint8_t frame[3] = {2, UZ2_EE_SERIAL_READ_CMD, 0};
    EXPECT_EQ(ur_writeUZ(port(), 2, frame, sizeof frame, true, false), ERR_UZ_RECV_FAILED);

    messages.clear();
    line_.silent_next(1);
    line_.send(SimBoardModel::frame({0x30, 0x00}));
    uint8_t status = 0;
    EXPECT_EQ(ur_power_check(info_, &status), ERR_UZ_RECV_FAILED);
    EXPECT_EQ(messages.text(),
              "ur_writeUZ: recvd invalid resp  wanted 49  got 48\n"
              "ur_writeUZ failed: cmd=UZ2_POWER_CHK_CMD\n");
}

TEST_F(Board, SilentBoardTimesOutAfterTenSecondsAndTheTimeoutIsRestored) {
    start(6);
    ASSERT_EQ(sio_set_timeout(port(), 3), 0);
    CapturedMessages messages;
    line_.silent_next(1);
    int64_t begin = plat_clock_ms();
    uint8_t status = 0;
    EXPECT_EQ(ur_syserr(info_, &status), ERR_UZ_RECV_TIMEOUT);
    int64_t waited = plat_clock_ms() - begin;
    EXPECT_GE(waited, 10000);
    EXPECT_LT(waited, 20000);
    EXPECT_EQ(messages.text(),
              "ur_readUZ: timed out on first byte, respType=2\n"
              "ur_writeUZ failed: cmd=VOK_SYSERR_CMD\n");
    int seconds = 0;
    ASSERT_EQ(sio_get_timeout(port(), &seconds), 0);
    EXPECT_EQ(seconds, 3);
    EXPECT_EQ(frames(1), 1u);

    // A frame cut short times out on the port's own read time-out.
    messages.clear();
    line_.truncate_next(1, 2);
    EXPECT_EQ(ur_syserr(info_, &status), ERR_UZ_RECV_TIMEOUT);
    EXPECT_EQ(messages.text(),
              "ur_readUZ: sio_read_data failed\n"
              "ur_writeUZ failed: cmd=VOK_SYSERR_CMD\n");
}

TEST_F(Board, PortsAndBoardTypesOutsideTheProtocol) {
    start(1);
    EXPECT_STREQ(ur_cmd_str(port(), UZ1_POWER_CHK_CMD), "UZ1_POWER_CHK_CMD");
    EXPECT_STREQ(ur_cmd_str(port(), 200), "UZ1_INVALID_CMD");

    SimLine other;
    ASSERT_TRUE(other.open(nullptr));
    SerialHandle stranger = SIO_INVALID_HANDLE;
    ASSERT_EQ(sio_open(other.path().c_str(), &stranger), 0);
    uint8_t buffer[UZ_REPLY_BUFFER_SIZE];
    int count = 0;
    EXPECT_EQ(ur_readUZ(stranger, buffer, UZ_RESP_ACK, &count), ERR_SYS_INFO_NOT_AVAIL);
    EXPECT_STREQ(ur_cmd_str(stranger, 1), "INVALID_PARAM");
    EXPECT_EQ(ur_readUZ(SIO_INVALID_HANDLE, buffer, UZ_RESP_ACK, &count), ERR_SYS_INFO_NOT_AVAIL);
    sio_close(&stranger);

    info_->instrBdType = 6;
    EXPECT_STREQ(ur_cmd_str(port(), 0), "VOK_INVALID_CMD");
    EXPECT_STREQ(ur_cmd_str(port(), 42), "VOK_SHUTTER_OUTPUT_CMD");

    // A board type the protocol does not know has no command names.
    info_->instrBdType = 5;
    CapturedMessages messages;
    EXPECT_EQ(ur_cmd_str(port(), 1), nullptr);
    uint8_t frame[4] = {2, 1};
    EXPECT_EQ(ur_writeUZ(port(), 2, frame, sizeof frame, false, false), ERR_WRONG_INSTR_BOARD);
    EXPECT_EQ(messages.text(),
              "ur_cmd_str: unknown instrBdType\n"
              "ur_cmd_str: unknown instrBdType\n"
              "ur_writeUZ failed: cmd=(null)\n");
    EXPECT_EQ(ur_readUZ(port(), buffer, UZ_RESP_ACK, &count), ERR_WRONG_INSTR_BOARD);
    EXPECT_EQ(ur_llc_set(info_, 1), ERR_WRONG_INSTR_BOARD);
    EXPECT_EQ(frames(0), 0u);
}

TEST_F(Board, InitRegistersTheLineAndCloseUndoesIt) {
    start(7);
    // Opening again replaces the line rather than leaving the old one behind.
    ASSERT_EQ(ur_initUZ(info_), 0);
    EXPECT_EQ(dev_device_count(), 1);
    SerialHandle open_port = port();
    EXPECT_TRUE(dev_is_registered(open_port));
    EXPECT_EQ(ur_closeUZ(info_), 0);
    EXPECT_EQ(port(), SIO_INVALID_HANDLE);
    EXPECT_FALSE(dev_is_registered(open_port));
    EXPECT_EQ(ur_closeUZ(info_), ERR_INVALID_PARAM);

    // A line missing from the device table is closed all the same.
    ASSERT_EQ(ur_initUZ(info_), 0);
    ASSERT_EQ(dev_remove_device(port()), 0);
    CapturedMessages messages;
    EXPECT_EQ(ur_closeUZ(info_), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(port(), SIO_INVALID_HANDLE);
    ASSERT_EQ(ur_initUZ(info_), 0);

    messages.clear();
    info_->instrBdType = 8;
    EXPECT_EQ(ur_initUZ(info_), ERR_UZ_COMM);
    EXPECT_EQ(messages.text(),
              "ur_initUZ: error initializing " + line_.path() + ": ERR_WRONG_INSTR_BOARD\n");
    info_->instrBdType = 7;

    SystemInfo* other = sb_system_info(1);
    other->instrBdType = 3;
    other->instrComm = "/nonexistent/board";
    messages.clear();
    EXPECT_EQ(ur_initUZ(other), ERR_UZ_COMM);
    EXPECT_EQ(messages.text(),
              "ur_initUZ: error initializing /nonexistent/board: ERR_CANT_OPEN_SERIAL\n");
    EXPECT_EQ(other->serial.instrBdPort, SIO_INVALID_HANDLE);
    other->instrBdType = 0;
    other->instrComm.clear();
}

TEST_F(Board, CloseAfterTheDeviceTableWentAwayStillFreesTheLine) {
    start(3);
    // The table reset, then closed, under an open line: each close reports
    // the failed removal, and the device is free for the next open.
    ASSERT_EQ(dev_init_cntrl(true), 0);
    EXPECT_EQ(ur_closeUZ(info_), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(port(), SIO_INVALID_HANDLE);
    ASSERT_EQ(ur_initUZ(info_), 0);
    EXPECT_TRUE(dev_is_registered(port()));

    dev_close_cntrl();
    CapturedMessages messages;
    EXPECT_EQ(ur_closeUZ(info_), ERR_DEV_CNTRL);
    EXPECT_EQ(port(), SIO_INVALID_HANDLE);
    ASSERT_EQ(dev_init_cntrl(false), 0);
    ASSERT_EQ(ur_initUZ(info_), 0);
    uint8_t status = 9;
    EXPECT_EQ(ur_power_check(info_, &status), 0);
    EXPECT_EQ(status, 0);
}

std::vector<uint16_t> ramp_words(int n) {
    std::vector<uint16_t> words(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) words[static_cast<std::size_t>(i)] = static_cast<uint16_t>(i * 37);
    return words;
}

rr_ramp_hdr_t ramp_header(int points) {
    rr_ramp_hdr_t hdr{};
    hdr.rampID = 0x142;  // the low byte goes out
    hdr.polar = '+';
    hdr.nPoints = points;
    hdr.offset = 0x800;
    hdr.trigStartAddr = 10;
    hdr.trigEndAddr = 1000;
    hdr.updateRate = 0x1234;
    return hdr;
}

TEST_F(Board, RampDownloadGoesOutInBlocksOf512ThenCompletes) {
    start(1);
    std::vector<uint16_t> words = ramp_words(1025);
    rr_ramp_hdr_t hdr = ramp_header(1025);
    ASSERT_EQ(ur_ramp_download(info_, 5, &hdr, words.data()), 0);
    EXPECT_EQ(model_->ramp_block_sizes(), (std::vector<int>{512, 512, 1}));
    EXPECT_EQ(model_->commands(),
              (std::vector<int>{UZ1_RAMP_LOAD_CMD, UZ1_RAMP_DATA_CMD, UZ1_RAMP_DATA_CMD,
                                UZ1_RAMP_DATA_CMD, UZ1_RAMP_COMPLETE_CMD}));
    SimRampSlot slot = model_->ramp_slot(5);
    EXPECT_TRUE(slot.complete);
    EXPECT_EQ(slot.words, words);
    EXPECT_EQ(slot.rampID, 0x42);
    EXPECT_EQ(slot.polar, '+');
    EXPECT_EQ(slot.updateRate, 0x1234);

    // The last block's frame: header 04 22 00 01 23, one word, its checksum.
    SimBytes received = line_.received();
    SimBytes tail(received.end() - 8 - 3, received.end() - 3);
    uint8_t w0 = static_cast<uint8_t>(words[1024] >> 8), w1 = static_cast<uint8_t>(words[1024]);
    EXPECT_EQ(tail,
              (SimBytes{0x04, 0x22, 0x00, 0x01, 0x23, w0, w1, static_cast<uint8_t>(w0 + w1)}));

    uint8_t ids[UZ_MAX_RAMP_SLOTS];
    ASSERT_EQ(ur_ramp_request(info_, ids), 0);
    EXPECT_EQ(ids[5], 0x42);
    EXPECT_EQ(ids[0], 0xFF);

    uint8_t status = 0;
    EXPECT_EQ(ur_ramp_update_rate(info_, 5, 99, &status), 0);
    EXPECT_EQ(ur_ramp_update_rate(info_, 6, 99, &status), ERR_INVALID_RAMP_INDEX);
    EXPECT_EQ(status, 23);

    model_->set_idle(false);
    EXPECT_EQ(ur_ramp_start(info_, 5), ERR_RAMP_BUSY);
    EXPECT_EQ(model_->commands().back(), UZ1_RAMP_IDLE_CMD);
    model_->set_idle(true);
    EXPECT_EQ(ur_ramp_start(info_, 5), 0);
    EXPECT_EQ(model_->started_ramp(), 5);
}

TEST_F(Board, FailedRampBlockIsResentOnceUnlessTheBoardReportedTrouble) {
    start(3);
    std::vector<uint16_t> words = ramp_words(600);
    rr_ramp_hdr_t hdr = ramp_header(600);
    CapturedMessages messages;

    // Load and first block pass; the second block is refused three times,
    // then taken when sent again.
    line_.delay_next(2, 0);
    line_.nak_next(3);
    ASSERT_EQ(ur_ramp_download(info_, 1, &hdr, words.data()), 0);
    EXPECT_EQ(frames(7), 7u);
    EXPECT_TRUE(model_->ramp_slot(1).complete);

    // A second failure of the same block ends the download; the slot goes.
    line_.delay_next(2, 0);
    line_.nak_next(6);
    EXPECT_EQ(ur_ramp_download(info_, 2, &hdr, words.data()), ERR_UZ_RECV_FAILED);
    EXPECT_EQ(model_->commands().back(), UZ2_RAMP_DELETE_CMD);
    EXPECT_FALSE(model_->ramp_slot(2).loaded);

    // After a non-zero ramp data status the failed block is not sent again.
    std::size_t before = frames();
    model_->set_ramp_data_status(4);
    line_.delay_next(2, 0);
    line_.nak_next(3);
    EXPECT_EQ(ur_ramp_download(info_, 3, &hdr, words.data()), ERR_UZ_RECV_FAILED);
    EXPECT_EQ(frames(before + 7) - before, 7u);  // load, data, data x3, complete, delete
    EXPECT_FALSE(model_->ramp_slot(3).loaded);
    EXPECT_TRUE(model_->ramp_slot(1).complete);
}

TEST_F(Board, RampOfOneFullBlockIsOneFrameOneWordMoreIsTwo) {
    start(7);
    std::vector<uint16_t> words = ramp_words(513);
    rr_ramp_hdr_t hdr = ramp_header(512);
    ASSERT_EQ(ur_ramp_download(info_, 0, &hdr, words.data()), 0);
    EXPECT_EQ(model_->ramp_block_sizes(), std::vector<int>{512});
    hdr.nPoints = 513;
    ASSERT_EQ(ur_ramp_download(info_, 1, &hdr, words.data()), 0);
    EXPECT_EQ(model_->ramp_block_sizes(), (std::vector<int>{512, 512, 1}));
    EXPECT_EQ(model_->ramp_slot(1).words, words);
}

TEST_F(Board, RefusedRampCompleteFailsTheDownloadAndDeletesTheSlot) {
    start(1);
    std::vector<uint16_t> words = ramp_words(600);
    rr_ramp_hdr_t hdr = ramp_header(600);

    // Load and both blocks pass; ramp complete is refused twice, taken the third time.
    line_.delay_next(3, 0);
    line_.nak_next(2);
    ASSERT_EQ(ur_ramp_download(info_, 4, &hdr, words.data()), 0);
    EXPECT_EQ(frames(6), 6u);
    EXPECT_TRUE(model_->ramp_slot(4).complete);

    // Refused three times: the download fails and the slot is deleted.
    std::size_t before = frames();
    CapturedMessages messages;
    line_.delay_next(3, 0);
    line_.nak_next(3);
    EXPECT_EQ(ur_ramp_download(info_, 5, &hdr, words.data()), ERR_UZ_RECV_FAILED);
    EXPECT_EQ(frames(before + 7) - before, 7u);  // load, data x2, complete x3, delete
    std::vector<int> commands = model_->commands();
    ASSERT_GE(commands.size(), 4u);
    EXPECT_EQ(std::vector<int>(commands.end() - 4, commands.end()),
              (std::vector<int>{UZ1_RAMP_LOAD_CMD, UZ1_RAMP_DATA_CMD, UZ1_RAMP_DATA_CMD,
                                UZ1_RAMP_DELETE_CMD}));
    EXPECT_FALSE(model_->ramp_slot(5).loaded);
    EXPECT_TRUE(model_->ramp_slot(4).complete);
    EXPECT_NE(messages.text().find("ur_writeUZ failed: cmd=UZ1_RAMP_COMPLETE_CMD\n"),
              std::string::npos)
        << messages.text();
}

TEST_F(Board, LightLevelIsScaledPerBoardType) {
    start(1);
    ASSERT_EQ(ur_llc_set(info_, 4095), 0);
    EXPECT_EQ(model_->llc_wire(), 0);
    ASSERT_EQ(ur_llc_set(info_, 95), 0);
    EXPECT_EQ(model_->llc_wire(), 4000);
    int level = 0;
    ASSERT_EQ(ur_llc_read(info_, &level), 0);
    EXPECT_EQ(level, 95);
    EXPECT_EQ(ur_llc_set(info_, 4096), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(ur_llc_set(info_, -1), ERR_PARAM_OUT_OF_RANGE);

    info_->instrBdType = 7;  // the simulated board keeps its type-1 table
    std::size_t sent = frames();
    EXPECT_EQ(ur_llc_set(info_, 3686), ERR_PARAM_OUT_OF_RANGE);
    info_->instrBdType = 3;
    EXPECT_EQ(ur_llc_set(info_, 160), ERR_PARAM_OUT_OF_RANGE);
    info_->instrBdType = 6;
    EXPECT_EQ(ur_llc_set(info_, 256), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(frames(), sent);
    info_->instrBdType = 1;
}

TEST_F(Board, LightLevelOfTheFtpBoard) {
    start(7);
    ASSERT_EQ(ur_llc_set(info_, 3685), 0);
    EXPECT_EQ(model_->llc_wire(), 0);
    model_->set_llc_wire(3000);
    int level = 0;
    ASSERT_EQ(ur_llc_read(info_, &level), 0);
    EXPECT_EQ(level, 685);
}

TEST_F(Board, PiezoFocusReadingsAreScaledAndCheckedFirstGenerationOnly) {
    start(1);
    int32_t value = 0;
    model_->set_pifoc_adc(0, 0x100, 2);
    ASSERT_EQ(ur_pifoc_adc_read(info_, 0, &value), 0);
    EXPECT_EQ(value, 0x400);
    model_->set_pifoc_adc(0, 0xFFFFFFF0u, 3);
    ASSERT_EQ(ur_pifoc_adc_read(info_, 0, &value), 0);
    EXPECT_EQ(value, -32);
    model_->set_pifoc_adc(0, 0x100, 5);  // no negative shift
    EXPECT_EQ(ur_pifoc_adc_read(info_, 0, &value), ERR_PIFOC_COMP);
    EXPECT_EQ(ur_pifoc_adc_read(info_, 2, &value), ERR_PARAM_OUT_OF_RANGE);

    CapturedMessages messages;
    model_->set_pifoc_adc(1, 0xFF800000u, 4);
    EXPECT_EQ(ur_pifoc_adc_read(info_, 1, &value), ERR_PIFOC_COMP);
    EXPECT_EQ(messages.text(), "### uz_pifoc_adcRead: invalid ADC value = 0xff800000\n");

    SimPifocComp comp;
    comp.values[0] = -5;
    comp.values[1] = 7;
    comp.min = 1;
    comp.max = 2;
    comp.first = 3;
    comp.mid = 0xFFFFFFFFu;
    comp.last = 5;
    comp.resolution = 1;
    model_->set_pifoc_comp(comp);
    UrPifocComp got{};
    ASSERT_EQ(ur_pifoc_comp_read(info_, &got), 0);
    EXPECT_EQ(got.values[0], -5);
    EXPECT_EQ(got.values[1], 7);
    EXPECT_EQ(got.min, 8);
    EXPECT_EQ(got.mid, -8);
    EXPECT_EQ(got.last, 40);
    comp.resolution = 9;
    model_->set_pifoc_comp(comp);
    EXPECT_EQ(ur_pifoc_comp_read(info_, &got), ERR_PIFOC_COMP);
    messages.clear();
    comp.resolution = 4;
    comp.max = 0x007FFFFF;
    model_->set_pifoc_comp(comp);
    EXPECT_EQ(ur_pifoc_comp_read(info_, &got), ERR_PIFOC_COMP);
    EXPECT_EQ(messages.text(), "### uz_pifoc_comp: bad max value 0x007fffff\n");

    ASSERT_EQ(ur_pifoc_adc_set(info_, 6, 3, 1, 0xBEEF), 0);
    EXPECT_EQ(model_->pifoc_adc_settings(), (std::vector<int>{6, 3, 1, 0xBEEF}));
    EXPECT_EQ(ur_pifoc_adc_set(info_, 2, 0, 0, 0), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(ur_pifoc_adc_set(info_, 0, 4, 0, 0), ERR_PARAM_OUT_OF_RANGE);

    model_->set_motor(1, 17);
    uint8_t motor = 0;
    ASSERT_EQ(ur_motor_read(info_, 1, &motor), 0);
    EXPECT_EQ(motor, 17);
    EXPECT_EQ(ur_motor_read(info_, 2, &motor), ERR_INVALID_PARAM);

    info_->instrBdType = 3;
    EXPECT_EQ(ur_pifoc_adc_read(info_, 0, &value), ERR_WRONG_INSTR_BOARD);
    EXPECT_EQ(ur_ramp_update_rate(info_, 0, 1, nullptr), ERR_WRONG_INSTR_BOARD);
    info_->instrBdType = 1;
}

TEST_F(Board, IoPortsAndPztValues) {
    start(6);
    ASSERT_EQ(ur_io_write(info_, 4096, 0x5A), 0);
    EXPECT_EQ(model_->io(4096), 0x5A);
    model_->set_io(6143, 0xA5);
    uint8_t value = 0;
    ASSERT_EQ(ur_io_read(info_, 6143, &value), 0);
    EXPECT_EQ(value, 0xA5);
    EXPECT_EQ(ur_io_read(info_, 6144, &value), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(ur_io_write(info_, 4095, 1), ERR_PARAM_OUT_OF_RANGE);

    const uint16_t pzt[3] = {0x1111, 0x2222, 0x3333};
    ASSERT_EQ(ur_pzt_set(info_, pzt), 0);
    EXPECT_EQ(model_->pzt(), (std::vector<uint16_t>{0x1111, 0, 0}));
    SimBytes received = line_.received();
    EXPECT_EQ(SimBytes(received.end() - 5, received.end()),
              (SimBytes{0x04, VOK_PZT_SET_CMD, 0x11, 0x11, 0x23}));
}

TEST_F(Board, ReportsAreReadAndCheckedPerBoardType) {
    start(1);
    ASSERT_EQ(ur_zoompos_report(info_, 1), 0);
    EXPECT_TRUE(model_->zoom_reports());
    EXPECT_EQ(ur_turretpos_report(info_, 2), ERR_INVALID_PARAM);
    UrReport report{};
    line_.send(SimBoardModel::report(UZ1_ZOOM_POSITION_CMD, 3));
    ASSERT_EQ(ur_read_report(info_, &report), 0);
    EXPECT_EQ(report.kind, UR_REPORT_ZOOM_POSITION);
    EXPECT_EQ(report.value, 2);

    // Other frames are passed over, three at most; a bad checksum is passed up.
    SimBytes ack = SimBoardModel::frame({UZ_ACK});
    SimBytes turret = SimBoardModel::report(UZ1_TURRET_POSITION_CMD, 1);
    SimBytes stream = ack;
    stream.insert(stream.end(), turret.begin(), turret.end());
    line_.send(stream);
    ASSERT_EQ(ur_read_report(info_, &report), 0);
    EXPECT_EQ(report.kind, UR_REPORT_TURRET_POSITION);
    EXPECT_EQ(report.value, 0);
    line_.send(ack);
    line_.send(ack);
    line_.send(ack);
    CapturedMessages messages;
    EXPECT_EQ(ur_read_report(info_, &report), ERR_UZ_RECV_FAILED);
    EXPECT_EQ(messages.text(), "");
    SimBytes bad = turret;
    bad.back() ^= 1;
    line_.send(bad);
    EXPECT_EQ(ur_read_report(info_, &report), UZ_STATUS_CHECKSUM);
}

TEST_F(Board, SecondGenerationAndCustomerReportsAcceptTheirValues) {
    start(3);
    UrReport report{};
    line_.send(SimBoardModel::report(UZ2_FKEY_CMD, 8));
    ASSERT_EQ(ur_read_report(info_, &report), 0);
    EXPECT_EQ(report.kind, UR_REPORT_FUNCTION_KEY);
    EXPECT_EQ(report.value, 8);
    line_.send(SimBoardModel::report(UZ2_FKEY_CMD, 7));
    EXPECT_EQ(ur_read_report(info_, &report), ERR_UZ_RECV_FAILED);
    line_.send(SimBoardModel::report(UZ2_RING_SPOT_CMD, 1));
    ASSERT_EQ(ur_read_report(info_, &report), 0);
    EXPECT_EQ(report.kind, UR_REPORT_RING_SPOT);
    line_.send(SimBoardModel::report(UZ2_ALIGN_VIEW_CMD, 2));
    EXPECT_EQ(ur_read_report(info_, &report), ERR_UZ_RECV_FAILED);
    // The customer board's function key is no report of this board type.
    line_.send(SimBoardModel::report(VOK_FKEY_CMD, 102));
    EXPECT_EQ(ur_read_report(info_, &report), ERR_UZ_RECV_FAILED);

    info_->instrBdType = 6;
    line_.send(SimBoardModel::report(VOK_FKEY_CMD, 109));
    ASSERT_EQ(ur_read_report(info_, &report), 0);
    EXPECT_EQ(report.kind, UR_REPORT_FUNCTION_KEY);
    EXPECT_EQ(report.value, 109);
    line_.send(SimBoardModel::report(VOK_ALIGN_VIEW_CMD, 0));
    ASSERT_EQ(ur_read_report(info_, &report), 0);
    EXPECT_EQ(report.kind, UR_REPORT_ALIGN_VIEW);
    info_->instrBdType = 3;
}

TEST(BoardStatus, MessagesAndErrorCodesFollowTheBoardType) {
    CapturedMessages messages;
    EXPECT_EQ(ur_board_status_error(3, 0), 0);
    EXPECT_EQ(ur_board_status_error(3, 12), ERR_HW_FAIL);
    EXPECT_EQ(ur_board_status_error(1, 13), ERR_HW_FAIL);
    EXPECT_EQ(ur_board_status_error(7, 20), ERR_INVALID_PARAM);
    EXPECT_EQ(ur_board_status_error(6, 1), ERR_INST_POWER);
    EXPECT_EQ(ur_board_status_error(7, 1), ERR_TURRET_TIMEOUT);
    EXPECT_EQ(ur_board_status_error(3, 1), ERR_PZT_STACK_FAULT);
    EXPECT_EQ(ur_board_status_error(6, 13), ERR_UNKNOWN);
    EXPECT_EQ(ur_board_status_error(5, 1), ERR_WRONG_INSTR_BOARD);
    EXPECT_EQ(messages.text(),
              "Error: LCA INIT* stuck high\n"
              "Error: LCA INIT* stuck hi\n"
              "Error:  Invalid motor position\n"
              "Error: Over voltage +12 volt power supply\n"
              "Error: Motor movement has timed out\n"
              "Error: PZT stack fault\n"
              "Error: Unrecognized instrument board error 13\n");
}

// What a power-on does with a board: open and drain the line, check power,
// read the software version and the EEPROM.
void power_on_readout(SystemInfo* info, SimBoardModel* model, const std::string& path, int type) {
    SCOPED_TRACE(type);
    SimBoardEeprom ee;
    ee.serial = 0x00A1B2C3;
    ee.sysdate = 2214;
    ee.camera = 11;
    ee.light = 1;
    ee.system = 27;
    ee.instrBd = static_cast<uint8_t>(type);
    model->set_eeprom(ee);
    info->instrBdType = type;
    info->instrComm = path;
    ASSERT_EQ(ur_initUZ(info), 0);
    ASSERT_EQ(ur_drainUZ(info), 0);
    uint8_t status = 0xFF;
    ASSERT_EQ(ur_power_check(info, &status), 0);
    EXPECT_EQ(ur_board_status_error(type, status), 0);
    uint8_t version = 0;
    ASSERT_EQ(ur_sw_version(info, &version), 0);
    EXPECT_EQ(version, 0x21);
    uint32_t serial = 0;
    uint16_t date = 0;
    uint8_t bytes[4] = {};
    ASSERT_EQ(ur_ee_serial_read(info, &serial), 0);
    ASSERT_EQ(ur_ee_sysdate_read(info, &date), 0);
    for (int f = UR_EE_CAMERA; f <= UR_EE_INSTRBD; ++f)
        ASSERT_EQ(ur_ee_byte_read(info, static_cast<UrEeField>(f), &bytes[f]), 0);
    EXPECT_EQ(serial, ee.serial);
    EXPECT_EQ(date, ee.sysdate);
    EXPECT_EQ(bytes[UR_EE_CAMERA], ee.camera);
    EXPECT_EQ(bytes[UR_EE_LIGHT], ee.light);
    EXPECT_EQ(bytes[UR_EE_SYSTEM], ee.system);
    EXPECT_EQ(bytes[UR_EE_INSTRBD], type);
    uint8_t ids[UZ_MAX_RAMP_SLOTS];
    ASSERT_EQ(ur_ramp_request(info, ids), 0);
    for (uint8_t id : ids) EXPECT_EQ(id, 0xFF);
    EXPECT_EQ(ur_closeUZ(info), 0);
}

TEST_F(Board, PowerOnReadsEveryBoardType) {
    info_ = sb_system_info(0);
    for (int type : {1, 3, 6, 7}) {
        SimLine line;
        SimBoardModel model(type);
        ASSERT_TRUE(line.open(&model));
        // Power-up noise is drained before the first command.
        line.send(SimBoardModel::report(UZ1_ZOOM_POSITION_CMD, 1));
        ASSERT_TRUE(line.wait_sent(4, 30000));
        power_on_readout(info_, &model, line.path(), type);
        line.close();
    }
}

TEST_F(Board, SupplyFaultReadsThatSupplysAdcForTheActualBoardType) {
    start(1);
    // Status 4 is the +12 V over-voltage on this board type (on the second
    // generation it would name the +12 V under-voltage; 3 is a PZT fault here).
    model_->set_power_status(4);
    uint8_t status = 0;
    ASSERT_EQ(ur_power_check(info_, &status), 0);
    CapturedMessages messages;
    EXPECT_EQ(ur_board_status_error(1, status), ERR_INST_POWER);
    EXPECT_EQ(ur_supply_diagnostic(info_, status), 0);
    EXPECT_EQ(ur_supply_diagnostic(info_, 3), 0);
    EXPECT_EQ(ur_supply_diagnostic(info_, 9), 0);
    EXPECT_EQ(messages.text(),
              "Error: Over voltage +12 volt power supply\n"
              "+12V PS test value 204 out of range [197,210]\n"
              "-15V PS test value 14 out of range [7,22]\n");
    EXPECT_EQ(model_->commands().back(), UZ1_ADC_N15_READ_CMD);
}

TEST_F(Board, SupplyFaultOfTheCustomerBoard) {
    start(6);
    model_->set_adc(2, 240);
    CapturedMessages messages;
    EXPECT_EQ(ur_supply_diagnostic(info_, 3), 0);  // +15 V over-voltage here
    EXPECT_EQ(ur_supply_diagnostic(info_, 7), 0);  // an LCA fault: no supply
    EXPECT_EQ(messages.text(), "+15V PS test value 240 out of range [215,231]\n");
}
}  // namespace
