#include "serial/sio.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "common/status.h"
#include "common/testing/capture_sink.h"
#include "common/testing/temp_dir.h"
#include "platform/clock.h"
#include "platform/pty.h"
#include "sim/line.h"
#include "sim/testing/pty_skip.h"

namespace {
// Waits in these tests run on a clock 10 times faster than real time (a
// 100 ms quiet-line test stays well above scheduling noise).
const bool kScaled = [] {
    if (std::getenv("SURF_CLOCK_SCALE") == nullptr) plat_set_clock_scale(10);
    return true;
}();

SimBytes bytes(const std::string& text) {
    return SimBytes(text.begin(), text.end());
}

// Frames end with '\n'; the reply is the text set by the test.
class LineModel : public SimDeviceModel {
  public:
    explicit LineModel(std::string reply) : reply_(std::move(reply)) {}
    long frame_length(const uint8_t* data, std::size_t size) override {
        const void* end = std::memchr(data, '\n', size);
        return end ? static_cast<const uint8_t*>(end) - data + 1 : 0;
    }
    SimBytes reply(const SimBytes&) override { return bytes(reply_); }

  private:
    std::string reply_;
};

class Sio : public ::testing::Test {
  protected:
    void start(const std::string& reply) {
        model_ = std::make_unique<LineModel>(reply);
        ASSERT_TRUE(line_.open(model_.get()));
    }
    void SetUp() override {
        SKIP_WITHOUT_PTY();
        start("ok\n");
    }
    void TearDown() override {
        if (handle_ != SIO_INVALID_HANDLE) sio_close(&handle_);
        line_.close();
    }
    void open_and_init() {
        ASSERT_EQ(sio_open(line_.path().c_str(), &handle_), 0);
        ASSERT_EQ(sio_init(handle_, nullptr), 0);
    }
    SioLineState state() {
        SioLineState s{};
        EXPECT_EQ(sio_get_state(handle_, &s), 0);
        return s;
    }
    PlatCommTimeouts timeouts() {
        PlatCommTimeouts t{};
        EXPECT_TRUE(plat_serial_get_timeouts(handle_, &t));
        return t;
    }
    // The flow control that reached the line.
    PlatLineFlow line_flow() {
        PlatLineFlow flow;
        EXPECT_TRUE(plat_fd_line_flow(plat_serial_descriptor(handle_), &flow));
        return flow;
    }
    // Runs `call` on a thread of its own for up to `real_s` seconds of real
    // time; one still running then is ended by closing the port's descriptor
    // (and the test fails), so a call that never returns cannot hang the suite.
    template <typename Call>
    int bounded(Call call, int real_s = 30) {
        std::mutex lock;
        std::condition_variable ended;
        bool finished = false;
        int result = -1;
        std::thread runner([&] {
            int r = call();
            std::lock_guard<std::mutex> guard(lock);
            result = r;
            finished = true;
            ended.notify_all();
        });
        std::unique_lock<std::mutex> guard(lock);
        if (!ended.wait_for(guard, std::chrono::seconds(real_s), [&] { return finished; })) {
            ADD_FAILURE() << "the call did not return";
            plat_fd_close(plat_serial_descriptor(handle_));
            ended.wait(guard, [&] { return finished; });
        }
        guard.unlock();
        runner.join();
        return result;
    }

    SimLine line_;
    std::unique_ptr<LineModel> model_;
    SerialHandle handle_ = SIO_INVALID_HANDLE;
};

TEST_F(Sio, InitWithoutTextSetsTheDefaultLineQuietly) {
    ASSERT_EQ(sio_open(line_.path().c_str(), &handle_), 0);
    ASSERT_EQ(sio_set_baud(handle_, 57600), 0);
    CapturedMessages messages;
    ASSERT_EQ(sio_init(handle_, nullptr), 0);
    SioLineState s = state();
    EXPECT_EQ(s.DCBlength, sizeof(SioLineState));
    EXPECT_EQ(s.BaudRate, 9600u);
    EXPECT_EQ(s.ByteSize, 8);
    EXPECT_EQ(s.Parity, PLAT_NOPARITY);
    EXPECT_EQ(s.fParity, 0u);
    EXPECT_EQ(s.StopBits, PLAT_ONESTOPBIT);
    EXPECT_EQ(messages.text(), "");
    PlatCommTimeouts t = timeouts();
    EXPECT_EQ(t.ReadIntervalTimeout, 100u);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 2000u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 1000u);
}

TEST_F(Sio, InitSetsFlowControlByTheSwitch) {
    ASSERT_EQ(sio_open(line_.path().c_str(), &handle_), 0);
    ASSERT_EQ(sio_init(handle_, nullptr), 0);  // two-argument form: XON/XOFF on
    SioLineState s = state();
    EXPECT_EQ(s.fOutX, 1u);
    EXPECT_EQ(s.fInX, 1u);
    EXPECT_EQ(s.XonChar, 0x11);
    EXPECT_EQ(s.XoffChar, 0x13);
    EXPECT_EQ(s.XonLim, 100);
    EXPECT_EQ(s.XoffLim, 3996);
    EXPECT_EQ(s.fOutxCtsFlow, 0u);
    EXPECT_EQ(s.fRtsControl, PLAT_RTS_CONTROL_HANDSHAKE);
    EXPECT_EQ(s.fAbortOnError, 0u);
    EXPECT_EQ(s.fDtrControl, PLAT_DTR_CONTROL_ENABLE);
    EXPECT_EQ(s.fBinary, 1u);
    // An XON/XOFF line may be a three-wire cable: CTS must not stall it.
    EXPECT_FALSE(line_flow().hardware);
    EXPECT_TRUE(line_flow().xon_output);
    EXPECT_TRUE(line_flow().xon_input);

    ASSERT_EQ(sio_init(handle_, nullptr, false), 0);
    s = state();
    EXPECT_EQ(s.fOutX, 0u);
    EXPECT_EQ(s.fInX, 0u);
    EXPECT_EQ(s.fOutxCtsFlow, 1u);
    EXPECT_EQ(s.fAbortOnError, 1u);
    EXPECT_EQ(s.XoffLim, 3996);
    EXPECT_TRUE(line_flow().hardware);
    EXPECT_FALSE(line_flow().xon_output);
    EXPECT_FALSE(line_flow().xon_input);

    ASSERT_EQ(sio_xon_xoff_on(handle_), 0);
    EXPECT_EQ(state().fOutX, 1u);
    ASSERT_EQ(sio_xon_xoff_off(handle_), 0);
    s = state();
    EXPECT_EQ(s.fOutX, 0u);
    EXPECT_EQ(s.fInX, 0u);
    EXPECT_EQ(s.XonLim, 100);
}

TEST_F(Sio, SettingsTexts) {
    ASSERT_EQ(sio_open(line_.path().c_str(), &handle_), 0);
    CapturedMessages messages;

    EXPECT_EQ(sio_init(handle_, "r+"), 0);
    EXPECT_EQ(messages.text(), "Com Settings Parameter: r+ is ignored.\n");
    EXPECT_EQ(state().BaudRate, 9600u);

    messages.clear();
    EXPECT_EQ(sio_init(handle_, "19200,7,2,1"), 0);
    SioLineState s = state();
    EXPECT_EQ(s.BaudRate, 19200u);
    EXPECT_EQ(s.ByteSize, 7);
    EXPECT_EQ(s.Parity, PLAT_EVENPARITY);
    EXPECT_EQ(s.fParity, 1u);
    EXPECT_EQ(s.StopBits, PLAT_ONESTOPBIT);
    EXPECT_EQ(sio_init(handle_, "9600, 8,0,1.5 trailing text"), 0);
    EXPECT_EQ(state().StopBits, PLAT_ONE5STOPBITS);
    EXPECT_EQ(sio_init(handle_, "115200,8,1,2"), 0);
    EXPECT_EQ(state().StopBits, PLAT_TWOSTOPBITS);
    EXPECT_EQ(state().Parity, PLAT_ODDPARITY);
    EXPECT_EQ(messages.text(), "");

    for (const char* text : {"14400,8,0,1", "9600,9,0,1", "9600,8", "9600,8,3,1", "fast"}) {
        messages.clear();
        EXPECT_EQ(sio_init(handle_, text), ERR_INVALID_PARAM) << text;
        EXPECT_EQ(messages.text(),
                  std::string("Com Settings Parameter: ") + text + " is Invalid.\n");
    }
    // A refused text leaves the line as it was.
    EXPECT_EQ(state().BaudRate, 115200u);

    messages.clear();
    EXPECT_EQ(sio_init(handle_, "9600,8,x,1"), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(messages.text(), "");
    EXPECT_EQ(sio_init(handle_, "9600,8,0,3"), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(messages.text(), "Com Settings Parameter: 9600,8,0,3 is Invalid.\n");
    EXPECT_EQ(state().BaudRate, 115200u);
}

TEST_F(Sio, SettersChangeOnlyTheirMembersAndReportRefusals) {
    open_and_init();
    ASSERT_EQ(sio_set_baud(handle_, 38400), 0);
    ASSERT_EQ(sio_set_parity(handle_, 2), 0);
    ASSERT_EQ(sio_set_data_bits(handle_, 7), 0);
    SioLineState s = state();
    EXPECT_EQ(s.BaudRate, 38400u);
    EXPECT_EQ(s.Parity, PLAT_EVENPARITY);
    EXPECT_EQ(s.fParity, 1u);
    EXPECT_EQ(s.ByteSize, 7);
    EXPECT_EQ(s.fOutX, 1u);
    ASSERT_EQ(sio_set_parity(handle_, 0), 0);
    EXPECT_EQ(state().fParity, 0u);

    EXPECT_EQ(sio_set_baud(handle_, 14400), ERR_CANT_SET_SERIAL);
    EXPECT_EQ(sio_set_data_bits(handle_, 9), ERR_CANT_SET_SERIAL);
    EXPECT_EQ(sio_set_parity(handle_, 7), ERR_CANT_SET_SERIAL);
    EXPECT_EQ(state().BaudRate, 38400u);

    s.BaudRate = 4800;
    EXPECT_EQ(sio_set_state(handle_, &s), 0);
    EXPECT_EQ(state().BaudRate, 4800u);
}

TEST_F(Sio, ReadTimeOutIsSetAndReadInWholeSecondsAlone) {
    open_and_init();
    int seconds = -1;
    ASSERT_EQ(sio_get_timeout(handle_, &seconds), 0);
    EXPECT_EQ(seconds, 2);
    ASSERT_EQ(sio_set_timeout(handle_, 10), 0);
    ASSERT_EQ(sio_get_timeout(handle_, &seconds), 0);
    EXPECT_EQ(seconds, 10);
    PlatCommTimeouts t = timeouts();
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 10000u);
    EXPECT_EQ(t.ReadIntervalTimeout, 100u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 1000u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
}

TEST(SioClosed, EveryOperationRefusesTheInvalidHandle) {
    SerialHandle h = SIO_INVALID_HANDLE;
    SioLineState s{};
    int seconds = 7;
    EXPECT_EQ(sio_init(h, nullptr), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(sio_set_baud(h, 9600), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(sio_set_parity(h, 0), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(sio_set_data_bits(h, 8), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(sio_xon_xoff_on(h), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(sio_xon_xoff_off(h), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(sio_get_timeout(h, &seconds), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(seconds, 0);
    EXPECT_EQ(sio_set_timeout(h, 1), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(sio_get_state(h, &s), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(sio_set_state(h, &s), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(sio_clear_buffer(h), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(sio_close(&h), ERR_SERIAL_NOT_OPEN);
    uint32_t count = 9;
    char buffer[4];
    EXPECT_EQ(sio_send_data(h, "ab", 2, &count), 1);
    EXPECT_EQ(sio_read_data(h, buffer, 2, &count), 1);
    EXPECT_EQ(count, 0u);
    count = 9;
    EXPECT_EQ(sio_bytes_waiting(h, &count), 1);
    EXPECT_EQ(count, 0u);
}

TEST(SioOpen, MissingDeviceAndNonTerminal) {
    SerialHandle h = reinterpret_cast<SerialHandle>(1);
    EXPECT_EQ(sio_open("/dev/surf-no-such-port", &h), ERR_CANT_OPEN_SERIAL);
    EXPECT_EQ(h, SIO_INVALID_HANDLE);
    TempDir dir;
    write_file(dir.file("plain"), "");
    EXPECT_EQ(sio_open(dir.file("plain").c_str(), &h), ERR_CANT_SET_SERIAL);
    ASSERT_NE(h, SIO_INVALID_HANDLE);
    EXPECT_EQ(sio_close(&h), 0);
}

TEST_F(Sio, SecondOpenOfTheSameDeviceIsRefused) {
    open_and_init();
    SerialHandle second = SIO_INVALID_HANDLE;
    EXPECT_EQ(sio_open(line_.path().c_str(), &second), ERR_CANT_OPEN_SERIAL);
    EXPECT_EQ(second, SIO_INVALID_HANDLE);
}

TEST_F(Sio, SendAndReadAFrameThroughTheSimulator) {
    open_and_init();
    ASSERT_EQ(sio_xon_xoff_off(handle_), 0);
    uint32_t done = 0;
    ASSERT_EQ(sio_send_data(handle_, "ping\n", 5, &done), 0);
    EXPECT_EQ(done, 5u);
    char reply[3] = {};
    ASSERT_EQ(sio_read_data(handle_, reply, 3, &done), 0);
    EXPECT_EQ(std::string(reply, 3), "ok\n");
    EXPECT_EQ(line_.received(), bytes("ping\n"));
    uint32_t waiting = 9;
    EXPECT_EQ(sio_bytes_waiting(handle_, &waiting), 0);
    EXPECT_EQ(waiting, 0u);
}

TEST_F(Sio, ShortReplyIsATimeOutWithTheCountRead) {
    open_and_init();
    ASSERT_EQ(sio_set_timeout(handle_, 1), 0);
    uint32_t done = 0;
    ASSERT_EQ(sio_send_data(handle_, "x\n", 2, &done), 0);
    ASSERT_TRUE(line_.wait_sent(3, 5000));
    uint32_t waiting = 0;
    for (int i = 0; i < 1000 && waiting < 3; ++i) {
        EXPECT_EQ(sio_bytes_waiting(handle_, &waiting), 0);
        plat_sleep_ms(1);
    }
    EXPECT_EQ(waiting, 3u);
    char reply[5];
    int64_t start = plat_clock_ms();
    EXPECT_EQ(sio_read_data(handle_, reply, 5, &done), 1);
    EXPECT_EQ(done, 3u);
    // The interval (100 ms) ends it once the bytes stop, well before the total.
    EXPECT_GE(plat_clock_ms() - start, 100);
}

TEST_F(Sio, CloseInvalidatesTheHandleSoASecondCloseIsRefused) {
    open_and_init();
    EXPECT_EQ(sio_close(&handle_), 0);
    EXPECT_EQ(handle_, SIO_INVALID_HANDLE);
    EXPECT_EQ(sio_close(&handle_), ERR_SERIAL_NOT_OPEN);
    // The device is free again.
    EXPECT_EQ(sio_open(line_.path().c_str(), &handle_), 0);
}

TEST_F(Sio, CloseThatReportsAnErrorStillInvalidatesTheHandle) {
    open_and_init();
    // Close the descriptor behind the layer's back: its own close then fails.
    ASSERT_TRUE(plat_fd_close(plat_serial_descriptor(handle_)));
    EXPECT_EQ(sio_close(&handle_), ERR_CANT_CLOSE_SERIAL);
    EXPECT_EQ(handle_, SIO_INVALID_HANDLE);
    EXPECT_EQ(sio_close(&handle_), ERR_SERIAL_NOT_OPEN);
}

TEST_F(Sio, ClearOnAQuietLineWaitsOnceAndRestoresTheReadTimeOut) {
    open_and_init();
    ASSERT_EQ(sio_set_timeout(handle_, 7), 0);
    int64_t start = plat_clock_ms();
    EXPECT_EQ(sio_clear_buffer(handle_), 0);
    int64_t took = plat_clock_ms() - start;
    EXPECT_GE(took, 100);
    EXPECT_LT(took, 7000);  // not the caller's 7 s
    int seconds = 0;
    ASSERT_EQ(sio_get_timeout(handle_, &seconds), 0);
    EXPECT_EQ(seconds, 7);
}

TEST_F(Sio, ClearDropsWhatIsWaiting) {
    open_and_init();
    line_.send(bytes("stale bytes"));
    ASSERT_TRUE(line_.wait_sent(11, 5000));
    EXPECT_EQ(sio_clear_buffer(handle_), 0);
    uint32_t waiting = 9;
    EXPECT_EQ(sio_bytes_waiting(handle_, &waiting), 0);
    EXPECT_EQ(waiting, 0u);
}

// Runs `f` when the scope ends, however the test leaves it.
template <typename F>
struct AtExit {
    F f;
    ~AtExit() { f(); }
};

TEST_F(Sio, ClearGivesUpOnADeviceThatNeverStopsTalking) {
    // Each of the clear's thousand passes must find a byte within its 100 ms
    // read time-out. A fast clock leaves a real millisecond or less for the
    // line's thread to refill the purged line, which a loaded machine cannot
    // promise a thousand times running, so this test runs the clock at real
    // speed. The scale is process-wide: it changes only while no thread runs.
    line_.close();
    const double scale = plat_clock_scale();
    plat_set_clock_scale(1);
    AtExit restore{[&] {
        if (handle_ != SIO_INVALID_HANDLE) sio_close(&handle_);
        line_.close();
        plat_set_clock_scale(scale);
    }};
    start("ok\n");
    open_and_init();
    ASSERT_EQ(sio_xon_xoff_off(handle_), 0);
    ASSERT_EQ(sio_set_timeout(handle_, 3), 0);
    std::atomic<bool> stop{false};
    std::thread talker([&] {
        while (!stop.load()) {
            if (line_.output_pending() < 8192)
                line_.send(SimBytes(1024, 'z'));
            else
                plat_sleep_ms(1);
        }
    });
    AtExit join{[&] {
        stop = true;
        talker.join();
    }};
    ASSERT_TRUE(line_.wait_sent(1, 5000));
    // A few tries are allowed for a pass that the machine still stalls for a
    // tenth of a second. A clear that never gives up hangs here, and one that
    // never sees the talker fails every try.
    int result = 0;
    for (int attempt = 0; attempt < 3 && result != 1; ++attempt) result = sio_clear_buffer(handle_);
    EXPECT_EQ(result, 1);
    int seconds = 0;
    ASSERT_EQ(sio_get_timeout(handle_, &seconds), 0);
    EXPECT_EQ(seconds, 3);
}

TEST_F(Sio, SendToAStalledPeerFailsAfterTheWriteTimeOut) {
    open_and_init();
    ASSERT_EQ(sio_xon_xoff_off(handle_), 0);
    line_.set_reading(false);
    std::string block(256 * 1024, 'w');
    uint32_t done = 0;
    int64_t start = plat_clock_ms();
    EXPECT_EQ(sio_send_data(handle_, block.data(), static_cast<uint32_t>(block.size()), &done), 1);
    EXPECT_LT(done, block.size());
    EXPECT_GE(plat_clock_ms() - start, 1000);
    line_.set_reading(true);
}

TEST_F(Sio, DriverOpeningSequencesSetTheirLines) {
    struct Case {
        SioLineSetup setup;
        uint32_t baud;
        uint8_t parity;
        uint8_t bits;
    };
    for (const Case& c : {Case{SIO_SETUP_BOARD, 38400, PLAT_NOPARITY, 8},
                          Case{SIO_SETUP_WAVE_MONITOR, 115200, PLAT_NOPARITY, 8},
                          Case{SIO_SETUP_TEMP_SENSOR, 9600, PLAT_EVENPARITY, 7}}) {
        const char* step = "unset";
        ASSERT_EQ(sio_open_line(line_.path().c_str(), c.setup, &handle_, &step), 0);
        EXPECT_EQ(step, nullptr);
        SioLineState s = state();
        EXPECT_EQ(s.BaudRate, c.baud);
        EXPECT_EQ(s.Parity, c.parity);
        EXPECT_EQ(s.ByteSize, c.bits);
        EXPECT_EQ(s.fOutX, 0u);
        EXPECT_EQ(s.fInX, 0u);
        ASSERT_EQ(sio_close(&handle_), 0);
    }
}

TEST_F(Sio, FailedOpeningSequenceClosesThePortAndNamesTheStep) {
    const char* step = nullptr;
    EXPECT_EQ(sio_open_line("/dev/surf-no-such-port", SIO_SETUP_BOARD, &handle_, &step),
              ERR_CANT_OPEN_SERIAL);
    EXPECT_STREQ(step, "sio_open");
    EXPECT_EQ(handle_, SIO_INVALID_HANDLE);
    EXPECT_EQ(sio_open_line(line_.path().c_str(), SioLineSetup{14400, -1, -1}, &handle_, &step),
              ERR_CANT_SET_SERIAL);
    EXPECT_STREQ(step, "sio_set_baud");
    EXPECT_EQ(handle_, SIO_INVALID_HANDLE);
    // Closed again: the device opens.
    EXPECT_EQ(sio_open(line_.path().c_str(), &handle_), 0);
}
TEST_F(Sio, LineThatHangsUpFailsReadsAndClearsAtOnce) {
    open_and_init();
    ASSERT_EQ(sio_xon_xoff_off(handle_), 0);
    // A first-byte wait far longer than any test: only the hang-up ends it.
    ASSERT_EQ(sio_set_timeout(handle_, 1000000), 0);
    line_.close();  // the adapter is unplugged
    char reply[4];
    uint32_t done = 9;
    EXPECT_EQ(bounded([&] { return sio_read_data(handle_, reply, sizeof reply, &done); }), 1);
    EXPECT_EQ(done, 0u);
    // Silence on a dead line is not a drained line.
    EXPECT_EQ(bounded([&] { return sio_clear_buffer(handle_); }), 1);
    uint32_t waiting = 9;
    EXPECT_EQ(sio_bytes_waiting(handle_, &waiting), 1);
    EXPECT_EQ(waiting, 0u);
    EXPECT_EQ(bounded([&] { return sio_send_data(handle_, "x\n", 2, &done); }), 1);
    int seconds = 0;
    ASSERT_EQ(sio_get_timeout(handle_, &seconds), 0);
    EXPECT_EQ(seconds, 1000000);
}

TEST_F(Sio, TimeOutsBeyondTheMillisecondFieldSaturate) {
    open_and_init();
    int seconds = 0;
    // 4294967 s is the last whole second the field holds; one more would wrap
    // to 704 ms.
    ASSERT_EQ(sio_set_timeout(handle_, 4294967), 0);
    EXPECT_EQ(timeouts().ReadTotalTimeoutConstant, 4294967000u);
    ASSERT_EQ(sio_set_timeout(handle_, 4294968), 0);
    EXPECT_EQ(timeouts().ReadTotalTimeoutConstant, PLAT_MAXDWORD);
    ASSERT_EQ(sio_get_timeout(handle_, &seconds), 0);
    EXPECT_EQ(seconds, 4294967);
    ASSERT_EQ(sio_set_timeout(handle_, -1), 0);
    EXPECT_EQ(timeouts().ReadTotalTimeoutConstant, 0u);

    // A write total that overflows the clock waits as long as it takes.
    ASSERT_EQ(sio_xon_xoff_off(handle_), 0);
    PlatCommTimeouts t = timeouts();
    t.WriteTotalTimeoutMultiplier = PLAT_MAXDWORD;
    ASSERT_TRUE(plat_serial_set_timeouts(handle_, &t));
    std::string block(4096, 'b');
    block.back() = '\n';
    uint32_t done = 0;
    EXPECT_EQ(sio_send_data(handle_, block.data(), static_cast<uint32_t>(block.size()), &done), 0);
    EXPECT_EQ(done, block.size());
    EXPECT_TRUE(line_.wait_received(block.size(), 5000));
}
}  // namespace
