// Start-up: the instance lock, the library, discovery of devices, cameras and
// modes, the choice of live and measurement modes, and opening the live mode.
#include <cmath>
#include <cstring>

#include "acq/acq.h"
#include "acq/acq_internal.h"
#include "common/dirs.h"
#include "common/log.h"
#include "common/msg.h"
#include "common/status.h"
#include "config/sbcal.h"
#include "config/sysinfo.h"
#include "platform/event.h"
#include "platform/instance_lock.h"

namespace {

constexpr int64_t kInstanceWaitMs = 500;

// The discovered values a mode must have to be usable.
bool valid_size(double size) {
    return std::isfinite(size) && size >= 1 && size <= 32767;
}

double scale_or_one(double scale) {
    return std::isfinite(scale) && scale > 0 ? scale : 1.0;
}

// Live, measurement and third mode indexes by camera type.
void choose_mode_indexes(SystemInfo* info) {
    int live = 0, measure = 0, third = 0;
    if (info->acq.numPrimaryModes > 1) {
        switch (info->cameraType) {
            case 1:
            case 6:
            case 8:
            case 9:
            case 13:
            case 19:
            case 20:
            case 23:
            case 29:
                live = measure = third = 1;
                break;
            case 2:
            case 3:
                live = 1;
                break;
            case 11:
                live = measure = 1;
                break;
            case SB_CAMERA_CUSTOM:
                if (info->systemType != 24 && info->systemType != 25) live = measure = 1;
                break;
            case 25:
            case 28:
            case 30:
            case 31:
                third = 1;
                break;
            default:
                break;
        }
    }
    info->acq.liveModeIndex = static_cast<int8_t>(live);
    info->acq.measureModeIndex = static_cast<int8_t>(measure);
    info->acq.thirdModeIndex = static_cast<int8_t>(third);
}

int startup(SystemInfo* info) {
    static const char* const kName = "acq_mgrinit";
    AcqGlobals& g = acq_globals();
    SysAcqState& a = info->acq;

    g.instanceLock = plat_instance_lock_open("PRYNTSCAL");
    if (g.instanceLock == nullptr) {
        u_msg_stamped("%s: Cannot create system resource\n", kName);
        return ERR_ACQ_INIT_DEV;
    }
    if (plat_instance_lock_wait(g.instanceLock, kInstanceWaitMs) != 0) {
        u_msg_stamped("%s: Acquisition system in use by another process\n", kName);
        plat_instance_lock_close(g.instanceLock);
        g.instanceLock = nullptr;
        return ERR_ACQ_INIT_DEV;
    }
    g.instanceHeld = true;

    if (acq_mgropen("TsnAcq.ini") != NO_ERROR) return ERR_ACQ_INIT_DEV;

    a.currentAcqDevice = a.currentInputDevice = a.currentMode = 0;
    a.acquiring = false;
    a.liveSubsampling = a.measureSubsampling = 1;
    a.liveFrameSkip = a.measureFrameSkip = 0;
    a.displayOffsetX = a.displayOffsetY = 0;
    a.displayWidth = a.displayHeight = 0;
    a.serialBoardMode = -1;

    int err = acq_getdevices(info);
    if (err != NO_ERROR) return err;
    if ((err = acq_getinputdev(info)) != NO_ERROR) return err;
    if ((err = acq_getinputmodes(info)) != NO_ERROR) return err;

    u_msg_sink("Num acquisition devices    = %d\n", a.numAcqDevices);
    u_msg_sink("Num cameras                = %d\n", a.numCameras);
    u_msg_sink("Num primary camera modes   = %d\n", a.numPrimaryModes);
    u_msg_sink("Num secondary camera modes = %d\n", a.numSecondaryModes);
    u_msg_sink("Primary camera type        = %s\n", sb_camera_type_name(info->cameraType));
    choose_mode_indexes(info);

    if (g.fn.SetCurrentAcqDevice(a.acqDeviceIds[0]) == 0) {
        u_msg_stamped("%s: Cannot select the current acquisition device\n", kName);
        return ERR_ACQ_INVALID_DEVICE;
    }
    a.currentAcqDevice = a.acqDeviceIds[0];
    if (const char* config = u_config_dir()) g.fn.AcqDeviceSet("CFG FILE PATH", config);
    if (g.fn.SetCurrentInputDevice(a.primaryInputDevice) == 0) {
        u_msg_stamped("%s: Cannot set selected input device\n", kName);
        return ERR_ACQ_INVALID_DEVICE;
    }
    a.currentInputDevice = a.primaryInputDevice;
    a.primaryCameraSelected = true;
    a.liveSelected = true;
    err = pl_device_setup(info, a.primaryInputDevice, a.primaryModeIds[a.measureModeIndex], true);
    if (err == NO_ERROR) err = pl_update_sysinfo(info, false);
    if (err == NO_ERROR)
        err = pl_device_setup(info, a.primaryInputDevice, a.primaryModeIds[a.liveModeIndex], true);
    if (err != NO_ERROR) return err;

    double value = 0;
    a.displayType = g.fn.AcqDeviceQuery("DISPLAY TYPE", &value) != 0
                        ? acq_clamp_int(value, INT32_MIN, INT32_MAX)
                        : 0;
    if (a.displayType & 2) {
        if (g.fn.AcqDeviceQuery("MAX DISPLAY WIDTH", &value) != 0)
            a.displayWidth = static_cast<int16_t>(acq_clamp_int(value, 0, INT16_MAX));
        if (g.fn.AcqDeviceQuery("MAX DISPLAY HEIGHT", &value) != 0)
            a.displayHeight = static_cast<int16_t>(acq_clamp_int(value, 0, INT16_MAX));
    }
    if ((err = pl_update_sysinfo(info, true)) != NO_ERROR) return err;
    value = 0;
    g.onboardCapability = g.fn.AcqDeviceQuery("ONBOARD PROC", &value) != 0 ? value : 0;
    acq_install_frame_source(true);
    a.acqReady = true;
    return NO_ERROR;
}

}  // namespace

int acq_mode_index(const SystemInfo* info, int modeId) {
    for (int i = 0; i < info->acq.numPrimaryModes && i < ACQ_MAX_MODES; ++i)
        if (info->acq.primaryModeIds[i] == modeId) return i;
    return -1;
}

int acq_getdevices(SystemInfo* info) {
    static const char* const kName = "acq_getdevices";
    AcqGlobals& g = acq_globals();
    SysAcqState& a = info->acq;
    int count = g.fn.GetNumAcqDevices();
    if (count < 1) return ERR_ACQ_INIT_DEV;
    if (count > ACQ_MAX_DEVICES) count = ACQ_MAX_DEVICES;
    a.numAcqDevices = 0;
    char name[ACQ_NAME_MAX];
    for (int i = 0; i < count; ++i) {
        int32_t found = i == 0 ? g.fn.GetFirstAcqDeviceName(name, sizeof name)
                               : g.fn.GetNextAcqDeviceName(name, sizeof name);
        if (found == 0) {
            u_msg_stamped("%s: specified device does not exist\n", kName);
            return ERR_ACQ_INIT_DEV;
        }
        int32_t id = g.fn.GetAcqDeviceId(name);
        if (id == 0) {
            u_msg_stamped("%s: cannot retrieve specified device ID\n", kName);
            return ERR_ACQ_INIT_DEV;
        }
        a.acqDeviceIds[i] = id;
        a.numAcqDevices = i + 1;
    }
    return NO_ERROR;
}

int acq_getinputdev(SystemInfo* info) {
    static const char* const kName = "acq_getinputdev";
    AcqGlobals& g = acq_globals();
    SysAcqState& a = info->acq;
    std::memset(a.inputDeviceIds, 0, sizeof a.inputDeviceIds);
    char name[ACQ_NAME_MAX];
    for (int d = 0; d < a.numAcqDevices; ++d) {
        if (g.fn.SetCurrentAcqDevice(a.acqDeviceIds[d]) == 0) {
            u_msg_stamped("%s: cannot set selected acquisition device\n", kName);
            return ERR_ACQ_INVALID_DEVICE;
        }
        int count = g.fn.GetNumInputDevices();
        if (count < 1) {
            u_msg_stamped("%s: no valid input devices\n", kName);
            return ERR_ACQ_INVALID_DEVICE;
        }
        if (count > ACQ_MAX_INPUTS) count = ACQ_MAX_INPUTS;
        for (int i = 0; i < count; ++i) {
            int32_t found = i == 0 ? g.fn.GetFirstInputDeviceName(name, sizeof name)
                                   : g.fn.GetNextInputDeviceName(name, sizeof name);
            int32_t id = found != 0 ? g.fn.GetInputDeviceId(name) : 0;
            if (id == 0) {
                u_msg_stamped("%s: cannot set selected input device\n", kName);
                return ERR_ACQ_INVALID_DEVICE;
            }
            a.inputDeviceIds[d][i] = id;
        }
    }
    // Column by column: the first input of every device comes before any
    // second input.
    a.numCameras = 0;
    a.primaryInputDevice = a.secondaryInputDevice = 0;
    for (int i = 0; i < ACQ_MAX_INPUTS; ++i) {
        for (int d = 0; d < ACQ_MAX_DEVICES; ++d) {
            int32_t id = a.inputDeviceIds[d][i];
            if (id == 0) continue;
            ++a.numCameras;
            if (a.primaryInputDevice == 0)
                a.primaryInputDevice = id;
            else if (a.secondaryInputDevice == 0)
                a.secondaryInputDevice = id;
        }
    }
    if (a.numCameras == 0) {
        u_msg_stamped("%s: no valid input devices\n", kName);
        return ERR_ACQ_INVALID_DEVICE;
    }
    return NO_ERROR;
}

namespace {

// The acquisition device owning an input device, 0 when none.
int owner_of(const SysAcqState& a, int inputDevice) {
    for (int d = 0; d < ACQ_MAX_DEVICES; ++d)
        for (int i = 0; i < ACQ_MAX_INPUTS; ++i)
            if (inputDevice != 0 && a.inputDeviceIds[d][i] == inputDevice) return a.acqDeviceIds[d];
    return 0;
}

// Reads one mode's values into slot i. False (with a message) when the
// library's values cannot describe a usable mode.
bool read_mode(SystemInfo* info, int i) {
    static const char* const kName = "acq_getinputmodes";
    SysAcqState& a = info->acq;
    double rate = 0, width = 0, height = 0, sx = 1, sy = 1, bits = 0, period = 0;
    if (!acq_mode_query("DATA RATE", &rate) || !std::isfinite(rate) || rate <= 0) {
        u_msg_stamped("%s: invalid data rate in mode %d\n", kName, i + 1);
        return false;
    }
    acq_mode_query("MAX USER WIDTH", &width);
    acq_mode_query("MAX USER HEIGHT", &height);
    if (!acq_mode_query("X DATA SCALE", &sx)) sx = 1;
    if (!acq_mode_query("Y DATA SCALE", &sy)) sy = 1;
    sx = scale_or_one(sx);
    sy = scale_or_one(sy);
    double w = width / sx, h = height / sy;
    if (!valid_size(w) || !valid_size(h)) {
        u_msg_stamped("%s: invalid frame size in mode %d\n", kName, i + 1);
        return false;
    }
    if (!acq_mode_query("DATA RESOLUTION", &bits) || !std::isfinite(bits) || bits <= 0) bits = 8;
    if (bits > 32) {
        u_msg_stamped("%s: invalid data resolution %g in mode %d\n", kName, bits, i + 1);
        return false;
    }
    int ibits = static_cast<int>(std::ceil(bits));
    if (!acq_mode_query("MEAS INTEGRATION PERIOD", &period) || !std::isfinite(period) ||
        period <= 0)
        period = 1000.0 / rate;
    a.modeDataRate[i] = rate;
    a.modeWidth[i] = static_cast<int16_t>(w);
    a.modeHeight[i] = static_cast<int16_t>(h);
    a.modeBitsPerPixel[i] = ibits;
    a.modeBytesPerPixel[i] = (ibits + 7) / 8;
    // A rate near 0 gives a period beyond any int: the longest one.
    a.modeIntegrationPeriod[i] = acq_clamp_int(period, 0, INT32_MAX);
    a.modeBaseScaleX[i] = sx;
    a.modeBaseScaleY[i] = sy;
    return true;
}

}  // namespace

int acq_getinputmodes(SystemInfo* info) {
    static const char* const kName = "acq_getinputmodes";
    AcqGlobals& g = acq_globals();
    SysAcqState& a = info->acq;
    if (g.fn.SetCurrentAcqDevice(a.acqDeviceIds[0]) == 0 ||
        g.fn.SetCurrentInputDevice(a.primaryInputDevice) == 0) {
        u_msg_stamped("%s: cannot set selected input device\n", kName);
        return ERR_ACQ_INVALID_DEVICE;
    }
    int count = g.fn.GetNumInputModes();
    if (count < 1) {
        u_msg_stamped("%s: No valid input modes\n", kName);
        return ERR_ACQ_INVALID_DEVICE;
    }
    if (count > ACQ_MAX_MODES) {
        u_msg_stamped("%s: Number of input modes exceeds maximum\n", kName);
        return ERR_ACQ_INVALID_DEVICE;
    }
    a.numPrimaryModes = 0;
    char name[ACQ_NAME_MAX];
    for (int i = 0; i < count; ++i) {
        int32_t found = i == 0 ? g.fn.GetFirstInputModeName(name, sizeof name)
                               : g.fn.GetNextInputModeName(name, sizeof name);
        int32_t id = found != 0 ? g.fn.GetInputModeId(name) : 0;
        if (id == 0 || g.fn.SetCurrentInputMode(id) == 0) {
            u_msg_stamped("%s: cannot set input mode %d\n", kName, i + 1);
            return ERR_ACQ_INVALID_DEVICE;
        }
        a.primaryModeIds[i] = id;
        if (!read_mode(info, i)) return ERR_ACQ_INVALID_DEVICE;
        a.numPrimaryModes = i + 1;
    }

    a.numSecondaryModes = 0;
    a.secondaryModeId = 0;
    if (a.secondaryInputDevice != 0) {
        int owner = owner_of(a, a.secondaryInputDevice);
        if (g.fn.SetCurrentAcqDevice(owner) == 0 ||
            g.fn.SetCurrentInputDevice(a.secondaryInputDevice) == 0) {
            u_msg_stamped("%s: cannot set selected input device\n", kName);
            return ERR_ACQ_INVALID_DEVICE;
        }
        a.numSecondaryModes = g.fn.GetNumInputModes();
        int32_t id = a.numSecondaryModes > 0 && g.fn.GetFirstInputModeName(name, sizeof name) != 0
                         ? g.fn.GetInputModeId(name)
                         : 0;
        if (id == 0) {
            u_msg_stamped("%s: No valid input modes\n", kName);
            return ERR_ACQ_INVALID_DEVICE;
        }
        a.secondaryModeId = id;
    }
    double buffers = 0;
    g.fn.AcqDeviceQuery("GRAB DATA BUFFERS", &buffers);
    return NO_ERROR;
}

int acq_mgrinit(int flag, const char* calibrationFile) {
    AcqGlobals& g = acq_globals();
    SystemInfo* info = sb_system_info(0);
    info->acq.startFlag = flag;
    info->acq.acqReady = false;
    int err = sb_readCal(0, calibrationFile);
    if (err != NO_ERROR) return err;
    if (g.library != nullptr || g.instanceLock != nullptr) acq_mgrrelease();
    g.info = info;
    err = startup(info);
    if (err != NO_ERROR) acq_mgrrelease();
    return err;
}
