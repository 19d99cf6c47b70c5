#include "common/testing/capture_sink.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <vector>

#include "common/msg.h"

namespace {
std::mutex g_lock;
std::string g_text;
UMsgSink g_previous = nullptr;

int capture(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::vector<char> buffer(n > 0 ? n + 1 : 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    va_end(args);
    std::lock_guard<std::mutex> guard(g_lock);
    g_text.append(buffer.data(), n > 0 ? n : 0);
    return 0;
}
}  // namespace

CapturedMessages::CapturedMessages() {
    clear();
    g_previous = u_set_msg_sink(capture);
}

CapturedMessages::~CapturedMessages() {
    u_set_msg_sink(g_previous);
}

std::string CapturedMessages::text() const {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_text;
}

void CapturedMessages::clear() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_text.clear();
}
