#include "common/msg.h"

namespace {
int write_and_flush(FILE* stream, const char* format, va_list args) {
    std::vfprintf(stream, format, args);
    return std::fflush(stream);
}
}  // namespace

UMsgSink u_msg_sink = u_msg_to_stderr;

UMsgSink u_set_msg_sink(UMsgSink sink) {
    UMsgSink previous = u_msg_sink;
    u_msg_sink = sink ? sink : u_msg_to_stderr;
    return previous;
}

int u_msg_to_stderr(const char* format, ...) {
    va_list args;
    va_start(args, format);
    int result = write_and_flush(stderr, format, args);
    va_end(args);
    return result;
}

int u_msg_to_stdout(const char* format, ...) {
    va_list args;
    va_start(args, format);
    int result = write_and_flush(stdout, format, args);
    va_end(args);
    return result;
}

int u_msg_to_file(FILE* stream, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int result = write_and_flush(stream, format, args);
    va_end(args);
    return result;
}

int u_msg_discard(const char*, ...) { return 0; }

FILE* u_msg_stream() {
    if (u_msg_sink == u_msg_to_stdout) return stdout;
    if (u_msg_sink == u_msg_to_stderr) return stderr;
    return nullptr;
}
