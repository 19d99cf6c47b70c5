#include "posinstr/posinstr_board.h"

#include <atomic>

#include "board/board.h"
#include "common/status.h"
#include "config/sysinfo.h"

namespace {
// The instrument whose board carries the counter. Installed once at start-up,
// before any reading.
std::atomic<SystemInfo*> g_instrument{nullptr};

int counter_init(PosInstr*, int* devStatus) {
    SystemInfo* info = g_instrument.load();
    if (info == nullptr) return ERR_NO_POSITION_INSTR;
    uint8_t status = 0;
    int result = ur_axiom_init(info, &status);
    *devStatus = status;
    return result;
}

int counter_read(PosInstr*, PosInstrSample* sample) {
    SystemInfo* info = g_instrument.load();
    if (info == nullptr) return ERR_NO_POSITION_INSTR;
    int32_t raw = 0;
    uint16_t status = 0;
    int result = ur_axiom_pos(info, &raw, &status);
    if (result != NO_ERROR) return result;
    sample->raw = raw;
    sample->value = 0.0;
    sample->status = status;
    return NO_ERROR;
}

// Type 1 is never opened: the counter lives on the board line, which the board
// layer opens.
const PosInstrDriver kBoardCounter = {nullptr, counter_init, counter_read};
}  // namespace

void posinstr_install_board_counter(SystemInfo* info) {
    g_instrument.store(info);
    posinstr_set_driver(POSINSTR_AXIOM, info != nullptr ? &kBoardCounter : nullptr);
}
