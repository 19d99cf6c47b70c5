#include "can/can_agc.h"

#include "common/status.h"

void can_agc_set_frame_source(const CanAgcFrameSource*) {}
int can_agc_init() {
    return ERR_NOT_IMPLEMENTED;
}
int can_agc_start(SystemInfo*, uint32_t) {
    return ERR_NOT_IMPLEMENTED;
}
int can_agc_start_thread(SystemInfo*) {
    return ERR_NOT_IMPLEMENTED;
}
int can_agc_stop_thread() {
    return ERR_NOT_IMPLEMENTED;
}
int can_agc_stop(SystemInfo*) {
    return ERR_NOT_IMPLEMENTED;
}
int can_agc_suspend(SystemInfo*, bool) {
    return ERR_NOT_IMPLEMENTED;
}
int can_agc_release() {
    return ERR_NOT_IMPLEMENTED;
}
uint32_t can_agc_active_mode() {
    return 0;
}
uint32_t can_agc_requested_mode() {
    return 0;
}
int32_t can_agc_suspension_count() {
    return 0;
}
int ac_llc_wait(SystemInfo*) {
    return ERR_NOT_IMPLEMENTED;
}
