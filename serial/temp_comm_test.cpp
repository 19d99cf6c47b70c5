#include "serial/temp_comm.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "common/status.h"
#include "common/testing/capture_sink.h"
#include "config/sysinfo.h"
#include "platform/clock.h"
#include "sim/line.h"
#include "sim/temp_model.h"
#include "sim/testing/pty_skip.h"

namespace {
const bool kScaled = [] {
    if (std::getenv("SURF_CLOCK_SCALE") == nullptr) plat_set_clock_scale(10);
    return true;
}();

int count_of(const std::string& text, const std::string& part) {
    int count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

class Temp : public ::testing::Test {
  protected:
    void SetUp() override {
        SKIP_WITHOUT_PTY();
        ASSERT_TRUE(line_.open(&model_));
        ASSERT_EQ(temp_comm_open(&port_, line_.path().c_str()), 0);
    }
    void TearDown() override {
        temp_comm_close(&port_);
        line_.close();
    }
    int write(const char* text) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%s", text);
        return temp_comm_write(port_, buffer, static_cast<int>(std::strlen(text)), TEMP_RESP_WRITE,
                               sizeof buffer);
    }
    // Polls a mnemonic; the value read lands in value_.
    int poll(const char* mnemonic) {
        std::snprintf(value_, sizeof value_, "%s", mnemonic);
        return temp_comm_write(port_, value_, 2, TEMP_RESP_READ, sizeof value_);
    }

    SimTempController model_;
    SimLine line_;
    SerialHandle port_ = SIO_INVALID_HANDLE;
    char value_[TEMP_REPLY_SIZE] = {};
};

TEST_F(Temp, OpenSetsTheLineCloseAndNullPortsAreQuiet) {
    SioLineState state{};
    ASSERT_EQ(sio_get_state(port_, &state), 0);
    EXPECT_EQ(state.BaudRate, 9600u);
    EXPECT_EQ(state.Parity, 2);
    EXPECT_EQ(state.ByteSize, 7);

    CapturedMessages messages;
    SerialHandle other = SIO_INVALID_HANDLE;
    EXPECT_EQ(temp_comm_open(&other, "/nonexistent/tc"), ERR_TEMP_SENSOR_COMM);
    EXPECT_EQ(messages.text(),
              "temp_comm_open: error initializing device /nonexistent/tc: ERR_CANT_OPEN_SERIAL\n");
    EXPECT_EQ(temp_comm_close(nullptr), 0);
    EXPECT_EQ(temp_comm_close(&other), 0);

    char text[8] = "PV";
    EXPECT_EQ(temp_comm_write(SIO_INVALID_HANDLE, text, 2, TEMP_RESP_READ, sizeof text), 0);
    char reply[4] = "xyz";
    EXPECT_EQ(temp_comm_read(SIO_INVALID_HANDLE, reply, TEMP_RESP_READ, sizeof reply), 0);
    EXPECT_STREQ(reply, "");
    EXPECT_EQ(temp_comm_write(port_, text, 2, 3, sizeof text), ERR_TEMP_SENSOR_COMM);
    EXPECT_TRUE(line_.received().empty());
}

TEST_F(Temp, WriteAndPollOnTheWire) {
    ASSERT_EQ(write("IM0002."), 0);
    SimBytes expected = {0x04, 0x30, 0x30, 0x31, 0x31, 0x02, 0x49,
                         0x4D, 0x30, 0x30, 0x30, 0x32, 0x2E, 0x03};
    uint8_t bcc = 0;
    for (std::size_t i = 6; i < expected.size(); ++i) bcc ^= expected[i];
    expected.push_back(bcc);
    EXPECT_EQ(line_.received(), expected);
    EXPECT_EQ(model_.param("IM"), "0002.");

    line_.clear_transcript();
    model_.set_param("PV", "0031.5");
    ASSERT_EQ(poll("PV"), 0);
    EXPECT_EQ(line_.received(), (SimBytes{0x04, 0x30, 0x30, 0x31, 0x31, 'P', 'V', 0x05}));
    EXPECT_STREQ(value_, "0031.5");
}

TEST_F(Temp, BadPollAnswers) {
    CapturedMessages messages;
    line_.corrupt_next(1);
    EXPECT_EQ(poll("PV"), ERR_TEMP_SENSOR_CHECKSUM);
    EXPECT_EQ(count_of(messages.text(), "temp_comm_read: checksums mismatched: sent="), 1);

    model_.eot_next();
    messages.clear();
    EXPECT_EQ(poll("PV"), ERR_TEMP_SENSOR_COMM);
    EXPECT_EQ(messages.text(), "temp_comm_read: received EOT, respType=2\n");

    model_.raw_next(SimTempController::framed("SL0020."));
    EXPECT_EQ(poll("PV"), ERR_TEMP_SENSOR_READ);

    model_.overlong_next(300);
    messages.clear();
    EXPECT_EQ(poll("PV"), ERR_TEMP_SENSOR_READ);
    EXPECT_EQ(messages.text(), "temp_comm_read: i=TEMP_STR_MAX_LEN\n");
}

TEST_F(Temp, ValueLongerThanTheCallersBufferIsRefusedUntouched) {
    model_.set_param("PV", "0123456789.");
    char text[16];
    std::memset(text, '#', sizeof text);
    std::memcpy(text, "PV", 2);
    EXPECT_EQ(temp_comm_write(port_, text, 2, TEMP_RESP_READ, 6), ERR_TEMP_SENSOR_READ);
    for (std::size_t i = 6; i < sizeof text; ++i) EXPECT_EQ(text[i], '#');

    // The same for a bare read into a small reply buffer.
    const uint8_t poll_pv[] = {0x04, '0', '0', '1', '1', 'P', 'V', 0x05};
    uint32_t done = 0;
    ASSERT_EQ(sio_send_data(port_, poll_pv, sizeof poll_pv, &done), 0);
    char reply[8];
    std::memset(reply, '#', sizeof reply);
    EXPECT_EQ(temp_comm_read(port_, reply, TEMP_RESP_READ, 4), ERR_TEMP_SENSOR_READ);
    for (std::size_t i = 4; i < sizeof reply; ++i) EXPECT_EQ(reply[i], '#');
}

TEST_F(Temp, ReplyThatExactlyFillsTheBufferIsRefusedOneShorterIsTaken) {
    // "PV" and a value of six characters: eight characters and their end.
    const uint8_t poll_pv[] = {0x04, '0', '0', '1', '1', 'P', 'V', 0x05};
    uint32_t done = 0;
    char reply[12];

    model_.set_param("PV", "012345");
    ASSERT_EQ(sio_send_data(port_, poll_pv, sizeof poll_pv, &done), 0);
    std::memset(reply, '#', sizeof reply);
    EXPECT_EQ(temp_comm_read(port_, reply, TEMP_RESP_READ, 8), ERR_TEMP_SENSOR_READ);
    for (std::size_t i = 8; i < sizeof reply; ++i) EXPECT_EQ(reply[i], '#') << i;

    ASSERT_EQ(sio_send_data(port_, poll_pv, sizeof poll_pv, &done), 0);
    std::memset(reply, '#', sizeof reply);
    ASSERT_EQ(temp_comm_read(port_, reply, TEMP_RESP_READ, 9), 0);
    EXPECT_STREQ(reply, "PV012345");
    for (std::size_t i = 9; i < sizeof reply; ++i) EXPECT_EQ(reply[i], '#') << i;

    // The value copied back over a poll's text: six characters need seven bytes.
    char text[12];
    std::memset(text, '#', sizeof text);
    std::memcpy(text, "PV", 2);
    EXPECT_EQ(temp_comm_write(port_, text, 2, TEMP_RESP_READ, 6), ERR_TEMP_SENSOR_READ);
    for (std::size_t i = 6; i < sizeof text; ++i) EXPECT_EQ(text[i], '#') << i;
    std::memset(text, '#', sizeof text);
    std::memcpy(text, "PV", 2);
    ASSERT_EQ(temp_comm_write(port_, text, 2, TEMP_RESP_READ, 7), 0);
    EXPECT_STREQ(text, "012345");
    for (std::size_t i = 7; i < sizeof text; ++i) EXPECT_EQ(text[i], '#') << i;
}

TEST_F(Temp, LongestReplyIs255Characters) {
    const std::string longest = "PV" + std::string(253, '7');
    model_.raw_next(SimTempController::framed(longest));
    ASSERT_EQ(poll("PV"), 0);
    EXPECT_EQ(std::string(value_), longest.substr(2));

    CapturedMessages messages;
    model_.raw_next(SimTempController::framed(longest + "7"));
    EXPECT_EQ(poll("PV"), ERR_TEMP_SENSOR_READ);
    EXPECT_EQ(messages.text(), "temp_comm_read: i=TEMP_STR_MAX_LEN\n");
}

TEST_F(Temp, RefusedWriteAsksForTheErrorStatusAndTheLineStaysInStep) {
    CapturedMessages messages;
    line_.nak_next(1);
    EXPECT_EQ(write("IM0002."), ERR_TEMP_SENSOR_COMM);
    EXPECT_EQ(model_.error_status_requests(), 1);
    std::string expected = "temp_comm_read: received NAK\n";
    for (uint8_t byte : SimTempController::framed("EE0003.")) {
        if (byte == 0x03) {
            expected += "char: 0x3\n";
            break;
        }
        char line[16];
        std::snprintf(line, sizeof line, "char: 0x%x\n", byte);
        expected += line;
    }
    EXPECT_EQ(messages.text(), expected);
    // The answer's block check is not taken for the next acknowledgement.
    EXPECT_EQ(write("IM0002."), 0);
}

TEST_F(Temp, EndlessErrorStatusStopsAfter256Bytes) {
    SimBytes endless(1, SimTempController::STX);
    endless.resize(400, 'x');
    model_.set_error_status_reply(endless);
    line_.nak_next(1);
    CapturedMessages messages;
    EXPECT_EQ(write("QD0002."), ERR_TEMP_SENSOR_COMM);
    EXPECT_EQ(count_of(messages.text(), "char: 0x"), 256);
    EXPECT_EQ(write("QD0002."), 0);
}

TEST_F(Temp, OnlyAckAcknowledgesAWrite) {
    CapturedMessages messages;
    line_.corrupt_next(1);  // the ACK arrives as 0xF9
    EXPECT_EQ(write("Q10000."), ERR_TEMP_SENSOR_COMM);
    EXPECT_EQ(messages.text(), "temp_comm_read: received unknown response character 0xf9\n");
    EXPECT_TRUE(model_.writes().size() == 1);
}

TEST_F(Temp, NoAnswerTimesOutAfterTenSecondsAndRestoresTheTimeout) {
    CapturedMessages messages;
    line_.silent_next(1);
    int64_t start = plat_clock_ms();
    EXPECT_EQ(write("IM0002."), ERR_TEMP_SENSOR_TIMEOUT);
    EXPECT_GE(plat_clock_ms() - start, 10000);
    EXPECT_EQ(messages.text(), "temp_comm_read: timeout on first byte, respType=1\n");
    int seconds = 0;
    ASSERT_EQ(sio_get_timeout(port_, &seconds), 0);
    EXPECT_EQ(seconds, 2);
}

class TempPowerUp : public ::testing::Test {
  protected:
    void SetUp() override {
        SKIP_WITHOUT_PTY();
        ASSERT_TRUE(line_.open(&model_));
        info_.tempSensor = 1;
        info_.tempSensorPort = line_.path();
    }
    void TearDown() override {
        temp_comm_close(&info_.serial.tempPort);
        line_.close();
    }
    SimTempController model_;
    SimLine line_;
    SystemInfo info_;
};

TEST_F(TempPowerUp, SendsTheStartUpSequenceAndPauses) {
    int64_t start = plat_clock_ms();
    ASSERT_EQ(temp_comm_power_up(&info_), 0);
    EXPECT_GE(plat_clock_ms() - start, TEMP_STARTUP_PAUSE_MS);
    EXPECT_EQ(model_.writes(),
              (std::vector<std::string>{"IM0002.", "QD0002.", "Q10000.", "IM0000."}));
    EXPECT_NE(info_.serial.tempPort, nullptr);
    // A second power-up closes the line left open first.
    ASSERT_EQ(temp_comm_power_up(&info_), 0);
}

TEST_F(TempPowerUp, StopsAtTheFirstFailure) {
    line_.delay_next(1, 0);
    line_.nak_next(1);
    CapturedMessages messages;
    int64_t start = plat_clock_ms();
    EXPECT_EQ(temp_comm_power_up(&info_), ERR_TEMP_SENSOR_INIT);
    EXPECT_LT(plat_clock_ms() - start, TEMP_STARTUP_PAUSE_MS);
    EXPECT_EQ(model_.writes(), std::vector<std::string>{"IM0002."});
    std::string text = messages.text();
    EXPECT_EQ(text.substr(text.rfind("Error")),
              "Error initializing temperature sensor: ERR_TEMP_SENSOR_COMM\n");

    info_.tempSensorPort = "/nonexistent/tc";
    EXPECT_EQ(temp_comm_power_up(&info_), ERR_TEMP_SENSOR_INIT);
    info_.tempSensor = 0;
    EXPECT_EQ(temp_comm_power_up(&info_), 0);
}

}  // namespace
