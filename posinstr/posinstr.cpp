#include "posinstr/posinstr.h"

#include <array>
#include <atomic>
#include <cmath>
#include <cstdlib>

#include "common/msg.h"
#include "common/status.h"

namespace {

// How each type names itself in its messages: the controller's routine suffix
// (initX, readPosX), the driver's prefix (pi_x_open, pi_x_init) and its read call.
struct TypeNames {
    const char* routine;
    const char* prefix;
    const char* readCall;
};

const TypeNames kNames[POSINSTR_NUM_TYPES + 1] = {
    {"", "", ""},
    {"Axiom", "axiom", "pi_axiom_pos"},
    {"Kmr", "kmr", "pi_kmr_pos"},
    {"Heid", "heid", "pi_heid_pos"},
    {"Lcdmi", "lcdmi", "pi_lcdmi_read_pos"},
    {"MicroLynx", "microlynx", ""},
    {"ZEncoder", "", "mc_get_ipos"},
    {"Usded2", "usded2", "pi_usded2_read_pos"},
    {"Kmr501", "kmr501", "pi_kmr501_read_pos"},
    {"Metronics", "metronics", "pi_metronics_pos"},
    {"TsnxKmr501", "tsnxkmr501", "pi_tsnxkmr501_read_pos"},
    {"RenishawStepnet", "renishaw_stepnet", "pi_renishaw_stepnet_read_pos"},
    {"Stepnet", "stepnet", "pi_stepnet_read_pos"},
};

std::array<std::atomic<const PosInstrDriver*>, POSINSTR_NUM_TYPES + 1> g_drivers{};
std::atomic<const PosInstrMotionHooks*> g_motion_hooks{nullptr};

bool has_reading(int type) {
    return type >= 1 && type <= POSINSTR_NUM_TYPES && type != POSINSTR_MICROLYNX;
}

bool is_absolute(int type) {
    return type == POSINSTR_HEID || type == POSINSTR_ZENCODER || type == POSINSTR_USDED2 ||
           type == POSINSTR_METRONICS;
}

bool is_counter(int type) {
    return type == POSINSTR_AXIOM || type == POSINSTR_KMR;
}

bool counts_down(const PosInstr* p) {
    return p->unitsCode == POSINSTR_UNIT_WAVE_24;
}

const PosInstrDriver* driver_of(int type) {
    return g_drivers[type].load();
}

int driver_open(PosInstr* p) {
    const PosInstrDriver* d = driver_of(p->posInstrType);
    return d != nullptr && d->open != nullptr ? d->open(p) : ERR_NO_POSITION_INSTR;
}

int driver_init(PosInstr* p, int* devStatus) {
    *devStatus = 0;
    const PosInstrDriver* d = driver_of(p->posInstrType);
    return d != nullptr && d->init != nullptr ? d->init(p, devStatus) : ERR_NO_POSITION_INSTR;
}

int driver_read(PosInstr* p, PosInstrSample* sample) {
    *sample = PosInstrSample{0, 0, 0};
    const PosInstrDriver* d = driver_of(p->posInstrType);
    return d != nullptr && d->read != nullptr ? d->read(p, sample) : ERR_NO_POSITION_INSTR;
}

// The motion controller's view of the Z axis, printing the two refusals with
// the calling routine's name.
int z_axis_state(const PosInstr* p, const char* routine, PosInstrZAxis* state) {
    const PosInstrMotionHooks* hooks = g_motion_hooks.load();
    *state = hooks != nullptr && hooks->z_axis != nullptr ? hooks->z_axis(p->motion)
                                                          : POSINSTR_NO_MOTION_CONTROLLER;
    if (*state == POSINSTR_NO_MOTION_CONTROLLER) {
        u_msg_sink("pi_dmiCtrl::%s - No active motion controller\n", routine);
        return ERR_MC_NOT_AVAIL;
    }
    if (*state == POSINSTR_NO_Z_AXIS) {
        u_msg_sink("pi_dmiCtrl::%s - No Z axis\n", routine);
        return ERR_MC_NO_ACTIVE_ZENCODER;
    }
    return NO_ERROR;
}

int init_zencoder(PosInstr* p) {
    PosInstrZAxis state;
    int result = z_axis_state(p, "initZEncoder", &state);
    if (result != NO_ERROR) return result;
    if (state == POSINSTR_Z_AXIS_ENCODER_HOMING) {
        const PosInstrMotionHooks* hooks = g_motion_hooks.load();
        result = hooks->find_home != nullptr ? hooks->find_home(p->motion) : ERR_MC_NOT_AVAIL;
        if (result != NO_ERROR) {
            u_msg_sink("pi_dmiCtrl::initZEncoder - Error calling mc_find_home: %s\n",
                       u_error_name(result));
            return ERR_POS_INSTR_INIT;
        }
    }
    return NO_ERROR;
}

// Opens (when not open) and initialises the device of one type.
int init_device(PosInstr* p) {
    const int type = p->posInstrType;
    const TypeNames& n = kNames[type];
    int devStatus = 0;
    int result;
    switch (type) {
        case POSINSTR_AXIOM:
            // The counter lives on the instrument board, whose line is already open.
            result = driver_init(p, &devStatus);
            if (result != NO_ERROR) {
                u_msg_sink("pi_dmiCtrl::initAxiom - Error calling pi_axiom_init: %s\n",
                           u_error_name(result));
                return result;
            }
            if (devStatus != 0) {
                u_msg_sink("pi_dmiCtrl::initAxiom - pi_axiom_init status: %d\n", devStatus);
                return ERR_POS_INSTR_READ;
            }
            return NO_ERROR;
        case POSINSTR_ZENCODER:
            return init_zencoder(p);
        case POSINSTR_USDED2:
            if (p->handle == -1) {
                result = driver_open(p);
                if (result != NO_ERROR) {
                    u_msg_sink("pi_dmiCtrl::initUsded2 - Error calling pi_usded2_open: %s\n",
                               u_error_name(result));
                    return ERR_CANT_ACCESS_USDED2;
                }
            }
            return NO_ERROR;
        default:
            break;
    }
    if (p->handle == -1) {
        result = driver_open(p);
        if (result != NO_ERROR) {
            u_msg_sink("pi_dmiCtrl::init%s - Error calling pi_%s_open: %s\n", n.routine, n.prefix,
                       u_error_name(result));
            return result;
        }
    }
    result = driver_init(p, &devStatus);
    if (result != NO_ERROR) {
        u_msg_sink("pi_dmiCtrl::init%s - Error calling pi_%s_init: %s\n", n.routine, n.prefix,
                   u_error_name(result));
        return result;
    }
    if (devStatus != 0 && (type == POSINSTR_KMR || type == POSINSTR_HEID)) {
        u_msg_sink("pi_dmiCtrl::init%s - pi_%s_init status: %d\n", n.routine, n.prefix, devStatus);
        return ERR_POS_INSTR_READ;
    }
    return NO_ERROR;
}

// The 31-bit counter behind the board: steps beyond a quarter of the range in
// either direction are taken as a wrap. Worked in 64 bits so that no step or
// correction overflows; the results are those of the 32-bit arithmetic.
int apply_axiom(PosInstr* p, const PosInstrSample& s) {
    const int32_t d = s.raw;
    const int32_t c = p->lastRaw;
    if (d == c) return NO_ERROR;
    const int64_t jump = 2 * (static_cast<int64_t>(d) - c);
    // A jump this large is a wrap, whose reading status no longer says anything.
    if (std::llabs(jump) > 2147483647) p->checkReadStatus = false;
    if (p->checkReadStatus) {
        if (s.status == POSINSTR_AXIOM_STATUS_ERROR) {
            u_msg_sink("pi_dmiCtrl::readPosAxiom - Error reading the position instrument\n");
            return ERR_POS_INSTR_READ;
        }
        if (s.status == POSINSTR_AXIOM_STATUS_FLAG) p->counterStatusFlag = false;
    }
    int64_t step = static_cast<int32_t>(static_cast<uint32_t>(d) - static_cast<uint32_t>(c));
    if (step > 0x40000000)
        step -= 0x80000000LL;
    else if (step < -0x40000000)
        step += 0x80000000LL;
    p->lastRaw = d;
    p->position += counts_down(p) ? -static_cast<double>(step) : static_cast<double>(step);
    return NO_ERROR;
}

int apply_kmr(PosInstr* p, const PosInstrSample& s) {
    const int64_t d = s.raw;
    const int64_t last = p->lastRaw;
    int64_t step;
    if (s.status == 0) {
        step = d - last;
    } else if (s.status == POSINSTR_KMR_STATUS_WRAPPED) {
        step = last <= 0 ? d - (last + 2147483648LL) : 2147483647LL - last + d;
    } else {
        u_msg_sink("pi_dmiCtrl::readPosKmr - pi_kmr_pos status: %d\n", s.status);
        return ERR_POS_INSTR_READ;
    }
    p->lastRaw = s.raw;
    p->position += counts_down(p) ? -static_cast<double>(step) : static_cast<double>(step);
    return NO_ERROR;
}

int read_zencoder(PosInstr* p, double* mm) {
    PosInstrZAxis state;
    int result = z_axis_state(p, "readPosZEncoder", &state);
    if (result != NO_ERROR) return result;
    const PosInstrMotionHooks* hooks = g_motion_hooks.load();
    double inches = 0;
    result = hooks->get_ipos != nullptr ? hooks->get_ipos(p->motion, &inches) : ERR_MC_NOT_AVAIL;
    if (result != NO_ERROR) {
        u_msg_sink("pi_dmiCtrl::readPosZEncoder - Error calling mc_get_ipos: %s\n",
                   u_error_name(result));
        return result;
    }
    *mm = inches * 25.4;
    return NO_ERROR;
}

// One reading of the record's device; the position changes only on success.
int read_device(PosInstr* p) {
    const int type = p->posInstrType;
    if (!has_reading(type)) return ERR_NO_ACTIVE_DMI_FOR_INSTR;
    double reading = 0;
    if (type == POSINSTR_ZENCODER) {
        int result = read_zencoder(p, &reading);
        if (result != NO_ERROR) return result;
    } else {
        PosInstrSample sample;
        int result = driver_read(p, &sample);
        if (result != NO_ERROR) {
            u_msg_sink("pi_dmiCtrl::readPos%s - Error calling %s: %s\n", kNames[type].routine,
                       kNames[type].readCall, u_error_name(result));
            return result;
        }
        switch (type) {
            case POSINSTR_AXIOM:
                return apply_axiom(p, sample);
            case POSINSTR_KMR:
                return apply_kmr(p, sample);
            case POSINSTR_HEID:
                if (sample.status != 0) {
                    u_msg_sink("pi_dmiCtrl::readPosHeid - pi_heid_pos status: %d\n", sample.status);
                    return ERR_POS_INSTR_READ;
                }
                break;
            case POSINSTR_LCDMI:
            case POSINSTR_KMR501:
            case POSINSTR_TSNXKMR501:
                if (counts_down(p)) sample.value = -sample.value;
                break;
            default:
                break;
        }
        reading = sample.value;
    }
    p->position = reading - p->zeroOffset;
    return NO_ERROR;
}

// The position in `unitCode`; HUGE_VAL and a status when no finite value exists.
int convert(const PosInstr* p, int unitCode, double* out) {
    *out = HUGE_VAL;
    const bool counter = is_counter(p->posInstrType);
    if (unitCode < 11 || unitCode > (counter ? 23 : 22)) return ERR_PARAM_OUT_OF_RANGE;
    const double perMetre = posinstr_units_per_metre(unitCode);
    if (perMetre == 0) return ERR_PARAM_OUT_OF_RANGE;
    double value;
    if (counter) {
        if (p->unitsCode != POSINSTR_UNIT_WAVE_24 && p->unitsCode != POSINSTR_UNIT_WAVE_25)
            return ERR_INVALID_PARAM;
        const double lambda = posinstr_units_per_metre(p->unitsCode);
        const double divisor = p->scale * (p->posInstrType == POSINSTR_AXIOM ? 254 : 256);
        if (divisor == 0) return ERR_INVALID_PARAM;
        value = p->position * lambda / divisor * perMetre;
    } else if (unitCode == POSINSTR_UNIT_MM) {
        value = p->position;
    } else {
        value = p->position * perMetre / posinstr_units_per_metre(POSINSTR_UNIT_MM);
    }
    if (!std::isfinite(value)) return ERR_INVALID_PARAM;
    *out = value;
    return NO_ERROR;
}

int fail_read(int result) {
    u_msg_sink("pi_dmiCtrl_readPos: %s\n", u_error_name(result));
    return result;
}

}  // namespace

int posinstr_set_driver(int type, const PosInstrDriver* driver) {
    if (!has_reading(type) || type == POSINSTR_ZENCODER) return ERR_INVALID_PARAM;
    g_drivers[type].store(driver);
    return NO_ERROR;
}

const PosInstrDriver* posinstr_driver(int type) {
    return type >= 0 && type <= POSINSTR_NUM_TYPES ? g_drivers[type].load() : nullptr;
}

void posinstr_set_motion_hooks(const PosInstrMotionHooks* hooks) {
    g_motion_hooks.store(hooks);
}

double posinstr_units_per_metre(int code) {
    static const std::array<double, 53> table = [] {
        std::array<double, 53> t{};
        t[11] = 1e10;               // angstrom
        t[12] = 100;                // cm
        t[13] = 3.280839895013123;  // ft
        t[14] = 39.37007874015748;  // in
        t[15] = 1;                  // m
        t[16] = 39370078.74015748;  // microinch
        t[17] = 1e6;                // micrometre
        t[18] = 1e6;
        t[19] = 1000;               // mm
        t[20] = 39370.07874015748;  // mil
        t[21] = 39370078740.15748;  // nanoinch
        t[22] = 1e9;                // nm
        t[24] = 6.32991528e-7;      // wavelengths, in metres
        t[25] = 6.32991501e-7;
        t[26] = 0.0005;
        t[31] = 3437.746770784939;   // arc minutes per radian
        t[32] = 206264.80624709636;  // arc seconds
        t[33] = 57.29577951308232;   // degrees
        t[34] = 1e6;
        t[35] = 1000;
        t[36] = 1;
        t[41] = 1e20;  // areas, per square metre
        t[42] = 1e4;
        t[43] = 10.763910416702721;
        t[44] = 1550.0031000062;
        t[45] = 1;
        t[46] = 1550003100006200;
        t[47] = 1e12;
        t[48] = 1e12;
        t[52] = 1e18;
        return t;
    }();
    return code >= 0 && code < static_cast<int>(table.size()) ? table[code] : 0;
}

int posinstr_init(PosInstr* posInstr, void* motion) {
    int result = ERR_NO_ACTIVE_DMI_FOR_INSTR;
    if (posInstr != nullptr) {
        posInstr->motion = motion;
        if (has_reading(posInstr->posInstrType)) {
            const PosInstr before = *posInstr;
            result = init_device(posInstr);
            if (result == NO_ERROR) {
                posInstr->lastRaw = 0;
                posInstr->position = 0;
                posInstr->zeroOffset = 0;
                posInstr->checkReadStatus = true;
                if (is_absolute(posInstr->posInstrType)) {
                    result = read_device(posInstr);
                    posInstr->zeroOffset = posInstr->position;
                    posInstr->position = 0;
                }
            }
            if (result == NO_ERROR) {
                posInstr->initialised = true;
                return NO_ERROR;
            }
            // Keep the old bookkeeping but initialise again before the next units
            // reading: a position without its zero offset would pass for a good one.
            posInstr->lastRaw = before.lastRaw;
            posInstr->position = before.position;
            posInstr->zeroOffset = before.zeroOffset;
            posInstr->checkReadStatus = before.checkReadStatus;
            posInstr->initialised = false;
        }
    }
    u_msg_sink("pi_dmiCtrl_initDmi: %s\n", u_error_name(result));
    return result;
}

int posinstr_read(PosInstr* posInstr) {
    if (posInstr == nullptr) return fail_read(ERR_NO_ACTIVE_DMI_FOR_INSTR);
    int result = read_device(posInstr);
    return result == NO_ERROR ? NO_ERROR : fail_read(result);
}

int posinstr_read_units(PosInstr* posInstr, int unitCode, double* out) {
    if (out != nullptr) *out = HUGE_VAL;
    if (posInstr == nullptr) return fail_read(ERR_NO_ACTIVE_DMI_FOR_INSTR);
    if (out == nullptr) return fail_read(ERR_INVALID_PARAM);
    int result =
        posInstr->initialised ? read_device(posInstr) : posinstr_init(posInstr, posInstr->motion);
    if (result == NO_ERROR) result = convert(posInstr, unitCode, out);
    return result == NO_ERROR ? NO_ERROR : fail_read(result);
}
