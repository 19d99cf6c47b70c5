#include "sim/board_model.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {
int code_of(int type, const char* name) {
    int count = 0;
    const SimBoardCmd* rows = sim_board_table(type, &count);
    for (int i = 0; i < count; ++i)
        if (std::strcmp(rows[i].name, name) == 0) return rows[i].code;
    return -1;
}

// A request frame with its checksum.
SimBytes request(int code, const SimBytes& payload = {}) {
    SimBytes body{static_cast<uint8_t>(code)};
    body.insert(body.end(), payload.begin(), payload.end());
    return SimBoardModel::frame(body);
}

SimBytes ramp_data(int code, const SimBytes& words, bool good_data_sum = true) {
    uint8_t n = static_cast<uint8_t>(words.size() / 2);
    SimBytes frame{4, static_cast<uint8_t>(code), 0, n, static_cast<uint8_t>(code + n)};
    frame.insert(frame.end(), words.begin(), words.end());
    unsigned sum = 0;
    for (uint8_t b : words) sum += b;
    frame.push_back(static_cast<uint8_t>(sum + (good_data_sum ? 0 : 1)));
    return frame;
}

const SimBytes kAck{2, 0xFF, 0xFF};
const SimBytes kNak{2, 0xFE, 0xFE};

TEST(SimBoard, TablesHaveTheirBoardTypesSizes) {
    int count = 0;
    EXPECT_NE(sim_board_table(1, &count), nullptr);
    EXPECT_EQ(count, 59);
    sim_board_table(3, &count);
    EXPECT_EQ(count, 63);
    EXPECT_EQ(sim_board_table(6, &count)[0].code, 1);
    EXPECT_EQ(count, 42);
    sim_board_table(7, &count);
    EXPECT_EQ(count, 42);
    EXPECT_EQ(sim_board_table(8, &count), nullptr);
    EXPECT_EQ(count, 0);
}

TEST(SimBoard, FramesAreDelimitedByTheirLengthByte) {
    SimBoardModel board(1);
    SimBytes power = request(code_of(1, "UZ1_POWER_CHK_CMD"));
    EXPECT_EQ(board.frame_length(power.data(), 2), 0);
    EXPECT_EQ(board.frame_length(power.data(), power.size()), 3);
    const uint8_t noise[] = {0x00, 0x02};
    EXPECT_EQ(board.frame_length(noise, 2), -1);
    const uint8_t high[] = {0x90};
    EXPECT_EQ(board.frame_length(high, 1), -1);
    // Ramp data: the words and their checksum follow the counted header.
    SimBytes data = ramp_data(code_of(1, "UZ1_RAMP_DATA_CMD"), {0, 1, 0, 2});
    EXPECT_EQ(board.frame_length(data.data(), data.size() - 1), 0);
    EXPECT_EQ(board.frame_length(data.data(), data.size()), static_cast<long>(data.size()));
}

TEST(SimBoard, MalformedRequestsAreRefused) {
    SimBoardModel board(3);
    int power = code_of(3, "UZ2_POWER_CHK_CMD");
    EXPECT_EQ(board.reply(request(power)), (SimBytes{3, 49, 0, 49}));
    SimBytes bad = request(power);
    bad.back() ^= 1;
    EXPECT_EQ(board.reply(bad), kNak);
    EXPECT_EQ(board.reply(request(power, {0})), kNak);                       // wrong length
    EXPECT_EQ(board.reply(request(code_of(3, "UZ2_FKEY_CMD"), {0})), kNak);  // a report
    EXPECT_EQ(board.reply(request(99)), kNak);                               // no such code
    EXPECT_EQ(board.reply(request(code_of(3, "UZ2_READ_IO_CMD"), {0x0F, 0xFF})), kNak);
    EXPECT_EQ(board.commands(), std::vector<int>{power});
}

TEST(SimBoard, RampSlotsFollowLoadDataCompleteAndDelete) {
    SimBoardModel board(6);
    EXPECT_EQ(board.ramp_slot_count(), 4);
    int data = code_of(6, "VOK_RAMP_DATA_CMD");
    int request_code = code_of(6, "VOK_RAMP_REQUEST_CMD");
    SimBytes words{0x12, 0x34, 0x56, 0x78};

    // Data without a load, and a slot the board does not have.
    EXPECT_EQ(board.reply(ramp_data(data, words)), (SimBytes{3, 34, 2, 36}));
    EXPECT_EQ(board.reply(request(code_of(6, "VOK_RAMP_LOAD_CMD"),
                                  {4, 7, '+', 0, 2, 0, 0, 0, 0, 0, 0, 0, 0})),
              kNak);

    ASSERT_EQ(board.reply(request(code_of(6, "VOK_RAMP_LOAD_CMD"),
                                  {2, 7, '-', 0, 2, 0, 0, 0, 0, 0, 0, 0, 0})),
              kAck);
    EXPECT_EQ(board.reply(ramp_data(data, words, false)), (SimBytes{3, 34, 1, 35}));
    EXPECT_EQ(board.reply(ramp_data(data, words)), (SimBytes{3, 34, 0, 34}));
    EXPECT_EQ(board.reply(ramp_data(data, words)), (SimBytes{3, 34, 3, 37}));  // too long
    ASSERT_EQ(board.reply(request(code_of(6, "VOK_RAMP_COMPLETE_CMD"))), kAck);
    EXPECT_EQ(board.ramp_slot(2).words, (std::vector<uint16_t>{0x1234, 0x5678}));
    EXPECT_EQ(board.reply(request(request_code)),
              SimBoardModel::frame({static_cast<uint8_t>(request_code), 0xFF, 0xFF, 7, 0xFF}));

    int start = code_of(6, "VOK_RAMP_START_CMD");
    EXPECT_EQ(board.reply(request(start, {1})), kNak);  // empty slot
    EXPECT_EQ(board.reply(request(start, {2})), kAck);
    EXPECT_EQ(board.started_ramp(), 2);
    ASSERT_EQ(board.reply(request(code_of(6, "VOK_RAMP_DELETE_CMD"), {2})), kAck);
    EXPECT_FALSE(board.ramp_slot(2).loaded);
    EXPECT_EQ(board.started_ramp(), -1);
}

TEST(SimBoard, UpdateRateOfAnEmptySlotIsAnInvalidRampIndex) {
    SimBoardModel first(1), ftp(7);
    SimBytes payload{0, 0, 10};
    EXPECT_EQ(first.reply(request(code_of(1, "UZ1_RAMP_UPDATERATE_CMD"), payload))[2], 23);
    EXPECT_EQ(ftp.reply(request(code_of(7, "FTP_RAMP_UPDATERATE_CMD"), payload))[2], 19);
}

TEST(SimBoard, UnmodelledCommandsAnswerWithTheirTablesLengths) {
    SimBoardModel board(3);
    SimBytes axiom = board.reply(request(code_of(3, "UZ2_AXIOM_POS_CMD")));
    EXPECT_EQ(axiom.size(), 9u);
    EXPECT_EQ(axiom[0], 8);
    EXPECT_EQ(board.reply(request(code_of(3, "UZ2_WAND_CMD"), {1})), kAck);
    EXPECT_EQ(SimBoardModel::report(code_of(3, "UZ2_FKEY_CMD"), 8), (SimBytes{3, 135, 8, 143}));
}
}  // namespace
