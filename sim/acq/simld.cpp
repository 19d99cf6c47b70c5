// The simulated line-detection module (libpulsaracq.so), and the build
// lacking RunLDCommand (libpulsarnorun.so, SIMLD_WITHOUT_RUN). It keeps the
// values it is given for tests; what it would do with them is not modelled.
#include <map>
#include <mutex>
#include <string>

#include "platform/export.h"
#include "sim/acq/simacq.h"

#define SIMLD_EXPORT extern "C" PLAT_EXPORT

namespace {
std::mutex g_lock;
std::map<std::string, double> g_last;
std::map<std::string, int32_t> g_calls;

int32_t record(const char* entry, double value) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_last[entry] = value;
    ++g_calls[entry];
    return 1;
}
}  // namespace

SIMLD_EXPORT int32_t SetLDNFringes(int32_t fringes) {
    return record("SetLDNFringes", fringes);
}

SIMLD_EXPORT int32_t SetLDPhaseRes(int32_t resolution) {
    return record("SetLDPhaseRes", resolution);
}

SIMLD_EXPORT int32_t SetLDPrynScale(double scale) {
    return record("SetLDPrynScale", scale);
}

SIMLD_EXPORT int32_t SetLDMinArea(int32_t area) {
    return record("SetLDMinArea", area);
}

#ifndef SIMLD_WITHOUT_RUN
SIMLD_EXPORT int32_t RunLDCommand(int32_t command, void*) {
    return record("RunLDCommand", command);
}
#endif

SIMLD_EXPORT bool simld_last(const char* entry, double* value) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_last.find(entry == nullptr ? "" : entry);
    if (it == g_last.end()) return false;
    if (value != nullptr) *value = it->second;
    return true;
}

SIMLD_EXPORT int32_t simld_call_count(const char* entry) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_calls.find(entry == nullptr ? "" : entry);
    return it == g_calls.end() ? 0 : it->second;
}

SIMLD_EXPORT void simld_reset() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_last.clear();
    g_calls.clear();
}
