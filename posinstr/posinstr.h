// Position instrument controller: one interface over the twelve kinds of
// position instrument an instrument may carry on its focus (Z) axis. It keeps
// its own running position so that wrapping counters and absolute readers look
// alike to the caller: the first reading after initialisation is position 0.
//
// The devices are reached through a driver table, one entry per type, that the
// driver modules (and the simulator) install. The Z encoder (type 6) is read
// through the motion layer's hooks instead.
//
// Every failure is printed through u_msg_sink and returned; the position is
// then left as it was.
#pragma once

#include <cstdint>

#include "config/sysinfo_motion.h"

using PosInstr = SysPosInstrState;

// Position-instrument types (posInstrType).
enum PosInstrType : int32_t {
    POSINSTR_NONE = 0,
    POSINSTR_AXIOM = 1,              // wrapping counter read through the instrument board
    POSINSTR_KMR = 2,                // wrapping counter with a wrap status
    POSINSTR_HEID = 3,               // absolute reader on a serial port
    POSINSTR_LCDMI = 4,              // reader on the register I/O device
    POSINSTR_MICROLYNX = 5,          // no position reading
    POSINSTR_ZENCODER = 6,           // the motion controller's Z axis encoder
    POSINSTR_USDED2 = 7,             // absolute encoder reader through a vendor library
    POSINSTR_KMR501 = 8,             // reader
    POSINSTR_METRONICS = 9,          // absolute reader on a serial port
    POSINSTR_TSNXKMR501 = 10,        // reader through the motion wrapper library
    POSINSTR_RENISHAW_STEPNET = 11,  // reader on a CAN node
    POSINSTR_STEPNET = 12,           // reader on a CAN node
};
constexpr int POSINSTR_NUM_TYPES = 12;

// Units table codes the controller uses.
constexpr int POSINSTR_UNIT_MM = 19;
constexpr int POSINSTR_UNIT_WAVE_24 = 24;  // also reverses the counting direction
constexpr int POSINSTR_UNIT_WAVE_25 = 25;

// Device statuses of the counting types.
constexpr int POSINSTR_AXIOM_STATUS_FLAG = 1;   // clears counterStatusFlag
constexpr int POSINSTR_AXIOM_STATUS_ERROR = 2;  // a bad reading
constexpr int POSINSTR_KMR_STATUS_WRAPPED = 6;

// One reading of a driver: `raw` for the counters (types 1 and 2), `value` in
// millimetres for the others; `status` is the device's own status word.
struct PosInstrSample {
    int32_t raw;
    double value;
    int status;
};

// A type's driver. Each function returns a status code; a null function
// behaves as a device that is not there (ERR_NO_POSITION_INSTR).
struct PosInstrDriver {
    // Opens the device and sets posInstr->handle.
    int (*open)(PosInstr* posInstr);
    // Initialises the open device; *devStatus gets the device's status (0 = good).
    int (*init)(PosInstr* posInstr, int* devStatus);
    // Takes one reading.
    int (*read)(PosInstr* posInstr, PosInstrSample* sample);
};

// Installs the driver of a type (1 to 12 except 5 and 6); null removes it.
// The table keeps the pointer. 0 or ERR_INVALID_PARAM.
int posinstr_set_driver(int type, const PosInstrDriver* driver);
const PosInstrDriver* posinstr_driver(int type);

// What the Z encoder (type 6) needs from the motion layer, which installs it.
enum PosInstrZAxis {
    POSINSTR_NO_MOTION_CONTROLLER = 0,
    POSINSTR_NO_Z_AXIS = 1,
    POSINSTR_Z_AXIS = 2,
    POSINSTR_Z_AXIS_ENCODER_HOMING = 3,  // the Z axis finds its home by its encoder
};
struct PosInstrMotionHooks {
    PosInstrZAxis (*z_axis)(void* motion);
    int (*find_home)(void* motion);                 // homes the Z axis
    int (*get_ipos)(void* motion, double* inches);  // the Z axis's encoder position
};
// Null (the default) stands for "no motion controller". The pointer is kept.
void posinstr_set_motion_hooks(const PosInstrMotionHooks* hooks);

// Opens and initialises the type's device when `handle` is -1, then resets the
// bookkeeping; the absolute types take their zero offset from one reading.
// `motion` (kept in the record) is the controller the Z encoder reads through.
// Type 5, unknown types and a null record: ERR_NO_ACTIVE_DMI_FOR_INSTR.
int posinstr_init(PosInstr* posInstr, void* motion);

// Takes one reading and updates `position`.
int posinstr_read(PosInstr* posInstr);

// Initialises on first use, otherwise reads; *out gets the position in the
// length unit `unitCode` (11 to 22), or HUGE_VAL with a non-zero status.
int posinstr_read_units(PosInstr* posInstr, int unitCode, double* out);

// The units table: units per metre (per radian for the angle codes, per square
// metre for the area codes); 0 for a code without a value.
double posinstr_units_per_metre(int code);
