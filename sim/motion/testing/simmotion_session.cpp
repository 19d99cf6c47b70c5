#include "sim/motion/testing/simmotion_session.h"

#include <cstdio>
#include <mutex>

#include "motion/mwi_api.h"
#include "platform/dynlib.h"

namespace {
std::once_flag g_once;
PlatLibrary* g_library = nullptr;
SimMotion g_session{};
bool g_ok = false;

void load() {
    plat_library_set_directory(simmotion_library_directory());
    int error = 0;
    g_library = plat_library_load(MWI_LIBRARY_NAME, &error);
    if (g_library == nullptr) {
        std::fprintf(stderr, "simmotion: cannot load %s from %s (%d)\n", MWI_LIBRARY_NAME,
                     simmotion_library_directory(), error);
        return;
    }
    bool ok = true;
#define SIMMOTION_SESSION_RESOLVE(name)                                                         \
    g_session.name = reinterpret_cast<name##_t>(plat_library_symbol(g_library, #name, &error)); \
    if (g_session.name == nullptr) {                                                            \
        std::fprintf(stderr, "simmotion: entry %s missing (%d)\n", #name, error);               \
        ok = false;                                                                             \
    }
    SIMMOTION_ENTRY_LIST(SIMMOTION_SESSION_RESOLVE)
#undef SIMMOTION_SESSION_RESOLVE
    g_ok = ok;
}
}  // namespace

const char* simmotion_library_directory() {
    return SIMMOTION_LIBRARY_DIR;
}

std::string simmotion_variant_directory(const char* variant) {
    return std::string(SIMMOTION_VARIANT_DIR_PREFIX) + variant;
}

SimMotion* simmotion_session() {
    std::call_once(g_once, load);
    return g_ok ? &g_session : nullptr;
}

void simmotion_session_reset() {
    if (SimMotion* sim = simmotion_session()) sim->simmotion_reset();
}

std::vector<std::string> simmotion_transcript() {
    std::vector<std::string> lines;
    SimMotion* sim = simmotion_session();
    if (sim == nullptr) return lines;
    int count = sim->simmotion_transcript_count();
    for (int i = 0; i < count; ++i) {
        char text[512];
        if (sim->simmotion_transcript_line(i, text, sizeof text)) lines.emplace_back(text);
    }
    return lines;
}
