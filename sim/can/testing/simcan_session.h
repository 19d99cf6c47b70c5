// Test support: the simulated CAN bridge library, loaded the way the program
// loads its bridge library (so both use one instance), with its control
// entries resolved.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "can/can_api.h"
#include "sim/can/simcan.h"

struct SimCan {
#define SIMCAN_SESSION_MEMBER(name) name##_t name;
    SIMCAN_ENTRY_LIST(SIMCAN_SESSION_MEMBER)
#undef SIMCAN_SESSION_MEMBER
};

// The build directory that holds libPrynCANopen.so.
const char* simcan_library_directory();

// Points the platform's library lookup at the simulator's directory, loads
// "PrynCANopen.dll" once and resolves every simcan_* entry. Null (with a
// message on stderr) when the library or an entry is missing.
SimCan* simcan_session();

// One of the library's CAN_* entries (null when missing), for tests that
// drive the library directly.
void* simcan_entry(const char* name);

// simcan_reset() of the session's library: the state between tests.
void simcan_session_reset();

// The transcript as records; only the SDO transfers.
std::vector<SimCanRecord> simcan_transcript();
std::vector<SimCanRecord> simcan_sdo_transcript();
// All bytes of transcript entry i.
std::vector<uint8_t> simcan_record_bytes(int i);
