// Control API of the simulated CAN bridge library (libPrynCANopen.so), which
// exports the 17 CAN_* entries of can/can_api.h. Tests and the demo configure
// the simulated network through these simcan_* entries: bridges on the
// network, the nodes on the bus of the connected bridge, their object
// dictionaries, scripted faults, PDO and emergency emission, and a
// time-stamped transcript of everything the program did.
//
// All entries are safe to call from any thread, also from an object hook or
// while the program's callbacks run. Delays are spans of the library's clock
// (platform/clock.h), shared with the program.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

// ---- The whole simulation ------------------------------------------------

// Back to the start state: connection dropped (delivery thread joined, no
// callbacks registered, PDO registrations and queue dropped), every bridge,
// node, fault and transcript entry removed, then the default bridge added:
// index 0, MAC 00 1A 2B 3C 4D 5E, IPv4 192.168.10.20, firmware 1.12,
// configuration node 127 at 1000 kbit/s, with the model of node 127 (the
// bridge node) on its bus. Every other setting to its default.
using simcan_reset_t = void (*)();

// ---- Bridges on the network ----------------------------------------------

// Adds a bridge (found by the next enumeration); its index, -1 when the
// network is full (SIMCAN_MAX_BRIDGES).
using simcan_bridge_add_t = int (*)(const uint8_t* mac6, const uint8_t* ipv4);
// Removes every bridge (the connection too).
using simcan_bridge_remove_all_t = void (*)();
using simcan_bridge_set_mac_t = bool (*)(int bridge, const uint8_t* mac6);
using simcan_bridge_set_ipv4_t = bool (*)(int bridge, const uint8_t* ipv4);
using simcan_bridge_set_firmware_t = bool (*)(int bridge, uint8_t major, uint8_t minor);
// The configuration in effect (CAN_GetBridgeConfiguration reports it).
using simcan_bridge_set_config_t = bool (*)(int bridge, uint8_t nodeId, uint32_t bitRate);
// The configuration in effect and the one stored by CAN_SetBridgeConfiguration,
// which takes effect at the next CAN_Connect (outputs may be null).
using simcan_bridge_get_config_t = bool (*)(int bridge, uint8_t* nodeId, uint32_t* bitRate,
                                            uint8_t* storedNodeId, uint32_t* storedBitRate);
// CAN_GetLastBridgeError reports `error` for the next `reads` reads, then 0
// (reads < 0: always; error 0 clears it). A reset does not clear it.
using simcan_bridge_latch_error_t = bool (*)(int bridge, uint32_t error, int reads);
// The bridge answers enumerations only from the k-th call of
// CAN_EnumerateBridges on (counted from the last reset; k <= 1: at once).
using simcan_bridge_found_from_t = bool (*)(int bridge, int k);
// Counts of calls of CAN_ResetBridge and CAN_Connect on a bridge.
using simcan_bridge_resets_t = int (*)(int bridge);
using simcan_bridge_connects_t = int (*)(int bridge);

// CAN_EnumerateBridges returns `count` instead of the number found (still
// filling at most the caller's capacity with the bridges found): -1, 0 or more
// than 127. SIMCAN_ENUM_NATURAL ends the override.
constexpr int32_t SIMCAN_ENUM_NATURAL = INT32_MIN;
using simcan_set_enumeration_result_t = void (*)(int32_t count);

// Whether CAN_ResetBridge drops the connection (default true: every call but
// CAN_Connect, CAN_Disconnect and CAN_EnumerateBridges then returns -2 until
// the next CAN_Connect).
using simcan_set_reset_drops_connection_t = void (*)(bool drops);

// The connected bridge's index, -1 when not connected.
using simcan_connected_bridge_t = int (*)();
// Drops the connection from the bridge's side (cable pulled): the delivery
// thread ends, later calls return -2.
using simcan_drop_connection_t = void (*)();

// ---- Nodes on the bus ----------------------------------------------------

// Adds (or replaces) a plain node: present, found, operational, with the
// communication objects 0x1000/0 (4 bytes), 0x1001/0 (error register, 1 byte),
// 0x1002/0 (4 bytes) and the identity 0x1018/1-4 (vendor, product ID,
// revision = version, serial; 4 bytes each, read-only).
using simcan_node_add_t = bool (*)(uint8_t node, uint32_t productId, uint32_t version);
// Adds the model of a known node (127, 61, 62, 52, 63, 64, 66, 68, 70, 72,
// 73): its object dictionary and behaviour. False for other node IDs.
using simcan_model_add_t = bool (*)(uint8_t node, uint32_t productId, uint32_t version);
using simcan_node_remove_t = void (*)(uint8_t node);
// Present in CAN_EnumerateNodes (state 2) or not (0); an absent node does not
// answer SDOs (time-out, -3, without delay).
using simcan_node_set_present_t = bool (*)(uint8_t node, bool present);
// Status CAN_FindNode reports (default 2 for a present node, 0 otherwise).
using simcan_node_set_find_status_t = bool (*)(uint8_t node, uint8_t status);
// CAN_GetNodeState reports `state` for the next `times` calls, then 2.
using simcan_node_set_not_operational_t = bool (*)(uint8_t node, uint8_t state, int times);
using simcan_node_set_error_register_t = bool (*)(uint8_t node, uint8_t value);

// A named parameter of a node model (see sim/can/simcan_models.cpp); false
// for an unknown node or name.
using simcan_model_param_t = bool (*)(uint8_t node, const char* name, int64_t value);

// ---- Object dictionaries -------------------------------------------------

constexpr int SIMCAN_READ = 1;
constexpr int SIMCAN_WRITE = 2;
constexpr int SIMCAN_READ_WRITE = 3;
// With this bit, transfers of 1 to `size` bytes are taken (an object whose
// transfer size varies, such as a block of samples).
constexpr int SIMCAN_VARIABLE_SIZE = 4;

// Adds (or replaces) an object of `size` bytes (1 to 65536) with the given
// access and initial value (null: zeros). A transfer of another size aborts
// with 0x06070010, a missing object with 0x06020000, a write to a read-only
// object with 0x06010002, a read of a write-only one with 0x06010001.
using simcan_object_add_t = bool (*)(uint8_t node, uint16_t index, uint8_t subIndex, uint32_t size,
                                     int access, const void* initial);
// Sets or reads an object's value from the test's side (no transfer, no
// transcript, no hook); `size` must be the object's. False when it is missing.
using simcan_object_set_t = bool (*)(uint8_t node, uint16_t index, uint8_t subIndex,
                                     const void* data, uint32_t size);
using simcan_object_get_t = bool (*)(uint8_t node, uint16_t index, uint8_t subIndex, void* data,
                                     uint32_t size);
// Called for each transfer of the object that passed the size and access
// checks, with no lock of the library held (so it may call simcan_*): for a
// read before the value is copied out (`data` holds the value, the hook may
// change it; the change is stored), for a write after it is stored (`data`
// holds what was written). A nonzero result aborts the transfer with that
// code (a write is then undone).
using SimCanObjectHook = uint32_t (*)(void* context, uint8_t node, uint16_t index, uint8_t subIndex,
                                      bool write, uint8_t* data, uint32_t size);
using simcan_object_hook_t = bool (*)(uint8_t node, uint16_t index, uint8_t subIndex,
                                      SimCanObjectHook hook, void* context);

// ---- Scripted SDO faults -------------------------------------------------

// -1 in a match field matches anything.
constexpr int SIMCAN_ANY = -1;
constexpr int SIMCAN_DIR_READ = 0;
constexpr int SIMCAN_DIR_WRITE = 1;

// The next `count` transfers matching (node, index, sub-index, direction)
// (count < 0: all of them) wait `delayMs` first, then return `canErr`
// (1: go on; with a nonzero `abortCode` they answer with that SDO abort and
// transfer nothing). Faults are matched in the order they were added; the
// first that matches is used. Examples: -3 after 2000 ms, -4 at once, abort
// 0x06090011.
using simcan_sdo_fault_t = void (*)(int node, int index, int subIndex, int direction,
                                    int32_t canErr, uint32_t abortCode, int64_t delayMs, int count);
using simcan_sdo_faults_clear_t = void (*)();

// ---- PDOs and emergencies ------------------------------------------------

// A PDO arriving from the bus: queued for the program when its COB-ID is
// registered and events are registered; 1 queued, 0 ignored, -1 dropped
// because the queue holds the set depth (the next callback reports overrun).
using simcan_emit_pdo_t = int (*)(uint32_t cobId, const uint8_t* data, uint32_t size);
// An emergency: delivered when events are registered (1), else ignored (0).
using simcan_emit_emcy_t = int (*)(uint32_t value1, uint32_t value2, const uint32_t* values3,
                                   uint8_t byte);
// Depth of the received-PDO queue (default 256, at least 1).
using simcan_set_pdo_depth_t = void (*)(uint32_t depth);
// The next `count` CAN_GetPDO calls fail with `canErr` (the PDO stays queued).
using simcan_getpdo_fail_t = void (*)(int32_t canErr, int count);
// The next callback runs `delayMs` late: the delivery thread holds it in
// flight that long before calling it.
using simcan_delay_next_callback_t = void (*)(int64_t delayMs);
// Whether the delivery thread runs; PDOs queued for CAN_GetPDO; PDOs dropped
// by overrun since the reset; callbacks made since the reset.
using simcan_delivery_running_t = bool (*)();
using simcan_pdo_queued_t = uint32_t (*)();
using simcan_pdo_dropped_t = uint64_t (*)();
using simcan_callbacks_made_t = uint64_t (*)();
// The registered COB-IDs (at most `capacity`); their count.
using simcan_registered_cobids_t = int (*)(uint32_t* cobIds, int capacity);

// ---- Transcript ----------------------------------------------------------

constexpr int SIMCAN_REC_CALL = 0;      // an entry point was called
constexpr int SIMCAN_REC_SDO = 1;       // an SDO transfer
constexpr int SIMCAN_REC_DELIVERY = 2;  // a callback was made

// One transcript entry. For SDO transfers: node, object, direction, the bytes
// read or written (`size`; the first SIMCAN_REC_BYTES inline, all through
// simcan_transcript_bytes), the entry's result and the abort code.
// For calls: `name` and the result (CAN_RegisterPDO: `size` = the COB-ID).
// For deliveries: `name` ("pdo"/"emcy"), `size` = PDOs waiting, `abortCode`
// = overrun flag.
constexpr uint32_t SIMCAN_REC_BYTES = 16;
struct SimCanRecord {
    int64_t timeMs;  // library clock
    int kind;
    char name[32];
    uint8_t node;
    uint16_t index;
    uint8_t subIndex;
    int direction;
    uint32_t size;
    uint8_t bytes[SIMCAN_REC_BYTES];
    int32_t result;
    uint32_t abortCode;
    int32_t entry;  // its index in the transcript
};

// The transcript keeps the first 100000 entries since the last clear or
// reset (bounded memory under floods); later ones are not kept.
using simcan_transcript_clear_t = void (*)();
using simcan_transcript_count_t = int (*)();
using simcan_transcript_entry_t = bool (*)(int i, SimCanRecord* record);
// Copies up to `capacity` of the entry's bytes; the entry's full size.
using simcan_transcript_bytes_t = uint32_t (*)(int i, void* data, uint32_t capacity);

}  // extern "C"

constexpr int SIMCAN_MAX_BRIDGES = 16;

// X(name) for each control entry, for loaders that resolve them all.
#define SIMCAN_ENTRY_LIST(X)             \
    X(simcan_reset)                      \
    X(simcan_bridge_add)                 \
    X(simcan_bridge_remove_all)          \
    X(simcan_bridge_set_mac)             \
    X(simcan_bridge_set_ipv4)            \
    X(simcan_bridge_set_firmware)        \
    X(simcan_bridge_set_config)          \
    X(simcan_bridge_get_config)          \
    X(simcan_bridge_latch_error)         \
    X(simcan_bridge_found_from)          \
    X(simcan_bridge_resets)              \
    X(simcan_bridge_connects)            \
    X(simcan_set_enumeration_result)     \
    X(simcan_set_reset_drops_connection) \
    X(simcan_connected_bridge)           \
    X(simcan_drop_connection)            \
    X(simcan_node_add)                   \
    X(simcan_model_add)                  \
    X(simcan_model_param)                \
    X(simcan_node_remove)                \
    X(simcan_node_set_present)           \
    X(simcan_node_set_find_status)       \
    X(simcan_node_set_not_operational)   \
    X(simcan_node_set_error_register)    \
    X(simcan_object_add)                 \
    X(simcan_object_set)                 \
    X(simcan_object_get)                 \
    X(simcan_object_hook)                \
    X(simcan_sdo_fault)                  \
    X(simcan_sdo_faults_clear)           \
    X(simcan_emit_pdo)                   \
    X(simcan_emit_emcy)                  \
    X(simcan_set_pdo_depth)              \
    X(simcan_getpdo_fail)                \
    X(simcan_delay_next_callback)        \
    X(simcan_delivery_running)           \
    X(simcan_pdo_queued)                 \
    X(simcan_pdo_dropped)                \
    X(simcan_callbacks_made)             \
    X(simcan_registered_cobids)          \
    X(simcan_transcript_clear)           \
    X(simcan_transcript_count)           \
    X(simcan_transcript_entry)           \
    X(simcan_transcript_bytes)
