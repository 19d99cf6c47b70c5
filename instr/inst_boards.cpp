#include "board/board.h"
#include "common/msg.h"
#include "common/status.h"
#include "config/rampcfg.h"
#include "config/sysinfo.h"
#include "instr/inst_power_internal.h"
#include "instr/ramp_set.h"
#include "pifoc/pifoc.h"

namespace {

bool line_open(const SystemInfo* info) {
    return info->serial.instrBdPort != SIO_INVALID_HANDLE;
}

// Everything a serial board's power-on may have left behind. The first
// failure is returned; every step runs.
int release(SystemInfo* info) {
    int result = NO_ERROR;
    if (info->instrBdType == SB_BOARD_SERIAL1 && info->pifocState) {
        result = vr_power_off_pifoc(info);
        // The ramps it pointed at are released below.
        info->pifocState->ramps = nullptr;
    }
    if (line_open(info)) {
        int closed = ur_closeUZ(info);
        if (result == NO_ERROR) result = closed;
    }
    rr_ramp_set_release(&info->power.rampSet);
    return result;
}

int start_pifoc(SystemInfo* info) {
    int result = vr_create_pifoc_state(info);
    if (result != NO_ERROR) return result;
    result = vr_load_pifoc_info(info);
    // No history file yet: a new drive, whose bookkeeping starts now.
    if (result != NO_ERROR && result != ERR_CANT_OPEN_FILE) return result;
    info->pifocState->ramps = &info->power.rampSet;
    return vr_init_pifoc(info);
}

int power_on_steps(SystemInfo* info) {
    int result = ur_initUZ(info);
    if (result != NO_ERROR) return result;
    if ((result = ur_drainUZ(info)) != NO_ERROR) return result;
    uint8_t version = 0;
    if ((result = ur_sw_version(info, &version)) != NO_ERROR) return result;
    info->power.instrBdVersion = version;
    if ((result = inst_serial_check(info)) != NO_ERROR) return result;
    if (info->instrBdType == SB_BOARD_SERIAL1) {
        uint8_t present = 0;
        if ((result = ur_expansion_bd(info, &present)) != NO_ERROR) return result;
        info->power.pifocCompPresent = present != 0;
    }
    if ((result = rr_get_ramp_info(info, &info->power.rampSet)) != NO_ERROR) return result;
    if (info->instrBdType == SB_BOARD_SERIAL1) return start_pifoc(info);
    return NO_ERROR;
}

}  // namespace

int inst_serial_on(SystemInfo* info) {
    // An earlier power-on never powered off: end it first, so the drive's
    // history is saved before its state is made again.
    if (line_open(info)) release(info);
    rr_ramp_set_release(&info->power.rampSet);
    int result = power_on_steps(info);
    if (result != NO_ERROR) release(info);
    return result;
}

int inst_serial_off(SystemInfo* info) {
    return release(info);
}

int inst_serial_check(SystemInfo* info) {
    uint8_t status = 0;
    int result = ur_power_check(info, &status);
    if (result != NO_ERROR) return result;
    if (status == 0) return NO_ERROR;
    ur_board_status_error(info->instrBdType, status);
    ur_supply_diagnostic(info, status);
    return ERR_INST_POWER;
}
