// Node models of the simulated CAN bus: the object dictionaries of the known
// nodes and the behaviour behind some objects. Motors move over time on the
// library's clock; their state is computed when read, and the delivery
// thread's tick sends each node's status PDO (0x280 + node: status byte,
// level or position) when its status byte changes.
//
// Parameters (simcan_model_param):
//   all motors:  "move_ms"      time of a drive or of the move after homing (1000)
//   node 64:     "home_ms"      time of the home search (2000)
//                "home_result"  bits 3-4 after the search: 0 found, 0x10 failed,
//                               8 searching for ever (0)
//                "speed"        motor-2 light level units per second (20000)
//   node 127:    "ramp_ms"      time a started ramp runs (0)
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/clock.h"
#include "sim/bench/simbench.h"
#include "sim/can/simcan.h"
#include "sim/can/simcan_internal.h"

namespace {

struct Model {
    bool installed = false;
    int64_t moveMs = 1000;
    int64_t homeMs = 2000;
    int homeResult = 0;
    int64_t speed = 20000;
    int64_t rampMs = 0;

    int64_t homeStart = -1;  // ms; -1: no home search since the reset
    int64_t levelStart = 0;
    int32_t levelFrom = 0;
    int32_t levelTo = 0;
    int64_t driveStart = -1;
    uint8_t driveTarget = 1;
    uint8_t position = 1;
    int64_t rampStart = -1;
    int lastReported = -1;  // status byte of the last PDO
    // A move was commanded since the last tick: it is reported as moving, then
    // as stopped, however short it was (a waiter counts on seeing the stop).
    bool moveUnreported = false;
};

std::mutex g_models;  // taken before the library's own lock, never after it
Model g_model[128];

int64_t level_end(const Model& m) {
    int64_t distance = std::abs(m.levelTo - m.levelFrom);
    return m.levelStart + (m.speed > 0 ? distance * 1000 / m.speed : 0);
}

int32_t level_now(const Model& m, int64_t now) {
    int64_t end = level_end(m);
    if (now >= end || end == m.levelStart) return m.levelTo;
    int64_t done = (now - m.levelStart) * (m.levelTo - m.levelFrom) / (end - m.levelStart);
    return static_cast<int32_t>(m.levelFrom + done);
}

// Status byte of a dual-motor node: bit 1 moving, bits 3-4 home search.
// Settles finished drives.
uint8_t status_now(Model& m, int64_t now) {
    uint8_t status = 0;
    if (m.homeStart >= 0) {
        int64_t elapsed = now - m.homeStart;
        if (m.homeResult == 8 || elapsed < m.homeMs)
            status |= 0x08 | 0x02;
        else if (m.homeResult == 0x10)
            status |= 0x10;
        else if (elapsed < m.homeMs + m.moveMs)
            status |= 0x02;
    }
    if (now < level_end(m)) status |= 0x02;
    if (m.driveStart >= 0) {
        if (now < m.driveStart + m.moveMs)
            status |= 0x02;
        else {
            m.position = m.driveTarget;
            m.driveStart = -1;
        }
    }
    return status;
}

// When the node's state next changes by itself; INT64_MAX for never.
int64_t next_change(const Model& m, int64_t now) {
    int64_t due = INT64_MAX;
    auto consider = [&](int64_t t) {
        if (t > now) due = std::min(due, t);
    };
    if (m.homeStart >= 0 && m.homeResult != 8) {
        consider(m.homeStart + m.homeMs);
        if (m.homeResult == 0) consider(m.homeStart + m.homeMs + m.moveMs);
    }
    consider(level_end(m));
    if (m.driveStart >= 0) consider(m.driveStart + m.moveMs);
    return due;
}

bool is_motor(uint8_t node) {
    return node == 64 || node == 66 || node == 68 || node == 70;
}

void publish_wheel(const Model& m, int64_t now) {
    simbench_set_ndwheel(static_cast<uint16_t>(level_now(m, now)), static_cast<uint16_t>(m.levelTo),
                         now < level_end(m));
    simbench_set_ndwheel_motion(static_cast<uint16_t>(m.levelFrom),
                                static_cast<uint16_t>(m.levelTo), m.levelStart, level_end(m));
}

uint32_t motor_hook(void* context, uint8_t node, uint16_t index, uint8_t, bool write, uint8_t* data,
                    uint32_t size) {
    (void)context;
    bool changed = false;
    {
        std::lock_guard<std::mutex> guard(g_models);
        Model& m = g_model[node];
        int64_t now = plat_clock_ms();
        if (index == 0x2021 && !write && size == 1) {
            data[0] = status_now(m, now);
        } else if (index == 0x2047 && !write && size == 1) {
            status_now(m, now);
            data[0] = m.driveStart >= 0 ? 0 : m.position;
        } else if (index == 0x2028 && size == 2) {
            if (write) {
                uint16_t target;
                std::memcpy(&target, data, 2);
                m.levelFrom = level_now(m, now);
                m.levelTo = target;
                m.levelStart = now;
                m.moveUnreported = true;
                changed = true;
            } else {
                uint16_t level = static_cast<uint16_t>(level_now(m, now));
                std::memcpy(data, &level, 2);
            }
            if (node == 64) publish_wheel(m, now);
        } else if (index == 0x2020 && write && size == 1) {
            if (node == 64 && data[0] == 3) {
                m.homeStart = now;
                changed = true;
            }
        } else if (index == 0x2034 && write && size == 2) {
            int16_t current;
            std::memcpy(&current, data, 2);
            if (current != 0) {
                status_now(m, now);
                m.driveTarget = current > 0 ? 1 : 2;
                m.driveStart = now;
                m.moveUnreported = true;
                changed = true;
            }
        }
    }
    if (changed) simcan_wake_delivery();
    return 0;
}

uint32_t led_hook(void*, uint8_t, uint16_t, uint8_t, bool write, uint8_t* data, uint32_t size) {
    if (write && size == 2) {
        uint16_t level;
        std::memcpy(&level, data, 2);
        simbench_set_light_level(level);
    }
    return 0;
}

uint32_t ramp_hook(void*, uint8_t node, uint16_t, uint8_t, bool write, uint8_t* data,
                   uint32_t size) {
    if (size != 1) return 0;
    std::lock_guard<std::mutex> guard(g_models);
    Model& m = g_model[node];
    int64_t now = plat_clock_ms();
    if (write) {
        m.rampStart = data[0] != 0 ? now : -1;
    } else {
        data[0] = m.rampStart >= 0 && now < m.rampStart + m.rampMs ? 1 : 0;
    }
    return 0;
}

void add(uint8_t node, uint16_t index, uint8_t sub, uint32_t size, int access,
         uint32_t initial = 0) {
    uint8_t value[4] = {};
    std::memcpy(value, &initial, 4);
    if (size <= 4) {
        uint8_t bytes[4] = {};
        std::memcpy(bytes, value, size);
        simcan_object_add(node, index, sub, size, access, bytes);
    } else {
        simcan_object_add(node, index, sub, size, access, nullptr);
    }
}

void add_ramp_slots(uint8_t node, uint32_t dataSize, bool gains) {
    for (uint16_t r = 0; r < 4; ++r) {
        uint16_t index = static_cast<uint16_t>(0x2003 + r);
        add(node, index, 1, 1, SIMCAN_READ_WRITE, 1);
        add(node, index, 2, 2, SIMCAN_READ_WRITE);
        add(node, index, 4, 4, SIMCAN_READ_WRITE);
        add(node, index, 5, dataSize, SIMCAN_READ_WRITE | SIMCAN_VARIABLE_SIZE);
        if (gains)
            for (uint8_t g = 6; g <= 8; ++g) add(node, index, g, 2, SIMCAN_READ_WRITE);
    }
}

void install_bridge_node(uint8_t node) {
    add(node, 0x2000, 0, 1, SIMCAN_READ_WRITE);
    simcan_object_hook(node, 0x2000, 0, ramp_hook, nullptr);
    add(node, 0x2001, 0, 1, SIMCAN_READ_WRITE);
    add_ramp_slots(node, 32768, false);
    add(node, 0x2009, 1, 2, SIMCAN_READ_WRITE);
    add(node, 0x2010, 1, 1, SIMCAN_READ, 0x08);  // external 12 V present, no trip
    add(node, 0x2010, 2, 2, SIMCAN_READ_WRITE);
    // The trigger is one byte on older firmware, two on newer.
    add(node, 0x2010, 5, 2, SIMCAN_READ_WRITE | SIMCAN_VARIABLE_SIZE);
    add(node, 0x2030, 0, 4, SIMCAN_READ_WRITE);
    add(node, 0x2040, 0, 2, SIMCAN_READ);
    add(node, 0x2041, 1, 1, SIMCAN_READ_WRITE);
    add(node, 0x2041, 2, 4, SIMCAN_READ);
    add(node, 0x2041, 3, 4, SIMCAN_READ);
    add(node, 0x2041, 6, 1, SIMCAN_READ_WRITE);
    add(node, 0x2041, 11, 2, SIMCAN_READ);
    add(node, 0x2041, 19, 1, SIMCAN_READ_WRITE);
    add(node, 0x2041, 20, 2, SIMCAN_READ);
    add(node, 0x6200, 1, 1, SIMCAN_READ_WRITE);
    add(node, 0x6220, 1, 1, SIMCAN_READ_WRITE);
    add(node, 0x6240, 1, 1, SIMCAN_READ_WRITE);
}

void install_led_node(uint8_t node) {
    add(node, 0x2000, 0, 1, SIMCAN_READ_WRITE);
    add(node, 0x2001, 0, 2, SIMCAN_READ_WRITE);
    simcan_object_hook(node, 0x2001, 0, led_hook, nullptr);
    add(node, 0x2002, 0, 2, SIMCAN_READ_WRITE);
    add(node, 0x2004, 0, 2, SIMCAN_READ_WRITE);
    add(node, 0x2006, 0, 4, SIMCAN_READ_WRITE);
}

void install_pzt_node(uint8_t node) {
    add(node, 0x2000, 0, 1, SIMCAN_READ_WRITE);
    simcan_object_hook(node, 0x2000, 0, ramp_hook, nullptr);
    add(node, 0x2001, 0, 1, SIMCAN_READ_WRITE);
    add_ramp_slots(node, 32768, true);
}

void install_brush_motor_node(uint8_t node) {
    add(node, 0x2001, 0, 1, SIMCAN_READ, 0x80);  // turret position valid
    add(node, 0x2002, 0, 1, SIMCAN_READ, 1);
    add(node, 0x2012, 0, 1, SIMCAN_READ);
    add(node, 0x2015, 0, 6, SIMCAN_READ);
    add(node, 0x2020, 1, 2, SIMCAN_READ, 0x0305);  // 5 zoom, 3 turret positions
}

void install_motor_node(uint8_t node) {
    add(node, 0x2000, 0, 1, SIMCAN_READ_WRITE);
    add(node, 0x2002, 0, 1, SIMCAN_READ_WRITE);
    add(node, 0x2004, 0, 4, SIMCAN_READ_WRITE);
    add(node, 0x2020, 0, 1, SIMCAN_READ_WRITE);
    add(node, 0x2021, 0, 1, SIMCAN_READ);
    add(node, 0x2028, 0, 2, SIMCAN_READ_WRITE);
    add(node, 0x2034, 0, 2, SIMCAN_READ_WRITE);
    add(node, 0x2036, 0, 2, SIMCAN_READ, 800);
    add(node, 0x2044, 8, 1, SIMCAN_READ_WRITE, 0x02);  // local keys enabled
    add(node, 0x2047, 0, 1, SIMCAN_READ, 1);
    for (uint16_t index : {0x2020, 0x2021, 0x2028, 0x2034, 0x2047})
        simcan_object_hook(node, index, 0, motor_hook, nullptr);
    if (node == 64) {
        add(node, 0x607D, 1, 4, SIMCAN_READ_WRITE);
        add(node, 0x607D, 2, 4, SIMCAN_READ_WRITE);
        add(node, 0x2019, 0, 4, SIMCAN_READ_WRITE);
    }
}

}  // namespace

bool simcan_models_install(uint8_t node, uint32_t, uint32_t) {
    switch (node) {
        case 127:
            install_bridge_node(node);
            break;
        case 61:
            install_led_node(node);
            break;
        case 62:
        case 52:
            install_pzt_node(node);
            break;
        case 63:
            install_brush_motor_node(node);
            break;
        case 64:
        case 66:
        case 68:
        case 70:
            install_motor_node(node);
            break;
        case 72:
        case 73:
            break;  // wands only send PDOs
        default:
            return false;
    }
    std::lock_guard<std::mutex> guard(g_models);
    g_model[node] = Model{};
    g_model[node].installed = true;
    return true;
}

bool simcan_models_param(uint8_t node, const char* name, int64_t value) {
    if (node > 127) return false;
    std::lock_guard<std::mutex> guard(g_models);
    Model& m = g_model[node];
    if (!m.installed) return false;
    if (std::strcmp(name, "move_ms") == 0 && is_motor(node))
        m.moveMs = value;
    else if (std::strcmp(name, "home_ms") == 0 && node == 64)
        m.homeMs = value;
    else if (std::strcmp(name, "home_result") == 0 && node == 64)
        m.homeResult = static_cast<int>(value);
    else if (std::strcmp(name, "speed") == 0 && node == 64)
        m.speed = value;
    else if (std::strcmp(name, "ramp_ms") == 0 && (node == 127 || node == 62 || node == 52))
        m.rampMs = value;
    else
        return false;
    return true;
}

void simcan_models_reset() {
    std::lock_guard<std::mutex> guard(g_models);
    for (Model& m : g_model) m = Model{};
}

int64_t simcan_models_tick(int64_t now) {
    struct Pdo {
        uint32_t cobId;
        uint8_t data[8];
    };
    Pdo pdos[8];
    int count = 0;
    int64_t due = INT64_MAX;
    {
        std::lock_guard<std::mutex> guard(g_models);
        for (uint8_t node : {64, 66, 68, 70}) {
            Model& m = g_model[node];
            if (!m.installed) continue;
            uint8_t status = status_now(m, now);
            due = std::min(due, next_change(m, now));
            if (node == 64) publish_wheel(m, now);
            auto report = [&](uint8_t byte, bool moving) {
                m.lastReported = byte;
                Pdo& pdo = pdos[count++];
                pdo.cobId = 0x280u + node;
                std::memset(pdo.data, 0, sizeof pdo.data);
                pdo.data[0] = byte;
                if (node == 64) {
                    uint16_t level = static_cast<uint16_t>(level_now(m, now));
                    std::memcpy(pdo.data + 1, &level, 2);
                } else {
                    pdo.data[2] = moving || m.driveStart >= 0 ? 0 : m.position;
                }
            };
            bool missed = m.moveUnreported && !(status & 0x02) &&
                          !(m.lastReported >= 0 && (m.lastReported & 0x02));
            m.moveUnreported = false;
            if (missed) report(static_cast<uint8_t>(status | 0x02), true);
            if (status == m.lastReported) continue;
            report(status, false);
        }
    }
    // Outside the models' lock: the bridge takes its own.
    for (int i = 0; i < count; ++i) simcan_emit_pdo(pdos[i].cobId, pdos[i].data, 8);
    return due;
}
