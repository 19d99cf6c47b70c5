#include "sim/temp_model.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/clock.h"
#include "serial/sio.h"
#include "sim/line.h"
#include "sim/testing/pty_skip.h"

namespace {
const bool kScaled = [] {
    if (std::getenv("SURF_CLOCK_SCALE") == nullptr) plat_set_clock_scale(10);
    return true;
}();

const std::string kEot(1, '\x04');
const std::string kEnq(1, '\x05');

class TempModel : public ::testing::Test {
  protected:
    void SetUp() override {
        SKIP_WITHOUT_PTY();
        ASSERT_TRUE(line_.open(&model_));
        ASSERT_EQ(sio_open(line_.path().c_str(), &port_), 0);
        ASSERT_EQ(sio_init(port_, nullptr, false), 0);
        ASSERT_EQ(sio_set_timeout(port_, 1), 0);
    }
    void TearDown() override {
        sio_close(&port_);
        line_.close();
    }
    // Sends a message and returns what comes back within the read time-out.
    SimBytes exchange(const std::string& message, uint32_t expect) {
        uint32_t done = 0;
        EXPECT_EQ(
            sio_send_data(port_, message.data(), static_cast<uint32_t>(message.size()), &done), 0);
        SimBytes out(expect);
        sio_read_data(port_, out.data(), expect, &done);
        out.resize(done);
        return out;
    }
    static std::string write_message(const std::string& address, const std::string& text,
                                     int bcc_flip = 0) {
        SimBytes block = SimTempController::framed(text);
        block.back() = static_cast<uint8_t>(block.back() ^ bcc_flip);
        return kEot + address + std::string(block.begin(), block.end());
    }

    SimTempController model_;
    SimLine line_;
    SerialHandle port_ = SIO_INVALID_HANDLE;
};

TEST_F(TempModel, RefusesBadBlockChecksAndUnknownMnemonicsAndReportsWhy) {
    const std::string error_status = kEot + "0011EE";
    EXPECT_EQ(exchange(write_message("0011", "SL0030.", 0x40), 1), SimBytes{0x15});
    EXPECT_EQ(exchange(error_status, 10), SimTempController::framed("EE0001."));
    EXPECT_EQ(exchange(write_message("0011", "ZZ0030."), 1), SimBytes{0x15});
    EXPECT_EQ(exchange(error_status, 10), SimTempController::framed("EE0002."));
    EXPECT_EQ(model_.param("SL"), "0025.");
    EXPECT_EQ(exchange(write_message("0011", "SL0030."), 1), SimBytes{0x06});
    EXPECT_EQ(model_.param("SL"), "0030.");
}

TEST_F(TempModel, PollsOfUnknownMnemonicsGetEotAndOtherAddressesNothing) {
    EXPECT_EQ(exchange(kEot + "0011ZZ" + kEnq, 1), SimBytes{0x04});
    EXPECT_TRUE(exchange(write_message("0012", "SL0030."), 1).empty());
    EXPECT_TRUE(exchange(kEot + "0021PV" + kEnq, 1).empty());
    EXPECT_EQ(exchange(kEot + "0011PV" + kEnq, 10), SimTempController::framed("PV0025."));
}

}  // namespace
