// SDO access to the CAN nodes: two wrappers that make one transfer and report
// its failure, and one accessor per node object on top of them. Everything
// runs in the caller's thread and blocks for the transfer.
//
// Accessors take the SystemInfo first; dual-motor accessors take the node ID
// second. Fixed-node accessors return ERR_WRONG_INSTR_BOARD, dual-motor ones
// ERR_INVALID_PARAM, when the instrument's interface is not CAN. A value
// outside an accessor's range gives ERR_PARAM_OUT_OF_RANGE (unless noted)
// without a transfer. A node that answers but fails the transfer gives the
// accessor's own SDO error; a failing library call gives its mapped code.
#pragma once

#include <cstdint>

struct SystemInfo;
struct rr_ramp_hdr_t;

// Node IDs.
constexpr uint8_t CAN_NODE_BRIDGE = 127;
constexpr uint8_t CAN_NODE_LED = 61;
constexpr uint8_t CAN_NODE_TRIPLE_PZT = 62;
constexpr uint8_t CAN_NODE_LARGE_APERTURE = 52;
constexpr uint8_t CAN_NODE_BRUSH_MOTOR = 63;
constexpr uint8_t CAN_NODE_FOCUS_NDW = 64;
constexpr uint8_t CAN_NODE_AUX_MOTOR = 66;
constexpr uint8_t CAN_NODE_RING_SPOT = 68;
constexpr uint8_t CAN_NODE_ZOOM_DISK = 70;

constexpr uint32_t CAN_PRODUCT_BRMTR_ENCODED = 0x267215D7;
constexpr uint32_t CAN_PRODUCT_BRMTR_D5 = 0x267215D5;

// Samples of one ramp block; its object is always written whole.
constexpr int CAN_RAMP_MAX_POINTS = 16384;
constexpr uint32_t CAN_RAMP_BLOCK_BYTES = 32768;

// One SDO transfer of `size` bytes. `activity` marks it as instrument use
// (restarts the sleep-mode idle count, whatever the outcome). Returns 0, the
// mapped library code (message without abort part), `sdoError` when the node
// aborts (message with result and abort code), ERR_CAN_NOT_AVAIL without the
// library.
int can_sdo_read2(uint8_t node, uint16_t index, uint8_t subIndex, void* data, uint32_t size,
                  bool activity, int sdoError, const char* caller);
int can_sdo_write2(uint8_t node, uint16_t index, uint8_t subIndex, const void* data, uint32_t size,
                   bool activity, int sdoError, const char* caller);

// Whether an automatic gain control thread runs: the gain control installs
// its query; false until then. Its light-level writes do not count as use.
using CanAgcRunningQuery = bool (*)();
void can_set_agc_running_query(CanAgcRunningQuery query);

// ---- Bridge node 127 ------------------------------------------------------

// Ramps 0 to 3. With a PI digital scanner the ramp accessors run the PI
// scanner's objects instead (ramp r selects PI ramp r + 1).
int can_ramp_start(SystemInfo* info);
int can_read_ramp_status(SystemInfo* info, uint8_t* status);
int can_write_ramp_select(SystemInfo* info, int ramp);
int can_read_ramp_valid(SystemInfo* info, int ramp, uint8_t* valid);
// Frame number S x F / (sampleClkFreq x 1000), rounded, from the loaded
// ramp's header; 0 to 255. ERR_NO_RAMP_INFO without a header.
int can_write_ramp_trigger(SystemInfo* info, int ramp, const rr_ramp_hdr_t* header);
int can_write_ramp_rate(SystemInfo* info, int ramp, double rate);  // 0 to 200
// At most CAN_RAMP_MAX_POINTS samples, sent as one zero-padded block.
int can_write_ramp_data(SystemInfo* info, int ramp, const uint16_t* samples, int count);
// Offset 0 to 0xFFFF; nothing is sent with a PI scanner. Stamps the time;
// with `wait` (piezo-focus system types only) waits for the ramp to stop.
int can_write_pifoc_offset(SystemInfo* info, int32_t offset, bool wait);
int can_read_bridge_status(SystemInfo* info, uint8_t* status);
int can_bridge_read_config(SystemInfo* info, uint16_t* config);
int can_bridge_write_config(SystemInfo* info, uint16_t config);
// Two bytes with bridge firmware newer than 1.11, else the low byte.
int can_write_fg_trigger(SystemInfo* info, uint16_t frame);
int can_write_syncgen(SystemInfo* info, double frequency);  // 0 to 100000
int can_pi_ramp_start(SystemInfo* info);
int can_write_pi_ramp_select(SystemInfo* info, int ramp);  // 1-15 (type 1), 1-100 (type 2)
int can_read_pi_ramp_amplitude(SystemInfo* info, float* amplitude);
int can_read_pi_ramp_velocity(SystemInfo* info, float* velocity);
int can_read_pi_ramp_status(SystemInfo* info, uint8_t* status);  // 3 running, 0 stopped
int can_pi_load_ddl_tables(SystemInfo* info, int* tables);
int can_read_pi_serial_integer(SystemInfo* info, uint16_t* value);
int can_bridge_read_digitalout(SystemInfo* info, uint8_t* value);
int can_bridge_write_digitalout(SystemInfo* info, uint8_t value);
int can_set_align_illumination_diode(SystemInfo* info, bool on);
// Sets bit 13 of the configuration word (newer firmware with a PI scanner).
int can_rearm_scanner_trigger(SystemInfo* info);

// ---- LED node 61 ----------------------------------------------------------

int can_write_led_setup(SystemInfo* info, uint8_t setup);
int can_write_llc(SystemInfo* info, uint16_t level, bool invert);
int can_read_llc(SystemInfo* info, uint16_t* level, bool invert);
int can_write_llc_avgcurlmt(SystemInfo* info, int limit);  // at most 1000
int can_write_llc_fwdvlt(SystemInfo* info, int voltage);   // at most 10000
int can_write_llc_pwmfreq(SystemInfo* info, uint32_t frequency);
// Average current limit and forward voltage for LED mode 0 or 1 from the
// calibration; any other mode uses 1000 and 4500. Zero values are not sent.
int can_set_llc_range(SystemInfo* info, int mode);

// ---- Dual brush motor node 63 ---------------------------------------------

int can_read_turret_status(SystemInfo* info, uint8_t* status);  // bit 7: position valid
int can_read_turret(SystemInfo* info, uint8_t* position);
// The zoom position: through the position table with product 0x267215D7 and
// an encoded zoom, CAN_ZOOM_NO_POSITION for raw 15 with product 0x267215D5.
int can_read_zoom(SystemInfo* info, int32_t* position);
// All zoom positions into the bridge record (at most six).
int can_read_all_zoom(SystemInfo* info);
int can_get_brmtr_config(SystemInfo* info, uint16_t* config);

// ---- Any node ------------------------------------------------------------

int can_read_productID(SystemInfo* info, uint8_t node, uint32_t* productId);
int can_read_version(SystemInfo* info, uint8_t node, int* major, int* minor);

int can_read_dmd_motor1_control(SystemInfo* info, uint8_t node, uint8_t* control);
int can_write_dmd_motor1_control(SystemInfo* info, uint8_t node, uint8_t control);
int can_write_dmd_motor1_mode(SystemInfo* info, uint8_t node, int mode);  // 0 to 4
int can_write_dmd_motor1_targetVel(SystemInfo* info, uint8_t node, double velocity);
int can_write_dmd_motor2_control(SystemInfo* info, uint8_t node, uint8_t control);
int can_read_dmd_motor2_status(SystemInfo* info, uint8_t node, uint8_t* status);
int can_read_dmd_motor2_llcLevel(SystemInfo* info, uint8_t node, uint16_t* level, bool invert);
int can_write_dmd_motor2_llcLevel(SystemInfo* info, uint8_t node, uint16_t level, bool invert);
int can_read_dmd_motor2_maxCurrent(SystemInfo* info, uint8_t node, int16_t* current);
int can_write_dmd_motor2_current(SystemInfo* info, uint8_t node, int16_t current);
int can_read_dmd_motor2_position(SystemInfo* info, uint8_t node, uint8_t* position);
int can_read_dmd_keypress_mode(SystemInfo* info, uint8_t node, uint8_t* mode);
int can_write_dmd_keypress_mode(SystemInfo* info, uint8_t node, uint8_t mode);

// ---- PZT ramp node (62 or 52, chosen by rampMux) ---------------------------

int can_pztramp_start(SystemInfo* info);
int can_read_pztramp_status(SystemInfo* info, uint8_t* status);
int can_write_pztramp_select(SystemInfo* info, int ramp);  // below 4
int can_read_pztramp_valid(SystemInfo* info, int ramp, uint8_t* valid);
// Frame number as can_write_ramp_trigger's, doubled plus 1 on system type 25;
// 0 to 16383.
int can_write_pztramp_trigger(SystemInfo* info, int ramp, const rr_ramp_hdr_t* header);
int can_write_pztramp_rate(SystemInfo* info, int ramp, double rate);  // 0 to 200
// 1 to CAN_RAMP_MAX_POINTS samples of 2 bytes.
int can_write_pztramp_data(SystemInfo* info, int ramp, const uint16_t* samples, int count);
// Gain kinds 1 to 3; gain at most 0x3FFF, 2 bytes.
int can_write_pztramp_gain(SystemInfo* info, int ramp, int kind, int gain);
int can_read_pztramp_errchk(SystemInfo* info, uint32_t* errors);

// ---- Node wrappers: availability, then the dual-motor accessor -------------

// Ring/spot and diffuser disk, node 68.
int can_read_rs_dd_control(SystemInfo* info, uint8_t* control);
int can_write_rs_dd_control(SystemInfo* info, uint8_t control);
int can_write_rs_dd_mode(SystemInfo* info, int mode);
int can_read_rs_status(SystemInfo* info, uint8_t* status);
int can_write_rs_current(SystemInfo* info, int16_t current);
int can_read_rs_maxCurrent(SystemInfo* info, int16_t* current);
int can_read_rs_position(SystemInfo* info, uint8_t* position);
int can_read_rs_keypress_mode(SystemInfo* info, uint8_t* mode);
int can_write_rs_keypress_mode(SystemInfo* info, uint8_t mode);

// Zoom and diffuser disk, node 70.
int can_read_zoom_dd_control(SystemInfo* info, uint8_t* control);
int can_write_zoom_dd_control(SystemInfo* info, uint8_t control);
int can_write_zoom_dd_mode(SystemInfo* info, int mode);
int can_write_zoom_dd_targetVel(SystemInfo* info, double velocity);
int can_read_zoom_keypress_mode(SystemInfo* info, uint8_t* mode);
int can_write_zoom_keypress_mode(SystemInfo* info, uint8_t mode);

// Focus and ND wheel, node 64.
int can_read_ndw_llcLevel(SystemInfo* info, uint16_t* level, bool invert);
int can_write_ndw_llcLevel(SystemInfo* info, uint16_t level, bool invert);
int can_write_ndw_control(SystemInfo* info, uint8_t control);
int can_read_ndw_status(SystemInfo* info, uint8_t* status);
int can_read_focus_keypress_mode(SystemInfo* info, uint8_t* mode);
int can_write_focus_keypress_mode(SystemInfo* info, uint8_t mode);

// ---- Operations of more than one transfer ---------------------------------

// Homes the ND wheel: `poll` reads the status by SDO, else from the event
// queues; `limitMs` bounds both phases together.
int can_home_ndw(SystemInfo* info, bool poll, int limitMs);
// Position 0 or 1 of the ring/spot disk.
int can_move_ring_spot(SystemInfo* info, int position, bool wait);
int can_park_aux_motor(SystemInfo* info, bool out);
