// Test library loaded at run time as "PlatProbe.dll". It reports what the
// platform library it links looks like from inside a loaded library, and calls
// into static libraries so that linking it proves they are position-independent.
#include <cstring>

#include "common/status.h"
#include "config/sysinfo.h"
#include "datafile/datfile.h"
#include "platform/clock.h"
#include "platform/event.h"

extern "C" double plat_probe_clock_scale() {
    return plat_clock_scale();
}

// Signals the named event through the registry this library sees: false when
// the name is unknown there.
extern "C" bool plat_probe_set_event(const char* name) {
    PlatWaitable* event = plat_named_open(name);
    bool set = plat_event_set(event);
    plat_handle_close(event);
    return set;
}

// True when code taken from the static libraries works inside the library.
extern "C" bool plat_probe_static_code() {
    return std::strcmp(u_error_name(ERR_INTERNAL_KT), "ERR_INTERNAL_KT") == 0 &&
           std::strcmp(sb_system_type_name(-1), "Unknown") == 0 && sb_system_info(0) != nullptr &&
           dat_phase_counts_per_cycle(1) == 32768;
}
