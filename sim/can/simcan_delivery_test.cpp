// PDO and emergency delivery on the simulated bridge's own thread, its end,
// and the node models behind it.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/resources.h"
#include "sim/bench/simbench.h"
#include "sim/can/simcan_fixture.h"

namespace {

// What the callbacks received; they run on the library's thread.
struct Received {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<CanPdoRecord> pdos;
    std::vector<std::array<uint32_t, 6>> emcys;
    std::vector<uint32_t> overruns;
    int callbacks = 0;
    bool fetch = true;  // fetch the PDOs announced
    bool unregisterInside = false;
    bool restartInside = false;  // unregister and register again
    bool resetInside = false;    // reset the bridge
    bool foreignThread = true;   // every callback ran off the test's thread
    std::thread::id testThread;
    std::atomic<bool> finished{false};
};

Received* g_received = nullptr;
SimCanApi* g_api = nullptr;

void on_emcy(uint32_t value1, uint32_t value2, const uint32_t* values, uint8_t byte);

void on_pdo(uint32_t waiting, uint32_t overrun) {
    Received& r = *g_received;
    std::vector<CanPdoRecord> got;
    bool fetch, unregister, restart, reset;
    {
        std::lock_guard<std::mutex> guard(r.lock);
        fetch = r.fetch;
        unregister = r.unregisterInside || r.restartInside;
        restart = r.restartInside;
        reset = r.resetInside;
    }
    for (uint32_t i = 0; fetch && i < waiting; ++i) {
        CanPdoRecord pdo{};
        if (g_api->CAN_GetPDO(&pdo) == CAN_OK) got.push_back(pdo);
    }
    if (unregister) g_api->CAN_RegisterEvents(nullptr, nullptr);
    if (restart) g_api->CAN_RegisterEvents(on_pdo, on_emcy);
    if (reset) g_api->CAN_ResetBridge();
    std::lock_guard<std::mutex> guard(r.lock);
    r.pdos.insert(r.pdos.end(), got.begin(), got.end());
    r.overruns.push_back(overrun);
    ++r.callbacks;
    if (std::this_thread::get_id() == r.testThread) r.foreignThread = false;
    r.finished = true;
    r.changed.notify_all();
}

void on_emcy(uint32_t value1, uint32_t value2, const uint32_t* values, uint8_t byte) {
    Received& r = *g_received;
    std::lock_guard<std::mutex> guard(r.lock);
    r.emcys.push_back({value1, value2, values[0], values[1], values[2], byte});
    r.changed.notify_all();
}

class SimCanDeliveryTest : public SimCanTest {
  protected:
    void SetUp() override {
        SimCanTest::SetUp();
        // A sanitizer's runtime starts a thread of its own with the first
        // thread: count after it.
        std::thread([] {}).join();
        threads_ = simcan_thread_count();
        received_.testThread = std::this_thread::get_id();
        g_received = &received_;
        g_api = &api;
        connect();
    }
    void TearDown() override {
        SimCanTest::TearDown();
        // Every thread the library started has been joined.
        EXPECT_LE(simcan_thread_count_settled(threads_), threads_);
        g_received = nullptr;
    }

    // Waits (generously, for a loaded machine) until `done` holds.
    bool wait_for(const std::function<bool()>& done) {
        std::unique_lock<std::mutex> lock(received_.lock);
        return received_.changed.wait_for(lock, std::chrono::seconds(20), done);
    }

    void register_cob(uint32_t cobId) {
        CanPdoRecord pdo{};
        pdo.cobId = cobId;
        ASSERT_EQ(api.CAN_RegisterPDO(&pdo), CAN_OK);
    }

    int threads_ = 0;
    Received received_;
};

TEST_F(SimCanDeliveryTest, OnlyRegisteredCobIdsReachTheCallbacksOnTheLibrarysThread) {
    register_cob(0x1C0);
    register_cob(0x2C0);
    register_cob(0x2C0);
    uint32_t cobs[4];
    EXPECT_EQ(sim->simcan_registered_cobids(cobs, 4), 2);
    const uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(sim->simcan_emit_pdo(0x1C0, data, 8), 0);  // no callbacks yet
    ASSERT_EQ(api.CAN_RegisterEvents(on_pdo, on_emcy), CAN_OK);
    EXPECT_TRUE(sim->simcan_delivery_running());
    EXPECT_EQ(sim->simcan_emit_pdo(0x1C0, data, 8), 1);
    EXPECT_EQ(sim->simcan_emit_pdo(0x1C8, data, 8), 0);
    EXPECT_EQ(sim->simcan_emit_pdo(0x2C0, data, 3), 1);
    const uint32_t block[3] = {0x10, 0x20, 0x30};
    EXPECT_EQ(sim->simcan_emit_emcy(0x81, 0x1000, block, 0x7F), 1);
    ASSERT_TRUE(
        wait_for([&] { return received_.pdos.size() == 2 && received_.emcys.size() == 1; }));
    std::lock_guard<std::mutex> guard(received_.lock);
    EXPECT_TRUE(received_.foreignThread);
    EXPECT_EQ(received_.pdos[0].cobId, 0x1C0u);
    EXPECT_EQ(0, std::memcmp(received_.pdos[0].data, data, 8));
    EXPECT_EQ(received_.pdos[1].cobId, 0x2C0u);
    const uint8_t short_data[8] = {1, 2, 3, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(received_.pdos[1].data, short_data, 8));
    EXPECT_EQ(received_.emcys[0], (std::array<uint32_t, 6>{0x81, 0x1000, 0x10, 0x20, 0x30, 0x7F}));
    for (uint32_t overrun : received_.overruns) EXPECT_EQ(overrun, 0u);
}

TEST_F(SimCanDeliveryTest, OverrunPastTheDepthIsDroppedCountedAndReported) {
    register_cob(0x1C8);
    received_.fetch = false;
    sim->simcan_set_pdo_depth(4);
    ASSERT_EQ(api.CAN_RegisterEvents(on_pdo, on_emcy), CAN_OK);
    uint8_t data[8] = {};
    for (uint8_t i = 0; i < 4; ++i) {
        data[0] = i;
        EXPECT_EQ(sim->simcan_emit_pdo(0x1C8, data, 8), 1) << int(i);
    }
    EXPECT_EQ(sim->simcan_emit_pdo(0x1C8, data, 8), -1);
    EXPECT_EQ(sim->simcan_emit_pdo(0x1C8, data, 8), -1);
    EXPECT_EQ(sim->simcan_pdo_dropped(), 2u);
    EXPECT_EQ(sim->simcan_pdo_queued(), 4u);
    ASSERT_TRUE(
        wait_for([&] { return !received_.overruns.empty() && received_.overruns.back() == 1; }));
    // The oldest four stay, in order; the queue is empty after them.
    CanPdoRecord pdo{};
    for (uint8_t i = 0; i < 4; ++i) {
        ASSERT_EQ(api.CAN_GetPDO(&pdo), CAN_OK);
        EXPECT_EQ(pdo.data[0], i);
    }
    EXPECT_EQ(api.CAN_GetPDO(&pdo), CAN_ERR_NO_PDO);

    // A depth of 0 means 1.
    sim->simcan_set_pdo_depth(0);
    EXPECT_EQ(sim->simcan_emit_pdo(0x1C8, data, 8), 1);
    EXPECT_EQ(sim->simcan_emit_pdo(0x1C8, data, 8), -1);
}

TEST_F(SimCanDeliveryTest, ScriptedGetPdoFailuresLeaveThePdoQueued) {
    register_cob(0x1C9);
    received_.fetch = false;
    ASSERT_EQ(api.CAN_RegisterEvents(on_pdo, on_emcy), CAN_OK);
    const uint8_t data[8] = {3};
    ASSERT_EQ(sim->simcan_emit_pdo(0x1C9, data, 8), 1);
    sim->simcan_getpdo_fail(CAN_ERR_TCP_TRANSMISSION, 2);
    CanPdoRecord pdo{};
    EXPECT_EQ(api.CAN_GetPDO(&pdo), CAN_ERR_TCP_TRANSMISSION);
    EXPECT_EQ(api.CAN_GetPDO(&pdo), CAN_ERR_TCP_TRANSMISSION);
    ASSERT_EQ(api.CAN_GetPDO(&pdo), CAN_OK);
    EXPECT_EQ(pdo.cobId, 0x1C9u);
    EXPECT_EQ(pdo.data[0], 3);
    EXPECT_EQ(api.CAN_GetPDO(&pdo), CAN_ERR_NO_PDO);
}

TEST_F(SimCanDeliveryTest, UnregisteringReturnsAfterTheCallbackInFlight) {
    register_cob(0x1C0);
    ASSERT_EQ(api.CAN_RegisterEvents(on_pdo, on_emcy), CAN_OK);
    sim->simcan_delay_next_callback(300);
    const uint8_t data[8] = {};
    ASSERT_EQ(sim->simcan_emit_pdo(0x1C0, data, 8), 1);
    // In flight once counted; the callback itself runs 300 ms later.
    while (sim->simcan_callbacks_made() == 0) std::this_thread::yield();
    ASSERT_EQ(api.CAN_RegisterEvents(nullptr, nullptr), CAN_OK);
    EXPECT_TRUE(received_.finished.load());
    EXPECT_FALSE(sim->simcan_delivery_running());
    EXPECT_LE(simcan_thread_count_settled(threads_), threads_);
    EXPECT_EQ(sim->simcan_emit_pdo(0x1C0, data, 8), 0);
}

TEST_F(SimCanDeliveryTest, ACallbackMayResetTheBridgeWhileAnotherThreadUnregisters) {
    register_cob(0x1C0);
    received_.resetInside = true;
    ASSERT_EQ(api.CAN_RegisterEvents(on_pdo, on_emcy), CAN_OK);
    sim->simcan_delay_next_callback(static_cast<int64_t>(300 * plat_clock_scale()));
    const uint8_t data[8] = {};
    ASSERT_EQ(sim->simcan_emit_pdo(0x1C0, data, 8), 1);
    while (sim->simcan_callbacks_made() == 0) std::this_thread::yield();
    // The callback, still to run, needs the entries this call also takes.
    api.CAN_RegisterEvents(nullptr, nullptr);
    EXPECT_TRUE(received_.finished.load());
    EXPECT_EQ(sim->simcan_bridge_resets(0), 1);
    EXPECT_EQ(sim->simcan_connected_bridge(), -1);
}

TEST_F(SimCanDeliveryTest, ACallbackMayUnregisterItself) {
    register_cob(0x1C0);
    received_.unregisterInside = true;
    ASSERT_EQ(api.CAN_RegisterEvents(on_pdo, on_emcy), CAN_OK);
    const uint8_t data[8] = {};
    ASSERT_EQ(sim->simcan_emit_pdo(0x1C0, data, 8), 1);
    ASSERT_TRUE(wait_for([&] { return received_.callbacks == 1; }));
    EXPECT_EQ(sim->simcan_emit_pdo(0x1C0, data, 8), 0);
    // Registering again starts a new thread after joining the old one.
    received_.unregisterInside = false;
    ASSERT_EQ(api.CAN_RegisterEvents(on_pdo, on_emcy), CAN_OK);
    ASSERT_EQ(sim->simcan_emit_pdo(0x1C0, data, 8), 1);
    ASSERT_TRUE(wait_for([&] { return received_.callbacks == 2; }));
}

TEST_F(SimCanDeliveryTest, ACallbackMayRestartDeliveryAndOneThreadDeliversAfterIt) {
    register_cob(0x1C0);
    received_.restartInside = true;
    ASSERT_EQ(api.CAN_RegisterEvents(on_pdo, on_emcy), CAN_OK);
    uint8_t data[8] = {};
    for (uint8_t i = 0; i < 20; ++i) {
        data[0] = i;
        ASSERT_EQ(sim->simcan_emit_pdo(0x1C0, data, 8), 1);
        ASSERT_TRUE(wait_for([&] { return received_.pdos.size() == i + 1u; }));
    }
    std::lock_guard<std::mutex> guard(received_.lock);
    EXPECT_EQ(received_.callbacks, 20);
    for (uint8_t i = 0; i < 20; ++i) EXPECT_EQ(received_.pdos[i].data[0], i);
}

TEST_F(SimCanDeliveryTest, DisconnectionEndsTheThread) {
    ASSERT_EQ(api.CAN_RegisterEvents(on_pdo, on_emcy), CAN_OK);
    EXPECT_GT(simcan_thread_count(), threads_);
    sim->simcan_drop_connection();
    EXPECT_FALSE(sim->simcan_delivery_running());
    EXPECT_LE(simcan_thread_count_settled(threads_), threads_);
    const uint32_t block[3] = {};
    EXPECT_EQ(sim->simcan_emit_emcy(1, 2, block, 3), 0);
    EXPECT_EQ(api.CAN_RegisterEvents(on_pdo, on_emcy), CAN_ERR_NOT_CONNECTED);

    connect();
    ASSERT_EQ(api.CAN_RegisterEvents(on_pdo, on_emcy), CAN_OK);
    ASSERT_EQ(api.CAN_Disconnect(), CAN_OK);
    EXPECT_FALSE(sim->simcan_delivery_running());
    connect();
    ASSERT_EQ(api.CAN_RegisterEvents(on_pdo, on_emcy), CAN_OK);
    ASSERT_EQ(api.CAN_ResetBridge(), CAN_OK);
    EXPECT_FALSE(sim->simcan_delivery_running());
    EXPECT_LE(simcan_thread_count_settled(threads_), threads_);
}

TEST_F(SimCanDeliveryTest, MotionControllerReceivingMeansTheBridgeDeliversNothing) {
    register_cob(0x1C0);
    ASSERT_EQ(api.CAN_RegisterEvents(on_pdo, on_emcy), CAN_OK);
    simbench_set_can_receiver(SIMBENCH_CAN_MOTION);
    const uint8_t data[8] = {};
    EXPECT_EQ(sim->simcan_emit_pdo(0x1C0, data, 8), 0);
    simbench_set_can_receiver(SIMBENCH_CAN_BRIDGE);
    EXPECT_EQ(sim->simcan_emit_pdo(0x1C0, data, 8), 1);
}

TEST_F(SimCanDeliveryTest, EmitToCallbackLatency) {
    register_cob(0x1C0);
    ASSERT_EQ(api.CAN_RegisterEvents(on_pdo, on_emcy), CAN_OK);
    constexpr int kRounds = 1000;
    int64_t worst = 0, total = 0;
    uint8_t data[8] = {};
    for (int i = 0; i < kRounds; ++i) {
        auto sent = std::chrono::steady_clock::now();
        ASSERT_EQ(sim->simcan_emit_pdo(0x1C0, data, 8), 1);
        ASSERT_TRUE(wait_for([&] { return received_.pdos.size() == i + 1u; }));
        int64_t us = std::chrono::duration_cast<std::chrono::microseconds>(
                         std::chrono::steady_clock::now() - sent)
                         .count();
        worst = std::max(worst, us);
        total += us;
    }
    std::printf("emit to callback: mean %lld us, worst %lld us over %d PDOs\n",
                static_cast<long long>(total / kRounds), static_cast<long long>(worst), kRounds);
    EXPECT_LT(worst, 5000000);  // woken, not found by a slow poll
}

TEST_F(SimCanDeliveryTest, IdleDeliveryThreadUsesNoProcessorTime) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "sanitizer runtimes use processor time of their own";
#endif
    ASSERT_TRUE(sim->simcan_model_add(64, 1, 1));
    register_cob(0x2C0);
    ASSERT_EQ(api.CAN_RegisterEvents(on_pdo, on_emcy), CAN_OK);
    double before = plat_cpu_seconds();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_LT(plat_cpu_seconds() - before, 0.04);  // 2 % of one core
}

// ---- Node models -----------------------------------------------------------

uint8_t read_byte(SimCanApi& api, uint8_t node, uint16_t index, uint8_t sub) {
    CanSdoStatus status{};
    uint8_t value = 0xFF;
    EXPECT_EQ(api.CAN_SDORead(node, index, sub, &value, 1, &status), CAN_OK);
    EXPECT_EQ(status.result, CAN_SDO_SUCCESS);
    return value;
}

void write_bytes(SimCanApi& api, uint8_t node, uint16_t index, uint8_t sub, const void* data,
                 uint32_t size) {
    CanSdoStatus status{};
    ASSERT_EQ(api.CAN_SDOWrite(node, index, sub, data, size, &status), CAN_OK);
    ASSERT_EQ(status.result, CAN_SDO_SUCCESS);
}

TEST_F(SimCanDeliveryTest, NdWheelHomesThroughStatusBitsThreeAndFour) {
    // Spans that take the same real time at every clock scale, long enough
    // for a loaded machine to see the search state.
    const int64_t homeMs = static_cast<int64_t>(300 * plat_clock_scale());
    const int64_t moveMs = static_cast<int64_t>(200 * plat_clock_scale());
    ASSERT_TRUE(sim->simcan_model_add(64, 0x26721600, 0x00010003));
    ASSERT_TRUE(sim->simcan_model_param(64, "home_ms", homeMs));
    ASSERT_TRUE(sim->simcan_model_param(64, "move_ms", moveMs));
    EXPECT_FALSE(sim->simcan_model_param(64, "ramp_ms", 1));
    EXPECT_EQ(read_byte(api, 64, 0x2021, 0) & 0x18, 0);
    const uint8_t home = 3;
    int64_t start = plat_clock_ms();
    write_bytes(api, 64, 0x2020, 0, &home, 1);
    EXPECT_EQ(read_byte(api, 64, 0x2021, 0) & 0x18, 0x08);
    uint8_t status;
    while (((status = read_byte(api, 64, 0x2021, 0)) & 0x18) == 0x08) plat_sleep_ms(moveMs / 10);
    EXPECT_GE(plat_clock_ms() - start, homeMs);
    EXPECT_EQ(status & 0x18, 0);
    while ((status = read_byte(api, 64, 0x2021, 0)) & 0x02) plat_sleep_ms(moveMs / 10);
    EXPECT_GE(plat_clock_ms() - start, homeMs + moveMs);

    // A failed search, and one that never ends.
    ASSERT_TRUE(sim->simcan_model_param(64, "home_result", 0x10));
    write_bytes(api, 64, 0x2020, 0, &home, 1);
    while (((status = read_byte(api, 64, 0x2021, 0)) & 0x18) == 0x08) plat_sleep_ms(moveMs / 10);
    EXPECT_EQ(status & 0x18, 0x10);
    ASSERT_TRUE(sim->simcan_model_param(64, "home_result", 8));
    write_bytes(api, 64, 0x2020, 0, &home, 1);
    plat_sleep_ms(2 * homeMs);
    EXPECT_EQ(read_byte(api, 64, 0x2021, 0) & 0x18, 0x08);
}

TEST_F(SimCanDeliveryTest, NdWheelLevelMovesAtFiniteSpeedAndReportsItsStops) {
    ASSERT_TRUE(sim->simcan_model_add(64, 0x26721600, 0x00010003));
    // 5000 units in 0.5 s of real time at every clock scale.
    ASSERT_TRUE(
        sim->simcan_model_param(64, "speed", static_cast<int64_t>(10000 / plat_clock_scale())));
    register_cob(0x2C0);
    ASSERT_EQ(api.CAN_RegisterEvents(on_pdo, on_emcy), CAN_OK);
    const uint16_t target = 5000;
    write_bytes(api, 64, 0x2028, 0, &target, 2);
    EXPECT_EQ(simbench_ndwheel_target(), 5000);
    EXPECT_TRUE(read_byte(api, 64, 0x2021, 0) & 0x02);
    // The delivery thread's first look at the node may come before the write
    // and report it idle: wait for the PDO that reports the level reached.
    auto level_of = [](const CanPdoRecord& pdo) {
        uint16_t level;
        std::memcpy(&level, pdo.data + 1, 2);
        return level;
    };
    ASSERT_TRUE(wait_for([&] {
        return !received_.pdos.empty() && (received_.pdos.back().data[0] & 0x02) == 0 &&
               level_of(received_.pdos.back()) == 5000;
    }));
    std::lock_guard<std::mutex> guard(received_.lock);
    ASSERT_GE(received_.pdos.size(), 2u);
    EXPECT_EQ(received_.pdos.front().cobId, 0x2C0u);
    EXPECT_TRUE(std::any_of(received_.pdos.begin(), received_.pdos.end(),
                            [](const CanPdoRecord& pdo) { return (pdo.data[0] & 0x02) != 0; }));
    EXPECT_EQ(simbench_ndwheel_level(), 5000);
    EXPECT_FALSE(simbench_ndwheel_moving());
}

TEST_F(SimCanDeliveryTest, AWheelMoveShorterThanATickIsStillReportedMovingThenStopped) {
    ASSERT_TRUE(sim->simcan_model_add(64, 0x26721600, 0x00010003));
    register_cob(0x2C0);
    ASSERT_EQ(api.CAN_RegisterEvents(on_pdo, on_emcy), CAN_OK);
    // One unit at the default speed ends within a millisecond of library
    // time: the writes of a level equal to the current one, and of one unit
    // more, are each over before the delivery thread looks again.
    for (uint16_t target : {uint16_t{0}, uint16_t{1}}) {
        size_t before;
        {
            std::lock_guard<std::mutex> guard(received_.lock);
            before = received_.pdos.size();
        }
        write_bytes(api, 64, 0x2028, 0, &target, 2);
        // A moving report, then a stopped one (an idle report of the node's
        // first look may come before them).
        EXPECT_TRUE(wait_for([&] {
            const auto& pdos = received_.pdos;
            for (size_t i = before; i < pdos.size(); ++i)
                if (pdos[i].data[0] & 0x02)
                    return std::any_of(pdos.begin() + static_cast<long>(i) + 1, pdos.end(),
                                       [](const CanPdoRecord& p) { return !(p.data[0] & 0x02); });
            return false;
        })) << target;
    }
}

TEST_F(SimCanDeliveryTest, RingSpotDiskDrivesToAnEndAndLedLevelReachesTheBench) {
    ASSERT_TRUE(sim->simcan_model_add(68, 0x1, 0x1));
    ASSERT_TRUE(sim->simcan_model_add(61, 0x2, 0x1));
    EXPECT_FALSE(sim->simcan_model_add(10, 0, 0));
    EXPECT_FALSE(sim->simcan_model_param(10, "move_ms", 1));
    ASSERT_TRUE(sim->simcan_model_param(68, "move_ms", 200));
    register_cob(0x2C4);
    ASSERT_EQ(api.CAN_RegisterEvents(on_pdo, on_emcy), CAN_OK);
    EXPECT_EQ(read_byte(api, 68, 0x2047, 0), 1);
    const int16_t current = -800;
    write_bytes(api, 68, 0x2034, 0, &current, 2);
    // The delivery thread's first look at the node may come before the write
    // and report it idle at position 1: wait for the drive's end at position 2.
    ASSERT_TRUE(wait_for([&] {
        return !received_.pdos.empty() && (received_.pdos.back().data[0] & 0x02) == 0 &&
               received_.pdos.back().data[2] == 2;
    }));
    EXPECT_EQ(read_byte(api, 68, 0x2047, 0), 2);
    {
        std::lock_guard<std::mutex> guard(received_.lock);
        EXPECT_EQ(received_.pdos.back().data[2], 2);
    }
    const uint16_t light = 0x0123;
    write_bytes(api, 61, 0x2001, 0, &light, 2);
    EXPECT_EQ(simbench_light_level(), 0x0123);
}

}  // namespace
