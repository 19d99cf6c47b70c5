#include "platform/serial_port.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/testing/temp_dir.h"
#include "platform/clock.h"
#include "platform/pty.h"

namespace {
class SerialPort : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(plat_pty_open(&pty_)); }
    void TearDown() override {
        if (port_ != nullptr) plat_serial_close(port_);
        plat_pty_close(&pty_);
    }
    void open_port() {
        port_ = plat_serial_open(pty_.path.c_str());
        ASSERT_NE(port_, nullptr);
    }
    void feed(const std::string& bytes) {
        ASSERT_TRUE(plat_fd_write_all(pty_.controller, bytes.data(), bytes.size()));
    }
    PlatPty pty_;
    PlatSerialPort* port_ = nullptr;
};

TEST_F(SerialPort, OpenIsExclusiveUntilClosedAndTheDeviceCanBeOpenedAgain) {
    open_port();
    EXPECT_EQ(plat_serial_open(pty_.path.c_str()), nullptr);
    EXPECT_TRUE(plat_serial_close(port_));
    port_ = plat_serial_open(pty_.path.c_str());
    EXPECT_NE(port_, nullptr);
    EXPECT_EQ(plat_serial_open("/dev/surf-no-such-port"), nullptr);
}

TEST(SerialPortFile, SomethingNotATerminalOpensButRefusesMaskAndQueues) {
    TempDir dir;
    write_file(dir.file("plain"), "");
    PlatSerialPort* port = plat_serial_open(dir.file("plain").c_str());
    ASSERT_NE(port, nullptr);
    EXPECT_FALSE(plat_serial_set_mask(port, PLAT_EV_RXCHAR));
    EXPECT_FALSE(plat_serial_setup(port, 4096, 4096));
    EXPECT_TRUE(plat_serial_close(port));
}

TEST_F(SerialPort, TerminalSideIsRawAndDoesNotEcho) {
    open_port();
    const char sent[] = "a\r\nb\x03\x7f";
    uint32_t done = 0;
    ASSERT_TRUE(plat_serial_write(port_, sent, 6, &done));
    EXPECT_EQ(done, 6u);
    char got[16] = {};
    EXPECT_EQ(plat_fd_read(pty_.controller, got, sizeof got, 1000), 6);
    EXPECT_EQ(std::memcmp(got, sent, 6), 0);
    feed("xyz\r");
    PlatCommTimeouts t{0, 0, 500, 0, 0};
    plat_serial_set_timeouts(port_, &t);
    ASSERT_TRUE(plat_serial_read(port_, got, 4, &done));
    EXPECT_EQ(done, 4u);
    EXPECT_EQ(std::string(got, 4), "xyz\r");
    EXPECT_EQ(plat_fd_read(pty_.controller, got, sizeof got, 0), 0);  // no echo came back
}

TEST_F(SerialPort, ReadEndsAtTheTotalTimeOutWithWhatArrived) {
    open_port();
    PlatCommTimeouts t{0, 10, 300, 0, 0};
    ASSERT_TRUE(plat_serial_set_timeouts(port_, &t));
    feed("abc");
    char got[8];
    uint32_t done = 0;
    int64_t start = plat_clock_ms();
    ASSERT_TRUE(plat_serial_read(port_, got, 5, &done));
    EXPECT_EQ(done, 3u);
    EXPECT_GE(plat_clock_ms() - start, 350);  // 10 x 5 + 300
}

TEST_F(SerialPort, ReadEndsWhenTheGapAfterABytePassesTheInterval) {
    open_port();
    PlatCommTimeouts t{100, 0, 0, 0, 0};  // interval only: wait for the first byte without limit
    ASSERT_TRUE(plat_serial_set_timeouts(port_, &t));
    feed("ab");
    char got[8];
    uint32_t done = 0;
    int64_t start = plat_clock_ms();
    ASSERT_TRUE(plat_serial_read(port_, got, 8, &done));
    EXPECT_EQ(done, 2u);
    EXPECT_GE(plat_clock_ms() - start, 100);

    PlatCommTimeouts immediate{PLAT_MAXDWORD, 0, 0, 0, 0};
    ASSERT_TRUE(plat_serial_set_timeouts(port_, &immediate));
    ASSERT_TRUE(plat_serial_read(port_, got, 8, &done));
    EXPECT_EQ(done, 0u);
}

TEST_F(SerialPort, StateReadsBackAndRefusesWhatTheLineCannotDo) {
    open_port();
    PlatCommState state{};
    ASSERT_TRUE(plat_serial_get_state(port_, &state));
    state.BaudRate = 57600;
    state.ByteSize = 7;
    state.Parity = PLAT_ODDPARITY;
    state.fParity = 1;
    state.StopBits = PLAT_ONE5STOPBITS;
    state.XonLim = 100;
    ASSERT_TRUE(plat_serial_set_state(port_, &state));
    PlatCommState back{};
    ASSERT_TRUE(plat_serial_get_state(port_, &back));
    EXPECT_EQ(back.BaudRate, 57600u);
    EXPECT_EQ(back.ByteSize, 7);
    EXPECT_EQ(back.Parity, PLAT_ODDPARITY);
    EXPECT_EQ(back.fParity, 1u);
    EXPECT_EQ(back.StopBits, PLAT_ONE5STOPBITS);
    EXPECT_EQ(back.XonLim, 100);

    state.BaudRate = 14400;
    EXPECT_FALSE(plat_serial_set_state(port_, &state));
    state.BaudRate = 9600;
    state.ByteSize = 9;
    EXPECT_FALSE(plat_serial_set_state(port_, &state));
    ASSERT_TRUE(plat_serial_get_state(port_, &back));
    EXPECT_EQ(back.BaudRate, 57600u);
}

TEST_F(SerialPort, ErrorQueryCountsWaitingBytesAndPurgeDropsThem) {
    open_port();
    feed("12345");
    PlatCommStatus status{};
    uint32_t errors = 99;
    for (int i = 0; i < 1000 && status.cbInQue < 5; ++i) {
        ASSERT_TRUE(plat_serial_clear_error(port_, &errors, &status));
        plat_sleep_ms(1);
    }
    EXPECT_EQ(status.cbInQue, 5u);
    EXPECT_EQ(errors, 0u);
    ASSERT_TRUE(plat_serial_purge(port_, PLAT_PURGE_RXCLEAR | PLAT_PURGE_TXCLEAR));
    ASSERT_TRUE(plat_serial_clear_error(port_, &errors, &status));
    EXPECT_EQ(status.cbInQue, 0u);
}
}  // namespace
