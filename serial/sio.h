// Serial port layer: the one place where the library touches a serial line.
// Blocking, handle-based operations over the platform's port object; the
// caller owns the handle, the layer keeps no state of its own.
#pragma once

#include <cstdint>

#include "platform/serial_port.h"

// The handle of an open port; SIO_INVALID_HANDLE when the port is not open.
using SerialHandle = PlatSerialPort*;
constexpr SerialHandle SIO_INVALID_HANDLE = nullptr;

// The line-state record.
using SioLineState = PlatCommState;

constexpr uint32_t SIO_QUEUE_SIZE = 4096;
constexpr char SIO_XON_CHAR = 0x11;
constexpr char SIO_XOFF_CHAR = 0x13;
constexpr uint16_t SIO_XON_LIMIT = 100;
constexpr uint16_t SIO_XOFF_LIMIT = 3996;
constexpr uint32_t SIO_READ_INTERVAL_MS = 100;
constexpr uint32_t SIO_READ_TOTAL_MS = 2000;
constexpr uint32_t SIO_WRITE_TOTAL_MS = 1000;
constexpr uint32_t SIO_CLEAR_READ_MS = 100;

// sio_clear_buffer gives up after this many purge-and-read passes when the
// device keeps talking.
constexpr int SIO_CLEAR_MAX_PASSES = 1000;

// Opens a device (name passed unchanged to the platform) into *handle: 0,
// ERR_CANT_OPEN_SERIAL (handle invalid) or ERR_CANT_SET_SERIAL (event mask or
// queue sizes refused; the handle is open and stored).
int sio_open(const char* device, SerialHandle* handle);

// Sets the line up from a settings text "baud,databits,parity,stopbits" (null:
// 9600,8,0,1), with software flow control switched by `xon_xoff` (the
// two-argument form switches it on), and the layer's time-outs. Prints
// "Com Settings Parameter: %s is ignored.\n" / "... is Invalid.\n".
int sio_init(SerialHandle handle, const char* settings);
int sio_init(SerialHandle handle, const char* settings, bool xon_xoff);

// Line setters: 0, ERR_SERIAL_NOT_OPEN, ERR_CANT_GET_SERIAL or
// ERR_CANT_SET_SERIAL (the device refused the value).
int sio_set_baud(SerialHandle handle, int baud);
int sio_set_parity(SerialHandle handle, int parity);  // 0 none, 1 odd, 2 even
int sio_set_data_bits(SerialHandle handle, int bits);
int sio_xon_xoff_on(SerialHandle handle);
int sio_xon_xoff_off(SerialHandle handle);

// The read time-out (the read total constant) in whole seconds. Seconds
// beyond the field's range set its longest time-out (PLAT_MAXDWORD ms).
int sio_get_timeout(SerialHandle handle, int* seconds);
int sio_set_timeout(SerialHandle handle, int seconds);

// The whole line-state record. sio_get_state sets its DCBlength.
int sio_get_state(SerialHandle handle, SioLineState* state);
int sio_set_state(SerialHandle handle, const SioLineState* state);

// Transfers: 0 for success, 1 for failure. *done gets the count moved.
// sio_send_data succeeds when all bytes were written and have left the output
// queue; it waits for that no longer than the write time-out plus the time
// the bytes take on the line. sio_read_data succeeds when exactly `count`
// bytes arrived within the read time-out (a short read is a time-out); a line
// that hangs up fails the read at once.
int sio_send_data(SerialHandle handle, const void* data, uint32_t count, uint32_t* done);
int sio_read_data(SerialHandle handle, void* buffer, uint32_t count, uint32_t* done);

// Bytes waiting in the input queue: 0 with the count, or 1 with count 0.
int sio_bytes_waiting(SerialHandle handle, uint32_t* count);

// Purges the port and reads until the line stays quiet for 100 ms: 0, 1 (a
// failure, a line that hung up, or a device that never stopped talking) or
// ERR_SERIAL_NOT_OPEN. The read time-outs are restored.
int sio_clear_buffer(SerialHandle handle);

// Closes the port: 0 or ERR_CANT_CLOSE_SERIAL, ERR_SERIAL_NOT_OPEN for an
// invalid handle. The caller's handle is invalid afterwards in either case:
// the port is gone even when closing reported an error.
int sio_close(SerialHandle* handle);

// A driver's opening sequence: sio_open, sio_init without settings text, then
// the driver's line settings (a negative value leaves that setting alone) and
// XON/XOFF off.
struct SioLineSetup {
    int baud;
    int parity;
    int data_bits;
};

constexpr SioLineSetup SIO_SETUP_BOARD = {38400, -1, -1};
constexpr SioLineSetup SIO_SETUP_WAVE_MONITOR = {115200, 0, -1};
constexpr SioLineSetup SIO_SETUP_TEMP_SENSOR = {9600, 2, 7};

// Runs the sequence. On failure the port is closed again (unless it never
// opened), *handle is invalid and *failed_step (may be null) names the
// operation that failed, for the driver's message.
int sio_open_line(const char* device, const SioLineSetup& setup, SerialHandle* handle,
                  const char** failed_step);
