// Grabs, frame copies and onboard processing, and the frame source the
// gain-control thread reads through. Every call builds its own request
// record, so the gain-control thread and callers never share one.
#include <cmath>
#include <new>

#include "acq/acq.h"
#include "acq/acq_internal.h"
#include "can/can_agc.h"
#include "can/can_sdo.h"
#include "common/log.h"
#include "common/status.h"
#include "config/sysinfo.h"
#include "datafile/surface.h"
#include "platform/event.h"
#include "platform/thread.h"

namespace {

AcqReadRequest read_request(int32_t kind, int32_t frame, int32_t timeoutMs, FrameStore* image) {
    AcqReadRequest request{};
    request.kind = kind;
    request.frame = frame;
    request.timeoutMs = timeoutMs;
    request.x = image->window.x;
    request.y = image->window.y;
    request.width = image->window.width;
    request.height = image->window.height;
    request.one = 1;
    request.buffer = image->matrix;
    return request;
}

// One read; on failure the library's error (ERR_ACQ_READ when it gives
// none), and the scanner's trigger re-armed after a time-out on a CAN
// instrument.
int read_frame(SystemInfo* info, AcqReadRequest* request, const char* name) {
    AcqGlobals& g = acq_globals();
    if (g.fn.ReadDevice(request) != 0) return NO_ERROR;
    u_msg_stamped("%s: error reading device\n", name);
    int err = acq_lib_error_or(ERR_ACQ_READ);
    if (err == ERR_ACQ_TIMEOUT && info->instrBdType == SB_BOARD_CAN &&
        info->can.digitalScanner != 0)
        can_rearm_scanner_trigger(info);
    return err;
}

bool usable_image(const FrameStore* image) {
    return image != nullptr && image->matrix != nullptr && image->window.width > 0 &&
           image->window.height > 0;
}

int copy_latest(SystemInfo* info, FrameStore* image) {
    return pl_copy_fb(info, image);
}
int grab(SystemInfo* info, int first, int count) {
    return pl_grab_frames(info, first, count);
}
int copy_numbered(SystemInfo* info, FrameStore* image, int frame, double seconds) {
    return pl_copy_frame(info, image, frame, seconds);
}

const CanAgcFrameSource kFrameSource = {copy_latest, grab, copy_numbered};

struct OnboardJob {
    AcqStartRequest request;
};

uint32_t onboard_thread(void* argument) {
    OnboardJob* job = static_cast<OnboardJob*>(argument);
    AcqGlobals& g = acq_globals();
    int err =
        g.fn.AcquireStart(&job->request) != 0 ? NO_ERROR : acq_lib_error_or(ERR_INVALID_PARAM);
    delete job;
    return static_cast<uint32_t>(err);
}

}  // namespace

void acq_install_frame_source(bool install) {
    can_agc_set_frame_source(install ? &kFrameSource : nullptr);
}

int pl_grab_frames(SystemInfo* info, int first, int count) {
    static const char* const kName = "pl_grab_frames";
    AcqGlobals& g = acq_globals();
    if (g.library == nullptr || info->acq.currentMode == 0) {
        u_msg_stamped("%s: acquisition device not open for grabbing\n", kName);
        return ERR_ACQ_DEVICE_CLOSE;
    }
    int err = pl_mode_setup(info, false);
    if (err != NO_ERROR) return err;
    if (info->instrBdType == SB_BOARD_CUSTOMER &&
        (err = pl_set_integration(info, false, kName)) != NO_ERROR)
        return err;
    AcqStartRequest start{};
    start.kind = ACQ_START_GRAB;
    start.arg1 = first;
    start.arg2 = count;
    if (g.fn.AcquireStart(&start) == 0) return acq_lib_error_or(ERR_INVALID_PARAM);
    return NO_ERROR;
}

int pl_copy_fb(SystemInfo* info, FrameStore* image) {
    static const char* const kName = "pl_copy_fb";
    AcqGlobals& g = acq_globals();
    if (g.library == nullptr || g.copyLock == nullptr) return ERR_ACQ_DEVICE_CLOSE;
    if (!usable_image(image)) return ERR_INVALID_PARAM;
    // Held means another copy is in progress: refuse rather than queue.
    if (plat_wait_one(g.copyLock, 0) != 0) {
        u_msg_stamped("%s: only one frame copy allowed\n", kName);
        return ERR_PARAM_OUT_OF_RANGE;
    }
    AcqReadRequest request = read_request(ACQ_READ_LATEST, 0, 1000, image);
    int err = read_frame(info, &request, kName);
    plat_event_set(g.copyLock);
    return err;
}

int pl_copy_frame(SystemInfo* info, FrameStore* image, int frame, double timeoutSeconds) {
    static const char* const kName = "pl_copy_frame";
    AcqGlobals& g = acq_globals();
    if (frame < -1) {
        u_msg_stamped("%s: invalid frame number = %d\n", kName, frame);
        return ERR_PARAM_OUT_OF_RANGE;
    }
    if (g.library == nullptr) return ERR_ACQ_DEVICE_CLOSE;
    if (!usable_image(image)) return ERR_INVALID_PARAM;
    double ms = timeoutSeconds * 1000;
    if (!std::isfinite(ms) || ms < 0 || ms > INT32_MAX) return ERR_PARAM_OUT_OF_RANGE;
    AcqReadRequest request =
        frame == -1 ? read_request(ACQ_READ_LATEST, 0, static_cast<int32_t>(ms), image)
                    : read_request(ACQ_READ_NUMBERED, frame, static_cast<int32_t>(ms), image);
    return read_frame(info, &request, kName);
}

int pl_read_onboard_result(SystemInfo* info, AcqReadRequest* request) {
    static const char* const kName = "pl_read_onboard_result";
    if (request == nullptr || request->kind < ACQ_READ_ONBOARD_FIRST ||
        request->kind > ACQ_READ_ONBOARD_LAST)
        return ERR_INVALID_PARAM;
    if (!acq_loaded()) return ERR_ACQ_DEVICE_CLOSE;
    return read_frame(info, request, kName);
}

int pl_onboard_start(SystemInfo*, int value, const Window& window, PlatThread** thread) {
    static const char* const kName = "pl_onboard_start";
    AcqGlobals& g = acq_globals();
    if (g.onboardCapability == 0) return ERR_INVALID_PARAM;
    if (g.library == nullptr) return ERR_ACQ_DEVICE_CLOSE;
    AcqStartRequest start{};
    start.kind = ACQ_START_ONBOARD;
    start.arg1 = value;
    start.x = window.x;
    start.y = window.y;
    start.width = window.width;
    start.height = window.height;
    if (thread == nullptr)
        return g.fn.AcquireStart(&start) != 0 ? NO_ERROR : acq_lib_error_or(ERR_INVALID_PARAM);
    OnboardJob* job = new (std::nothrow) OnboardJob{start};
    if (job == nullptr) return ERR_NO_MEM;
    *thread = plat_thread_create(onboard_thread, job);
    if (*thread == nullptr) {
        delete job;
        u_msg_stamped("%s: cannot start the onboard thread\n", kName);
        return ERR_INTERNAL_KT;
    }
    return NO_ERROR;
}
