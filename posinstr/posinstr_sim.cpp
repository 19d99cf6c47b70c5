#include "posinstr/posinstr_sim.h"

#include <array>

#include "common/status.h"

namespace {

std::array<PosInstrSimDevice, POSINSTR_NUM_TYPES + 1> g_devices;
PosInstrSimMotion g_motion;

// Drivers find their script through the record's own type.
PosInstrSimDevice* device_of(const PosInstr* p) {
    return p->posInstrType >= 1 && p->posInstrType <= POSINSTR_NUM_TYPES
               ? &g_devices[p->posInstrType]
               : nullptr;
}

PosInstrSimReading next(std::deque<PosInstrSimReading>& queue, PosInstrSimReading& last) {
    if (!queue.empty()) {
        last = queue.front();
        queue.pop_front();
    }
    return last;
}

int sim_open(PosInstr* p) {
    PosInstrSimDevice* dev = device_of(p);
    if (dev == nullptr) return ERR_NO_POSITION_INSTR;
    ++dev->opens;
    if (dev->openResult != NO_ERROR) return dev->openResult;
    p->handle = dev->openHandle;
    return NO_ERROR;
}

int sim_init(PosInstr* p, int* devStatus) {
    PosInstrSimDevice* dev = device_of(p);
    if (dev == nullptr) return ERR_NO_POSITION_INSTR;
    ++dev->inits;
    *devStatus = dev->initStatus;
    return dev->initResult;
}

int sim_read(PosInstr* p, PosInstrSample* sample) {
    PosInstrSimDevice* dev = device_of(p);
    if (dev == nullptr) return ERR_NO_POSITION_INSTR;
    ++dev->reads;
    PosInstrSimReading r = next(dev->readings, dev->last);
    if (r.result != NO_ERROR) return r.result;
    *sample = PosInstrSample{r.raw, r.value, r.status};
    return NO_ERROR;
}

const PosInstrDriver kSimDriver = {sim_open, sim_init, sim_read};

PosInstrZAxis sim_z_axis(void*) {
    return g_motion.zAxis;
}

int sim_find_home(void*) {
    ++g_motion.homes;
    return g_motion.homeResult;
}

int sim_get_ipos(void*, double* inches) {
    PosInstrSimReading r = next(g_motion.positions, g_motion.last);
    if (r.result != NO_ERROR) return r.result;
    *inches = r.value;
    return NO_ERROR;
}

const PosInstrMotionHooks kSimMotion = {sim_z_axis, sim_find_home, sim_get_ipos};

}  // namespace

PosInstrSimDevice* posinstr_sim_install(int type) {
    if (posinstr_set_driver(type, &kSimDriver) != NO_ERROR) return nullptr;
    g_devices[type] = PosInstrSimDevice{};
    return &g_devices[type];
}

PosInstrSimMotion* posinstr_sim_install_motion() {
    g_motion = PosInstrSimMotion{};
    posinstr_set_motion_hooks(&kSimMotion);
    return &g_motion;
}

void posinstr_sim_reset() {
    for (int type = 1; type <= POSINSTR_NUM_TYPES; ++type) {
        if (posinstr_driver(type) == &kSimDriver) posinstr_set_driver(type, nullptr);
        g_devices[type] = PosInstrSimDevice{};
    }
    posinstr_set_motion_hooks(nullptr);
    g_motion = PosInstrSimMotion{};
}
