#include "sim/line.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "platform/clock.h"
#include "platform/serial_port.h"
#include "platform/wakeup.h"
#include "serial/sio.h"
#include "sim/testing/pty_skip.h"

namespace {
const bool kScaled = [] {
    if (std::getenv("SURF_CLOCK_SCALE") == nullptr) plat_set_clock_scale(10);
    return true;
}();

// Frames: a length byte (1..16, the payload size), the payload, a checksum
// byte (sum of the payload). The reply is 0x06, the payload reversed and its
// checksum; a refusal is the single byte 0x15.
class ChecksumModel : public SimDeviceModel {
  public:
    std::atomic<int> accepted{0};

    long frame_length(const uint8_t* data, std::size_t size) override {
        if (data[0] == 0 || data[0] > 16) return -1;  // noise
        std::size_t length = data[0] + 2u;
        return size >= length ? static_cast<long>(length) : 0;
    }
    SimBytes reply(const SimBytes& frame) override {
        ++accepted;
        SimBytes out;
        out.reserve(frame.size());
        out.push_back(0x06);
        for (std::size_t i = frame.size() - 2; i >= 1; --i) out.push_back(frame[i]);
        out.push_back(sum(out, 1));
        return out;
    }
    SimBytes nak(const SimBytes&) override { return {0x15}; }

    static uint8_t sum(const SimBytes& bytes, std::size_t from) {
        uint8_t total = 0;
        for (std::size_t i = from; i < bytes.size(); ++i)
            total = static_cast<uint8_t>(total + bytes[i]);
        return total;
    }
};

SimBytes frame(std::initializer_list<uint8_t> payload) {
    SimBytes out;
    out.reserve(payload.size() + 2);
    out.push_back(static_cast<uint8_t>(payload.size()));
    uint8_t total = 0;
    for (uint8_t byte : payload) {
        out.push_back(byte);
        total = static_cast<uint8_t>(total + byte);
    }
    out.push_back(total);
    return out;
}

class Line : public ::testing::Test {
  protected:
    void SetUp() override {
        SKIP_WITHOUT_PTY();
        ASSERT_TRUE(line_.open(&model_));
        ASSERT_EQ(sio_open(line_.path().c_str(), &port_), 0);
        ASSERT_EQ(sio_init(port_, nullptr, false), 0);
        ASSERT_EQ(sio_set_timeout(port_, kReadSeconds), 0);
    }
    void TearDown() override {
        if (port_ != SIO_INVALID_HANDLE) sio_close(&port_);
        line_.close();
    }
    void send(const SimBytes& bytes) {
        uint32_t done = 0;
        ASSERT_EQ(sio_send_data(port_, bytes.data(), static_cast<uint32_t>(bytes.size()), &done),
                  0);
    }
    // Reads up to `count` bytes within the read time-out. A read ends when its
    // bytes are in, so the long time-out costs nothing unless a test fails,
    // and a loaded machine at a high clock scale cannot overrun it.
    SimBytes read(uint32_t count) {
        SimBytes out(count);
        uint32_t done = 0;
        sio_read_data(port_, out.data(), count, &done);
        out.resize(done);
        return out;
    }
    // What arrives within a second of the library's clock, for checks of
    // silence.
    SimBytes read_briefly(uint32_t count) {
        EXPECT_EQ(sio_set_timeout(port_, 1), 0);
        SimBytes out = read(count);
        EXPECT_EQ(sio_set_timeout(port_, kReadSeconds), 0);
        return out;
    }
    static constexpr int kReadSeconds = 30;
    static constexpr int64_t kWaitMs = 30000;

    ChecksumModel model_;
    SimLine line_;
    SerialHandle port_ = SIO_INVALID_HANDLE;
};

TEST_F(Line, ModelAnswersFramesAndTheTranscriptRecordsBothDirections) {
    send(frame({1, 2, 3}));
    EXPECT_EQ(read(5), (SimBytes{0x06, 3, 2, 1, 6}));
    // The bytes can reach the library before the line has noted them.
    ASSERT_TRUE(line_.wait_sent(5, kWaitMs));
    auto transcript = line_.transcript();
    ASSERT_GE(transcript.size(), 2u);
    EXPECT_EQ(transcript.front().direction, SimDirection::ToDevice);
    EXPECT_EQ(transcript.back().direction, SimDirection::FromDevice);
    EXPECT_LE(transcript.front().time_ms, transcript.back().time_ms);
    EXPECT_EQ(line_.received(), frame({1, 2, 3}));
    EXPECT_EQ(line_.sent(), (SimBytes{0x06, 3, 2, 1, 6}));
    EXPECT_EQ(line_.frames(), 1u);
}

TEST_F(Line, NoiseBetweenFramesIsDroppedAndSplitFramesAreJoined) {
    SimBytes f = frame({9, 8});
    send(SimBytes{0, 0xEE});
    send(SimBytes(f.begin(), f.begin() + 2));
    ASSERT_TRUE(line_.wait_received(4, kWaitMs));
    send(SimBytes(f.begin() + 2, f.end()));
    EXPECT_EQ(read(4), (SimBytes{0x06, 8, 9, 17}));
    EXPECT_EQ(line_.frames(), 1u);
}

TEST_F(Line, ScriptedFaultsApplyInOrderToTheNextFrames) {
    line_.nak_next(2);
    line_.corrupt_next(1);
    line_.truncate_next(1, 2);
    line_.unsolicited_before_next(1, SimBytes{0xAA, 0xBB});
    EXPECT_EQ(line_.faults_pending(), 4u);

    send(frame({1}));
    EXPECT_EQ(read(1), SimBytes{0x15});
    send(frame({1}));
    EXPECT_EQ(read(1), SimBytes{0x15});
    EXPECT_EQ(model_.accepted.load(), 0);  // refused frames never reach the model

    send(frame({1, 2}));
    SimBytes corrupted = read(4);
    ASSERT_EQ(corrupted.size(), 4u);
    EXPECT_NE(corrupted[3], ChecksumModel::sum(corrupted, 1));

    send(frame({1, 2}));
    EXPECT_EQ(read(2), (SimBytes{0x06, 2}));
    EXPECT_EQ(read_briefly(2), SimBytes{});  // cut short

    send(frame({5}));
    EXPECT_EQ(read(5), (SimBytes{0xAA, 0xBB, 0x06, 5, 5}));

    send(frame({7}));
    EXPECT_EQ(read(3), (SimBytes{0x06, 7, 7}));
    EXPECT_EQ(line_.faults_pending(), 0u);
    EXPECT_EQ(model_.accepted.load(), 4);
}

TEST_F(Line, SilenceAndLateAnswers) {
    line_.silent_next(1);
    line_.delay_next(1, 300);
    send(frame({1}));
    EXPECT_EQ(read_briefly(3), SimBytes{});
    EXPECT_EQ(model_.accepted.load(), 0);

    send(frame({2}));
    EXPECT_EQ(read(3), (SimBytes{0x06, 2, 2}));
    ASSERT_TRUE(line_.wait_sent(3, kWaitMs));
    auto transcript = line_.transcript();
    ASSERT_GE(transcript.size(), 2u);
    int64_t asked = -1, answered = -1;
    for (const auto& entry : transcript) {
        if (entry.direction == SimDirection::ToDevice) asked = entry.time_ms;
        if (entry.direction == SimDirection::FromDevice && answered < 0) answered = entry.time_ms;
    }
    EXPECT_GE(answered - asked, 300);
}

TEST_F(Line, UnsolicitedFramesAreSentNowOrLater) {
    line_.send(SimBytes{0x01, 0x02});
    EXPECT_EQ(read(2), (SimBytes{0x01, 0x02}));
    int64_t start = plat_clock_ms();
    line_.send(SimBytes{0x03}, 200);
    ASSERT_TRUE(line_.wait_sent(3, kWaitMs));
    EXPECT_GE(plat_clock_ms() - start, 200);
    EXPECT_EQ(read(1), SimBytes{0x03});
}

// The line's thread sleeps until something happens: an idle line costs no
// wake-ups (one that polled in steps would wake every real millisecond), and
// output queued afterwards still leaves at once.
TEST_F(Line, AnIdleLineSleepsUntilOutputIsQueued) {
    const int64_t before = plat_voluntary_switches();
    ASSERT_GE(before, 0);
    plat_sleep_ns(static_cast<int64_t>(plat_clock_scale() * 200e6));  // 200 real ms
    EXPECT_LT(plat_voluntary_switches() - before, 20);
    line_.send(SimBytes{0x5A});
    EXPECT_EQ(read(1), SimBytes{0x5A});
}

TEST_F(Line, DelaysTooLongToCountNeverFallDueAndKeepLaterOutputBack) {
    // Past the product's range, past the sum's range, and the largest.
    for (int64_t huge : {INT64_MAX / 1000000 + 1, INT64_MAX / 1000000, INT64_MAX}) {
        SimLine held;  // a line of its own: held bytes stay for good
        ASSERT_TRUE(held.open(nullptr));
        held.send(SimBytes{0xEE}, huge);
        held.send(SimBytes{0x01});
        EXPECT_FALSE(held.wait_sent(1, 300)) << huge;
        EXPECT_EQ(held.output_pending(), 2u) << huge;
    }
    line_.delay_next(1, INT64_MAX);
    send(frame({3}));
    ASSERT_TRUE(line_.wait_frames(1, kWaitMs));
    EXPECT_EQ(read_briefly(3), SimBytes{});
    EXPECT_EQ(line_.output_pending(), 3u);
}

TEST_F(Line, ReadingTurnedBackOnWakesTheLine) {
    line_.set_reading(false);
    send(frame({1}));
    EXPECT_FALSE(line_.wait_received(1, 200));
    line_.set_reading(true);
    ASSERT_TRUE(line_.wait_received(3, kWaitMs));
    EXPECT_EQ(read(3), (SimBytes{0x06, 1, 1}));
}

// A full line holds the output back; when the library purges its side, the
// terminal reports room and the line carries on without any other wake-up.
TEST_F(Line, OutputHeldByAFullLineFlowsOnWhenTheLibraryPurges) {
    line_.send(SimBytes(256 * 1024, 'f'));
    ASSERT_TRUE(line_.wait_sent(1, kWaitMs));
    std::size_t before = 0;
    // The line is full once a wait sees nothing more leave it.
    for (int i = 0; i < 1000; ++i) {
        before = line_.sent().size();
        if (!line_.wait_sent(before + 1, 20)) break;
    }
    ASSERT_GT(line_.output_pending(), 0u);
    ASSERT_TRUE(plat_serial_purge(port_, PLAT_PURGE_RXCLEAR));
    EXPECT_TRUE(line_.wait_sent(before + 1, kWaitMs));
}

TEST_F(Line, LibraryClosingAndReopeningThePortKeepsTheLineAlive) {
    ASSERT_EQ(sio_close(&port_), 0);
    ASSERT_EQ(sio_open(line_.path().c_str(), &port_), 0);
    ASSERT_EQ(sio_init(port_, nullptr, false), 0);
    ASSERT_EQ(sio_set_timeout(port_, kReadSeconds), 0);
    send(frame({4}));
    EXPECT_EQ(read(3), (SimBytes{0x06, 4, 4}));
}
}  // namespace
