// Instrument board protocol: the framed, checksummed byte protocol of the
// serial instrument boards (board types 1, 3, 6 and 7) and one function per
// board command. The port of an instrument's board lives in its SystemInfo
// (serial.instrBdPort); a port is matched to its instrument by comparing it
// with the ports of the four system slots.
//
// Frame: length byte L (bytes that follow, checksum included), command code
// or first reply byte, payload (big-endian), checksum (sum of the bytes
// between the length byte and the checksum, modulo 256).
//
// No locks are taken: one exchange must not be interleaved with another on
// the same port; callers serialise their use of a board.
#pragma once

#include <cstddef>
#include <cstdint>

#include "board/board_cmds.h"
#include "serial/sio.h"

struct SystemInfo;
struct rr_ramp_hdr_t;

// Statuses of ur_readUZ that ur_writeUZ turns into resends.
constexpr int UZ_STATUS_CHECKSUM = 254;
constexpr int UZ_STATUS_NAK = 255;

// First reply bytes of an acknowledgement and a refusal.
constexpr uint8_t UZ_ACK = 0xFF;
constexpr uint8_t UZ_NAK = 0xFE;

// Response types of ur_readUZ.
constexpr int UZ_RESP_ACK = 1;
constexpr int UZ_RESP_DATA = 2;
constexpr int UZ_RESP_REPORT = 3;

// A reply buffer of ur_readUZ holds any frame (L is at most 127).
constexpr int UZ_REPLY_BUFFER_SIZE = 128;
constexpr int UZ_MAX_FRAME_LEN = 127;

constexpr int UZ_FIRST_BYTE_TIMEOUT_S = 10;
constexpr int UZ_SEND_ATTEMPTS = 3;
constexpr int UZ_READ_PASSES = 3;

// Ramp downloads go out in blocks of this many words.
constexpr int UZ_RAMP_BLOCK_WORDS = 512;
// Ramp slots: 12 on board types 1 and 7, 4 on types 3 and 6.
constexpr int UZ_MAX_RAMP_SLOTS = 12;

// The board line's entry in the device table.
constexpr int UZ_DEVICE_TYPE = 2;

// I/O addresses the board accepts.
constexpr int UZ_IO_ADDR_MIN = 4096;
constexpr int UZ_IO_ADDR_MAX = 6143;

// True for the board types that speak this protocol.
bool ur_speaks_protocol(int instrBdType);

// Sum of `count` bytes modulo 256.
uint8_t ur_checksum(const uint8_t* bytes, std::size_t count);

// The instrument whose board port is `port` (slots 0 to 3 in order), or null.
SystemInfo* ur_port_owner(SerialHandle port);

// Opens the instrument's board line (instrComm) at 38400 baud without
// XON/XOFF and registers it in the device table as a type-2 device. 0 or
// ERR_UZ_COMM after "ur_initUZ: error initializing %s: %s\n".
int ur_initUZ(SystemInfo* info);

// Drains what the board sent before anyone asked: 0, or ERR_UZ_COMM after
// "sio_clear_buffer failed.".
int ur_drainUZ(SystemInfo* info);

// Removes the board line from the device table and closes it. 0,
// ERR_INVALID_PARAM for a closed line, the removal's error (the line is
// closed all the same) or the close's error.
int ur_closeUZ(SystemInfo* info);

// Sends one request and checks the reply, with up to three sends. `len` is the
// request length byte L (the frame goes out as L + 1 bytes with its checksum
// written into frame[L]); with `checksumPresent` it is the number of bytes to
// send unchanged. `frameSize` is the capacity of `frame`. With `dataReply`
// the reply replaces the frame from byte 0: echoed code, payload, checksum.
// 0, ERR_UZ_SEND_FAILED, ERR_UZ_RECV_FAILED, ERR_UZ_RECV_TIMEOUT,
// ERR_SYS_INFO_NOT_AVAIL, ERR_WRONG_INSTR_BOARD, ERR_INVALID_PARAM.
int ur_writeUZ(SerialHandle port, int len, uint8_t* frame, std::size_t frameSize, bool dataReply,
               bool checksumPresent);

// Reads one frame of a response type into `buffer` (UZ_REPLY_BUFFER_SIZE
// bytes); *count gets the bytes after the length byte, checksum included (0
// for a length byte of 0 or above 127). 0, ERR_UZ_RECV_TIMEOUT,
// ERR_UZ_RECV_FAILED, ERR_SYS_INFO_NOT_AVAIL, ERR_WRONG_INSTR_BOARD,
// UZ_STATUS_CHECKSUM, UZ_STATUS_NAK.
int ur_readUZ(SerialHandle port, uint8_t* buffer, int respType, int* count);

// The name of a command code for the board type of the port's instrument;
// "INVALID_PARAM" for a port no instrument owns; null (after a message) for a
// board type outside the protocol.
const char* ur_cmd_str(SerialHandle port, int code);

// --- Commands ---------------------------------------------------------------
// Each takes the instrument, checks that its board type has the command
// (ERR_WRONG_INSTR_BOARD otherwise) and returns ur_writeUZ's result or a
// parameter error.

// Any command of the instrument's board type by code: `payload` must hold the
// request length byte minus 2 bytes; the reply payload (without echo and
// checksum) goes to `reply`, which must hold the table's reply length minus 2.
int ur_command(SystemInfo* info, int code, const uint8_t* payload, int payloadLen, uint8_t* reply,
               int replyCap);

// PZT set: three 16-bit values (types 1 and 3); type 6 sends the first only.
int ur_pzt_set(SystemInfo* info, const uint16_t values[3]);

// Light level: type 3 below 160, type 6 below 256, type 1 below 4096, type 7
// below 3686 (else ERR_PARAM_OUT_OF_RANGE).
int ur_llc_set(SystemInfo* info, int level);
int ur_llc_read(SystemInfo* info, int* level);

// EEPROM fields.
int ur_ee_serial_set(SystemInfo* info, uint32_t serial);
int ur_ee_serial_read(SystemInfo* info, uint32_t* serial);
int ur_ee_sysdate_set(SystemInfo* info, uint16_t date);
int ur_ee_sysdate_read(SystemInfo* info, uint16_t* date);
enum UrEeField { UR_EE_CAMERA, UR_EE_LIGHT, UR_EE_SYSTEM, UR_EE_INSTRBD };
int ur_ee_byte_set(SystemInfo* info, UrEeField field, uint8_t value);
int ur_ee_byte_read(SystemInfo* info, UrEeField field, uint8_t* value);

// Supply ADCs (+200 V on types 1 and 3 only): one raw byte.
enum UrAdc { UR_ADC_P12, UR_ADC_N15, UR_ADC_P15, UR_ADC_P200 };
int ur_adc_read(SystemInfo* info, UrAdc adc, uint8_t* raw);

// Power check and system error: the board's status byte (0 = no fault).
int ur_power_check(SystemInfo* info, uint8_t* status);
int ur_syserr(SystemInfo* info, uint8_t* status);

// Turns a board status byte into an error code, printing "Error: %s\n" with
// the status's message: 0 for status 0, ERR_UNKNOWN for a status the board
// type does not have, ERR_WRONG_INSTR_BOARD for another board type.
int ur_board_status_error(int instrBdType, int status);

// After a power check reported a supply fault: reads that supply's ADC and
// prints its value against the accepted range. 0 when the status is not a
// supply fault of the board type, else the ADC read's result.
int ur_supply_diagnostic(SystemInfo* info, int status);

// I/O ports, addresses 4096 to 6143.
int ur_io_read(SystemInfo* info, int address, uint8_t* value);
int ur_io_write(SystemInfo* info, int address, uint8_t value);

// Ramps. Slots count from 0.
int ur_ramp_slot_count(int instrBdType);
int ur_ramp_load(SystemInfo* info, int slot, const rr_ramp_hdr_t* hdr);
// One block of ramp words (at most UZ_RAMP_BLOCK_WORDS); *status gets the
// board's status byte.
int ur_ramp_data(SystemInfo* info, const uint16_t* words, int count, uint8_t* status);
int ur_ramp_complete(SystemInfo* info);
int ur_ramp_delete(SystemInfo* info, int slot);
// Non-zero *idle: the board runs no ramp.
int ur_ramp_idle(SystemInfo* info, uint8_t* idle);
// The rampID held in each slot, 0xFF for an empty slot or one the board type
// does not have.
int ur_ramp_request(SystemInfo* info, uint8_t ids[UZ_MAX_RAMP_SLOTS]);
// Types 1 and 7. The board's "Invalid ramp index" gives ERR_INVALID_RAMP_INDEX.
int ur_ramp_update_rate(SystemInfo* info, int slot, uint16_t rate, uint8_t* status);

// Load, the words in blocks, complete (and delete after a failure). The
// header's nPoints words are sent. 0 or the first failure.
int ur_ramp_download(SystemInfo* info, int slot, const rr_ramp_hdr_t* hdr, const uint16_t* words);

// Starts a loaded ramp when the board is idle; ERR_RAMP_BUSY otherwise.
int ur_ramp_start(SystemInfo* info, int slot);

// Type 1: zoom and turret position reports on (1) or off (0).
int ur_zoompos_report(SystemInfo* info, int on);
int ur_turretpos_report(SystemInfo* info, int on);

// Motors. Type 1 has motors 0 and 1 and names the motor in its requests;
// type 7 has one motor (0) and names none. A move takes a 16-bit position on
// type 1 and a position byte on type 7 (else ERR_PARAM_OUT_OF_RANGE).
int ur_motor_read(SystemInfo* info, int motor, uint8_t* value);
int ur_motor_move(SystemInfo* info, int motor, int position);

// Software version byte.
int ur_sw_version(SystemInfo* info, uint8_t* version);

// Type 1, piezo focus: ADC set (mode 0, 1, 5, 6 or 7; gain 0 to 3; switch 0
// or 1), ADC read (channel 0 or 1, value scaled to 4 fractional bits) and the
// compensation read.
int ur_pifoc_adc_set(SystemInfo* info, int mode, int gain, int on, uint16_t value);
int ur_pifoc_adc_read(SystemInfo* info, int channel, int32_t* value);

struct UrPifocComp {
    int16_t values[2];
    int32_t min, max, first, mid, last;  // scaled like the ADC read
    uint8_t resolution;
};
int ur_pifoc_comp_read(SystemInfo* info, UrPifocComp* comp);

// --- Further commands ---------------------------------------------------------
// Thin wrappers, one per command; the board types that have each are noted.
// Single-byte requests and replies are passed through as the board takes and
// gives them.

// UART reset (all types).
int ur_reset_uart(SystemInfo* info);

// PZT drive (types 1 and 3): power switch 0 or 1 (else ERR_INVALID_PARAM) and
// the drive's check byte. Type 1 also selects the actuator it drives (1 the
// piezo focus drive, 2 a PZT; else ERR_INVALID_PARAM) and switches the third
// PZT's connection.
int ur_pzt_power(SystemInfo* info, int on);
int ur_pzt_check(SystemInfo* info, uint8_t* status);
int ur_pzt_type(SystemInfo* info, int type);
int ur_pzt3_disconnect(SystemInfo* info, uint8_t value);

// Light level control mode (types 1 and 3): the mode byte, then a value in the
// width of the board's light level (16 bits on type 1, one byte on type 3;
// else ERR_PARAM_OUT_OF_RANGE). The read gives the mode byte.
int ur_llc_mode_set(SystemInfo* info, uint8_t mode, int value);
int ur_llc_mode_read(SystemInfo* info, uint8_t* mode);
// Types 3 and 6: non-zero once the light level has settled.
int ur_llc_stable(SystemInfo* info, uint8_t* stable);

// Ramp DAC level (all types); abort of a ramp run (types 1 and 7).
int ur_ramp_dac(SystemInfo* info, uint16_t value);
int ur_ramp_abort(SystemInfo* info);

// Piezo focus (types 1 and 7): DAC level, and the drive reset (a byte and a
// 16-bit value). Type 1 only: compensation settings of a ramp slot (slot
// byte then seven bytes of the ramp's record), end of a compensation ramp run,
// and the expansion board byte (non-zero: the compensation board is fitted).
int ur_pifoc_level(SystemInfo* info, uint16_t level);
int ur_pifoc_reset(SystemInfo* info, uint8_t select, uint16_t value);
int ur_ramp_comp_load(SystemInfo* info, int slot, const uint8_t values[7]);
int ur_pc_ramp_done(SystemInfo* info);
int ur_expansion_bd(SystemInfo* info, uint8_t* present);

// Type 1: LCZ drive byte.
int ur_lczdrive(SystemInfo* info, uint8_t value);

// Camera (types 1 and 3): resolution byte. Custom camera settings: 8 bytes
// on types 1 and 7, 2 on type 3; `count` must match (else ERR_INVALID_PARAM).
int ur_camera_res(SystemInfo* info, uint8_t mode);
int ur_custom_camera(SystemInfo* info, const uint8_t* settings, int count);

// Wand, video and position lock (types 3 and 6; the second wand mode on type
// 3 only).
int ur_wand(SystemInfo* info, uint8_t value);
int ur_wand_motion(SystemInfo* info, uint8_t* motion);
int ur_wand_mode(SystemInfo* info, uint8_t* mode);
int ur_wand_mode2(SystemInfo* info, uint8_t* mode);
int ur_video_pr(SystemInfo* info);
int ur_lock_pos(SystemInfo* info, uint8_t value);

// Type 3: the position counter behind the board. The init gives the device
// status (0 = ready); the position read a wrapping 32-bit count and its
// 16-bit status word.
int ur_axiom_init(SystemInfo* info, uint8_t* status);
int ur_axiom_pos(SystemInfo* info, int32_t* position, uint16_t* status);
int ur_axiom(SystemInfo* info, uint8_t* value);

// Type 3: triple PZT. The ramp takes three 16-bit values like the PZT set.
int ur_pzt3(SystemInfo* info, uint8_t* value);
int ur_pzt3_reset(SystemInfo* info);
int ur_pzt3_status(SystemInfo* info, uint8_t* status);
int ur_pzt3_power_check(SystemInfo* info, uint8_t* status);
int ur_pzt3_ramp(SystemInfo* info, const uint16_t values[3]);

// Type 3: diffuser disc voltage check; ring/spot and align-view switches
// (position 0 or 1, else ERR_INVALID_PARAM) and whether each is moving.
int ur_dd_volt_check(SystemInfo* info, uint8_t* status);
int ur_change_ringspot(SystemInfo* info, int position);
int ur_change_alignview(SystemInfo* info, int position);
int ur_av_moving(SystemInfo* info, uint8_t* moving);
int ur_rs_moving(SystemInfo* info, uint8_t* moving);

// Type 6: shutter state and output bytes.
int ur_shutter_state(SystemInfo* info, uint8_t state);
int ur_shutter_output(SystemInfo* info, uint8_t output);

// Type 7: the KMR's locked and measurement-error bytes, and its reset.
int ur_read_kmr_lockedp(SystemInfo* info, uint8_t* locked);
int ur_read_kmr_measerr(SystemInfo* info, uint8_t* error);
int ur_reset_kmr(SystemInfo* info);

// --- Unsolicited reports ----------------------------------------------------

enum UrReportKind {
    UR_REPORT_ZOOM_POSITION = 1,    // type 1: position
    UR_REPORT_TURRET_POSITION = 2,  // type 1: position
    UR_REPORT_FUNCTION_KEY = 3,     // types 3 and 6: key
    UR_REPORT_ALIGN_VIEW = 4,       // types 3 and 6: switch 0 or 1
    UR_REPORT_RING_SPOT = 5,        // type 3: switch 0 or 1
};

struct UrReport {
    int kind;   // UrReportKind
    int value;  // position, key or switch
};

// Reads one report the board sent unasked. 0, ur_readUZ's errors, or
// ERR_UZ_RECV_FAILED for a report the board type does not send or whose data
// is outside the accepted values.
int ur_read_report(SystemInfo* info, UrReport* report);
