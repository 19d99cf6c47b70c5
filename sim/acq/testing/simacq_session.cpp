#include "sim/acq/testing/simacq_session.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/dynlib.h"
#include "platform/process.h"

namespace {
std::once_flag g_once;
PlatLibrary* g_library = nullptr;
SimAcq g_session{};
bool g_ok = false;

void load() {
    plat_library_set_directory(simacq_library_directory());
    int error = 0;
    g_library = plat_library_load("TsnAcq.dll", &error);
    if (g_library == nullptr) {
        std::fprintf(stderr, "simacq: cannot load TsnAcq.dll from %s (%d)\n",
                     simacq_library_directory(), error);
        return;
    }
    bool ok = true;
#define SIMACQ_SESSION_RESOLVE(name)                                                            \
    g_session.name = reinterpret_cast<name##_t>(plat_library_symbol(g_library, #name, &error)); \
    if (g_session.name == nullptr) {                                                            \
        std::fprintf(stderr, "simacq: entry %s missing (%d)\n", #name, error);                  \
        ok = false;                                                                             \
    }
    SIMACQ_ENTRY_LIST(SIMACQ_SESSION_RESOLVE)
    ACQ_ENTRY_LIST(SIMACQ_SESSION_RESOLVE)
#undef SIMACQ_SESSION_RESOLVE
    g_ok = ok;
}

struct Module {
    std::once_flag once;
    PlatLibrary* library = nullptr;
    decltype(&simld_last) last = nullptr;
    decltype(&simld_call_count) calls = nullptr;
    decltype(&simld_reset) reset = nullptr;
};
Module g_modules[2];

Module* module(const char* name) {
    int i = std::string(name) == "pulsarnorun.dll" ? 1 : 0;
    Module& m = g_modules[i];
    std::call_once(m.once, [&] {
        plat_library_set_directory(simacq_library_directory());
        m.library = plat_library_load(i == 1 ? "pulsarnorun.dll" : "pulsaracq.dll", nullptr);
        if (m.library == nullptr) return;
        m.last = reinterpret_cast<decltype(m.last)>(
            plat_library_symbol(m.library, "simld_last", nullptr));
        m.calls = reinterpret_cast<decltype(m.calls)>(
            plat_library_symbol(m.library, "simld_call_count", nullptr));
        m.reset = reinterpret_cast<decltype(m.reset)>(
            plat_library_symbol(m.library, "simld_reset", nullptr));
    });
    return m.last != nullptr && m.calls != nullptr && m.reset != nullptr ? &m : nullptr;
}
}  // namespace

const char* simacq_library_directory() {
    return SIMACQ_LIBRARY_DIR;
}

const char* simacq_broken_library_directory() {
    return SIMACQ_BROKEN_LIBRARY_DIR;
}

SimAcq* simacq_session() {
    std::call_once(g_once, load);
    return g_ok ? &g_session : nullptr;
}

void simacq_session_reset() {
    if (SimAcq* sim = simacq_session()) sim->simacq_reset();
    for (const char* name : {"pulsaracq.dll", "pulsarnorun.dll"})
        if (Module* m = module(name)) m->reset();
}

bool simld_session_last(const char* name, const char* entry, double* value) {
    Module* m = module(name);
    return m != nullptr && m->last(entry, value);
}

int32_t simld_session_calls(const char* name, const char* entry) {
    Module* m = module(name);
    return m != nullptr ? m->calls(entry) : 0;
}

std::string simacq_default_ini() {
    const char* common =
        "X DATA SCALE=1\n"
        "Y DATA SCALE=1\n"
        "HORZ. PERIOD=800\n"
        "VERT. PERIOD=525\n"
        "PIXEL CLOCK=25e6\n"
        "DATA INTERLACE=0\n"
        "DATA SKIP=1\n"
        "AOI ORIGIN X=0\n"
        "AOI ORIGIN Y=0\n"
        "TRIGGER MODE=1\n"
        "CHAB_GAIN=0\n"
        "READOUT CLOCKS=400000\n";
    return std::string(
               "; simulated frame grabber\n"
               "[ACQDEVICE1]\n"
               "NAME=FG0\n"
               "MODULE=pulsaracq.dll\n"
               "GRAB DATA BUFFERS=4\n"
               "DISPLAY TYPE=0\n"
               "ONBOARD PROC=1\n"
               "\n"
               "[ACQDEVICE1.CAMERA1]\n"
               "NAME=CAM0\n"
               "PIXEL SIZE=7.4\n"
               "INVERTXY=0\n"
               "\n"
               "[ACQDEVICE1.CAMERA1.MODE1]\n"
               "NAME=640x480\n"
               "DATA RATE=60\n"
               "MAX USER WIDTH=640\n"
               "MAX USER HEIGHT=480\n"
               "DATA RESOLUTION=8\n"
               "MEAS INTEGRATION PERIOD=16\n") +
           common +
           "\n"
           "[ACQDEVICE1.CAMERA1.MODE2]\n"
           "NAME=1024x1024\n"
           "DATA RATE=30\n"
           "MAX USER WIDTH=1024\n"
           "MAX USER HEIGHT=1024\n"
           "DATA RESOLUTION=12\n"
           "MEAS INTEGRATION PERIOD=33\n" +
           common;
}

bool simacq_write_ini(const std::string& directory, const std::string& text) {
    std::string path = directory + "/TsnAcq.ini";
    FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

bool simacq_write_default_ini(const std::string& directory) {
    return simacq_write_ini(directory, simacq_default_ini());
}

void simacq_set_system_root(const std::string& directory) {
    plat_set_env("SystemRoot", directory.c_str());
}
