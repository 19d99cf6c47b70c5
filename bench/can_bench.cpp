// CAN event delivery benchmark: how long a PDO emitted by the simulated
// bridge takes to reach the raw queue (what can_poll_events sees) and the
// application queue, and what a flood that nobody polls costs in drops and
// memory. Times are real, from plat_counter (unaffected by SURF_CLOCK_SCALE).
//
//   can_bench [N]    N PDOs per latency run (default 20000)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "can/can_events.h"
#include "can/can_lib.h"
#include "config/sysinfo.h"
#include "platform/clock.h"
#include "platform/resources.h"
#include "sim/can/testing/simcan_session.h"

namespace {

constexpr uint32_t kStatusPdo = 0x1C0;  // node 64's first PDO: one event each on type 23
constexpr int32_t kSystemType = 23;
constexpr int kBurst = 100000;
constexpr int64_t kGiveUpNs = 5 * PLAT_COUNTER_FREQUENCY;  // per PDO; counted as lost
const uint8_t kData[8] = {1};

double us(int64_t ns) {
    return static_cast<double>(ns) / 1e3;
}

// Empties the raw queues and both application queues.
void drain(SystemInfo* info) {
    can_poll_events(info);
    CanAppEvent event;
    while (can_get_app_event(&event)) {
    }
    CanAppEmcy emcy;
    while (can_get_app_emcy(&emcy)) {
    }
}

void report(const char* what, std::vector<int64_t> ns, int lost, int64_t wall_ns, double cpu) {
    if (ns.empty()) {
        std::printf("%s: nothing arrived (%d lost)\n", what, lost);
        return;
    }
    std::sort(ns.begin(), ns.end());
    double sum = 0;
    for (int64_t v : ns) sum += static_cast<double>(v);
    const size_t n = ns.size();
    std::printf(
        "%s: %zu PDOs, %d lost\n"
        "  latency us: mean %.2f  median %.2f  p99 %.2f  max %.2f\n"
        "  %.0f PDOs/s one at a time, cpu %.3f s over %.3f s\n",
        what, n, lost, sum / static_cast<double>(n) / 1e3, us(ns[n / 2]),
        us(ns[std::min(n - 1, n * 99 / 100)]), us(ns.back()),
        static_cast<double>(n) * 1e9 / static_cast<double>(wall_ns), cpu,
        static_cast<double>(wall_ns) / 1e9);
}

// Emits one PDO at a time and spins until `arrived` sees it; the time from
// just before the emit to the first sighting is one sample.
template <typename Arrived>
void latency_run(const char* what, SimCan* sim, SystemInfo* info, int n, Arrived arrived) {
    std::vector<int64_t> samples;
    samples.reserve(static_cast<size_t>(n));
    int lost = 0;
    const double cpu0 = plat_cpu_seconds();
    const int64_t start = plat_counter();
    for (int i = 0; i < n; ++i) {
        const int64_t t0 = plat_counter();
        if (sim->simcan_emit_pdo(kStatusPdo, kData, 8) != 1) {
            ++lost;
            continue;
        }
        bool seen = false;
        int64_t t1 = t0;
        while (!seen && t1 - t0 < kGiveUpNs) {
            seen = arrived();
            t1 = plat_counter();
        }
        if (seen) {
            samples.push_back(t1 - t0);
        } else {
            ++lost;
        }
        drain(info);
    }
    report(what, std::move(samples), lost, plat_counter() - start, plat_cpu_seconds() - cpu0);
}

// 100000 PDOs back to back with nobody polling. The bridge's queue is made
// deep enough for all of them, so that what drops is the library's queue.
void burst(SimCan* sim, SystemInfo* info) {
    drain(info);
    sim->simcan_transcript_clear();
    sim->simcan_set_pdo_depth(kBurst);
    const uint64_t raw_drops0 = can_queue_drops(CAN_QUEUE_RAW_PDO);
    const uint64_t app_drops0 = can_queue_drops(CAN_QUEUE_APP_EVENT);
    const uint64_t bridge_drops0 = sim->simcan_pdo_dropped();
    const double rss0 = plat_peak_rss_mb();
    const double cpu0 = plat_cpu_seconds();
    const int64_t start = plat_counter();
    int accepted = 0;
    for (int i = 0; i < kBurst; ++i) accepted += sim->simcan_emit_pdo(kStatusPdo, kData, 8) == 1;
    const int64_t emitted_ns = plat_counter() - start;
    // The delivery thread empties the bridge's queue into the raw queue.
    while (sim->simcan_pdo_queued() > 0 && plat_counter() - start < 60 * kGiveUpNs)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the last callback returns
    const int64_t delivered_ns = plat_counter() - start;
    const size_t raw_length = can_queue_length(CAN_QUEUE_RAW_PDO);
    const uint64_t raw_drops = can_queue_drops(CAN_QUEUE_RAW_PDO) - raw_drops0;
    can_poll_events(info);  // the late poll: the survivors become events
    const size_t app_length = can_queue_length(CAN_QUEUE_APP_EVENT);
    const uint64_t app_drops = can_queue_drops(CAN_QUEUE_APP_EVENT) - app_drops0;
    std::printf(
        "burst: %d PDOs emitted in %.3f s (%.0f PDOs/s), %d accepted by the bridge, %llu "
        "dropped by it\n"
        "  delivered in %.3f s, cpu %.3f s\n"
        "  raw queue: %zu held, %llu dropped; after one poll the event queue: %zu held, %llu "
        "dropped (limit %zu)\n"
        "  peak RSS %.1f MB before the burst, %.1f MB after\n",
        kBurst, static_cast<double>(emitted_ns) / 1e9,
        kBurst * 1e9 / static_cast<double>(emitted_ns), accepted,
        static_cast<unsigned long long>(sim->simcan_pdo_dropped() - bridge_drops0),
        static_cast<double>(delivered_ns) / 1e9, plat_cpu_seconds() - cpu0, raw_length,
        static_cast<unsigned long long>(raw_drops), app_length,
        static_cast<unsigned long long>(app_drops), CAN_QUEUE_LIMIT, rss0, plat_peak_rss_mb());
    drain(info);
}

}  // namespace

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::atoi(argv[1]) : 20000;
    if (n <= 0) {
        std::fprintf(stderr, "usage: can_bench [N > 0]\n");
        return 2;
    }
    SimCan* sim = simcan_session();
    const CanApi* api = sim != nullptr ? can_api() : nullptr;
    if (api == nullptr) return 1;  // the loaders have said why
    simcan_session_reset();
    const uint8_t ip[4] = {192, 168, 10, 20};  // the default simulated bridge
    uint32_t address;
    std::memcpy(&address, ip, 4);
    if (api->CAN_Connect(address) != CAN_OK) {
        std::fprintf(stderr, "cannot connect to the simulated bridge\n");
        return 1;
    }
    auto info = std::make_unique<SystemInfo>();
    info->instrBdType = SB_BOARD_CAN;
    info->systemType = kSystemType;
    if (can_register_events(info.get(), true) != 0) {
        std::fprintf(stderr, "cannot register the CAN events\n");
        return 1;
    }
    drain(info.get());

    latency_run("emit -> raw queue", sim, info.get(), n,
                [] { return can_queue_length(CAN_QUEUE_RAW_PDO) > 0; });
    latency_run("emit -> application event (polling)", sim, info.get(), n, [&info] {
        can_poll_events(info.get());
        CanAppEvent event;
        return can_get_app_event(&event);
    });
    burst(sim, info.get());
    std::printf("process cpu %.3f s, peak RSS %.1f MB\n", plat_cpu_seconds(), plat_peak_rss_mb());

    can_register_events(info.get(), false);
    simcan_session_reset();
    return 0;
}
