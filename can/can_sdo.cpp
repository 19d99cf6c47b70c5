#include "can/can_sdo.h"

#include <atomic>

#include "can/can_lib.h"
#include "can/can_sleep.h"
#include "common/log.h"
#include "common/msg.h"
#include "common/status.h"
#include "config/sysinfo.h"

namespace {
std::atomic<CanAgcRunningQuery> g_agc_running{nullptr};

// Transfers that count as use restart the sleep-mode idle count, also failed
// ones: the operator touched the instrument either way.
void note_activity(bool activity) {
    if (activity) sleep_mode_note_activity();
}
}  // namespace

int can_sdo_read2(uint8_t node, uint16_t index, uint8_t subIndex, void* data, uint32_t size,
                  bool activity, int sdoError, const char* caller) {
    const CanApi* api = can_api();
    if (api == nullptr) return ERR_CAN_NOT_AVAIL;
    CanSdoStatus status{};
    int32_t canErr = api->CAN_SDORead(node, index, subIndex, data, size, &status);
    note_activity(activity);
    if (canErr != CAN_OK) {
        int err = can_canerr_to_error(canErr);
        u_msg_sink("can_sdo_read2 called by %s: err=%s\n", caller, u_error_name(err));
        return err;
    }
    if (status.result != CAN_SDO_SUCCESS) {
        u_msg_sink("can_sdo_read2 called by %s: err=%s, result=%d, abortcode=%8.8lX\n", caller,
                   u_error_name(sdoError), static_cast<int>(status.result),
                   static_cast<unsigned long>(status.abortCode));
        return sdoError;
    }
    return NO_ERROR;
}

int can_sdo_write2(uint8_t node, uint16_t index, uint8_t subIndex, const void* data, uint32_t size,
                   bool activity, int sdoError, const char* caller) {
    const CanApi* api = can_api();
    if (api == nullptr) return ERR_CAN_NOT_AVAIL;
    CanSdoStatus status{};
    int32_t canErr = api->CAN_SDOWrite(node, index, subIndex, data, size, &status);
    note_activity(activity);
    if (canErr != CAN_OK) {
        int err = can_canerr_to_error(canErr);
        u_msg_stamped("can_sdo_write2 called by %s: err=%s\n", caller, u_error_name(err));
        return err;
    }
    if (status.result != CAN_SDO_SUCCESS) {
        u_msg_stamped("can_sdo_write2 called by %s: err=%s, result=%d, abortcode=%8.8lX\n", caller,
                      u_error_name(sdoError), static_cast<int>(status.result),
                      static_cast<unsigned long>(status.abortCode));
        return sdoError;
    }
    return NO_ERROR;
}

void can_set_agc_running_query(CanAgcRunningQuery query) {
    g_agc_running.store(query);
}

bool can_agc_thread_running() {
    CanAgcRunningQuery query = g_agc_running.load();
    return query != nullptr && query();
}
