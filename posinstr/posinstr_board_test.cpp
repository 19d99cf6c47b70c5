// The position counter read through the instrument board, against the
// simulated board on a pseudo-terminal.
#include "posinstr/posinstr_board.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "board/board.h"
#include "board/board_cmds.h"
#include "board/testing/sim_board.h"
#include "common/status.h"
#include "common/testing/capture_sink.h"
#include "config/sysinfo.h"
#include "devpoll/devpoll.h"
#include "platform/clock.h"
#include "sim/board_model.h"
#include "sim/line.h"
#include "sim/testing/pty_skip.h"

namespace {
const bool kScaled = [] {
    if (std::getenv("SURF_CLOCK_SCALE") == nullptr) plat_set_clock_scale(20);
    return true;
}();

SimBytes counter_reply(uint32_t raw, uint16_t status) {
    return SimBytes{static_cast<uint8_t>(raw >> 24),   static_cast<uint8_t>(raw >> 16),
                    static_cast<uint8_t>(raw >> 8),    static_cast<uint8_t>(raw),
                    static_cast<uint8_t>(status >> 8), static_cast<uint8_t>(status)};
}

class BoardCounter : public ::testing::Test {
  protected:
    void SetUp() override {
        info_ = sb_system_info(0);
        SKIP_WITHOUT_PTY();
        ASSERT_TRUE(board_.start(info_, 3));
        model_ = &board_.model();
        posinstr_install_board_counter(info_);
        p_.posInstrType = POSINSTR_AXIOM;
        p_.unitsCode = POSINSTR_UNIT_WAVE_25;
        p_.scale = 1;
    }
    void TearDown() override {
        posinstr_install_board_counter(nullptr);
        board_.stop();
        info_->instrBdType = 0;
        info_->instrComm.clear();
    }

    SimBoardSession board_;
    SimBoardModel* model_ = nullptr;
    SystemInfo* info_ = nullptr;
    PosInstr p_;
    CapturedMessages messages_;
};

TEST_F(BoardCounter, FirstReadingIsZeroAndTheCounterCountsThroughTheWrap) {
    double mm = -1;
    ASSERT_EQ(posinstr_read_units(&p_, POSINSTR_UNIT_MM, &mm), NO_ERROR);
    EXPECT_EQ(mm, 0.0);

    model_->set_reply(UZ2_AXIOM_POS_CMD, counter_reply(0x7FFFFFF0, 0));
    ASSERT_EQ(posinstr_read(&p_), NO_ERROR);
    EXPECT_EQ(p_.lastRaw, 0x7FFFFFF0);
    const double start = p_.position;
    model_->set_reply(UZ2_AXIOM_POS_CMD, counter_reply(0x10, 0));
    ASSERT_EQ(posinstr_read(&p_), NO_ERROR);
    EXPECT_EQ(p_.position - start, 32.0);
    EXPECT_EQ(messages_.text(), "");
}

TEST_F(BoardCounter, BoardStatusOfTheCounterIsReported) {
    model_->set_reply(UZ2_AXIOM_INIT_CMD, SimBytes{5});
    EXPECT_EQ(posinstr_init(&p_, nullptr), ERR_POS_INSTR_READ);
    EXPECT_NE(messages_.text().find("pi_dmiCtrl::initAxiom - pi_axiom_init status: 5\n"),
              std::string::npos);
}

TEST_F(BoardCounter, AClosedBoardLineIsAnInitialisationFailure) {
    ASSERT_EQ(ur_closeUZ(info_), 0);
    EXPECT_NE(posinstr_init(&p_, nullptr), NO_ERROR);
    EXPECT_NE(messages_.text().find("pi_dmiCtrl::initAxiom - Error calling pi_axiom_init: "),
              std::string::npos);
}
}  // namespace
