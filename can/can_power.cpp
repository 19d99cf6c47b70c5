#include "can/can_power.h"

#include "common/status.h"

int find_bridge(SystemInfo*) {
    return ERR_NOT_IMPLEMENTED;
}
int can_inst_on(SystemInfo*) {
    return ERR_NOT_IMPLEMENTED;
}
int can_inst_off(SystemInfo*) {
    return ERR_NOT_IMPLEMENTED;
}
int can_check_bridge_status(SystemInfo*) {
    return ERR_NOT_IMPLEMENTED;
}
int can_inst_reset(SystemInfo*) {
    return ERR_NOT_IMPLEMENTED;
}
