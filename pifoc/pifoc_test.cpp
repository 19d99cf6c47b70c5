#include "pifoc/pifoc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "board/board.h"
#include "board/testing/sim_board.h"
#include "common/abort.h"
#include "common/status.h"
#include "common/testing/capture_sink.h"
#include "common/testing/temp_dir.h"
#include "config/rampcfg.h"
#include "config/sysinfo.h"
#include "devpoll/devpoll.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/testfs_testing.h"
#include "sim/board_model.h"
#include "sim/line.h"
#include "sim/testing/pty_skip.h"

namespace {

// One configuration directory for the process (it is decided once), a UTC
// clock and a fast library clock: the cook's 12 s take a tenth of a second.
TempDir& config_dir() {
    static TempDir dir;
    return dir;
}
const bool kSetUp = [] {
    plat_set_env("KT_CONFIG_DIR", config_dir().path().c_str());
    plat_set_env("TZ", "UTC");
    std::filesystem::create_directory(config_dir().file("ramps"));
    if (std::getenv("SURF_CLOCK_SCALE") == nullptr) plat_set_clock_scale(100);
    return true;
}();

std::atomic<int64_t> g_now{1800000000};
int64_t test_clock() {
    return g_now.load();
}

std::string info_file(int id) {
    return config_dir().file("ramps/pifoc." + std::to_string(id));
}
std::string log_file(int id) {
    return config_dir().file("ramps/pifoclog." + std::to_string(id));
}

class Pifoc : public ::testing::Test {
  protected:
    void SetUp() override {
        g_now = 1800000000;
        vr_set_pifoc_calendar_clock(test_clock);
        vr_reset_pifoc_starts();
        vr_set_pifoc_log_limit(VR_LOG_LIMIT_DEFAULT);
        vr_set_pifoc_cook_switch(true);
        vr_set_pifoc_deglitch_switch(true);
        // Board replies are matched to slot records: work in slot 0.
        info_ = sb_system_info(0);
        sb_reset_calibration(info_);
        info_->power = SysPowerState{};
        info_->pifocState.reset();
        info_->instrBdType = SB_BOARD_SERIAL1;
        info_->pifocId = next_id_++;
        ASSERT_EQ(vr_create_pifoc_state(info_), 0);
        state_ = vr_pifoc_state(info_);
    }
    void TearDown() override {
        vr_set_pifoc_calendar_clock(nullptr);
        info_->pifocState.reset();
        sb_reset_calibration(info_);
        info_->power = SysPowerState{};
        rr_ramp_set_release(&ramps_);
    }
    int id() const { return state_->id; }

    // A 'b' ramp at `levelB`, then a 'u' ramp at `levelU`.
    void add_ramps(int levelB, int levelU) {
        const std::pair<char, int> specs[2] = {{'b', levelB}, {'u', levelU}};
        for (auto [polar, offset] : specs) {
            RrRamp ramp{};
            ramp.hdr.polar = polar;
            ramp.hdr.offset = offset;
            ramp.hdr.scanLen = 10.2f;
            ASSERT_EQ(rr_ramp_set_add(&ramps_, &ramp), 0);
        }
        state_->ramps = &ramps_;
        state_->currentRamp = 0;
    }

    static inline int next_id_ = 100;
    SystemInfo* info_ = nullptr;
    PifocState* state_ = nullptr;
    RrRampSet ramps_{};
};

// --- Info file ---------------------------------------------------------------

TEST_F(Pifoc, InfoFileOfCommentsOnlyIsEmptyAndStartsAFreshHistory) {
    write_file(info_file(id()), "# drive history\n#\n\n  \t\n");
    CapturedMessages messages;
    EXPECT_EQ(vr_load_pifoc_info(info_), ERR_CANT_READ_FILE);
    EXPECT_EQ(messages.text(), "vr_load_pifoc_info: empty file " + info_file(id()) + "\n");

    add_ramps(40000, 20000);
    vr_set_pifoc_cook_switch(false);
    info_->systemType = 0;  // no level command: no board needed
    ASSERT_EQ(vr_init_pifoc(info_), 0);
    EXPECT_EQ(state_->onTime, 1);
    EXPECT_EQ(state_->lastUpdate, g_now.load());
    EXPECT_EQ(state_->pifocLeakage, 0);
    EXPECT_EQ(state_->level, 40000);
    EXPECT_EQ(state_->levelU, 20000);
    EXPECT_EQ(state_->onState, 1);
    EXPECT_NE(messages.text().find("vr_init_pifoc: skipped pifoc cook\n"), std::string::npos);
}

TEST_F(Pifoc, InfoLineEndsItsLastNumberWithTheNewlineOnly) {
    write_file(info_file(id()), "# te t1\n100 200\n");
    CapturedMessages messages;
    ASSERT_EQ(vr_load_pifoc_info(info_), 0);
    EXPECT_EQ(state_->onTime, 100);
    EXPECT_EQ(state_->lastUpdate, 200);
    EXPECT_EQ(state_->pifocLeakage, 0);
    EXPECT_EQ(messages.text(), "Pifoc info file is " + info_file(id()) +
                                   "\nte = 100  t1 = 200  leakage = 0 (0 uA)\n");

    // A blank before the newline leaves the newline as a third token.
    write_file(info_file(id()), "# te t1\n100 200 \n");
    messages.clear();
    EXPECT_EQ(vr_load_pifoc_info(info_), ERR_CANT_READ_FILE);
    EXPECT_EQ(messages.text(),
              "vr_load_pifoc_info: error in file " + info_file(id()) + "\nLine 2:\n100 200 \n");

    // Windows line ends read the same.
    write_file(info_file(id()), "300 400 -1000\r\n");
    ASSERT_EQ(vr_load_pifoc_info(info_), 0);
    EXPECT_EQ(state_->onTime, 300);
    EXPECT_EQ(state_->pifocLeakage, -1000);

    for (const char* bad : {"100\n", "100 2x0\n", "x 200\n", "100 200 -5x\n"}) {
        write_file(info_file(id()), bad);
        EXPECT_EQ(vr_load_pifoc_info(info_), ERR_CANT_READ_FILE) << bad;
    }
    EXPECT_EQ(state_->onTime, 300);
}

TEST_F(Pifoc, UnreasonableTimesAndLeakageAreRefused) {
    CapturedMessages messages;
    write_file(info_file(id()), "0 200\n");
    EXPECT_EQ(vr_load_pifoc_info(info_), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_NE(messages.text().find("vr_load_pifoc_info: unreasonable te or t1 value\n"
                                   "te  = 0\nt1  = 200\nnow = 1800000000\n"),
              std::string::npos);

    write_file(info_file(id()), "100 1800000001\n");
    EXPECT_EQ(vr_load_pifoc_info(info_), ERR_PARAM_OUT_OF_RANGE);
    write_file(info_file(id()), "300 200\n");
    EXPECT_EQ(vr_load_pifoc_info(info_), ERR_PARAM_OUT_OF_RANGE);

    messages.clear();
    write_file(info_file(id()), "100 200 -40000000\n");  // about -17.9 uA
    EXPECT_EQ(vr_load_pifoc_info(info_), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_NE(messages.text().find("vr_load_pifoc_info: leakage = -17.9172 uA is out of range "
                                   "[-14,0]\n"),
              std::string::npos);
    EXPECT_EQ(state_->onTime, 0);

    EXPECT_EQ(vr_load_pifoc_info(nullptr), ERR_INVALID_PARAM);
    info_->instrBdType = SB_BOARD_CAN;
    EXPECT_EQ(vr_load_pifoc_info(info_), ERR_INVALID_PARAM);
    EXPECT_EQ(vr_save_pifoc_info(info_), ERR_INVALID_PARAM);
}

TEST_F(Pifoc, TimesPast2038AreReadAsTheyWereWritten) {
    g_now = 2200000100;
    state_->onTime = 2100000000;
    state_->lastUpdate = 2200000000;
    state_->pifocLeakage = -5;
    ASSERT_EQ(vr_save_pifoc_info(info_), 0);
    EXPECT_EQ(read_file(info_file(id())), "2100000000 2200000000 -5\n");
    state_->onTime = state_->lastUpdate = 0;
    ASSERT_EQ(vr_load_pifoc_info(info_), 0);
    EXPECT_EQ(state_->onTime, 2100000000);
    EXPECT_EQ(state_->lastUpdate, 2200000000);
}

TEST_F(Pifoc, FailedSaveReportsAndNeverRemovesWhatIsThere) {
    // A write that fails (the target leads to a full device) is no success.
    state_->onTime = 5;
    state_->lastUpdate = 6;
    const char* full = plat_test_full_device();
    if (full != nullptr && plat_test_make_symlink(full, info_file(id()))) {
        CapturedMessages messages;
        EXPECT_EQ(vr_save_pifoc_info(info_), ERR_CANT_CREATE_FILE);
        EXPECT_EQ(messages.text(), "vr_save_pifoc_info: cannot create " + info_file(id()) + "\n");
        std::filesystem::remove(info_file(id()));
    }

    // Something in the way is left alone, not deleted to make room.
    ASSERT_TRUE(std::filesystem::create_directory(info_file(id())));
    write_file(info_file(id()) + "/keep", "x");
    EXPECT_EQ(vr_save_pifoc_info(info_), ERR_CANT_CREATE_FILE);
    EXPECT_EQ(read_file(info_file(id()) + "/keep"), "x");
    std::filesystem::remove_all(info_file(id()));

    // A good history is replaced whole.
    write_file(info_file(id()), "1 2 0\n");
    ASSERT_EQ(vr_save_pifoc_info(info_), 0);
    EXPECT_EQ(read_file(info_file(id())), "5 6 0\n");
}

// --- Aging model -------------------------------------------------------------

TEST_F(Pifoc, TimeOnGrowsWhileBiasedAndFallsWhileResting) {
    state_->beta = 0;
    state_->onTime = 1000;
    state_->lastUpdate = 5000;
    state_->onState = -1;
    vr_update_pifoc_time_on(info_, 5300);
    EXPECT_EQ(state_->onTime, 700);
    EXPECT_EQ(state_->lastUpdate, 5300);
    vr_update_pifoc_time_on(info_, 9000);
    EXPECT_EQ(state_->onTime, 1);

    state_->onState = 1;
    vr_update_pifoc_time_on(info_, 9250);
    EXPECT_EQ(state_->onTime, 251);

    // Logarithmic recovery: 10^8 / (d + 10^5) for onTime 1000.
    state_->alpha = SB_PIFOC_ALPHA_DEFAULT;
    state_->beta = SB_PIFOC_BETA_DEFAULT;
    state_->onTime = 1000;
    state_->onState = -1;
    vr_update_pifoc_time_on(info_, 9250 + 1000);
    EXPECT_NEAR(static_cast<double>(state_->onTime), 990, 1);
}

TEST_F(Pifoc, ClockSetBackIsNoRest) {
    state_->beta = 0;
    state_->onTime = 1000;
    state_->lastUpdate = 5000;
    state_->onState = -1;
    vr_update_pifoc_time_on(info_, 4000);
    EXPECT_EQ(state_->onTime, 1000);
    EXPECT_EQ(state_->lastUpdate, 4000);
    vr_update_pifoc_time_on(info_, 4100);
    EXPECT_EQ(state_->onTime, 900);
}

TEST_F(Pifoc, TimeGainIsBoundedAndNeverBelowAlpha) {
    double gain = -1;
    state_->onTime = 100000;
    ASSERT_EQ(vr_calc_pifoc_time_gain(info_, &gain), 0);
    EXPECT_NEAR(gain, SB_PIFOC_ALPHA_DEFAULT + 5 * SB_PIFOC_BETA_DEFAULT, 1e-9);

    state_->alpha = 1.2;
    state_->beta = 0;
    CapturedMessages messages;
    EXPECT_EQ(vr_calc_pifoc_time_gain(info_, &gain), ERR_PIFOC_GAIN);
    EXPECT_EQ(gain, 0);
    EXPECT_EQ(messages.text(), "vr_calc_pifoc_time_gain: gain = 1.2 is out of range [0.8,1.15]\n");

    state_->alpha = 0.9;
    state_->beta = -0.01;
    ASSERT_EQ(vr_calc_pifoc_time_gain(info_, &gain), 0);
    EXPECT_DOUBLE_EQ(gain, 0.9);

    info_->pifocState.reset();
    gain = -1;
    EXPECT_EQ(vr_calc_pifoc_time_gain(info_, &gain), 0);
    EXPECT_EQ(gain, 0);
    info_->instrBdType = SB_BOARD_CAN;
    EXPECT_EQ(vr_calc_pifoc_time_gain(info_, &gain), ERR_INVALID_PARAM);
}

TEST_F(Pifoc, TimeOnAndDateTexts) {
    state_->onTime = 90061;
    CapturedMessages messages;
    vr_print_pifoc_time_on(info_);
    EXPECT_EQ(messages.text(), "Pifoc effective time on: 1 days, 01:01:01 (90061 secs)\n");
    char date[20];
    vr_format_pifoc_date(1767323045, date, sizeof date);
    EXPECT_STREQ(date, "01/02/26 03:04:05");
}

TEST_F(Pifoc, NoAgingDriveNeitherReadsNorWritesItsInfoFile) {
    info_->pifocAlpha = 1.0;
    info_->pifocBeta = 0;
    ASSERT_EQ(vr_create_pifoc_state(info_), 0);
    state_ = vr_pifoc_state(info_);
    add_ramps(30000, 0);
    write_file(info_file(id()), "# not to be read\n");
    CapturedMessages messages;
    ASSERT_EQ(vr_init_pifoc(info_), 0);
    EXPECT_TRUE(state_->noAging);
    EXPECT_EQ(state_->onTime, 0);
    info_->power.pztType = 1;
    ASSERT_EQ(vr_select_pifoc_level(info_, 1, 1), 0);
    EXPECT_EQ(vr_power_off_pifoc(info_), 0);
    EXPECT_EQ(read_file(info_file(id())), "# not to be read\n");
    EXPECT_EQ(messages.text(), "");
}

TEST_F(Pifoc, DiagnosticLogHeadingAndLimits) {
    CapturedMessages messages;
    vr_set_pifoc_log_limit(0);
    EXPECT_EQ(vr_log_pifoc_diagnostic(info_, nullptr), 0);
    EXPECT_EQ(messages.text(), "Pifoc diagnostic log disabled\n");
    EXPECT_EQ(read_file(log_file(id())), "");

    messages.clear();
    vr_set_pifoc_log_limit(-1);
    ASSERT_EQ(vr_log_pifoc_diagnostic(info_, nullptr), 0);
    EXPECT_EQ(messages.text(),
              "Pifoc diagnostic log file is " + log_file(id()) + "\n(size unlimited)\n");
    ASSERT_EQ(vr_log_pifoc_diagnostic(info_, "### RESET\n"), 0);
    std::string log = read_file(log_file(id()));
    EXPECT_EQ(log.rfind("#-------", 0), 0u);
    EXPECT_EQ(log.substr(log.size() - 10), "### RESET\n");
    info_->instrBdType = SB_BOARD_CAN;
    EXPECT_EQ(vr_log_pifoc_diagnostic(info_, "x"), ERR_INVALID_PARAM);
}

// --- With the simulated board -------------------------------------------------

class PifocBoard : public Pifoc {
  protected:
    void SetUp() override {
        Pifoc::SetUp();
        SKIP_WITHOUT_PTY();
        ASSERT_TRUE(board_.open(info_, 1));
        model_ = &board_.model();
        info_->systemType = 5;
        info_->power.instrumentOn = true;
        info_->power.pifocCompPresent = true;
        info_->power.instrBdVersion = 6;
        info_->power.pztType = 1;
        ASSERT_EQ(board_.connect(), 0);
        add_ramps(40000, 20000);
    }
    void TearDown() override {
        board_.stop();
        Pifoc::TearDown();
    }
    int count(int code) const {
        std::vector<int> c = model_->commands();
        return static_cast<int>(std::count(c.begin(), c.end(), code));
    }
    // The leakage the board's ADC reports, in microamperes.
    void set_leakage(double ua) {
        auto counts = static_cast<int32_t>(ua / VR_UA_PER_COUNT);
        model_->set_pifoc_adc(1, static_cast<uint32_t>(counts), 4);
    }
    // Reopens the instrument as a new process would find it.
    void restart() {
        ASSERT_EQ(vr_create_pifoc_state(info_), 0);
        state_ = vr_pifoc_state(info_);
        state_->ramps = &ramps_;
        state_->currentRamp = 0;
    }

    SimBoardSession board_;
    SimBoardModel* model_ = nullptr;
};

TEST_F(PifocBoard, PowerCycleWritesTheHistoryAndTheNextStartAppliesTheRest) {
    CapturedMessages messages;
    ASSERT_EQ(vr_init_pifoc(info_), 0);
    EXPECT_TRUE(state_->cooked);
    // Cook high, cook low, restore, and the start's own write.
    EXPECT_EQ(count(UZ1_PIFOC_LEVEL_CMD), 4);
    EXPECT_EQ(state_->onState, 1);
    EXPECT_EQ(state_->onTime, 1);
    std::string log = read_file(log_file(id()));
    EXPECT_NE(log.find("       0  0.0000   0     0  0.0000  0.0000  0.0000 0.0000 01/15/27 "),
              std::string::npos)
        << log;

    // Biased for a day, settled long enough to measure the leakage.
    g_now = 1800000000 + 86400;
    state_->levelTime -= 100;
    set_leakage(-5.0);
    ASSERT_EQ(vr_power_off_pifoc(info_), 0);
    int32_t counts = static_cast<int32_t>(-5.0 / VR_UA_PER_COUNT);
    EXPECT_EQ(read_file(info_file(id())), "86401 1800086400 " + std::to_string(counts) + "\n");
    EXPECT_EQ(model_->pifoc_adc_settings(), (std::vector<int>{0, 2, 1, 625}));
    EXPECT_EQ(count(UZ1_PC_ADC_READ_CMD), 11);
    EXPECT_NE(messages.text().find("Pifoc effective time on: 1 days, 00:00:01 (86401 secs)\n"),
              std::string::npos);
    log = read_file(log_file(id()));
    EXPECT_NE(log.find("-5.0000   1     0  0.0000"), std::string::npos) << log;

    // Ten days off: the next start loads the history and counts the rest.
    g_now = 1800086400 + 864000;
    restart();
    vr_set_pifoc_cook_switch(false);
    ASSERT_EQ(vr_init_pifoc(info_), 0);
    EXPECT_EQ(state_->pifocLeakage, counts);
    EXPECT_EQ(state_->lastUpdate, g_now.load());
    EXPECT_GT(state_->onTime, 1);
    EXPECT_LT(state_->onTime, 86401);
    // 10^8 / (d + 10^8 / te) with te = 86401 and d = 864000.
    EXPECT_NEAR(static_cast<double>(state_->onTime), 1e8 / (864000 + 1e8 / 86401), 2);
}

TEST_F(PifocBoard, CookReportsProgressAndStopsOnAbortRestoringTheLevel) {
    static std::vector<int> progress;
    static std::atomic<int> asked{0};
    progress.clear();
    asked = 0;
    state_->level = 40000;
    u_set_abort_check([](int) { return ++asked >= 1 ? 1 : 0; });
    int result = vr_pifoc_cook(
        info_, [](void*, int left) { progress.push_back(left); }, nullptr);
    u_set_abort_check(nullptr);
    EXPECT_EQ(result, ERR_KORVATEN_ABORTED);
    EXPECT_EQ(progress, (std::vector<int>{12, 12, 11, 10, 9}));
    EXPECT_FALSE(state_->cooked);
    EXPECT_EQ(count(UZ1_PIFOC_LEVEL_CMD), 2);  // 50000, then the level in use

    progress.clear();
    ASSERT_EQ(vr_pifoc_cook(
                  info_, [](void*, int left) { progress.push_back(left); }, nullptr),
              0);
    EXPECT_EQ(progress, (std::vector<int>{12, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1}));
    EXPECT_TRUE(state_->cooked);
}

TEST_F(PifocBoard, LeakageOutOfRangeIsLoggedAndPowerOffStillSavesAndUnbiases) {
    state_->onTime = 50;
    state_->lastUpdate = g_now;
    state_->level = state_->levelB = 40000;
    state_->levelTime = 1;  // long settled
    state_->pifocLeakage = -100;
    set_leakage(-20.5);
    CapturedMessages messages;
    EXPECT_EQ(vr_power_off_pifoc(info_), ERR_PIFOC_LEAKAGE);
    EXPECT_NE(messages.text().find("vr_update_pifoc_leakage: leakage = -20 uA is out of range "
                                   "[-14,0]\n"),
              std::string::npos);
    EXPECT_EQ(state_->pifocLeakage, -100);
    EXPECT_NE(read_file(log_file(id())).find("### LEAKAGE IS OUT OF RANGE [-14,0] uA\n"),
              std::string::npos);
    EXPECT_EQ(read_file(info_file(id())), "50 1800000000 -100\n");
    EXPECT_EQ(count(UZ1_PIFOC_LEVEL_CMD), 1);
}

TEST_F(PifocBoard, CompensationGainIsCheckedAgainstTheRampsBounds) {
    vr_set_pifoc_log_limit(-1);
    RrRamp& ramp = ramps_.ramps[0];
    ramp.hdr.adcMid = 1100;
    ramp.hdr.leakage = 100;
    ramp.hdr.scanCal = 2.0f;
    state_->pifocLeakage = 0;
    SimPifocComp comp;
    comp.first = 900;
    comp.mid = 1000;
    comp.last = 1100;
    model_->set_pifoc_comp(comp);
    double gain = -1;
    ASSERT_EQ(vr_get_pifoc_comp_gain(info_, &gain), 0);
    EXPECT_DOUBLE_EQ(gain, 0.5);  // 1000 / 1000, over the scan calibration
    EXPECT_EQ(count(UZ1_PC_RAMP_DONE_CMD), 1);
    std::string log = read_file(log_file(id()));
    EXPECT_NE(log.find("  10  0.0004  0.0004  0.0005 1.0000 "), std::string::npos) << log;

    // Half the expected current: gain 2, beyond 1.3 long after the start.
    comp.mid = 500;
    model_->set_pifoc_comp(comp);
    CapturedMessages messages;
    EXPECT_EQ(vr_get_pifoc_comp_gain(info_, &gain), ERR_PIFOC_GAIN);
    EXPECT_EQ(gain, 0);
    EXPECT_EQ(messages.text(), "vr_get_pifoc_comp_gain: gain = 2 is out of range [0.8,1.3]\n");
    EXPECT_NE(read_file(log_file(id())).find("### GAIN IS OUT OF RANGE [0.8,1.3]\n"),
              std::string::npos);
    ramp.hdr.grabSkip = 3;
    EXPECT_EQ(vr_get_pifoc_comp_gain(info_, &gain), 0);

    comp.mid = 0x007FFFFF;
    model_->set_pifoc_comp(comp);
    EXPECT_EQ(vr_get_pifoc_comp_gain(info_, &gain), ERR_PIFOC_COMP);
    EXPECT_NE(read_file(log_file(id())).find("### uz_pifoc_comp: bad mid value 0x007fffff\n"),
              std::string::npos);

    ramp.hdr.adcMid = 0;
    EXPECT_EQ(vr_get_pifoc_comp_gain(info_, &gain), ERR_INVALID_PARAM);
    info_->power.pifocCompPresent = false;
    EXPECT_EQ(vr_get_pifoc_comp_gain(info_, &gain), ERR_INVALID_PARAM);
    EXPECT_EQ(vr_update_pifoc_leakage(info_, true), 0);
}

TEST_F(PifocBoard, SelectingAPztSwitchesPowerAroundTheTypeAndUnbiases) {
    info_->power.instrBdVersion = 4;
    state_->onTime = 10;
    state_->lastUpdate = g_now;
    state_->levelB = 40000;
    state_->levelU = 20000;
    state_->level = state_->levelB;
    ASSERT_EQ(vr_select_pifoc_level(info_, 2, 1), 0);
    EXPECT_EQ(info_->power.pztType, 2);
    EXPECT_EQ(state_->level, 0);
    EXPECT_EQ(state_->onState, -1);
    EXPECT_EQ(model_->commands(), (std::vector<int>{UZ1_PIFOC_LEVEL_CMD, UZ1_PZT_POWER_CMD,
                                                    UZ1_PZT_TYPE_CMD, UZ1_PZT_POWER_CMD}));
    EXPECT_EQ(read_file(info_file(id())), "10 1800000000 0\n");

    ASSERT_EQ(vr_select_pifoc_level(info_, 1, 2), 0);
    EXPECT_EQ(state_->level, 20000);
    EXPECT_EQ(state_->levelKind, 2);
    EXPECT_EQ(state_->onState, -1);
    EXPECT_EQ(vr_write_pifoc_level(info_, 70000, false), ERR_PARAM_OUT_OF_RANGE);
    info_->instrBdType = SB_BOARD_CAN;
    EXPECT_EQ(vr_select_pifoc_level(info_, 1, 1), ERR_WRONG_INSTR_BOARD);
}

}  // namespace
