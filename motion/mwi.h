// Motion controllers of controller type 3, driven through the separately
// installed motion wrapper library: its entry table, the controller's open and
// close (with the hand-over of CAN event delivery between the bridge library
// and the motion library), the translation of its result codes, and the
// motion operations a program needs to open the controller, home, move, read
// and stop an axis.
//
// Every message goes through u_msg_sink. The library is loaded at each open
// and never unloaded once it loaded completely; each load publishes a new
// entry table and keeps the old one alive for whoever still uses it (the
// device table's worker polls through it).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "config/sysinfo_motion.h"
#include "motion/mwi_api.h"

struct SystemInfo;

constexpr int32_t MC_TYPE_MWI = 3;  // controller type of the motion wrapper library

// The entry table, one pointer per slot of MWI_ENTRY_LIST; null when absent.
// Of the three OpenComm slots only the widest present one is kept.
struct MwiTable {
#define MWI_TABLE_MEMBER(slot, name, type, kind) type slot = nullptr;
    MWI_ENTRY_LIST(MWI_TABLE_MEMBER)
#undef MWI_TABLE_MEMBER
};

// Loads the library and publishes a freshly resolved table: 0,
// ERR_TSNX_NO_DLL or ERR_TSNX_FUNCTION_MAP (an empty table is published then).
int mwi_load();

// The table now published (an empty one before the first load). The pointer
// stays valid while the caller holds it.
std::shared_ptr<const MwiTable> mwi_table();

// The library's result code as a status code.
int mwi_result_to_error(int32_t code);

// An open request: filled by the caller, answered by mc_open_comm_tsnx in
// `error`, then `done` is set.
struct McOpenRequest {
    SystemInfo* instrument;     // its motion block gets the handle
    const char* configuration;  // the motion configuration's name
    uint8_t flag;
    int32_t value;
    int error;
    std::atomic<bool> done;
};

// Opens the instrument's motion controller (its motion block's controller
// type must be 3), closing one it holds first. Runs the open on a worker
// thread and waits for it in steps of 1000 ms, calling the idle hook before
// each. Returns request->error.
int mc_open_comm_tsnx(McOpenRequest* request);

// Closes the controller opened for `configuration` (null: whichever is open;
// another name: ERR_MC_INVALID_CONFIG). 0 when nothing is open; a library
// error keeps the handle, and on a CAN instrument the bridge library takes
// the bus's events back either way.
int mc_close_comm_tsnx(SystemInfo* instrument, const char* configuration);

// Reads the given axes' positions in inches (the library reports
// millimetres), with the commanded position when the library has it.
int mc_get_ipos_tsnx(const SysMotionState* motion, const int16_t* axes, int count, double* inches);

// Thin operations: each calls its entries with the motion block's handle and
// translates the result; a closed controller gives ERR_MC_NOT_AVAIL, an
// absent optional entry ERR_NOT_IMPLEMENTED. A failure prints the
// operation's name, the error and the library's text.
int mc_move_tsnx(const SysMotionState* motion, int16_t axis, double positionMm);
// All axes when `axis` is negative.
int mc_stop_tsnx(const SysMotionState* motion, int axis);
// Starts homing each axis and waits (polling every 100 ms, idle hook after
// each sleep) until all are home: ERR_MC_CANT_FIND_HOME when one fails or
// `timeoutMs` passes.
int mc_home_multiple_axes_tsnx(const SysMotionState* motion, const int16_t* axes, int count,
                               int64_t timeoutMs);
int mc_home_state_tsnx(const SysMotionState* motion, int16_t axis, int32_t* state);
// The axis's status bits; a negative axis gives the controller's.
int mc_get_status_tsnx(const SysMotionState* motion, int axis, int32_t* status);
// The axis's error code; a negative axis gives the controller's.
int mc_get_error_tsnx(const SysMotionState* motion, int axis, int32_t* error);
int mc_set_velocity_tsnx(const SysMotionState* motion, int16_t axis, double mmPerSecond);
int mc_set_accel_tsnx(const SysMotionState* motion, int16_t axis, double mmPerSecond2);
int mc_set_mode_tsnx(const SysMotionState* motion, int16_t axis, int32_t mode);
// One axis, or the whole joystick when `axis` is negative; the library's
// joystick state is asked first, so a switch that is already set is not sent.
int mc_enable_joystick_tsnx(const SysMotionState* motion, int axis);
int mc_disable_joystick_tsnx(const SysMotionState* motion, int axis);
int mc_enable_pos_report_tsnx(const SysMotionState* motion);
int mc_disable_pos_report_tsnx(const SysMotionState* motion);
int mc_axis_pos_report_tsnx(const SysMotionState* motion, int16_t axis, bool on);
int mc_set_align_view_indicator_tsnx(const SysMotionState* motion, int32_t state);

// Reads one library event into *code (0 when none is waiting); codes 5 and 3
// set the motion block's event state to 2 and 1.
int mc_get_event_tsnx(SysMotionState* motion, int32_t* code);

// The first axis labelled `label` (case-insensitive), or -1.
int mc_find_axis(const SysMotionState* motion, const char* label);

// Installs the motion module's plug-ins: the communication-kind query and the
// library poll of the device table (a type-1 device is registered with the
// controller handle as its handle and the motion block as its owner), and the
// position instrument's Z encoder hooks (the Z axis is the axis labelled "Z").
void mwi_install_hooks();
