#include "platform/event.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/clock.h"

namespace {
using SteadyTime = std::chrono::steady_clock::time_point;

struct Object {
    bool is_timer = false;
    bool manual_reset = true;
    bool signalled = false;
    bool armed = false;  // timers: due time pending
    SteadyTime due{};    // timers: real time at which it falls due
    std::string name;    // empty for unnamed objects
};

// One lock and one condition for every object: the library has a handful of
// threads and events, and a single lock makes wait-any with atomic
// consumption simple to get right. They are never destroyed: threads that
// run for the life of the process may still wait on them at exit.
std::mutex& lock_all() {
    static auto* lock = new std::mutex;
    return *lock;
}

std::condition_variable& changed() {
    static auto* condition = new std::condition_variable;
    return *condition;
}

std::map<std::string, std::weak_ptr<Object>>& names() {
    static auto* table = new std::map<std::string, std::weak_ptr<Object>>();
    return *table;
}

// SteadyTime::max() stands for "never": a timer due then never falls due, a
// wait until then has no time-out.
constexpr SteadyTime kNever = SteadyTime::max();

// Brings a due timer to its signalled state. Caller holds lock_all().
void update_timer(Object& object, SteadyTime now) {
    if (object.is_timer && object.armed && now >= object.due) {
        object.armed = false;
        object.signalled = true;
    }
}

// Removes the object's name once the last handle is gone; takes lock_all() itself.
struct ObjectDeleter {
    void operator()(Object* object) const {
        std::lock_guard<std::mutex> guard(lock_all());
        if (!object->name.empty()) {
            auto it = names().find(object->name);
            if (it != names().end() && it->second.expired()) names().erase(it);
        }
        delete object;
    }
};
}  // namespace

struct PlatWaitable {
    std::shared_ptr<Object> object;
};

namespace {
PlatWaitable* create(bool is_timer, bool manual_reset, bool signalled, const char* name,
                     bool* existed) {
    if (existed != nullptr) *existed = false;
    std::shared_ptr<Object> object;
    {
        std::lock_guard<std::mutex> guard(lock_all());
        if (name != nullptr && *name != '\0') {
            auto it = names().find(name);
            if (it != names().end()) object = it->second.lock();
            if (object) {
                if (object->is_timer != is_timer) return nullptr;
                if (existed != nullptr) *existed = true;
                return new PlatWaitable{object};
            }
        }
    }
    // Built outside the lock: a failed lookup's last reference may run the
    // deleter, which takes the lock itself.
    object.reset();
    std::shared_ptr<Object> fresh(new Object, ObjectDeleter{});
    fresh->is_timer = is_timer;
    fresh->manual_reset = manual_reset;
    fresh->signalled = signalled;
    // Declared before the lock: a last reference must be dropped without it.
    std::shared_ptr<Object> other;
    std::lock_guard<std::mutex> guard(lock_all());
    if (name != nullptr && *name != '\0') {
        // Another thread may have created the name meanwhile: take that one.
        auto it = names().find(name);
        if (it != names().end()) {
            if ((other = it->second.lock())) {
                if (other->is_timer != is_timer) return nullptr;
                if (existed != nullptr) *existed = true;
                fresh->name.clear();
                return new PlatWaitable{other};
            }
        }
        fresh->name = name;
        names()[name] = fresh;
    }
    return new PlatWaitable{fresh};
}
}  // namespace

PlatWaitable* plat_event_create(bool manual_reset, bool initially_signalled, const char* name,
                                bool* existed) {
    return create(false, manual_reset, initially_signalled, name, existed);
}

PlatWaitable* plat_timer_create(bool manual_reset, const char* name, bool* existed) {
    return create(true, manual_reset, false, name, existed);
}

PlatWaitable* plat_named_open(const char* name) {
    if (name == nullptr || *name == '\0') return nullptr;
    std::shared_ptr<Object> object;
    std::lock_guard<std::mutex> guard(lock_all());
    auto it = names().find(name);
    if (it == names().end()) return nullptr;
    object = it->second.lock();
    if (!object) return nullptr;
    return new PlatWaitable{std::move(object)};
}

void plat_handle_close(PlatWaitable* handle) {
    delete handle;  // the deleter of the last reference takes lock_all() itself
}

bool plat_event_set(PlatWaitable* event) {
    if (event == nullptr || event->object->is_timer) return false;
    {
        std::lock_guard<std::mutex> guard(lock_all());
        event->object->signalled = true;
    }
    changed().notify_all();
    return true;
}

bool plat_event_reset(PlatWaitable* event) {
    if (event == nullptr || event->object->is_timer) return false;
    std::lock_guard<std::mutex> guard(lock_all());
    event->object->signalled = false;
    return true;
}

bool plat_timer_set(PlatWaitable* timer, int64_t due_ms) {
    if (timer == nullptr || !timer->object->is_timer) return false;
    {
        std::lock_guard<std::mutex> guard(lock_all());
        timer->object->signalled = false;
        timer->object->armed = true;
        timer->object->due = plat_real_deadline(due_ms);
    }
    // Waiters recompute their wake-up time.
    changed().notify_all();
    return true;
}

bool plat_timer_cancel(PlatWaitable* timer) {
    if (timer == nullptr || !timer->object->is_timer) return false;
    std::lock_guard<std::mutex> guard(lock_all());
    // A timer that has fallen due is signalled even if no wait has looked yet.
    update_timer(*timer->object, std::chrono::steady_clock::now());
    timer->object->armed = false;
    return true;
}

int plat_wait_one(PlatWaitable* object, int64_t timeout_ms) {
    return plat_wait_any(&object, 1, timeout_ms);
}

int plat_wait_any(PlatWaitable* const* objects, int count, int64_t timeout_ms) {
    if (objects == nullptr || count < 1 || count > PLAT_MAX_WAIT_OBJECTS) return PLAT_WAIT_FAILED;
    // Hold the objects for the whole wait, even if their handles are closed meanwhile.
    std::shared_ptr<Object> held[PLAT_MAX_WAIT_OBJECTS];
    for (int i = 0; i < count; ++i) {
        if (objects[i] == nullptr) return PLAT_WAIT_FAILED;
        held[i] = objects[i]->object;
    }
    std::optional<SteadyTime> deadline;
    if (timeout_ms >= 0) deadline = plat_real_deadline(timeout_ms);

    std::unique_lock<std::mutex> lock(lock_all());
    for (;;) {
        SteadyTime now = std::chrono::steady_clock::now();
        std::optional<SteadyTime> wake = deadline;
        for (int i = 0; i < count; ++i) {
            Object& object = *held[i];
            update_timer(object, now);
            if (object.signalled) {
                if (!object.manual_reset) object.signalled = false;
                return i;
            }
            if (object.is_timer && object.armed && (!wake || object.due < *wake)) wake = object.due;
        }
        if (deadline && now >= *deadline) return PLAT_WAIT_TIMEOUT;
        if (wake && *wake != kNever)
            changed().wait_until(lock, *wake);
        else
            changed().wait(lock);
    }
}
