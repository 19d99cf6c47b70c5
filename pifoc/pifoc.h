// Piezo-focus aging and leakage bookkeeping of the serial-board instruments:
// the effective time-on of the drive (grows while biased, decays
// logarithmically while resting), the aging gain derived from it, the info
// file that carries the history between runs, leakage and compensation
// measurements through the instrument board, and the diagnostic log.
//
// One thread at a time per instrument; the process-wide values (start times,
// log limit, switches, the current log line's column groups) are shared by
// every instrument and are meant for the power-on/power-off thread.
#pragma once

#include <cstdint>

struct SystemInfo;
struct RrRampSet;

// Leakage and compensation currents: ADC counts to microamperes.
constexpr double VR_UA_PER_COUNT = 4.4793068e-7;
constexpr double VR_LEAKAGE_MIN_UA = -14.0;
constexpr double VR_LEAKAGE_MAX_UA = 0.0;
constexpr double VR_TIME_GAIN_MIN = 0.8;
constexpr double VR_TIME_GAIN_MAX = 1.15;
constexpr int VR_LOG_LIMIT_DEFAULT = 1000000;
constexpr int VR_COOK_HIGH_LEVEL = 50000;
constexpr int VR_COOK_LOW_LEVEL = 10000;
constexpr double VR_SETTLE_S = 0.131;

struct PifocState {
    int32_t id;            // names the drive's files
    int32_t levelKind;     // 1 the 'b' level, 2 the 'u' level, 0 none
    int32_t level;         // DAC level last written
    int32_t levelB;        // offset of the first loaded 'b' ramp
    int32_t levelU;        // offset of the first 'u' ramp after it
    double levelTime;      // u_time_seconds() of the last level write
    int32_t onState;       // 1 biased, -1 resting
    double beta;           // aging slope per decade
    double alpha;          // aging gain at 1 s of time-on
    bool noAging;          // no compensation board, alpha 1 and beta 0
    int64_t onTime;        // effective time-on, seconds; 0 until known
    int64_t lastUpdate;    // calendar time up to which onTime is accounted
    int32_t pifocLeakage;  // last accepted leakage, ADC counts
    bool cooked;

    // The instrument's loaded ramps and the current one, as the ramp
    // management keeps them (not owned; null/-1 when none).
    RrRampSet* ramps;
    int32_t currentRamp;
};

// Creates the instrument's state from its calibration values (pifocId,
// pifocAlpha, pifocBeta) and installs its deleter; an existing state is
// replaced. 0, ERR_INVALID_PARAM (no record), ERR_NO_MEM.
int vr_create_pifoc_state(SystemInfo* info);

// The state of an instrument, or null.
PifocState* vr_pifoc_state(SystemInfo* info);

// Start of the drive at power-on.
int vr_init_pifoc(SystemInfo* info);

// Info file pifoc.<id> in the configuration directory's ramps folder.
int vr_load_pifoc_info(SystemInfo* info);
int vr_save_pifoc_info(SystemInfo* info);

// Accounts the time since lastUpdate; now <= 0 means the current calendar time.
void vr_update_pifoc_time_on(SystemInfo* info, int64_t now);

// The aging gain; *gain is 0 unless a gain is returned.
int vr_calc_pifoc_time_gain(SystemInfo* info, double* gain);

void vr_set_pifoc_state(SystemInfo* info);
void vr_print_pifoc_time_on(SystemInfo* info);

// Writes a DAC level (0 to 65535) to the drive; with `wait`, also waits for
// it to settle.
int vr_write_pifoc_level(SystemInfo* info, int level, bool wait);

// Selects the board's PZT type (mode) and the bias level (kind 1 'b', 2 'u',
// else 0), and saves the history.
int vr_select_pifoc_level(SystemInfo* info, int mode, int kind);

int vr_update_pifoc_leakage(SystemInfo* info, bool force);
int vr_get_pifoc_comp_gain(SystemInfo* info, double* gain);

// Appends text to the diagnostic log pifoclog.<id>; null starts the log.
int vr_log_pifoc_diagnostic(SystemInfo* info, const char* text);

// Progress of the cook: seconds left.
using VrCookProgress = void (*)(void* user, int secondsLeft);
int vr_pifoc_cook(SystemInfo* info, VrCookProgress progress, void* user);

int vr_pifoc_comp_deglitch(SystemInfo* info);

// The drive's part of the first-generation board's power-off: history
// accounted, leakage logged, info saved, time-on printed, level 0. Every step
// runs; the first failure is returned. Nothing for other boards, a PZT, no
// state or no aging bookkeeping.
int vr_power_off_pifoc(SystemInfo* info);

// --- Process-wide values --------------------------------------------------

// Diagnostic log size limit in bytes: negative unlimited, 0 disabled.
void vr_set_pifoc_log_limit(int bytes);
void vr_set_pifoc_cook_switch(bool on);
void vr_set_pifoc_deglitch_switch(bool on);
int64_t vr_pifoc_first_start();
int64_t vr_pifoc_last_start();

// The calendar clock the bookkeeping reads (seconds); null restores the
// system's. For tests of dates the machine's clock cannot reach.
using VrCalendarClock = int64_t (*)();
void vr_set_pifoc_calendar_clock(VrCalendarClock clock);
// Forgets the start times, as at process start.
void vr_reset_pifoc_starts();

// Path of the info file and of the log of a drive id, in a module buffer.
const char* vr_pifoc_info_path(int id);
const char* vr_pifoc_log_path(int id);

// The log's date group of a calendar time: "mm/dd/yy HH:MM:SS".
void vr_format_pifoc_date(int64_t time, char* buffer, int size);
