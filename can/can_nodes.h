// CAN node bring-up at power-on: which nodes answer, whether every node the
// instrument's system family needs is there, operational and of a known
// product, and the safe starting state of each. Three procedures, one per
// family of systemType; each returns 0 or the first error.
//
// Waits are a sleep on the library's clock followed by one call of the idle
// hook. Everything runs in the caller's thread.
#pragma once

#include <cstdint>

struct SystemInfo;
struct CanBridgeInfo;

// Accepted product IDs.
constexpr uint32_t CAN_PRODUCT_LED_A = 0x2672137D;
constexpr uint32_t CAN_PRODUCT_LED_B = 0x2672150D;
constexpr uint32_t CAN_PRODUCT_LED_C = 0x26722381;

// CAN_GetNodeState reads before a node counts as not operational, and the
// wait between them.
constexpr int CAN_NODE_STATE_READS = 10;
constexpr int CAN_NODE_STATE_WAIT_MS = 200;
// Limit of the ND wheel's homing at bring-up.
constexpr int CAN_NDW_HOME_LIMIT_MS = 10000;
// Zoom disk velocity when neither the configuration nor the objective gives one.
constexpr double CAN_ZOOM_DISK_DEFAULT_VELOCITY = 64;

enum CanFamily {
    CAN_FAMILY_NONE,
    CAN_FAMILY_LED,  // 11, 13, 22, 28, 31, 34
    CAN_FAMILY_PZT,  // 29, 35
    CAN_FAMILY_QEL,  // 23, 25, 26, 30, 32, 33
};
CanFamily can_system_family(int32_t systemType);

// Copies the calibration's device switches (the Ignore keywords, RingSpot)
// and the turret's position count into the run-time copies of info->can.
// Called at each power-on before the bring-up, which changes only the copies.
void can_take_node_requirements(SystemInfo* info);

// CAN_FindNode: status 2 gives true. Otherwise a stamped line naming the node
// by `label` (canErr or status) and false.
bool find_node(uint8_t nodeId, const char* label);
// Up to CAN_NODE_STATE_READS reads of CAN_GetNodeState, CAN_NODE_STATE_WAIT_MS
// apart, until the node is operational (state 2). False after a library
// failure or when the reads run out (each with a stamped line).
bool wait_for_node_operational(uint8_t nodeId, const char* label);
// find_node, wait_for_node_operational, then the product ID (object 0x1018/2).
bool get_operational_node(SystemInfo* info, uint8_t nodeId, const char* label, uint32_t* productId);

// Enumeration of the LED and PZT families: presence of nodes 127, 61, 63 and
// 62, and the status lines (", Ignore" beside a node the instrument does not
// need).
int can_init_basic_node_availability(SystemInfo* info);

// The three bring-ups. `bridge` receives the product IDs and keypress modes.
int can_led_family_on(SystemInfo* info, CanBridgeInfo* bridge);
int can_pzt_family_on(SystemInfo* info, CanBridgeInfo* bridge);
int can_qel_on(SystemInfo* info, CanBridgeInfo* bridge);

// The power-on's bring-up step: the family's procedure on info->canInfo. For
// the QEL family first large aperture not in use, no PZT ramp selected, and
// on types 32 and 33 neither the triple PZT nor the large aperture required.
// A system type of no family has nothing to bring up (0).
int can_bring_up_nodes(SystemInfo* info);

// The zoom disk's target velocity: the configured DiffDiskRate unless it is -1;
// else from the current objective's value v and DiffDiskFraction k: v / k for
// v up to 30, v x k up to 75, else 64. 64 also when v or k is not a positive
// finite number.
double can_zoom_disk_velocity(const SystemInfo* info);

// Closes the "CAN_NDWHEEL_STOPPED" handle the bring-up made (power-off).
void can_close_ndw_event(SystemInfo* info);
