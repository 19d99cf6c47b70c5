// Start-up: the loading lines, the ini echo, the library and module checks,
// the instance lock held by another process, discovery and its limits, the
// choice of modes, the error translation, and repeated start-up and release.

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "acq/acq_testing.h"
#include "common/status.h"
#include "common/testing/child_process.h"
#include "platform/dynlib.h"
#include "platform/host.h"
#include "platform/instance_lock.h"
#include "platform/process.h"

namespace {

// The instance lock is machine-wide: each test program keeps its own
// temporary directory, so that programs run side by side (ctest -j, other
// builds) never find it held. Programs this one starts keep its directory.
struct PrivateTempDir {
    PrivateTempDir() {
        std::string inherited;
        if (plat_get_env("ACQ_PRIVATE_TEMP", &inherited)) return;
        std::error_code error;
        const std::filesystem::path base = std::filesystem::temp_directory_path(error);
        for (int attempt = 0; attempt < 100 && dir.empty(); ++attempt) {
            const std::filesystem::path candidate =
                base / ("acqtest-" + std::to_string(std::random_device{}()));
            if (std::filesystem::create_directory(candidate, error)) dir = candidate.string();
        }
        if (dir.empty()) return;
        for (const char* name : {"TMPDIR", "TMP", "TEMP"}) plat_set_env(name, dir.c_str());
        plat_set_env("ACQ_PRIVATE_TEMP", dir.c_str());
    }
    ~PrivateTempDir() {
        std::error_code error;
        if (!dir.empty()) std::filesystem::remove_all(dir, error);
    }
    std::string dir;
} const private_temp_dir;

std::string echo_of(const std::string& ini) {
    std::istringstream in(ini);
    std::string line, out;
    while (std::getline(in, line)) out += "  " + line + "\n";
    return out;
}

const char* const kCounts =
    "Num acquisition devices    = 1\n"
    "Num cameras                = 1\n"
    "Num primary camera modes   = 2\n"
    "Num secondary camera modes = 0\n";

TEST_F(AcqTest, StartUpPrintsTheLoadingLinesTheIniAndTheCounts) {
    info->cameraType = 29;
    ASSERT_EQ(start(), NO_ERROR);
    std::string expected =
        "Loading library TsnAcq.dll\nInitializing TsnAcq.dll\nINI file = TsnAcq.ini\n"
        "Contents of INI file " +
        root.file("TsnAcq.ini") + ":\n" + echo_of(simacq_default_ini()) + kCounts +
        "Primary camera type        = E2V7899\n";
    EXPECT_EQ(messages(), expected);
    EXPECT_TRUE(info->acq.acqReady);
    EXPECT_TRUE(acq_ld_available());
    EXPECT_EQ(acq_onboard_capability(), 1.0);
    // Live is the second mode for this camera, open; measurement was read first.
    EXPECT_EQ(info->acq.currentMode, info->acq.primaryModeIds[1]);
    EXPECT_TRUE(info->acq.liveSelected);
    EXPECT_EQ(info->acq.liveSize.width, 1024);
    EXPECT_EQ(info->acq.measureSize.height, 1024);
    EXPECT_EQ(info->acq.modeBytesPerPixel[0], 1);
    EXPECT_EQ(info->acq.modeBytesPerPixel[1], 2);
    EXPECT_EQ(info->acq.frameRate, 30.0);
    EXPECT_EQ(info->acq.vertPeriod, 1050);
    EXPECT_DOUBLE_EQ(info->acq.pixelClockMHz, 25.0);
    EXPECT_EQ(info->acq.measureIntegrationPeriod, 33.0);
    double trigger = 0;
    EXPECT_TRUE(sim->simacq_last_set("TRIGGER MODE", &trigger));
    EXPECT_EQ(trigger, 1.0);
}

TEST_F(AcqTest, ModeIndexesFollowTheCameraType) {
    struct Case {
        int camera, system, live, measure, third;
    };
    const Case cases[] = {{3, 0, 1, 0, 0},  {11, 0, 1, 1, 0}, {12, 24, 0, 0, 0}, {12, 30, 1, 1, 0},
                          {25, 0, 0, 0, 1}, {29, 0, 1, 1, 1}, {0, 0, 0, 0, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.camera);
        info->cameraType = c.camera;
        info->systemType = c.system;
        ASSERT_EQ(start(), NO_ERROR);
        EXPECT_EQ(info->acq.liveModeIndex, c.live);
        EXPECT_EQ(info->acq.measureModeIndex, c.measure);
        EXPECT_EQ(info->acq.thirdModeIndex, c.third);
        acq_mgrrelease();
    }
    // One mode: the first for everything, whatever the camera.
    std::string ini = simacq_default_ini();
    ini = ini.substr(0, ini.find("[ACQDEVICE1.CAMERA1.MODE2]"));
    ASSERT_TRUE(simacq_write_ini(root.path(), ini));
    info->cameraType = 29;
    ASSERT_EQ(start(), NO_ERROR);
    EXPECT_EQ(info->acq.liveModeIndex + info->acq.measureModeIndex + info->acq.thirdModeIndex, 0);
}

TEST_F(AcqTest, ModuleWithoutItsRunEntryOnlyDisablesLiveDisplayControl) {
    std::string ini = simacq_default_ini();
    ini.replace(ini.find("pulsaracq.dll"), 13, "pulsarnorun.dll");
    ASSERT_TRUE(simacq_write_ini(root.path(), ini));
    ASSERT_EQ(start(), NO_ERROR);
    EXPECT_NE(messages().find("tsn_ld_init: unable to access frame grabber DLL"
                              "Tessaryn control of live display settings is not enabled.\n" +
                              std::string(kCounts)),
              std::string::npos);
    EXPECT_FALSE(acq_ld_available());
    EXPECT_TRUE(info->acq.acqReady);
}

TEST_F(AcqTest, IniProblemsAreReportedAndInitialisationFails) {
    ASSERT_EQ(std::remove(root.file("TsnAcq.ini").c_str()), 0);
    EXPECT_EQ(acq_mgropen("TsnAcq.ini"), ERR_ACQ_INIT_DEV);
    EXPECT_EQ(messages(),
              "Loading library TsnAcq.dll\nInitializing TsnAcq.dll\nINI file = TsnAcq.ini\n"
              "Cannot access INI file " +
                  root.file("TsnAcq.ini") +
                  "\nacq_mgropen: TsnAcq.dll initialization failed - verify that TsnAcq.ini is "
                  "correct\n");
    EXPECT_FALSE(acq_loaded());
    EXPECT_EQ(run_in_child([] {
                  plat_set_env("SystemRoot", nullptr);
                  CapturedMessages lines;
                  CHILD_REQUIRE(acq_mgrinit(0, "+unit 0") == ERR_ACQ_INIT_DEV);
                  CHILD_REQUIRE(lines.text().find("INI file = TsnAcq.ini\nCannot access SystemRoot "
                                                  "environment variable\nacq_mgropen: TsnAcq.dll "
                                                  "initialization failed") != std::string::npos);
                  return 0;
              }),
              0);
}

// The library keeps its name once loaded: a missing library is only missing
// in a process that never loaded it, so that case runs in a fresh program.
TEST(AcqFreshProcess, MissingLibrary) {
    if (std::getenv("ACQ_FRESH_PROCESS") == nullptr) return;  // run by the case below
    TempDir empty;
    plat_library_set_directory(empty.path().c_str());
    CapturedMessages lines;
    EXPECT_EQ(acq_mgropen("TsnAcq.ini"), ERR_ACQ_MISSING_DLL);
    EXPECT_EQ(lines.text(), "Loading library TsnAcq.dll\nacq_mgropen: TsnAcq.dll missing\n");
    lines.clear();
    EXPECT_EQ(acq_mgrinit(0, "+DEFAULTS"), ERR_ACQ_INIT_DEV);
    EXPECT_FALSE(acq_loaded());
}

// Runs AcqFreshProcess.`test` in a new program with `environment` applied
// (name, value; a null value unsets it); true when it passed.
bool run_fresh(const char* test,
               std::initializer_list<std::pair<const char*, const char*>> environment) {
    std::vector<std::string> entries{"ACQ_FRESH_PROCESS=1"};
    for (const auto& [name, value] : environment)
        entries.push_back(value != nullptr ? std::string(name) + "=" + value : std::string(name));
    return run_tests_in_child(std::string("AcqFreshProcess.") + test, entries) == 0;
}

TEST(AcqLoading, MissingLibraryInAFreshProcess) {
    EXPECT_TRUE(run_fresh("MissingLibrary", {}));
}

// The library's resource variables, in a program whose configuration
// directory has not been decided yet. ACQ_EXPECT_PULSAR: "config" (all three
// name it), "kept" (only PULSARRES, as it was) or "none".
TEST(AcqFreshProcess, PulsarVariables) {
    if (std::getenv("ACQ_FRESH_PROCESS") == nullptr) return;  // run by the case below
    std::string expect = std::getenv("ACQ_EXPECT_PULSAR");
    SimAcq* sim = simacq_session();
    ASSERT_NE(sim, nullptr);
    TempDir root;
    simacq_set_system_root(root.path());
    ASSERT_TRUE(simacq_write_default_ini(root.path()));
    CapturedMessages lines;
    EXPECT_EQ(acq_mgropen("TsnAcq.ini"), NO_ERROR);
    acq_mgrrelease();
    const char* config = u_config_dir();
    auto value = [](const char* name) {
        const char* v = std::getenv(name);
        return v != nullptr ? std::string(v) : std::string("(unset)");
    };
    if (expect == "config") {
        ASSERT_NE(config, nullptr);
        EXPECT_EQ(value("PULSARRES"), config);
        EXPECT_EQ(value("PULSARVCF"), config);
        EXPECT_EQ(value("PULSARDCF"), config);
    } else {
        EXPECT_EQ(value("PULSARRES"), expect == "kept" ? "/elsewhere" : "(unset)");
        EXPECT_EQ(value("PULSARVCF"), "(unset)");
        EXPECT_EQ(value("PULSARDCF"), "(unset)");
    }
}

TEST(AcqLoading, PulsarVariablesOnlyWhenUnsetAndTheConfigurationIsKnown) {
    TempDir config;
    const std::string tooLong(U_DIR_MAX + 1, 'c');  // no configuration directory
    EXPECT_TRUE(run_fresh("PulsarVariables", {{"KT_CONFIG_DIR", config.path().c_str()},
                                              {"PULSARRES", nullptr},
                                              {"PULSARVCF", nullptr},
                                              {"PULSARDCF", nullptr},
                                              {"ACQ_EXPECT_PULSAR", "config"}}));
    EXPECT_TRUE(run_fresh("PulsarVariables", {{"KT_CONFIG_DIR", config.path().c_str()},
                                              {"PULSARRES", "/elsewhere"},
                                              {"PULSARVCF", nullptr},
                                              {"PULSARDCF", nullptr},
                                              {"ACQ_EXPECT_PULSAR", "kept"}}));
    EXPECT_TRUE(run_fresh("PulsarVariables", {{"KT_CONFIG_DIR", tooLong.c_str()},
                                              {"PULSARRES", nullptr},
                                              {"PULSARVCF", nullptr},
                                              {"PULSARDCF", nullptr},
                                              {"ACQ_EXPECT_PULSAR", "none"}}));
}

TEST(AcqLoading, LibraryLackingAnEntryIsInvalid) {
    EXPECT_EQ(run_in_child([] {
                  plat_library_set_directory(simacq_broken_library_directory());
                  CapturedMessages lines;
                  CHILD_REQUIRE(acq_mgropen("TsnAcq.ini") == ERR_ACQ_INVALID_DLL);
                  CHILD_REQUIRE(lines.text() ==
                                "Loading library TsnAcq.dll\nacq_mgropen: TsnAcq.dll invalid or "
                                "corrupted\n");
                  CHILD_REQUIRE(!acq_loaded());
                  CHILD_REQUIRE(acq_mgrinit(0, "+DEFAULTS") == ERR_ACQ_INIT_DEV);
                  return 0;
              }),
              0);
}

// The other process of the test below: takes the instance lock, makes the
// file "taken" in the directory it is given and holds the lock until the
// file "release" appears there.
TEST(AcqLockHolder, Hold) {
    std::string dir;
    if (!plat_get_env("ACQ_LOCK_HOLDER_DIR", &dir)) GTEST_SKIP() << "run by the test below";
    PlatInstanceLock* lock = plat_instance_lock_open("PRYNTSCAL");
    ASSERT_EQ(plat_instance_lock_wait(lock, 5000), 0);
    write_file(dir + "/taken", "");
    const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(5);
    while (!std::filesystem::exists(dir + "/release") && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    plat_instance_lock_close(lock);
}

TEST_F(AcqTest, InstanceLockHeldByAnotherProcessStopsTheStartUp) {
    TempDir talk;
    PlatProcess* holder = plat_process_start_self({"--gtest_filter=AcqLockHolder.Hold"},
                                                  {"ACQ_LOCK_HOLDER_DIR=" + talk.path()});
    ASSERT_NE(holder, nullptr);
    const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (!std::filesystem::exists(talk.file("taken")) && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!std::filesystem::exists(talk.file("taken"))) plat_process_kill(holder);
    ASSERT_TRUE(std::filesystem::exists(talk.file("taken")));
    EXPECT_EQ(start(), ERR_ACQ_INIT_DEV);
    EXPECT_EQ(messages(), "@ acq_mgrinit: Acquisition system in use by another process\n");
    EXPECT_FALSE(acq_loaded());
    write_file(talk.file("release"), "");
    int code = -1;
    ASSERT_EQ(plat_process_wait(holder, PLAT_INFINITE, &code), 0);
    EXPECT_EQ(code, 0);
    // Given up by its holder: ours.
    EXPECT_EQ(start(), NO_ERROR);
}

TEST_F(AcqTest, EveryLibraryErrorIsTranslatedWithItsText) {
    ASSERT_EQ(start(), NO_ERROR);
    struct Row {
        int error;
        const char* text;
        int code;
    };
    const Row rows[] = {{1, "Device Open\n", ERR_ACQ_DEVICE_OPEN},
                        {2, "Control File\n", ERR_ACQ_CMD},
                        {3, "Host Resource\n", ERR_ACQ_CMD},
                        {4, "Input Device Open\n", ERR_ACQ_DEVICE_OPEN},
                        {5, "Device Busy\n", ERR_ACQ_DEVICE_BUSY},
                        {6, "Device Closed\n", ERR_ACQ_DEVICE_CLOSE},
                        {7, "Device Not Ready\n", ERR_ACQ_CMD},
                        {8, "Device Buffer\n", ERR_ACQ_CMD},
                        {9, "Out Of Memory\n", ERR_ACQ_CMD},
                        {10, "Invalid Device Mode Specified\n", ERR_ACQ_INVALID_MODE},
                        {11, "Invalid Device Specified\n", ERR_ACQ_CMD},
                        {12, "Invalid Parameter\n", ERR_ACQ_CMD},
                        {13, "Missing Parameter\n", ERR_ACQ_CMD},
                        {14, "System\n", ERR_ACQ_CMD},
                        {15, "System Resource\n", ERR_ACQ_CMD},
                        {16, "Timed Out Waiting for Frames\n", ERR_ACQ_TIMEOUT},
                        {17, "Frame Buffer Overflow\n", ERR_LOST_FRAME},
                        {18, "Data Corrupt\n", ERR_FRAME_DATA_CORRUPT},
                        {19, "Unknown\n", ERR_ACQ_CMD},
                        {20, "Device\n", ERR_ACQ_CMD},
                        {21, "Missed Frame\n", ERR_LOST_FRAME},
                        {22, "Device Initialize\n", ERR_ACQ_CMD},
                        {23, "Configuration File Invalid\n", ERR_ACQ_CFGFILE_INVALID},
                        {24, "Cannot Find File\n", ERR_CANT_OPEN_FILE},
                        {25, "Field Drop\n", ERR_LOST_FRAME},
                        {26, "Attempt to use unsupported functionality\n", ERR_ACQ_CMD},
                        {27, "Unknown\n", ERR_UNKNOWN},
                        {99, "Unknown\n", ERR_UNKNOWN},
                        {-1, "Unknown\n", ERR_UNKNOWN}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.error);
        captured.clear();
        sim->simacq_fail_next("AcquireStop", 1, row.error);
        EXPECT_EQ(acq_stop(info), row.code);
        EXPECT_EQ(messages(), std::string("@ Acq Error: ") + row.text);
    }
    // No error at all: nothing printed.
    captured.clear();
    EXPECT_EQ(acq_stop(info), NO_ERROR);
    EXPECT_EQ(acq_lib_error(), NO_ERROR);
    EXPECT_EQ(messages(), "");
}

// Discovery of an ini whose third mode carries `line`.
class AcqDiscoveryTest : public AcqTest {
  protected:
    int start_with_third_mode(const std::string& lines) {
        std::string ini = simacq_default_ini() + "\n[ACQDEVICE1.CAMERA1.MODE3]\nNAME=odd\n" +
                          lines + "MAX USER WIDTH=100\nMAX USER HEIGHT=100\n";
        if (!simacq_write_ini(root.path(), ini)) return -1;
        return start();
    }
};

TEST_F(AcqDiscoveryTest, ModeValuesOnEachSideOfTheirLimits) {
    struct Case {
        const char* lines;
        int result;
    };
    const Case cases[] = {
        {"DATA RATE=1e-9\n", NO_ERROR},
        {"DATA RATE=0\n", ERR_ACQ_INVALID_DEVICE},
        {"DATA RATE=nan\n", ERR_ACQ_INVALID_DEVICE},
        {"DATA RATE=inf\n", ERR_ACQ_INVALID_DEVICE},
        {"", ERR_ACQ_INVALID_DEVICE},  // no rate at all
        {"DATA RATE=10\nDATA RESOLUTION=32\n", NO_ERROR},
        {"DATA RATE=10\nDATA RESOLUTION=33\n", ERR_ACQ_INVALID_DEVICE},
        {"DATA RATE=10\nX DATA SCALE=100\n", NO_ERROR},  // 1 pixel
        {"DATA RATE=10\nX DATA SCALE=101\n", ERR_ACQ_INVALID_DEVICE},
        {"DATA RATE=10\nX DATA SCALE=0\nMAX USER WIDTH=32767\n", NO_ERROR},  // counts as 1
        {"DATA RATE=10\nY DATA SCALE=nan\nMAX USER WIDTH=32768\n", ERR_ACQ_INVALID_DEVICE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines);
        EXPECT_EQ(start_with_third_mode(c.lines), c.result);
        EXPECT_EQ(info->acq.acqReady, c.result == NO_ERROR);
        acq_mgrrelease();
    }
}

TEST_F(AcqDiscoveryTest, ScalesAndResolutionsStoredAsDiscovered) {
    ASSERT_EQ(start_with_third_mode("DATA RATE=10\nX DATA SCALE=-2\nY DATA SCALE=4\n"
                                    "DATA RESOLUTION=9\n"),
              NO_ERROR);
    EXPECT_EQ(info->acq.numPrimaryModes, 3);
    EXPECT_EQ(info->acq.modeBaseScaleX[2], 1.0);
    EXPECT_EQ(info->acq.modeBaseScaleY[2], 4.0);
    EXPECT_EQ(info->acq.modeWidth[2], 100);
    EXPECT_EQ(info->acq.modeHeight[2], 25);
    EXPECT_EQ(info->acq.modeBytesPerPixel[2], 2);
    EXPECT_EQ(info->acq.modeIntegrationPeriod[2], 100);  // 1000 / rate without its own
    EXPECT_EQ(info->acq.modeBitsPerPixel[0], 8);
    acq_mgrrelease();
    // Periods beyond any int saturate instead of wrapping.
    ASSERT_EQ(start_with_third_mode("DATA RATE=1e-9\n"), NO_ERROR);
    EXPECT_EQ(info->acq.modeIntegrationPeriod[2], INT32_MAX);
    acq_mgrrelease();
    ASSERT_EQ(start_with_third_mode("DATA RATE=10\nMEAS INTEGRATION PERIOD=2147483647.5\n"),
              NO_ERROR);
    EXPECT_EQ(info->acq.modeIntegrationPeriod[2], INT32_MAX);
}

TEST_F(AcqTest, OwnDisplayCentresTheImageAndItsSizeSaturates) {
    std::string ini = simacq_default_ini();
    ini.replace(ini.find("DISPLAY TYPE=0"), 14,
                "DISPLAY TYPE=2\nMAX DISPLAY WIDTH=800\nMAX DISPLAY HEIGHT=1e9");
    ASSERT_TRUE(simacq_write_ini(root.path(), ini));
    ASSERT_EQ(start(), NO_ERROR);  // live: 640 x 480
    EXPECT_EQ(info->acq.displayWidth, 800);
    EXPECT_EQ(info->acq.displayHeight, INT16_MAX);
    EXPECT_EQ(info->acq.displayOffsetX, 80);
    EXPECT_EQ(info->acq.displayOffsetY, (INT16_MAX - 480) / 2);
    // Measurement: the subsampled image is centred.
    ASSERT_EQ(pl_set_measure_subsampling(info, 2, 0), NO_ERROR);
    ASSERT_EQ(pl_switch_live(info, 0), NO_ERROR);
    EXPECT_EQ(info->acq.displayOffsetX, 240);
}

TEST_F(AcqDiscoveryTest, DeviceAndModeCountsAtTheirLimits) {
    // Seven modes pass; an eighth is refused.
    std::string ini = simacq_default_ini();
    for (int m = 3; m <= 7; ++m)
        ini += "\n[ACQDEVICE1.CAMERA1.MODE" + std::to_string(m) + "]\nNAME=m" + std::to_string(m) +
               "\nDATA RATE=10\nMAX USER WIDTH=64\nMAX USER HEIGHT=64\n";
    ASSERT_TRUE(simacq_write_ini(root.path(), ini));
    ASSERT_EQ(start(), NO_ERROR);
    EXPECT_EQ(info->acq.numPrimaryModes, 7);
    acq_mgrrelease();
    ini +=
        "\n[ACQDEVICE1.CAMERA1.MODE8]\nNAME=m8\nDATA RATE=10\nMAX USER WIDTH=64\nMAX USER "
        "HEIGHT=64\n";
    ASSERT_TRUE(simacq_write_ini(root.path(), ini));
    captured.clear();
    EXPECT_EQ(start(), ERR_ACQ_INVALID_DEVICE);
    EXPECT_NE(messages().find("@ acq_getinputmodes: Number of input modes exceeds maximum\n"),
              std::string::npos);
    EXPECT_FALSE(acq_loaded());

    // Four devices of one camera each: three used, and the second camera
    // found is the secondary one.
    ini = simacq_default_ini();
    for (int d = 2; d <= 4; ++d) {
        std::string s = "ACQDEVICE" + std::to_string(d);
        ini += "\n[" + s + "]\nNAME=FG" + std::to_string(d) + "\n[" + s + ".CAMERA1]\nNAME=C" +
               std::to_string(d) + "\n[" + s + ".CAMERA1.MODE1]\nNAME=only\nDATA RATE=10\n" +
               "MAX USER WIDTH=64\nMAX USER HEIGHT=64\n";
    }
    ASSERT_TRUE(simacq_write_ini(root.path(), ini));
    ASSERT_EQ(start(), NO_ERROR);
    EXPECT_EQ(info->acq.numAcqDevices, 3);
    EXPECT_EQ(info->acq.numCameras, 3);
    EXPECT_EQ(info->acq.primaryInputDevice, info->acq.inputDeviceIds[0][0]);
    EXPECT_EQ(info->acq.secondaryInputDevice, info->acq.inputDeviceIds[1][0]);
    EXPECT_EQ(info->acq.numSecondaryModes, 1);
    EXPECT_NE(info->acq.secondaryModeId, 0);
}

TEST_F(AcqTest, TwentyStartUpsAndReleasesLeaveThreadsAndDescriptorsAsTheyWere) {
    // The first cycle loads what stays loaded for the process (the module).
    ASSERT_EQ(start(), NO_ERROR);
    acq_mgrrelease();
    int threads = plat_process_thread_count();
    if (threads < 0) GTEST_SKIP() << "no listing of a process's threads on this system";
    int descriptors = plat_process_descriptor_count();
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(start(), NO_ERROR) << i;
        ASSERT_EQ(pl_switch_live(info, 0), NO_ERROR);
        ASSERT_EQ(pl_switch_live(info, 1), NO_ERROR);
        acq_mgrrelease();
    }
    EXPECT_EQ(plat_process_thread_count(), threads);
    EXPECT_EQ(plat_process_descriptor_count(), descriptors);
}

}  // namespace
