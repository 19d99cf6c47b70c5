// Opening and closing the controller, and the hand-over of CAN event
// delivery: while a controller is open on a CAN instrument the motion library
// delivers the bus's PDOs and emergencies (it holds the CAN connection); before
// the open and after the close the bridge library does.
#include <cstring>
#include <string>

#include "can/can_bridge.h"
#include "can/can_events.h"
#include "common/abort.h"
#include "common/msg.h"
#include "common/status.h"
#include "config/sysinfo.h"
#include "motion/mwi.h"
#include "motion/mwi_internal.h"
#include "platform/event.h"
#include "platform/thread.h"

namespace {

bool is_can_instrument(const SystemInfo* info) {
    return info->instrBdType == SB_BOARD_CAN;
}

// Gives CAN event delivery back to the bridge library.
void register_bridge_events(SystemInfo* info) {
    if (can_register_events(info, true) != 0)
        u_msg_sink("Error registering for MP processing of CAN events\n");
    else
        u_msg_sink("MP registered for processing of CAN events\n");
}

int open_body(McOpenRequest* request) {
    SystemInfo* info = request->instrument;
    if (info == nullptr) return ERR_INVALID_PARAM;
    SysMotionState& motion = info->motion;
    if (motion.controllerType != MC_TYPE_MWI) return ERR_MC_WRONG_MC;
    const char* name = request->configuration != nullptr ? request->configuration : "";

    // The old connection goes first: closing it after the library's
    // initialisation below would undo that initialisation.
    if (motion.handle != -1) mc_close_comm_tsnx(info, nullptr);

    int result = mwi_load();
    std::shared_ptr<const MwiTable> t = mwi_table();
    if (result == 0) {
        t->InitMotionWrapperInterface_MWI();
        // A bridge not configured yet has no MAC: its first byte is 0xFF.
        static const uint8_t kNoMac[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
        const uint8_t* mac = info->canInfo ? info->canInfo->mac : kNoMac;
        MwiHandle handle = -1;
        int32_t code;
        if (t->OpenComm5 != nullptr)
            code = t->OpenComm5(name, mac, &handle, request->flag, request->value);
        else if (t->OpenComm4 != nullptr)
            code = t->OpenComm4(name, mac, &handle, request->flag);
        else
            code = t->OpenComm3(name, mac, &handle);
        int error = mwi_result_to_error(code);
        if (error != 0) {
            u_msg_sink("mc_open_comm_tsnx() error opening %s err=%d\n", name, error);
            u_msg_sink("mc_open_comm_tsnx() error message\n%s\n",
                       mwi_text(t->GetErrorString_MWI(handle)));
            if (error == ERR_MC_CONFIG_CORRUPT || error == ERR_MC_CONFIG_MISSING ||
                error == ERR_MC_CONFIRM_INIT)
                result = error;
            else if (error == ERR_MC_KILL_SWITCH)
                result = ERR_MC_KILL_SWITCH_DURING_INIT;
            else
                result = ERR_MC_COMM;
        } else {
            motion.handle = handle;
            motion.configName = name;
            motion.eventState = 0;
            u_msg_sink("  Effective motion config file: %s\n",
                       t->GetConfigurationFile_MWI != nullptr
                           ? mwi_text(t->GetConfigurationFile_MWI(handle))
                           : "Unknown - Look in SystemInfo.config");
            if (t->RegisterCanEvents_MWI != nullptr &&
                t->RegisterCanEvents_MWI(handle, can_mc_pdo_callback, can_mc_emcy_callback) == 0) {
                u_msg_sink("mc_open_comm_tsnx() failed to register for PDO and EMCY events\n%s\n",
                           mwi_text(t->GetErrorString_MWI(handle)));
                // Nobody would deliver the bus's events otherwise.
                if (is_can_instrument(info)) register_bridge_events(info);
            }
        }
    }
    if (result != 0 && is_can_instrument(info)) register_bridge_events(info);
    return result;
}

struct OpenJob {
    McOpenRequest* request;
    PlatWaitable* done;
};

void open_worker(void* argument) {
    auto* job = static_cast<OpenJob*>(argument);
    job->request->error = open_body(job->request);
    job->request->done.store(true);
    plat_event_set(job->done);
}

}  // namespace

const char* mwi_text(const char* text) {
    return text != nullptr ? text : "";
}

int mc_open_comm_tsnx(McOpenRequest* request) {
    if (request == nullptr) return ERR_INVALID_PARAM;
    request->done.store(false);
    OpenJob job{request, plat_event_create(true, false)};
    PlatThread* worker = job.done != nullptr ? plat_thread_start(open_worker, &job) : nullptr;
    if (worker == nullptr) {
        request->error = open_body(request);
        request->done.store(true);
    } else {
        do {
            u_idle();
            plat_wait_one(job.done, 1000);
        } while (!request->done.load());
        plat_thread_join(worker);
    }
    plat_handle_close(job.done);
    return request->error;
}

int mc_close_comm_tsnx(SystemInfo* info, const char* configuration) {
    if (info == nullptr) return ERR_INVALID_PARAM;
    SysMotionState& motion = info->motion;
    if (motion.controllerType != MC_TYPE_MWI) return ERR_MC_WRONG_MC;
    if (motion.handle == -1) return 0;
    if (configuration != nullptr && motion.configName != configuration)
        return ERR_MC_INVALID_CONFIG;
    std::shared_ptr<const MwiTable> t = mwi_table();
    if (t->CloseComm_MWI == nullptr) return ERR_TSNX_NO_DLL;
    const MwiHandle handle = motion.handle;
    const bool canPair = t->UnregisterCanEvents_MWI != nullptr;
    if (canPair) {
        t->UnregisterCanEvents_MWI(handle);
        const char* text = t->GetErrorString_MWI(handle);
        if (text != nullptr && text[0] != '\0')
            u_msg_sink("mc_close_comm_tsnx() error unregistering PDO and EMCY events\n%s\n", text);
    }
    int error = mwi_result_to_error(t->CloseComm_MWI(handle));
    if (error != 0) {
        u_msg_sink("mc_close_comm_tsnx failed: %s\n", u_error_name(error));
        // The motion library no longer delivers the bus's events: the bridge
        // library takes them back while the handle stays open.
        if (canPair && is_can_instrument(info)) register_bridge_events(info);
        return error;
    }
    motion.handle = -1;
    t->CloseMotionWrapperInterface_MWI();
    if (is_can_instrument(info)) register_bridge_events(info);
    return 0;
}
