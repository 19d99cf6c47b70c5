#include "platform/serial_port.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "common/testing/temp_dir.h"
#include "platform/clock.h"
#include "platform/pty.h"

namespace {
class SerialPort : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!plat_pty_available()) GTEST_SKIP() << "no pseudo-terminals on this system";
        ASSERT_TRUE(plat_pty_open(&pty_));
    }
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
    // Reads on a thread of its own and gives it `real_s` seconds of real time;
    // a read still running then is ended by closing its descriptor (which the
    // test reports), so a read that never returns cannot hang the suite.
    bool bounded_read(void* buffer, uint32_t count, uint32_t* done, int* error, int real_s = 30) {
        std::mutex lock;
        std::condition_variable ended;
        bool finished = false;
        bool ok = false;
        std::thread reader([&] {
            ok = plat_serial_read(port_, buffer, count, done);
            int saved = errno;
            std::lock_guard<std::mutex> guard(lock);
            *error = saved;
            finished = true;
            ended.notify_all();
        });
        std::unique_lock<std::mutex> guard(lock);
        bool in_time =
            ended.wait_for(guard, std::chrono::seconds(real_s), [&] { return finished; });
        if (!in_time) {
            ADD_FAILURE() << "the read did not return";
            plat_fd_close(plat_serial_descriptor(port_));
            ended.wait(guard, [&] { return finished; });
        }
        guard.unlock();
        reader.join();
        return ok;
    }
    // Whether the line itself has the hardware handshake on.
    bool line_handshake() {
        PlatLineFlow flow;
        EXPECT_TRUE(plat_fd_line_flow(plat_serial_descriptor(port_), &flow));
        return flow.hardware;
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
TEST_F(SerialPort, TotalsTooLongForTheClockWaitForEveryByte) {
    open_port();
    // MAXDWORD x 4096 ms does not fit the clock in nanoseconds: no limit,
    // never a deadline that wrapped into the past.
    PlatCommTimeouts t{0, PLAT_MAXDWORD, PLAT_MAXDWORD, PLAT_MAXDWORD, PLAT_MAXDWORD};
    ASSERT_TRUE(plat_serial_set_timeouts(port_, &t));
    const std::string rest(4095, 'r');
    feed("f");
    std::thread later([&] {
        plat_sleep_ms(100);
        plat_fd_write_all(pty_.controller, rest.data(), rest.size());
    });
    std::string got(4096, '\0');
    uint32_t done = 0;
    int error = 0;
    EXPECT_TRUE(bounded_read(got.data(), 4096, &done, &error));
    later.join();
    EXPECT_EQ(done, 4096u);
    EXPECT_TRUE(got == "f" + rest);

    // A write to a peer that reads only later waits for it the same way.
    const std::string block(256 * 1024, 'w');
    std::size_t drained = 0;
    std::thread reader([&] {
        plat_sleep_ms(100);
        char buffer[4096];
        while (drained < block.size()) {
            long n = plat_fd_read(pty_.controller, buffer, sizeof buffer, 5000);
            if (n <= 0) break;
            drained += static_cast<std::size_t>(n);
        }
    });
    ASSERT_TRUE(plat_serial_write(port_, block.data(), static_cast<uint32_t>(block.size()), &done));
    reader.join();
    EXPECT_EQ(done, block.size());
    EXPECT_EQ(drained, block.size());
}

TEST_F(SerialPort, LineThatHangsUpFailsTheReadAtOnce) {
    open_port();
    // No time-out at all: only the hang-up can end these reads.
    PlatCommTimeouts forever{0, 0, 0, 0, 0};
    ASSERT_TRUE(plat_serial_set_timeouts(port_, &forever));
    ASSERT_TRUE(plat_fd_close(pty_.controller));  // the adapter is unplugged
    pty_.controller = -1;
    char got[8];
    uint32_t done = 9;
    int error = 0;
    EXPECT_FALSE(bounded_read(got, sizeof got, &done, &error));
    EXPECT_EQ(error, EIO);
    EXPECT_EQ(done, 0u);

    // The interval-only form and the form that returns at once fail alike.
    PlatCommTimeouts interval{100, 0, 0, 0, 0};
    ASSERT_TRUE(plat_serial_set_timeouts(port_, &interval));
    EXPECT_FALSE(bounded_read(got, sizeof got, &done, &error));
    PlatCommTimeouts immediate{PLAT_MAXDWORD, 0, 0, 0, 0};
    ASSERT_TRUE(plat_serial_set_timeouts(port_, &immediate));
    EXPECT_FALSE(bounded_read(got, sizeof got, &done, &error));
    EXPECT_FALSE(plat_serial_write(port_, "x", 1, &done));
}

TEST_F(SerialPort, OnlyCtsOutputFlowTurnsOnTheLinesHardwareHandshake) {
    open_port();
    ASSERT_FALSE(line_handshake());
    PlatCommState state{};
    ASSERT_TRUE(plat_serial_get_state(port_, &state));
    EXPECT_EQ(state.fOutxCtsFlow, 0u);
    EXPECT_EQ(state.fRtsControl, PLAT_RTS_CONTROL_ENABLE);

    // XON/XOFF with RTS handshaking: CTS must not hold the output back.
    state.fOutX = state.fInX = 1;
    state.fOutxCtsFlow = 0;
    state.fRtsControl = PLAT_RTS_CONTROL_HANDSHAKE;
    ASSERT_TRUE(plat_serial_set_state(port_, &state));
    EXPECT_FALSE(line_handshake());
    PlatCommState back{};
    ASSERT_TRUE(plat_serial_get_state(port_, &back));
    EXPECT_EQ(back.fRtsControl, PLAT_RTS_CONTROL_HANDSHAKE);
    EXPECT_EQ(back.fOutxCtsFlow, 0u);

    state.fOutxCtsFlow = 1;
    ASSERT_TRUE(plat_serial_set_state(port_, &state));
    EXPECT_TRUE(line_handshake());

    // The next user of the line finds the handshake in the record.
    ASSERT_TRUE(plat_serial_close(port_));
    open_port();
    ASSERT_TRUE(plat_serial_get_state(port_, &back));
    EXPECT_EQ(back.fOutxCtsFlow, 1u);
    EXPECT_EQ(back.fRtsControl, PLAT_RTS_CONTROL_HANDSHAKE);

    state.fOutxCtsFlow = 0;
    state.fRtsControl = PLAT_RTS_CONTROL_ENABLE;
    ASSERT_TRUE(plat_serial_set_state(port_, &state));
    EXPECT_FALSE(line_handshake());
}

// A serial port whose far end sends back every byte it receives, a little
// later (platform/testing/serial_loopback.py: a pseudo-terminal with an
// echoing peer, which Wine can map to a COM port), named by
// SURF_TEST_SERIAL_LOOPBACK. Where there is none these tests skip. Waits
// for an echo are long on the library's clock, as it may run fast.
class SerialLoopback : public ::testing::Test {
  protected:
    static constexpr uint32_t kEchoWaitMs = 60000;
    void SetUp() override {
        const char* device = std::getenv("SURF_TEST_SERIAL_LOOPBACK");
        if (device == nullptr || device[0] == '\0')
            GTEST_SKIP() << "no loop-back serial port (SURF_TEST_SERIAL_LOOPBACK)";
        port_ = plat_serial_open(device);
        ASSERT_NE(port_, nullptr) << device;
        ASSERT_TRUE(plat_serial_set_mask(port_, PLAT_EV_RXCHAR));
        ASSERT_TRUE(plat_serial_setup(port_, 4096, 4096));
        PlatCommState state{};
        ASSERT_TRUE(plat_serial_get_state(port_, &state));
        state.BaudRate = 57600;
        state.ByteSize = 8;
        state.Parity = PLAT_NOPARITY;
        state.StopBits = PLAT_ONESTOPBIT;
        state.fOutX = state.fInX = state.fOutxCtsFlow = 0;
        state.fDtrControl = PLAT_DTR_CONTROL_ENABLE;
        state.fRtsControl = PLAT_RTS_CONTROL_ENABLE;
        ASSERT_TRUE(plat_serial_set_state(port_, &state));
        ASSERT_TRUE(plat_serial_purge(port_, PLAT_PURGE_RXCLEAR | PLAT_PURGE_TXCLEAR));
    }
    void TearDown() override {
        if (port_ != nullptr) {
            EXPECT_TRUE(plat_serial_close(port_));
        }
    }
    void send(const std::string& bytes) {
        PlatCommTimeouts t{0, 0, 0, 0, kEchoWaitMs};
        ASSERT_TRUE(plat_serial_set_timeouts(port_, &t));
        uint32_t done = 0;
        ASSERT_TRUE(
            plat_serial_write(port_, bytes.data(), static_cast<uint32_t>(bytes.size()), &done));
        ASSERT_EQ(done, bytes.size());
    }
    PlatSerialPort* port_ = nullptr;
};

TEST_F(SerialLoopback, StateTransfersQueuesAndPurge) {
    PlatCommState back{};
    ASSERT_TRUE(plat_serial_get_state(port_, &back));
    EXPECT_EQ(back.BaudRate, 57600u);
    EXPECT_TRUE(plat_serial_escape(port_, PLAT_SETDTR));
    EXPECT_FALSE(plat_serial_escape(port_, 99));

    send("hello");
    PlatCommTimeouts t{0, 0, kEchoWaitMs, 0, 0};
    ASSERT_TRUE(plat_serial_set_timeouts(port_, &t));
    char got[16] = {};
    uint32_t done = 0;
    ASSERT_TRUE(plat_serial_read(port_, got, 5, &done));
    ASSERT_EQ(done, 5u);
    EXPECT_EQ(std::string(got, 5), "hello");

    // Echoed bytes wait in the input queue until purged.
    send("12345");
    PlatCommStatus status{};
    uint32_t errors = 99;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (status.cbInQue < 5 && std::chrono::steady_clock::now() < give_up) {
        ASSERT_TRUE(plat_serial_clear_error(port_, &errors, &status));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(status.cbInQue, 5u);
    EXPECT_EQ(errors, 0u);
    ASSERT_TRUE(plat_serial_peek_error(port_, &errors, &status));
    EXPECT_EQ(errors, 0u);
    ASSERT_TRUE(plat_serial_purge(port_, PLAT_PURGE_RXCLEAR));
    PlatCommTimeouts immediate{PLAT_MAXDWORD, 0, 0, 0, 0};
    ASSERT_TRUE(plat_serial_set_timeouts(port_, &immediate));
    ASSERT_TRUE(plat_serial_read(port_, got, sizeof got, &done));
    EXPECT_EQ(done, 0u);
}

TEST_F(SerialLoopback, ReadTimeOutsRunOnTheLibrarysClock) {
    char got[64];
    uint32_t done = 9;
    // Total only: nothing comes, and the read lasts the whole total.
    PlatCommTimeouts total{0, 10, 300, 0, 0};
    ASSERT_TRUE(plat_serial_set_timeouts(port_, &total));
    int64_t start = plat_clock_ms();
    ASSERT_TRUE(plat_serial_read(port_, got, 5, &done));
    EXPECT_EQ(done, 0u);
    EXPECT_GE(plat_clock_ms() - start, 350);

    // Interval only: no limit before the first byte, the gap ends the read.
    send("ab");
    PlatCommTimeouts interval{100, 0, 0, 0, 0};
    ASSERT_TRUE(plat_serial_set_timeouts(port_, &interval));
    ASSERT_TRUE(plat_serial_read(port_, got, sizeof got, &done));
    EXPECT_EQ(std::string(got, done), "ab");

    // Totals too long for the clock are no limit: the late echo is waited for.
    const std::string block(4096, 'k');  // MAXDWORD x 4096 ms overflows the clock in ns
    send(block);
    PlatCommTimeouts huge{0, PLAT_MAXDWORD, PLAT_MAXDWORD, 0, 0};
    ASSERT_TRUE(plat_serial_set_timeouts(port_, &huge));
    std::string back(block.size(), '\0');
    ASSERT_TRUE(plat_serial_read(port_, back.data(), static_cast<uint32_t>(back.size()), &done));
    EXPECT_EQ(done, block.size());
    EXPECT_TRUE(back == block);
}
}  // namespace
