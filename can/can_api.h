// The CAN bridge library's interface: the 17 CAN_* entry points the program
// imports by name from "PrynCANopen.dll" (libPrynCANopen.so here), and the
// records they pass. Shared by the library's loader in can/ and by the
// simulated bridge library in sim/, so both sides agree byte for byte.
//
// Every entry but CAN_EnumerateBridges returns a 32-bit code: 1 is success,
// -1 to -6 are the failures that can_canerr_to_error translates.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

// Result codes of the entry points.
constexpr int32_t CAN_OK = 1;
constexpr int32_t CAN_ERR_GENERAL = -1;
constexpr int32_t CAN_ERR_NOT_CONNECTED = -2;
constexpr int32_t CAN_ERR_TIMEOUT = -3;
constexpr int32_t CAN_ERR_TCP_TRANSMISSION = -4;
constexpr int32_t CAN_ERR_BUFFER_TOO_SMALL = -5;
constexpr int32_t CAN_ERR_NO_PDO = -6;

// Sizes the program passes.
constexpr int CAN_MAX_BRIDGES = 127;  // entries of the enumeration buffer
constexpr int CAN_NODE_COUNT = 128;   // state bytes of CAN_EnumerateNodes, by node ID
constexpr uint8_t CAN_NODE_PRESENT = 2;      // CAN_EnumerateNodes state, CAN_FindNode status
constexpr uint8_t CAN_NODE_OPERATIONAL = 2;  // CAN_GetNodeState state

// One bridge found by CAN_EnumerateBridges: its IPv4 address, then its MAC
// address (10 bytes, packed).
struct CanBridgeEntry {
    uint8_t ipv4[4];
    uint8_t mac[6];
};

// A process data object: COB-ID (node ID in bits 0-6, function code in bits
// 7-10), two values the program carries but never interprets, 8 data bytes.
struct CanPdoRecord {
    uint32_t cobId;
    uint32_t value1;
    uint32_t value2;
    uint8_t data[8];
};

// Status of an SDO transfer: the first value is not used, the transfer result
// (1 = success), the SDO abort code.
struct CanSdoStatus {
    uint32_t unused;
    uint32_t result;
    uint32_t abortCode;
};

constexpr uint32_t CAN_SDO_SUCCESS = 1;

// Called on the library's thread with the number of PDOs waiting and an
// overrun flag; it fetches each with CAN_GetPDO.
using CanPdoCallback = void (*)(uint32_t waiting, uint32_t overrun);
// Called on the library's thread with an emergency: two 32-bit values, three
// more behind the pointer, one byte.
using CanEmcyCallback = void (*)(uint32_t value1, uint32_t value2, const uint32_t* values,
                                 uint8_t byte);

// The entry points, in the order the loader imports them.
using CAN_EnumerateBridges_t = int32_t (*)(CanBridgeEntry* entries, int32_t capacity);
using CAN_Connect_t = int32_t (*)(uint32_t ipv4);
using CAN_Disconnect_t = int32_t (*)();
using CAN_GetFirmwareVersion_t = int32_t (*)(uint8_t* major, uint8_t* minor);
using CAN_GetBridgeConfiguration_t = int32_t (*)(uint8_t* nodeId, uint32_t* bitRate);
using CAN_SetBridgeConfiguration_t = int32_t (*)(uint8_t nodeId, uint32_t bitRate);
using CAN_GetLastBridgeError_t = int32_t (*)(uint32_t* error);
using CAN_ResetBridge_t = int32_t (*)();
using CAN_EnumerateNodes_t = int32_t (*)(uint8_t* states);  // CAN_NODE_COUNT bytes
using CAN_FindNode_t = int32_t (*)(uint8_t node, uint8_t* status);
using CAN_GetNodeState_t = int32_t (*)(uint8_t node, uint8_t* state);
using CAN_SDORead_t = int32_t (*)(uint8_t node, uint16_t index, uint8_t subIndex, void* data,
                                  uint32_t size, CanSdoStatus* status);
using CAN_SDOWrite_t = int32_t (*)(uint8_t node, uint16_t index, uint8_t subIndex,
                                   const void* data, uint32_t size, CanSdoStatus* status);
using CAN_RegisterPDO_t = int32_t (*)(const CanPdoRecord* pdo);
using CAN_UnregisterPDOs_t = int32_t (*)();
using CAN_RegisterEvents_t = int32_t (*)(CanPdoCallback pdo, CanEmcyCallback emcy);
using CAN_GetPDO_t = int32_t (*)(CanPdoRecord* pdo);

}  // extern "C"

// X(name) for each of the 17 entry points, in import order.
#define CAN_ENTRY_LIST(X)          \
    X(CAN_EnumerateBridges)        \
    X(CAN_Connect)                 \
    X(CAN_Disconnect)              \
    X(CAN_GetFirmwareVersion)      \
    X(CAN_GetBridgeConfiguration)  \
    X(CAN_SetBridgeConfiguration)  \
    X(CAN_GetLastBridgeError)      \
    X(CAN_ResetBridge)             \
    X(CAN_EnumerateNodes)          \
    X(CAN_FindNode)                \
    X(CAN_GetNodeState)            \
    X(CAN_SDORead)                 \
    X(CAN_SDOWrite)                \
    X(CAN_RegisterPDO)             \
    X(CAN_UnregisterPDOs)          \
    X(CAN_RegisterEvents)          \
    X(CAN_GetPDO)

// The library's documented name; loaded as libPrynCANopen.so.
constexpr const char* CAN_LIBRARY_NAME = "PrynCANopen.dll";

static_assert(sizeof(CanBridgeEntry) == 10);
static_assert(offsetof(CanBridgeEntry, mac) == 4);
static_assert(sizeof(CanPdoRecord) == 20);
static_assert(offsetof(CanPdoRecord, data) == 12);
static_assert(sizeof(CanSdoStatus) == 12);
static_assert(offsetof(CanSdoStatus, abortCode) == 8);
