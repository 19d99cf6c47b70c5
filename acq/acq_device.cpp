// Device and mode set-up, the live and measurement switches, and the camera
// parameters (trigger, gain, shutter).
#include <cmath>

#include "acq/acq.h"
#include "acq/acq_internal.h"
#include "can/can_agc.h"
#include "can/can_sdo.h"
#include "common/log.h"
#include "common/msg.h"
#include "common/status.h"
#include "config/sysinfo.h"
#include "datafile/surface.h"

namespace {

constexpr int kCameraSmd4m15 = 9;

int report(const char* name, int err) {
    if (err != NO_ERROR) u_msg_stamped("%s: %s\n", name, u_error_name(err));
    return err;
}

int owner_of(const SysAcqState& a, int inputDevice) {
    for (int d = 0; d < ACQ_MAX_DEVICES; ++d)
        for (int i = 0; i < ACQ_MAX_INPUTS; ++i)
            if (inputDevice != 0 && a.inputDeviceIds[d][i] == inputDevice) return a.acqDeviceIds[d];
    return 0;
}

// AcquireStop and CloseDevice; the device is closed afterwards whatever the
// library says about the stop.
bool stop_and_close(SystemInfo* info) {
    AcqGlobals& g = acq_globals();
    g.fn.AcquireStop();
    info->acq.acquiring = false;
    return g.fn.CloseDevice() == 0;
}

// Within a switch gain control is suspended already, and the suspension
// remembers the mode to restart with; a stop would forget it.
void stop_gain_control(SystemInfo* info) {
    if (can_agc_suspension_count() == 0) can_agc_stop(info);
}

}  // namespace

bool acq_mode_query(const char* name, double* value) {
    AcqInputModeQuery_t query = acq_globals().fn.AcqInputModeQuery;
    return query != nullptr && query(name, value) != 0;
}

bool acq_mode_set(const char* name, double value) {
    AcqInputModeSet_t set = acq_globals().fn.AcqInputModeSet;
    return set != nullptr && set(name, &value) != 0;
}

int pl_device_open(SystemInfo* info) {
    static const char* const kName = "pl_device_open";
    AcqGlobals& g = acq_globals();
    SysAcqState& a = info->acq;
    int32_t input = g.fn.GetCurrentInputDevice();
    int32_t mode = g.fn.GetCurrentInputMode();
    if (input == 0 || mode == 0) {
        u_msg_stamped("%s: Error opening device\n", kName);
        return ERR_ACQ_DEVICE_CLOSE;
    }
    if (g.fn.OpenDevice() != 0) {
        u_msg_stamped("%s: Could not open the device in the selected mode\n", kName);
        a.currentAcqDevice = a.currentInputDevice = a.currentMode = 0;
        return acq_lib_error_or(ERR_ACQ_DEVICE_OPEN);
    }
    acq_mode_set("TRIGGER MODE", 1);
    a.currentInputDevice = input;
    a.currentMode = mode;
    return NO_ERROR;
}

int pl_device_setup(SystemInfo* info, int inputDevice, int mode, bool open) {
    static const char* const kName = "pl_device_setup";
    AcqGlobals& g = acq_globals();
    SysAcqState& a = info->acq;
    if (g.library == nullptr) {
        u_msg_stamped("%s: DLL handle invalid\n", kName);
        return ERR_ACQ_DEVICE_CLOSE;
    }
    int err = NO_ERROR;
    if (inputDevice != a.currentInputDevice) {
        stop_gain_control(info);
        int previousDevice = a.currentAcqDevice;
        stop_and_close(info);
        a.currentAcqDevice = a.currentInputDevice = a.currentMode = 0;
        int owner = owner_of(a, inputDevice);
        if (owner == 0 || (owner != previousDevice && g.fn.SetCurrentAcqDevice(owner) == 0)) {
            u_msg_stamped("%s: could not set the selected acquisition device\n", kName);
            return report(kName, acq_lib_error_or(ERR_INVALID_PARAM));
        }
        a.currentAcqDevice = owner;
        if (g.fn.SetCurrentInputDevice(inputDevice) == 0) {
            u_msg_stamped("%s: could not set the selected input device\n", kName);
            return report(kName, acq_lib_error_or(ERR_INVALID_PARAM));
        }
        if (g.fn.SetCurrentInputMode(mode) == 0) {
            u_msg_stamped("%s: could not set the selected input mode\n", kName);
            return report(kName, acq_lib_error_or(ERR_INVALID_PARAM));
        }
        if (open) err = pl_device_open(info);
        return report(kName, err);
    }
    if (mode == a.currentMode) {
        if ((info->systemType == 30 || info->systemType == 32) &&
            info->instrBdType == SB_BOARD_CAN) {
            err = can_set_align_illumination_diode(info, !a.liveSelected);
        }
        return report(kName, err);
    }
    stop_gain_control(info);
    if (!stop_and_close(info)) {
        u_msg_stamped("%s: could not close the device\n", kName);
        return report(kName, acq_lib_error_or(ERR_INVALID_PARAM));
    }
    a.currentMode = 0;
    if (g.fn.SetCurrentInputMode(mode) == 0) {
        u_msg_stamped("%s: error setting selected input mode\n", kName);
        return report(kName, acq_lib_error_or(ERR_INVALID_PARAM));
    }
    if (open) err = pl_device_open(info);
    return report(kName, err);
}

int pl_mode_setup(SystemInfo* info, bool live) {
    static const char* const kName = "pl_mode_setup";
    SysAcqState& a = info->acq;
    int index = acq_mode_index(info, a.currentMode);
    double baseX = index >= 0 ? a.modeBaseScaleX[index] : 1.0;
    double baseY = index >= 0 ? a.modeBaseScaleY[index] : 1.0;
    int sub = live ? a.liveSubsampling : a.measureSubsampling;
    double sx = baseX * sub, sy = baseY * sub;
    if (!acq_mode_set("X DATA SCALE", sx) || !acq_mode_set("Y DATA SCALE", sy)) {
        u_msg_stamped("%s: error setting subsampling = (%g,%g)\n", kName, sx, sy);
        return acq_lib_error_or(ERR_INVALID_PARAM);
    }
    int skip = live ? 1 : a.measureFrameSkip + 1;
    if (!acq_mode_set("DATA SKIP", skip)) {
        u_msg_stamped("%s: error setting frame skip = %d\n", kName, skip);
        return acq_lib_error_or(ERR_INVALID_PARAM);
    }
    if (info->cameraType == kCameraSmd4m15) {
        if (!acq_mode_set("AOI ORIGIN X", a.aoiOriginX)) {
            u_msg_stamped("%s: error setting AOI origin X = %d\n", kName, a.aoiOriginX);
            return acq_lib_error_or(ERR_INVALID_PARAM);
        }
        if (!acq_mode_set("AOI ORIGIN Y", a.aoiOriginY)) {
            u_msg_stamped("%s: error setting AOI origin Y = %d\n", kName, a.aoiOriginY);
            return acq_lib_error_or(ERR_INVALID_PARAM);
        }
    }
    return NO_ERROR;
}

int pl_update_sysinfo(SystemInfo* info, bool live) {
    static const char* const kName = "pl_update_sysinfo";
    AcqGlobals& g = acq_globals();
    SysAcqState& a = info->acq;
    int index = acq_mode_index(info, a.currentMode);
    double width = 0, height = 0;
    acq_mode_query("MAX USER WIDTH", &width);
    acq_mode_query("MAX USER HEIGHT", &height);
    // The scales as discovered: the library's current ones include the
    // subsampling, which consumers divide by themselves.
    double sx = index >= 0 ? a.modeBaseScaleX[index] : 1.0;
    double sy = index >= 0 ? a.modeBaseScaleY[index] : 1.0;
    AcqSize size{static_cast<int16_t>(acq_clamp_int(width / sx, 0, INT16_MAX)),
                 static_cast<int16_t>(acq_clamp_int(height / sy, 0, INT16_MAX))};
    (live ? a.liveSize : a.measureSize) = size;
    if (!live) {
        double value = 0;
        if (acq_mode_query("HORZ. PERIOD", &value))
            a.horzPeriod = acq_clamp_int(value, INT32_MIN, INT32_MAX);
        if (acq_mode_query("VERT. PERIOD", &value))
            a.vertPeriod = acq_clamp_int(value * 2, INT32_MIN, INT32_MAX);
        if (acq_mode_query("PIXEL CLOCK", &value)) a.pixelClockMHz = value * 1e-6;
        if (g.fn.AcqInputDeviceQuery("PIXEL SIZE", &value) != 0) a.pixelSize = value;
        double rate = a.frameRate;
        if (info->cameraType == kCameraSmd4m15)
            rate = a.modeDataRate[a.measureModeIndex];
        else if (acq_mode_query("DATA RATE", &value))
            rate = value;
        if (rate != a.frameRate) {
            a.frameRate = rate;
            if (info->instrBdType == SB_BOARD_CAN && info->power.instrumentOn) {
                int err = can_write_syncgen(info, rate);
                if (err != NO_ERROR && err != ERR_CAN_NOT_CONNECTED)
                    u_msg_stamped("%s: error writing sync gen rate: %s\n", kName,
                                  u_error_name(err));
            }
        }
        a.measureIntegrationPeriod = a.modeIntegrationPeriod[a.measureModeIndex];
    }
    if (a.displayType & 2) {
        int sub = live ? a.liveSubsampling : a.measureSubsampling;
        if (sub < 1) sub = 1;
        a.displayOffsetX = static_cast<int16_t>((a.displayWidth - size.width / sub) / 2);
        a.displayOffsetY = static_cast<int16_t>((a.displayHeight - size.height / sub) / 2);
    }
    return NO_ERROR;
}

int pl_interlaced(SystemInfo* info) {
    double value = 0;
    bool interlaced = acq_loaded() && acq_mode_query("DATA INTERLACE", &value) && value > 0;
    info->acq.interlaced = interlaced;
    return interlaced ? 1 : 0;
}

namespace {

bool second_generation(const SystemInfo* info) {
    return info->instrBdType == SB_BOARD_SERIAL2 ||
           (info->instrBdType == SB_BOARD_SERIAL1 && info->power.instrBdVersion >= 4);
}

int to_live(SystemInfo* info) {
    static const char* const kName = "pl_switch_live";
    AcqGlobals& g = acq_globals();
    SysAcqState& a = info->acq;
    if (a.acquiring) {
        g.fn.AcquireStop();
        a.acquiring = false;
    }
    bool primary = a.primaryCameraSelected || a.secondaryInputDevice == 0;
    int input = primary ? a.primaryInputDevice : a.secondaryInputDevice;
    int mode = primary ? a.primaryModeIds[a.liveModeIndex] : a.secondaryModeId;
    a.liveSelected = true;
    int err = pl_device_setup(info, input, mode, false);
    if (err != NO_ERROR) return err;
    if ((err = pl_update_sysinfo(info, true)) != NO_ERROR) return err;
    if (second_generation(info))
        err = pl_uz_setup(info, true, false);
    else if (info->instrBdType == SB_BOARD_CAN)
        err = pl_can_setup(info);
    else if (info->instrBdType == SB_BOARD_CUSTOMER && (err = pl_uz_setup(info, true, false)) == 0)
        err = pl_set_integration(info, true, kName);
    if (err != NO_ERROR) return err;
    if (a.currentMode == 0)
        err = pl_device_open(info);
    else
        err = pl_set_trig(info, 1);
    if (err != NO_ERROR) return err;
    if ((err = pl_mode_setup(info, true)) != NO_ERROR) return err;
    AcqStartRequest start{};
    start.kind = ACQ_START_LIVE;
    if (g.fn.AcquireStart(&start) == 0) return report(kName, acq_lib_error_or(ERR_INVALID_PARAM));
    a.acquiring = true;
    return NO_ERROR;
}

int to_measurement(SystemInfo* info) {
    static const char* const kName = "pl_switch_live";
    AcqGlobals& g = acq_globals();
    SysAcqState& a = info->acq;
    g.fn.AcquireStop();
    a.acquiring = false;
    a.liveSelected = false;
    int err =
        pl_device_setup(info, a.primaryInputDevice, a.primaryModeIds[a.measureModeIndex], false);
    if (err != NO_ERROR) return err;
    if ((err = pl_update_sysinfo(info, false)) != NO_ERROR) return err;
    if (second_generation(info) || info->instrBdType == SB_BOARD_CUSTOMER)
        err = pl_uz_setup(info, false, false);
    if (err != NO_ERROR) return err;
    if (a.currentMode == 0 && (err = pl_device_open(info)) != NO_ERROR) return err;
    if ((err = pl_mode_setup(info, false)) != NO_ERROR) return err;
    int32_t block[ACQ_GRAPHICS_INTS] = {};
    block[0] = ACQ_GRAPHICS_MODE;
    block[12] = 2;
    if (g.fn.AcqDeviceSet("GRAPHICS COMMAND", block) == 0)
        return report(kName, acq_lib_error_or(ERR_INVALID_PARAM));
    return NO_ERROR;
}

}  // namespace

int pl_switch_live(SystemInfo* info, int live) {
    if (live != 0 && live != 1) return ERR_PARAM_OUT_OF_RANGE;
    if (!acq_loaded()) {
        u_msg_stamped("%s: DLL handle invalid\n", "pl_switch_live");
        return ERR_ACQ_DEVICE_CLOSE;
    }
    int err = can_agc_suspend(info, true);
    if (err != NO_ERROR) return err;
    err = live ? to_live(info) : to_measurement(info);
    int resumed = can_agc_suspend(info, false);
    return err != NO_ERROR ? err : resumed;
}

int pl_select_secondary(SystemInfo* info, int secondary) {
    if (secondary != 0 && secondary != 1) return ERR_PARAM_OUT_OF_RANGE;
    if (secondary && info->acq.secondaryInputDevice == 0) return ERR_ACQ_INVALID_DEVICE;
    info->acq.primaryCameraSelected = secondary == 0;
    return pl_switch_live(info, 1);
}

int pl_select_live(SystemInfo* info, int select) {
    if (select != 0 && select != 1) return ERR_PARAM_OUT_OF_RANGE;
    return pl_switch_live(info, select);
}

int pl_select_measure(SystemInfo* info, int select) {
    if (select != 0 && select != 1) return ERR_PARAM_OUT_OF_RANGE;
    return pl_switch_live(info, 1 - select);
}

int pl_set_measure_window(SystemInfo* info, const Window& window) {
    static const char* const kName = "pl_set_measure_window";
    if (!acq_loaded()) {
        u_msg_stamped("%s: DLL handle invalid\n", kName);
        return ERR_ACQ_DEVICE_CLOSE;
    }
    const SysAcqState& a = info->acq;
    int sub = a.measureSubsampling < 1 ? 1 : a.measureSubsampling;
    int width = a.measureSize.width / sub, height = a.measureSize.height / sub;
    // Int arithmetic on the 16-bit fields cannot overflow.
    if (window.x < 0 || window.y < 0 || window.width < 1 || window.height < 1 ||
        window.x + window.width > width || window.y + window.height > height) {
        u_msg_stamped("%s: window (%d,%d) %dx%d outside the %dx%d measurement image\n", kName,
                      window.x, window.y, window.width, window.height, width, height);
        return ERR_IMPROPER_WINDOW;
    }
    int32_t block[ACQ_GRAPHICS_INTS] = {};
    block[0] = ACQ_GRAPHICS_OUTLINE;
    block[1] = window.x;
    block[2] = window.y;
    block[3] = window.width;
    block[4] = window.height;
    block[8] = 1;
    block[9] = 2;
    block[10] = 0;
    block[11] = 1;
    if (acq_globals().fn.AcqDeviceSet("GRAPHICS COMMAND", block) == 0) {
        u_msg_stamped("%s: error drawing the measurement window\n", kName);
        return acq_lib_error_or(ERR_INVALID_PARAM);
    }
    return NO_ERROR;
}

int pl_set_measure_subsampling(SystemInfo* info, int subsampling, int frameSkip) {
    if (subsampling < 1 || subsampling > 8 || frameSkip < 0 || frameSkip > 255)
        return ERR_PARAM_OUT_OF_RANGE;
    SysAcqState& a = info->acq;
    a.measureSubsampling = subsampling;
    a.measureFrameSkip = frameSkip;
    if (a.liveSelected || a.currentMode == 0) return NO_ERROR;
    int err = pl_mode_setup(info, false);
    return err != NO_ERROR ? err : pl_update_sysinfo(info, false);
}

int acq_stop(SystemInfo* info) {
    if (!acq_loaded()) return ERR_ACQ_DEVICE_CLOSE;
    int err = acq_globals().fn.AcquireStop() != 0 ? NO_ERROR : acq_lib_error();
    info->acq.acquiring = false;
    return err;
}

int pl_set_trig(SystemInfo*, double value) {
    if (!acq_mode_set("TRIGGER MODE", value)) {
        u_msg_stamped("%s: error setting trigger mode = %g\n", "pl_set_trig", value);
        return acq_lib_error_or(ERR_INVALID_PARAM);
    }
    return NO_ERROR;
}

int pl_set_gain(SystemInfo* info, double gain) {
    if (!info->power.instrumentOn) return NO_ERROR;
    if (!acq_mode_set("CHAB_GAIN", gain)) {
        u_msg_stamped("%s: error setting camera gain value = %g\n", "pl_set_gain", gain);
        return acq_lib_error_or(ERR_INVALID_PARAM);
    }
    return NO_ERROR;
}

int pl_set_shutter(SystemInfo* info, double value) {
    if (!info->power.instrumentOn || !info->acq.liveSelected) return NO_ERROR;
    if (!acq_mode_set("MAN SHUTTER", value)) {
        u_msg_stamped("%s: error setting shutter value = %g\n", "pl_set_shutter", value);
        return acq_lib_error_or(ERR_INVALID_PARAM);
    }
    return NO_ERROR;
}

int pl_get_shutter(SystemInfo* info, double* value) {
    *value = 0.0;
    if (!info->power.instrumentOn) return NO_ERROR;
    if (!acq_mode_query("MAN SHUTTER", value)) {
        u_msg_stamped("%s: error getting shutter value\n", "pl_get_shutter");
        return acq_lib_error_or(ERR_INVALID_PARAM);
    }
    return NO_ERROR;
}
