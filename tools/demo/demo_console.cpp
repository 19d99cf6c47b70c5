#include "tools/demo/demo_console.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <thread>

#include "common/abort.h"
#include "common/msg.h"

namespace {

std::mutex g_lock;   // one message at a time, whole, on the console
std::string g_tail;  // the end of the text so far: a message may come in parts
bool g_tableFull = false;
UMsgSink g_previous = nullptr;
std::atomic<long> g_idleCalls{0};

int console_sink(const char* format, ...) __attribute__((format(printf, 1, 2)));
int console_sink(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, args);
    va_end(args);

    std::lock_guard<std::mutex> lock(g_lock);
    std::fwrite(text.data(), 1, text.size(), stdout);
    g_tail += text;
    if (g_tail.find("table is full") != std::string::npos) g_tableFull = true;
    if (g_tail.size() > 64) g_tail.erase(0, g_tail.size() - 64);
    return std::fflush(stdout);
}

void count_idle() {
    g_idleCalls.fetch_add(1);
}

int entries(const char* directory) {
    int n = 0;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(directory, ec), end; !ec && it != end;
         it.increment(ec))
        ++n;
    return n;
}

}  // namespace

void demo_console_install() {
    g_previous = u_set_msg_sink(console_sink);
}

void demo_console_remove() {
    u_set_msg_sink(g_previous);
}

bool demo_console_saw_table_full() {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_tableFull;
}

void demo_say(const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::lock_guard<std::mutex> lock(g_lock);
    std::fprintf(stdout, "surfdemo: %s\n", line);
    std::fflush(stdout);
}

void demo_idle_install() {
    u_set_idle_hook(count_idle);
}

long demo_idle_calls() {
    return g_idleCalls.load();
}

DemoResources demo_resources(const DemoResources* settleTo) {
    DemoResources now{entries("/proc/self/task"), entries("/proc/self/fd")};
    for (int i = 0; settleTo != nullptr && i < 5000 && now.threads > settleTo->threads; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        now.threads = entries("/proc/self/task");
    }
    return now;
}

std::string demo_resources_differ(const DemoResources& start, const DemoResources& now) {
    std::string out;
    if (now.threads != start.threads)
        out += "threads " + std::to_string(start.threads) + " -> " + std::to_string(now.threads);
    if (now.descriptors != start.descriptors) {
        if (!out.empty()) out += ", ";
        out += "open descriptors " + std::to_string(start.descriptors) + " -> " +
               std::to_string(now.descriptors);
    }
    return out;
}
