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
// ERR_INVALID_PARAM for a closed line, the removal's error (the line stays
// open) or the close's error.
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

// Type 1: motor 0 or 1.
int ur_motor_read(SystemInfo* info, int motor, uint8_t* value);

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
