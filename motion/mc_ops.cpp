// The motion operations: thin calls of the library's entries with the result
// translated, and the module's plug-ins into the device table and the
// position instrument.
#include <strings.h>

#include <cstring>

#include "common/abort.h"
#include "common/msg.h"
#include "common/status.h"
#include "devpoll/devpoll.h"
#include "motion/mwi.h"
#include "motion/mwi_internal.h"
#include "platform/clock.h"
#include "posinstr/posinstr.h"

namespace {

constexpr int kMaxAxes = 16;  // axes looked at for a label

// The table and handle of an open controller, or the status that stops the
// operation.
struct Call {
    std::shared_ptr<const MwiTable> t;
    MwiHandle h = -1;
    int status = 0;
};

Call begin(const SysMotionState* motion) {
    Call c;
    if (motion == nullptr) {
        c.status = ERR_INVALID_PARAM;
    } else if (motion->controllerType != MC_TYPE_MWI) {
        c.status = ERR_MC_WRONG_MC;
    } else if (motion->handle == -1) {
        c.status = ERR_MC_NOT_AVAIL;
    } else {
        c.t = mwi_table();
        c.h = motion->handle;
        // A handle outlived its table only if a later load failed.
        if (c.t->CloseComm_MWI == nullptr) c.status = ERR_MC_NOT_AVAIL;
    }
    return c;
}

// Translates a library result, printing a failure with the library's text.
int check(const Call& c, const char* operation, int32_t code) {
    int error = mwi_result_to_error(code);
    if (error != 0)
        u_msg_sink("%s failed: %s\n%s\n", operation, u_error_name(error),
                   mwi_text(c.t->GetErrorString_MWI(c.h)));
    return error;
}

int not_implemented(const char* operation) {
    u_msg_sink("%s failed: %s\n", operation, u_error_name(ERR_NOT_IMPLEMENTED));
    return ERR_NOT_IMPLEMENTED;
}

// ---- Plug-ins ----------------------------------------------------------------

int comm_kind(const void* owner) {
    const auto* motion = static_cast<const SysMotionState*>(owner);
    return motion->controllerType == MC_TYPE_MWI ? 3 : 0;
}

// The device table's worker: the controller handle is the device's handle.
bool library_poll(void* handle, void*) {
    std::shared_ptr<const MwiTable> t = mwi_table();
    if (t->HasEvent_MWI == nullptr) return false;
    return t->HasEvent_MWI(static_cast<MwiHandle>(reinterpret_cast<intptr_t>(handle))) != 0;
}

PosInstrZAxis z_axis(void* owner) {
    const auto* motion = static_cast<const SysMotionState*>(owner);
    if (motion == nullptr || motion->controllerType != MC_TYPE_MWI || motion->handle == -1)
        return POSINSTR_NO_MOTION_CONTROLLER;
    int axis = mc_find_axis(motion, "Z");
    if (axis < 0) return POSINSTR_NO_Z_AXIS;
    std::shared_ptr<const MwiTable> t = mwi_table();
    int32_t homeType = 0;
    if (t->GetHomeType_MWI(motion->handle, static_cast<int16_t>(axis), &homeType) == 0 &&
        homeType == MWI_HOME_BY_ENCODER)
        return POSINSTR_Z_AXIS_ENCODER_HOMING;
    return POSINSTR_Z_AXIS;
}

int z_find_home(void* owner) {
    const auto* motion = static_cast<const SysMotionState*>(owner);
    int axis = mc_find_axis(motion, "Z");
    if (axis < 0) return ERR_MC_NO_ACTIVE_ZENCODER;
    const int16_t axes[1] = {static_cast<int16_t>(axis)};
    return mc_home_multiple_axes_tsnx(motion, axes, 1, 60000);
}

int z_get_ipos(void* owner, double* inches) {
    const auto* motion = static_cast<const SysMotionState*>(owner);
    int axis = mc_find_axis(motion, "Z");
    if (axis < 0) return ERR_MC_NO_ACTIVE_ZENCODER;
    const int16_t axes[1] = {static_cast<int16_t>(axis)};
    return mc_get_ipos_tsnx(motion, axes, 1, inches);
}

const PosInstrMotionHooks kZHooks{z_axis, z_find_home, z_get_ipos};

}  // namespace

void mwi_install_hooks() {
    dev_set_comm_kind_query(comm_kind);
    dev_set_poll_function(DEV_POLL_LIBRARY, library_poll);
    posinstr_set_motion_hooks(&kZHooks);
}

int mc_find_axis(const SysMotionState* motion, const char* label) {
    Call c = begin(motion);
    if (c.status != 0 || label == nullptr) return -1;
    for (int axis = 0; axis < kMaxAxes; ++axis) {
        char text[MWI_LABEL_MAX] = {};
        if (c.t->GetLabel_MWI(c.h, static_cast<int16_t>(axis), text, sizeof text) != 0) continue;
        text[sizeof text - 1] = '\0';
        if (strcasecmp(text, label) == 0) return axis;
    }
    return -1;
}

int mc_get_ipos_tsnx(const SysMotionState* motion, const int16_t* axes, int count, double* inches) {
    static const char* const kName = "mc_get_ipos_tsnx";
    if (axes == nullptr || inches == nullptr || count < 0) return ERR_INVALID_PARAM;
    Call c = begin(motion);
    if (c.status != 0) return c.status;
    GetPosition_MWI_t read = c.t->GetCommandedPosition_MWI != nullptr
                                 ? c.t->GetCommandedPosition_MWI
                                 : c.t->GetPosition_MWI;
    for (int i = 0; i < count; ++i) {
        double mm = 0;
        int error = check(c, kName, read(c.h, axes[i], &mm));
        if (error != 0) return error;
        inches[i] = mm / 25.4;
    }
    return 0;
}

int mc_move_tsnx(const SysMotionState* motion, int16_t axis, double positionMm) {
    Call c = begin(motion);
    if (c.status != 0) return c.status;
    return check(c, "mc_move_tsnx", c.t->Move_MWI(c.h, axis, positionMm));
}

int mc_stop_tsnx(const SysMotionState* motion, int axis) {
    Call c = begin(motion);
    if (c.status != 0) return c.status;
    int32_t code =
        axis < 0 ? c.t->Stop_MWI(c.h) : c.t->StopAxis_MWI(c.h, static_cast<int16_t>(axis));
    return check(c, "mc_stop_tsnx", code);
}

int mc_home_multiple_axes_tsnx(const SysMotionState* motion, const int16_t* axes, int count,
                               int64_t timeoutMs) {
    static const char* const kName = "mc_home_multiple_axes_tsnx";
    if (axes == nullptr || count < 0) return ERR_INVALID_PARAM;
    Call c = begin(motion);
    if (c.status != 0) return c.status;
    for (int i = 0; i < count; ++i) {
        int error = check(c, kName, c.t->FindHome_MWI(c.h, axes[i]));
        if (error != 0) return error;
    }
    const int64_t deadline = plat_clock_ms() + timeoutMs;
    for (;;) {
        bool all = true;
        for (int i = 0; i < count; ++i) {
            int32_t state = MWI_HOME_NONE;
            int32_t status = 0;
            int error = check(c, kName, c.t->GetHomeState_MWI(c.h, axes[i], &state));
            if (error == 0) error = check(c, kName, c.t->GetAxisStatus_MWI(c.h, axes[i], &status));
            if (error != 0) return error;
            if (state == MWI_HOME_FAILED || (status & MWI_AXIS_ERROR) != 0) {
                u_msg_sink("%s: axis %d did not find its home\n", kName, axes[i]);
                return ERR_MC_CANT_FIND_HOME;
            }
            if (state != MWI_HOME_FOUND || (status & MWI_AXIS_MOVING) != 0) all = false;
        }
        if (all) return 0;
        if (plat_clock_ms() >= deadline) {
            u_msg_sink("%s: homing timed out\n", kName);
            return ERR_MC_CANT_FIND_HOME;
        }
        plat_sleep_ms(100);
        u_idle();
    }
}

int mc_home_state_tsnx(const SysMotionState* motion, int16_t axis, int32_t* state) {
    if (state == nullptr) return ERR_INVALID_PARAM;
    Call c = begin(motion);
    if (c.status != 0) return c.status;
    return check(c, "mc_home_state_tsnx", c.t->GetHomeState_MWI(c.h, axis, state));
}

int mc_get_status_tsnx(const SysMotionState* motion, int axis, int32_t* status) {
    if (status == nullptr) return ERR_INVALID_PARAM;
    Call c = begin(motion);
    if (c.status != 0) return c.status;
    int32_t code = axis < 0 ? c.t->GetStatus_MWI(c.h, status)
                            : c.t->GetAxisStatus_MWI(c.h, static_cast<int16_t>(axis), status);
    return check(c, "mc_get_status_tsnx", code);
}

int mc_get_error_tsnx(const SysMotionState* motion, int axis, int32_t* error) {
    if (error == nullptr) return ERR_INVALID_PARAM;
    Call c = begin(motion);
    if (c.status != 0) return c.status;
    int32_t code = axis < 0 ? c.t->GetError_MWI(c.h, error)
                            : c.t->GetAxisError_MWI(c.h, static_cast<int16_t>(axis), error);
    return check(c, "mc_get_error_tsnx", code);
}

int mc_set_velocity_tsnx(const SysMotionState* motion, int16_t axis, double mmPerSecond) {
    Call c = begin(motion);
    if (c.status != 0) return c.status;
    return check(c, "mc_set_velocity_tsnx", c.t->SetVelocity_MWI(c.h, axis, mmPerSecond));
}

int mc_set_accel_tsnx(const SysMotionState* motion, int16_t axis, double mmPerSecond2) {
    Call c = begin(motion);
    if (c.status != 0) return c.status;
    return check(c, "mc_set_accel_tsnx", c.t->SetAcceleration_MWI(c.h, axis, mmPerSecond2));
}

int mc_set_mode_tsnx(const SysMotionState* motion, int16_t axis, int32_t mode) {
    Call c = begin(motion);
    if (c.status != 0) return c.status;
    return check(c, "mc_set_mode_tsnx", c.t->SetMoveMode_MWI(c.h, axis, mode));
}

namespace {
int switch_joystick(const SysMotionState* motion, int axis, bool on, const char* name) {
    Call c = begin(motion);
    if (c.status != 0) return c.status;
    if (axis >= 0) {
        auto entry = on ? c.t->EnableAxisJoystick_MWI : c.t->DisableAxisJoystick_MWI;
        return check(c, name, entry(c.h, static_cast<int16_t>(axis)));
    }
    int32_t enabled = 0;
    int error = check(c, name, c.t->GetIsJoystickEnabled_MWI(c.h, &enabled));
    if (error != 0 || (enabled != 0) == on) return error;
    return check(c, name, on ? c.t->EnableJoystick_MWI(c.h) : c.t->DisableJoystick_MWI(c.h));
}
}  // namespace

int mc_enable_joystick_tsnx(const SysMotionState* motion, int axis) {
    return switch_joystick(motion, axis, true, "mc_enable_joystick_tsnx");
}

int mc_disable_joystick_tsnx(const SysMotionState* motion, int axis) {
    return switch_joystick(motion, axis, false, "mc_disable_joystick_tsnx");
}

int mc_enable_pos_report_tsnx(const SysMotionState* motion) {
    Call c = begin(motion);
    if (c.status != 0) return c.status;
    return check(c, "mc_enable_pos_report_tsnx", c.t->EnablePositionReports_MWI(c.h));
}

int mc_disable_pos_report_tsnx(const SysMotionState* motion) {
    Call c = begin(motion);
    if (c.status != 0) return c.status;
    return check(c, "mc_disable_pos_report_tsnx", c.t->DisablePositionReports_MWI(c.h));
}

int mc_axis_pos_report_tsnx(const SysMotionState* motion, int16_t axis, bool on) {
    Call c = begin(motion);
    if (c.status != 0) return c.status;
    return check(c, "mc_axis_pos_report_tsnx", c.t->SetPositionReport_MWI(c.h, axis, on ? 1 : 0));
}

int mc_set_align_view_indicator_tsnx(const SysMotionState* motion, int32_t state) {
    static const char* const kName = "mc_set_align_view_indicator_tsnx";
    Call c = begin(motion);
    if (c.status != 0) return c.status;
    if (c.t->SetAlignViewIndicator_MWI == nullptr) return not_implemented(kName);
    return check(c, kName, c.t->SetAlignViewIndicator_MWI(c.h, state));
}

int mc_get_event_tsnx(SysMotionState* motion, int32_t* code) {
    if (code == nullptr) return ERR_INVALID_PARAM;
    *code = 0;
    Call c = begin(motion);
    if (c.status != 0) return c.status;
    if (c.t->HasEvent_MWI(c.h) == 0) return 0;
    int error = check(c, "mc_get_event_tsnx", c.t->GetEvent_MWI(c.h, code));
    if (error != 0) return error;
    if (*code == MWI_EVENT_ESTOP)
        motion->eventState = 2;
    else if (*code == MWI_EVENT_ESTOP_CLEARED)
        motion->eventState = 1;
    return 0;
}
