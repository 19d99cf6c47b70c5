// The drive operations: level writes, cook, level selection, leakage and
// compensation measurements through the instrument board, start and power-off.
#include <cmath>
#include <cstdio>
#include <string>

#include "board/board.h"
#include "common/abort.h"
#include "common/msg.h"
#include "common/status.h"
#include "common/timing.h"
#include "config/rampcfg.h"
#include "config/sysinfo.h"
#include "pifoc/pifoc.h"
#include "pifoc/pifoc_internal.h"
#include "platform/clock.h"

using namespace vr_detail;

namespace {

constexpr double kLeakageSettleS = 60.0;
constexpr int kLeakageAdcValue = 625;
constexpr int kLeakageReads = 10;
constexpr double kReferenceScanLen = 10.2;
constexpr int64_t kFreshStartS = 600;

int check(SystemInfo* info) {
    if (info == nullptr) return ERR_INVALID_PARAM;
    if (is_can(info)) return ERR_WRONG_INSTR_BOARD;
    if (!info->pifocState) return ERR_INVALID_PARAM;
    return NO_ERROR;
}

bool uz1_level_system(int systemType) {
    return systemType == 5 || systemType == 7 || systemType == 11 || systemType == 13 ||
           systemType == 20;
}

void sleep_seconds(double seconds) {
    if (seconds > 0) plat_sleep_ns(static_cast<int64_t>(seconds * 1e9));
}

void settle(const PifocState* s) {
    sleep_seconds(s->levelTime + VR_SETTLE_S - u_time_seconds());
}

int send_byte(SystemInfo* info, int code, int value) {
    uint8_t payload = static_cast<uint8_t>(value);
    return ur_command(info, code, &payload, 1, nullptr, 0);
}

RrRamp* current_ramp(SystemInfo* info) {
    const PifocState* s = info->pifocState.get();
    if (s->ramps == nullptr || s->currentRamp < 0 || s->currentRamp >= s->ramps->count)
        return nullptr;
    return &s->ramps->ramps[s->currentRamp];
}

// One leakage measurement in ADC counts.
int measure_leakage(SystemInfo* info, int32_t* leakage) {
    int result = ur_pifoc_adc_set(info, 1, 2, 1, kLeakageAdcValue);
    if (result != NO_ERROR) return result;
    plat_sleep_ms(kLeakageAdcValue * 9000 / 15625);
    int32_t value = 0;
    result = ur_pifoc_adc_read(info, 1, &value);
    if (result != NO_ERROR) return result;
    result = ur_pifoc_adc_set(info, 0, 2, 1, kLeakageAdcValue);
    if (result != NO_ERROR) return result;
    int64_t sum = 0;
    for (int i = 0; i < kLeakageReads; ++i) {
        result = ur_pifoc_adc_read(info, 1, &value);
        if (result != NO_ERROR) return result;
        sum += value;
    }
    *leakage = static_cast<int32_t>(sum / kLeakageReads);
    return NO_ERROR;
}

// The compensation read, with a bad value's marker also kept in the log.
int read_comp(SystemInfo* info, int32_t values[3]) {
    uint8_t reply[25] = {};
    int result = ur_command(info, UZ1_PC_READ_CMD, nullptr, 0, reply, sizeof reply);
    if (result != NO_ERROR) return result;
    static const char* const kNames[5] = {"min", "max", "first", "mid", "last"};
    uint8_t resolution = reply[24];
    int32_t scaled[5] = {};
    for (int i = 0; i < 5; ++i) {
        const uint8_t* p = reply + 4 + 4 * i;
        uint32_t raw = static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
                       static_cast<uint32_t>(p[2]) << 8 | p[3];
        if (raw == 0x007FFFFFu || raw == 0xFF800000u) {
            char marker[96];
            std::snprintf(marker, sizeof marker, "### uz_pifoc_comp: bad %s value 0x%8.8x\n",
                          kNames[i], raw);
            u_msg_sink("%s", marker);
            vr_log_pifoc_diagnostic(info, marker);
            return ERR_PIFOC_COMP;
        }
        // Four fractional bits on the host; a finer board resolution is corrupt.
        if (resolution > 4) return ERR_PIFOC_COMP;
        scaled[i] = static_cast<int32_t>(raw << (4 - resolution));
    }
    values[0] = scaled[2];
    values[1] = scaled[3];
    values[2] = scaled[4];
    return NO_ERROR;
}

// The reference ramp of the deglitch: a loaded SWLI ramp of the reference
// scan length without grab skip.
RrRamp* reference_ramp(PifocState* s, int* index) {
    if (s->ramps == nullptr) return nullptr;
    for (int i = 0; i < s->ramps->count; ++i) {
        RrRamp& r = s->ramps->ramps[i];
        if (r.hdr.rampType == RR_TYPE_SWLI && r.hdr.grabSkip == 0 &&
            std::fabs(r.hdr.scanLen - kReferenceScanLen) < 0.05) {
            *index = i;
            return &r;
        }
    }
    return nullptr;
}

// A board slot no other ramp of the set holds.
int free_slot(SystemInfo* info, const PifocState* s) {
    int slots = ur_ramp_slot_count(info->instrBdType);
    for (int slot = 0; slot < slots; ++slot) {
        bool taken = false;
        for (int i = 0; i < s->ramps->count && !taken; ++i)
            taken = s->ramps->ramps[i].inInstr && s->ramps->ramps[i].instrSlot == slot;
        if (!taken) return slot;
    }
    return 0;
}

}  // namespace

int vr_write_pifoc_level(SystemInfo* info, int level, bool wait) {
    int result = check(info);
    if (result != NO_ERROR) return result;
    // A level outside the DAC range would be written truncated to 16 bits.
    if (level < 0 || level > 0xFFFF) return ERR_PARAM_OUT_OF_RANGE;
    uint8_t payload[2] = {static_cast<uint8_t>(level >> 8), static_cast<uint8_t>(level)};
    if (uz1_level_system(info->systemType))
        result = ur_command(info, UZ1_PIFOC_LEVEL_CMD, payload, 2, nullptr, 0);
    else if (info->systemType == 16)
        result = ur_command(info, FTP_PIFOC_LEVEL_CMD, payload, 2, nullptr, 0);
    if (result != NO_ERROR) return result;
    PifocState* s = info->pifocState.get();
    s->levelTime = u_time_seconds();
    if (wait) settle(s);
    return NO_ERROR;
}

int vr_pifoc_cook(SystemInfo* info, VrCookProgress progress, void* user) {
    if (info == nullptr || is_can(info) || !info->pifocState) return ERR_INVALID_PARAM;
    PifocState* s = info->pifocState.get();
    struct Phase {
        int level, first, passes, askFrom;
    };
    const Phase phases[2] = {{VR_COOK_HIGH_LEVEL, 12, 5, 4}, {VR_COOK_LOW_LEVEL, 7, 7, 6}};
    if (progress != nullptr) progress(user, 12);
    int result = NO_ERROR;
    for (const Phase& phase : phases) {
        result = vr_write_pifoc_level(info, phase.level, false);
        if (result != NO_ERROR) break;
        for (int pass = 1; pass <= phase.passes && result == NO_ERROR; ++pass) {
            if (progress != nullptr) {
                progress(user, phase.first - pass + 1);
                if (pass >= phase.askFrom && u_abort_check(0) != 0) {
                    result = ERR_KORVATEN_ABORTED;
                    break;
                }
            }
            plat_sleep_ms(1000);
        }
        if (result != NO_ERROR) break;
    }
    if (result == NO_ERROR) s->cooked = true;
    int restore = vr_write_pifoc_level(info, s->level, true);
    return result != NO_ERROR ? result : restore;
}

int vr_select_pifoc_level(SystemInfo* info, int mode, int kind) {
    int result = check(info);
    if (result != NO_ERROR) return result;
    PifocState* s = info->pifocState.get();
    SysPowerState& power = info->power;
    if (mode != power.pztType && power.instrBdVersion > 3) {
        if (power.pztType == 1) {
            result = vr_write_pifoc_level(info, 0, false);
            if (result != NO_ERROR) return result;
            s->level = 0;
            s->levelKind = 0;
            s->onState = -1;
        }
        int powerCmd = info->instrBdType == SB_BOARD_SERIAL2 ? static_cast<int>(UZ2_PZT_POWER_CMD)
                                                             : static_cast<int>(UZ1_PZT_POWER_CMD);
        if ((result = send_byte(info, powerCmd, 0)) != NO_ERROR) return result;
        if ((result = send_byte(info, UZ1_PZT_TYPE_CMD, mode)) != NO_ERROR) return result;
        power.pztType = mode;
        if ((result = send_byte(info, powerCmd, 1)) != NO_ERROR) return result;
    }
    if (power.pztType == 1) {
        int level = kind == 1 ? s->levelB : kind == 2 ? s->levelU : 0;
        result = vr_write_pifoc_level(info, level, false);
        if (result != NO_ERROR) return result;
        s->level = level;
        s->levelKind = kind;
        s->onState = level >= s->levelB ? 1 : -1;
    }
    if (s->noAging) return NO_ERROR;
    vr_update_pifoc_time_on(info, calendar_now());
    return vr_save_pifoc_info(info);
}

int vr_update_pifoc_leakage(SystemInfo* info, bool force) {
    if (info == nullptr) return ERR_INVALID_PARAM;
    if (is_can(info)) return ERR_WRONG_INSTR_BOARD;
    if (!info->pifocState || !info->power.pifocCompPresent) return NO_ERROR;
    PifocState* s = info->pifocState.get();
    int32_t leakage = s->pifocLeakage;
    double now = u_time_seconds();
    int result = NO_ERROR;
    bool attempted = false;
    bool boardFailed = false;
    char rangeMarker[96] = {};
    if (info->power.instrumentOn && s->level == s->levelB && now > s->levelTime + kLeakageSettleS) {
        attempted = true;
        int32_t measured = 0;
        result = measure_leakage(info, &measured);
        if (result == NO_ERROR) {
            leakage = measured;
            double ua = measured * VR_UA_PER_COUNT;
            if (ua >= VR_LEAKAGE_MIN_UA && ua <= VR_LEAKAGE_MAX_UA) {
                s->pifocLeakage = measured;
            } else {
                std::snprintf(rangeMarker, sizeof rangeMarker,
                              "### LEAKAGE IS OUT OF RANGE [%g,%g] uA\n", VR_LEAKAGE_MIN_UA,
                              VR_LEAKAGE_MAX_UA);
                u_msg_sink("vr_update_pifoc_leakage: leakage = %d uA is out of range [%g,%g]\n",
                           static_cast<int>(ua), VR_LEAKAGE_MIN_UA, VR_LEAKAGE_MAX_UA);
                result = ERR_PIFOC_LEAKAGE;
            }
        } else {
            boardFailed = true;
        }
    }
    if (!force && !attempted) return result;
    if (!force && boardFailed) leakage = 0;
    int64_t seconds = calendar_now();
    fill_leakage_group(seconds - vr_pifoc_first_start(), leakage * VR_UA_PER_COUNT,
                       attempted ? 1 : 0);
    fill_date_group(seconds);
    if (force && result == NO_ERROR) return NO_ERROR;
    fill_zero_comp_group();
    const char* marker = boardFailed              ? "### INVALID LEAKAGE MEASUREMENT\n"
                         : rangeMarker[0] != '\0' ? rangeMarker
                                                  : nullptr;
    int logged = log_line(info, marker);
    return result != NO_ERROR ? result : logged;
}

int vr_get_pifoc_comp_gain(SystemInfo* info, double* gain) {
    if (gain != nullptr) *gain = 0;
    if (info == nullptr) return ERR_INVALID_PARAM;
    if (is_can(info)) return ERR_WRONG_INSTR_BOARD;
    if (!info->pifocState || !info->power.pifocCompPresent) return ERR_INVALID_PARAM;
    PifocState* s = info->pifocState.get();
    if (s->ramps == nullptr || s->ramps->count == 0) return ERR_NO_RAMP_INFO;
    RrRamp* ramp = current_ramp(info);
    if (ramp == nullptr) return ERR_NO_RAMP_INFO;
    if (ramp->hdr.adcMid == 0) return ERR_INVALID_PARAM;

    int result = ur_command(info, UZ1_PC_RAMP_DONE_CMD, nullptr, 0, nullptr, 0);
    if (result != NO_ERROR) return result;
    int32_t comp[3] = {};  // first, mid, last
    result = read_comp(info, comp);
    if (result != NO_ERROR) return result;

    double divisor = static_cast<double>(comp[1]) - s->pifocLeakage;
    double g = divisor == 0 ? 9.9999
                            : (static_cast<double>(ramp->hdr.adcMid) - ramp->hdr.leakage) / divisor;
    LogGroups& lg = groups();
    std::snprintf(lg.comp, sizeof lg.comp, "%4.0f %7.4f %7.4f %7.4f %6.4f",
                  static_cast<double>(ramp->hdr.scanLen), comp[0] * VR_UA_PER_COUNT,
                  comp[1] * VR_UA_PER_COUNT, comp[2] * VR_UA_PER_COUNT, g);
    if (lg.leakage[0] == '\0') {
        // No leakage update yet in this process: the line still gets its columns.
        int64_t now = calendar_now();
        fill_leakage_group(now - vr_pifoc_first_start(), s->pifocLeakage * VR_UA_PER_COUNT, 0);
        fill_date_group(now);
    }
    log_line(info, nullptr);

    bool fresh = calendar_now() - vr_pifoc_last_start() < kFreshStartS;
    double low = 0.2, high = fresh ? 3.0 : 2.2;
    if (ramp->hdr.grabSkip < 3) {
        low = 0.8;
        high = fresh ? 1.5 : 1.3;
    }
    if (g < low || g > high) {
        char marker[96];
        std::snprintf(marker, sizeof marker, "### GAIN IS OUT OF RANGE [%g,%g]\n", low, high);
        vr_log_pifoc_diagnostic(info, marker);
        u_msg_sink("vr_get_pifoc_comp_gain: gain = %g is out of range [%g,%g]\n", g, low, high);
        return ERR_PIFOC_GAIN;
    }
    if (gain != nullptr) *gain = ramp->hdr.scanCal > 0 ? g / ramp->hdr.scanCal : g;
    return NO_ERROR;
}

int vr_pifoc_comp_deglitch(SystemInfo* info) {
    int result = check(info);
    if (result != NO_ERROR) return result;
    PifocState* s = info->pifocState.get();
    int index = -1;
    RrRamp* ramp = reference_ramp(s, &index);
    if (ramp == nullptr) return ERR_NO_RAMP_INFO;
    if (ramp->hdr.compGain <= 0) return ERR_RAMP_NOT_COMP;
    if (!ramp->inInstr || ramp->instrSlot == RR_EMPTY_SLOT) {
        int slot = free_slot(info, s);
        result = ur_ramp_download(info, slot, &ramp->hdr, ramp->points);
        if (result != NO_ERROR) return result;
        ramp->inInstr = true;
        ramp->instrSlot = slot;
    }
    s->currentRamp = index;
    result = vr_update_pifoc_leakage(info, true);
    if (result != NO_ERROR) return result;
    // Slot, compensation gain and filter, and the ramp's leakage and mid
    // reference, as 8 payload bytes.
    const rr_ramp_hdr_t& h = ramp->hdr;
    uint8_t payload[8] = {
        static_cast<uint8_t>(ramp->instrSlot), static_cast<uint8_t>(h.compGain),
        static_cast<uint8_t>(h.compFilter),    static_cast<uint8_t>(h.leakage >> 8),
        static_cast<uint8_t>(h.leakage),       static_cast<uint8_t>(h.adcMid >> 16),
        static_cast<uint8_t>(h.adcMid >> 8),   static_cast<uint8_t>(h.adcMid)};
    result = ur_command(info, UZ1_RAMP_COMP_LOAD_CMD, payload, 8, nullptr, 0);
    if (result != NO_ERROR) return result;
    result = ur_ramp_start(info, ramp->instrSlot);
    if (result != NO_ERROR) return result;
    double duration = h.sampleClkFreq > 0 ? h.nPoints / (h.sampleClkFreq * 1000.0) : 0;
    plat_sleep_ms(static_cast<int64_t>(std::lround(duration)) * 1000);
    // The run is complete once the board is idle again.
    for (int poll = 0; poll < 50; ++poll) {
        uint8_t idle = 0;
        result = ur_ramp_idle(info, &idle);
        if (result != NO_ERROR) return result;
        if (idle != 0) break;
        plat_sleep_ms(100);
    }
    result = vr_write_pifoc_level(info, s->level, false);
    if (result != NO_ERROR) return result;
    double gain = 0;
    return vr_get_pifoc_comp_gain(info, &gain);
}

int vr_init_pifoc(SystemInfo* info) {
    int result = check(info);
    if (result != NO_ERROR) return result;
    PifocState* s = info->pifocState.get();
    if (s->ramps == nullptr || s->ramps->count == 0) return ERR_NO_RAMP_INFO;

    s->noAging = !info->power.pifocCompPresent && s->alpha == 1.0 && s->beta == 0;
    s->levelB = 0;
    s->levelU = 0;
    bool haveB = false, haveU = false;
    for (int i = 0; i < s->ramps->count && !(haveB && haveU); ++i) {
        const rr_ramp_hdr_t& h = s->ramps->ramps[i].hdr;
        if (!haveB && h.polar == 'b') {
            s->levelB = h.offset;
            haveB = true;
        } else if (haveB && !haveU && h.polar == 'u') {
            s->levelU = h.offset;
            haveU = true;
        }
    }
    if (!haveB) return ERR_NO_RAMP_INFO;
    s->levelKind = 1;
    s->level = s->levelB;

    int64_t now = calendar_now();
    mark_start(now);

    if (!s->noAging) {
        bool known = s->onTime != 0;
        if (!known) {
            if (vr_load_pifoc_info(info) != NO_ERROR) {
                s->onTime = 1;
                s->lastUpdate = now;
                s->pifocLeakage = 0;
            } else {
                s->onState = -1;
                vr_update_pifoc_time_on(info, now);
            }
            if (info->power.pifocCompPresent) {
                vr_log_pifoc_diagnostic(info, nullptr);
                fill_leakage_group(now - vr_pifoc_first_start(), s->pifocLeakage * VR_UA_PER_COUNT,
                                   0);
                fill_zero_comp_group();
                fill_date_group(now);
                log_line(info, nullptr);
            }
        } else if (info->power.pifocCompPresent) {
            vr_log_pifoc_diagnostic(info, "### RESET\n");
        }
        if (!s->cooked) {
            if (cook_switch()) {
                result = vr_pifoc_cook(info, nullptr, nullptr);
                if (result != NO_ERROR) return result;
            } else {
                u_msg_sink("vr_init_pifoc: skipped pifoc cook\n");
            }
        }
    }

    s->onState = s->levelB == s->level ? 1 : -1;
    result = vr_write_pifoc_level(info, s->level, false);
    if (result != NO_ERROR) return result;

    if (info->power.pifocCompPresent && info->power.instrBdVersion < 6 && deglitch_switch()) {
        settle(s);
        result = vr_pifoc_comp_deglitch(info);
        if (result != NO_ERROR)
            u_msg_sink("vr_init_pifoc: vr_pifoc_comp_deglitch error: %s\n", u_error_name(result));
    }
    return NO_ERROR;
}

int vr_power_off_pifoc(SystemInfo* info) {
    if (info == nullptr || info->instrBdType != SB_BOARD_SERIAL1 || info->power.pztType != 1 ||
        !info->pifocState || info->pifocState->noAging)
        return NO_ERROR;
    // Every step runs: a failed leakage measurement must neither lose the
    // history nor leave the drive biased.
    vr_set_pifoc_state(info);
    vr_update_pifoc_time_on(info, calendar_now());
    int result = vr_update_pifoc_leakage(info, false);
    int saved = vr_save_pifoc_info(info);
    if (result == NO_ERROR) result = saved;
    vr_print_pifoc_time_on(info);
    int zero = vr_write_pifoc_level(info, 0, true);
    if (result == NO_ERROR) result = zero;
    return result;
}
