// The simulated CAN bridge library: the 17 CAN_* entries over a simulated
// network of bridges and one CAN bus, and the simcan_* control entries.
//
// One lock guards the whole state. No lock is held while an object hook, a
// scripted delay or a program callback runs. The delivery thread runs while
// a bridge is connected and callbacks are registered; it sleeps on a
// condition variable until a PDO or emergency is waiting or a node model's
// change falls due.
#include "sim/can/simcan.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

#include "can/can_api.h"
#include "platform/clock.h"
#include "platform/export.h"
#include "sim/bench/simbench.h"
#include "sim/can/simcan_internal.h"

#define SIMCAN_EXPORT extern "C" PLAT_EXPORT

namespace {

struct Bridge {
    uint8_t mac[6] = {};
    uint8_t ipv4[4] = {};
    uint8_t fwMajor = 1, fwMinor = 12;
    uint8_t cfgNode = 127;
    uint32_t cfgRate = 1000;
    bool stored = false;
    uint8_t storedNode = 0;
    uint32_t storedRate = 0;
    uint32_t latchedError = 0;
    int latchedReads = 0;  // < 0: always
    int foundFrom = 1;
    int resets = 0;
    int connects = 0;
};

struct Object {
    uint32_t size = 0;
    int access = SIMCAN_READ_WRITE;
    std::vector<uint8_t> value;
    SimCanObjectHook hook = nullptr;
    void* context = nullptr;
};

struct Node {
    bool present = true;
    int findStatus = -1;  // -1: from presence
    uint8_t notOpState = 0;
    int notOpTimes = 0;
    std::map<uint32_t, Object> objects;  // key: index << 8 | sub-index
};

struct Fault {
    int node, index, subIndex, direction;
    int32_t canErr;
    uint32_t abortCode;
    int64_t delayMs;
    int count;
};

struct Emcy {
    uint32_t value1, value2;
    uint32_t values[3];
    uint8_t byte;
};

struct Record {
    SimCanRecord head;
    std::vector<uint8_t> bytes;
};

constexpr uint32_t ABORT_WRITE_ONLY = 0x06010001;
constexpr uint32_t ABORT_READ_ONLY = 0x06010002;
constexpr uint32_t ABORT_NO_OBJECT = 0x06020000;
constexpr uint32_t ABORT_SIZE = 0x06070010;
constexpr size_t TRANSCRIPT_LIMIT = 100000;

std::mutex g_lock;
std::condition_variable g_wake;  // delivery thread: something to deliver, or stop
std::condition_variable g_idle;  // a callback in flight has returned

std::vector<Bridge> g_bridges;
int g_connected = -1;
int g_enumCalls = 0;
int32_t g_enumOverride = SIMCAN_ENUM_NATURAL;
bool g_resetDrops = true;
std::map<uint8_t, Node> g_nodes;
std::vector<Fault> g_faults;

// Delivery.
std::vector<uint32_t> g_cobIds;
std::deque<CanPdoRecord> g_pdos;
std::deque<Emcy> g_emcys;
uint32_t g_depth = 256;
bool g_overrun = false;
bool g_pdoSignal = false;
uint64_t g_dropped = 0;
uint64_t g_callbacks = 0;
int32_t g_getPdoErr = CAN_OK;
int g_getPdoFails = 0;
int64_t g_lateMs = 0;
CanPdoCallback g_pdoCallback = nullptr;
CanEmcyCallback g_emcyCallback = nullptr;
// Each delivery thread runs while the generation it started in is current.
uint64_t g_generation = 0;
bool g_running = false;
bool g_inFlight = false;
int64_t g_modelDueMs = INT64_MAX;
bool g_modelWake = false;

// The thread's life: started and stopped under g_life (taken before g_lock),
// joined with g_life let go.
std::mutex g_life;
std::thread g_thread;
std::thread::id g_threadId;
std::vector<std::thread> g_ended;  // stopped from their own callback, joined later

std::vector<Record> g_transcript;

void record_locked(Record record) {
    if (g_transcript.size() >= TRANSCRIPT_LIMIT) return;
    record.head.timeMs = plat_clock_ms();
    record.head.entry = static_cast<int32_t>(g_transcript.size());
    uint32_t inline_bytes =
        std::min<uint32_t>(static_cast<uint32_t>(record.bytes.size()), SIMCAN_REC_BYTES);
    if (inline_bytes > 0) std::memcpy(record.head.bytes, record.bytes.data(), inline_bytes);
    g_transcript.push_back(std::move(record));
}

void record_call_locked(const char* name, int32_t result) {
    Record record{};
    record.head.kind = SIMCAN_REC_CALL;
    std::snprintf(record.head.name, sizeof record.head.name, "%s", name);
    record.head.result = result;
    record_locked(std::move(record));
}

int32_t call_result(const char* name, int32_t result) {
    record_call_locked(name, result);
    return result;
}

Bridge* bridge_at(int i) {
    return i >= 0 && i < static_cast<int>(g_bridges.size()) ? &g_bridges[i] : nullptr;
}

Bridge* connected_locked() {
    return bridge_at(g_connected);
}

uint32_t key(uint16_t index, uint8_t sub) {
    return static_cast<uint32_t>(index) << 8 | sub;
}

Object* object_locked(uint8_t node, uint16_t index, uint8_t sub) {
    auto n = g_nodes.find(node);
    if (n == g_nodes.end()) return nullptr;
    auto o = n->second.objects.find(key(index, sub));
    return o == n->second.objects.end() ? nullptr : &o->second;
}

bool delivering_locked() {
    return g_connected >= 0 && (g_pdoCallback != nullptr || g_emcyCallback != nullptr) && g_running;
}

void delivery_loop(uint64_t generation) {
    std::unique_lock<std::mutex> lock(g_lock);
    while (g_generation == generation) {
        int64_t now = plat_clock_ms();
        if (g_modelDueMs <= now || g_modelWake) {
            g_modelWake = false;
            g_modelDueMs = INT64_MAX;
            lock.unlock();
            int64_t due = simcan_models_tick(now);
            lock.lock();
            g_modelDueMs = std::min(g_modelDueMs, due);
            continue;
        }
        CanEmcyCallback emcy = g_emcyCallback;
        CanPdoCallback pdo = g_pdoCallback;
        bool haveEmcy = emcy != nullptr && !g_emcys.empty();
        bool havePdo = pdo != nullptr && g_pdoSignal;
        if (haveEmcy || havePdo) {
            Emcy e{};
            uint32_t waiting = 0, overrun = 0;
            Record record{};
            record.head.kind = SIMCAN_REC_DELIVERY;
            if (haveEmcy) {
                e = g_emcys.front();
                g_emcys.pop_front();
                std::snprintf(record.head.name, sizeof record.head.name, "emcy");
            } else {
                waiting = static_cast<uint32_t>(g_pdos.size());
                overrun = g_overrun ? 1 : 0;
                g_overrun = false;
                g_pdoSignal = false;
                std::snprintf(record.head.name, sizeof record.head.name, "pdo");
                record.head.size = waiting;
                record.head.abortCode = overrun;
            }
            record_locked(std::move(record));
            int64_t late = g_lateMs;
            g_lateMs = 0;
            g_inFlight = true;
            ++g_callbacks;
            lock.unlock();
            if (late > 0) plat_sleep_ms(late);
            if (haveEmcy)
                emcy(e.value1, e.value2, e.values, e.byte);
            else
                pdo(waiting, overrun);
            lock.lock();
            g_inFlight = false;
            g_idle.notify_all();
            continue;
        }
        if (g_modelDueMs == INT64_MAX)
            g_wake.wait(lock);
        else
            g_wake.wait_until(lock, plat_real_deadline(g_modelDueMs - now));
    }
}

// Joins threads with `life` (a hold of g_life) let go for the wait, so that a
// callback still running on them may call entries that take g_life.
void join_unlocked(std::unique_lock<std::mutex>& life, std::vector<std::thread> threads) {
    if (threads.empty()) return;
    life.unlock();
    for (std::thread& t : threads) t.join();
    life.lock();
}

// Under g_life: joins the threads stopped from their own callbacks (not the
// caller's own, which is joined later).
void join_ended(std::unique_lock<std::mutex>& life) {
    std::vector<std::thread> others;
    for (auto it = g_ended.begin(); it != g_ended.end();) {
        if (it->get_id() == std::this_thread::get_id()) {
            ++it;
            continue;
        }
        others.push_back(std::move(*it));
        it = g_ended.erase(it);
    }
    join_unlocked(life, std::move(others));
}

// Under g_life: starts the thread when it should run and does not.
void start_delivery_if_needed(std::unique_lock<std::mutex>& life) {
    join_ended(life);
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_thread.joinable() || g_connected < 0 ||
        (g_pdoCallback == nullptr && g_emcyCallback == nullptr))
        return;
    g_running = true;
    g_thread = std::thread(delivery_loop, g_generation);
    g_threadId = g_thread.get_id();
}

// Under g_life: stops the thread and waits for the callback in flight (unless
// called from that callback, whose thread is then joined later).
void stop_delivery(std::unique_lock<std::mutex>& life) {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        ++g_generation;
        g_running = false;
        g_wake.notify_all();
    }
    if (!g_thread.joinable()) return;
    std::thread stopped = std::move(g_thread);
    if (std::this_thread::get_id() == g_threadId) {
        g_ended.push_back(std::move(stopped));
        return;
    }
    std::vector<std::thread> threads;
    threads.push_back(std::move(stopped));
    join_unlocked(life, std::move(threads));
}

// Under g_life.
void disconnect(std::unique_lock<std::mutex>& life) {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_connected = -1;
    }
    stop_delivery(life);
}

void add_default_bridge_locked() {
    Bridge bridge;
    const uint8_t mac[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    const uint8_t ip[4] = {192, 168, 10, 20};
    std::memcpy(bridge.mac, mac, 6);
    std::memcpy(bridge.ipv4, ip, 4);
    g_bridges.push_back(bridge);
}

void add_node_locked(uint8_t id, uint32_t productId, uint32_t version) {
    Node node;
    auto put = [&](uint16_t index, uint8_t sub, uint32_t size, int access, uint32_t value) {
        Object object;
        object.size = size;
        object.access = access;
        object.value.assign(size, 0);
        std::memcpy(object.value.data(), &value, std::min<uint32_t>(size, 4));
        node.objects[key(index, sub)] = std::move(object);
    };
    put(0x1000, 0, 4, SIMCAN_READ, 0x00000191);
    put(0x1001, 0, 1, SIMCAN_READ, 0);
    put(0x1002, 0, 4, SIMCAN_READ, 0);
    put(0x1018, 0, 1, SIMCAN_READ, 4);
    put(0x1018, 1, 4, SIMCAN_READ, 0x000000A7);
    put(0x1018, 2, 4, SIMCAN_READ, productId);
    put(0x1018, 3, 4, SIMCAN_READ, version);
    put(0x1018, 4, 4, SIMCAN_READ, 0x00010000u + id);
    g_nodes[id] = std::move(node);
}

void reset_locked_state() {
    g_bridges.clear();
    g_connected = -1;
    g_enumCalls = 0;
    g_enumOverride = SIMCAN_ENUM_NATURAL;
    g_resetDrops = true;
    g_nodes.clear();
    g_faults.clear();
    g_cobIds.clear();
    g_pdos.clear();
    g_emcys.clear();
    g_depth = 256;
    g_overrun = g_pdoSignal = false;
    g_dropped = g_callbacks = 0;
    g_getPdoErr = CAN_OK;
    g_getPdoFails = 0;
    g_lateMs = 0;
    g_pdoCallback = nullptr;
    g_emcyCallback = nullptr;
    g_modelDueMs = INT64_MAX;
    g_modelWake = false;
    g_transcript.clear();
    add_default_bridge_locked();
    add_node_locked(127, 0, 0x00010000);
}

int32_t sdo_transfer(bool write, uint8_t node, uint16_t index, uint8_t sub, uint8_t* data,
                     uint32_t size, CanSdoStatus* status) {
    const char* name = write ? "CAN_SDOWrite" : "CAN_SDORead";
    Record record{};
    record.head.kind = SIMCAN_REC_SDO;
    std::snprintf(record.head.name, sizeof record.head.name, "%s", name);
    record.head.node = node;
    record.head.index = index;
    record.head.subIndex = sub;
    record.head.direction = write ? SIMCAN_DIR_WRITE : SIMCAN_DIR_READ;
    record.head.size = size;
    auto finish = [&](int32_t result, uint32_t transfer, uint32_t abortCode, bool moved) {
        if (status != nullptr && result == CAN_OK) *status = CanSdoStatus{0, transfer, abortCode};
        record.head.result = result;
        record.head.abortCode = abortCode;
        if (moved && data != nullptr && size > 0) record.bytes.assign(data, data + size);
        std::lock_guard<std::mutex> guard(g_lock);
        record_locked(std::move(record));
        return result;
    };

    Fault fault{};
    bool faulted = false;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (connected_locked() == nullptr) {
            record.head.result = CAN_ERR_NOT_CONNECTED;
            record_locked(std::move(record));
            return CAN_ERR_NOT_CONNECTED;
        }
        int dir = write ? SIMCAN_DIR_WRITE : SIMCAN_DIR_READ;
        for (auto it = g_faults.begin(); it != g_faults.end(); ++it) {
            if ((it->node != SIMCAN_ANY && it->node != node) ||
                (it->index != SIMCAN_ANY && it->index != index) ||
                (it->subIndex != SIMCAN_ANY && it->subIndex != sub) ||
                (it->direction != SIMCAN_ANY && it->direction != dir))
                continue;
            fault = *it;
            faulted = true;
            if (it->count > 0 && --it->count == 0) g_faults.erase(it);
            break;
        }
    }
    if (faulted) {
        if (fault.delayMs > 0) plat_sleep_ms(fault.delayMs);
        if (fault.canErr != CAN_OK) return finish(fault.canErr, 0, 0, false);
        if (fault.abortCode != 0) return finish(CAN_OK, 0, fault.abortCode, false);
    }
    if (data == nullptr && size > 0) return finish(CAN_ERR_GENERAL, 0, 0, false);

    std::vector<uint8_t> value, previous;
    SimCanObjectHook hook = nullptr;
    void* context = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        auto n = g_nodes.find(node);
        if (n == g_nodes.end() || !n->second.present) {
            record.head.result = CAN_ERR_TIMEOUT;
            record_locked(std::move(record));
            return CAN_ERR_TIMEOUT;
        }
        Object* object = object_locked(node, index, sub);
        if (object == nullptr) {
            record.head.result = CAN_OK;
            record.head.abortCode = ABORT_NO_OBJECT;
            record_locked(std::move(record));
            if (status != nullptr) *status = CanSdoStatus{0, 0, ABORT_NO_OBJECT};
            return CAN_OK;
        }
        uint32_t abortCode = 0;
        bool sizeOk = (object->access & SIMCAN_VARIABLE_SIZE) != 0
                          ? size >= 1 && size <= object->size
                          : size == object->size;
        if (write && (object->access & SIMCAN_WRITE) == 0)
            abortCode = ABORT_READ_ONLY;
        else if (!write && (object->access & SIMCAN_READ) == 0)
            abortCode = ABORT_WRITE_ONLY;
        else if (!sizeOk)
            abortCode = ABORT_SIZE;
        if (abortCode != 0) {
            record.head.result = CAN_OK;
            record.head.abortCode = abortCode;
            record_locked(std::move(record));
            if (status != nullptr) *status = CanSdoStatus{0, 0, abortCode};
            return CAN_OK;
        }
        hook = object->hook;
        context = object->context;
        if (write) {
            previous = object->value;
            std::copy(data, data + size, object->value.begin());
            value = object->value;
        } else {
            value = object->value;
        }
    }
    uint32_t abortCode = 0;
    if (hook != nullptr)
        abortCode = hook(context, node, index, sub, write, write ? data : value.data(), size);
    {
        std::lock_guard<std::mutex> guard(g_lock);
        Object* object = object_locked(node, index, sub);
        if (abortCode != 0) {
            if (write && object != nullptr && object->value.size() == previous.size())
                object->value = previous;
        } else if (!write) {
            if (object != nullptr && object->value.size() == value.size()) object->value = value;
            std::memcpy(data, value.data(), size);
        }
    }
    if (abortCode != 0) return finish(CAN_OK, 0, abortCode, write);
    return finish(CAN_OK, CAN_SDO_SUCCESS, 0, true);
}

void install_bridge_node() {
    simcan_models_install(127, 0, 0x00010000);
}

struct Init {
    Init() {
        {
            std::lock_guard<std::mutex> guard(g_lock);
            reset_locked_state();
        }
        install_bridge_node();
    }
    ~Init() {
        std::unique_lock<std::mutex> life(g_life);
        stop_delivery(life);
        join_ended(life);
    }
} g_init;

}  // namespace

void simcan_wake_delivery() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_modelWake = true;
    g_wake.notify_all();
}

// ---- The bridge library's entries ------------------------------------------

SIMCAN_EXPORT int32_t CAN_EnumerateBridges(CanBridgeEntry* entries, int32_t capacity) {
    std::lock_guard<std::mutex> guard(g_lock);
    ++g_enumCalls;
    int32_t found = 0;
    for (const Bridge& bridge : g_bridges) {
        if (bridge.foundFrom > g_enumCalls) continue;
        if (entries != nullptr && found < capacity) {
            std::memcpy(entries[found].ipv4, bridge.ipv4, 4);
            std::memcpy(entries[found].mac, bridge.mac, 6);
        }
        ++found;
    }
    int32_t result = g_enumOverride != SIMCAN_ENUM_NATURAL ? g_enumOverride : found;
    return call_result("CAN_EnumerateBridges", result);
}

SIMCAN_EXPORT int32_t CAN_Connect(uint32_t ipv4) {
    std::unique_lock<std::mutex> life(g_life);
    disconnect(life);
    std::lock_guard<std::mutex> guard(g_lock);
    for (size_t i = 0; i < g_bridges.size(); ++i) {
        Bridge& bridge = g_bridges[i];
        if (std::memcmp(bridge.ipv4, &ipv4, 4) != 0) continue;
        ++bridge.connects;
        if (bridge.stored) {
            bridge.cfgNode = bridge.storedNode;
            bridge.cfgRate = bridge.storedRate;
            bridge.stored = false;
        }
        g_connected = static_cast<int>(i);
        return call_result("CAN_Connect", CAN_OK);
    }
    return call_result("CAN_Connect", CAN_ERR_GENERAL);
}

SIMCAN_EXPORT int32_t CAN_Disconnect() {
    std::unique_lock<std::mutex> life(g_life);
    disconnect(life);
    std::lock_guard<std::mutex> guard(g_lock);
    return call_result("CAN_Disconnect", CAN_OK);
}

SIMCAN_EXPORT int32_t CAN_GetFirmwareVersion(uint8_t* major, uint8_t* minor) {
    std::lock_guard<std::mutex> guard(g_lock);
    Bridge* bridge = connected_locked();
    if (bridge == nullptr) return call_result("CAN_GetFirmwareVersion", CAN_ERR_NOT_CONNECTED);
    if (major != nullptr) *major = bridge->fwMajor;
    if (minor != nullptr) *minor = bridge->fwMinor;
    return call_result("CAN_GetFirmwareVersion", CAN_OK);
}

SIMCAN_EXPORT int32_t CAN_GetBridgeConfiguration(uint8_t* nodeId, uint32_t* bitRate) {
    std::lock_guard<std::mutex> guard(g_lock);
    Bridge* bridge = connected_locked();
    if (bridge == nullptr) return call_result("CAN_GetBridgeConfiguration", CAN_ERR_NOT_CONNECTED);
    if (nodeId != nullptr) *nodeId = bridge->cfgNode;
    if (bitRate != nullptr) *bitRate = bridge->cfgRate;
    return call_result("CAN_GetBridgeConfiguration", CAN_OK);
}

SIMCAN_EXPORT int32_t CAN_SetBridgeConfiguration(uint8_t nodeId, uint32_t bitRate) {
    std::lock_guard<std::mutex> guard(g_lock);
    Bridge* bridge = connected_locked();
    if (bridge == nullptr) return call_result("CAN_SetBridgeConfiguration", CAN_ERR_NOT_CONNECTED);
    bridge->stored = true;
    bridge->storedNode = nodeId;
    bridge->storedRate = bitRate;
    return call_result("CAN_SetBridgeConfiguration", CAN_OK);
}

SIMCAN_EXPORT int32_t CAN_GetLastBridgeError(uint32_t* error) {
    std::lock_guard<std::mutex> guard(g_lock);
    Bridge* bridge = connected_locked();
    if (bridge == nullptr) return call_result("CAN_GetLastBridgeError", CAN_ERR_NOT_CONNECTED);
    uint32_t value = 0;
    if (bridge->latchedError != 0 && bridge->latchedReads != 0) {
        value = bridge->latchedError;
        if (bridge->latchedReads > 0 && --bridge->latchedReads == 0) bridge->latchedError = 0;
    }
    if (error != nullptr) *error = value;
    return call_result("CAN_GetLastBridgeError", CAN_OK);
}

SIMCAN_EXPORT int32_t CAN_ResetBridge() {
    std::unique_lock<std::mutex> life(g_life);
    bool drop = false;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        Bridge* bridge = connected_locked();
        if (bridge == nullptr) return call_result("CAN_ResetBridge", CAN_ERR_NOT_CONNECTED);
        ++bridge->resets;
        drop = g_resetDrops;
    }
    if (drop) disconnect(life);
    std::lock_guard<std::mutex> guard(g_lock);
    return call_result("CAN_ResetBridge", CAN_OK);
}

SIMCAN_EXPORT int32_t CAN_EnumerateNodes(uint8_t* states) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (connected_locked() == nullptr)
        return call_result("CAN_EnumerateNodes", CAN_ERR_NOT_CONNECTED);
    if (states != nullptr) {
        std::memset(states, 0, CAN_NODE_COUNT);
        for (const auto& [id, node] : g_nodes)
            if (id < CAN_NODE_COUNT && node.present) states[id] = CAN_NODE_PRESENT;
    }
    return call_result("CAN_EnumerateNodes", CAN_OK);
}

SIMCAN_EXPORT int32_t CAN_FindNode(uint8_t node, uint8_t* status) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (connected_locked() == nullptr) return call_result("CAN_FindNode", CAN_ERR_NOT_CONNECTED);
    uint8_t value = 0;
    auto n = g_nodes.find(node);
    if (n != g_nodes.end())
        value = n->second.findStatus >= 0 ? static_cast<uint8_t>(n->second.findStatus)
                : n->second.present       ? CAN_NODE_PRESENT
                                          : 0;
    if (status != nullptr) *status = value;
    return call_result("CAN_FindNode", CAN_OK);
}

SIMCAN_EXPORT int32_t CAN_GetNodeState(uint8_t node, uint8_t* state) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (connected_locked() == nullptr)
        return call_result("CAN_GetNodeState", CAN_ERR_NOT_CONNECTED);
    uint8_t value = 0;
    auto n = g_nodes.find(node);
    if (n != g_nodes.end() && n->second.present) {
        if (n->second.notOpTimes > 0) {
            --n->second.notOpTimes;
            value = n->second.notOpState;
        } else {
            value = CAN_NODE_OPERATIONAL;
        }
    }
    if (state != nullptr) *state = value;
    return call_result("CAN_GetNodeState", CAN_OK);
}

SIMCAN_EXPORT int32_t CAN_SDORead(uint8_t node, uint16_t index, uint8_t subIndex, void* data,
                                  uint32_t size, CanSdoStatus* status) {
    return sdo_transfer(false, node, index, subIndex, static_cast<uint8_t*>(data), size, status);
}

SIMCAN_EXPORT int32_t CAN_SDOWrite(uint8_t node, uint16_t index, uint8_t subIndex, const void* data,
                                   uint32_t size, CanSdoStatus* status) {
    // The transfer only reads `data`; a copy keeps the caller's buffer const.
    std::vector<uint8_t> copy;
    if (data != nullptr)
        copy.assign(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
    return sdo_transfer(true, node, index, subIndex, data != nullptr ? copy.data() : nullptr, size,
                        status);
}

SIMCAN_EXPORT int32_t CAN_RegisterPDO(const CanPdoRecord* pdo) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (connected_locked() == nullptr) return call_result("CAN_RegisterPDO", CAN_ERR_NOT_CONNECTED);
    if (pdo == nullptr) return call_result("CAN_RegisterPDO", CAN_ERR_GENERAL);
    if (std::find(g_cobIds.begin(), g_cobIds.end(), pdo->cobId) == g_cobIds.end())
        g_cobIds.push_back(pdo->cobId);
    Record record{};
    record.head.kind = SIMCAN_REC_CALL;
    std::snprintf(record.head.name, sizeof record.head.name, "CAN_RegisterPDO");
    record.head.size = pdo->cobId;
    record.head.result = CAN_OK;
    record_locked(std::move(record));
    return CAN_OK;
}

SIMCAN_EXPORT int32_t CAN_UnregisterPDOs() {
    std::lock_guard<std::mutex> guard(g_lock);
    if (connected_locked() == nullptr)
        return call_result("CAN_UnregisterPDOs", CAN_ERR_NOT_CONNECTED);
    g_cobIds.clear();
    return call_result("CAN_UnregisterPDOs", CAN_OK);
}

SIMCAN_EXPORT int32_t CAN_RegisterEvents(CanPdoCallback pdo, CanEmcyCallback emcy) {
    std::unique_lock<std::mutex> life(g_life);
    if (pdo == nullptr && emcy == nullptr) {
        bool connected;
        {
            std::lock_guard<std::mutex> guard(g_lock);
            g_pdoCallback = nullptr;
            g_emcyCallback = nullptr;
            connected = connected_locked() != nullptr;
        }
        // Returns once the callback in flight (if any) has returned.
        stop_delivery(life);
        std::lock_guard<std::mutex> guard(g_lock);
        return call_result("CAN_RegisterEvents", connected ? CAN_OK : CAN_ERR_NOT_CONNECTED);
    }
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (connected_locked() == nullptr)
            return call_result("CAN_RegisterEvents", CAN_ERR_NOT_CONNECTED);
        g_pdoCallback = pdo;
        g_emcyCallback = emcy;
        if (!g_pdos.empty()) g_pdoSignal = true;
        g_wake.notify_all();
    }
    start_delivery_if_needed(life);
    std::lock_guard<std::mutex> guard(g_lock);
    return call_result("CAN_RegisterEvents", CAN_OK);
}

SIMCAN_EXPORT int32_t CAN_GetPDO(CanPdoRecord* pdo) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (connected_locked() == nullptr) return call_result("CAN_GetPDO", CAN_ERR_NOT_CONNECTED);
    if (g_getPdoFails != 0) {
        if (g_getPdoFails > 0) --g_getPdoFails;
        return call_result("CAN_GetPDO", g_getPdoErr);
    }
    if (g_pdos.empty()) return call_result("CAN_GetPDO", CAN_ERR_NO_PDO);
    if (pdo != nullptr) *pdo = g_pdos.front();
    g_pdos.pop_front();
    return call_result("CAN_GetPDO", CAN_OK);
}

#define SIMCAN_CHECK_SIGNATURE(name) \
    static_assert(std::is_same_v<decltype(&name), name##_t>, #name " differs from can_api.h");
CAN_ENTRY_LIST(SIMCAN_CHECK_SIGNATURE)
#undef SIMCAN_CHECK_SIGNATURE

// ---- Control entries -------------------------------------------------------

SIMCAN_EXPORT void simcan_reset() {
    std::unique_lock<std::mutex> life(g_life);
    disconnect(life);
    join_ended(life);
    {
        std::lock_guard<std::mutex> guard(g_lock);
        reset_locked_state();
    }
    simcan_models_reset();
    simbench_reset();
    install_bridge_node();
}

SIMCAN_EXPORT int simcan_bridge_add(const uint8_t* mac6, const uint8_t* ipv4) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_bridges.size() >= static_cast<size_t>(SIMCAN_MAX_BRIDGES)) return -1;
    Bridge bridge;
    if (mac6 != nullptr) std::memcpy(bridge.mac, mac6, 6);
    if (ipv4 != nullptr) std::memcpy(bridge.ipv4, ipv4, 4);
    g_bridges.push_back(bridge);
    return static_cast<int>(g_bridges.size()) - 1;
}

SIMCAN_EXPORT void simcan_bridge_remove_all() {
    std::unique_lock<std::mutex> life(g_life);
    disconnect(life);
    std::lock_guard<std::mutex> guard(g_lock);
    g_bridges.clear();
}

#define SIMCAN_WITH_BRIDGE(b)                  \
    std::lock_guard<std::mutex> guard(g_lock); \
    Bridge* bridge = bridge_at(b);             \
    if (bridge == nullptr) return false

SIMCAN_EXPORT bool simcan_bridge_set_mac(int b, const uint8_t* mac6) {
    SIMCAN_WITH_BRIDGE(b);
    if (mac6 != nullptr) std::memcpy(bridge->mac, mac6, 6);
    return true;
}

SIMCAN_EXPORT bool simcan_bridge_set_ipv4(int b, const uint8_t* ipv4) {
    SIMCAN_WITH_BRIDGE(b);
    if (ipv4 != nullptr) std::memcpy(bridge->ipv4, ipv4, 4);
    return true;
}

SIMCAN_EXPORT bool simcan_bridge_set_firmware(int b, uint8_t major, uint8_t minor) {
    SIMCAN_WITH_BRIDGE(b);
    bridge->fwMajor = major;
    bridge->fwMinor = minor;
    return true;
}

SIMCAN_EXPORT bool simcan_bridge_set_config(int b, uint8_t nodeId, uint32_t bitRate) {
    SIMCAN_WITH_BRIDGE(b);
    bridge->cfgNode = nodeId;
    bridge->cfgRate = bitRate;
    return true;
}

SIMCAN_EXPORT bool simcan_bridge_get_config(int b, uint8_t* nodeId, uint32_t* bitRate,
                                            uint8_t* storedNodeId, uint32_t* storedBitRate) {
    SIMCAN_WITH_BRIDGE(b);
    if (nodeId != nullptr) *nodeId = bridge->cfgNode;
    if (bitRate != nullptr) *bitRate = bridge->cfgRate;
    if (storedNodeId != nullptr) *storedNodeId = bridge->stored ? bridge->storedNode : 0;
    if (storedBitRate != nullptr) *storedBitRate = bridge->stored ? bridge->storedRate : 0;
    return true;
}

SIMCAN_EXPORT bool simcan_bridge_latch_error(int b, uint32_t error, int reads) {
    SIMCAN_WITH_BRIDGE(b);
    bridge->latchedError = error;
    bridge->latchedReads = error == 0 ? 0 : reads;
    return true;
}

SIMCAN_EXPORT bool simcan_bridge_found_from(int b, int k) {
    SIMCAN_WITH_BRIDGE(b);
    bridge->foundFrom = k;
    return true;
}

SIMCAN_EXPORT int simcan_bridge_resets(int b) {
    std::lock_guard<std::mutex> guard(g_lock);
    Bridge* bridge = bridge_at(b);
    return bridge != nullptr ? bridge->resets : -1;
}

SIMCAN_EXPORT int simcan_bridge_connects(int b) {
    std::lock_guard<std::mutex> guard(g_lock);
    Bridge* bridge = bridge_at(b);
    return bridge != nullptr ? bridge->connects : -1;
}

#undef SIMCAN_WITH_BRIDGE

SIMCAN_EXPORT void simcan_set_enumeration_result(int32_t count) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_enumOverride = count;
}

SIMCAN_EXPORT void simcan_set_reset_drops_connection(bool drops) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_resetDrops = drops;
}

SIMCAN_EXPORT int simcan_connected_bridge() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_connected;
}

SIMCAN_EXPORT void simcan_drop_connection() {
    std::unique_lock<std::mutex> life(g_life);
    disconnect(life);
}

SIMCAN_EXPORT bool simcan_node_add(uint8_t node, uint32_t productId, uint32_t version) {
    if (node > 127) return false;
    std::lock_guard<std::mutex> guard(g_lock);
    add_node_locked(node, productId, version);
    return true;
}

SIMCAN_EXPORT bool simcan_model_add(uint8_t node, uint32_t productId, uint32_t version) {
    if (!simcan_node_add(node, productId, version)) return false;
    if (simcan_models_install(node, productId, version)) return true;
    std::lock_guard<std::mutex> guard(g_lock);
    g_nodes.erase(node);
    return false;
}

SIMCAN_EXPORT bool simcan_model_param(uint8_t node, const char* name, int64_t value) {
    return name != nullptr && simcan_models_param(node, name, value);
}

SIMCAN_EXPORT void simcan_node_remove(uint8_t node) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_nodes.erase(node);
}

#define SIMCAN_WITH_NODE(id)                   \
    std::lock_guard<std::mutex> guard(g_lock); \
    auto found = g_nodes.find(id);             \
    if (found == g_nodes.end()) return false;  \
    Node& n = found->second

SIMCAN_EXPORT bool simcan_node_set_present(uint8_t node, bool present) {
    SIMCAN_WITH_NODE(node);
    n.present = present;
    return true;
}

SIMCAN_EXPORT bool simcan_node_set_find_status(uint8_t node, uint8_t status) {
    SIMCAN_WITH_NODE(node);
    n.findStatus = status;
    return true;
}

SIMCAN_EXPORT bool simcan_node_set_not_operational(uint8_t node, uint8_t state, int times) {
    SIMCAN_WITH_NODE(node);
    n.notOpState = state;
    n.notOpTimes = times;
    return true;
}

SIMCAN_EXPORT bool simcan_node_set_error_register(uint8_t node, uint8_t value) {
    SIMCAN_WITH_NODE(node);
    auto o = n.objects.find(key(0x1001, 0));
    if (o == n.objects.end()) return false;
    o->second.value.assign(1, value);
    return true;
}

SIMCAN_EXPORT bool simcan_object_add(uint8_t node, uint16_t index, uint8_t subIndex, uint32_t size,
                                     int access, const void* initial) {
    if (size < 1 || size > 65536) return false;
    SIMCAN_WITH_NODE(node);
    Object object;
    object.size = size;
    object.access = access;
    object.value.assign(size, 0);
    if (initial != nullptr) std::memcpy(object.value.data(), initial, size);
    n.objects[key(index, subIndex)] = std::move(object);
    return true;
}

#undef SIMCAN_WITH_NODE

SIMCAN_EXPORT bool simcan_object_set(uint8_t node, uint16_t index, uint8_t subIndex,
                                     const void* data, uint32_t size) {
    std::lock_guard<std::mutex> guard(g_lock);
    Object* object = object_locked(node, index, subIndex);
    if (object == nullptr || data == nullptr || size != object->size) return false;
    std::memcpy(object->value.data(), data, size);
    return true;
}

SIMCAN_EXPORT bool simcan_object_get(uint8_t node, uint16_t index, uint8_t subIndex, void* data,
                                     uint32_t size) {
    std::lock_guard<std::mutex> guard(g_lock);
    Object* object = object_locked(node, index, subIndex);
    if (object == nullptr || data == nullptr || size != object->size) return false;
    std::memcpy(data, object->value.data(), size);
    return true;
}

SIMCAN_EXPORT bool simcan_object_hook(uint8_t node, uint16_t index, uint8_t subIndex,
                                      SimCanObjectHook hook, void* context) {
    std::lock_guard<std::mutex> guard(g_lock);
    Object* object = object_locked(node, index, subIndex);
    if (object == nullptr) return false;
    object->hook = hook;
    object->context = context;
    return true;
}

SIMCAN_EXPORT void simcan_sdo_fault(int node, int index, int subIndex, int direction,
                                    int32_t canErr, uint32_t abortCode, int64_t delayMs,
                                    int count) {
    if (count == 0) return;
    std::lock_guard<std::mutex> guard(g_lock);
    g_faults.push_back(Fault{node, index, subIndex, direction, canErr, abortCode, delayMs, count});
}

SIMCAN_EXPORT void simcan_sdo_faults_clear() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_faults.clear();
}

// While the motion library holds the bus, it receives what the bus sends;
// the transcript shows the route. Handed over without g_lock held.
static void emit_to_motion(const char* name, uint32_t id, const void* bytes, uint32_t size) {
    std::lock_guard<std::mutex> guard(g_lock);
    Record record{};
    record.head.kind = SIMCAN_REC_DELIVERY;
    std::snprintf(record.head.name, sizeof record.head.name, "%s", name);
    record.head.size = id;
    const auto* begin = static_cast<const uint8_t*>(bytes);
    if (begin != nullptr) record.bytes.assign(begin, begin + size);
    record_locked(std::move(record));
}

SIMCAN_EXPORT int simcan_emit_pdo(uint32_t cobId, const uint8_t* data, uint32_t size) {
    if (simbench_can_receiver() == SIMBENCH_CAN_MOTION) {
        emit_to_motion("motion pdo", cobId, data, std::min<uint32_t>(size, 8));
        return simbench_motion_pdo(cobId, data, size);
    }
    std::lock_guard<std::mutex> guard(g_lock);
    if (!delivering_locked() || g_pdoCallback == nullptr ||
        simbench_can_receiver() != SIMBENCH_CAN_BRIDGE ||
        std::find(g_cobIds.begin(), g_cobIds.end(), cobId) == g_cobIds.end())
        return 0;
    if (g_pdos.size() >= g_depth) {
        ++g_dropped;
        g_overrun = true;
        g_pdoSignal = true;  // the overrun is reported at once
        g_wake.notify_all();
        return -1;
    }
    CanPdoRecord pdo{};
    pdo.cobId = cobId;
    if (data != nullptr) std::memcpy(pdo.data, data, std::min<uint32_t>(size, 8));
    g_pdos.push_back(pdo);
    g_pdoSignal = true;
    g_wake.notify_all();
    return 1;
}

SIMCAN_EXPORT int simcan_emit_emcy(uint32_t value1, uint32_t value2, const uint32_t* values3,
                                   uint8_t byte) {
    if (simbench_can_receiver() == SIMBENCH_CAN_MOTION) {
        emit_to_motion("motion emcy", value1, values3, values3 != nullptr ? 12 : 0);
        return simbench_motion_emcy(value1, value2, values3, byte);
    }
    std::lock_guard<std::mutex> guard(g_lock);
    if (!delivering_locked() || g_emcyCallback == nullptr ||
        simbench_can_receiver() != SIMBENCH_CAN_BRIDGE)
        return 0;
    Emcy emcy{value1, value2, {0, 0, 0}, byte};
    if (values3 != nullptr) std::memcpy(emcy.values, values3, sizeof emcy.values);
    g_emcys.push_back(emcy);
    g_wake.notify_all();
    return 1;
}

SIMCAN_EXPORT void simcan_set_pdo_depth(uint32_t depth) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_depth = std::max<uint32_t>(depth, 1);
}

SIMCAN_EXPORT void simcan_getpdo_fail(int32_t canErr, int count) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_getPdoErr = canErr;
    g_getPdoFails = count;
}

SIMCAN_EXPORT void simcan_delay_next_callback(int64_t delayMs) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_lateMs = delayMs;
}

SIMCAN_EXPORT bool simcan_delivery_running() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_running;
}

SIMCAN_EXPORT uint32_t simcan_pdo_queued() {
    std::lock_guard<std::mutex> guard(g_lock);
    return static_cast<uint32_t>(g_pdos.size());
}

SIMCAN_EXPORT uint64_t simcan_pdo_dropped() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_dropped;
}

SIMCAN_EXPORT uint64_t simcan_callbacks_made() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_callbacks;
}

SIMCAN_EXPORT int simcan_registered_cobids(uint32_t* cobIds, int capacity) {
    std::lock_guard<std::mutex> guard(g_lock);
    int count = static_cast<int>(g_cobIds.size());
    for (int i = 0; i < count && i < capacity && cobIds != nullptr; ++i) cobIds[i] = g_cobIds[i];
    return count;
}

SIMCAN_EXPORT void simcan_transcript_clear() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_transcript.clear();
}

SIMCAN_EXPORT int simcan_transcript_count() {
    std::lock_guard<std::mutex> guard(g_lock);
    return static_cast<int>(g_transcript.size());
}

SIMCAN_EXPORT bool simcan_transcript_entry(int i, SimCanRecord* record) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (i < 0 || i >= static_cast<int>(g_transcript.size()) || record == nullptr) return false;
    *record = g_transcript[i].head;
    return true;
}

SIMCAN_EXPORT uint32_t simcan_transcript_bytes(int i, void* data, uint32_t capacity) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (i < 0 || i >= static_cast<int>(g_transcript.size())) return 0;
    const std::vector<uint8_t>& bytes = g_transcript[i].bytes;
    if (data != nullptr) std::memcpy(data, bytes.data(), std::min<size_t>(capacity, bytes.size()));
    return static_cast<uint32_t>(bytes.size());
}
