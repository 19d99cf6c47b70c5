#include "can/can_events.h"

#include <atomic>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>

#include "can/can_bridge.h"
#include "can/can_lib.h"
#include "common/msg.h"
#include "common/status.h"
#include "config/sysinfo.h"
#include "devpoll/devpoll.h"
#include "platform/event.h"

namespace {

// The three locks: auto-reset events created signalled (wait = lock,
// set = unlock). Created once and never closed, so a callback running on the
// library's thread never meets a closed handle.
std::mutex g_create_mutex;
std::atomic<bool> g_locks_ready{false};
PlatWaitable* g_event_lock = nullptr;
PlatWaitable* g_pdo_lock = nullptr;
PlatWaitable* g_emcy_lock = nullptr;

class Held {
  public:
    explicit Held(PlatWaitable* lock) : lock_(lock) { plat_wait_one(lock_, PLAT_INFINITE); }
    ~Held() { plat_event_set(lock_); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

  private:
    PlatWaitable* lock_;
};

bool locks_ready() {
    return g_locks_ready.load(std::memory_order_acquire) || CanCreateSyncObjects() == 0;
}

const char* const kQueueNames[CAN_QUEUE_COUNT] = {"raw PDO", "raw emergency", "application event",
                                                  "application emergency"};

// A queue bounded at CAN_QUEUE_LIMIT: a full one drops its oldest entry. An
// overflow episode (reported once) lasts until a removal empties the queue.
template <typename T>
struct Bounded {
    std::deque<T> entries;
    bool overflowing = false;

    // True when this push began an overflow episode.
    bool push(const T& entry, std::atomic<uint64_t>& drops) {
        bool began = false;
        if (entries.size() >= CAN_QUEUE_LIMIT) {
            entries.pop_front();
            drops.fetch_add(1, std::memory_order_relaxed);
            began = !overflowing;
            overflowing = true;
        }
        entries.push_back(entry);
        return began;
    }

    bool take(T* out) {
        if (entries.empty()) return false;
        *out = entries.front();
        entries.pop_front();
        if (entries.empty()) overflowing = false;
        return true;
    }
};

Bounded<CanPdoRecord> g_raw_pdo;    // under g_pdo_lock
Bounded<CanEmcyRecord> g_raw_emcy;  // under g_emcy_lock
Bounded<CanAppEvent> g_app_events;  // under g_event_lock
Bounded<CanAppEmcy> g_app_emcys;    // under g_event_lock
CanDecoderMemory g_memory;          // under g_event_lock
std::atomic<uint64_t> g_drops[CAN_QUEUE_COUNT];

void report_overflow(CanQueue queue) {
    u_msg_sink("CAN %s queue full: dropping its oldest entries\n", kQueueNames[queue]);
}

// Appends to a raw queue from a callback. Nothing may leave a callback: a
// record that cannot be queued is dropped and counted.
void push_raw_pdo(const CanPdoRecord& pdo) {
    bool began = false;
    try {
        if (!locks_ready()) {
            g_drops[CAN_QUEUE_RAW_PDO].fetch_add(1, std::memory_order_relaxed);
            return;
        }
        Held held(g_pdo_lock);
        began = g_raw_pdo.push(pdo, g_drops[CAN_QUEUE_RAW_PDO]);
    } catch (...) {
        g_drops[CAN_QUEUE_RAW_PDO].fetch_add(1, std::memory_order_relaxed);
    }
    if (began) report_overflow(CAN_QUEUE_RAW_PDO);
}

void push_raw_emcy(const CanEmcyRecord& emcy) {
    bool began = false;
    try {
        if (!locks_ready()) {
            g_drops[CAN_QUEUE_RAW_EMCY].fetch_add(1, std::memory_order_relaxed);
            return;
        }
        Held held(g_emcy_lock);
        began = g_raw_emcy.push(emcy, g_drops[CAN_QUEUE_RAW_EMCY]);
    } catch (...) {
        g_drops[CAN_QUEUE_RAW_EMCY].fetch_add(1, std::memory_order_relaxed);
    }
    if (began) report_overflow(CAN_QUEUE_RAW_EMCY);
}

// Under g_event_lock. True when the push began an overflow episode.
bool append_event(uint32_t kind, const CanPdoRecord& pdo) {
    return g_app_events.push(CanAppEvent{kind, pdo}, g_drops[CAN_QUEUE_APP_EVENT]);
}

constexpr uint32_t kProductBrushMotorD5 = 0x267215D5;
constexpr uint32_t kProductBrushMotorD7 = 0x267215D7;

constexpr int kTurretEncoded = 2;
constexpr int kZoomEncoded = 1;
constexpr int kZoomMotorized = 2;

uint32_t brush_motor_product(const SystemInfo* info) {
    return info->canInfo ? info->canInfo->brushMotorProductId : 0;
}

uint32_t node_of(const CanPdoRecord& pdo) {
    return pdo.cobId & 0x7F;
}
uint32_t pdo_number(const CanPdoRecord& pdo) {
    return (pdo.cobId >> 7) & 0xF;
}

template <typename Emit>
void decode_node63(SystemInfo* info, const CanPdoRecord& pdo, Emit emit) {
    if (node_of(pdo) != 63) return;
    uint8_t status = pdo.data[0];
    if (pdo_number(pdo) == 3) {
        if (info->turret[0] == kTurretEncoded && status != info->can.lastTurretFlags) {
            info->can.lastTurretFlags = status;
            emit(CAN_EVENT_TURRET);
        }
        return;
    }
    if (pdo_number(pdo) != 5) return;
    if (g_memory.zoomState == CAN_ZOOM_MOVING)
        g_memory.zoomState = (status & 0x08) ? CAN_ZOOM_MOVING : CAN_ZOOM_STOPPING;
    if (g_memory.zoomState == CAN_ZOOM_STOPPING && !(status & 0x20)) {
        g_memory.zoomState = CAN_ZOOM_IDLE;
        emit(CAN_EVENT_ZOOM_STOPPED);
    }
    // Only the encoded zoom of product 0x267215D7 reports through the
    // position table; the others report the position itself, 15 for none.
    uint8_t raw = pdo.data[1];
    uint8_t position;
    if (brush_motor_product(info) == kProductBrushMotorD7 && info->zoom == kZoomEncoded) {
        int mapped = can_zoom_table_position(raw);
        position = mapped < 0 ? CAN_NO_ZOOM_POSITION : static_cast<uint8_t>(mapped);
    } else {
        position = raw == 15 ? CAN_NO_ZOOM_POSITION : raw;
    }
    if (position != g_memory.lastZoomPosition) {
        g_memory.lastZoomPosition = position;
        emit(CAN_EVENT_ZOOM_POSITION);
    }
    if (status & 0x08) {
        g_memory.zoomState = CAN_ZOOM_MOVING;
        emit(CAN_EVENT_ZOOM_MOVING);
    }
}

template <typename Emit>
void decode_wands(const CanPdoRecord& pdo, Emit emit) {
    uint32_t node = node_of(pdo);
    if ((node != 72 && node != 73) || pdo_number(pdo) != 3) return;
    switch (pdo.data[0]) {
        case 1:
            emit(CAN_EVENT_WAND_1);
            break;
        case 2:
            emit(CAN_EVENT_WAND_2);
            break;
        case 3:
            emit(CAN_EVENT_WAND_3);
            break;
        default:
            break;
    }
}

// Node 64's second PDO: no event; remembers the home status and the moving
// flag. True when the wheel has just stopped.
bool decode_node64_second(const CanPdoRecord& pdo) {
    if (node_of(pdo) != 64 || pdo_number(pdo) != 5) return false;
    uint8_t status = pdo.data[0];
    g_memory.ndwHomeStatus = status & 0x18;
    g_memory.ndwWasMoving = g_memory.ndwMoving;
    g_memory.ndwMoving = (status & 0x02) != 0;
    return g_memory.ndwWasMoving && !g_memory.ndwMoving;
}

template <typename Emit>
void decode_node68(const CanPdoRecord& pdo, Emit emit) {
    if (node_of(pdo) != 68 || pdo_number(pdo) != 5) return;
    if (pdo.data[0] & 0x02) return;
    if (pdo.data[2] == 1) emit(CAN_EVENT_RS_DISK_1);
    if (pdo.data[2] == 2) emit(CAN_EVENT_RS_DISK_2);
}

template <typename Emit>
void decode_node64_first(const CanPdoRecord& pdo, Emit emit) {
    if (node_of(pdo) == 64 && pdo_number(pdo) == 3) emit(CAN_EVENT_NDW_PDO);
}

bool is_led_pzt_decoding(int32_t type) {
    return type == 11 || type == 13 || type == 22 || type == 29 || type == 31 || type == 35;
}
bool is_qel(int32_t type) {
    return type == 23 || type == 25 || type == 26 || type == 30 || type == 32 || type == 33;
}

// Runs the system type's decoders on one record, under g_event_lock.
// Returns true when the ND wheel stopped; *overflow when an append began an
// overflow episode.
bool decode(SystemInfo* info, const CanPdoRecord& pdo, bool* overflow) {
    auto emit = [&](uint32_t kind) {
        if (append_event(kind, pdo)) *overflow = true;
    };
    if (info == nullptr || info->instrBdType != SB_BOARD_CAN) return false;
    int32_t type = info->systemType;
    bool stopped = false;
    if (is_led_pzt_decoding(type)) {
        decode_node63(info, pdo, emit);
    } else if (is_qel(type)) {
        decode_wands(pdo, emit);
        stopped = decode_node64_second(pdo);
        if (type != 26) decode_node68(pdo, emit);
        if (type != 25 && type != 26) decode_node64_first(pdo, emit);
    }
    return stopped;
}

void signal_ndwheel_stopped() {
    PlatWaitable* event = plat_named_open("CAN_NDWHEEL_STOPPED");
    if (event == nullptr) return;
    plat_event_set(event);
    plat_handle_close(event);
}

bool register_cob(const CanApi* api, uint32_t cobId, int* result) {
    CanPdoRecord pdo{};
    pdo.cobId = cobId;
    int32_t canErr = api->CAN_RegisterPDO(&pdo);
    if (canErr == CAN_OK) return true;
    u_msg_sink("can_register_pdos canErr = %d\n", static_cast<int>(canErr));
    *result = can_canerr_to_error(canErr);
    return false;
}

}  // namespace

uint64_t can_queue_drops(CanQueue queue) {
    if (queue < 0 || queue >= CAN_QUEUE_COUNT) return 0;
    return g_drops[queue].load(std::memory_order_relaxed);
}

size_t can_queue_length(CanQueue queue) {
    if (!locks_ready()) return 0;
    switch (queue) {
        case CAN_QUEUE_RAW_PDO: {
            Held held(g_pdo_lock);
            return g_raw_pdo.entries.size();
        }
        case CAN_QUEUE_RAW_EMCY: {
            Held held(g_emcy_lock);
            return g_raw_emcy.entries.size();
        }
        case CAN_QUEUE_APP_EVENT: {
            Held held(g_event_lock);
            return g_app_events.entries.size();
        }
        case CAN_QUEUE_APP_EMCY: {
            Held held(g_event_lock);
            return g_app_emcys.entries.size();
        }
        default:
            return 0;
    }
}

CanDecoderMemory can_decoder_memory() {
    if (!locks_ready()) return g_memory;
    Held held(g_event_lock);
    return g_memory;
}

void can_set_ndw_status(uint8_t homeStatus, bool moving) {
    if (!locks_ready()) return;
    Held held(g_event_lock);
    g_memory.ndwHomeStatus = homeStatus;
    g_memory.ndwMoving = moving;
}

void can_set_zoom_state(int state) {
    if (!locks_ready()) return;
    Held held(g_event_lock);
    g_memory.zoomState = state;
}

void can_set_last_zoom_position(uint8_t position) {
    if (!locks_ready()) return;
    Held held(g_event_lock);
    g_memory.lastZoomPosition = position;
}

void can_seed_last_zoom_position(uint8_t position) {
    if (!locks_ready()) return;
    Held held(g_event_lock);
    if (g_memory.lastZoomPosition == CAN_NO_ZOOM_POSITION) g_memory.lastZoomPosition = position;
}

void can_set_last_turret_flags(SystemInfo* info, uint8_t flags) {
    if (!locks_ready()) {
        info->can.lastTurretFlags = flags;
        return;
    }
    Held held(g_event_lock);
    info->can.lastTurretFlags = flags;
}

int can_zoom_table_position(uint32_t raw) {
    static const int kTable[8] = {0, 6, 5, 4, 3, 2, 1, 7};
    return raw < 8 ? kTable[raw] : -1;
}

int CanCreateSyncObjects() {
    std::lock_guard<std::mutex> guard(g_create_mutex);
    if (g_locks_ready.load(std::memory_order_acquire)) return 0;
    static const char* const kNames[3] = {"PrynCanEventMutex", "PrynPdoQueueMutex",
                                          "PrynEmcyQueueMutex"};
    static const char* const kMessages[3] = {
        "CanCreateSyncObjects: Cannot create CanEventMutex\n",
        "CanCreateSyncObjects: Cannot create PdoQueueMutex\n",
        "CanCreateSyncObjects: Cannot create EmcyQueueMutex\n"};
    PlatWaitable* created[3] = {};
    for (int i = 0; i < 3; ++i) {
        created[i] = plat_event_create(false, true, kNames[i]);
        if (created[i] == nullptr) {
            u_msg_sink("%s", kMessages[i]);
            for (int j = 0; j < i; ++j) plat_handle_close(created[j]);
            return ERR_UNKNOWN;
        }
    }
    g_event_lock = created[0];
    g_pdo_lock = created[1];
    g_emcy_lock = created[2];
    g_locks_ready.store(true, std::memory_order_release);
    return 0;
}

int can_register_pdos(SystemInfo* instrument) {
    const CanApi* api = can_api();
    if (api == nullptr) return ERR_CAN_NOT_AVAIL;
    int result = 0;
    int32_t type = instrument->systemType;
    if (is_led_pzt_decoding(type)) {
        uint32_t product = brush_motor_product(instrument);
        int zoom = instrument->zoom;
        if (instrument->turret[0] == kTurretEncoded && !register_cob(api, 0x1BF, &result))
            return result;
        bool zoomPdo = (zoom == kZoomMotorized && product == kProductBrushMotorD5) ||
                       (zoom == kZoomEncoded &&
                        (product == kProductBrushMotorD5 || product == kProductBrushMotorD7));
        if (zoomPdo && !register_cob(api, 0x2BF, &result)) return result;
        return 0;
    }
    static const uint32_t kQel[] = {0x1C0, 0x1C8, 0x1C9, 0x2C0, 0x2C4};
    const uint32_t* first = nullptr;
    size_t count = 0;
    if (type == 23 || type == 30 || type == 32 || type == 33) {
        first = kQel;
        count = 5;
    } else if (type == 25) {
        first = kQel + 1;
        count = 4;
    } else if (type == 26) {
        first = kQel + 1;
        count = 3;
    }
    for (size_t i = 0; i < count; ++i)
        if (!register_cob(api, first[i], &result)) return result;
    return 0;
}

int can_register_events(SystemInfo* instrument, bool on) {
    const CanApi* api = can_api();
    if (api == nullptr) return ERR_CAN_NOT_AVAIL;
    if (on) {
        int status = CanCreateSyncObjects();
        if (status != 0) return status;
        int32_t canErr = api->CAN_RegisterEvents(ReceivePdoHandler, ReceiveEmcyHandler);
        if (canErr != CAN_OK) {
            u_msg_sink("can_register_events canErr = %d\n", static_cast<int>(canErr));
            return can_canerr_to_error(canErr);
        }
        return can_register_pdos(instrument);
    }
    int32_t canErr = api->CAN_RegisterEvents(nullptr, nullptr);
    if (canErr == CAN_OK) canErr = api->CAN_UnregisterPDOs();
    if (canErr != CAN_OK) {
        u_msg_sink("can_register_events canErr = %d\n", static_cast<int>(canErr));
        return can_canerr_to_error(canErr);
    }
    return 0;
}

void can_events_free_resources() {
    const CanApi* api = can_api();
    if (api == nullptr) return;
    int32_t canErr = api->CAN_UnregisterPDOs();
    if (canErr != CAN_OK)
        u_msg_sink("can_events_free_resources canErr = %d\n", static_cast<int>(canErr));
}

void ReceivePdoHandler(uint32_t waiting, uint32_t overrun) {
    if (overrun != 0) u_msg_sink("ReceivePdo overrun.\n");
    const CanApi* api = can_api();
    if (api == nullptr) return;
    for (uint32_t i = 0; i < waiting; ++i) {
        CanPdoRecord pdo{};
        int32_t canErr = api->CAN_GetPDO(&pdo);
        if (canErr != CAN_OK) {
            u_msg_sink("ReceivePdoHandler canErr = %d\n", static_cast<int>(canErr));
            continue;
        }
        push_raw_pdo(pdo);
    }
}

void ReceiveEmcyHandler(uint32_t value1, uint32_t value2, const uint32_t* block, uint8_t byte) {
    CanEmcyRecord emcy{};
    emcy.value1 = value1;
    emcy.value2 = value2;
    if (block != nullptr) std::memcpy(emcy.block, block, sizeof emcy.block);
    emcy.byte = byte;
    push_raw_emcy(emcy);
}

extern "C" void can_mc_pdo_callback(uint32_t cobId, uint32_t value, const uint8_t* data) {
    CanPdoRecord pdo{};
    pdo.cobId = cobId;
    pdo.value2 = value;
    if (data != nullptr) std::memcpy(pdo.data, data, sizeof pdo.data);
    push_raw_pdo(pdo);
}

extern "C" void can_mc_emcy_callback(uint32_t value1, uint32_t value2, uint32_t value3,
                                     uint8_t byte1, const uint32_t* value4, uint8_t byte2,
                                     uint8_t last) {
    CanEmcyRecord emcy{};
    emcy.value1 = value1;
    emcy.value2 = value2;
    emcy.block[0] = value3;
    uint8_t packed[8] = {};
    packed[0] = byte1;
    if (value4 != nullptr) std::memcpy(packed + 1, value4, 4);
    packed[5] = byte2;
    std::memcpy(&emcy.block[1], packed, sizeof packed);
    emcy.byte = last;
    push_raw_emcy(emcy);
}

bool can_poll_events(SystemInfo* instrument) {
    if (!locks_ready()) return false;
    bool overflow[CAN_QUEUE_COUNT] = {};
    bool stopped = false;
    bool pending;
    {
        Held events(g_event_lock);
        for (;;) {
            CanEmcyRecord emcy;
            {
                Held held(g_emcy_lock);
                if (!g_raw_emcy.take(&emcy)) break;
            }
            try {
                if (g_app_emcys.push(CanAppEmcy{CAN_EMCY_KIND, emcy}, g_drops[CAN_QUEUE_APP_EMCY]))
                    overflow[CAN_QUEUE_APP_EMCY] = true;
            } catch (...) {
                g_drops[CAN_QUEUE_RAW_EMCY].fetch_add(1, std::memory_order_relaxed);
            }
        }
        for (;;) {
            CanPdoRecord pdo;
            {
                Held held(g_pdo_lock);
                if (!g_raw_pdo.take(&pdo)) break;
            }
            try {
                if (decode(instrument, pdo, &overflow[CAN_QUEUE_APP_EVENT])) stopped = true;
            } catch (...) {
                g_drops[CAN_QUEUE_RAW_PDO].fetch_add(1, std::memory_order_relaxed);
            }
        }
        pending = !g_app_events.entries.empty() || !g_app_emcys.entries.empty();
    }
    if (stopped) signal_ndwheel_stopped();
    for (int q = 0; q < CAN_QUEUE_COUNT; ++q)
        if (overflow[q]) report_overflow(static_cast<CanQueue>(q));
    return pending;
}

namespace {
bool poll_device(void* /*handle*/, void* owner) {
    return can_poll_events(static_cast<SystemInfo*>(owner));
}
}  // namespace

void can_events_install_poll() {
    dev_set_poll_function(DEV_POLL_CAN_QUEUE, poll_device);
}

namespace {
// Installed when the program starts, before any type-64 device can be
// registered (a device keeps the poll function it got at registration).
const bool kPollInstalled = (can_events_install_poll(), true);
}  // namespace

void can_post_app_event(uint32_t kind, const CanPdoRecord& pdo) {
    bool began = false;
    try {
        if (!locks_ready()) {
            g_drops[CAN_QUEUE_APP_EVENT].fetch_add(1, std::memory_order_relaxed);
            return;
        }
        Held held(g_event_lock);
        began = append_event(kind, pdo);
    } catch (...) {
        g_drops[CAN_QUEUE_APP_EVENT].fetch_add(1, std::memory_order_relaxed);
    }
    if (began) report_overflow(CAN_QUEUE_APP_EVENT);
}

bool can_get_app_event(CanAppEvent* out) {
    if (!locks_ready()) return false;
    Held held(g_event_lock);
    return g_app_events.take(out);
}

bool can_get_app_emcy(CanAppEmcy* out) {
    if (!locks_ready()) return false;
    Held held(g_event_lock);
    return g_app_emcys.take(out);
}
