// Every named board command against the simulated board: request bytes on the
// wire, reply unpacking, and the refusals that must not reach the line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "board/board.h"
#include "common/status.h"
#include "config/rampfile.h"
#include "config/sysinfo.h"
#include "devpoll/devpoll.h"
#include "platform/clock.h"
#include "board/testing/sim_board.h"
#include "sim/board_model.h"
#include "sim/line.h"
#include "sim/testing/pty_skip.h"

namespace {
const bool kScaled = [] {
    if (std::getenv("SURF_CLOCK_SCALE") == nullptr) plat_set_clock_scale(20);
    return true;
}();

class BoardLine : public ::testing::Test {
  protected:
    void SetUp() override { SKIP_WITHOUT_PTY(); }
    void TearDown() override {
        board_.stop();
        if (info_ != nullptr) {
            info_->instrBdType = 0;
            info_->instrComm.clear();
        }
    }

    void start(int type) {
        info_ = sb_system_info(0);
        ASSERT_TRUE(board_.start(info_, type));
        model_ = &board_.model();
        line_.clear_transcript();
    }

    // The last `n` bytes the board received.
    SimBytes tail(std::size_t n) const {
        SimBytes received = line_.received();
        if (received.size() < n) return received;
        return SimBytes(received.end() - static_cast<long>(n), received.end());
    }

    SimBoardSession board_;
    SimLine& line_ = board_.line();
    SimBoardModel* model_ = nullptr;
    SystemInfo* info_ = nullptr;
};

class BoardCommands : public BoardLine, public ::testing::WithParamInterface<int> {};
class BoardCommandPacking : public BoardLine {};

// A request frame: length byte, code, payload, checksum.
SimBytes request_frame(int code, const SimBytes& payload) {
    SimBytes body(payload.size() + 1);
    body[0] = static_cast<uint8_t>(code);
    std::copy(payload.begin(), payload.end(), body.begin() + 1);
    return SimBoardModel::frame(body);
}

struct CommandCase {
    const char* suffix;      // command name without the board type's prefix
    std::vector<int> types;  // empty: every board type that has the command
    std::function<int(SystemInfo*)> call;
    SimBytes request;               // payload after the code
    SimBytes reply;                 // reply payload of a command the board keeps no state for
    std::function<void()> check{};  // the unpacked reply
};

// Values every case writes its unpacked reply into.
struct Out {
    uint8_t byte = 0xEE;
    uint16_t word = 0;
    uint32_t serial = 0;
    int level = -1;
    int32_t position = 0;
    uint8_t ids[UZ_MAX_RAMP_SLOTS] = {};
    int32_t pifoc = -1;
    UrPifocComp comp{};
};

std::vector<CommandCase> all_cases(Out& o, SimBoardModel* model) {
    static const uint16_t kPzt[3] = {0x0102, 0x0304, 0x0506};
    static const uint8_t kComp[7] = {1, 2, 3, 4, 5, 6, 7};
    static const uint8_t kCam8[8] = {8, 7, 6, 5, 4, 3, 2, 1};
    static const uint8_t kCam2[2] = {0x12, 0x34};
    static const uint16_t kWords[2] = {0x1234, 0xABCD};
    static rr_ramp_hdr_t hdr = [] {
        rr_ramp_hdr_t h{};
        h.rampID = 0x142;  // the low byte goes out
        h.polar = '+';
        h.nPoints = 2;
        h.offset = 0x800;
        h.trigStartAddr = 10;
        h.trigEndAddr = 1000;
        h.updateRate = 0x1234;
        return h;
    }();
    auto byte_is = [&o](uint8_t want) { return [&o, want] { EXPECT_EQ(o.byte, want); }; };
    auto read_byte = [&o](int (*fn)(SystemInfo*, uint8_t*)) {
        return [&o, fn](SystemInfo* info) { return fn(info, &o.byte); };
    };
    auto no_reply = [](int (*fn)(SystemInfo*)) {
        return [fn](SystemInfo* info) { return fn(info); };
    };

    // clang-format off
    return {
        // PZT and light level.
        {"PZT_SET_CMD", {1, 3}, [](SystemInfo* i) { return ur_pzt_set(i, kPzt); },
         {1, 2, 3, 4, 5, 6}, {}, [model] { EXPECT_EQ(model->pzt()[2], 0x0506); }},
        {"PZT_SET_CMD", {6}, [](SystemInfo* i) { return ur_pzt_set(i, kPzt); }, {1, 2}, {}},
        {"PZT_POWER_CMD", {}, [](SystemInfo* i) { return ur_pzt_power(i, 1); }, {1}, {}},
        {"PZT_CHK_CMD", {}, read_byte(ur_pzt_check), {}, {0x41}, byte_is(0x41)},
        {"PZT_TYPE_CMD", {}, [](SystemInfo* i) { return ur_pzt_type(i, 2); }, {2}, {}},
        {"PZT3_DISCONNECT_CMD", {}, [](SystemInfo* i) { return ur_pzt3_disconnect(i, 1); }, {1}, {}},
        {"LLC_SET_CMD", {1}, [](SystemInfo* i) { return ur_llc_set(i, 95); }, {0x0F, 0xA0}, {}},
        {"LLC_SET_CMD", {7}, [](SystemInfo* i) { return ur_llc_set(i, 85); }, {0x0E, 0x10}, {}},
        {"LLC_SET_CMD", {3, 6}, [](SystemInfo* i) { return ur_llc_set(i, 150); }, {150}, {}},
        {"LLC_READ_CMD", {1, 7}, [&o](SystemInfo* i) { return ur_llc_read(i, &o.level); }, {}, {},
         [&o, model] { EXPECT_EQ(o.level, model->board_type() == 1 ? 95 : 85); }},
        {"LLC_READ_CMD", {3, 6}, [&o](SystemInfo* i) { return ur_llc_read(i, &o.level); }, {}, {},
         [&o] { EXPECT_EQ(o.level, 150); }},
        {"LLC_MODE_SET_CMD", {1}, [](SystemInfo* i) { return ur_llc_mode_set(i, 2, 0x0FA0); },
         {2, 0x0F, 0xA0}, {}},
        {"LLC_MODE_SET_CMD", {3}, [](SystemInfo* i) { return ur_llc_mode_set(i, 2, 0x9F); },
         {2, 0x9F}, {}},
        {"LLC_MODE_READ_CMD", {}, read_byte(ur_llc_mode_read), {}, {}, byte_is(2)},
        {"LLC_STABLE_CMD", {}, read_byte(ur_llc_stable), {}, {1}, byte_is(1)},

        // EEPROM, supplies, status, version, I/O.
        {"EE_SERIAL_SET_CMD", {}, [](SystemInfo* i) { return ur_ee_serial_set(i, 0x00A1B2C3); },
         {0x00, 0xA1, 0xB2, 0xC3}, {}},
        {"EE_SERIAL_READ_CMD", {}, [&o](SystemInfo* i) { return ur_ee_serial_read(i, &o.serial); },
         {}, {}, [&o] { EXPECT_EQ(o.serial, 0x00A1B2C3u); }},
        {"EE_SYSDATE_SET_CMD", {}, [](SystemInfo* i) { return ur_ee_sysdate_set(i, 0x08A6); },
         {0x08, 0xA6}, {}},
        {"EE_SYSDATE_READ_CMD", {}, [&o](SystemInfo* i) { return ur_ee_sysdate_read(i, &o.word); },
         {}, {}, [&o] { EXPECT_EQ(o.word, 0x08A6); }},
        {"EE_CAMERA_SET_CMD", {}, [](SystemInfo* i) { return ur_ee_byte_set(i, UR_EE_CAMERA, 11); },
         {11}, {}},
        {"EE_CAMERA_READ_CMD", {},
         [&o](SystemInfo* i) { return ur_ee_byte_read(i, UR_EE_CAMERA, &o.byte); }, {}, {}, byte_is(11)},
        {"EE_LIGHT_SET_CMD", {}, [](SystemInfo* i) { return ur_ee_byte_set(i, UR_EE_LIGHT, 12); },
         {12}, {}},
        {"EE_LIGHT_READ_CMD", {},
         [&o](SystemInfo* i) { return ur_ee_byte_read(i, UR_EE_LIGHT, &o.byte); }, {}, {}, byte_is(12)},
        {"EE_SYSTEM_SET_CMD", {}, [](SystemInfo* i) { return ur_ee_byte_set(i, UR_EE_SYSTEM, 13); },
         {13}, {}},
        {"EE_SYSTEM_READ_CMD", {},
         [&o](SystemInfo* i) { return ur_ee_byte_read(i, UR_EE_SYSTEM, &o.byte); }, {}, {}, byte_is(13)},
        {"EE_INSTRBD_SET_CMD", {}, [](SystemInfo* i) { return ur_ee_byte_set(i, UR_EE_INSTRBD, 14); },
         {14}, {}},
        {"EE_INSTRBD_READ_CMD", {},
         [&o](SystemInfo* i) { return ur_ee_byte_read(i, UR_EE_INSTRBD, &o.byte); }, {}, {}, byte_is(14)},
        {"ADC_P12_READ_CMD", {}, [&o](SystemInfo* i) { return ur_adc_read(i, UR_ADC_P12, &o.byte); },
         {}, {}, byte_is(204)},
        {"ADC_N15_READ_CMD", {}, [&o](SystemInfo* i) { return ur_adc_read(i, UR_ADC_N15, &o.byte); },
         {}, {}, byte_is(14)},
        {"ADC_P15_READ_CMD", {}, [&o](SystemInfo* i) { return ur_adc_read(i, UR_ADC_P15, &o.byte); },
         {}, {}, byte_is(223)},
        {"ADC_P200_READ_CMD", {}, [&o](SystemInfo* i) { return ur_adc_read(i, UR_ADC_P200, &o.byte); },
         {}, {}, byte_is(120)},
        {"POWER_CHK_CMD", {}, read_byte(ur_power_check), {}, {}, byte_is(0)},
        {"SYSERR_CMD", {}, read_byte(ur_syserr), {}, {}, byte_is(0)},
        {"SW_VERSION_CMD", {}, read_byte(ur_sw_version), {}, {}, byte_is(0x21)},
        {"RESET_UART_CMD", {}, no_reply(ur_reset_uart), {}, {}},
        {"WRITE_IO_CMD", {}, [](SystemInfo* i) { return ur_io_write(i, 4222, 240); },
         {0x10, 0x7E, 240}, {}},
        {"READ_IO_CMD", {}, [&o](SystemInfo* i) { return ur_io_read(i, 4222, &o.byte); },
         {0x10, 0x7E}, {}, byte_is(240)},

        // Ramps, in the order a board takes them.
        {"RAMP_LOAD_CMD", {}, [](SystemInfo* i) { return ur_ramp_load(i, 0, &hdr); },
         {0, 0x42, '+', 0, 2, 0x08, 0, 0, 10, 0x03, 0xE8, 0x12, 0x34}, {}},
        {"RAMP_DATA_CMD", {}, [&o](SystemInfo* i) { return ur_ramp_data(i, kWords, 2, &o.byte); },
         {}, {}, byte_is(0)},
        {"RAMP_COMPLETE_CMD", {}, no_reply(ur_ramp_complete), {}, {},
         [model] { EXPECT_TRUE(model->ramp_slot(0).complete); }},
        {"RAMP_REQUEST_CMD", {}, [&o](SystemInfo* i) { return ur_ramp_request(i, o.ids); }, {}, {},
         [&o] {
             EXPECT_EQ(o.ids[0], 0x42);
             EXPECT_EQ(o.ids[UZ_MAX_RAMP_SLOTS - 1], 0xFF);
         }},
        {"RAMP_UPDATERATE_CMD", {},
         [&o](SystemInfo* i) { return ur_ramp_update_rate(i, 0, 0x0102, &o.byte); },
         {0, 0x01, 0x02}, {}, [&o, model] {
             EXPECT_EQ(o.byte, 0);
             EXPECT_EQ(model->ramp_slot(0).updateRate, 0x0102);
         }},
        {"RAMP_IDLE_CMD", {}, read_byte(ur_ramp_idle), {}, {}, byte_is(1)},
        {"RAMP_START_CMD", {}, [](SystemInfo* i) { return ur_ramp_start(i, 0); }, {0}, {},
         [model] { EXPECT_EQ(model->started_ramp(), 0); }},
        {"RAMP_DAC_CMD", {}, [](SystemInfo* i) { return ur_ramp_dac(i, 0x0ABC); }, {0x0A, 0xBC}, {}},
        {"RAMP_ABORT_CMD", {}, no_reply(ur_ramp_abort), {}, {}},
        {"RAMP_DELETE_CMD", {}, [](SystemInfo* i) { return ur_ramp_delete(i, 0); }, {0}, {},
         [model] { EXPECT_FALSE(model->ramp_slot(0).loaded); }},

        // Motors and position reports.
        {"MOTOR_MOVE_CMD", {1}, [](SystemInfo* i) { return ur_motor_move(i, 1, 0x0203); },
         {1, 0x02, 0x03}, {}},
        {"MOTOR_MOVE_CMD", {7}, [](SystemInfo* i) { return ur_motor_move(i, 0, 0x03); }, {0x03}, {}},
        {"MOTOR_READ_CMD", {1}, [&o](SystemInfo* i) { return ur_motor_read(i, 1, &o.byte); }, {1},
         {}, byte_is(0x03)},
        {"MOTOR_READ_CMD", {7}, [&o](SystemInfo* i) { return ur_motor_read(i, 0, &o.byte); }, {},
         {}, byte_is(0x03)},
        {"ZOOMPOS_REPORT_CMD", {}, [](SystemInfo* i) { return ur_zoompos_report(i, 1); }, {1}, {}},
        {"TURRETPOS_REPORT_CMD", {}, [](SystemInfo* i) { return ur_turretpos_report(i, 1); }, {1}, {}},

        // Piezo focus and its compensation.
        {"PIFOC_LEVEL_CMD", {}, [](SystemInfo* i) { return ur_pifoc_level(i, 0x8001); },
         {0x80, 0x01}, {}},
        {"PIFOC_RESET_CMD", {}, [](SystemInfo* i) { return ur_pifoc_reset(i, 1, 0x0203); },
         {1, 0x02, 0x03}, {}},
        {"PC_ADC_SET_CMD", {}, [](SystemInfo* i) { return ur_pifoc_adc_set(i, 1, 2, 1, 625); },
         {1, 2, 1, 0x02, 0x71}, {}},
        {"PC_ADC_READ_CMD", {}, [&o](SystemInfo* i) { return ur_pifoc_adc_read(i, 0, &o.pifoc); },
         {0}, {}, [&o] { EXPECT_EQ(o.pifoc, 0); }},
        {"PC_READ_CMD", {}, [&o](SystemInfo* i) { return ur_pifoc_comp_read(i, &o.comp); }, {}, {},
         [&o] { EXPECT_EQ(o.comp.resolution, 4); }},
        {"RAMP_COMP_LOAD_CMD", {}, [](SystemInfo* i) { return ur_ramp_comp_load(i, 3, kComp); },
         {3, 1, 2, 3, 4, 5, 6, 7}, {}},
        {"PC_RAMP_DONE_CMD", {}, no_reply(ur_pc_ramp_done), {}, {}},
        {"EXPANSION_BD_CMD", {}, read_byte(ur_expansion_bd), {}, {1}, byte_is(1)},
        {"LCZDRIVE_CMD", {}, [](SystemInfo* i) { return ur_lczdrive(i, 0x33); }, {0x33}, {}},

        // Camera.
        {"CAMERA_RES_CMD", {}, [](SystemInfo* i) { return ur_camera_res(i, 1); }, {1}, {}},
        {"CUSTOM_CAMERA_CMD", {1, 7}, [](SystemInfo* i) { return ur_custom_camera(i, kCam8, 8); },
         {8, 7, 6, 5, 4, 3, 2, 1}, {}},
        {"CUSTOM_CAMERA_CMD", {3}, [](SystemInfo* i) { return ur_custom_camera(i, kCam2, 2); },
         {0x12, 0x34}, {}},

        // Wand, video, position lock, position counter.
        {"WAND_CMD", {}, [](SystemInfo* i) { return ur_wand(i, 5); }, {5}, {}},
        {"WAND_MOTION_CMD", {}, read_byte(ur_wand_motion), {}, {0x61}, byte_is(0x61)},
        {"WAND_MODE_CMD", {}, read_byte(ur_wand_mode), {}, {0x62}, byte_is(0x62)},
        {"WAND_MODE2_CMD", {}, read_byte(ur_wand_mode2), {}, {0x63}, byte_is(0x63)},
        {"VIDEO_PR_CMD", {}, no_reply(ur_video_pr), {}, {}},
        {"LOCK_POS_CMD", {}, [](SystemInfo* i) { return ur_lock_pos(i, 1); }, {1}, {}},
        {"AXIOM_INIT_CMD", {}, read_byte(ur_axiom_init), {}, {0x03}, byte_is(0x03)},
        {"AXIOM_POS_CMD", {},
         [&o](SystemInfo* i) { return ur_axiom_pos(i, &o.position, &o.word); }, {},
         {0xFF, 0xFF, 0xFF, 0xFE, 0x00, 0x02}, [&o] {
             EXPECT_EQ(o.position, -2);
             EXPECT_EQ(o.word, 2);
         }},
        {"AXIOM_CMD", {}, read_byte(ur_axiom), {}, {0x64}, byte_is(0x64)},

        // Triple PZT, diffuser disc, ring/spot and align-view.
        {"PZT3_CMD", {}, read_byte(ur_pzt3), {}, {0x65}, byte_is(0x65)},
        {"PZT3_RESET_CMD", {}, no_reply(ur_pzt3_reset), {}, {}},
        {"PZT3_STATUS_CMD", {}, read_byte(ur_pzt3_status), {}, {0x66}, byte_is(0x66)},
        {"PZT3_PWRCHK_CMD", {}, read_byte(ur_pzt3_power_check), {}, {0x67}, byte_is(0x67)},
        {"PZT3_RAMP_CMD", {}, [](SystemInfo* i) { return ur_pzt3_ramp(i, kPzt); },
         {1, 2, 3, 4, 5, 6}, {}},
        {"DD_VOLTCHK_CMD", {}, read_byte(ur_dd_volt_check), {}, {0x68}, byte_is(0x68)},
        {"CHANGE_RINGSPOT_CMD", {}, [](SystemInfo* i) { return ur_change_ringspot(i, 1); }, {1}, {}},
        {"CHANGE_ALIGNVIEW_CMD", {}, [](SystemInfo* i) { return ur_change_alignview(i, 0); }, {0}, {}},
        {"AV_MOVING_CMD", {}, read_byte(ur_av_moving), {}, {0x69}, byte_is(0x69)},
        {"RS_MOVING_CMD", {}, read_byte(ur_rs_moving), {}, {0x6A}, byte_is(0x6A)},

        // Shutter and KMR.
        {"SHUTTER_STATE_CMD", {}, [](SystemInfo* i) { return ur_shutter_state(i, 1); }, {1}, {}},
        {"SHUTTER_OUTPUT_CMD", {}, [](SystemInfo* i) { return ur_shutter_output(i, 0); }, {0}, {}},
        {"READ_KMR_LOCKEDP_CMD", {}, read_byte(ur_read_kmr_lockedp), {}, {0x6B}, byte_is(0x6B)},
        {"READ_KMR_MEASERR_CMD", {}, read_byte(ur_read_kmr_measerr), {}, {0x6C}, byte_is(0x6C)},
        {"RESET_KMR_CMD", {}, no_reply(ur_reset_kmr), {}, {}},
    };
    // clang-format on
}

// Each named function of the board type goes out as its command with the
// expected payload and unpacks the board's reply; a function the type lacks
// sends nothing. Every requestable command of the type is reached.
TEST_P(BoardCommands, EveryCommandHasANamedFunction) {
    const int type = GetParam();
    start(type);
    Out out;
    for (const CommandCase& c : all_cases(out, model_)) {
        if (!c.types.empty() && std::find(c.types.begin(), c.types.end(), type) == c.types.end())
            continue;
        SCOPED_TRACE(std::string(c.suffix) + " on type " + std::to_string(type));
        int code = ur_cmd_code(type, c.suffix);
        std::size_t before = line_.received().size();
        if (code < 0) {
            EXPECT_EQ(c.call(info_), ERR_WRONG_INSTR_BOARD);
            EXPECT_EQ(line_.received().size(), before);
            continue;
        }
        if (!c.reply.empty()) model_->set_reply(code, c.reply);
        ASSERT_EQ(c.call(info_), 0);
        if (c.suffix == std::string("RAMP_DATA_CMD")) {
            // Header 04 code 00 02 and its checksum, the words, their checksum.
            EXPECT_EQ(tail(10),
                      (SimBytes{0x04, static_cast<uint8_t>(code), 0x00, 0x02,
                                static_cast<uint8_t>(code + 2), 0x12, 0x34, 0xAB, 0xCD, 0xBE}));
        } else {
            SimBytes want = request_frame(code, c.request);
            EXPECT_EQ(tail(want.size()), want);
        }
        EXPECT_EQ(model_->commands().back(), code);
        if (c.check) c.check();
    }

    std::vector<int> taken = model_->commands();
    int count = 0;
    const UrCmdInfo* rows = ur_cmd_table(type, &count);
    for (int code = 0; code < count; ++code) {
        if (rows[code].name == nullptr || rows[code].reqLen < 2) continue;
        EXPECT_NE(std::find(taken.begin(), taken.end(), code), taken.end())
            << rows[code].name << " has no named function";
    }
}

INSTANTIATE_TEST_SUITE_P(BoardTypes, BoardCommands, ::testing::Values(1, 3, 6, 7),
                         [](const ::testing::TestParamInfo<int>& p) {
                             return "Type" + std::to_string(p.param);
                         });

// Packing that differs between board types, checked against literal frames.
TEST_F(BoardCommandPacking, WideValuesGoOutHighByteFirst) {
    start(1);
    ASSERT_EQ(ur_motor_move(info_, 1, 0x0203), 0);
    EXPECT_EQ(line_.received(), (SimBytes{0x05, 0x01, 0x01, 0x02, 0x03, 0x07}));
    line_.clear_transcript();
    ASSERT_EQ(ur_llc_mode_set(info_, 2, 0x0FA0), 0);
    EXPECT_EQ(line_.received(), (SimBytes{0x05, 0x07, 0x02, 0x0F, 0xA0, 0xB8}));
    line_.clear_transcript();
    const uint8_t comp[7] = {1, 2, 3, 4, 5, 6, 7};
    ASSERT_EQ(ur_ramp_comp_load(info_, 3, comp), 0);
    EXPECT_EQ(line_.received(),
              (SimBytes{0x0A, 0x31, 0x03, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x50}));
}

TEST_F(BoardCommandPacking, SecondGenerationFramesAndTheCounterReply) {
    start(3);
    const uint8_t camera[2] = {0x12, 0x34};
    ASSERT_EQ(ur_custom_camera(info_, camera, 2), 0);
    EXPECT_EQ(line_.received(), (SimBytes{0x04, 0x38, 0x12, 0x34, 0x7E}));
    line_.clear_transcript();
    const uint16_t pzt[3] = {0x0102, 0x0304, 0x0506};
    ASSERT_EQ(ur_pzt3_ramp(info_, pzt), 0);
    EXPECT_EQ(line_.received(), (SimBytes{0x08, 0x2C, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x41}));

    // 32-bit count, then the status word.
    model_->set_reply(UZ2_AXIOM_POS_CMD, {0x80, 0x00, 0x00, 0x01, 0x12, 0x34});
    line_.clear_transcript();
    int32_t position = 0;
    uint16_t status = 0;
    ASSERT_EQ(ur_axiom_pos(info_, &position, &status), 0);
    EXPECT_EQ(line_.sent(), (SimBytes{0x08, 0x21, 0x80, 0x00, 0x00, 0x01, 0x12, 0x34, 0xE8}));
    EXPECT_EQ(position, static_cast<int32_t>(0x80000001u));
    EXPECT_EQ(status, 0x1234);
}

// Values a command cannot carry are refused before anything is sent.
TEST_F(BoardCommandPacking, OutOfRangeArgumentsNeverReachTheLine) {
    start(1);
    EXPECT_EQ(ur_motor_move(info_, 2, 0), ERR_INVALID_PARAM);
    EXPECT_EQ(ur_motor_move(info_, 0, 0x10000), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(ur_motor_move(info_, 0, -1), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(ur_llc_mode_set(info_, 0, 0x10000), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(ur_pzt_power(info_, 2), ERR_INVALID_PARAM);
    EXPECT_EQ(ur_pzt_type(info_, 0), ERR_INVALID_PARAM);
    EXPECT_EQ(ur_ramp_comp_load(info_, 256, nullptr), ERR_INVALID_PARAM);
    const uint8_t comp[7] = {};
    EXPECT_EQ(ur_ramp_comp_load(info_, 256, comp), ERR_PARAM_OUT_OF_RANGE);
    const uint8_t camera[8] = {};
    EXPECT_EQ(ur_custom_camera(info_, camera, 2), ERR_INVALID_PARAM);
    EXPECT_EQ(ur_custom_camera(info_, nullptr, 8), ERR_INVALID_PARAM);

    info_->instrBdType = 7;  // the line stays with the type-1 board: nothing may go out
    EXPECT_EQ(ur_motor_move(info_, 1, 0), ERR_INVALID_PARAM);
    EXPECT_EQ(ur_motor_move(info_, 0, 0x100), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(ur_motor_read(info_, 1, nullptr), ERR_INVALID_PARAM);
    info_->instrBdType = 3;
    EXPECT_EQ(ur_llc_mode_set(info_, 0, 0x100), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(ur_custom_camera(info_, camera, 8), ERR_INVALID_PARAM);
    EXPECT_EQ(ur_change_ringspot(info_, 2), ERR_INVALID_PARAM);
    EXPECT_EQ(ur_change_alignview(info_, -1), ERR_INVALID_PARAM);
    const uint16_t* none = nullptr;
    EXPECT_EQ(ur_pzt3_ramp(info_, none), ERR_INVALID_PARAM);
    info_->instrBdType = 6;
    EXPECT_EQ(ur_llc_mode_set(info_, 0, 0), ERR_WRONG_INSTR_BOARD);
    EXPECT_EQ(ur_custom_camera(info_, camera, 8), ERR_WRONG_INSTR_BOARD);
    info_->instrBdType = 5;
    EXPECT_EQ(ur_reset_uart(info_), ERR_WRONG_INSTR_BOARD);
    EXPECT_EQ(ur_wand(info_, 1), ERR_WRONG_INSTR_BOARD);
    info_->instrBdType = 1;
    EXPECT_TRUE(line_.received().empty());
}

// A board that refuses a command: the named function reports the failure
// and leaves the caller's value alone.
TEST_F(BoardCommandPacking, RefusedReadsLeaveTheOutputUntouched) {
    start(7);
    line_.nak_next(3);
    uint8_t locked = 0xA5;
    EXPECT_EQ(ur_read_kmr_lockedp(info_, &locked), ERR_UZ_RECV_FAILED);
    EXPECT_EQ(locked, 0xA5);
    line_.nak_next(3);
    EXPECT_EQ(ur_reset_kmr(info_), ERR_UZ_RECV_FAILED);
}
}  // namespace
