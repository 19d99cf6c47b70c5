// Pseudo-terminal pairs, the stand-in for an instrument's serial line: the
// library opens the terminal side by its path, a simulator owns the
// controlling side. Also the plain descriptor transfers the simulator uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct PlatPty {
    int controller = -1;  // the simulator's side, non-blocking
    int terminal = -1;    // a descriptor of the terminal side kept open
    std::string path;     // what the library opens
};

// Whether this system has pseudo-terminals. Tests that need one skip
// themselves where it has none.
bool plat_pty_available();

// Creates a pair. The terminal side is raw from the start (no echo, no line
// editing, no character translation); one descriptor of it stays open in
// *pty so that the library closing and reopening the path never ends the
// controlling side. False with errno set on failure.
bool plat_pty_open(PlatPty* pty);

// Closes both sides (either may already be closed).
void plat_pty_close(PlatPty* pty);

// Reads what is there, waiting up to `timeout_ms` of the library's clock (0:
// do not wait, negative: no limit) for the first byte. Returns the count, 0
// when nothing arrived in time, -1 on error.
long plat_fd_read(int fd, void* buffer, std::size_t size, int64_t timeout_ms);

// Writes all bytes, waiting as long as the descriptor is full. False on error.
bool plat_fd_write_all(int fd, const void* data, std::size_t size);

// Writes what fits without waiting: the count written (0 when full), -1 on error.
long plat_fd_write(int fd, const void* data, std::size_t size);

// Closes a descriptor. False when the system reports an error.
bool plat_fd_close(int fd);

// The flow control that a terminal's line holds, as the system reports it
// (not as a port's record says): the hardware handshake, and XON/XOFF for
// output and for input. False when the descriptor is no terminal.
struct PlatLineFlow {
    bool hardware = false;
    bool xon_output = false;
    bool xon_input = false;
};
bool plat_fd_line_flow(int fd, PlatLineFlow* flow);
