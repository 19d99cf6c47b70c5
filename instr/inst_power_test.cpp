#include "instr/inst_power.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "board/board.h"
#include "board/testing/sim_board.h"
#include "common/dirs.h"
#include "common/status.h"
#include "common/testing/capture_sink.h"
#include "common/testing/temp_dir.h"
#include "config/rampfile.h"
#include "config/sysinfo.h"
#include "devpoll/devpoll.h"
#include "instr/ramp_set.h"
#include "instr/testing/bias_ramp.h"
#include "pifoc/pifoc.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "sim/board_model.h"
#include "sim/testing/pty_skip.h"

namespace {

constexpr int32_t kPifoc = 4711;
constexpr int32_t kTm6710 = 13;
constexpr int32_t kXc7500 = 7;
constexpr int32_t kCameraLink = 8;
constexpr int32_t kMatrox = 2;
constexpr const char* kRampName = "d10s81c25.b4711";

// The ramps directory is decided once per process and the ramp-set tests of
// this binary may name it first: ramps go to whichever is in use.
TempDir& own_ramps_dir() {
    static TempDir dir;
    return dir;
}
std::string ramp_path(const char* name) {
    return std::string(u_ramps_dir()) + "/" + name;
}
// The piezo-focus history lives in the configuration directory's ramps folder.
TempDir& config_dir() {
    static TempDir dir;
    return dir;
}
const bool kEnvironment = [] {
    std::filesystem::create_directory(config_dir().file("ramps"));
    plat_set_env("KT_CONFIG_DIR", config_dir().path().c_str());
    if (std::getenv("KT_RAMPS_DIR") == nullptr)
        plat_set_env("KT_RAMPS_DIR", own_ramps_dir().path().c_str());
    plat_set_env(RR_KEEP_RAMPS_ENV, nullptr);
    if (std::getenv("SURF_CLOCK_SCALE") == nullptr) plat_set_clock_scale(20);
    return true;
}();

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}
// The last line of the messages (power-on prints the ramp set before).
std::string last_line(const std::string& text) {
    if (text.empty()) return text;
    std::size_t end = text.size() - 1;
    std::size_t start = text.rfind('\n', end - 1);
    return start == std::string::npos ? text : text.substr(start + 1);
}

class InstPower : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(inst_write_bias_ramp(u_ramps_dir(), kPifoc), 0);
        vr_set_pifoc_cook_switch(false);
        info_ = sb_system_info(0);
        info_->pifocSet = true;
        info_->pifocId = kPifoc;
        info_->pifocAlpha = 1.0;
        info_->pifocBeta = 0;
        info_->power = SysPowerState{};
        info_->power.pztType = 1;
        info_->rampConfig.clear();  // scan the ramp directory
        info_->systemType = 5;
        info_->cameraType = kTm6710;
        info_->frameGrabberType = kCameraLink;
        info_->lightType = 1;
    }
    void TearDown() override {
        inst_off(info_);
        board_.stop();
        rr_ramp_set_release(&info_->power.rampSet);
        info_->pifocState.reset();
        sb_reset_calibration(info_);
        info_->power = SysPowerState{};
        inst_set_regmap_driver(nullptr);
        std::filesystem::remove(ramp_path(kRampName));
        std::filesystem::remove(vr_pifoc_info_path(kPifoc));
    }

    // A simulated board of `type` on slot 0's line, not yet opened.
    void open_board(int type, int version = 20) {
        ASSERT_TRUE(board_.open(info_, type));
        board_.model().set_sw_version(static_cast<uint8_t>(version));
    }
    bool line_open() const { return info_->serial.instrBdPort != SIO_INVALID_HANDLE; }

    SystemInfo* info_ = nullptr;
    SimBoardSession board_;
};

TEST_F(InstPower, SerialBoardsComeOnAndGoOffLeavingNothingBehind) {
    SKIP_WITHOUT_PTY();
    struct Case {
        int board, system;
    };
    for (Case c : {Case{1, 5}, Case{3, 5}, Case{3, 19}, Case{3, 27}, Case{6, 5}, Case{7, 5}}) {
        SCOPED_TRACE(c.board * 100 + c.system);
        open_board(c.board, 9);
        info_->systemType = c.system;
        int fds = plat_process_descriptor_count();
        int threads = plat_process_thread_count();
        int devices = dev_device_count();
        for (int cycle = 0; cycle < 3; ++cycle) {
            CapturedMessages msgs;
            ASSERT_EQ(inst_on(info_), 0) << msgs.text();
            EXPECT_TRUE(info_->power.instrumentOn);
            EXPECT_EQ(info_->power.instrBdVersion, 9);
            EXPECT_TRUE(line_open());
            EXPECT_EQ(info_->power.rampSet.count, 1);
            if (c.board == 1) {
                ASSERT_NE(vr_pifoc_state(info_), nullptr);
                EXPECT_EQ(vr_pifoc_state(info_)->ramps, &info_->power.rampSet);
            }
            ASSERT_EQ(inst_off(info_), 0) << msgs.text();
            EXPECT_FALSE(info_->power.instrumentOn);
            EXPECT_FALSE(line_open());
            EXPECT_EQ(info_->power.rampSet.count, 0);
            if (c.board == 1) {
                EXPECT_EQ(vr_pifoc_state(info_)->ramps, nullptr);
            }
        }
        EXPECT_EQ(plat_process_descriptor_count(), fds);
        // A thread of an earlier case may still be ending when the count
        // is taken: fewer afterwards is fine, more would be one left behind.
        EXPECT_LE(plat_process_thread_count(), threads);
        EXPECT_EQ(dev_device_count(), devices);
        board_.stop();
        info_->pifocState.reset();
    }
}

TEST_F(InstPower, FailedBoardPowerOnClosesTheLineAndLeavesTheInstrumentOff) {
    SKIP_WITHOUT_PTY();
    open_board(1);
    int devices = dev_device_count();
    std::filesystem::remove(ramp_path(kRampName));
    CapturedMessages msgs;
    EXPECT_EQ(inst_on(info_), ERR_NO_RAMP_INFO);
    EXPECT_FALSE(info_->power.instrumentOn);
    EXPECT_FALSE(line_open());
    EXPECT_EQ(dev_device_count(), devices);
    // inst_off of an instrument that is not on sends nothing.
    std::size_t frames = board_.line().frames();
    EXPECT_EQ(inst_off(info_), 0);
    EXPECT_EQ(board_.line().frames(), frames);
}

TEST_F(InstPower, SupplyFaultFailsPowerOnAndTheCheckWithTheBoardsMessage) {
    SKIP_WITHOUT_PTY();
    open_board(1);
    board_.model().set_power_status(5);  // under voltage +12 V
    CapturedMessages msgs;
    EXPECT_EQ(inst_on(info_), ERR_INST_POWER);
    EXPECT_TRUE(contains(msgs.text(), "Error: Under voltage +12 volt power supply\n"))
        << msgs.text();
    EXPECT_TRUE(contains(msgs.text(), "+12V PS test value")) << msgs.text();
    EXPECT_FALSE(line_open());
    EXPECT_FALSE(info_->power.instrumentOn);

    board_.model().set_power_status(0);
    ASSERT_EQ(inst_on(info_), 0) << msgs.text();
    EXPECT_EQ(inst_check(info_), 0);
    board_.model().set_power_status(5);
    EXPECT_EQ(inst_check(info_), ERR_INST_POWER);
}

TEST_F(InstPower, UnansweredBoardReturnsTheLinesErrorUnchanged) {
    SKIP_WITHOUT_PTY();
    open_board(3);
    board_.line().silent_next(UZ_SEND_ATTEMPTS);
    EXPECT_EQ(inst_on(info_), ERR_UZ_RECV_TIMEOUT);
    EXPECT_FALSE(line_open());
}

TEST_F(InstPower, PiezoFocusHistoryIsKeptAcrossCycles) {
    SKIP_WITHOUT_PTY();
    open_board(1);
    info_->pifocAlpha = SB_PIFOC_ALPHA_DEFAULT;  // aging bookkeeping on
    info_->pifocBeta = SB_PIFOC_BETA_DEFAULT;
    CapturedMessages msgs;
    ASSERT_EQ(inst_on(info_), 0) << msgs.text();
    EXPECT_TRUE(contains(msgs.text(), "Cannot open pifoc info file"));  // a new drive
    ASSERT_EQ(inst_off(info_), 0) << msgs.text();
    EXPECT_TRUE(std::filesystem::exists(vr_pifoc_info_path(kPifoc)));
    msgs.clear();
    ASSERT_EQ(inst_on(info_), 0) << msgs.text();
    EXPECT_FALSE(contains(msgs.text(), "Cannot open pifoc info file")) << msgs.text();
    ASSERT_EQ(inst_off(info_), 0) << msgs.text();
}

TEST_F(InstPower, InstOffClearsTheFlagAndReturnsTheFirstFailure) {
    SKIP_WITHOUT_PTY();
    open_board(1);
    info_->pifocAlpha = SB_PIFOC_ALPHA_DEFAULT;
    info_->pifocBeta = SB_PIFOC_BETA_DEFAULT;
    CapturedMessages msgs;
    ASSERT_EQ(inst_on(info_), 0);
    board_.line().silent_next(3 * UZ_SEND_ATTEMPTS);  // the drive's level write goes unanswered
    int result = inst_off(info_);
    EXPECT_NE(result, 0);
    EXPECT_FALSE(info_->power.instrumentOn);
    EXPECT_FALSE(line_open());  // the close ran after the failure
    EXPECT_EQ(info_->power.rampSet.count, 0);
}

// A failing compatibility check must not leave the board line open behind an
// instrument marked off.
TEST_F(InstPower, CompatibilityFailureAfterPowerOnPowersTheBoardOff) {
    SKIP_WITHOUT_PTY();
    open_board(1);
    int fds = plat_process_descriptor_count();
    int devices = dev_device_count();
    info_->cameraType = 24;
    CapturedMessages msgs;
    EXPECT_EQ(inst_on(info_), ERR_SB_INST_CONFIG);
    EXPECT_EQ(last_line(msgs.text()),
              "CameraLink frame grabber is incompatible with camera type DGFLY6200\n");
    EXPECT_FALSE(info_->power.instrumentOn);
    EXPECT_FALSE(line_open());
    EXPECT_EQ(plat_process_descriptor_count(), fds);
    EXPECT_EQ(dev_device_count(), devices);

    info_->cameraType = 26;
    EXPECT_EQ(inst_on(info_), 0) << msgs.text();
    EXPECT_TRUE(info_->power.instrumentOn);
}

TEST_F(InstPower, CameraVersionLimitsOfBothSerialBoards) {
    SKIP_WITHOUT_PTY();
    struct Case {
        int board, camera, version, result;
        const char* message;
    };
    const Case cases[] = {
        {1, kXc7500, 6, ERR_SB_INST_CONFIG,
         "VRNX instr software version 6 is incompatible with camera type XC7500.\n"},
        {1, kXc7500, 7, 0, ""},
        {1, 8, 6, ERR_SB_INST_CONFIG,
         "VRNX instr software version 6 is incompatible with camera type XC7500S.\n"},
        {1, 12, 12, ERR_SB_INST_CONFIG,
         "VRNX instr software version 12 is incompatible with camera type CUSTOM.\n"},
        {1, 12, 13, 0, ""},
        {3, kXc7500, 5, ERR_SB_INST_CONFIG,
         "QEL instr software version 5 is incompatible with camera type XC7500.\n"},
        {3, 8, 6, 0, ""},
        {3, 12, 7, ERR_SB_INST_CONFIG,
         "QEL instr software version 7 is incompatible with camera type CUSTOM.\n"},
        {3, 12, 8, 0, ""},
        {6, kXc7500, 1, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.board * 10000 + c.camera * 100 + c.version);
        open_board(c.board, c.version);
        info_->frameGrabberType = kMatrox;
        info_->cameraType = c.camera;
        CapturedMessages msgs;
        EXPECT_EQ(inst_on(info_), c.result) << msgs.text();
        if (c.result != 0) {
            EXPECT_EQ(last_line(msgs.text()), c.message);
        } else {
            EXPECT_FALSE(contains(msgs.text(), "incompatible")) << msgs.text();
        }
        EXPECT_EQ(line_open(), c.result == 0);
        inst_off(info_);
        board_.stop();
        info_->pifocState.reset();
    }
}

TEST_F(InstPower, CustomCameraOnTheFtpBoardRunsItsSetUp) {
    SKIP_WITHOUT_PTY();
    open_board(7);
    info_->frameGrabberType = kMatrox;
    info_->cameraType = 12;
    for (int i = 0; i < 8; ++i) info_->cameraConfig[i] = 0x30 + i;
    ASSERT_EQ(inst_on(info_), 0);
    SimBytes sent = board_.model().last_payload(41);
    EXPECT_EQ(sent, (SimBytes{0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37}));
    ASSERT_EQ(inst_off(info_), 0);

    board_.stop();

    // The customer board has no such set-up: its refusal fails the power-on
    // and the board goes off again.
    open_board(6);
    CapturedMessages msgs;
    EXPECT_EQ(inst_on(info_), ERR_WRONG_INSTR_BOARD);
    EXPECT_FALSE(line_open());
    EXPECT_FALSE(info_->power.instrumentOn);
}

TEST_F(InstPower, FrameGrabberRulesOnBothSides) {
    info_->instrBdType = SB_BOARD_NOT_NEEDED;
    info_->power.instrBdVersion = 0;
    auto range = [](int lo, int hi) {
        std::set<int> s;
        for (int i = lo; i <= hi; ++i) s.insert(i);
        return s;
    };
    std::set<int> all = range(1, 32);
    std::set<int> analog = range(1, 19);
    analog.erase(10);
    analog.erase(17);
    analog.erase(18);
    std::set<int> firewire = {17, 18, 21, 22, 24, 25};
    struct Rule {
        int grabber;
        std::set<int> accepted;
    };
    const Rule rules[] = {
        {0, all},
        {1, all},
        {2, analog},
        {3, analog},
        {4, analog},
        {5, analog},
        {6, analog},
        {7, firewire},
        {8, {12, 13, 15, 19, 20, 23, 26, 27, 29, 32}},
        {9, {12}},
        {10, {12, 28, 30, 31}},
        {11, {12, 16}},
        {12, analog},
    };
    for (const Rule& r : rules) {
        info_->frameGrabberType = r.grabber;
        for (int camera = 1; camera <= 32; ++camera) {
            info_->cameraType = camera;
            CapturedMessages msgs;
            bool accepted = r.accepted.count(camera) != 0;
            EXPECT_EQ(inst_check_config(info_), accepted ? 0 : ERR_SB_INST_CONFIG)
                << "grabber " << r.grabber << " camera " << camera;
            if (!accepted) {
                EXPECT_EQ(msgs.text(), std::string(sb_frame_grabber_name(r.grabber)) +
                                           " frame grabber is incompatible with camera type " +
                                           sb_camera_type_name(camera) + "\n");
            }
        }
    }
}

TEST_F(InstPower, CameraAndLightMustBeKnown) {
    info_->instrBdType = SB_BOARD_NOT_NEEDED;
    CapturedMessages msgs;
    info_->cameraType = 0;
    EXPECT_EQ(inst_check_config(info_), ERR_SB_INST_CONFIG);
    EXPECT_EQ(msgs.text(), "Unknown camera type\n");
    info_->cameraType = kTm6710;
    for (int light : {0, 1, 5, 6, -1}) {
        msgs.clear();
        info_->lightType = light;
        bool ok = light >= 1 && light <= 5;
        EXPECT_EQ(inst_check_config(info_), ok ? 0 : ERR_SB_INST_CONFIG) << light;
        EXPECT_EQ(msgs.text(), ok ? "" : "Unknown light type\n");
    }
}

TEST_F(InstPower, SyncCameraFollowsBoardAndCamera) {
    info_->frameGrabberType = 0;
    struct Case {
        int board, camera;
        bool sync;
    };
    const Case cases[] = {{5, kTm6710, true}, {1, 4, true},   {3, 10, true}, {6, 11, true},
                          {7, 4, false},      {1, 13, false}, {9, 4, false}, {8, 11, false}};
    for (const Case& c : cases) {
        info_->instrBdType = c.board;
        info_->cameraType = c.camera;
        info_->power.syncCamera = !c.sync;
        ASSERT_EQ(inst_check_config(info_), 0);
        EXPECT_EQ(info_->power.syncCamera, c.sync) << c.board << " " << c.camera;
    }
}

TEST_F(InstPower, DispatchOfBoardsWithoutASerialLine) {
    info_->instrBdType = SB_BOARD_NOT_NEEDED;
    EXPECT_EQ(inst_on(info_), 0);
    EXPECT_TRUE(info_->power.instrumentOn);
    EXPECT_EQ(inst_check(info_), 0);
    EXPECT_EQ(inst_reset(info_), 0);
    EXPECT_EQ(inst_check_eeprom(info_, true), 0);
    EXPECT_EQ(inst_off(info_), 0);
    EXPECT_FALSE(info_->power.instrumentOn);

    for (int board : {0, 2, 4, 10, -1}) {
        info_->instrBdType = board;
        EXPECT_EQ(inst_on(info_), ERR_WRONG_INSTR_BOARD) << board;
        EXPECT_FALSE(info_->power.instrumentOn);
        EXPECT_EQ(inst_check(info_), ERR_WRONG_INSTR_BOARD);
        EXPECT_EQ(inst_reset(info_), ERR_WRONG_INSTR_BOARD);
        EXPECT_EQ(inst_check_eeprom(info_, true), ERR_WRONG_INSTR_BOARD);
        info_->power.instrumentOn = true;
        EXPECT_EQ(inst_off(info_), ERR_WRONG_INSTR_BOARD);
        EXPECT_FALSE(info_->power.instrumentOn);
    }
    EXPECT_EQ(inst_on(nullptr), ERR_INVALID_PARAM);
}

struct RegmapCalls {
    int on = 0, off = 0, check = 0, reset = 0;
    int onResult = 0, offResult = 0;
    int32_t reportedType = SB_BOARD_REGMAP;
};
RegmapCalls g_calls;

const InstRegmapDriver kDriver = {
    [](SystemInfo*) { return ++g_calls.on, g_calls.onResult; },
    [](SystemInfo*) { return ++g_calls.off, g_calls.offResult; },
    [](SystemInfo*) { return ++g_calls.check, 0; },
    [](SystemInfo*) { return ++g_calls.reset, 0; },
    [](SystemInfo*, int32_t* type) { return *type = g_calls.reportedType, 0; },
};

TEST_F(InstPower, RegisterMappedBoardGoesThroughItsDriver) {
    info_->instrBdType = SB_BOARD_REGMAP;
    CapturedMessages msgs;
    EXPECT_EQ(inst_on(info_), ERR_NOT_IMPLEMENTED);
    EXPECT_TRUE(contains(msgs.text(), "no driver")) << msgs.text();
    EXPECT_EQ(inst_check(info_), ERR_NOT_IMPLEMENTED);
    EXPECT_EQ(inst_reset(info_), ERR_NOT_IMPLEMENTED);
    EXPECT_EQ(inst_check_eeprom(info_, true), ERR_NOT_IMPLEMENTED);

    g_calls = {};
    EXPECT_EQ(inst_set_regmap_driver(&kDriver), nullptr);
    ASSERT_EQ(inst_on(info_), 0);
    EXPECT_TRUE(info_->power.syncCamera);
    EXPECT_EQ(inst_check(info_), 0);
    EXPECT_EQ(inst_reset(info_), 0);
    msgs.clear();
    EXPECT_EQ(inst_check_eeprom(info_, true), 0);
    g_calls.reportedType = SB_BOARD_SERIAL2;
    EXPECT_EQ(inst_check_eeprom(info_, false), 0);
    EXPECT_EQ(inst_check_eeprom(info_, true), ERR_SB_INST_CONFIG);
    EXPECT_EQ(msgs.text(), std::string("Instrument board type mismatch\nCal file says ") +
                               sb_board_type_name(5) + ", instrument EEPROM says " +
                               sb_board_type_name(3) + "\n");
    // The flag is cleared even when the driver's power-off fails.
    g_calls.offResult = ERR_HW_FAIL;
    EXPECT_EQ(inst_off(info_), ERR_HW_FAIL);
    EXPECT_FALSE(info_->power.instrumentOn);
    EXPECT_EQ(inst_off(info_), 0);  // not on: the driver is not called
    EXPECT_EQ(g_calls.off, 1);

    // A driver power-on failure comes back unchanged; an incompatible
    // camera powers the board off again.
    g_calls.onResult = ERR_HW_FAIL;
    EXPECT_EQ(inst_on(info_), ERR_HW_FAIL);
    g_calls.onResult = 0;
    info_->lightType = 0;
    EXPECT_EQ(inst_on(info_), ERR_SB_INST_CONFIG);
    EXPECT_EQ(g_calls.off, 2);
    EXPECT_FALSE(info_->power.instrumentOn);
    EXPECT_EQ(inst_set_regmap_driver(nullptr), &kDriver);
}

TEST_F(InstPower, ResetReopensTheBoardLine) {
    SKIP_WITHOUT_PTY();
    open_board(6);
    int devices = dev_device_count();
    EXPECT_EQ(inst_reset(info_), 0);  // closed line: just opened
    EXPECT_TRUE(line_open());
    int fds = plat_process_descriptor_count();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(inst_reset(info_), 0);
    EXPECT_TRUE(line_open());
    EXPECT_EQ(plat_process_descriptor_count(), fds);
    EXPECT_EQ(dev_device_count(), devices + 1);
    uint8_t version = 0;
    EXPECT_EQ(ur_sw_version(info_, &version), 0);  // the reopened line works
}

class InstEeprom : public InstPower {
  protected:
    void SetUp() override {
        InstPower::SetUp();
        SKIP_WITHOUT_PTY();
        open_board(3);
        ASSERT_EQ(board_.connect(), 0);
        info_->systemType = 10;
        info_->cameraType = kTm6710;
        info_->lightType = 2;
        info_->serialNumber = 123456;
        info_->systemDate = 2047;
        ee_.system = 10;
        ee_.instrBd = 3;
        ee_.camera = kTm6710;
        ee_.light = 2;
        ee_.serial = 123456;
        ee_.sysdate = 2047;
    }
    std::string check() {
        board_.model().set_eeprom(ee_);
        CapturedMessages msgs;
        result_ = inst_check_eeprom(info_, true);
        return msgs.text();
    }
    SimBoardEeprom ee_;
    int result_ = -1;
};

TEST_F(InstEeprom, EachMismatchReportsItsLineInOrder) {
    ee_ = {99, 1999, 1, 3, 11, 1};  // every field differs: the system type is reported
    EXPECT_EQ(check(), std::string("System type mismatch\nCal file says ") +
                           sb_system_type_name(10) + ", instrument EEPROM says " +
                           sb_system_type_name(11) + "\n");
    EXPECT_EQ(result_, ERR_SB_INST_CONFIG);
    ee_.system = 10;
    EXPECT_EQ(check(), std::string("Instrument board type mismatch\nCal file says ") +
                           sb_board_type_name(3) + ", instrument EEPROM says " +
                           sb_board_type_name(1) + "\n");
    ee_.instrBd = 3;
    EXPECT_EQ(check(),
              "Camera type mismatch\nCal file says TM6710, instrument EEPROM says "
              "XC77CE\n");
    ee_.camera = kTm6710;
    EXPECT_EQ(check(), std::string("Light type mismatch\nCal file says ") + sb_light_type_name(2) +
                           ", instrument EEPROM says " + sb_light_type_name(3) + "\n");
    ee_.light = 2;
    EXPECT_EQ(check(),
              "System serial number mismatch\nCal file says 123456, instrument EEPROM "
              "says 99\n");
    ee_.serial = 123456;
    EXPECT_EQ(check(), "System date mismatch\nCal file says 2047, instrument EEPROM says 1999\n");
    EXPECT_EQ(result_, ERR_SB_INST_CONFIG);
    ee_.sysdate = 2047;
    EXPECT_EQ(check(), "");
    EXPECT_EQ(result_, 0);
}

TEST_F(InstEeprom, ValuesOutsideTheTablesPrintTheFirstEntry) {
    ee_.camera = 200;
    EXPECT_EQ(check(), std::string("Camera type mismatch\nCal file says TM6710, instrument "
                                   "EEPROM says ") +
                           sb_camera_type_name(0) + "\n");
    ee_.camera = kTm6710;
    ee_.light = 77;
    EXPECT_EQ(check(), std::string("Light type mismatch\nCal file says ") + sb_light_type_name(2) +
                           ", instrument EEPROM says " + sb_light_type_name(0) + "\n");
}

TEST_F(InstEeprom, LargeSerialNumbersCompareWhole) {
    info_->serialNumber = 0x01000001;
    ee_.serial = 0x01000001;
    EXPECT_EQ(check(), "");
    ee_.serial = 0x02000001;  // differs above the low 16 and 24 bits only
    EXPECT_EQ(check(),
              "System serial number mismatch\nCal file says 16777217, instrument "
              "EEPROM says 33554433\n");
}

TEST_F(InstEeprom, WithoutComparisonTheEepromValuesAreAdopted) {
    ee_ = {98765, 1712, 29, 5, 22, 3};
    board_.model().set_eeprom(ee_);
    CapturedMessages msgs;
    EXPECT_EQ(inst_check_eeprom(info_, false), 0);
    EXPECT_EQ(msgs.text(), "");
    EXPECT_EQ(info_->systemType, 22);
    EXPECT_EQ(info_->instrBdType, 3);
    EXPECT_EQ(info_->cameraType, 29);
    EXPECT_EQ(info_->lightType, 5);
    EXPECT_EQ(info_->serialNumber, 98765);
    EXPECT_EQ(info_->systemDate, 1712);
    EXPECT_EQ(inst_check_eeprom(info_, true), 0);
}

TEST_F(InstEeprom, UnansweredReadReturnsTheLinesError) {
    board_.line().silent_next(UZ_SEND_ATTEMPTS);
    int before = info_->systemType;
    EXPECT_EQ(inst_check_eeprom(info_, false), ERR_UZ_RECV_TIMEOUT);
    EXPECT_EQ(info_->systemType, before);  // nothing adopted
}

}  // namespace
