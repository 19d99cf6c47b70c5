#include "sim/can/testing/simcan_session.h"

#include <cstdio>
#include <mutex>

#include "platform/dynlib.h"

namespace {
std::once_flag g_once;
PlatLibrary* g_library = nullptr;
SimCan g_session{};
bool g_ok = false;

void load() {
    plat_library_set_directory(simcan_library_directory());
    int error = 0;
    g_library = plat_library_load(CAN_LIBRARY_NAME, &error);
    if (g_library == nullptr) {
        std::fprintf(stderr, "simcan: cannot load %s from %s (%d)\n", CAN_LIBRARY_NAME,
                     simcan_library_directory(), error);
        return;
    }
    bool ok = true;
#define SIMCAN_SESSION_RESOLVE(name)                                                            \
    g_session.name = reinterpret_cast<name##_t>(plat_library_symbol(g_library, #name, &error)); \
    if (g_session.name == nullptr) {                                                            \
        std::fprintf(stderr, "simcan: entry %s missing (%d)\n", #name, error);                  \
        ok = false;                                                                             \
    }
    SIMCAN_ENTRY_LIST(SIMCAN_SESSION_RESOLVE)
#undef SIMCAN_SESSION_RESOLVE
    g_ok = ok;
}
}  // namespace

const char* simcan_library_directory() {
    return SIMCAN_LIBRARY_DIR;
}

SimCan* simcan_session() {
    std::call_once(g_once, load);
    return g_ok ? &g_session : nullptr;
}

void* simcan_entry(const char* name) {
    if (simcan_session() == nullptr) return nullptr;
    return plat_library_symbol(g_library, name, nullptr);
}

void simcan_session_reset() {
    if (SimCan* sim = simcan_session()) sim->simcan_reset();
}

std::vector<SimCanRecord> simcan_transcript() {
    std::vector<SimCanRecord> records;
    SimCan* sim = simcan_session();
    if (sim == nullptr) return records;
    int count = sim->simcan_transcript_count();
    for (int i = 0; i < count; ++i) {
        SimCanRecord record{};
        if (sim->simcan_transcript_entry(i, &record)) records.push_back(record);
    }
    return records;
}

std::vector<SimCanRecord> simcan_sdo_transcript() {
    std::vector<SimCanRecord> records;
    for (const SimCanRecord& record : simcan_transcript())
        if (record.kind == SIMCAN_REC_SDO) records.push_back(record);
    return records;
}

std::vector<uint8_t> simcan_record_bytes(int i) {
    SimCan* sim = simcan_session();
    if (sim == nullptr) return {};
    uint32_t size = sim->simcan_transcript_bytes(i, nullptr, 0);
    std::vector<uint8_t> bytes(size);
    sim->simcan_transcript_bytes(i, bytes.data(), size);
    return bytes;
}
