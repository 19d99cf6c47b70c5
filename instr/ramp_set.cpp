#include "instr/ramp_set.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "board/board.h"
#include "common/dirs.h"
#include "common/msg.h"
#include "common/status.h"
#include "config/sysinfo.h"
#include "platform/dirlist.h"
#include "platform/fs.h"
#include "platform/host.h"

namespace {

std::atomic<RrExtProfileLoader> g_extProfileLoader{nullptr};

struct Actuators {
    int32_t pifoc = -1;
    int32_t pzt = -1;
};

// Names written on Windows may carry backslashes.
std::string forward_slashes(std::string name) {
    std::replace(name.begin(), name.end(), '\\', '/');
    return name;
}

std::string join(const char* dir, const std::string& name) {
    std::string path = dir;
    if (!path.empty() && path.back() != '/') path += '/';
    return path + name;
}

// Moves a ramp into the set; the caller's record is released on failure.
int add_ramp(RrRampSet* set, RrRamp* ramp) {
    int status = rr_ramp_set_add(set, ramp);
    if (status != NO_ERROR) rr_ramp_release(ramp);
    return status;
}

// Reads a ramp data file and checks it against the instrument.
int read_checked(const std::string& path, const std::string& name, const SystemInfo* info,
                 const Actuators& act, RrRamp* ramp, const char* readError) {
    int status = rr_read_ramp_file(path.c_str(), &ramp->hdr, &ramp->points);
    if (status != NO_ERROR) {
        u_msg_sink(readError, path.c_str(), u_error_name(status));
        rr_ramp_release(ramp);
        return status;
    }
    status = rr_check_ramp_file(&ramp->hdr, name.c_str(), info->instrBdType, act.pifoc, act.pzt);
    if (status != NO_ERROR) rr_ramp_release(ramp);
    return status;
}

// Loads one configuration entry (numbered from 1) into `ramp`. `base` is the
// ramp most recently loaded from a data file, or null. 0 when accepted.
int load_entry(SystemInfo* info, const Actuators& act, const char* rampsDir, const RrRampSpec& spec,
               int entry, const RrRamp* base, RrRamp* ramp) {
    const bool pmi = rr_is_pmi_type(spec.rampType);
    if (spec.rampType == RR_TYPE_SWLI || spec.rampType == RR_TYPE_BTW) {
        if (act.pifoc == -1) {
            u_msg_sink("Ramp config error: ramp %d can only be used with a PIFOC\n", entry);
            return ERR_INVALID_PARAM;
        }
    } else if (pmi) {
        if (act.pzt == -1) {
            u_msg_sink("Ramp config error: ramp %d can only be used with a PZT\n", entry);
            return ERR_INVALID_PARAM;
        }
    } else {
        u_msg_sink("Ramp config error: ramp %d is of unknown type %d\n", entry, spec.rampType);
        return ERR_INVALID_PARAM;
    }

    if (std::strstr(spec.fileName, "extprofile") != nullptr) {
        RrExtProfileLoader loader = g_extProfileLoader.load();
        if (loader == nullptr) {
            u_msg_sink("Ramp config error: ramp %d \"%s\" is invalid for this instrument\n", entry,
                       spec.fileName);
            return ERR_INVALID_PARAM;
        }
        char text[256] = {};
        int status = loader(info, &spec, ramp, text, sizeof text);
        if (status == NO_ERROR) ramp->hide = spec.hide;
        if (status != NO_ERROR) {
            text[sizeof text - 1] = '\0';
            u_msg_sink("Ramp config error: ramp %d: %s\n", entry,
                       text[0] != '\0' ? text : u_error_name(status));
            rr_ramp_release(ramp);
        }
        return status;
    }

    if (spec.fileName[0] == '+') {
        if (base == nullptr) {
            u_msg_sink(
                "Ramp config error: no loaded ramp data from which to derive config ramp %d\n",
                entry);
            return ERR_INVALID_PARAM;
        }
        int status = rr_derive_ramp(base, ramp, &spec);
        if (status != NO_ERROR) {
            u_msg_sink(
                "Ramp config error: cannot derive config ramp %d from ramp data file \"%s\"\n",
                entry, base->name != nullptr ? base->name : "");
        }
        return status;
    }

    std::string name = forward_slashes(spec.fileName);
    if (!name.empty() && name.back() == '*') {
        name.pop_back();
        name += std::to_string(pmi ? act.pzt : act.pifoc);
    }
    int status = read_checked(join(rampsDir, name), name, info, act, ramp,
                              "Ramp config error reading ramp data file \"%s\": %s\n");
    if (status != NO_ERROR) return status;
    status = rr_check_ramp_spec(&spec, ramp);
    if (status == NO_ERROR) status = rr_ramp_set_name(ramp, name.c_str());
    if (status != NO_ERROR) {
        if (status != ERR_NO_MEM) {
            u_msg_sink("Ramp config error: values not consistent with ramp data file \"%s\"\n",
                       name.c_str());
        }
        rr_ramp_release(ramp);
        return status;
    }
    ramp->hide = spec.hide;
    u_msg_sink("Loaded ramp file \"%s\"\n", ramp->name);
    return NO_ERROR;
}

// Step 3: the configuration entries. Refused entries are skipped; only a
// failure to keep an accepted ramp ends the load.
int load_config(SystemInfo* info, const Actuators& act, const char* rampsDir,
                const RrRampSpec* specs, int count, RrRampSet* set) {
    if (count > RR_MAX_RAMPS) {
        u_msg_sink("Ramp config warning: too many ramp config entries, ignoring entries %d to %d\n",
                   RR_MAX_RAMPS + 1, count);
        count = RR_MAX_RAMPS;
    }
    int base = -1;  // index in the set of the ramp last loaded from a data file
    for (int k = 0; k < count; ++k) {
        const RrRampSpec& spec = specs[k];
        RrRamp ramp{};
        const RrRamp* baseRamp = base >= 0 ? &set->ramps[base] : nullptr;
        int status = load_entry(info, act, rampsDir, spec, k + 1, baseRamp, &ramp);
        // A refused entry is skipped; running out of memory is not the entry's fault.
        if (status == ERR_NO_MEM) return status;
        if (status != NO_ERROR) continue;
        const bool fromFile =
            spec.fileName[0] != '+' && std::strstr(spec.fileName, "extprofile") == nullptr;
        status = add_ramp(set, &ramp);
        if (status != NO_ERROR) return status;
        if (fromFile) base = set->count - 1;
    }
    return NO_ERROR;
}

// True for a standard data file name of one of the instrument's actuators:
// not hidden, extension of one character and a decimal identity number.
bool is_actuator_file(const std::string& name, const Actuators& act) {
    if (name.empty() || name[0] == '.') return false;
    std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || name.size() - dot < 3) return false;
    int64_t number = 0;
    for (std::size_t k = dot + 2; k < name.size(); ++k) {
        char c = name[k];
        if (c < '0' || c > '9') return false;
        number = number * 10 + (c - '0');
        if (number > INT32_MAX) return false;
    }
    return (act.pifoc >= 0 && number == act.pifoc) || (act.pzt >= 0 && number == act.pzt);
}

// Ordering of a scanned set: SWLI, BTW, then PMI; within a type by effective
// camera rate, scan length and slope, then by name.
int type_rank(int32_t type) {
    if (type == RR_TYPE_SWLI) return 0;
    if (type == RR_TYPE_BTW) return 1;
    return 2;
}

bool scan_order(const RrRamp& a, const RrRamp& b) {
    if (type_rank(a.hdr.rampType) != type_rank(b.hdr.rampType))
        return type_rank(a.hdr.rampType) < type_rank(b.hdr.rampType);
    const float rateA = a.hdr.cameraRate / static_cast<float>(a.hdr.grabSkip + 1);
    const float rateB = b.hdr.cameraRate / static_cast<float>(b.hdr.grabSkip + 1);
    if (rateA != rateB) return rateA < rateB;
    if (a.hdr.scanLen != b.hdr.scanLen) return a.hdr.scanLen < b.hdr.scanLen;
    if (a.hdr.rampSlope != b.hdr.rampSlope) return a.hdr.rampSlope < b.hdr.rampSlope;
    return std::strcmp(a.name, b.name) < 0;
}

// Step 4: every data file of the instrument's actuators, in name order.
int scan_directory(const SystemInfo* info, const Actuators& act, const char* rampsDir,
                   RrRampSet* set) {
    u_msg_sink("Checking all files in ramp directory\n");
    std::vector<std::string> names;
    if (!plat_list_regular_files(rampsDir, &names)) return ERR_CANT_ACCESS_DIR;
    std::vector<std::string> candidates;
    for (const std::string& name : names) {
        if (!is_actuator_file(name, act)) continue;
        if (static_cast<int>(candidates.size()) == RR_MAX_RAMPS) {
            u_msg_sink("Warning: too many ramp files (limit is %d), some files ignored\n",
                       RR_MAX_RAMPS);
            break;
        }
        candidates.push_back(name);
    }
    for (const std::string& name : candidates) {
        RrRamp ramp{};
        int status = read_checked(join(rampsDir, name), name, info, act, &ramp,
                                  "Error reading ramp data file \"%s\": %s\n");
        if (status == ERR_NO_MEM) return status;
        if (status != NO_ERROR) continue;
        status = rr_ramp_set_name(&ramp, name.c_str());
        if (status != NO_ERROR) {
            rr_ramp_release(&ramp);
            return status;
        }
        status = add_ramp(set, &ramp);
        if (status != NO_ERROR) return status;
        u_msg_sink("Loaded ramp file \"%s\"\n", name.c_str());
    }
    // rampIDs were given in name order and travel with their ramps.
    std::stable_sort(set->ramps, set->ramps + set->count, scan_order);
    return NO_ERROR;
}

const RrRamp* find_ramp(const RrRampSet* set, int rampID) {
    for (int32_t k = 0; k < set->count; ++k) {
        const RrRamp& ramp = set->ramps[k];
        if (ramp.hdr.rampID == rampID && ramp.name != nullptr) return &ramp;
    }
    return nullptr;
}

// Step 5: the board's slots. Only boards that speak the serial protocol have
// slots this module can reach; the others load their ramps elsewhere.
int reconcile_slots(SystemInfo* info, bool keep, RrRampSet* set) {
    for (int32_t k = 0; k < set->count; ++k) {
        set->ramps[k].inInstr = false;
        set->ramps[k].instrSlot = -1;
    }
    if (!ur_speaks_protocol(info->instrBdType)) return NO_ERROR;
    // A board of four slots refuses the others, so only its own are touched.
    const int slots = ur_ramp_slot_count(info->instrBdType);
    if (!keep) {
        for (int slot = 0; slot < slots; ++slot) {
            int status = ur_ramp_delete(info, slot);
            if (status != NO_ERROR) {
                u_msg_sink("rr_ramp_delete failed: %s\n", u_error_name(status));
                return status;
            }
        }
        return NO_ERROR;
    }
    uint8_t ids[UZ_MAX_RAMP_SLOTS];
    int status = ur_ramp_request(info, ids);
    if (status != NO_ERROR) {
        u_msg_sink("uz_ramp_request failed: %s\n", u_error_name(status));
        return status;
    }
    for (int slot = 0; slot < slots; ++slot) {
        if (ids[slot] == RR_EMPTY_SLOT || find_ramp(set, ids[slot]) != nullptr) continue;
        status = ur_ramp_delete(info, slot);
        if (status != NO_ERROR) {
            u_msg_sink("rr_ramp_delete failed: %s\n", u_error_name(status));
            return status;
        }
        ids[slot] = RR_EMPTY_SLOT;
    }
    for (int32_t k = 0; k < set->count; ++k) {
        RrRamp& ramp = set->ramps[k];
        if (ramp.name == nullptr) continue;
        for (int slot = 0; slot < slots; ++slot) {
            if (ids[slot] == RR_EMPTY_SLOT || ids[slot] != ramp.hdr.rampID) continue;
            ramp.inInstr = true;
            ramp.instrSlot = slot;
            u_msg_sink("Ramp ID %d already loaded in instr\n", ramp.hdr.rampID);
            break;
        }
    }
    return NO_ERROR;
}

void print_summary(const RrRampSet* set) {
    int loaded = 0, derived = 0, swli = 0, btw = 0, pmi = 0;
    for (int32_t k = 0; k < set->count; ++k) {
        const RrRamp& ramp = set->ramps[k];
        if (ramp.inInstr) ++loaded;
        if (ramp.derived) ++derived;
        if (ramp.hdr.rampType == RR_TYPE_SWLI) ++swli;
        if (ramp.hdr.rampType == RR_TYPE_BTW) ++btw;
        if (rr_is_pmi_type(ramp.hdr.rampType)) ++pmi;
    }
    u_msg_sink("Ramp data sets:\n");
    u_msg_sink("  %3d Total\n", set->count);
    u_msg_sink("  %3d Loaded\n", loaded);
    u_msg_sink("  %3d Derived\n", derived);
    u_msg_sink("  %3d SWLI\n", swli);
    u_msg_sink("  %3d BTW\n", btw);
    u_msg_sink("  %3d PMI\n", pmi);
}

int load(SystemInfo* info, RrRampSet* set) {
    const char* rampsDir = u_ramps_dir();
    if (rampsDir == nullptr) return ERR_CANT_ACCESS_DIR;
    u_msg_sink("Ramp directory: %s\n", rampsDir);
    std::string ignored;
    const bool keep = plat_get_env(RR_KEEP_RAMPS_ENV, &ignored);
    if (keep) u_msg_sink("Found env var %s\n", RR_KEEP_RAMPS_ENV);

    Actuators act;
    rr_instr_actuators(info, &act.pifoc, &act.pzt);

    bool scan = true;
    if (!info->rampConfig.empty()) {
        const std::string path = join(rampsDir, forward_slashes(info->rampConfig));
        if (!plat_is_regular_file(path.c_str())) {
            u_msg_sink("Cannot access ramp config file \"%s\"\n", path.c_str());
        } else {
            scan = false;
            u_msg_sink("Reading ramp config file \"%s\"\n", path.c_str());
            RrRampSpec* specs = nullptr;
            int count = 0;
            int status = rr_read_ramp_cfg(path.c_str(), &specs, &count);
            if (status == NO_ERROR && count < 1) status = ERR_NO_RAMP_INFO;
            if (status == NO_ERROR) status = load_config(info, act, rampsDir, specs, count, set);
            rr_free_ramp_specs(&specs);
            if (status != NO_ERROR) return status;
        }
    }
    if (scan) {
        int status = scan_directory(info, act, rampsDir, set);
        if (status != NO_ERROR) return status;
    }

    int status = reconcile_slots(info, keep, set);
    if (status != NO_ERROR) return status;

    print_summary(set);
    if (set->count == 0) {
        u_msg_sink("No usable ramp data\n");
        return ERR_NO_RAMP_INFO;
    }
    return NO_ERROR;
}

}  // namespace

void rr_instr_actuators(const SystemInfo* info, int32_t* pifocId, int32_t* pztId) {
    *pifocId = -1;
    *pztId = -1;
    if (info == nullptr || !info->pifocSet) return;
    if (info->power.pztType == 2) {
        *pztId = info->pifocId;
    } else {
        *pifocId = info->pifocId;
    }
}

RrExtProfileLoader rr_set_ext_profile_loader(RrExtProfileLoader loader) {
    return g_extProfileLoader.exchange(loader);
}

int rr_get_ramp_info(SystemInfo* info, RrRampSet* set) {
    if (set != nullptr) rr_ramp_set_release(set);
    int status = info == nullptr || set == nullptr ? ERR_INVALID_PARAM : load(info, set);
    if (status != NO_ERROR) {
        u_msg_sink("rr_get_ramp_info: %s\n", u_error_name(status));
        // A half-built or unreconciled set would misreport what the board holds.
        if (set != nullptr) rr_ramp_set_release(set);
    }
    return status;
}
