// Messages about failures, time-stamped messages, the size-limited log file and
// the file copy it relies on. Everything is reported through u_msg_sink.
#pragma once

#include <cstdint>

#include "platform/compiler.h"

// Sends the local time-stamp and a space, then the formatted message, through
// the sink. The message is cut to 511 characters.
void u_msg_stamped(const char* format, ...) PLAT_PRINTF_FORMAT(1, 2);

// For a non-zero status code, sends "%s\n" with u_error_name(code).
void u_print_error(int code);

// For a non-zero status code, prints it as u_print_error does and ends the
// process with exit status 1. Returns for 0.
void u_fatal_error(int code);

// Sends the first line of an operating-system error's text (see
// u_system_error_text) with "%s\n".
void u_print_system_error(uint32_t code);

// Appends `text` (when not null) to the log file at `path`. When max_size > 0
// and the file has reached max_size bytes, the oldest whole lines are dropped
// first so that at most keep_size bytes remain before the new text. The log is
// rewritten through a temporary file beside it, so a failure leaves it as it
// was. Returns 0, ERR_FILE_IO, ERR_CANT_CREATE_FILE or ERR_CANT_WRITE_FILE.
int u_log_to_file(const char* path, const char* text, int max_size, int keep_size);

// Copies a file, replacing an existing destination; the destination appears
// complete or not at all. 0 or ERR_CANT_WRITE_FILE
// ("u_copy_file failed: win_err = %d\n" with the system error number).
int u_copy_file(const char* source, const char* destination);
