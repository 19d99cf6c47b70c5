// Instrument power control: power-on, power-off, the power check and the
// reset of an instrument, dispatched on its board type, with the checks that
// the camera, frame grabber, board software and light source described by
// the calibration file go together, and the comparison of the calibration
// file with the instrument's EEPROM.
//
// Board types: 1 and 3 the serial boards (3 with system type 19 or 27 takes
// the same sequence), 6 and 7 the customer and FTP boards, 5 the
// register-mapped board (through the hooks its driver installs), 8 CAN
// (can/can_power.h), 9 no board (nothing to do); any other type gives
// ERR_WRONG_INSTR_BOARD.
//
// Serial board power-on: open and drain the board line, read the software
// version into power.instrBdVersion, check the supplies (a fault prints the
// board's message and the supply's reading and gives ERR_INST_POWER), load
// the ramp set into power.rampSet and, on board 1, start the piezo-focus
// bookkeeping (a missing history file is a new drive, not a failure). Any
// failure closes the line again. Power-off: on board 1 the piezo focus's own
// power-off, then the line is closed and the ramp set released; every step
// runs and the first failure is returned.
//
// Calls on one instrument must not overlap; different instruments are
// independent.
#pragma once

#include <cstdint>

struct SystemInfo;

// Board power-on, then the compatibility checks; sets power.instrumentOn on
// success. A check that fails after the board came on prints its message,
// runs the board's power-off and returns ERR_SB_INST_CONFIG; the instrument
// is left marked off after any failure.
int inst_on(SystemInfo* info);

// 0 without touching the board unless the instrument is on; otherwise the
// board's power-off, with power.instrumentOn cleared whatever it returns.
int inst_off(SystemInfo* info);

// The board's supply or status check.
int inst_check(SystemInfo* info);

// Board 9: 0. CAN: the bridge's reset and power-on. Serial boards: the board
// line is closed when open and opened again.
int inst_reset(SystemInfo* info);

// Compares the calibration values with the instrument's EEPROM (boards 1, 3,
// 6, 7: system, board, camera and light types, serial number, system date;
// board 5: the board type it reports). With `againstEeprom` false a serial
// board's six values are adopted into the record instead. The first
// difference prints its two lines and gives ERR_SB_INST_CONFIG. Boards 8 and
// 9: 0.
int inst_check_eeprom(SystemInfo* info, bool againstEeprom);

// The compatibility checks alone (no board traffic except a custom camera's
// set-up on a board that has one). Sets power.syncCamera; 0 or
// ERR_SB_INST_CONFIG after the message, or the set-up's error.
int inst_check_config(SystemInfo* info);

// A register-mapped board driver's entry points. A null member behaves like
// no driver for that call.
struct InstRegmapDriver {
    int (*powerOn)(SystemInfo* info);
    int (*powerOff)(SystemInfo* info);
    int (*check)(SystemInfo* info);
    int (*reset)(SystemInfo* info);
    // The board type the board reports.
    int (*boardType)(SystemInfo* info, int32_t* type);
};

// Installs a driver (null: none) and returns the previous one. The record
// must stay valid while installed; a call already running keeps the driver
// it started with.
const InstRegmapDriver* inst_set_regmap_driver(const InstRegmapDriver* driver);
