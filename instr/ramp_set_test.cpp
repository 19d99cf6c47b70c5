#include "instr/ramp_set.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "board/board.h"
#include "board/testing/sim_board.h"
#include "common/dirs.h"
#include "common/status.h"
#include "common/testing/capture_sink.h"
#include "common/testing/temp_dir.h"
#include "config/sysinfo.h"
#include "devpoll/devpoll.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "sim/board_model.h"
#include "sim/line.h"
#include "sim/testing/pty_skip.h"

namespace {

constexpr int32_t kPifoc = 12345;

// The ramps directory is decided once per process, so the whole binary shares
// one, emptied before each test. Set before anything reads it or starts a thread.
TempDir& ramps_dir() {
    static TempDir dir;
    return dir;
}
const bool kEnvironment = [] {
    plat_set_env("KT_RAMPS_DIR", ramps_dir().path().c_str());
    plat_set_env(RR_KEEP_RAMPS_ENV, nullptr);
    if (std::getenv("SURF_CLOCK_SCALE") == nullptr) plat_set_clock_scale(20);
    return true;
}();

rr_ramp_hdr_t swli_header(float scanLen, float cameraRate) {
    rr_ramp_hdr_t h{};
    h.rampType = RR_TYPE_SWLI;
    h.pztID = kPifoc;
    h.nPoints = 100;
    h.trigStartAddr = 10;
    h.trigEndAddr = 90;
    h.scanLen = scanLen;
    h.cameraRate = cameraRate;
    h.rampSlope = 81;
    h.fringesPerFrame = 0.25f;
    h.sampleClkFreq = 2;
    h.polar = 'b';
    return h;
}

rr_ramp_hdr_t pmi_header(int32_t actuator) {
    rr_ramp_hdr_t h{};
    h.rampType = RR_TYPE_PMI;
    h.pztID = actuator;
    h.nPoints = 20;
    h.nBuckets = 5;
    h.cameraRate = 25;
    h.fringesPerFrame = 0.25f;
    h.sampleClkFreq = 2;
    h.polar = 'p';
    return h;
}

void write_ramp(const std::string& name, const rr_ramp_hdr_t& hdr) {
    std::vector<uint16_t> points(static_cast<std::size_t>(hdr.nPoints));
    for (std::size_t j = 0; j < points.size(); ++j) points[j] = static_cast<uint16_t>(100 * j);
    ASSERT_EQ(rr_write_ramp_file(ramps_dir().file(name).c_str(), &hdr, points.data()), 0);
}

std::string swli_line(const std::string& file, double scanLen, double rate = 25) {
    char line[200];
    std::snprintf(line, sizeof line, " SWLI %s %g %g 0 0 0.25 81 0 1 0\n", file.c_str(), scanLen,
                  rate);
    return line;
}

std::string summary(int total, int loaded, int derived, int swli, int btw, int pmi) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "Ramp data sets:\n  %3d Total\n  %3d Loaded\n  %3d Derived\n  %3d SWLI\n"
                  "  %3d BTW\n  %3d PMI\n",
                  total, loaded, derived, swli, btw, pmi);
    return text;
}

std::vector<std::string> names_of(const RrRampSet& set) {
    std::vector<std::string> names;
    for (int k = 0; k < set.count; ++k) names.emplace_back(set.ramps[k].name);
    return names;
}

std::vector<int> ids_of(const RrRampSet& set) {
    std::vector<int> ids;
    for (int k = 0; k < set.count; ++k) ids.push_back(set.ramps[k].hdr.rampID);
    return ids;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class RampSet : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const auto& entry : std::filesystem::directory_iterator(ramps_dir().path()))
            std::filesystem::remove_all(entry.path());
        info_ = sb_system_info(0);
        info_->pifocSet = true;
        info_->pifocId = kPifoc;
        info_->power.pztType = 1;
        info_->instrBdType = SB_BOARD_NOT_NEEDED;  // no board slots unless a test starts one
        info_->rampConfig = "rampcfg.txt";
    }
    void TearDown() override {
        rr_ramp_set_release(&set_);
        board_.stop();
        info_->instrComm.clear();
        info_->pifocSet = false;
        info_->pifocId = 0;
        info_->power.pztType = 0;
        info_->instrBdType = 0;
        plat_set_env(RR_KEEP_RAMPS_ENV, nullptr);
    }

    // A simulated board of `type` on slot 0's board line. The environment is
    // set first, while no other thread runs.
    void start_board(int type, bool keep) {
        if (keep) plat_set_env(RR_KEEP_RAMPS_ENV, "1");
        ASSERT_TRUE(board_.start(info_, type));
        model_ = &board_.model();
    }

    void preload_slot(int slot, int rampID) {
        rr_ramp_hdr_t hdr = swli_header(10, 25);
        hdr.rampID = rampID;
        std::vector<uint16_t> words(static_cast<std::size_t>(hdr.nPoints), 7);
        ASSERT_EQ(ur_ramp_download(info_, slot, &hdr, words.data()), 0);
    }

    int count_commands(int code) const {
        int n = 0;
        for (int c : model_->commands()) n += c == code;
        return n;
    }

    void write_config(const std::string& content) {
        write_file(ramps_dir().file("rampcfg.txt"), content);
    }

    SystemInfo* info_ = nullptr;
    RrRampSet set_{};
    SimBoardSession board_;
    SimLine& line_ = board_.line();
    SimBoardModel* model_ = nullptr;
};

TEST_F(RampSet, ConfigEntriesLoadInFileOrderAndOnlyAcceptedOnesAreNumbered) {
    write_ramp("d10s81c25.b12345", swli_header(10, 25));
    write_ramp("d20s81c25.b12345", swli_header(20, 25));
    write_ramp("p5c25.p12345", pmi_header(kPifoc));
    write_config("# an instrument with a piezo focus drive\n" +
                 swli_line("d10s81c25.b12345", 10) +              // 1: loaded, rampID 1
                 " PMI p5c25.p12345 0 25 0 0 0.25 0 0 0\n" +      // 2: needs a PZT
                 swli_line("+", 5) +                              // 3: derived from 1, rampID 2
                 swli_line("missing.b12345", 10) +                // 4: no such file
                 swli_line("d20s81c25.b*", 20) +                  // 5: actuator number filled in, 3
                 swli_line("d10s81c25.b12345", 10, 30) +          // 6: rate differs from the file
                 swli_line("+", 2) +                              // 7: derived from 5, rampID 4
                 " SWLI extprofile1 10 25 0 0 0.25 81 0 1 0\n");  // 8: no external profiles
    CapturedMessages msgs;
    ASSERT_EQ(rr_get_ramp_info(info_, &set_), 0);

    EXPECT_EQ(names_of(set_), (std::vector<std::string>{"d10s81c25.b12345", "+d10s81c25.b12345",
                                                        "d20s81c25.b12345", "+d20s81c25.b12345"}));
    EXPECT_EQ(ids_of(set_), (std::vector<int>{1, 2, 3, 4}));
    EXPECT_FALSE(set_.ramps[0].derived);
    EXPECT_TRUE(set_.ramps[1].derived);
    EXPECT_FLOAT_EQ(set_.ramps[1].hdr.scanLen, 5);
    EXPECT_FLOAT_EQ(set_.ramps[3].hdr.scanLen, 2);

    const std::string text = msgs.text();
    const std::string dir = ramps_dir().path();
    EXPECT_EQ(text.rfind("Ramp directory: " + dir + "\nReading ramp config file \"" + dir +
                             "/rampcfg.txt\"\n",
                         0),
              0u)
        << text;
    EXPECT_TRUE(contains(text, "Loaded ramp file \"d10s81c25.b12345\"\n"));
    EXPECT_TRUE(contains(text, "Ramp config error: ramp 2 can only be used with a PZT\n"));
    EXPECT_TRUE(contains(text, "Ramp config error reading ramp data file \"" + dir +
                                   "/missing.b12345\": ERR_CANT_OPEN_FILE\n"));
    EXPECT_TRUE(contains(text, "Loaded ramp file \"d20s81c25.b12345\"\n"));
    EXPECT_TRUE(contains(text,
                         "Error: mismatched cameraRate\nRamp config error: values not "
                         "consistent with ramp data file \"d10s81c25.b12345\"\n"));
    EXPECT_TRUE(contains(
        text, "Ramp config error: ramp 8 \"extprofile1\" is invalid for this instrument\n"));
    EXPECT_TRUE(contains(text, summary(4, 0, 2, 4, 0, 0))) << text;
    EXPECT_FALSE(contains(text, "rr_get_ramp_info:"));
    EXPECT_FALSE(contains(text, "Checking all files"));
}

TEST_F(RampSet, DerivationNeedsAnEarlierDataFileThatAllowsIt) {
    write_ramp("d10s81c25.b12345", swli_header(10, 25));
    write_config(swli_line("+", 5) + swli_line("d10s81c25.b12345", 10) + swli_line("+", 20));
    CapturedMessages msgs;
    ASSERT_EQ(rr_get_ramp_info(info_, &set_), 0);
    EXPECT_EQ(names_of(set_), (std::vector<std::string>{"d10s81c25.b12345"}));
    EXPECT_EQ(ids_of(set_), (std::vector<int>{1}));
    const std::string text = msgs.text();
    EXPECT_TRUE(contains(
        text, "Ramp config error: no loaded ramp data from which to derive config ramp 1\n"));
    EXPECT_TRUE(contains(text,
                         "Error: derived ramp must have smaller scan length\n"
                         "Ramp config error: cannot derive config ramp 3 from ramp data "
                         "file \"d10s81c25.b12345\"\n"));
}

TEST_F(RampSet, ActuatorKindDecidesWhichRampFamiliesTheInstrumentTakes) {
    info_->power.pztType = 2;  // the board drives a PZT
    write_ramp("d10s81c25.b12345", swli_header(10, 25));
    write_ramp("p5c25.p12345", pmi_header(kPifoc));
    write_config(swli_line("d10s81c25.b12345", 10) + " PMI p5c25.p* 0 25 0 0 0.25 0 0 0\n" +
                 " BTW9 x 10 25 0 0 0.25 81 5 1\n");
    CapturedMessages msgs;
    ASSERT_EQ(rr_get_ramp_info(info_, &set_), 0);
    EXPECT_EQ(names_of(set_), (std::vector<std::string>{"p5c25.p12345"}));
    EXPECT_EQ(ids_of(set_), (std::vector<int>{1}));
    EXPECT_TRUE(contains(msgs.text(), "Ramp config error: ramp 1 can only be used with a PIFOC\n"));
    EXPECT_TRUE(contains(msgs.text(), summary(1, 0, 0, 0, 0, 1)));

    int32_t pifoc = 0, pzt = 0;
    info_->pifocSet = false;
    rr_instr_actuators(info_, &pifoc, &pzt);
    EXPECT_EQ(pifoc, -1);
    EXPECT_EQ(pzt, -1);
}

int g_loaderCalls = 0;
int failing_loader(SystemInfo*, const RrRampSpec*, RrRamp*, char* text, std::size_t size) {
    ++g_loaderCalls;
    std::snprintf(text, size, "profile hardware missing");
    return ERR_INVALID_PARAM;
}
int working_loader(SystemInfo*, const RrRampSpec* spec, RrRamp* ramp, char*, std::size_t) {
    ++g_loaderCalls;
    ramp->hdr = swli_header(spec->scanLen, spec->cameraRate);
    return rr_ramp_set_name(ramp, spec->fileName);
}

TEST_F(RampSet, ExternalProfileRampsComeFromTheInstalledLoader) {
    write_config(
        " SWLI extprofile1 10 25 0 0 0.25 81 0 1 0\n"
        " SWLI extprofile2 10 25 0 0 0.25 81 0 1 0\n");
    g_loaderCalls = 0;
    rr_set_ext_profile_loader(failing_loader);
    {
        CapturedMessages msgs;
        EXPECT_EQ(rr_get_ramp_info(info_, &set_), ERR_NO_RAMP_INFO);
        EXPECT_TRUE(contains(msgs.text(), "Ramp config error: ramp 2: profile hardware missing\n"));
    }
    rr_set_ext_profile_loader(working_loader);
    CapturedMessages msgs;
    EXPECT_EQ(rr_get_ramp_info(info_, &set_), 0);
    EXPECT_EQ(rr_set_ext_profile_loader(nullptr), working_loader);
    EXPECT_EQ(g_loaderCalls, 4);
    EXPECT_EQ(names_of(set_), (std::vector<std::string>{"extprofile1", "extprofile2"}));
    EXPECT_EQ(ids_of(set_), (std::vector<int>{1, 2}));
}

TEST_F(RampSet, MissingConfigFileFallsBackToAScanInNameOrder) {
    // Written out of name order; rampIDs follow the sorted names, the set is
    // then ordered SWLI before PMI, by rate and scan length.
    write_ramp("d30s81c25.b12345", swli_header(30, 25));
    write_ramp("a10s81c50.b12345", swli_header(10, 50));
    write_ramp("d10s81c25.b12345", swli_header(10, 25));
    write_ramp("p5c25.p12345", pmi_header(kPifoc));        // PMI: this instrument has no PZT
    write_ramp(".d10s81c25.b12345", swli_header(10, 25));  // hidden
    write_ramp("d10s81c25.b54321", swli_header(10, 25));   // another actuator
    write_ramp("d10s81c25.b12345x", swli_header(10, 25));  // not a number
    write_file(ramps_dir().file("bad.b12345"), "not a ramp");
    ASSERT_TRUE(std::filesystem::create_directory(ramps_dir().file("dir.b12345")));
    info_->rampConfig = "absent.txt";

    CapturedMessages msgs;
    ASSERT_EQ(rr_get_ramp_info(info_, &set_), 0);
    EXPECT_EQ(names_of(set_), (std::vector<std::string>{"d10s81c25.b12345", "d30s81c25.b12345",
                                                        "a10s81c50.b12345"}));
    EXPECT_EQ(ids_of(set_), (std::vector<int>{2, 3, 1}));

    const std::string text = msgs.text();
    const std::string dir = ramps_dir().path();
    EXPECT_TRUE(contains(text, "Cannot access ramp config file \"" + dir +
                                   "/absent.txt\"\nChecking all files in ramp directory\n"));
    EXPECT_TRUE(contains(
        text, "Error reading ramp data file \"" + dir + "/bad.b12345\": ERR_NOT_A_RAMP_FILE\n"));
    EXPECT_TRUE(contains(text,
                         "Error: ramp data file \"p5c25.p12345\" can only be used with a "
                         "PZT\n"));
    EXPECT_FALSE(contains(text, "b54321"));
    EXPECT_FALSE(contains(text, "b12345x"));
    EXPECT_FALSE(contains(text, "dir.b12345"));
    EXPECT_TRUE(contains(text, summary(3, 0, 0, 3, 0, 0)));
}

TEST_F(RampSet, WithoutAConfigNameTheDirectoryIsScanned) {
    info_->rampConfig.clear();
    write_ramp("d10s81c25.b12345", swli_header(10, 25));
    CapturedMessages msgs;
    ASSERT_EQ(rr_get_ramp_info(info_, &set_), 0);
    EXPECT_EQ(set_.count, 1);
    EXPECT_FALSE(contains(msgs.text(), "ramp config file"));
    EXPECT_TRUE(contains(msgs.text(), "Checking all files in ramp directory\n"));
}

TEST_F(RampSet, AtMost254RampsFromAConfigOrAScan) {
    write_ramp("d10s81c25.b12345", swli_header(10, 25));
    std::string config;
    for (int k = 0; k < 256; ++k) config += swli_line("d10s81c25.b12345", 10);
    write_config(config);
    {
        CapturedMessages msgs;
        ASSERT_EQ(rr_get_ramp_info(info_, &set_), 0);
        EXPECT_EQ(set_.count, RR_MAX_RAMPS);
        EXPECT_EQ(set_.ramps[RR_MAX_RAMPS - 1].hdr.rampID, RR_MAX_RAMPS);
        EXPECT_TRUE(contains(msgs.text(),
                             "Ramp config warning: too many ramp config entries, "
                             "ignoring entries 255 to 256\n"));
    }

    std::filesystem::remove(ramps_dir().file("rampcfg.txt"));
    const std::string source = ramps_dir().file("d10s81c25.b12345");
    for (int k = 0; k < 256; ++k) {
        std::filesystem::copy_file(source,
                                   ramps_dir().file("r" + std::to_string(1000 + k) + ".b12345"));
    }
    CapturedMessages msgs;
    ASSERT_EQ(rr_get_ramp_info(info_, &set_), 0);
    EXPECT_EQ(set_.count, RR_MAX_RAMPS);
    EXPECT_TRUE(
        contains(msgs.text(), "Warning: too many ramp files (limit is 254), some files ignored\n"));
    // The first 254 names in byte order: d10... and r1000 to r1252.
    EXPECT_TRUE(contains(msgs.text(), "Loaded ramp file \"d10s81c25.b12345\"\n"));
    EXPECT_TRUE(contains(msgs.text(), "Loaded ramp file \"r1252.b12345\"\n"));
    EXPECT_FALSE(contains(msgs.text(), "r1253"));
}

TEST_F(RampSet, NoUsableRampIsErrNoRampInfoAndLeavesTheSetEmpty) {
    write_ramp("d10s81c25.b12345", swli_header(10, 25));
    CapturedMessages msgs;
    ASSERT_EQ(rr_get_ramp_info(info_, &set_), 0);
    ASSERT_EQ(set_.count, 1);

    msgs.clear();
    write_config(swli_line("missing.b12345", 10));
    EXPECT_EQ(rr_get_ramp_info(info_, &set_), ERR_NO_RAMP_INFO);
    EXPECT_EQ(set_.count, 0);
    EXPECT_EQ(set_.ramps, nullptr);
    EXPECT_TRUE(contains(msgs.text(), summary(0, 0, 0, 0, 0, 0) +
                                          "No usable ramp data\nrr_get_ramp_info: "
                                          "ERR_NO_RAMP_INFO\n"))
        << msgs.text();

    // An empty directory scan ends the same way.
    std::filesystem::remove(ramps_dir().file("rampcfg.txt"));
    std::filesystem::remove(ramps_dir().file("d10s81c25.b12345"));
    EXPECT_EQ(rr_get_ramp_info(info_, &set_), ERR_NO_RAMP_INFO);
}

TEST_F(RampSet, UnreadableConfigEndsTheLoadWithoutAScan) {
    write_ramp("d10s81c25.b12345", swli_header(10, 25));
    write_config("# only comments\n");
    CapturedMessages msgs;
    EXPECT_EQ(rr_get_ramp_info(info_, &set_), ERR_CORRUPT_RAMP_CFG_FILE);
    EXPECT_EQ(set_.count, 0);
    EXPECT_FALSE(contains(msgs.text(), "Checking all files"));
    EXPECT_TRUE(contains(msgs.text(), "rr_get_ramp_info: ERR_CORRUPT_RAMP_CFG_FILE\n"));
    EXPECT_EQ(rr_get_ramp_info(nullptr, &set_), ERR_INVALID_PARAM);
}

TEST_F(RampSet, WithoutKeepEveryBoardSlotIsEmptied) {
    SKIP_WITHOUT_PTY();
    start_board(1, false);
    preload_slot(0, 1);
    preload_slot(7, 3);
    write_ramp("d10s81c25.b12345", swli_header(10, 25));
    CapturedMessages msgs;
    ASSERT_EQ(rr_get_ramp_info(info_, &set_), 0);
    EXPECT_FALSE(contains(msgs.text(), "Found env var"));
    EXPECT_EQ(count_commands(UZ1_RAMP_DELETE_CMD), 12);
    EXPECT_EQ(count_commands(UZ1_RAMP_REQUEST_CMD), 0);
    for (int slot = 0; slot < 12; ++slot) EXPECT_FALSE(model_->ramp_slot(slot).loaded) << slot;
    EXPECT_FALSE(set_.ramps[0].inInstr);
    EXPECT_TRUE(contains(msgs.text(), summary(1, 0, 0, 1, 0, 0)));
}

TEST_F(RampSet, FourSlotBoardsHaveOnlyTheirOwnSlotsDeleted) {
    SKIP_WITHOUT_PTY();
    start_board(3, false);
    preload_slot(3, 1);
    write_ramp("d10s81c25.b12345", swli_header(10, 25));
    CapturedMessages msgs;
    ASSERT_EQ(rr_get_ramp_info(info_, &set_), 0) << msgs.text();
    EXPECT_EQ(count_commands(UZ2_RAMP_DELETE_CMD), 4);
    EXPECT_FALSE(model_->ramp_slot(3).loaded);
}

TEST_F(RampSet, KeepHoldsRampsOfTheNewSetAndDeletesTheRest) {
    SKIP_WITHOUT_PTY();
    start_board(1, true);
    preload_slot(0, 2);  // rampID 2: the derived ramp of the new set
    preload_slot(4, 9);  // no ramp 9 in the new set
    preload_slot(6, 1);
    write_ramp("d10s81c25.b12345", swli_header(10, 25));
    write_config(swli_line("d10s81c25.b12345", 10) + swli_line("+", 5) +
                 swli_line("d10s81c25.b12345", 10));
    CapturedMessages msgs;
    ASSERT_EQ(rr_get_ramp_info(info_, &set_), 0) << msgs.text();
    const std::string text = msgs.text();
    EXPECT_TRUE(contains(text, "Found env var KEEP_RAMPS_LOADED_IN_INSTR\n"));
    EXPECT_EQ(count_commands(UZ1_RAMP_REQUEST_CMD), 1);
    EXPECT_EQ(count_commands(UZ1_RAMP_DELETE_CMD), 1);
    EXPECT_FALSE(model_->ramp_slot(4).loaded);
    EXPECT_TRUE(model_->ramp_slot(0).complete);
    EXPECT_TRUE(model_->ramp_slot(6).complete);

    ASSERT_EQ(set_.count, 3);
    EXPECT_TRUE(set_.ramps[0].inInstr);
    EXPECT_EQ(set_.ramps[0].instrSlot, 6);
    EXPECT_TRUE(set_.ramps[1].inInstr);
    EXPECT_EQ(set_.ramps[1].instrSlot, 0);
    EXPECT_FALSE(set_.ramps[2].inInstr);
    EXPECT_TRUE(contains(text,
                         "Ramp ID 1 already loaded in instr\nRamp ID 2 already loaded in "
                         "instr\n"));
    EXPECT_TRUE(contains(text, summary(3, 2, 1, 3, 0, 0))) << text;
}

TEST_F(RampSet, UnansweredSlotRequestEndsTheLoadAndEmptiesTheSet) {
    SKIP_WITHOUT_PTY();
    write_ramp("d10s81c25.b12345", swli_header(10, 25));
    start_board(1, true);
    line_.silent_next(3);  // every send of the request goes unanswered
    CapturedMessages msgs;
    EXPECT_EQ(rr_get_ramp_info(info_, &set_), ERR_UZ_RECV_TIMEOUT);
    EXPECT_EQ(set_.count, 0);
    EXPECT_TRUE(contains(msgs.text(),
                         "uz_ramp_request failed: ERR_UZ_RECV_TIMEOUT\n"
                         "rr_get_ramp_info: ERR_UZ_RECV_TIMEOUT\n"))
        << msgs.text();
}

TEST_F(RampSet, FailedSlotDeletionEndsTheLoad) {
    SKIP_WITHOUT_PTY();
    write_ramp("d10s81c25.b12345", swli_header(10, 25));
    start_board(1, false);
    line_.silent_next(3);
    CapturedMessages msgs;
    EXPECT_EQ(rr_get_ramp_info(info_, &set_), ERR_UZ_RECV_TIMEOUT);
    EXPECT_EQ(set_.count, 0);
    EXPECT_TRUE(contains(msgs.text(), "rr_ramp_delete failed: ERR_UZ_RECV_TIMEOUT\n"));
    EXPECT_EQ(count_commands(UZ1_RAMP_DELETE_CMD), 0);
    EXPECT_FALSE(contains(msgs.text(), "Ramp data sets:"));
}

}  // namespace
