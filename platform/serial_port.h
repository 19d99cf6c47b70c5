// Serial devices: the port object behind the serial layer's handle. The
// operations follow the Windows communications services the library was
// written for (line-state record, five time-outs, purge, error/queue query), on a
// POSIX terminal in raw mode. What termios cannot hold (XON/XOFF limits,
// abort-on-error, 1.5 stop bits, queue sizes, the event mask, and character
// size and parity on a pseudo-terminal, which keeps neither) lives in a
// shadow copy of the line-state record.
#pragma once

#include <cstdint>

struct PlatSerialPort;

// Line-state record, with the members of the Windows one (DCB). Hardware flow
// control: CTS output flow (fOutxCtsFlow) is the line's CRTSCTS; RTS control
// is kept in the record alone, as termios has no RTS-only handshake.
struct PlatCommState {
    uint32_t DCBlength;
    uint32_t BaudRate;
    uint32_t fBinary;
    uint32_t fParity;
    uint32_t fOutxCtsFlow;
    uint32_t fOutxDsrFlow;
    uint32_t fDtrControl;
    uint32_t fDsrSensitivity;
    uint32_t fTXContinueOnXoff;
    uint32_t fOutX;
    uint32_t fInX;
    uint32_t fErrorChar;
    uint32_t fNull;
    uint32_t fRtsControl;
    uint32_t fAbortOnError;
    uint16_t XonLim;
    uint16_t XoffLim;
    uint8_t ByteSize;
    uint8_t Parity;
    uint8_t StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
};

constexpr uint8_t PLAT_NOPARITY = 0;
constexpr uint8_t PLAT_ODDPARITY = 1;
constexpr uint8_t PLAT_EVENPARITY = 2;
constexpr uint8_t PLAT_ONESTOPBIT = 0;
constexpr uint8_t PLAT_ONE5STOPBITS = 1;
constexpr uint8_t PLAT_TWOSTOPBITS = 2;
constexpr uint32_t PLAT_DTR_CONTROL_DISABLE = 0;
constexpr uint32_t PLAT_DTR_CONTROL_ENABLE = 1;
constexpr uint32_t PLAT_DTR_CONTROL_HANDSHAKE = 2;
constexpr uint32_t PLAT_RTS_CONTROL_DISABLE = 0;
constexpr uint32_t PLAT_RTS_CONTROL_ENABLE = 1;
constexpr uint32_t PLAT_RTS_CONTROL_HANDSHAKE = 2;

// The five time-outs, in milliseconds of the library's clock. A read ends
// when the total (multiplier x count + constant, when either is non-zero)
// has passed, or when more than the interval passes between two bytes
// after the first. An interval of PLAT_MAXDWORD with both read totals 0
// returns at once with what is there. All zero: no time-out.
struct PlatCommTimeouts {
    uint32_t ReadIntervalTimeout;
    uint32_t ReadTotalTimeoutMultiplier;
    uint32_t ReadTotalTimeoutConstant;
    uint32_t WriteTotalTimeoutMultiplier;
    uint32_t WriteTotalTimeoutConstant;
};

constexpr uint32_t PLAT_MAXDWORD = 0xFFFFFFFF;

// Queue counts of plat_serial_clear_error.
struct PlatCommStatus {
    uint32_t cbInQue;
    uint32_t cbOutQue;
};

constexpr uint32_t PLAT_EV_RXCHAR = 0x0001;
constexpr uint32_t PLAT_PURGE_TXABORT = 0x0001;
constexpr uint32_t PLAT_PURGE_RXABORT = 0x0002;
constexpr uint32_t PLAT_PURGE_TXCLEAR = 0x0004;
constexpr uint32_t PLAT_PURGE_RXCLEAR = 0x0008;
constexpr int PLAT_SETDTR = 5;
constexpr int PLAT_CLRDTR = 6;

// Opens an existing device for reading and writing, exclusively: a second
// open of the same device fails until the first handle is closed. Null with
// errno set when it fails.
PlatSerialPort* plat_serial_open(const char* device);

// Closes the port and frees the handle in every case; false when the
// system reported an error while closing (the descriptor is gone anyway).
bool plat_serial_close(PlatSerialPort* port);

// Event mask and driver queue sizes. Both fail for a device that is not a
// terminal.
bool plat_serial_set_mask(PlatSerialPort* port, uint32_t mask);
bool plat_serial_setup(PlatSerialPort* port, uint32_t in_queue, uint32_t out_queue);

// Reads and writes the whole line-state record. A write fails when the
// device refuses any of its settings (the settings are read back).
bool plat_serial_get_state(PlatSerialPort* port, PlatCommState* state);
bool plat_serial_set_state(PlatSerialPort* port, const PlatCommState* state);

bool plat_serial_get_timeouts(PlatSerialPort* port, PlatCommTimeouts* timeouts);
bool plat_serial_set_timeouts(PlatSerialPort* port, const PlatCommTimeouts* timeouts);

// PLAT_SETDTR or PLAT_CLRDTR. A line without modem signals (a
// pseudo-terminal) is not an error.
bool plat_serial_escape(PlatSerialPort* port, int function);

// Discards the input and/or output queue (PLAT_PURGE_* flags).
bool plat_serial_purge(PlatSerialPort* port, uint32_t flags);

// Clears the error state: *errors gets the error flags seen since the last
// call (may be null), *status the queue counts (may be null). For the port's
// owner only.
bool plat_serial_clear_error(PlatSerialPort* port, uint32_t* errors, PlatCommStatus* status);

// The same query for a thread that watches the port while its owner uses it
// (the device-polling worker): *errors gets the error flags seen since this
// query last ran, and the owner's error state is left alone. Safe alongside
// any call of the owner's except plat_serial_close.
bool plat_serial_peek_error(PlatSerialPort* port, uint32_t* errors, PlatCommStatus* status);

// Synchronous transfers bounded by the time-outs; a total time-out too long
// for the clock is no limit. A time-out is not a failure: the call succeeds
// with fewer bytes. A line that has hung up (its other side closed, the
// adapter unplugged) fails at once, with errno EIO. *done always gets the
// count.
bool plat_serial_read(PlatSerialPort* port, void* buffer, uint32_t count, uint32_t* done);
bool plat_serial_write(PlatSerialPort* port, const void* data, uint32_t count, uint32_t* done);

// The port's descriptor, for diagnostics and tests.
int plat_serial_descriptor(const PlatSerialPort* port);
