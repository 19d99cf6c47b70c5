// The simulated frame-acquisition library as the program sees it: loaded
// through the platform loader, driven through its 31 entries.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/testing/child_process.h"
#include "common/testing/temp_dir.h"
#include "platform/clock.h"
#include "platform/dynlib.h"
#include "platform/process.h"
#include "sim/acq/testing/simacq_session.h"
#include "sim/bench/simbench.h"
#include "sim/can/simcan_fixture.h"

namespace {

class SimAcqTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim = simacq_session();
        ASSERT_NE(sim, nullptr);
        simacq_session_reset();
        simbench_reset();
        simacq_set_system_root(dir.path());
        ASSERT_TRUE(simacq_write_default_ini(dir.path()));
    }
    void TearDown() override {
        if (sim != nullptr) sim->simacq_reset();
        simbench_reset();
    }

    // Initialised, device 1, camera 11, mode `mode` selected and open.
    void open(int mode = 101) {
        ASSERT_NE(sim->InitDeviceMgr("TsnAcq.ini"), 0);
        ASSERT_NE(sim->SetCurrentAcqDevice(1), 0);
        ASSERT_NE(sim->SetCurrentInputDevice(11), 0);
        ASSERT_NE(sim->SetCurrentInputMode(mode), 0);
        ASSERT_EQ(sim->OpenDevice(), 0);
    }

    void start(int32_t kind) {
        AcqStartRequest request{};
        request.kind = kind;
        request.arg1 = 0;
        request.arg2 = 1;
        ASSERT_NE(sim->AcquireStart(&request), 0) << sim->GetLastAcqError();
    }

    // A read request for the whole 640 × 480 frame of mode 101.
    AcqReadRequest request(int32_t kind, int32_t timeoutMs, int32_t frame = 0) {
        pixels.assign(640 * 480 * 2, 0xEE);
        AcqReadRequest r{};
        r.kind = kind;
        r.frame = frame;
        r.timeoutMs = timeoutMs;
        r.width = 640;
        r.height = 480;
        r.one = 1;
        r.buffer = pixels.data();
        return r;
    }

    // Result and library error of one read.
    std::pair<int32_t, int32_t> read(AcqReadRequest r) {
        int32_t ok = sim->ReadDevice(&r);
        return {ok, sim->GetLastAcqError()};
    }

    TempDir dir;
    SimAcq* sim = nullptr;
    std::vector<uint8_t> pixels;
};

std::string mode_section(int device, int camera, int mode, const std::string& name) {
    return "[ACQDEVICE" + std::to_string(device) + ".CAMERA" + std::to_string(camera) + ".MODE" +
           std::to_string(mode) + "]\nNAME=" + name +
           "\nDATA RATE=50\nMAX USER WIDTH=64\nMAX USER HEIGHT=48\n";
}

TEST_F(SimAcqTest, DeviceTreeFromTheIniWithEveryLimitOfTheFile) {
    // Four devices, four cameras on the first, eight modes on its first camera:
    // the library lists them all (the program applies its own caps), and stops
    // at the first section without a name.
    std::string ini;
    for (int d = 1; d <= 5; ++d)
        ini += "[ACQDEVICE" + std::to_string(d) + "]\nNAME=FG" + std::to_string(d) + "\n";
    for (int c = 1; c <= 5; ++c)
        ini += "[ACQDEVICE1.CAMERA" + std::to_string(c) + "]\nNAME=C" + std::to_string(c) + "\n";
    for (int m = 1; m <= 9; ++m) ini += mode_section(1, 1, m, "M" + std::to_string(m));
    ini += "[ACQDEVICE2.CAMERA2]\nNAME=ORPHAN\n";  // no CAMERA1: device 2 has none
    ASSERT_TRUE(simacq_write_ini(dir.path(), ini));

    ASSERT_NE(sim->InitDeviceMgr("TsnAcq.ini"), 0);
    EXPECT_EQ(sim->GetNumAcqDevices(), 4);
    char name[ACQ_NAME_MAX];
    std::vector<std::string> names;
    for (int ok = sim->GetFirstAcqDeviceName(name, sizeof name); ok;
         ok = sim->GetNextAcqDeviceName(name, sizeof name))
        names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"FG1", "FG2", "FG3", "FG4"}));
    EXPECT_EQ(sim->GetLastAcqError(), ACQ_LIB_INVALID_DEVICE);  // the end of the list
    EXPECT_EQ(sim->GetAcqDeviceId("FG4"), 4);
    EXPECT_EQ(sim->GetAcqDeviceId("FG5"), 0);

    ASSERT_NE(sim->SetCurrentAcqDevice(1), 0);
    EXPECT_EQ(sim->GetNumInputDevices(), 4);
    EXPECT_EQ(sim->GetInputDeviceId("C4"), 14);
    ASSERT_NE(sim->SetCurrentInputDevice(11), 0);
    EXPECT_EQ(sim->GetNumInputModes(), 8);
    EXPECT_EQ(sim->GetInputModeId("M8"), 108);
    EXPECT_EQ(sim->GetInputModeId("M9"), 0);
    EXPECT_EQ(sim->GetLastAcqError(), ACQ_LIB_INVALID_MODE);
    // A name buffer one byte short of the name and its terminator.
    EXPECT_EQ(sim->GetFirstInputModeName(name, 2), 0);
    EXPECT_EQ(sim->GetLastAcqError(), ACQ_LIB_INVALID_PARAMETER);
    EXPECT_NE(sim->GetFirstInputModeName(name, 3), 0);

    ASSERT_NE(sim->SetCurrentAcqDevice(2), 0);
    EXPECT_EQ(sim->GetNumInputDevices(), 0);
    // Input devices are those of the current device only.
    EXPECT_EQ(sim->GetInputDeviceId("C1"), 0);
    EXPECT_EQ(sim->SetCurrentInputDevice(11), 0);
    EXPECT_EQ(sim->GetLastAcqError(), ACQ_LIB_INVALID_DEVICE);
}

TEST_F(SimAcqTest, InitFailsForAMissingOrInvalidIni) {
    EXPECT_EQ(sim->InitDeviceMgr("Other.ini"), 0);
    EXPECT_EQ(sim->GetLastAcqError(), ACQ_LIB_CANNOT_FIND_FILE);
    EXPECT_EQ(sim->GetNumAcqDevices(), 0);

    ASSERT_TRUE(simacq_write_ini(dir.path(), "[ACQDEVICE1]\nNAME=FG0\nDISPLAY TYPE=two\n"));
    EXPECT_EQ(sim->InitDeviceMgr("TsnAcq.ini"), 0);
    EXPECT_EQ(sim->GetLastAcqError(), 23);
    ASSERT_TRUE(simacq_write_ini(dir.path(), "[ACQDEVICE2]\nNAME=FG0\n"));
    EXPECT_EQ(sim->InitDeviceMgr("TsnAcq.ini"), 0);
    EXPECT_EQ(sim->GetLastAcqError(), 23);

    // Unusable numbers are handed over as they are, for the program to judge.
    ASSERT_TRUE(simacq_write_ini(dir.path(),
                                 "[ACQDEVICE1]\nNAME=FG0\n[ACQDEVICE1.CAMERA1]\n"
                                 "NAME=C\n[ACQDEVICE1.CAMERA1.MODE1]\nNAME=M\n"
                                 "DATA RATE=nan\nX DATA SCALE=-2\n"));
    ASSERT_NE(sim->InitDeviceMgr("TsnAcq.ini"), 0);
    ASSERT_NE(sim->SetCurrentAcqDevice(1), 0);
    ASSERT_NE(sim->SetCurrentInputDevice(11), 0);
    ASSERT_NE(sim->SetCurrentInputMode(101), 0);
    double v = 0;
    ASSERT_NE(sim->AcqInputModeQuery("DATA RATE", &v), 0);
    EXPECT_TRUE(std::isnan(v));
    ASSERT_NE(sim->AcqInputModeQuery("X DATA SCALE", &v), 0);
    EXPECT_EQ(v, -2);
    EXPECT_EQ(sim->AcqInputModeQuery("MAX USER WIDTH", &v), 0);
    EXPECT_EQ(sim->GetLastAcqError(), ACQ_LIB_MISSING_PARAMETER);
    // ... but such a mode cannot be opened.
    EXPECT_NE(sim->OpenDevice(), 0);
    EXPECT_EQ(sim->GetLastAcqError(), ACQ_LIB_INVALID_MODE);

    plat_set_env("SystemRoot", nullptr);
    EXPECT_EQ(sim->InitDeviceMgr("TsnAcq.ini"), 0);
    EXPECT_EQ(sim->GetLastAcqError(), ACQ_LIB_CANNOT_FIND_FILE);
    EXPECT_EQ(sim->GetNumAcqDevices(), 0);
    EXPECT_EQ(sim->GetLastAcqError(), ACQ_LIB_INVALID_DEVICE);
}

TEST_F(SimAcqTest, CallsInTheWrongStateFailWithTheirError) {
    // Before InitDeviceMgr.
    EXPECT_EQ(sim->SetCurrentAcqDevice(1), 0);
    EXPECT_EQ(sim->GetLastAcqError(), ACQ_LIB_INVALID_DEVICE);
    ASSERT_NE(sim->InitDeviceMgr("TsnAcq.ini"), 0);
    EXPECT_EQ(sim->GetLastAcqError(), 0);
    EXPECT_EQ(sim->SetCurrentAcqDevice(2), 0);
    EXPECT_EQ(sim->GetLastAcqError(), ACQ_LIB_INVALID_DEVICE);
    ASSERT_NE(sim->SetCurrentAcqDevice(1), 0);
    double v;
    EXPECT_EQ(sim->AcqInputDeviceQuery("PIXEL SIZE", &v), 0);  // no input device yet
    EXPECT_EQ(sim->GetLastAcqError(), ACQ_LIB_INVALID_DEVICE);
    EXPECT_NE(sim->OpenDevice(), 0);
    EXPECT_EQ(sim->GetLastAcqError(), ACQ_LIB_INVALID_DEVICE);
    ASSERT_NE(sim->SetCurrentInputDevice(11), 0);
    EXPECT_NE(sim->OpenDevice(), 0);  // no mode
    EXPECT_EQ(sim->GetLastAcqError(), ACQ_LIB_INVALID_MODE);
    EXPECT_EQ(sim->SetCurrentInputMode(103), 0);
    EXPECT_EQ(sim->GetLastAcqError(), ACQ_LIB_INVALID_MODE);
    EXPECT_EQ(sim->SetCurrentInputMode(100), 0);
    ASSERT_NE(sim->SetCurrentInputMode(102), 0);

    AcqStartRequest live{};
    live.kind = ACQ_START_LIVE;
    EXPECT_EQ(sim->AcquireStart(&live), 0);
    EXPECT_EQ(sim->GetLastAcqError(), ACQ_LIB_DEVICE_CLOSED);
    AcqReadRequest r = request(ACQ_READ_LATEST, 0);
    EXPECT_EQ(read(r), std::make_pair(0, ACQ_LIB_DEVICE_CLOSED));

    ASSERT_EQ(sim->OpenDevice(), 0);
    EXPECT_NE(sim->OpenDevice(), 0);
    EXPECT_EQ(sim->GetLastAcqError(), ACQ_LIB_DEVICE_BUSY);
    // Nothing else may be selected while open; the selection that stands may.
    EXPECT_EQ(sim->SetCurrentInputMode(101), 0);
    EXPECT_EQ(sim->GetLastAcqError(), ACQ_LIB_DEVICE_BUSY);
    EXPECT_NE(sim->SetCurrentInputMode(102), 0);
    EXPECT_EQ(sim->GetCurrentInputMode(), 102);
    EXPECT_EQ(sim->GetCurrentInputDevice(), 11);

    ASSERT_NE(sim->AcquireStart(&live), 0);
    EXPECT_EQ(sim->AcquireStart(&live), 0);
    EXPECT_EQ(sim->GetLastAcqError(), ACQ_LIB_DEVICE_BUSY);
    ASSERT_NE(sim->AcquireStop(), 0);
    EXPECT_NE(sim->AcquireStop(), 0);  // idle: nothing to stop
    AcqStartRequest bad = live;
    bad.kind = 3;
    EXPECT_EQ(sim->AcquireStart(&bad), 0);
    EXPECT_EQ(sim->GetLastAcqError(), ACQ_LIB_INVALID_PARAMETER);
    AcqStartRequest grab{};
    grab.kind = ACQ_START_GRAB;
    grab.arg2 = 0;  // no frames
    EXPECT_EQ(sim->AcquireStart(&grab), 0);
    EXPECT_EQ(sim->GetLastAcqError(), ACQ_LIB_INVALID_PARAMETER);
    grab.arg2 = 1;
    EXPECT_NE(sim->AcquireStart(&grab), 0);

    EXPECT_EQ(sim->CloseDevice(), 0);
    EXPECT_EQ(sim->CloseDevice(), 0);  // closed: nothing to close
    EXPECT_NE(sim->SetCurrentInputMode(101), 0);
    sim->FreeDeviceResources();
    EXPECT_EQ(sim->GetCurrentInputDevice(), 0);
    EXPECT_EQ(sim->SetCurrentAcqDevice(1), 0);
}

TEST_F(SimAcqTest, ParametersAtEachLevelAndTheScaleSetsTheFrameSize) {
    open();
    double v = 0;
    EXPECT_NE(sim->AcqDeviceQuery("GRAB DATA BUFFERS", &v), 0);
    EXPECT_EQ(v, 4);
    EXPECT_EQ(sim->AcqDeviceQuery("MAX DISPLAY WIDTH", &v), 0);
    EXPECT_EQ(sim->GetLastAcqError(), ACQ_LIB_MISSING_PARAMETER);
    EXPECT_EQ(sim->AcqDeviceQuery("DATA RATE", &v), 0);  // a mode's parameter
    EXPECT_EQ(sim->GetLastAcqError(), ACQ_LIB_INVALID_PARAMETER);
    EXPECT_NE(sim->AcqInputDeviceQuery("PIXEL SIZE", &v), 0);
    EXPECT_DOUBLE_EQ(v, 7.4);

    int32_t block[ACQ_GRAPHICS_INTS] = {ACQ_GRAPHICS_MODE};
    block[12] = 2;
    EXPECT_NE(sim->AcqDeviceSet("GRAPHICS COMMAND", block), 0);
    int32_t seen[ACQ_GRAPHICS_INTS] = {};
    ASSERT_TRUE(sim->simacq_last_graphics(seen));
    EXPECT_EQ(0, std::memcmp(seen, block, sizeof block));
    EXPECT_NE(sim->AcqDeviceSet("CFG FILE PATH", "/tmp/cfg"), 0);
    char path[8];
    ASSERT_TRUE(sim->simacq_cfg_file_path(path, sizeof path));
    EXPECT_STREQ(path, "/tmp/cf");  // cut to the buffer

    // Scale 2 halves the frame: 320 × 480 fits, 321 wide does not.
    double two = 2;
    ASSERT_NE(sim->AcqInputModeSet("X DATA SCALE", &two), 0);
    ASSERT_TRUE(sim->simacq_last_set("X DATA SCALE", &v));
    EXPECT_EQ(v, 2);
    start(ACQ_START_LIVE);
    AcqReadRequest r = request(ACQ_READ_LATEST, 1000);
    r.width = 321;
    EXPECT_EQ(read(r), std::make_pair(0, ACQ_LIB_INVALID_PARAMETER));
    r.width = 320;
    EXPECT_EQ(read(r), std::make_pair(1, 0));
    SimAcqFrameInfo info{};
    ASSERT_TRUE(sim->simacq_last_frame(&info));
    EXPECT_EQ(info.width, 320);
    EXPECT_EQ(info.height, 480);

    for (double bad : {0.0, -1.0, double(NAN), double(INFINITY)}) {
        EXPECT_EQ(sim->AcqInputModeSet("Y DATA SCALE", &bad), 0) << bad;
        EXPECT_EQ(sim->GetLastAcqError(), ACQ_LIB_INVALID_PARAMETER);
    }
    EXPECT_EQ(sim->AcqInputModeSet("PIXEL SIZE", &two), 0);  // not a mode's parameter
    EXPECT_EQ(sim->GetLastAcqError(), ACQ_LIB_INVALID_PARAMETER);
}

TEST_F(SimAcqTest, ReadRequestsAreCheckedAgainstTheModeAndWriteExactlyTheWindow) {
    open(102);  // 1024 × 1024, 12 bits: 2 bytes a pixel
    start(ACQ_START_LIVE);
    std::vector<uint8_t> buffer(1024 * 1024 * 2 + 64, 0xEE);
    AcqReadRequest r{};
    r.kind = ACQ_READ_LATEST;
    r.timeoutMs = 1000;
    r.one = 1;
    r.buffer = buffer.data();
    struct Window {
        int32_t x, y, w, h;
        bool ok;
    };
    for (Window w :
         {Window{0, 0, 1024, 1024, true}, Window{1, 0, 1024, 1024, false},
          Window{0, 1, 1024, 1024, false}, Window{0, 0, 1025, 1, false},
          Window{1023, 1023, 1, 1, true}, Window{1024, 0, 1, 1, false}, Window{0, 0, 0, 1, false},
          Window{0, 0, 1, 0, false}, Window{-1, 0, 1, 1, false}, Window{10, 20, 30, 40, true}}) {
        std::fill(buffer.begin(), buffer.end(), 0xEE);
        r.x = w.x;
        r.y = w.y;
        r.width = w.w;
        r.height = w.h;
        int32_t ok = sim->ReadDevice(&r);
        EXPECT_EQ(ok != 0, w.ok) << w.x << "," << w.y << " " << w.w << "x" << w.h;
        size_t written = w.ok ? static_cast<size_t>(w.w) * w.h * 2 : 0;
        if (!w.ok) {
            EXPECT_EQ(sim->GetLastAcqError(), ACQ_LIB_INVALID_PARAMETER);
        }
        // Nothing beyond the window's bytes; 12-bit values never set the top nibble.
        for (size_t i = written; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xEE) << i;
        for (size_t i = 1; i < written; i += 2) ASSERT_LT(buffer[i], 0x10) << i;
    }
    r.x = r.y = 0;
    r.width = r.height = 8;
    AcqReadRequest wrong = r;
    wrong.one = 0;
    EXPECT_EQ(sim->ReadDevice(&wrong), 0);
    wrong = r;
    wrong.buffer = nullptr;
    EXPECT_EQ(sim->ReadDevice(&wrong), 0);
    wrong = r;
    wrong.kind = 4;
    EXPECT_EQ(sim->ReadDevice(&wrong), 0);
    wrong = r;
    wrong.kind = ACQ_READ_NUMBERED;
    wrong.frame = -1;
    EXPECT_EQ(sim->ReadDevice(&wrong), 0);
    EXPECT_EQ(sim->GetLastAcqError(), ACQ_LIB_INVALID_PARAMETER);
    AcqReadRequest seen{};
    ASSERT_TRUE(sim->simacq_last_read(&seen));
    EXPECT_EQ(seen.frame, -1);

    // Onboard results: written at once, without frames.
    ASSERT_NE(sim->AcquireStop(), 0);
    r.kind = 6;
    r.x = 2;
    ASSERT_NE(sim->ReadDevice(&r), 0);
    EXPECT_EQ(buffer[0], 6 * 16 + 2);
    EXPECT_EQ(buffer[2 * 9], 6 * 16 + 2 + 1 + 1);  // x 1, y 1 of the window
}

TEST_F(SimAcqTest, OnboardWorkNeedsTheDevicesCapability) {
    ASSERT_TRUE(simacq_write_ini(dir.path(), [] {
        std::string ini = simacq_default_ini();
        ini.replace(ini.find("ONBOARD PROC=1"), 14, "ONBOARD PROC=0");
        return ini;
    }()));
    open();
    AcqStartRequest onboard{};
    onboard.kind = ACQ_START_ONBOARD;
    onboard.width = 10;
    onboard.height = 10;
    EXPECT_EQ(sim->AcquireStart(&onboard), 0);
    EXPECT_EQ(sim->GetLastAcqError(), 26);
    AcqReadRequest r = request(ACQ_READ_ONBOARD_FIRST, 0);
    EXPECT_EQ(read(r), std::make_pair(0, 26));

    double one = 1;
    ASSERT_NE(sim->AcqDeviceSet("ONBOARD PROC", &one), 0);
    onboard.width = 641;  // wider than the frame
    EXPECT_EQ(sim->AcquireStart(&onboard), 0);
    EXPECT_EQ(sim->GetLastAcqError(), ACQ_LIB_INVALID_PARAMETER);
    onboard.width = 640;
    EXPECT_NE(sim->AcquireStart(&onboard), 0);
    AcqStartRequest seen{};
    ASSERT_TRUE(sim->simacq_last_start(&seen));
    EXPECT_EQ(seen.width, 640);
    EXPECT_EQ(read(r), std::make_pair(1, 0));
}

TEST_F(SimAcqTest, NumberedFramesComeWhenDueAndTimeOutOtherwise) {
    open();  // 60 frames a second
    AcqStartRequest grab{};
    grab.kind = ACQ_START_GRAB;
    grab.arg1 = 0;
    grab.arg2 = 10000;
    int64_t before = plat_clock_ms();
    ASSERT_NE(sim->AcquireStart(&grab), 0);
    int64_t after = plat_clock_ms();

    // Frame 6000 is due 100 s after the start: a 20 ms time-out misses it.
    // Frame 5, due about 100 ms after the start, comes taken when due.
    EXPECT_EQ(read(request(ACQ_READ_NUMBERED, 20, 6000)), std::make_pair(0, ACQ_LIB_TIMEOUT));
    EXPECT_EQ(read(request(ACQ_READ_NUMBERED, 10000, 5)), std::make_pair(1, 0));
    SimAcqFrameInfo info{};
    ASSERT_TRUE(sim->simacq_last_frame(&info));
    EXPECT_EQ(info.number, 5);
    EXPECT_GE(info.takenMs, before + 99);
    EXPECT_LE(info.takenMs, after + 101);
    EXPECT_LE(info.takenMs, plat_clock_ms());
    // An old frame is there at once, even with no time-out.
    EXPECT_EQ(read(request(ACQ_READ_NUMBERED, 0, 1)), std::make_pair(1, 0));
    ASSERT_TRUE(sim->simacq_last_frame(&info));
    EXPECT_EQ(info.number, 1);

    // The latest frame is the next one taken.
    int64_t now = plat_clock_ms();
    EXPECT_EQ(read(request(ACQ_READ_LATEST, 10000)), std::make_pair(1, 0));
    ASSERT_TRUE(sim->simacq_last_frame(&info));
    EXPECT_GE(info.takenMs, now);
    EXPECT_GT(info.number, 5);

    // A new grab numbers from 0 again.
    ASSERT_NE(sim->AcquireStop(), 0);
    ASSERT_NE(sim->AcquireStart(&grab), 0);
    EXPECT_EQ(read(request(ACQ_READ_NUMBERED, 10000, 0)), std::make_pair(1, 0));
    ASSERT_TRUE(sim->simacq_last_frame(&info));
    EXPECT_EQ(info.number, 0);

    // Not acquiring: no frames come.
    ASSERT_NE(sim->AcquireStop(), 0);
    EXPECT_EQ(read(request(ACQ_READ_LATEST, 30)), std::make_pair(0, ACQ_LIB_TIMEOUT));
}

TEST_F(SimAcqTest, AGrabEndsAfterItsCountAndItsFramesStayReadable) {
    open();  // 60 frames a second
    AcqStartRequest grab{};
    grab.kind = ACQ_START_GRAB;
    grab.arg1 = 1;
    grab.arg2 = 3;
    ASSERT_NE(sim->AcquireStart(&grab), 0);
    // Beyond the count: refused at once, whatever the time-out.
    EXPECT_EQ(read(request(ACQ_READ_NUMBERED, 600000, 3)),
              std::make_pair(0, ACQ_LIB_INVALID_PARAMETER));
    // The last frame: after it the grab is over and a new one may start,
    // which it may not while it runs (unless this read came late).
    ASSERT_EQ(read(request(ACQ_READ_NUMBERED, 600000, 2)), std::make_pair(1, 0));
    SimAcqFrameInfo last{};
    ASSERT_TRUE(sim->simacq_last_frame(&last));
    EXPECT_EQ(last.number, 2);
    // Kind 2 after the grab: its last frame, at once.
    EXPECT_EQ(read(request(ACQ_READ_LATEST, 0)), std::make_pair(1, 0));
    SimAcqFrameInfo info{};
    ASSERT_TRUE(sim->simacq_last_frame(&info));
    EXPECT_EQ(info.number, 2);
    EXPECT_EQ(info.takenMs, last.takenMs);
    EXPECT_EQ(read(request(ACQ_READ_NUMBERED, 0, 0)), std::make_pair(1, 0));

    // A grab whose frame never comes (a rate of almost 0) is busy meanwhile.
    double slow = 1e-12;
    ASSERT_NE(sim->AcqInputModeSet("DATA RATE", &slow), 0);
    grab.arg2 = 1;
    ASSERT_NE(sim->AcquireStart(&grab), 0);
    EXPECT_EQ(sim->AcquireStart(&grab), 0);
    EXPECT_EQ(sim->GetLastAcqError(), ACQ_LIB_DEVICE_BUSY);
    // Frames of the earlier grab are gone with the new start.
    EXPECT_EQ(read(request(ACQ_READ_NUMBERED, 0, 0)), std::make_pair(0, ACQ_LIB_TIMEOUT));
    ASSERT_NE(sim->AcquireStop(), 0);
    EXPECT_NE(sim->AcquireStart(&grab), 0);
}

TEST_F(SimAcqTest, FramesOfAStoppedLiveAcquisitionStayReadable) {
    open();
    start(ACQ_START_LIVE);
    ASSERT_EQ(read(request(ACQ_READ_NUMBERED, 600000, 1)), std::make_pair(1, 0));
    ASSERT_NE(sim->AcquireStop(), 0);
    EXPECT_EQ(read(request(ACQ_READ_NUMBERED, 0, 1)), std::make_pair(1, 0));
    // Kind 2 waits for frames that a stopped live acquisition no longer takes.
    EXPECT_EQ(read(request(ACQ_READ_LATEST, 20)), std::make_pair(0, ACQ_LIB_TIMEOUT));
    ASSERT_EQ(sim->CloseDevice(), 0);
    ASSERT_EQ(sim->OpenDevice(), 0);
    EXPECT_EQ(read(request(ACQ_READ_NUMBERED, 0, 1)), std::make_pair(0, ACQ_LIB_TIMEOUT));
}

TEST_F(SimAcqTest, ReadsWaitingForFramesAreReleasedByAStartStopCloseAndReset) {
    open();
    struct Case {
        const char* what;
        std::function<void()> act;
        std::pair<int32_t, int32_t> result;
    };
    std::vector<Case> cases = {
        {"start", [&] { start(ACQ_START_LIVE); }, {1, 0}},
        {"stop", [&] { sim->AcquireStop(); }, {0, ACQ_LIB_TIMEOUT}},
        {"close", [&] { sim->CloseDevice(); }, {0, ACQ_LIB_DEVICE_CLOSED}},
        {"reset", [&] { sim->simacq_reset(); }, {0, ACQ_LIB_DEVICE_CLOSED}},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim->simacq_reset();
        open();
        if (std::string(c.what) == "stop" || std::string(c.what) == "close") {
            start(ACQ_START_LIVE);
            sim->simacq_hold_reads(true);
        }
        std::pair<int32_t, int32_t> result{-1, -1};
        // Long enough never to time out on a loaded machine.
        AcqReadRequest r = request(ACQ_READ_LATEST, 600000);
        std::thread reader([&] { result = read(r); });
        ASSERT_TRUE(sim->simacq_wait_reads_waiting(1, 600000));
        c.act();
        reader.join();
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(sim->simacq_reads_waiting(), 0);
    }
}

TEST_F(SimAcqTest, HeldReadsWaitUntilReleasedOrTheirTimeOut) {
    open();
    start(ACQ_START_LIVE);
    sim->simacq_hold_reads(true);
    EXPECT_EQ(read(request(ACQ_READ_NUMBERED, 50, 0)), std::make_pair(0, ACQ_LIB_TIMEOUT));
    std::pair<int32_t, int32_t> result{-1, -1};
    AcqReadRequest r = request(ACQ_READ_NUMBERED, 600000, 0);
    std::thread reader([&] { result = read(r); });
    ASSERT_TRUE(sim->simacq_wait_reads_waiting(1, 600000));
    sim->simacq_hold_reads(false);
    reader.join();
    EXPECT_EQ(result, std::make_pair(1, 0));
}

TEST_F(SimAcqTest, ScriptedFailuresCountDownAndLeaveOtherEntriesAlone) {
    open();
    start(ACQ_START_LIVE);
    for (int32_t error : {16, 17, 21, 24, 25, 99, 0}) {
        sim->simacq_fail_next("ReadDevice", 2, error);
        AcqReadRequest r = request(ACQ_READ_LATEST, 1000);
        r.buffer = pixels.data();
        EXPECT_EQ(read(r), std::make_pair(0, error));
        EXPECT_EQ(read(r), std::make_pair(0, error));
        EXPECT_EQ(pixels[0], 0xEE);  // a failed read writes nothing
        EXPECT_EQ(read(r), std::make_pair(1, 0)) << error;
    }
    sim->simacq_fail_next("OpenDevice", 1, ACQ_LIB_DEVICE_OPEN);
    sim->simacq_fail_next("CloseDevice", 1, 20);
    EXPECT_EQ(sim->CloseDevice(), -1);
    EXPECT_EQ(sim->GetLastAcqError(), 20);
    EXPECT_EQ(sim->CloseDevice(), 0);
    EXPECT_EQ(sim->OpenDevice(), -1);
    EXPECT_EQ(sim->GetLastAcqError(), ACQ_LIB_DEVICE_OPEN);
    EXPECT_EQ(sim->OpenDevice(), 0);
    // A cleared script.
    sim->simacq_fail_next("AcquireStop", 3, 7);
    sim->simacq_fail_next("AcquireStop", 0, 7);
    EXPECT_NE(sim->AcquireStop(), 0);
    EXPECT_EQ(sim->simacq_call_count("AcquireStop"), 1);
    EXPECT_EQ(sim->simacq_call_count("OpenDevice"), 3);
}

TEST_F(SimAcqTest, TheLastErrorBelongsToTheCallingThread) {
    ASSERT_NE(sim->InitDeviceMgr("TsnAcq.ini"), 0);
    EXPECT_EQ(sim->SetCurrentAcqDevice(9), 0);
    std::thread other([&] { EXPECT_NE(sim->SetCurrentAcqDevice(1), 0); });
    other.join();
    EXPECT_EQ(sim->GetLastAcqError(), ACQ_LIB_INVALID_DEVICE);
}

// The brightest pixels of a scene frame, as the optics in simacq.h give them.
double expected_peak(int bits, uint16_t led, uint16_t wheel, double gainDb, double exposure) {
    double full = (1 << bits) - 1;
    double v = full * led / 65535.0 * std::pow(10.0, -3.0 * (65535 - wheel) / 65535.0) *
               std::pow(10.0, gainDb / 20) * exposure;
    return std::min(v, full);
}

int peak_of(const std::vector<uint8_t>& pixels, int count) {
    return *std::max_element(pixels.begin(), pixels.begin() + count);
}

TEST_F(SimAcqTest, SceneBrightnessFollowsLedWheelGainAndExposure) {
    std::string ini = simacq_default_ini();
    ini.insert(ini.find("[ACQDEVICE1.CAMERA1.MODE2]"), "MAN SHUTTER=8\nINTEGRATION PERIOD=16\n");
    ASSERT_TRUE(simacq_write_ini(dir.path(), ini));
    open();
    start(ACQ_START_LIVE);
    simbench_set_light_level(40000);
    struct Step {
        uint16_t wheel;
        double gainDb, shutter, integration;
    };
    for (Step s : {Step{65535, 0, 8, 16}, Step{50000, 0, 8, 16}, Step{30000, 0, 8, 16},
                   Step{50000, 6, 8, 16}, Step{50000, 0, 4, 16}, Step{50000, 0, 8, 32},
                   Step{65535, 20, 8, 16}, Step{0, 0, 8, 16}}) {
        SCOPED_TRACE(s.wheel);
        simbench_set_ndwheel(s.wheel, s.wheel, false);
        ASSERT_NE(sim->AcqInputModeSet("CHAB_GAIN", &s.gainDb), 0);
        ASSERT_NE(sim->AcqInputModeSet("MAN SHUTTER", &s.shutter), 0);
        ASSERT_NE(sim->AcqInputModeSet("INTEGRATION PERIOD", &s.integration), 0);
        ASSERT_EQ(read(request(ACQ_READ_LATEST, 10000)), std::make_pair(1, 0));
        double peak =
            expected_peak(8, 40000, s.wheel, s.gainDb, s.shutter / 8 * s.integration / 16);
        // The plateau: at least 100 pixels within the noise of the peak.
        int near = 0;
        for (int i = 0; i < 640 * 480; ++i) near += std::abs(pixels[i] - std::lround(peak)) <= 1;
        EXPECT_GE(near, 100) << peak;
        EXPECT_LE(peak_of(pixels, 640 * 480), std::lround(peak) + 1);
    }
}

TEST_F(SimAcqTest, FramesTakenWhileTheWheelMovesShowItsPositionThen) {
    open();  // 60 frames a second
    start(ACQ_START_LIVE);
    simbench_set_light_level(65535);
    ASSERT_EQ(read(request(ACQ_READ_NUMBERED, 600000, 0)), std::make_pair(1, 0));
    SimAcqFrameInfo info{};
    ASSERT_TRUE(sim->simacq_last_frame(&info));
    // The wheel from darkest to brightest from frame 0's time over 20 frames;
    // numbered frames have fixed times, however late they are read.
    int64_t t0 = info.takenMs;
    simbench_set_ndwheel_motion(0, 65535, t0, t0 + 20 * 1000 / 60);
    int lastPeak = -1;
    int moving = 0;
    for (int n = 1; n <= 24; ++n) {
        ASSERT_EQ(read(request(ACQ_READ_NUMBERED, 600000, n)), std::make_pair(1, 0));
        ASSERT_TRUE(sim->simacq_last_frame(&info));
        EXPECT_EQ(info.wheelLevel, simbench_ndwheel_level_at(info.takenMs));
        if (info.wheelLevel > 0 && info.wheelLevel < 65535) ++moving;
        int peak = peak_of(pixels, 640 * 480);
        EXPECT_NEAR(peak, expected_peak(8, 65535, info.wheelLevel, 0, 1), 1.5) << n;
        EXPECT_GE(peak, lastPeak - 1);  // brightens as the wheel opens
        lastPeak = peak;
    }
    EXPECT_GE(moving, 18);
    EXPECT_EQ(lastPeak, 255);
}

TEST_F(SimAcqTest, TheWheelTheCanSimulatorMovesIsTheOneFramesShow) {
    SimCan* can = simcan_session();
    ASSERT_NE(can, nullptr);
    simcan_session_reset();
    SimCanApi api;
    ASSERT_EQ(api.CAN_Connect(simcan_ip(192, 168, 10, 20)), CAN_OK);
    ASSERT_TRUE(can->simcan_model_add(64, 0x26721600, 0x00010003));
    ASSERT_TRUE(can->simcan_model_param(64, "speed", 200000));  // 60000 units in 300 ms
    simbench_set_light_level(65535);
    open();
    start(ACQ_START_LIVE);
    ASSERT_EQ(read(request(ACQ_READ_NUMBERED, 600000, 0)), std::make_pair(1, 0));
    const uint16_t target = 60000;
    CanSdoStatus status{};
    ASSERT_EQ(api.CAN_SDOWrite(64, 0x2028, 0, &target, 2, &status), CAN_OK);
    const int64_t moveEnd = plat_clock_ms() + 300;
    // No more bus traffic: the frames alone follow the move to its end.
    int between = 0;
    SimAcqFrameInfo info{};
    for (int n = 1; info.takenMs <= moveEnd + 50; ++n) {
        ASSERT_EQ(read(request(ACQ_READ_NUMBERED, 600000, n)), std::make_pair(1, 0));
        ASSERT_TRUE(sim->simacq_last_frame(&info));
        if (info.wheelLevel > 0 && info.wheelLevel < target) ++between;
        EXPECT_NEAR(peak_of(pixels, 640 * 480), expected_peak(8, 65535, info.wheelLevel, 0, 1),
                    1.5);
    }
    EXPECT_EQ(info.wheelLevel, target);
    EXPECT_GE(between, 10);  // 18 frames of 60 a second in the 300 ms
    uint16_t level = 0;
    ASSERT_EQ(api.CAN_SDORead(64, 0x2028, 0, &level, 2, &status), CAN_OK);
    EXPECT_EQ(level, target);
    api.CAN_Disconnect();
    simcan_session_reset();
}

TEST_F(SimAcqTest, ScriptedFrameContents) {
    open();
    start(ACQ_START_LIVE);
    simbench_set_light_level(65535);
    simbench_set_ndwheel(65535, 65535, false);
    sim->simacq_set_frames(SIMACQ_FRAMES_DARK, 0);
    ASSERT_EQ(read(request(ACQ_READ_LATEST, 10000)), std::make_pair(1, 0));
    EXPECT_EQ(peak_of(pixels, 640 * 480), 0);
    sim->simacq_set_frames(SIMACQ_FRAMES_SATURATED, 0);
    ASSERT_EQ(read(request(ACQ_READ_LATEST, 10000)), std::make_pair(1, 0));
    EXPECT_EQ(*std::min_element(pixels.begin(), pixels.begin() + 640 * 480), 255);
    // Exactly 100 pixels at the level: the 100 brightest sit at it, the 101st below.
    for (int32_t level : {191, 300}) {
        sim->simacq_set_frames(SIMACQ_FRAMES_LEVEL, level);
        ASSERT_EQ(read(request(ACQ_READ_LATEST, 10000)), std::make_pair(1, 0));
        int at = static_cast<int>(
            std::count(pixels.begin(), pixels.begin() + 640 * 480, std::min(level, 255)));
        EXPECT_EQ(at, 100) << level;
        EXPECT_EQ(peak_of(pixels, 640 * 480), std::min(level, 255));
    }
}

TEST_F(SimAcqTest, AFullFrameIsRenderedFast) {
    open(102);
    start(ACQ_START_LIVE);
    std::vector<uint8_t> buffer(1024 * 1024 * 2);
    AcqReadRequest r{};
    r.kind = ACQ_READ_NUMBERED;
    r.timeoutMs = 600000;
    r.width = r.height = 1024;
    r.one = 1;
    r.buffer = buffer.data();
    ASSERT_NE(sim->ReadDevice(&r), 0);
    // Frame 0 has been taken by then: only the rendering is timed, in real
    // time, with a bound far above its few milliseconds.
    r.timeoutMs = 0;
    auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i) ASSERT_NE(sim->ReadDevice(&r), 0) << sim->GetLastAcqError();
    auto spent = std::chrono::steady_clock::now() - begin;
    EXPECT_LT(spent, std::chrono::milliseconds(5 * 200));
}

// In a child: the broken library lacks AcqInputModeSet only; the second
// line-detection module lacks RunLDCommand only.
int check_variants() {
    plat_library_set_directory(simacq_broken_library_directory());
    int error = 0;
    PlatLibrary* lib = plat_library_load("TsnAcq.dll", &error);
    CHILD_REQUIRE(lib != nullptr);
#define SIMACQ_TEST_ENTRY(name)                                            \
    CHILD_REQUIRE((plat_library_symbol(lib, #name, nullptr) != nullptr) == \
                  (std::string(#name) != "AcqInputModeSet"));
    ACQ_ENTRY_LIST(SIMACQ_TEST_ENTRY)
#undef SIMACQ_TEST_ENTRY
    plat_library_set_directory(simacq_library_directory());
    PlatLibrary* norun = plat_library_load("pulsarnorun.dll", nullptr);
    PlatLibrary* full = plat_library_load("pulsaracq.dll", nullptr);
    CHILD_REQUIRE(norun != nullptr && full != nullptr);
#define SIMACQ_TEST_LD(name)                                                 \
    CHILD_REQUIRE(plat_library_symbol(full, #name, nullptr) != nullptr);     \
    CHILD_REQUIRE((plat_library_symbol(norun, #name, nullptr) != nullptr) == \
                  (std::string(#name) != "RunLDCommand"));
    ACQ_LD_ENTRY_LIST(SIMACQ_TEST_LD)
#undef SIMACQ_TEST_LD
    return 0;
}

TEST(SimAcqVariants, TheBrokenLibraryAndTheSecondModuleLackTheirEntry) {
    EXPECT_EQ(run_in_child(check_variants), 0);
}

}  // namespace
