// CAN event queues: the bridge library's callbacks (and a motion controller
// that owns the CAN connection) copy PDOs and emergencies into two raw
// queues; can_poll_events moves them into the application event and
// emergency queues, decoding PDOs into numbered instrument events by system
// type.
//
// Locks: "PrynCanEventMutex" (the application queues, the decoder memory and
// the poll), then "PrynPdoQueueMutex" or "PrynEmcyQueueMutex" for one append
// or removal; never the reverse. No dev_ call is made while one is held.
// The three are created once and live for the process.
#pragma once

#include <cstddef>
#include <cstdint>

#include "can/can_api.h"

struct SystemInfo;

// An emergency as the library's callback passes it: its two values, the
// three behind the pointer, its byte (upper bytes zero).
struct CanEmcyRecord {
    uint32_t value1;
    uint32_t value2;
    uint32_t block[3];
    uint32_t byte;
};

struct CanAppEvent {
    uint32_t kind;
    CanPdoRecord pdo;
};

struct CanAppEmcy {
    uint32_t kind;  // always CAN_EMCY_KIND
    CanEmcyRecord emcy;
};

static_assert(sizeof(CanEmcyRecord) == 24);
static_assert(sizeof(CanAppEvent) == 24);
static_assert(sizeof(CanAppEmcy) == 28);

// Kinds of application events.
constexpr uint32_t CAN_EMCY_KIND = 2;
constexpr uint32_t CAN_EVENT_ZOOM_STOPPED = 3;
constexpr uint32_t CAN_EVENT_ZOOM_POSITION = 4;
constexpr uint32_t CAN_EVENT_WAND_1 = 5;
constexpr uint32_t CAN_EVENT_RS_DISK_1 = 6;
constexpr uint32_t CAN_EVENT_RS_DISK_2 = 7;
constexpr uint32_t CAN_EVENT_WAND_2 = 8;
constexpr uint32_t CAN_EVENT_WAND_3 = 9;
constexpr uint32_t CAN_EVENT_SLEEP_REQUEST = 10;
constexpr uint32_t CAN_EVENT_ZOOM_MOVING = 12;
constexpr uint32_t CAN_EVENT_NDW_PDO = 13;
constexpr uint32_t CAN_EVENT_TURRET = 14;

// Each queue holds at most this many entries; a full queue drops its oldest.
constexpr size_t CAN_QUEUE_LIMIT = 4096;

enum CanQueue {
    CAN_QUEUE_RAW_PDO,
    CAN_QUEUE_RAW_EMCY,
    CAN_QUEUE_APP_EVENT,
    CAN_QUEUE_APP_EMCY,
    CAN_QUEUE_COUNT
};

// Entries a queue has dropped since the process started: oldest entries
// pushed out of a full queue, and records lost to a failure inside a
// callback or the poll.
uint64_t can_queue_drops(CanQueue queue);
size_t can_queue_length(CanQueue queue);

// Zoom motion states of the decoder memory.
constexpr int CAN_ZOOM_IDLE = 0;
constexpr int CAN_ZOOM_MOVING = 1;
constexpr int CAN_ZOOM_STOPPING = 2;
constexpr uint8_t CAN_NO_ZOOM_POSITION = 255;

// What the decoders remember between PDOs. Power-on, the zoom read and
// ND-wheel homing change it through the setters below, under the event lock.
struct CanDecoderMemory {
    uint8_t ndwHomeStatus = 0;  // bits 3-4 of node 64's last status byte
    bool ndwMoving = false;     // bit 1 of it
    bool ndwWasMoving = false;
    int zoomState = CAN_ZOOM_IDLE;
    uint8_t lastZoomPosition = CAN_NO_ZOOM_POSITION;
};

CanDecoderMemory can_decoder_memory();
void can_set_ndw_status(uint8_t homeStatus, bool moving);
void can_set_zoom_state(int state);
void can_set_last_zoom_position(uint8_t position);
// Sets it only when none is remembered yet (the zoom read's first reading).
void can_seed_last_zoom_position(uint8_t position);
// The last turret flags byte (info->can.lastTurretFlags), which the turret
// decoder compares and replaces.
void can_set_last_turret_flags(SystemInfo* info, uint8_t flags);

// Node 63's raw zoom position through the position table of product
// 0x267215D7: raw 0-7 give 0, 6, 5, 4, 3, 2, 1, 7; -1 for anything above 7.
int can_zoom_table_position(uint32_t raw);

// Creates the three locks if they do not exist yet: 0, or ERR_UNKNOWN after
// "CanCreateSyncObjects: Cannot create ...".
int CanCreateSyncObjects();

// on: the locks, CAN_RegisterEvents with the two handlers, can_register_pdos.
// off: CAN_RegisterEvents(null, null), then CAN_UnregisterPDOs.
int can_register_events(SystemInfo* instrument, bool on);

// Registers the PDOs the instrument's system type reports.
int can_register_pdos(SystemInfo* instrument);

// CAN_UnregisterPDOs; the locks stay.
void can_events_free_resources();

// Callbacks for the bridge library.
void ReceivePdoHandler(uint32_t waiting, uint32_t overrun);
void ReceiveEmcyHandler(uint32_t value1, uint32_t value2, const uint32_t* block, uint8_t byte);

// The motion controller's callbacks, fed from its own CAN connection.
extern "C" void can_mc_pdo_callback(uint32_t cobId, uint32_t value, const uint8_t* data);
extern "C" void can_mc_emcy_callback(uint32_t value1, uint32_t value2, uint32_t value3,
                                     uint8_t byte1, const uint32_t* value4, uint8_t byte2,
                                     uint8_t last);

// Moves the raw queues into the application queues; true when either
// application queue holds anything. The poll function of device type 64.
bool can_poll_events(SystemInfo* instrument);

// Installs can_poll_events as the device table's DEV_POLL_CAN_QUEUE function
// (done once at start-up, before any type-64 device is registered).
void can_events_install_poll();

// Appends to the application event queue (the sleep thread's requests).
void can_post_app_event(uint32_t kind, const CanPdoRecord& pdo);

// The oldest application event or emergency, removed; false when empty.
bool can_get_app_event(CanAppEvent* out);
bool can_get_app_emcy(CanAppEmcy* out);
