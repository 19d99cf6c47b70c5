// Temperature controller of the FTP instruments: control characters around
// two-letter parameter mnemonics. Writes are framed STX ... ETX with an XOR
// block check and answered by one acknowledgement byte; reads are polls
// ended by ENQ and answered by a framed, block-checked data block.
#pragma once

#include <cstddef>
#include <cstdint>

#include "serial/sio.h"

struct SystemInfo;

constexpr uint8_t TEMP_EOT = 0x04;
constexpr uint8_t TEMP_STX = 0x02;
constexpr uint8_t TEMP_ETX = 0x03;
constexpr uint8_t TEMP_ENQ = 0x05;
constexpr uint8_t TEMP_ACK = 0x06;
constexpr uint8_t TEMP_NAK = 0x15;

// Every host message starts with EOT and the controller's address.
constexpr char TEMP_ADDRESS[] = "0011";

// Message kinds.
constexpr int TEMP_RESP_WRITE = 1;
constexpr int TEMP_RESP_READ = 2;

// A read reply holds at most this many characters from STX to ETX; a reply
// buffer of TEMP_REPLY_SIZE bytes holds any reply text and its end.
constexpr int TEMP_STR_MAX_LEN = 255;
constexpr std::size_t TEMP_REPLY_SIZE = TEMP_STR_MAX_LEN + 1;

// The first reply byte is awaited this long.
constexpr int TEMP_READ_TIMEOUT_S = 10;

// The pause after the start-up sequence, in milliseconds.
constexpr int TEMP_STARTUP_PAUSE_MS = 5000;

// Opens and sets up the line (9600 baud, even parity, 7 data bits, XON/XOFF
// off): 0 or ERR_TEMP_SENSOR_COMM after
// "temp_comm_open: error initializing device %s: %s\n".
int temp_comm_open(SerialHandle* holder, const char* device);

// Closes the line (a null holder or a closed line: 0); ERR_TEMP_SENSOR_COMM
// after "temp_comm_close: sio_close failed: %s\n".
int temp_comm_close(SerialHandle* holder);

// Sends the first `length` characters of `text` as a parameter write (kind 1:
// mnemonic and value) or a poll (kind 2: the mnemonic) and reads the answer.
// For a poll the value read replaces the text; `text_size` is the capacity of
// the text buffer, and a value that does not fit is ERR_TEMP_SENSOR_READ. A
// null port sends nothing and returns 0.
int temp_comm_write(SerialHandle port, char* text, int length, int kind, std::size_t text_size);

// Reads the answer to a message of the given kind into `reply` (capacity
// `reply_size`; TEMP_REPLY_SIZE holds any reply): empty for an acknowledged
// write, the mnemonic and value for a poll. A null port gives an empty reply.
int temp_comm_read(SerialHandle port, char* reply, int kind, std::size_t reply_size);

// The start-up sequence: IM 0002., QD 0002., Q1 0000., IM 0000., stopping at
// the first error, then a pause of 5 s.
int temp_comm_startup(SerialHandle port);

// Power-up of the instrument's temperature controller: closes a line left
// open, opens the configured sensor device (when the instrument has one) and
// sends the start-up sequence. 0, or ERR_TEMP_SENSOR_INIT after
// "Error initializing temperature sensor: %s\n".
int temp_comm_power_up(SystemInfo* info);

// The block check character of a framed block: the XOR of `count` bytes.
uint8_t temp_comm_bcc(const uint8_t* bytes, std::size_t count);
