#include "devpoll/devpoll.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "common/msg.h"
#include "common/status.h"
#include "platform/event.h"
#include "platform/serial_port.h"
#include "platform/thread.h"
#include "serial/sio.h"

DevInfo gl_DevInfo[DEV_MAX_DEVICES];

namespace {
constexpr int64_t kRoundWaitMs = 100;  // a caller's wait for DoneEvent1
constexpr int64_t kSweepPauseMs = 50;  // pause between sweeps

// Guards the table and the request/result fields shared with the worker.
// Lock order: g_read, then g_control, then g_table. Poll functions run with
// none of them held: a poll may take its module's lock (the CAN event lock)
// while another thread holds that lock and calls in here.
std::mutex g_table;
// The handle whose poll function is running (DEV_NO_HANDLE: none), and the
// signal that it ended; both under g_table. dev_remove_device waits for a
// running poll of the handle it removes, as its caller may free the handle.
void* g_polling = DEV_NO_HANDLE;
std::condition_variable g_poll_done;
// True on the worker while it runs a poll function: a poll that removes a
// device must not wait for itself.
thread_local bool t_in_poll = false;
int g_device_count = 0;
int g_requested_mask = 0;
int g_found_type = 0;
int g_found_slot = -1;
bool g_single_sweep = false;

// Guards the controller's life: events, worker, initialised flag.
std::mutex g_control;
bool g_initialised = false;
PlatWaitable* g_start = nullptr;
PlatWaitable* g_stop = nullptr;
PlatWaitable* g_done1 = nullptr;
PlatWaitable* g_done2 = nullptr;
PlatThread* g_worker = nullptr;
std::atomic<bool> g_quit{false};
std::atomic<bool> g_closing{false};

// One dev_data_read at a time: a handshake has one set of events.
std::mutex g_read;

std::atomic<DevPollFn> g_polls[DEV_POLL_KIND_COUNT] = {
    {&dev_serial_input_test}, {nullptr}, {nullptr}, {nullptr}};
std::atomic<DevCommKindFn> g_comm_kind{nullptr};

void clear_slot(DevInfo* slot) {
    *slot = DevInfo{DEV_NO_HANDLE, -1, 0, 0, nullptr, nullptr};
}

int find_slot(void* handle) {
    for (int i = 0; i < DEV_MAX_DEVICES; ++i)
        if (gl_DevInfo[i].state == 1 && gl_DevInfo[i].handle == handle) return i;
    return -1;
}

// The key check for type 32: no console key is ever reported waiting.
bool key_waiting() {
    return false;
}

struct WorkerEvents {
    PlatWaitable* start;
    PlatWaitable* stop;
    PlatWaitable* done1;
    PlatWaitable* done2;
};

// One request: sweeps until a device has data, the caller stops it, a single
// sweep is over, or a sweep finds no candidate at all.
void serve_request(const WorkerEvents& ev) {
    {
        std::lock_guard<std::mutex> guard(g_table);
        g_found_type = 0;
        g_found_slot = -1;
    }
    for (;;) {
        bool candidate = false;
        bool found = false;
        bool stopped = false;
        for (int i = 0; i < DEV_MAX_DEVICES; ++i) {
            if (i > 0 && plat_wait_one(ev.stop, 0) == 0) {
                stopped = true;
                break;
            }
            DevInfo polled{};
            {
                std::lock_guard<std::mutex> guard(g_table);
                const DevInfo& slot = gl_DevInfo[i];
                if (slot.state != 1 || slot.eventsEnabled != 1 ||
                    (slot.type & g_requested_mask) == 0 || slot.poll == nullptr)
                    continue;
                polled = slot;
                g_polling = slot.handle;
            }
            candidate = true;
            t_in_poll = true;
            bool has_data = polled.poll(polled.handle, polled.owner);
            t_in_poll = false;
            {
                std::lock_guard<std::mutex> guard(g_table);
                g_polling = DEV_NO_HANDLE;
                // A device removed or suspended while it was polled is not reported.
                const DevInfo& slot = gl_DevInfo[i];
                if (has_data && slot.state == 1 && slot.handle == polled.handle &&
                    slot.eventsEnabled == 1) {
                    g_found_type = slot.type;
                    g_found_slot = i;
                    found = true;
                }
            }
            g_poll_done.notify_all();
            if (found) break;
        }
        if (found) {
            plat_event_set(ev.done1);
            return;
        }
        // Without any candidate the caller's round simply runs out.
        if (stopped || !candidate) return;
        bool single = false;
        {
            std::lock_guard<std::mutex> guard(g_table);
            single = g_single_sweep;
        }
        if (single) {
            plat_event_set(ev.done1);
            return;
        }
        if (plat_wait_one(ev.stop, kSweepPauseMs) == 0) return;
    }
}

void worker_main(void* argument) {
    auto* events = static_cast<WorkerEvents*>(argument);
    WorkerEvents ev = *events;
    delete events;
    for (;;) {
        plat_wait_one(ev.start, PLAT_INFINITE);
        if (g_quit.load()) return;
        serve_request(ev);
        plat_wait_one(ev.stop, PLAT_INFINITE);
        plat_event_reset(ev.start);
        plat_event_set(ev.done2);
        if (g_quit.load()) return;
    }
}

// Caller holds g_control.
void stop_worker() {
    if (g_worker == nullptr) return;
    g_quit.store(true);
    plat_event_set(g_stop);
    plat_event_set(g_start);
    plat_thread_join(g_worker);
    g_worker = nullptr;
    g_quit.store(false);
}

// Caller holds g_control.
void close_events() {
    for (PlatWaitable** event : {&g_start, &g_stop, &g_done1, &g_done2}) {
        plat_handle_close(*event);
        *event = nullptr;
    }
}

int fail(const char* name, int code) {
    u_msg_sink("%s failed: err=%s\n", name, u_error_name(code));
    return code;
}
}  // namespace

bool dev_type_valid(int type) {
    switch (type) {
        case DEV_TYPE_MOTION:
        case DEV_TYPE_SERIAL_2:
        case DEV_TYPE_SERIAL_4:
        case DEV_TYPE_SERIAL_8:
        case DEV_TYPE_SERIAL_16:
        case DEV_TYPE_KEYBOARD:
        case DEV_TYPE_CAN:
            return true;
        default:
            return false;
    }
}

int dev_init_cntrl(bool reset) {
    std::lock_guard<std::mutex> control(g_control);
    if (g_initialised && !reset) return NO_ERROR;
    {
        std::lock_guard<std::mutex> guard(g_table);
        for (DevInfo& slot : gl_DevInfo) clear_slot(&slot);
        g_device_count = 0;
        g_found_type = 0;
        g_found_slot = -1;
    }
    const char* names[] = {"StartEvent", "StopEvent", "DoneEvent1", "DoneEvent2"};
    PlatWaitable** events[] = {&g_start, &g_stop, &g_done1, &g_done2};
    bool ok = true;
    for (int i = 0; i < 4; ++i) {
        if (*events[i] == nullptr) *events[i] = plat_event_create(true, false, names[i]);
        if (*events[i] == nullptr) ok = false;
    }
    if (ok && g_worker == nullptr) {
        auto* worker_events = new WorkerEvents{g_start, g_stop, g_done1, g_done2};
        g_worker = plat_thread_start(&worker_main, worker_events);
        if (g_worker == nullptr) {
            delete worker_events;
            ok = false;
        }
    }
    g_initialised = ok;
    if (!ok) {
        u_msg_sink("%s failed: %s\n", "dev_init_cntrl", u_error_name(ERR_DEV_CNTRL));
        return ERR_DEV_CNTRL;
    }
    return NO_ERROR;
}

int dev_close_cntrl() {
    // A caller waiting in dev_data_read gives up at its next round.
    g_closing.store(true);
    std::lock_guard<std::mutex> read(g_read);
    std::lock_guard<std::mutex> control(g_control);
    // The worker waits on the events: it must be gone before they close.
    stop_worker();
    close_events();
    g_initialised = false;
    g_closing.store(false);
    return NO_ERROR;
}

int dev_add_device(int type, void* handle, void* owner) {
    static const char* const kName = "dev_add_device";
    std::lock_guard<std::mutex> control(g_control);
    if (!g_initialised) return fail(kName, ERR_DEV_CNTRL);
    if (!dev_type_valid(type)) {
        u_msg_sink("%s: dev_type=%d is invalid\n", "dev_type_valid", type);
        return fail(kName, ERR_DEV_CNTRL);
    }
    std::unique_lock<std::mutex> guard(g_table);
    int free_slot = -1;
    for (int i = 0; i < DEV_MAX_DEVICES && free_slot < 0; ++i)
        if (gl_DevInfo[i].state != 1) free_slot = i;
    if (g_device_count >= DEV_MAX_DEVICES || free_slot < 0) {
        guard.unlock();
        u_msg_sink("gl_DevInfo table is full\n");
        return fail(kName, ERR_DEV_CNTRL);
    }
    DevPollFn poll = nullptr;
    switch (type) {
        case DEV_TYPE_MOTION: {
            if (owner == nullptr) {
                guard.unlock();
                return fail(kName, ERR_INVALID_PARAM);
            }
            DevCommKindFn query = g_comm_kind.load();
            int kind = query != nullptr ? query(owner) : 0;
            if (kind == 1)
                poll = g_polls[DEV_POLL_SERIAL_INPUT].load();
            else if (kind == 2)
                poll = g_polls[DEV_POLL_EVENT].load();
            else if (kind == 3)
                poll = g_polls[DEV_POLL_LIBRARY].load();
            else {
                guard.unlock();
                return fail(kName, ERR_MC_NOT_AVAIL);
            }
            break;
        }
        case DEV_TYPE_KEYBOARD:
            break;
        case DEV_TYPE_CAN:
            poll = g_polls[DEV_POLL_CAN_QUEUE].load();
            break;
        default:
            poll = g_polls[DEV_POLL_SERIAL_INPUT].load();
            break;
    }
    gl_DevInfo[free_slot] = DevInfo{handle, 1, type, 1, poll, owner};
    ++g_device_count;
    return NO_ERROR;
}

int dev_remove_device(void* handle) {
    static const char* const kName = "dev_remove_device";
    std::unique_lock<std::mutex> control(g_control);
    if (!g_initialised) return fail(kName, ERR_DEV_CNTRL);
    if (handle == DEV_NO_HANDLE) return fail(kName, ERR_INVALID_PARAM);
    std::unique_lock<std::mutex> guard(g_table);
    int slot = g_device_count > 0 ? find_slot(handle) : -1;
    if (slot >= 0) {
        clear_slot(&gl_DevInfo[slot]);
        --g_device_count;
        if (slot == g_found_slot) {
            g_found_slot = -1;
            g_found_type = 0;
        }
    }
    // The caller may free the handle next: a poll of it that is running ends
    // first, also when a reset of the table has already dropped the slot.
    // Without g_control, so that the poll itself may call in here.
    control.unlock();
    if (!t_in_poll) g_poll_done.wait(guard, [handle] { return g_polling != handle; });
    guard.unlock();
    if (slot < 0) return fail(kName, ERR_PARAM_OUT_OF_RANGE);
    return NO_ERROR;
}

bool dev_is_registered(void* handle) {
    std::lock_guard<std::mutex> control(g_control);
    if (!g_initialised || handle == DEV_NO_HANDLE) return false;
    std::lock_guard<std::mutex> guard(g_table);
    return g_device_count > 0 && find_slot(handle) >= 0;
}

int dev_set_event_state(void* handle, int enabled) {
    static const char* const kName = "dev_set_event_state";
    std::lock_guard<std::mutex> control(g_control);
    if (!g_initialised) return fail(kName, ERR_DEV_CNTRL);
    if (handle == DEV_NO_HANDLE || (enabled != 0 && enabled != 1))
        return fail(kName, ERR_INVALID_PARAM);
    std::unique_lock<std::mutex> guard(g_table);
    int slot = find_slot(handle);
    if (slot < 0) {
        guard.unlock();
        return fail(kName, ERR_PARAM_OUT_OF_RANGE);
    }
    gl_DevInfo[slot].eventsEnabled = enabled;
    return NO_ERROR;
}

int dev_device_count() {
    std::lock_guard<std::mutex> guard(g_table);
    return g_device_count;
}

int dev_data_read(int mask, DevInfo* out, bool wait) {
    std::lock_guard<std::mutex> read(g_read);
    WorkerEvents ev{};
    {
        std::lock_guard<std::mutex> control(g_control);
        if (!g_initialised || (mask != DEV_ALL_TYPES && !dev_type_valid(mask))) {
            u_msg_sink("%s: %s\n", "dev_data_read", u_error_name(ERR_DEV_CNTRL));
            return 0;
        }
        // The events stay open while g_read is held: dev_close_cntrl takes it first.
        ev = WorkerEvents{g_start, g_stop, g_done1, g_done2};
    }
    {
        std::lock_guard<std::mutex> guard(g_table);
        g_found_type = 0;
        g_found_slot = -1;
        g_requested_mask = mask;
    }
    for (;;) {
        if (mask & DEV_TYPE_KEYBOARD) key_waiting();
        plat_event_reset(ev.done1);
        plat_event_reset(ev.done2);
        plat_event_reset(ev.stop);
        {
            std::lock_guard<std::mutex> guard(g_table);
            g_single_sweep = !wait;
        }
        plat_event_set(ev.start);
        int waited = plat_wait_one(ev.done1, kRoundWaitMs);
        plat_event_set(ev.stop);
        plat_wait_one(ev.done2, PLAT_INFINITE);

        // A device found after the round's wait ran out still counts: its
        // poll may already have consumed the device's signal.
        {
            std::lock_guard<std::mutex> guard(g_table);
            if (g_found_type != 0 && g_found_slot >= 0) {
                if (out != nullptr) *out = gl_DevInfo[g_found_slot];
                return g_found_type;
            }
        }
        if (waited != 0 && waited != PLAT_WAIT_TIMEOUT) return DEV_NO_DATA;
        if (!wait || g_closing.load()) return DEV_NO_DATA;
    }
}

void dev_stop_sweep() {
    std::lock_guard<std::mutex> control(g_control);
    if (!g_initialised) return;
    // Stop makes the worker leave the sweep; DoneEvent1 ends the caller's
    // wait for the round. Both are reset before the next round starts.
    plat_event_set(g_stop);
    plat_event_set(g_done1);
}

void dev_set_poll_function(DevPollKind kind, DevPollFn poll) {
    if (kind < 0 || kind >= DEV_POLL_KIND_COUNT) return;
    if (poll == nullptr && kind == DEV_POLL_SERIAL_INPUT) poll = &dev_serial_input_test;
    g_polls[kind].store(poll);
}

void dev_set_comm_kind_query(DevCommKindFn query) {
    g_comm_kind.store(query);
}

bool dev_serial_input_test(void* handle, void*) {
    uint32_t errors = 0;
    PlatCommStatus status{};
    // The port's owner may be using it on its own thread: look without
    // clearing the owner's error state.
    return plat_serial_peek_error(static_cast<SerialHandle>(handle), &errors, &status) &&
           errors == 0 && status.cbInQue > 0;
}
