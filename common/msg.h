// The message sink: every library message goes through u_msg_sink, a
// printf-style function pointer that writes to standard error by default.
#pragma once

#include <cstdarg>
#include <cstdio>

#include "platform/compiler.h"

using UMsgSink = int (*)(const char* format, ...);

// The process-wide sink. Library code always calls through this pointer.
extern UMsgSink u_msg_sink;

// Installs a sink (tests install a capturing one) and returns the previous one.
// A null sink restores u_msg_to_stderr.
UMsgSink u_set_msg_sink(UMsgSink sink);

// Writers: format, then flush the stream; the result is that of fflush.
int u_msg_to_stderr(const char* format, ...) PLAT_PRINTF_FORMAT(1, 2);
int u_msg_to_stdout(const char* format, ...) PLAT_PRINTF_FORMAT(1, 2);
int u_msg_to_file(FILE* stream, const char* format, ...) PLAT_PRINTF_FORMAT(2, 3);
int u_msg_discard(const char* format, ...) PLAT_PRINTF_FORMAT(1, 2);

// The stream of the current sink: stdout or stderr for the two stream
// writers, null for any other sink.
FILE* u_msg_stream();
