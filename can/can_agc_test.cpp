#include "can/can_agc.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "can/can_bridge.h"
#include "can/can_events.h"
#include "can/can_lib.h"
#include "can/can_sdo.h"
#include "common/status.h"
#include "common/testing/capture_sink.h"
#include "common/testing/timestamp_form.h"
#include "config/sysinfo.h"
#include "datafile/surface.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "sim/can/testing/simcan_session.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Frames the test controls: `bright` pixels at `top`, the rest at `rest`;
// reads that fail, or one that blocks until released.
struct Frames {
    std::mutex lock;
    std::condition_variable changed;
    int top = 255;
    int bright = 100;
    int rest = 0;
    int failures = 0;  // the next reads that fail, with `error`
    int error = ERR_ACQ_READ;
    int grabFailures = 0;
    int holdCall = 0;  // this call (1-based) blocks until `released`
    bool released = false;
    bool holding = false;
    int calls = 0;
    std::vector<int> writesAtCall;  // level writes on the wire when each read began
    std::vector<int64_t> clockAtCall;
    std::set<uint64_t> threads;
    std::vector<int> numbered;  // frame numbers asked for after a grab
    bool runningSeen = false;   // the SDO layer's query, from inside the thread
    int width = 0, height = 0;  // of the last image
};
Frames* g_frames = nullptr;

int level_writes() {
    int n = 0;
    for (const SimCanRecord& r : simcan_sdo_transcript())
        if (r.node == 64 && r.index == 0x2028 && r.direction == SIMCAN_DIR_WRITE &&
            r.result == CAN_OK && r.abortCode == 0)
            ++n;
    return n;
}

int fill(FrameStore* image) {
    Frames& f = *g_frames;
    int writes = level_writes();
    std::unique_lock<std::mutex> guard(f.lock);
    ++f.calls;
    f.writesAtCall.push_back(writes);
    f.clockAtCall.push_back(plat_clock_ms());
    f.threads.insert(plat_thread_self());
    f.runningSeen = can_agc_thread_running();
    f.width = image->window.width;
    f.height = image->window.height;
    if (f.calls == f.holdCall) {
        f.holding = true;
        f.changed.notify_all();
        f.changed.wait(guard, [&] { return f.released; });
        f.holding = false;
    }
    if (f.failures > 0) {
        --f.failures;
        return f.error;
    }
    const int64_t count = int64_t{image->window.width} * image->window.height;
    for (int64_t i = 0; i < count; ++i) {
        int v = i < f.bright ? f.top : f.rest;
        if (image->elem_size == 1) {
            image->matrix[i] = static_cast<uint8_t>(v);
        } else {
            uint16_t w = static_cast<uint16_t>(v);
            std::memcpy(image->matrix + 2 * i, &w, 2);
        }
    }
    return NO_ERROR;
}

int copy_latest(SystemInfo*, FrameStore* image) {
    return fill(image);
}
int grab(SystemInfo*, int first, int count) {
    std::lock_guard<std::mutex> guard(g_frames->lock);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(count, 1);
    if (g_frames->grabFailures > 0) {
        --g_frames->grabFailures;
        return g_frames->error;
    }
    return NO_ERROR;
}
int copy_numbered(SystemInfo*, FrameStore* image, int frame, double timeoutSeconds) {
    {
        std::lock_guard<std::mutex> guard(g_frames->lock);
        g_frames->numbered.push_back(frame);
        EXPECT_GE(timeoutSeconds, 1.0);
    }
    return fill(image);
}
const CanAgcFrameSource kSource = {copy_latest, grab, copy_numbered};

// Waits (real time, generously) for a condition the thread brings about.
bool eventually(const std::function<bool()>& condition, int seconds = 60) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The captured text with each line's time-stamp cut off; stamped lines only.
std::string unstamped(const std::string& text) {
    std::istringstream in(text);
    std::string line, out;
    while (std::getline(in, line)) {
        if (line.size() > 20 && looks_like_timestamp(line.substr(0, 19)) && line[19] == ' ')
            out += line.substr(20) + "\n";
    }
    return out;
}

int tasks() {
    return plat_process_thread_count();
}

// A connected simulated bridge with the focus and ND wheel node, whose level
// reads as command 20000 (DF B1 on the wire); a QEL instrument with the
// primary camera in live, 8-bit 64 x 32 frames at 100 frames/s, target 191.
class CanAgcTest : public ::testing::Test {
  protected:
    void SetUp() override {
        scale_ = plat_clock_scale();
        if (std::getenv("SURF_CLOCK_SCALE") == nullptr) plat_set_clock_scale(50);
        sim = simcan_session();
        ASSERT_NE(sim, nullptr);
        simcan_session_reset();
        const uint8_t ip[4] = {192, 168, 10, 20};
        uint32_t ipv4 = 0;
        std::memcpy(&ipv4, ip, 4);
        ASSERT_EQ(can_api()->CAN_Connect(ipv4), CAN_OK);
        info.instrBdType = SB_BOARD_CAN;
        can_bridge_info_create(&info);
        info.canInfo->firmwareMajor = 1;
        info.canInfo->firmwareMinor = 12;
        info.systemType = 23;
        info.can.focusNdwRequired = 1;
        info.can.focusNdwPresent = 1;
        info.llcTarget = 191;
        SysAcqState& acq = info.acq;
        acq.acquiring = true;
        acq.primaryCameraSelected = true;
        acq.liveModeIndex = 0;
        acq.measureModeIndex = 1;
        for (int m : {0, 1}) {
            acq.modeBitsPerPixel[m] = 8;
            acq.modeBytesPerPixel[m] = 1;
        }
        acq.liveSize = {128, 64};
        acq.liveSubsampling = 2;
        acq.measureSize = {64, 32};
        acq.frameRate = 100;
        ASSERT_TRUE(sim->simcan_model_add(64, 0x1234, 0x00010000));
        set_wheel(20000);
        ASSERT_EQ(can_agc_init(), NO_ERROR);
        g_frames = &frames;
        can_agc_set_frame_source(&kSource);
        sim->simcan_transcript_clear();
    }
    void TearDown() override {
        release();
        can_agc_stop_thread();
        can_agc_init();
        can_agc_set_frame_source(nullptr);
        simcan_session_reset();
        g_frames = nullptr;
        plat_set_clock_scale(scale_);
    }

    // The wheel at rest at command `command` (its inverse on the wire).
    void set_wheel(uint16_t command) {
        ASSERT_TRUE(sim->simcan_model_param(64, "speed", 1000000000));
        ASSERT_EQ(can_write_dmd_motor2_llcLevel(&info, 64, command, true), NO_ERROR);
        plat_sleep_ms(1);
        ASSERT_EQ(can_write_dmd_motor2_llcLevel(&info, 64, command, true), NO_ERROR);
        ASSERT_TRUE(sim->simcan_model_param(64, "speed", 20000));
    }
    void release() {
        std::lock_guard<std::mutex> guard(frames.lock);
        frames.released = true;
        frames.changed.notify_all();
    }
    int calls() {
        std::lock_guard<std::mutex> guard(frames.lock);
        return frames.calls;
    }
    std::vector<int> writes_at_call() {
        std::lock_guard<std::mutex> guard(frames.lock);
        return frames.writesAtCall;
    }
    // Commands written to the ND wheel, in order.
    std::vector<int> commands() {
        std::vector<int> out;
        for (const SimCanRecord& r : simcan_sdo_transcript()) {
            if (r.node == 64 && r.index == 0x2028 && r.direction == SIMCAN_DIR_WRITE)
                out.push_back(static_cast<uint16_t>(~(r.bytes[0] | r.bytes[1] << 8)));
        }
        return out;
    }
    bool ended() { return !can_agc_thread_running(); }

    SimCan* sim = nullptr;
    SystemInfo info;
    Frames frames;
    double scale_ = 1;
};

TEST_F(CanAgcTest, FirstUpdateOnTheWireAndStopStoresTheLevel) {
    ASSERT_EQ(can_agc_start(&info, 5), NO_ERROR);
    EXPECT_TRUE(can_agc_thread_running());
    EXPECT_EQ(can_agc_active_mode(), 5u);
    ASSERT_TRUE(eventually([&] { return level_writes() >= 1; }));
    EXPECT_EQ(can_agc_stop(&info), NO_ERROR);
    EXPECT_FALSE(can_agc_thread_running());
    EXPECT_EQ(can_agc_active_mode(), 0u);
    EXPECT_EQ(can_agc_requested_mode(), 0u);
    // 8-bit, target 191, level 255: e = 0.25, P = D = 750 on command 20000.
    std::vector<SimCanRecord> sdos = simcan_sdo_transcript();
    ASSERT_GE(sdos.size(), 2u);
    EXPECT_EQ(sdos[0].direction, SIMCAN_DIR_READ);
    EXPECT_EQ(simcan_record_bytes(sdos[0].entry), (Bytes{0xDF, 0xB1}));
    EXPECT_EQ(sdos[1].direction, SIMCAN_DIR_WRITE);
    EXPECT_EQ(simcan_record_bytes(sdos[1].entry), (Bytes{0x03, 0xAC}));
    // The stop's read of the moving wheel went to the current light level.
    EXPECT_EQ(sdos.back().direction, SIMCAN_DIR_READ);
    EXPECT_GE(info.can.lightLevel, 20000);
    EXPECT_LE(info.can.lightLevel, 21500);
    // The live size divided once by its subsampling.
    std::lock_guard<std::mutex> guard(frames.lock);
    EXPECT_EQ(frames.width, 64);
    EXPECT_EQ(frames.height, 32);
}

// Each frame kind on both sides of its boundary: the 1/32 tolerance, the 100
// brightest pixels, values above a narrow mode's top bin, 16-bit frames.
TEST_F(CanAgcTest, WritesOnlyOutsideTheToleranceAndPausesOtherwise) {
    struct Case {
        int bits, bytes, top, bright, rest;
        bool writes;
    };
    const Case cases[] = {
        {8, 1, 191, 100, 0, false},    {8, 1, 199, 100, 0, false},   {8, 1, 200, 100, 0, true},
        {8, 1, 183, 100, 0, false},    {8, 1, 182, 100, 0, true},    {8, 1, 255, 99, 191, false},
        {8, 1, 255, 100, 191, true},   {6, 1, 47, 100, 0, false},    {6, 1, 255, 100, 0, true},
        {16, 2, 49151, 100, 0, false}, {16, 2, 65535, 100, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.bits << " bits, top " << c.top << " x " << c.bright);
        info.acq.modeBitsPerPixel[0] = c.bits;
        info.acq.modeBytesPerPixel[0] = c.bytes;
        {
            std::lock_guard<std::mutex> guard(frames.lock);
            frames.top = c.top;
            frames.bright = c.bright;
            frames.rest = c.rest;
            frames.calls = 0;
            frames.clockAtCall.clear();
        }
        sim->simcan_transcript_clear();
        ASSERT_EQ(can_agc_start_thread(&info), NO_ERROR);
        if (c.writes) {
            EXPECT_TRUE(eventually([&] { return level_writes() >= 1; }));
        } else {
            ASSERT_TRUE(eventually([&] { return calls() >= 4; }));
        }
        ASSERT_EQ(can_agc_stop_thread(), NO_ERROR);
        if (!c.writes) {
            EXPECT_EQ(level_writes(), 0);
            std::lock_guard<std::mutex> guard(frames.lock);
            for (size_t i = 1; i < frames.clockAtCall.size(); ++i)
                EXPECT_GE(frames.clockAtCall[i] - frames.clockAtCall[i - 1], 100) << i;
        }
    }
}

TEST_F(CanAgcTest, ModesAboveSixteenBitsEndTheThread) {
    info.acq.modeBitsPerPixel[0] = 17;
    info.acq.modeBytesPerPixel[0] = 4;
    CapturedMessages messages;
    ASSERT_EQ(can_agc_start(&info, 5), NO_ERROR);
    ASSERT_TRUE(eventually([&] { return ended(); }));
    EXPECT_EQ(can_agc_thread_result(), ERR_ACQ_INVALID_MODE);
    EXPECT_EQ(can_agc_active_mode(), 0u);
    EXPECT_EQ(calls(), 0);
    EXPECT_EQ(unstamped(messages.text()),
              "can_agc_thread_func: unsupported resolution = 17 bits\n");
}

// Target 64 and saturated frames: e = 191/256, P = 2238.28125; the tenth
// update takes 1000 off P; D only counts in the first.
TEST_F(CanAgcTest, EveryTenthUpdateIsReduced) {
    info.llcTarget = 64;
    ASSERT_EQ(can_agc_start(&info, 5), NO_ERROR);
    ASSERT_TRUE(eventually([&] { return level_writes() >= 11; }));
    ASSERT_EQ(can_agc_stop_thread(), NO_ERROR);
    std::vector<int> written = commands();
    written.resize(11);
    EXPECT_EQ(written, (std::vector<int>{24476, 26714, 28953, 31191, 33429, 35667, 37906, 40144,
                                         42382, 43621, 45859}));
}

TEST_F(CanAgcTest, CommandIsClampedAndTheClampedLevelWrittenOnce) {
    info.llcTarget = 64;
    set_wheel(60000);
    sim->simcan_transcript_clear();
    ASSERT_EQ(can_agc_start(&info, 5), NO_ERROR);
    ASSERT_TRUE(eventually([&] { return level_writes() >= 2; }));
    int seen = calls();
    ASSERT_TRUE(eventually([&] { return calls() >= seen + 5; }));
    ASSERT_EQ(can_agc_stop_thread(), NO_ERROR);
    EXPECT_EQ(commands(), (std::vector<int>{64476, 65535}));
    // Dark frames drive it to 0 and no further.
    info.llcTarget = 191;
    set_wheel(3000);
    sim->simcan_transcript_clear();
    {
        std::lock_guard<std::mutex> guard(frames.lock);
        frames.top = 0;
        frames.calls = 0;
    }
    ASSERT_EQ(can_agc_start_thread(&info), NO_ERROR);
    ASSERT_TRUE(eventually([&] { return level_writes() >= 1; }));
    ASSERT_TRUE(eventually([&] { return calls() >= 8; }));
    ASSERT_EQ(can_agc_stop_thread(), NO_ERROR);
    EXPECT_EQ(commands(), (std::vector<int>{0}));
}

// The two frames after a write are skipped, and so is the one after a lost
// frame; another failure skips nothing.
TEST_F(CanAgcTest, FramesAfterAWriteOrALostFrameAreSkipped) {
    ASSERT_EQ(can_agc_start(&info, 5), NO_ERROR);
    ASSERT_TRUE(eventually([&] { return calls() >= 5; }));
    ASSERT_EQ(can_agc_stop_thread(), NO_ERROR);
    std::vector<int> at = writes_at_call();
    at.resize(5);
    EXPECT_EQ(at, (std::vector<int>{0, 1, 1, 1, 2}));

    for (int error : {ERR_LOST_FRAME, ERR_ACQ_READ}) {
        sim->simcan_transcript_clear();
        {
            std::lock_guard<std::mutex> guard(frames.lock);
            frames.calls = 0;
            frames.writesAtCall.clear();
            frames.failures = 1;
            frames.error = error;
        }
        ASSERT_EQ(can_agc_start_thread(&info), NO_ERROR);
        ASSERT_TRUE(eventually([&] { return calls() >= 4; }));
        ASSERT_EQ(can_agc_stop_thread(), NO_ERROR);
        at = writes_at_call();
        at.resize(4);
        EXPECT_EQ(at, error == ERR_LOST_FRAME ? (std::vector<int>{0, 0, 0, 1})
                                              : (std::vector<int>{0, 0, 1, 1}))
            << u_error_name(error);
    }
}

TEST_F(CanAgcTest, TenFailuresInARowEndTheThreadAndAResumeRestartsIt) {
    {
        std::lock_guard<std::mutex> guard(frames.lock);
        frames.failures = 9;
    }
    CapturedMessages messages;
    ASSERT_EQ(can_agc_start(&info, 5), NO_ERROR);
    ASSERT_TRUE(eventually([&] { return level_writes() >= 1; }));
    EXPECT_TRUE(can_agc_thread_running());
    ASSERT_EQ(can_agc_stop_thread(), NO_ERROR);

    messages.clear();
    {
        std::lock_guard<std::mutex> guard(frames.lock);
        frames.failures = 10;
        frames.error = ERR_ACQ_TIMEOUT;
    }
    ASSERT_EQ(can_agc_start(&info, 5), NO_ERROR);
    ASSERT_TRUE(eventually([&] { return ended(); }));
    EXPECT_EQ(can_agc_thread_result(), ERR_ACQ_TIMEOUT);
    EXPECT_EQ(can_agc_active_mode(), 0u);
    EXPECT_EQ(can_agc_requested_mode(), 5u);
    std::string expected;
    for (int i = 0; i < 10; ++i)
        expected += "can_agc_thread_func: Error copying frame: ERR_ACQ_TIMEOUT\n";
    EXPECT_EQ(unstamped(messages.text()), expected);

    // An ended thread is not running: suspending and resuming starts it again.
    EXPECT_EQ(can_agc_suspend(&info, true), NO_ERROR);
    EXPECT_FALSE(can_agc_thread_running());
    EXPECT_EQ(can_agc_suspend(&info, false), NO_ERROR);
    EXPECT_TRUE(can_agc_thread_running());
    EXPECT_EQ(can_agc_active_mode(), 5u);
    ASSERT_TRUE(eventually([&] { return calls() >= 25; }));
}

TEST_F(CanAgcTest, WithoutLiveFramesItGrabsOneAndCopiesItsFirstFrame) {
    info.acq.acquiring = false;
    {
        std::lock_guard<std::mutex> guard(frames.lock);
        frames.grabFailures = 10;
        frames.error = ERR_ACQ_DEVICE_CLOSE;
    }
    CapturedMessages messages;
    ASSERT_EQ(can_agc_start_thread(&info), NO_ERROR);
    ASSERT_TRUE(eventually([&] { return ended(); }));
    EXPECT_EQ(can_agc_thread_result(), ERR_ACQ_DEVICE_CLOSE);
    std::string expected;
    for (int i = 0; i < 10; ++i)
        expected += "can_agc_thread_func: Error grabbing frame: ERR_ACQ_DEVICE_CLOSE\n";
    EXPECT_EQ(unstamped(messages.text()), expected);
    EXPECT_EQ(calls(), 0);
    ASSERT_EQ(can_agc_start_thread(&info), NO_ERROR);
    ASSERT_TRUE(eventually([&] { return level_writes() >= 1; }));
    ASSERT_EQ(can_agc_stop_thread(), NO_ERROR);
    std::lock_guard<std::mutex> guard(frames.lock);
    ASSERT_FALSE(frames.numbered.empty());
    EXPECT_EQ(frames.numbered[0], 0);
}

TEST_F(CanAgcTest, AWheelThatRefusesEveryWriteEndsTheThread) {
    sim->simcan_sdo_fault(64, 0x2028, 0, SIMCAN_DIR_WRITE, CAN_OK, 0x06090011, 0, -1);
    CapturedMessages messages;
    ASSERT_EQ(can_agc_start(&info, 5), NO_ERROR);
    ASSERT_TRUE(eventually([&] { return ended(); }));
    EXPECT_EQ(can_agc_thread_result(), ERR_CAN_SDO_NDW_ERROR);
    EXPECT_EQ(can_agc_active_mode(), 0u);
    EXPECT_EQ(calls(), 10);
}

TEST_F(CanAgcTest, NoFrameSourceEndsTheThreadAtOnce) {
    can_agc_set_frame_source(nullptr);
    CapturedMessages messages;
    ASSERT_EQ(can_agc_start(&info, 5), NO_ERROR);
    ASSERT_TRUE(eventually([&] { return ended(); }));
    EXPECT_EQ(can_agc_thread_result(), ERR_ACQ_DEVICE_CLOSE);
    EXPECT_EQ(can_agc_active_mode(), 0u);
    EXPECT_EQ(unstamped(messages.text()),
              "can_agc_thread_func: Error copying frame: ERR_ACQ_DEVICE_CLOSE\n");
}

// A stop that comes while a frame read blocks ends the thread after that
// frame, without writing, and well within the stop's time-out.
TEST_F(CanAgcTest, StopDuringAHeldFrameEndsWithoutAWrite) {
    {
        std::lock_guard<std::mutex> guard(frames.lock);
        frames.holdCall = 1;
    }
    CapturedMessages messages;
    ASSERT_EQ(can_agc_start(&info, 5), NO_ERROR);
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> guard(frames.lock);
        return frames.holding;
    }));
    {
        std::lock_guard<std::mutex> guard(frames.lock);
        EXPECT_TRUE(frames.runningSeen);  // the query the wheel's write asks
    }
    int stopped = -1;
    std::thread stopper([&] { stopped = can_agc_stop_thread(); });
    ASSERT_TRUE(eventually([&] { return can_agc_stopping(); }));
    release();
    stopper.join();
    EXPECT_EQ(stopped, NO_ERROR);
    EXPECT_EQ(level_writes(), 0);
    EXPECT_EQ(calls(), 1);
    EXPECT_EQ(unstamped(messages.text()), "");
}

// A stop while the thread waits for the wheel (which never reports) cuts the
// wait short: no time-out of the wait is reported.
TEST_F(CanAgcTest, StopDuringTheWheelWaitEndsIt) {
    PlatWaitable* stopped = plat_event_create(true, false, "CAN_NDWHEEL_STOPPED");
    ASSERT_NE(stopped, nullptr);
    CapturedMessages messages;
    ASSERT_EQ(can_agc_start(&info, 5), NO_ERROR);
    ASSERT_TRUE(eventually([&] { return level_writes() >= 1; }));
    EXPECT_EQ(can_agc_stop_thread(), NO_ERROR);
    plat_handle_close(stopped);
    EXPECT_EQ(unstamped(messages.text()), "");
    EXPECT_EQ(calls(), 1);
}

// The wheel's stop PDO ends the wait: the updates follow each other without a
// failed wait.
TEST_F(CanAgcTest, TheWheelsStopEventEndsTheWait) {
    PlatWaitable* stopped = plat_event_create(true, false, "CAN_NDWHEEL_STOPPED");
    ASSERT_NE(stopped, nullptr);
    ASSERT_EQ(can_register_events(&info, true), NO_ERROR);
    ASSERT_TRUE(sim->simcan_model_param(64, "speed", 1000));  // 1.5 s per update
    CapturedMessages messages;
    ASSERT_EQ(can_agc_start(&info, 5), NO_ERROR);
    ASSERT_TRUE(eventually([&] { return level_writes() >= 3; }));
    EXPECT_EQ(can_agc_stop_thread(), NO_ERROR);
    can_register_events(&info, false);
    plat_handle_close(stopped);
    EXPECT_EQ(unstamped(messages.text()), "");
    EXPECT_EQ(commands()[1], 22250);  // e and P as before, D = 0
}

TEST_F(CanAgcTest, WheelWaitOnItsOwn) {
    // No event: a fixed wait.
    int64_t start = plat_clock_ms();
    EXPECT_EQ(ac_llc_wait(&info), NO_ERROR);
    EXPECT_GE(plat_clock_ms() - start, 1300);
    // An event that never comes: 300 waits of 10 ms.
    PlatWaitable* stopped = plat_event_create(true, false, "CAN_NDWHEEL_STOPPED");
    ASSERT_NE(stopped, nullptr);
    start = plat_clock_ms();
    EXPECT_EQ(ac_llc_wait(&info), ERR_HW_FAIL);
    EXPECT_GE(plat_clock_ms() - start, 3000);
    plat_event_set(stopped);
    EXPECT_EQ(ac_llc_wait(&info), NO_ERROR);
    plat_handle_close(stopped);
}

// A thread that misses its stop is let go on its own state: the controls
// carry on, a new thread starts, and the old one later ends without a write
// and without clearing the new thread's mode.
TEST_F(CanAgcTest, AThreadThatMissesTheStopIsLetGo) {
    {
        std::lock_guard<std::mutex> guard(frames.lock);
        frames.holdCall = 1;
    }
    CapturedMessages messages;
    ASSERT_EQ(can_agc_start(&info, 5), NO_ERROR);
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> guard(frames.lock);
        return frames.holding;
    }));
    EXPECT_EQ(can_agc_stop_thread(), ERR_INTERNAL_KT);
    EXPECT_EQ(unstamped(messages.text()),
              "can_agc_stop_thread: failed to stop thread within 5 sec\n");
    EXPECT_FALSE(can_agc_thread_running());
    EXPECT_EQ(can_agc_release(), NO_ERROR);
    ASSERT_EQ(can_agc_start(&info, 7), NO_ERROR);
    EXPECT_TRUE(can_agc_thread_running());
    ASSERT_TRUE(eventually([&] { return calls() >= 4; }));
    int writes = level_writes();
    // Counted here, not at the start: a sanitizer's own thread may have
    // joined the process since.
    int during = tasks();
    release();
    ASSERT_TRUE(eventually([&] { return tasks() == during - 1; }));  // the old one is gone
    EXPECT_TRUE(can_agc_thread_running());
    EXPECT_EQ(can_agc_active_mode(), 7u);
    ASSERT_EQ(can_agc_stop_thread(), NO_ERROR);
    // Every write came from the new thread's cadence (a write, two skips).
    EXPECT_GE(writes, 1);
    std::lock_guard<std::mutex> guard(frames.lock);
    EXPECT_EQ(frames.threads.size(), 2u);
}

TEST_F(CanAgcTest, OneThreadPerProcess) {
    ASSERT_EQ(can_agc_start(&info, 5), NO_ERROR);
    ASSERT_EQ(can_agc_start(&info, 7), NO_ERROR);
    EXPECT_EQ(can_agc_active_mode(), 7u);
    EXPECT_EQ(can_agc_requested_mode(), 7u);
    ASSERT_EQ(can_agc_start_thread(&info), NO_ERROR);
    ASSERT_TRUE(eventually([&] { return calls() >= 10; }));
    ASSERT_EQ(can_agc_stop_thread(), NO_ERROR);
    std::lock_guard<std::mutex> guard(frames.lock);
    EXPECT_EQ(frames.threads.size(), 1u);
}

TEST_F(CanAgcTest, NestedSuspension) {
    ASSERT_EQ(can_agc_start(&info, 5), NO_ERROR);
    EXPECT_EQ(can_agc_suspend(&info, true), NO_ERROR);
    EXPECT_FALSE(can_agc_thread_running());
    EXPECT_EQ(can_agc_active_mode(), 0u);
    EXPECT_EQ(can_agc_requested_mode(), 5u);
    EXPECT_EQ(can_agc_suspend(&info, true), NO_ERROR);
    EXPECT_EQ(can_agc_suspension_count(), 2);
    // A start while suspended only remembers the mode.
    EXPECT_EQ(can_agc_start(&info, 6), NO_ERROR);
    EXPECT_FALSE(can_agc_thread_running());
    EXPECT_EQ(can_agc_suspend(&info, false), NO_ERROR);
    EXPECT_FALSE(can_agc_thread_running());
    EXPECT_EQ(can_agc_suspension_count(), 1);
    EXPECT_EQ(can_agc_suspend(&info, false), NO_ERROR);
    EXPECT_TRUE(can_agc_thread_running());
    EXPECT_EQ(can_agc_active_mode(), 6u);
    EXPECT_EQ(can_agc_suspension_count(), 0);
    // The count never goes below 0; without live frames a resume starts nothing.
    EXPECT_EQ(can_agc_suspend(&info, false), NO_ERROR);
    EXPECT_EQ(can_agc_suspension_count(), 0);
    EXPECT_EQ(can_agc_suspend(&info, true), NO_ERROR);
    info.acq.acquiring = false;
    EXPECT_EQ(can_agc_suspend(&info, false), NO_ERROR);
    EXPECT_FALSE(can_agc_thread_running());
    EXPECT_EQ(can_agc_requested_mode(), 6u);
    // A stop forgets the mode, so a later resume starts nothing.
    info.acq.acquiring = true;
    EXPECT_EQ(can_agc_suspend(&info, true), NO_ERROR);
    EXPECT_EQ(can_agc_stop(&info), NO_ERROR);
    EXPECT_EQ(can_agc_suspension_count(), 0);
    EXPECT_EQ(can_agc_suspend(&info, false), NO_ERROR);
    EXPECT_FALSE(can_agc_thread_running());
}

TEST_F(CanAgcTest, GatesAndInstrumentsItDoesNotApplyTo) {
    struct Case {
        int board, type, required;
    };
    for (const Case& c :
         {Case{SB_BOARD_SERIAL1, 23, 1}, Case{SB_BOARD_CAN, 22, 1}, Case{SB_BOARD_CAN, 23, 0}}) {
        info.instrBdType = c.board;
        info.systemType = c.type;
        info.can.focusNdwRequired = static_cast<uint8_t>(c.required);
        CapturedMessages messages;
        EXPECT_EQ(can_agc_start(&info, 5), NO_ERROR);
        EXPECT_EQ(unstamped(messages.text()), "can_agc_start: CAN AGC is not applicable\n");
        EXPECT_EQ(can_agc_suspend(&info, true), NO_ERROR);
        EXPECT_EQ(can_agc_suspension_count(), 0);
        EXPECT_EQ(can_agc_requested_mode(), 0u);
        EXPECT_FALSE(can_agc_thread_running());
    }
    info.instrBdType = SB_BOARD_CAN;
    info.systemType = 23;
    info.can.focusNdwRequired = 1;
    EXPECT_EQ(can_agc_start(&info, 0), ERR_INVALID_PARAM);
    info.acq.primaryCameraSelected = false;
    EXPECT_EQ(can_agc_start(&info, 5), NO_ERROR);
    EXPECT_FALSE(can_agc_thread_running());
    EXPECT_EQ(can_agc_requested_mode(), 0u);

    // Type 26: the auxiliary motor at position 1 forbids it, whatever camera.
    info.systemType = 26;
    info.can.auxMotorPresent = 1;
    ASSERT_TRUE(sim->simcan_model_add(66, 0x1234, 0x00010000));
    EXPECT_EQ(can_agc_start(&info, 5), NO_ERROR);
    EXPECT_FALSE(can_agc_thread_running());
    sim->simcan_sdo_fault(66, 0x2047, 0, SIMCAN_DIR_READ, CAN_OK, 0x06090011, 0, 1);
    EXPECT_EQ(can_agc_start(&info, 5), ERR_CAN_SDO_AUX_MOTOR_ERROR);
    EXPECT_FALSE(can_agc_thread_running());
    ASSERT_TRUE(sim->simcan_model_param(66, "move_ms", 0));
    ASSERT_EQ(can_write_dmd_motor2_current(&info, 66, -500), NO_ERROR);
    EXPECT_EQ(can_agc_start(&info, 5), NO_ERROR);
    EXPECT_TRUE(can_agc_thread_running());
    ASSERT_EQ(can_agc_stop_thread(), NO_ERROR);
    info.can.auxMotorPresent = 0;
    EXPECT_EQ(can_agc_start(&info, 5), NO_ERROR);
    EXPECT_TRUE(can_agc_thread_running());
}

}  // namespace
