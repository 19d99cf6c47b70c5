// Camera timing from the mode's frame rate: the CAN bridge's digital output,
// the serial boards' timing code and camera mode, and board type 6's
// integration period.
#include <cmath>

#include "acq/acq.h"
#include "acq/acq_internal.h"
#include "board/board.h"
#include "can/can_sdo.h"
#include "common/log.h"
#include "common/status.h"
#include "config/sysinfo.h"
#include "platform/clock.h"

namespace {

constexpr int kCameraXc77ce = 1;
constexpr int kCameraTm6705 = 6;
constexpr int kCameraXc7500s = 8;
constexpr int kCameraSmd4m15 = 9;
constexpr int kCameraTm6710 = 13;

constexpr int kTimingSelectAddress = 4222;
constexpr int kTimingCodeAddress = 4223;
constexpr uint8_t kTimingSelect = 240;
constexpr int kIntegrationCommand = 42;
constexpr int kShutterCommand = 2;

bool rate_is(double rate, double value) {
    return std::fabs(rate - value) < 1;
}

int report(const char* name, int err) {
    if (err != NO_ERROR) u_msg_stamped("%s: %s\n", name, u_error_name(err));
    return err;
}

int set_man_shutter(const SystemInfo* info) {
    if (!acq_mode_set("MAN SHUTTER", info->acq.shutterCode))
        return acq_lib_error_or(ERR_INVALID_PARAM);
    return NO_ERROR;
}

// The timing code on the serial boards' I/O ports: sent when it changed or
// when forced. A code that does not fit the port's byte is refused.
int send_code(SystemInfo* info, int code, bool force) {
    AcqGlobals& g = acq_globals();
    if (code < 0 || code * 16 > 255) return ERR_PARAM_OUT_OF_RANGE;
    if (code == g.lastCameraCode && !force) return NO_ERROR;
    int err = ur_io_write(info, kTimingSelectAddress, kTimingSelect);
    if (err == NO_ERROR)
        err = ur_io_write(info, kTimingCodeAddress, static_cast<uint8_t>(code * 16));
    // A failed write leaves the board's code unknown: send it next time.
    g.lastCameraCode = err == NO_ERROR ? code : -1;
    return err;
}

int send_camera_mode(SystemInfo* info, int mode, bool force) {
    if (mode == info->acq.serialBoardMode && !force) return NO_ERROR;
    int err = ur_camera_res(info, static_cast<uint8_t>(mode));
    info->acq.serialBoardMode = err == NO_ERROR ? mode : -1;
    return err;
}

bool second_generation(const SystemInfo* info) {
    return info->instrBdType == SB_BOARD_SERIAL2 ||
           (info->instrBdType == SB_BOARD_SERIAL1 && info->power.instrBdVersion >= 4);
}

}  // namespace

int pl_can_setup(SystemInfo* info) {
    static const char* const kName = "pl_can_setup";
    if (info->instrBdType != SB_BOARD_CAN) return report(kName, ERR_WRONG_INSTR_BOARD);
    double rate = 0;
    if (!acq_mode_query("DATA RATE", &rate)) return report(kName, ERR_ACQ_INVALID_MODE);
    int base = info->acq.shutterCode >> 2;
    int out = 0;
    bool matched = true;
    switch (info->cameraType) {
        case kCameraTm6705:
            if (rate_is(rate, 221.6))
                out = base + 4;
            else if (rate_is(rate, 130))
                out = base;
            else if (rate_is(rate, 120))
                out = base + 8;
            else if (rate_is(rate, 60))
                out = base + 12;
            else
                matched = false;
            break;
        case kCameraXc7500s:
            if (rate_is(rate, 59.82))
                out = base + 12;
            else if (rate_is(rate, 29.97))
                out = base + 4;
            else
                matched = false;
            break;
        case kCameraTm6710:
            return report(kName, set_man_shutter(info));
        default:
            return NO_ERROR;
    }
    if (!matched) return report(kName, ERR_ACQ_INVALID_MODE);
    if (out < 0 || out > 255) return report(kName, ERR_PARAM_OUT_OF_RANGE);
    return report(kName, can_bridge_write_digitalout(info, static_cast<uint8_t>(out)));
}

int pl_uz_setup(SystemInfo* info, bool live, bool force) {
    static const char* const kName = "pl_uz_setup";
    double rate = 0;
    if (!acq_mode_query("DATA RATE", &rate)) return report(kName, ERR_ACQ_INVALID_MODE);
    const SysAcqState& a = info->acq;
    switch (info->cameraType) {
        case kCameraTm6705: {
            int code;
            if (rate_is(rate, 221.6))
                code = a.shutterCode + 2;
            else if (rate_is(rate, 130))
                code = a.secondCameraCode;
            else if (rate_is(rate, 120))
                code = a.shutterCode + 1;
            else if (rate_is(rate, 60))
                code = a.shutterCode + 3;
            else
                return report(kName, ERR_ACQ_INVALID_MODE);
            return report(kName, send_code(info, code, force));
        }
        case kCameraXc7500s:
            if (second_generation(info))
                return report(kName, send_camera_mode(info, rate <= 29.97 ? 1 : 0, force));
            if (rate_is(rate, 59.82))
                return report(kName, send_code(info, a.shutterCode + 3, force));
            if (rate_is(rate, 29.97))
                return report(kName, send_code(info, a.shutterCode + 2, force));
            return report(kName, ERR_ACQ_INVALID_MODE);
        case kCameraTm6710:
            return report(kName, set_man_shutter(info));
        case kCameraXc77ce: {
            int mode = rate <= 25 ? 1 : 0;
            if (mode == a.serialBoardMode && !force) return NO_ERROR;
            int err = send_camera_mode(info, mode, force);
            // The first-generation board needs time to switch the camera.
            if (err == NO_ERROR && info->instrBdType == SB_BOARD_SERIAL1) plat_sleep_ms(240);
            return report(kName, err);
        }
        case kCameraSmd4m15:
            if (info->instrBdType == SB_BOARD_CUSTOMER && live) {
                uint8_t zero = 0;
                return report(kName, ur_command(info, kShutterCommand, &zero, 1, nullptr, 0));
            }
            return NO_ERROR;
        default:
            return NO_ERROR;
    }
}

int acq_integration_code(double t, bool live, int* code, double* used) {
    if (!std::isfinite(t) || t <= 0) return ERR_ACQ_INVALID_MODE;
    if (live && t > 0.032) t = (t + 0.032) / 2;
    double e = std::log10(t) - std::log10(3.3376e-4);
    // Whole doublings only: the fraction is what m encodes.
    double n = std::trunc(e / std::log10(2.0));
    if (n < 1) n = 0;
    double m = t / (std::pow(2.0, n) * 1.043e-5) - 32;
    if (m < 0) m = 0;
    double value = n * 32 + std::trunc(m + 0.5);
    if (!(value <= 255)) return ERR_ACQ_INVALID_MODE;
    *code = static_cast<int>(value);
    if (used != nullptr) *used = t;
    return NO_ERROR;
}

int pl_set_integration(SystemInfo* info, bool live, const char* caller) {
    if (info->instrBdType != SB_BOARD_CUSTOMER) return NO_ERROR;
    double t = 0;
    if (live) {
        double clocks = 0, pixelClock = 0;
        if (acq_mode_query("READOUT CLOCKS", &clocks) &&
            acq_mode_query("PIXEL CLOCK", &pixelClock) && pixelClock != 0)
            t = clocks / pixelClock;
    } else {
        double period = 0;
        t = (acq_mode_query("MEAS INTEGRATION PERIOD", &period)
                 ? period
                 : info->acq.measureIntegrationPeriod) *
            0.001;
    }
    int code = 0;
    double used = 0;
    if (acq_integration_code(t, live, &code, &used) != NO_ERROR) {
        u_msg_stamped("%s: integration period cannot be set\n", caller);
        return ERR_ACQ_INVALID_MODE;
    }
    uint8_t byte = static_cast<uint8_t>(code);
    int err = ur_command(info, kIntegrationCommand, &byte, 1, nullptr, 0);
    uint8_t one = 1;
    if (err == NO_ERROR) err = ur_command(info, kShutterCommand, &one, 1, nullptr, 0);
    if (err == NO_ERROR && live) {
        double ms = used * 1000;
        if (!acq_mode_set("INTEGRATION PERIOD", ms < 32 ? ms : 32))
            err = acq_lib_error_or(ERR_INVALID_PARAM);
    }
    return report(caller, err);
}
