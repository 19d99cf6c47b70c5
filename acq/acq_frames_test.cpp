// Frame copies and grabs against the simulated library: the request records,
// the one-copy-at-a-time lock under concurrency and failure, numbered frames
// and their time-outs, onboard processing, the live and measurement switches,
// subsampling that never compounds, and the instrument-on gates.
#include <atomic>
#include <thread>

#include "acq/acq_testing.h"
#include "common/status.h"
#include "datafile/surface.h"
#include "platform/thread.h"

namespace {

class AcqFramesTest : public AcqTest {
  protected:
    void TearDown() override {
        fs_release(&image);
        AcqTest::TearDown();
    }
    // Start-up, live acquisition and an 8-bit image of `window`.
    void start_live(Window window = Window{0, 0, 640, 480}) {
        ASSERT_EQ(start(), NO_ERROR);
        ASSERT_EQ(pl_switch_live(info, 1), NO_ERROR);
        ASSERT_EQ(fs_setup(&image, window, 1, 1, 8), NO_ERROR);
    }
    FrameStore image{};
};

TEST_F(AcqFramesTest, CopyFillsTheImagesWindowThroughItsOwnRecord) {
    start_live(Window{8, 20, 64, 32});
    EXPECT_TRUE(info->acq.acquiring);
    sim->simacq_set_frames(SIMACQ_FRAMES_SATURATED, 0);
    ASSERT_EQ(pl_copy_fb(info, &image), NO_ERROR);
    AcqReadRequest read{};
    ASSERT_TRUE(sim->simacq_last_read(&read));
    EXPECT_EQ(read.kind, ACQ_READ_LATEST);
    EXPECT_EQ(read.timeoutMs, 1000);
    EXPECT_EQ(read.x, 8);
    EXPECT_EQ(read.y, 20);
    EXPECT_EQ(read.width, 64);
    EXPECT_EQ(read.height, 32);
    EXPECT_EQ(read.one, 1);
    EXPECT_EQ(read.buffer, image.matrix);
    for (int i = 0; i < 64 * 32; ++i) ASSERT_EQ(image.matrix[i], 255) << i;
    // A window outside the frame is the library's refusal, translated.
    Window outside{600, 0, 64, 32};
    FrameStore wide{};
    ASSERT_EQ(fs_setup(&wide, outside, 1, 1, 8), NO_ERROR);
    EXPECT_EQ(pl_copy_fb(info, &wide), ERR_ACQ_CMD);
    fs_release(&wide);
}

TEST_F(AcqFramesTest, SecondConcurrentCopyIsRefusedAndTheLockComesBackOnEveryPath) {
    start_live();
    FrameStore other{};
    ASSERT_EQ(fs_setup(&other, Window{0, 0, 640, 480}, 1, 1, 8), NO_ERROR);
    // The held copy waits 1 s of the library's clock: on a fast clock it may
    // time out before the second arrives, so try again until one overlaps.
    bool refused = false;
    for (int attempt = 0; attempt < 20 && !refused; ++attempt) {
        sim->simacq_hold_reads(true);
        std::atomic<int> first{-1};
        std::thread copier([&] { first = pl_copy_fb(info, &image); });
        // Not seen waiting: it timed out already (a fast clock on a loaded
        // machine); the copy is over once joined, so try again.
        if (!sim->simacq_wait_reads_waiting(1, 10000)) {
            sim->simacq_hold_reads(false);
            copier.join();
            continue;
        }
        int reads = sim->simacq_call_count("ReadDevice");
        captured.clear();
        int second = pl_copy_fb(info, &other);
        if (second == ERR_PARAM_OUT_OF_RANGE) {
            refused = true;
            EXPECT_EQ(messages(), "@ pl_copy_fb: only one frame copy allowed\n");
            EXPECT_EQ(sim->simacq_call_count("ReadDevice"), reads);
        } else {
            EXPECT_EQ(second, ERR_ACQ_TIMEOUT);
        }
        sim->simacq_hold_reads(false);
        copier.join();
        EXPECT_TRUE(first == NO_ERROR || first == ERR_ACQ_TIMEOUT) << first;
    }
    EXPECT_TRUE(refused);
    EXPECT_EQ(pl_copy_fb(info, &other), NO_ERROR);

    // A failed read gives the lock back too.
    sim->simacq_fail_next("ReadDevice", 1, ACQ_LIB_MISSED_FRAME);
    captured.clear();
    EXPECT_EQ(pl_copy_fb(info, &other), ERR_LOST_FRAME);
    EXPECT_EQ(messages(), "@ pl_copy_fb: error reading device\n@ Acq Error: Missed Frame\n");
    EXPECT_EQ(pl_copy_fb(info, &other), NO_ERROR);
    fs_release(&other);
}

// A copy waiting in the library and another read made meanwhile each keep
// their own window and buffer.
TEST_F(AcqFramesTest, ConcurrentReadsNeverShareARecord) {
    start_live(Window{0, 0, 32, 16});
    sim->simacq_set_frames(SIMACQ_FRAMES_SATURATED, 0);
    sim->simacq_hold_reads(true);
    std::atomic<int> first{-1};
    std::thread copier([&] { first = pl_copy_frame(info, &image, -1, 60.0); });
    ASSERT_TRUE(sim->simacq_wait_reads_waiting(1, 10000));
    FrameStore other{};
    ASSERT_EQ(fs_setup(&other, Window{100, 50, 64, 8}, 1, 1, 8), NO_ERROR);
    std::atomic<int> second{-1};
    std::thread reader([&] { second = pl_copy_frame(info, &other, -1, 60.0); });
    ASSERT_TRUE(sim->simacq_wait_reads_waiting(2, 10000));
    sim->simacq_hold_reads(false);
    copier.join();
    reader.join();
    EXPECT_EQ(first.load(), NO_ERROR);
    EXPECT_EQ(second.load(), NO_ERROR);
    for (int i = 0; i < 32 * 16; ++i) ASSERT_EQ(image.matrix[i], 255) << i;
    for (int i = 0; i < 64 * 8; ++i) ASSERT_EQ(other.matrix[i], 255) << i;
    fs_release(&other);
}

TEST_F(AcqFramesTest, NumberedFramesOfAGrabAndTheirTimeOuts) {
    ASSERT_EQ(start(), NO_ERROR);
    ASSERT_EQ(fs_setup(&image, Window{0, 0, 640, 480}, 1, 1, 8), NO_ERROR);
    ASSERT_EQ(pl_switch_live(info, 0), NO_ERROR);
    ASSERT_EQ(pl_grab_frames(info, 0, 1000), NO_ERROR);
    AcqStartRequest start_request{};
    ASSERT_TRUE(sim->simacq_last_start(&start_request));
    EXPECT_EQ(start_request.kind, ACQ_START_GRAB);
    EXPECT_EQ(start_request.arg1, 0);
    EXPECT_EQ(start_request.arg2, 1000);

    ASSERT_EQ(pl_copy_frame(info, &image, 2, 2.5), NO_ERROR);
    AcqReadRequest read{};
    ASSERT_TRUE(sim->simacq_last_read(&read));
    EXPECT_EQ(read.kind, ACQ_READ_NUMBERED);
    EXPECT_EQ(read.frame, 2);
    EXPECT_EQ(read.timeoutMs, 2500);
    SimAcqFrameInfo frame{};
    ASSERT_TRUE(sim->simacq_last_frame(&frame));
    EXPECT_EQ(frame.number, 2);

    ASSERT_EQ(pl_copy_frame(info, &image, -1, 2.0), NO_ERROR);
    ASSERT_TRUE(sim->simacq_last_read(&read));
    EXPECT_EQ(read.kind, ACQ_READ_LATEST);

    int reads = sim->simacq_call_count("ReadDevice");
    captured.clear();
    EXPECT_EQ(pl_copy_frame(info, &image, -2, 1.0), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(messages(), "@ pl_copy_frame: invalid frame number = -2\n");
    EXPECT_EQ(sim->simacq_call_count("ReadDevice"), reads);

    // The grab's last frame is not there within a millisecond; one past it
    // never comes.
    captured.clear();
    EXPECT_EQ(pl_copy_frame(info, &image, 999, 0.001), ERR_ACQ_TIMEOUT);
    EXPECT_EQ(messages(),
              "@ pl_copy_frame: error reading device\n@ Acq Error: Timed Out Waiting for Frames\n");
    EXPECT_EQ(pl_copy_frame(info, &image, 1000, 0.001), ERR_ACQ_CMD);
    // Grabbing needs an open device.
    ASSERT_EQ(acq_stop(info), NO_ERROR);
    acq_mgrrelease();
    captured.clear();
    EXPECT_EQ(pl_grab_frames(info, 0, 1), ERR_ACQ_DEVICE_CLOSE);
    EXPECT_EQ(messages(), "@ pl_grab_frames: acquisition device not open for grabbing\n");
}

uint32_t join_exit(PlatThread* thread) {
    uint32_t code = 99;
    EXPECT_EQ(plat_thread_join_timed(thread, PLAT_INFINITE, &code), 0);
    return code;
}

TEST_F(AcqFramesTest, OnboardResultsAndStartsOnTheirOwnThread) {
    start_live();
    ASSERT_EQ(acq_stop(info), NO_ERROR);
    AcqReadRequest request{};
    request.width = request.height = 4;
    request.one = 1;
    request.buffer = image.matrix;
    for (int kind : {4, 8}) {
        request.kind = kind;
        EXPECT_EQ(pl_read_onboard_result(info, &request), ERR_INVALID_PARAM) << kind;
    }
    EXPECT_EQ(sim->simacq_call_count("ReadDevice"), 0);
    for (int kind : {5, 7}) {
        request.kind = kind;
        EXPECT_EQ(pl_read_onboard_result(info, &request), NO_ERROR) << kind;
    }
    EXPECT_EQ(image.matrix[0], 7 * 16);  // kind 7's pattern at (0, 0)

    PlatThread* thread = nullptr;
    ASSERT_EQ(pl_onboard_start(info, 17, Window{1, 2, 30, 40}, &thread), NO_ERROR);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(join_exit(thread), 0u);
    AcqStartRequest start_request{};
    ASSERT_TRUE(sim->simacq_last_start(&start_request));
    EXPECT_EQ(start_request.kind, ACQ_START_ONBOARD);
    EXPECT_EQ(start_request.arg1, 17);
    EXPECT_EQ(start_request.arg2, 0);
    EXPECT_EQ(start_request.x, 1);
    EXPECT_EQ(start_request.height, 40);
    // The library's refusal is the thread's result.
    sim->simacq_fail_next("AcquireStart", 1, ACQ_LIB_DEVICE_BUSY);
    ASSERT_EQ(pl_onboard_start(info, 17, Window{1, 2, 30, 40}, &thread), NO_ERROR);
    EXPECT_EQ(join_exit(thread), static_cast<uint32_t>(ERR_ACQ_DEVICE_BUSY));
    EXPECT_EQ(pl_onboard_start(info, 17, Window{1, 2, 30, 40}, nullptr), NO_ERROR);
}

TEST_F(AcqFramesTest, OnboardProcessingNeedsTheCapability) {
    std::string ini = simacq_default_ini();
    ini.replace(ini.find("ONBOARD PROC=1"), 14, "ONBOARD PROC=0");
    ASSERT_TRUE(simacq_write_ini(root.path(), ini));
    ASSERT_EQ(start(), NO_ERROR);
    EXPECT_EQ(pl_onboard_start(info, 1, Window{0, 0, 8, 8}, nullptr), ERR_INVALID_PARAM);
    EXPECT_EQ(sim->simacq_call_count("AcquireStart"), 0);
}

TEST_F(AcqFramesTest, SwitchesStopStartAndMarkTheMeasurementDisplay) {
    ASSERT_EQ(start(), NO_ERROR);
    ASSERT_EQ(pl_switch_live(info, 1), NO_ERROR);
    AcqStartRequest start_request{};
    ASSERT_TRUE(sim->simacq_last_start(&start_request));
    EXPECT_EQ(start_request.kind, ACQ_START_LIVE);
    EXPECT_TRUE(info->acq.acquiring);
    int stops = sim->simacq_call_count("AcquireStop");
    ASSERT_EQ(pl_switch_live(info, 0), NO_ERROR);
    EXPECT_GT(sim->simacq_call_count("AcquireStop"), stops);
    EXPECT_FALSE(info->acq.acquiring);
    EXPECT_FALSE(info->acq.liveSelected);
    int32_t block[ACQ_GRAPHICS_INTS] = {};
    ASSERT_TRUE(sim->simacq_last_graphics(block));
    EXPECT_EQ(block[0], ACQ_GRAPHICS_MODE);
    EXPECT_EQ(block[12], 2);
    EXPECT_EQ(pl_switch_live(info, 2), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(pl_switch_live(info, -1), ERR_PARAM_OUT_OF_RANGE);
    // Back to live, twice in a row: the library is stopped before it is
    // started again.
    ASSERT_EQ(pl_switch_live(info, 1), NO_ERROR);
    ASSERT_EQ(pl_switch_live(info, 1), NO_ERROR);
    EXPECT_TRUE(info->acq.acquiring);
    EXPECT_EQ(pl_select_secondary(info, 1), ERR_ACQ_INVALID_DEVICE);
    EXPECT_EQ(pl_select_secondary(info, 2), ERR_PARAM_OUT_OF_RANGE);
}

TEST_F(AcqFramesTest, SelectingLiveOrMeasurementSwitchesOnlyForZeroOrOne) {
    info->cameraType = 3;  // live is the second mode, measurement the first
    ASSERT_EQ(start(), NO_ERROR);
    const SysAcqState& a = info->acq;
    ASSERT_EQ(pl_select_measure(info, 1), NO_ERROR);
    EXPECT_FALSE(a.liveSelected);
    EXPECT_FALSE(a.acquiring);
    EXPECT_EQ(a.currentMode, a.primaryModeIds[0]);
    ASSERT_EQ(pl_select_live(info, 1), NO_ERROR);
    EXPECT_TRUE(a.liveSelected);
    EXPECT_TRUE(a.acquiring);
    EXPECT_EQ(a.currentMode, a.primaryModeIds[1]);
    // 0 leaves the mode for the other one.
    ASSERT_EQ(pl_select_live(info, 0), NO_ERROR);
    EXPECT_FALSE(a.liveSelected);
    EXPECT_EQ(a.currentMode, a.primaryModeIds[0]);
    ASSERT_EQ(pl_select_measure(info, 0), NO_ERROR);
    EXPECT_TRUE(a.liveSelected);
    EXPECT_TRUE(a.acquiring);
    // Out of range: nothing touched, neither the library nor the selection.
    int stops = sim->simacq_call_count("AcquireStop");
    for (int bad : {-1, 2}) {
        EXPECT_EQ(pl_select_live(info, bad), ERR_PARAM_OUT_OF_RANGE);
        EXPECT_EQ(pl_select_measure(info, bad), ERR_PARAM_OUT_OF_RANGE);
    }
    EXPECT_EQ(sim->simacq_call_count("AcquireStop"), stops);
    EXPECT_TRUE(a.liveSelected);
    EXPECT_EQ(a.currentMode, a.primaryModeIds[1]);
}

TEST_F(AcqFramesTest, MeasurementWindowIsDrawnOnlyInsideTheSubsampledImage) {
    ASSERT_EQ(start(), NO_ERROR);                                 // measurement: 640 x 480
    ASSERT_EQ(pl_set_measure_subsampling(info, 3, 0), NO_ERROR);  // 213 x 160
    ASSERT_EQ(pl_set_measure_window(info, Window{0, 0, 213, 160}), NO_ERROR);
    int32_t block[ACQ_GRAPHICS_INTS] = {};
    ASSERT_TRUE(sim->simacq_last_graphics(block));
    const int32_t expected[ACQ_GRAPHICS_INTS] = {9, 0, 0, 213, 160, 0, 0, 0, 1, 2, 0, 1};
    for (int i = 0; i < ACQ_GRAPHICS_INTS; ++i) EXPECT_EQ(block[i], expected[i]) << i;
    ASSERT_EQ(pl_set_measure_window(info, Window{212, 159, 1, 1}), NO_ERROR);
    ASSERT_TRUE(sim->simacq_last_graphics(block));
    EXPECT_EQ(block[1], 212);
    EXPECT_EQ(block[4], 1);

    int sets = sim->simacq_call_count("AcqDeviceSet");
    const Window refused[] = {{0, 0, 214, 160},    {0, 0, 213, 161}, {1, 0, 213, 160},
                              {0, 1, 213, 160},    {-1, 0, 10, 10},  {0, -1, 10, 10},
                              {0, 0, 0, 10},       {0, 0, 10, 0},    {213, 0, 1, 1},
                              {32767, 0, 32767, 1}};
    for (const Window& w : refused) {
        SCOPED_TRACE(testing::Message() << w.x << "," << w.y << " " << w.width << "x" << w.height);
        EXPECT_EQ(pl_set_measure_window(info, w), ERR_IMPROPER_WINDOW);
    }
    EXPECT_EQ(sim->simacq_call_count("AcqDeviceSet"), sets);
    captured.clear();
    EXPECT_EQ(pl_set_measure_window(info, Window{1, 2, 213, 3}), ERR_IMPROPER_WINDOW);
    EXPECT_EQ(messages(),
              "@ pl_set_measure_window: window (1,2) 213x3 outside the 213x160 measurement "
              "image\n");

    // The largest window accepted is what a grab in measurement delivers.
    ASSERT_EQ(pl_switch_live(info, 0), NO_ERROR);
    ASSERT_EQ(fs_setup(&image, Window{0, 0, 213, 160}, 1, 1, 8), NO_ERROR);
    ASSERT_EQ(pl_grab_frames(info, 0, 2), NO_ERROR);
    EXPECT_EQ(pl_copy_frame(info, &image, 0, 30.0), NO_ERROR);

    sim->simacq_fail_next("AcqDeviceSet", 1, ACQ_LIB_INVALID_PARAMETER);
    EXPECT_EQ(pl_set_measure_window(info, Window{0, 0, 8, 8}), ERR_ACQ_CMD);
    acq_mgrrelease();
    EXPECT_EQ(pl_set_measure_window(info, Window{0, 0, 8, 8}), ERR_ACQ_DEVICE_CLOSE);
}

TEST_F(AcqFramesTest, InterlacedOnlyAboveZero) {
    EXPECT_EQ(pl_interlaced(info), 0);  // nothing loaded
    ASSERT_EQ(start(), NO_ERROR);
    EXPECT_EQ(pl_interlaced(info), 0);  // the ini's 0
    struct Case {
        double value;
        int interlaced;
    };
    const Case cases[] = {{1e-9, 1}, {1, 1}, {-1e-9, 0}, {2, 1}, {0, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        ASSERT_NE(sim->AcqInputModeSet("DATA INTERLACE", &c.value), 0);
        EXPECT_EQ(pl_interlaced(info), c.interlaced);
        EXPECT_EQ(info->acq.interlaced, c.interlaced == 1);
    }
    // A mode without the parameter is not interlaced.
    acq_mgrrelease();
    std::string ini = simacq_default_ini();
    for (std::size_t at; (at = ini.find("DATA INTERLACE=0\n")) != std::string::npos;)
        ini.erase(at, 17);
    ASSERT_TRUE(simacq_write_ini(root.path(), ini));
    info->acq.interlaced = true;
    ASSERT_EQ(start(), NO_ERROR);
    EXPECT_EQ(pl_interlaced(info), 0);
    EXPECT_FALSE(info->acq.interlaced);
}

TEST_F(AcqFramesTest, SubsamplingMultipliesTheDiscoveredScaleOnlyOnce) {
    std::string ini = simacq_default_ini();
    // The first mode (live and measurement of this camera) at base scale 2.
    std::size_t at = ini.find("X DATA SCALE=1");
    ini.replace(at, 14, "X DATA SCALE=2");
    ASSERT_TRUE(simacq_write_ini(root.path(), ini));
    info->acq.measureSubsampling = 3;
    ASSERT_EQ(start(), NO_ERROR);
    EXPECT_EQ(info->acq.measureSize.width, 320);
    ASSERT_EQ(pl_set_measure_subsampling(info, 2, 4), NO_ERROR);
    double scale = 0, skip = 0;
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(pl_switch_live(info, 0), NO_ERROR);
        ASSERT_TRUE(sim->simacq_last_set("X DATA SCALE", &scale));
        EXPECT_EQ(scale, 4.0);
        ASSERT_TRUE(sim->simacq_last_set("Y DATA SCALE", &scale));
        EXPECT_EQ(scale, 2.0);
        ASSERT_TRUE(sim->simacq_last_set("DATA SKIP", &skip));
        EXPECT_EQ(skip, 5.0);
        EXPECT_EQ(info->acq.measureSize.width, 320);  // before subsampling
        ASSERT_EQ(pl_switch_live(info, 1), NO_ERROR);
        ASSERT_TRUE(sim->simacq_last_set("X DATA SCALE", &scale));
        EXPECT_EQ(scale, 2.0);
        ASSERT_TRUE(sim->simacq_last_set("DATA SKIP", &skip));
        EXPECT_EQ(skip, 1.0);
    }
    EXPECT_EQ(pl_set_measure_subsampling(info, 0, 0), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(pl_set_measure_subsampling(info, 9, 0), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(pl_set_measure_subsampling(info, 8, 256), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(pl_set_measure_subsampling(info, 8, 255), NO_ERROR);
}

TEST_F(AcqFramesTest, GainAndShutterOnlyWhileTheInstrumentIsOn) {
    ASSERT_EQ(start(), NO_ERROR);
    double value = -1;
    EXPECT_EQ(pl_set_gain(info, 6), NO_ERROR);
    EXPECT_EQ(pl_set_shutter(info, 3), NO_ERROR);
    EXPECT_FALSE(sim->simacq_last_set("CHAB_GAIN", &value));
    EXPECT_FALSE(sim->simacq_last_set("MAN SHUTTER", &value));
    EXPECT_EQ(pl_get_shutter(info, &value), NO_ERROR);
    EXPECT_EQ(value, 0.0);

    info->power.instrumentOn = true;
    EXPECT_EQ(pl_set_gain(info, 6), NO_ERROR);
    EXPECT_TRUE(sim->simacq_last_set("CHAB_GAIN", &value));
    EXPECT_EQ(value, 6.0);
    // No shutter value in the ini: the query fails with the library's reason.
    captured.clear();
    EXPECT_EQ(pl_get_shutter(info, &value), ERR_ACQ_CMD);
    EXPECT_EQ(messages(),
              "@ pl_get_shutter: error getting shutter value\n@ Acq Error: Missing Parameter\n");
    EXPECT_EQ(pl_set_shutter(info, 3), NO_ERROR);
    EXPECT_EQ(pl_get_shutter(info, &value), NO_ERROR);
    EXPECT_EQ(value, 3.0);
    // In measurement the shutter is left alone.
    info->acq.liveSelected = false;
    EXPECT_EQ(pl_set_shutter(info, 9), NO_ERROR);
    EXPECT_EQ(pl_get_shutter(info, &value), NO_ERROR);
    EXPECT_EQ(value, 3.0);
    captured.clear();
    EXPECT_EQ(pl_set_trig(info, std::numeric_limits<double>::infinity()), ERR_ACQ_CMD);
    EXPECT_EQ(messages(),
              "@ pl_set_trig: error setting trigger mode = inf\n@ Acq Error: Invalid Parameter\n");
}

}  // namespace
