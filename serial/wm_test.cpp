#include "serial/wm.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "common/abort.h"
#include "common/status.h"
#include "common/testing/capture_sink.h"
#include "common/testing/timestamp_form.h"
#include "config/sysinfo.h"
#include "platform/clock.h"
#include "sim/line.h"
#include "sim/wave_monitor_model.h"
#include "sim/testing/pty_skip.h"

namespace {
const bool kScaled = [] {
    if (std::getenv("SURF_CLOCK_SCALE") == nullptr) plat_set_clock_scale(10);
    return true;
}();

constexpr uint8_t ACK = 0x06;
constexpr uint8_t NAK = 0x15;

// True when `text` is a time-stamped line "<stamp> <rest>".
bool stamped_line(const std::string& text, const std::string& rest) {
    return text.size() == 20 + rest.size() && looks_like_timestamp(text.substr(0, 19)) &&
           text.substr(19) == " " + rest;
}

class Wm : public ::testing::Test {
  protected:
    void SetUp() override {
        SKIP_WITHOUT_PTY();
        ASSERT_TRUE(line_.open(&model_));
        ASSERT_EQ(wm_comm_open_fd(&port_, line_.path().c_str()), 0);
    }
    void TearDown() override {
        reply_.release();
        wm_comm_close(&port_);
        line_.close();
    }
    // A command's whole reply of the given kind; the buffer is left to the test.
    int read(const char* command, int respLen, int size, int respType, int timeout_s = 0) {
        reply_.release();
        return wm_comm_write_rd(port_, command, &reply_, respLen, size, respType, timeout_s);
    }

    SimWaveMonitor model_;
    SimLine line_;
    SerialHandle port_ = SIO_INVALID_HANDLE;
    Vector1 reply_{};
};

TEST_F(Wm, OpenSetsTheLineAndFailuresAreReportedAsCommErrors) {
    SioLineState state{};
    ASSERT_EQ(sio_get_state(port_, &state), 0);
    EXPECT_EQ(state.BaudRate, 115200u);
    EXPECT_EQ(state.Parity, 0);
    EXPECT_EQ(state.fOutX, 0u);

    CapturedMessages messages;
    SerialHandle other = SIO_INVALID_HANDLE;
    EXPECT_EQ(wm_comm_open_fd(&other, "/nonexistent/wm"), ERR_WM_COMM);
    EXPECT_EQ(messages.text(),
              "wm_comm_open_fd: error initializing device /nonexistent/wm: ERR_CANT_OPEN_SERIAL\n");
    EXPECT_EQ(wm_comm_close(nullptr), 0);
    EXPECT_EQ(wm_comm_write(SIO_INVALID_HANDLE, "LO?"), 0);
    EXPECT_EQ(wm_flush_inp(port_), 0);
}

TEST_F(Wm, CommandsGoOutWithTheirTerminatorAndRepliesAreDecoded) {
    model_.set_reply("LO?", {0x00, 0x80, 0x00, 0x00, ACK});
    uint32_t status = 0;
    ASSERT_EQ(wm_get_laser_status(port_, &status), 0);
    EXPECT_EQ(status, WM_LASER_ON_BIT);
    int32_t pair[2] = {};
    ASSERT_EQ(wm_set_rr(port_, 12, -7, pair), 0);
    EXPECT_EQ(pair[0], -7);
    EXPECT_EQ(pair[1], 12);
    ASSERT_EQ(wm_set_wavelength(port_, 0.6328), 0);
    ASSERT_EQ(wm_set_sys_gain(port_, 1.25), 0);
    EXPECT_EQ(model_.wavelength(), 6328000);
    EXPECT_DOUBLE_EQ(model_.sys_gain(), 1.25);
    const SimBytes received = line_.received();
    const std::string sent(received.begin(), received.end());
    EXPECT_EQ(sent, "LO?\rRR=12,-7\rCL=6328000\rSS=1.250000\r");
    // A wavelength whose scaled value does not fit the command is refused unsent.
    EXPECT_EQ(wm_set_wavelength(port_, 1e6), ERR_INVALID_PARAM);
}

TEST_F(Wm, AcknowledgementRepliesAndTheirFailureLines) {
    EXPECT_EQ(read("LO=1", 0, 0, WM_RESP_ACK), 0);
    ASSERT_EQ(reply_.count, 1);
    EXPECT_EQ(reply_.elems[0], ACK);

    CapturedMessages messages;
    EXPECT_EQ(read("XX", 0, 0, WM_RESP_ACK), ERR_WM_NAK);
    EXPECT_EQ(reply_.elems, nullptr);
    std::string text = messages.text();
    std::size_t end = text.find('\n') + 1;
    EXPECT_TRUE(
        stamped_line(text.substr(0, end), "wm_comm_read: ERR_WM_NAK: WM_RESP_ACK: received NAK\n"))
        << text;
    EXPECT_TRUE(stamped_line(text.substr(end),
                             "wm_comm_write_rd: error reading response to command \"XX\": "
                             "ERR_WM_NAK\n"))
        << text;

    model_.set_reply("ZZ", {0x41});
    messages.clear();
    EXPECT_EQ(read("ZZ", 0, 0, WM_RESP_ACK), ERR_WM_READ);
    EXPECT_NE(messages.text().find("WM_RESP_ACK: invalid response 0x41, expected ACK"),
              std::string::npos);
}

TEST_F(Wm, ReadAckRepliesEndingBadlyAndShortReplies) {
    CapturedMessages messages;
    model_.set_reply("LO?", {1, 2, 3, 4, NAK});
    EXPECT_EQ(read("LO?", 4, 0, WM_RESP_READ_ACK), ERR_WM_NAK);
    EXPECT_EQ(reply_.count, 0);
    std::string text = messages.text();
    EXPECT_TRUE(stamped_line(text.substr(0, text.find('\n') + 1),
                             "wm_comm_read: ERR_WM_NAK: WM_RESP_READ_ACK: received NAK\n"))
        << text;

    model_.set_reply("LO?", {1, 2, 3, 4, ACK});
    line_.truncate_next(1, 3);
    messages.clear();
    EXPECT_EQ(read("LO?", 4, 0, WM_RESP_READ_ACK), ERR_WM_READ);
    EXPECT_NE(messages.text().find(
                  "WM_RESP_READ_ACK: sio_read_data failed reading response char 4 of 5\n"),
              std::string::npos);

    messages.clear();
    EXPECT_EQ(read("LO?", 0, 0, WM_RESP_READ), ERR_WM_READ);
    EXPECT_NE(messages.text().find("WM_RESP_READ: invalid respLen = 0\n"), std::string::npos);
    wm_flush_inp(port_);
    EXPECT_EQ(read("LO?", 5, 0, WM_RESP_READ), 0);
    EXPECT_EQ(reply_.count, 5);
    EXPECT_EQ(reply_.elems[4], ACK);
}

TEST_F(Wm, NoReplyTimesOutOnTheRequestedTimeoutAndRestoresThePortTimeout) {
    // The port's own time-out is far from the requested one, so that a loaded
    // machine cannot blur the two even on a fast clock.
    ASSERT_EQ(sio_set_timeout(port_, 30), 0);
    line_.silent_next(1);
    CapturedMessages messages;
    int64_t start = plat_clock_ms();
    EXPECT_EQ(read("LO?", 4, 0, WM_RESP_READ_ACK, 1), ERR_WM_TIMEOUT);
    int64_t elapsed = plat_clock_ms() - start;
    EXPECT_GE(elapsed, 1000);
    EXPECT_LT(elapsed, 29000);
    int seconds = 0;
    ASSERT_EQ(sio_get_timeout(port_, &seconds), 0);
    EXPECT_EQ(seconds, 30);
    std::string text = messages.text();
    EXPECT_TRUE(stamped_line(text.substr(0, text.find('\n') + 1), "wm_comm_read: ERR_WM_TIMEOUT\n"))
        << text;
}

TEST_F(Wm, SizedReplyReadsCountDataAndAck) {
    SimBytes bytes = {3, 0, 0, 0};
    for (int i = 0; i < 20; ++i) bytes.push_back(static_cast<uint8_t>(0x30 + i));
    bytes.push_back(ACK);
    model_.set_reply("SZ?", bytes);
    ASSERT_EQ(read("SZ?", 2, 6, WM_RESP_SIZE_READ_ACK), 0);
    ASSERT_EQ(reply_.count, 25);
    int32_t count = 0;
    std::memcpy(&count, reply_.elems, 4);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(reply_.elems[4], 0x30);
    EXPECT_EQ(reply_.elems[23], 0x30 + 19);
    EXPECT_EQ(reply_.elems[24], ACK);
}

TEST_F(Wm, SizedReplyWithAnImpossibleCountIsRefusedUnread) {
    CapturedMessages messages;
    // 65536 items of 65536 bytes: wraps to a tiny total in 32 bits.
    model_.set_reply("SZ?", {0x00, 0x00, 0x01, 0x00, ACK});
    EXPECT_EQ(read("SZ?", 0, 65536, WM_RESP_SIZE_READ_ACK), ERR_WM_READ);
    EXPECT_EQ(reply_.elems, nullptr);
    model_.set_reply("SZ?", {0xFF, 0xFF, 0xFF, 0xFF, ACK});
    EXPECT_EQ(read("SZ?", 2, 6, WM_RESP_SIZE_READ_ACK), ERR_WM_READ);
    EXPECT_NE(messages.text().find("WM_RESP_SIZE_READ_ACK: invalid reply size"), std::string::npos);
}

class WmLaser : public Wm {
  protected:
    void TearDown() override {
        u_set_abort_check(nullptr);
        Wm::TearDown();
    }
};

TEST_F(WmLaser, SwitchesAfterAFewPolls) {
    model_.set_laser_delay(3);
    int64_t start = plat_clock_ms();
    EXPECT_EQ(wm_set_laser_with_wait(port_, 1), 0);
    EXPECT_GE(plat_clock_ms() - start, 4 * WM_LASER_POLL_MS);
    EXPECT_TRUE(model_.laser_on());
    EXPECT_EQ(model_.commands(), 1 + 4);
}

TEST_F(WmLaser, NeverSwitchingTimesOutAfterTenPolls) {
    model_.set_laser_delay(-1);
    CapturedMessages messages;
    int64_t start = plat_clock_ms();
    EXPECT_EQ(wm_set_laser_with_wait(port_, 1), ERR_WM_LASER_CONTROL_TIMEOUT);
    EXPECT_GE(plat_clock_ms() - start, 10 * WM_LASER_POLL_MS);
    EXPECT_EQ(model_.commands(), 1 + 10);
    EXPECT_EQ(messages.text(), "wm_set_laser_with_wait: timeout waiting for laser to switch ON\n");
}

TEST_F(WmLaser, AbortAndFailedPollsEndTheWait) {
    model_.set_laser_delay(-1);
    u_set_abort_check([](int) { return 1; });
    EXPECT_EQ(wm_set_laser_with_wait(port_, 1), ERR_KORVATEN_ABORTED);
    EXPECT_EQ(model_.commands(), 2);
    u_set_abort_check(nullptr);

    // The first poll is refused (a lone NAK where a status word was due):
    // its error ends the wait at once.
    line_.delay_next(1, 0);
    line_.nak_next(1);
    CapturedMessages messages;
    EXPECT_EQ(wm_set_laser_with_wait(port_, 0), ERR_WM_READ);
    EXPECT_EQ(model_.commands(), 4);
}

TEST_F(Wm, CalibrationStateOfEachType) {
    SysWaveMonitorState state;
    model_.set_status(0, 150, 1, 20, 0);
    ASSERT_EQ(wm_read_cal_state(port_, &state), 0);
    EXPECT_FALSE(state.calibrated);
    EXPECT_EQ(state.calTime, 0);
    EXPECT_DOUBLE_EQ(state.maxTuneRange, 150e6);
    EXPECT_EQ(model_.commands(), 1);
    CapturedMessages messages;
    wm_report_cal_state(&state);
    EXPECT_EQ(messages.text(), "Wave monitor not calibrated\n");

    // The first type's status is read twice before its 4-byte "CC?".
    SimWaveMonitorCal cal;
    cal.sysGain = 0.5f;
    model_.set_cal(cal);
    model_.set_status(WM_STATUS_CALIBRATED, 150, 1, 20, 3600);
    ASSERT_EQ(wm_read_cal_state(port_, &state), 0);
    EXPECT_EQ(model_.commands(), 1 + 3);
    EXPECT_TRUE(state.calibrated);
    EXPECT_NEAR(static_cast<double>(std::time(nullptr) - 3600), static_cast<double>(state.calTime),
                5.0);
    EXPECT_DOUBLE_EQ(state.sysGain, 0.5);

    model_.set_status(WM_STATUS_CALIBRATED | WM_STATUS_SECOND_TYPE, 150, 1, 20, 0);
    ASSERT_EQ(wm_read_cal_state(port_, &state), 0);
    EXPECT_EQ(model_.commands(), 4 + 2);

    cal = SimWaveMonitorCal{{1.5f, 2.5f, 3.5f, 4.5f}, 0.75f, {10, 20, 30, 40}, {0.1f, 0.2f, 0.3f}};
    model_.set_cal(cal);
    model_.set_status(WM_STATUS_CALIBRATED | WM_STATUS_FOUR_CHANNEL, 150, 1, 20, 0);
    ASSERT_EQ(wm_read_cal_state(port_, &state), 0);
    EXPECT_EQ(model_.commands(), 6 + 2);
    messages.clear();
    wm_report_cal_state(&state);
    std::string text = messages.text();
    ASSERT_GT(text.size(), 43u);
    EXPECT_EQ(text.substr(0, 24), "Wave monitor calibrated ");
    EXPECT_TRUE(looks_like_timestamp(text.substr(24, 19)));
    EXPECT_EQ(text.substr(43),
              "\nADC Gain A : 1.500000\nADC Gain B : 2.500000\nADC Gain C : 3.500000\n"
              "ADC Gain D : 4.500000\nADC Offs A : 10\nADC Offs B : 20\nADC Offs C : 30\n"
              "ADC Offs D : 40\nPhs Offs 01: 0.100000\nPhs Offs 12: 0.200000\n"
              "Phs Offs 23: 0.300000\nSystem Gain: 0.750000\n");
}

// Power-on reads the limits once; a refused status keeps the old ones, so a
// failed read never opens the ramp checks.
TEST_F(Wm, RampInfoStoresTheTuningLimitsOrLeavesThemOnFailure) {
    SysWaveMonitorState state;
    model_.set_status(WM_STATUS_CALIBRATED, 150, 1, 20, 0);
    ASSERT_EQ(wm_init_ramp_info(port_, &state), 0);
    EXPECT_EQ(model_.commands(), 1);
    EXPECT_TRUE(state.statusRead);
    EXPECT_TRUE(state.calibrated);
    EXPECT_DOUBLE_EQ(state.maxTuneRange, 150e6);
    EXPECT_DOUBLE_EQ(state.minTuneRate, 1e6);
    EXPECT_DOUBLE_EQ(state.maxTuneRate, 20e6);

    SimBytes nak(WM_MS_REPLY_LEN, 0);
    nak.push_back(NAK);
    model_.set_reply("MS?", nak);
    model_.set_status(WM_STATUS_CALIBRATED, 999, 9, 99, 0);
    CapturedMessages messages;
    EXPECT_EQ(wm_init_ramp_info(port_, &state), ERR_WM_NAK);
    EXPECT_DOUBLE_EQ(state.maxTuneRange, 150e6);
    EXPECT_DOUBLE_EQ(state.maxTuneRate, 20e6);
    EXPECT_EQ(wm_init_ramp_info(port_, nullptr), ERR_INVALID_PARAM);
}

class WmLimits : public ::testing::Test {
  protected:
    void SetUp() override {
        info_.systemType = 27;
        info_.wmTuneRange[0] = 0;
        info_.wmTuneRange[1] = 100;
        info_.wmTuneRate[0] = 0.1;
        info_.wmTuneRate[1] = 2.5;
        info_.cameraMode.grabRate = 30;
    }
    SystemInfo info_;
    CapturedMessages messages_;
};

TEST_F(WmLimits, ChecksInOrderWithTheirMessages) {
    EXPECT_EQ(wm_verify_ramp_in_limits(&info_, 100, 3800), 0);
    EXPECT_EQ(wm_verify_ramp_in_limits(&info_, 100, 3801), ERR_WM_NUM_BUCKETS_TOO_LARGE);
    EXPECT_EQ(wm_verify_ramp_in_limits(&info_, 100.0005, 1500), 0);
    EXPECT_EQ(wm_verify_ramp_in_limits(&info_, 100.002, 5000), ERR_WM_TUNE_RANGE_TOO_LARGE);
    // Fewer buckets than frames per second: the rate is 1 x 30 / 10.
    EXPECT_EQ(wm_verify_ramp_in_limits(&info_, 1, 10), ERR_WM_TUNE_RANGE_TOO_LARGE);
    EXPECT_EQ(wm_verify_ramp_in_limits(&info_, 1, 3000), ERR_WM_TUNE_RATE_TOO_SLOW);
    EXPECT_EQ(messages_.text(),
              "wm_verify_ramp_in_limits: req_buckets = 3801 is too big\n"
              "wm_verify_ramp_in_limits: req_range = 100.002 too large\n"
              "wm_verify_ramp_in_limits: req_rate = 3 too fast\n"
              "wm_verify_ramp_in_limits: req_rate = 0.01 is too slow\n");
}

TEST_F(WmLimits, RateThatCannotBeWorkedOutIsAnInvalidParameter) {
    EXPECT_EQ(wm_verify_ramp_in_limits(&info_, 100, 0), ERR_INVALID_PARAM);
    EXPECT_EQ(wm_verify_ramp_in_limits(&info_, 100, -5), ERR_INVALID_PARAM);
    info_.cameraMode.grabRate = 0;
    EXPECT_EQ(wm_verify_ramp_in_limits(&info_, 100, 3000), ERR_INVALID_PARAM);
}

TEST_F(WmLimits, MonitorLimitsNarrowTheConfiguredOnes) {
    info_.systemType = 19;
    EXPECT_EQ(wm_verify_ramp_in_limits(&info_, 1, 3000), ERR_WM_TUNE_RANGE_TOO_LARGE);
    info_.serial.wm.calibrated = true;
    info_.serial.wm.maxTuneRange = 50;
    info_.serial.wm.minTuneRate = 0;
    info_.serial.wm.maxTuneRate = 1000;
    EXPECT_EQ(wm_verify_ramp_in_limits(&info_, 60, 3000), ERR_WM_TUNE_RANGE_TOO_LARGE);
    EXPECT_EQ(wm_verify_ramp_in_limits(&info_, 40, 3000), 0);
    // A monitor that allows a faster rate than configured does not widen the
    // configured limit: 40 over 470 frames at 30 per second is 2.55 per second.
    messages_.clear();
    EXPECT_EQ(wm_verify_ramp_in_limits(&info_, 40, 470), ERR_WM_TUNE_RANGE_TOO_LARGE);
    EXPECT_EQ(messages_.text(), "wm_verify_ramp_in_limits: req_rate = 2.55319 too fast\n");
    EXPECT_EQ(wm_verify_ramp_in_limits(&info_, 40, 490), 0);  // 2.45 per second
    // Nor a larger range: 100 stays the limit however wide the monitor's.
    info_.serial.wm.maxTuneRange = 1000;
    EXPECT_EQ(wm_verify_ramp_in_limits(&info_, 100.002, 3800), ERR_WM_TUNE_RANGE_TOO_LARGE);
    EXPECT_EQ(wm_verify_ramp_in_limits(&info_, 100, 3800), 0);
    // A monitor's minimum rate above the configured one raises the floor.
    info_.serial.wm.minTuneRate = 0.5;
    EXPECT_EQ(wm_verify_ramp_in_limits(&info_, 0.4 * 3000 / 30, 3000), ERR_WM_TUNE_RATE_TOO_SLOW);
    EXPECT_EQ(wm_verify_ramp_in_limits(&info_, 0.6 * 3000 / 30, 3000), 0);
    // Systems without a monitor: range up to 1.5e11, any rate above 0.
    info_.systemType = 5;
    EXPECT_EQ(wm_verify_ramp_in_limits(&info_, 1e11, 1), 0);
    EXPECT_EQ(wm_verify_ramp_in_limits(&info_, 2e11, 1), ERR_WM_TUNE_RANGE_TOO_LARGE);
}

}  // namespace
