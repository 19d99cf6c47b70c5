#include "can/can_events.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "can/can_bridge.h"
#include "common/msg.h"
#include "common/status.h"
#include "common/testing/capture_sink.h"
#include "common/testing/child_process.h"
#include "config/sysinfo.h"
#include "platform/event.h"

// Allocation that fails on request, for the paths where a queue cannot grow.
// The replacement pairs malloc with free, which the compiler cannot see.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
thread_local bool t_fail_allocation = false;
}  // namespace

void* operator new(std::size_t size) {
    if (t_fail_allocation) throw std::bad_alloc();
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
// The non-throwing form too, so every object a plain delete frees came from
// this file's malloc (the bad-pixel lists are made with it).
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (t_fail_allocation) return nullptr;
    return std::malloc(size == 0 ? 1 : size);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}

namespace {

std::vector<CanAppEvent> take_events() {
    std::vector<CanAppEvent> events;
    CanAppEvent event;
    while (can_get_app_event(&event)) events.push_back(event);
    return events;
}

std::vector<uint32_t> kinds(const std::vector<CanAppEvent>& events) {
    std::vector<uint32_t> out;
    for (const CanAppEvent& event : events) out.push_back(event.kind);
    return out;
}

void drain_all(SystemInfo* info) {
    can_poll_events(info);
    take_events();
    CanAppEmcy emcy;
    while (can_get_app_emcy(&emcy)) {
    }
}

// A PDO as a motion controller hands it over.
void feed(uint32_t cobId, std::initializer_list<uint8_t> bytes) {
    uint8_t data[8] = {};
    size_t i = 0;
    for (uint8_t b : bytes) data[i++] = b;
    can_mc_pdo_callback(cobId, 0, data);
}

class CanEventsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(CanCreateSyncObjects(), 0);
        info_ = std::make_unique<SystemInfo>();
        info_->instrBdType = SB_BOARD_CAN;
        info_->systemType = 23;
        drain_all(info_.get());
        can_set_ndw_status(0, false);
        can_set_zoom_state(CAN_ZOOM_IDLE);
        can_set_last_zoom_position(CAN_NO_ZOOM_POSITION);
    }
    void TearDown() override { drain_all(info_.get()); }

    // Feeds one PDO and polls: the kinds it produced.
    std::vector<uint32_t> decode(uint32_t cobId, std::initializer_list<uint8_t> bytes) {
        feed(cobId, bytes);
        can_poll_events(info_.get());
        return kinds(take_events());
    }

    std::unique_ptr<SystemInfo> info_;
};

using Kinds = std::vector<uint32_t>;

TEST_F(CanEventsTest, CallbackPacking) {
    uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    can_mc_pdo_callback(0x1C0, 0xA1B2C3D4, data);
    const uint8_t four[4] = {0x11, 0x22, 0x33, 0x44};
    uint32_t value4;
    std::memcpy(&value4, four, 4);
    can_mc_emcy_callback(0x01020304, 5, 6, 0xAA, &value4, 0xBB, 0xCC);
    const uint32_t block[3] = {0x0A0B0C0D, 7, 8};
    ReceiveEmcyHandler(9, 10, block, 0xEE);
    EXPECT_TRUE(can_poll_events(info_.get()));
    CanAppEvent event;
    ASSERT_TRUE(can_get_app_event(&event));
    const uint8_t pdo[24] = {13,   0,    0,    0,    0xC0, 0x01, 0, 0, 0, 0, 0, 0,
                             0xD4, 0xC3, 0xB2, 0xA1, 1,    2,    3, 4, 5, 6, 7, 8};
    EXPECT_EQ(std::memcmp(&event, pdo, sizeof pdo), 0);
    CanAppEmcy emcy;
    ASSERT_TRUE(can_get_app_emcy(&emcy));
    const uint8_t mc[28] = {2, 0, 0,    0,    4,    3,    2,    1,    5, 0, 0,    0, 6, 0,
                            0, 0, 0xAA, 0x11, 0x22, 0x33, 0x44, 0xBB, 0, 0, 0xCC, 0, 0, 0};
    EXPECT_EQ(std::memcmp(&emcy, mc, sizeof mc), 0);
    ASSERT_TRUE(can_get_app_emcy(&emcy));
    const uint8_t lib[28] = {2,    0,    0, 0, 9, 0, 0, 0, 10, 0, 0,    0, 0x0D, 0x0C,
                             0x0B, 0x0A, 7, 0, 0, 0, 8, 0, 0,  0, 0xEE, 0, 0,    0};
    EXPECT_EQ(std::memcmp(&emcy, lib, sizeof lib), 0);
    EXPECT_FALSE(can_poll_events(info_.get()));
}

TEST_F(CanEventsTest, DecodersBySystemType) {
    const struct {
        int32_t type;
        uint32_t cobId;
        uint8_t data[3];
        Kinds kinds;
    } cases[] = {
        {23, 0x1C8, {1}, {CAN_EVENT_WAND_1}},
        {25, 0x1C9, {2}, {CAN_EVENT_WAND_2}},
        {26, 0x1C8, {3}, {CAN_EVENT_WAND_3}},
        {23, 0x1C9, {4}, {}},
        {23, 0x2C8, {1}, {}},  // a wand's second PDO
        {30, 0x2C4, {0, 0, 1}, {CAN_EVENT_RS_DISK_1}},
        {32, 0x2C4, {0, 0, 2}, {CAN_EVENT_RS_DISK_2}},
        {23, 0x2C4, {0x02, 0, 1}, {}},  // still moving
        {23, 0x2C4, {0, 0, 3}, {}},
        {26, 0x2C4, {0, 0, 1}, {}},
        {23, 0x1C0, {0x55}, {CAN_EVENT_NDW_PDO}},
        {33, 0x1C0, {0x55}, {CAN_EVENT_NDW_PDO}},
        {25, 0x1C0, {0x55}, {}},
        {26, 0x1C0, {0x55}, {}},
        {22, 0x1C8, {1}, {}},
        {28, 0x1C8, {1}, {}},
        {28, 0x2BF, {0x08, 1}, {}},
        {34, 0x2C4, {0, 0, 1}, {}},
    };
    for (const auto& c : cases) {
        info_->systemType = c.type;
        feed(c.cobId, {c.data[0], c.data[1], c.data[2]});
        can_poll_events(info_.get());
        EXPECT_EQ(kinds(take_events()), c.kinds) << c.type << " " << std::hex << c.cobId;
    }
    // Only a CAN instrument's PDOs are decoded; the raw queue empties all the same.
    info_->systemType = 23;
    info_->instrBdType = SB_BOARD_SERIAL1;
    EXPECT_EQ(decode(0x1C8, {1}), Kinds{});
    EXPECT_EQ(can_queue_length(CAN_QUEUE_RAW_PDO), 0u);
}

TEST_F(CanEventsTest, NdWheelStoppedSetsTheNamedEventOnce) {
    PlatWaitable* stopped = plat_event_create(true, false, "CAN_NDWHEEL_STOPPED");
    ASSERT_NE(stopped, nullptr);
    EXPECT_EQ(decode(0x2C0, {0x02}), Kinds{});
    EXPECT_EQ(plat_wait_one(stopped, 0), PLAT_WAIT_TIMEOUT);
    EXPECT_EQ(decode(0x2C0, {0x1A}), Kinds{});
    EXPECT_EQ(plat_wait_one(stopped, 0), PLAT_WAIT_TIMEOUT);
    EXPECT_TRUE(can_decoder_memory().ndwMoving);
    EXPECT_EQ(decode(0x2C0, {0x10}), Kinds{});
    EXPECT_EQ(plat_wait_one(stopped, 0), 0);
    CanDecoderMemory memory = can_decoder_memory();
    EXPECT_FALSE(memory.ndwMoving);
    EXPECT_EQ(memory.ndwHomeStatus, 0x10);
    plat_event_reset(stopped);
    EXPECT_EQ(decode(0x2C0, {0x00}), Kinds{});
    EXPECT_EQ(plat_wait_one(stopped, 0), PLAT_WAIT_TIMEOUT);
    plat_handle_close(stopped);
    // Nobody waiting: the event does not exist and nothing is created.
    decode(0x2C0, {0x02});
    decode(0x2C0, {0x00});
    EXPECT_EQ(plat_named_open("CAN_NDWHEEL_STOPPED"), nullptr);
}

TEST_F(CanEventsTest, ZoomMotionStates) {
    info_->systemType = 22;
    can_set_last_zoom_position(3);
    EXPECT_EQ(decode(0x2BF, {0x28, 3}), Kinds{CAN_EVENT_ZOOM_MOVING});
    EXPECT_EQ(can_decoder_memory().zoomState, CAN_ZOOM_MOVING);
    EXPECT_EQ(decode(0x2BF, {0x20, 3}), Kinds{});
    EXPECT_EQ(can_decoder_memory().zoomState, CAN_ZOOM_STOPPING);
    EXPECT_EQ(decode(0x2BF, {0x20, 3}), Kinds{});
    EXPECT_EQ(decode(0x2BF, {0x00, 3}), Kinds{CAN_EVENT_ZOOM_STOPPED});
    EXPECT_EQ(can_decoder_memory().zoomState, CAN_ZOOM_IDLE);
    EXPECT_EQ(decode(0x2BF, {0x00, 3}), Kinds{});
}

TEST_F(CanEventsTest, ZoomPositionThroughTheTableOnlyForTheEncodedD7) {
    info_->systemType = 31;
    can_bridge_info_create(info_.get())->brushMotorProductId = 0x267215D7;
    info_->zoom = 1;
    EXPECT_EQ(decode(0x2BF, {0x20, 1}), Kinds{CAN_EVENT_ZOOM_POSITION});
    EXPECT_EQ(can_decoder_memory().lastZoomPosition, 6);
    EXPECT_EQ(decode(0x2BF, {0x20, 7}), Kinds{CAN_EVENT_ZOOM_POSITION});
    EXPECT_EQ(can_decoder_memory().lastZoomPosition, 7);
    // Beyond the table: no position, read from nowhere.
    EXPECT_EQ(decode(0x2BF, {0x20, 8}), Kinds{CAN_EVENT_ZOOM_POSITION});
    EXPECT_EQ(can_decoder_memory().lastZoomPosition, CAN_NO_ZOOM_POSITION);
    EXPECT_EQ(decode(0x2BF, {0x20, 200}), Kinds{});
    EXPECT_EQ(decode(0x2BF, {0x20, 0}), Kinds{CAN_EVENT_ZOOM_POSITION});
    EXPECT_EQ(can_decoder_memory().lastZoomPosition, 0);
    // A motorized zoom on the same product reports the position itself.
    info_->zoom = 2;
    EXPECT_EQ(decode(0x2BF, {0x20, 1}), Kinds{CAN_EVENT_ZOOM_POSITION});
    EXPECT_EQ(can_decoder_memory().lastZoomPosition, 1);
    // So does product 0x267215D5, encoded or not; 15 is no position.
    info_->canInfo->brushMotorProductId = 0x267215D5;
    info_->zoom = 1;
    EXPECT_EQ(decode(0x2BF, {0x20, 2}), Kinds{CAN_EVENT_ZOOM_POSITION});
    EXPECT_EQ(can_decoder_memory().lastZoomPosition, 2);
    EXPECT_EQ(decode(0x2BF, {0x20, 15}), Kinds{CAN_EVENT_ZOOM_POSITION});
    EXPECT_EQ(can_decoder_memory().lastZoomPosition, CAN_NO_ZOOM_POSITION);
}

TEST_F(CanEventsTest, EncodedTurret) {
    info_->systemType = 13;
    info_->turret[0] = 2;
    EXPECT_EQ(decode(0x1BF, {0x81}), Kinds{CAN_EVENT_TURRET});
    EXPECT_EQ(decode(0x1BF, {0x81}), Kinds{});
    EXPECT_EQ(decode(0x1BF, {0x82}), Kinds{CAN_EVENT_TURRET});
    EXPECT_EQ(info_->can.lastTurretFlags, 0x82);
    can_set_last_turret_flags(info_.get(), 0x83);
    EXPECT_EQ(decode(0x1BF, {0x83}), Kinds{});
    info_->turret[0] = 1;
    EXPECT_EQ(decode(0x1BF, {0x84}), Kinds{});
}

TEST_F(CanEventsTest, QueuesDropTheirOldestWhenFull) {
    info_->systemType = 28;
    uint64_t before = can_queue_drops(CAN_QUEUE_RAW_PDO);
    CapturedMessages messages;
    for (uint32_t i = 0; i < CAN_QUEUE_LIMIT; ++i) {
        uint8_t data[8] = {};
        std::memcpy(data, &i, sizeof i);
        can_mc_pdo_callback(0x1C8, i, data);
    }
    EXPECT_EQ(can_queue_length(CAN_QUEUE_RAW_PDO), CAN_QUEUE_LIMIT);
    EXPECT_EQ(can_queue_drops(CAN_QUEUE_RAW_PDO), before);
    EXPECT_EQ(messages.text(), "");
    // 100000 PDOs with nobody polling: the queue stays at its limit.
    for (uint32_t i = CAN_QUEUE_LIMIT; i < 100000; ++i) can_mc_pdo_callback(0x1C8, i, nullptr);
    EXPECT_EQ(can_queue_length(CAN_QUEUE_RAW_PDO), CAN_QUEUE_LIMIT);
    EXPECT_EQ(can_queue_drops(CAN_QUEUE_RAW_PDO), before + 100000 - CAN_QUEUE_LIMIT);
    EXPECT_EQ(messages.text(), "CAN raw PDO queue full: dropping its oldest entries\n");
    // The newest are kept: wands decode them in order.
    info_->systemType = 23;
    can_poll_events(info_.get());
    EXPECT_EQ(can_queue_length(CAN_QUEUE_RAW_PDO), 0u);
    // A new episode after the queue emptied.
    for (uint32_t i = 0; i <= CAN_QUEUE_LIMIT; ++i) can_mc_pdo_callback(0x1C8, i, nullptr);
    EXPECT_EQ(can_queue_drops(CAN_QUEUE_RAW_PDO), before + 100000 - CAN_QUEUE_LIMIT + 1);
    EXPECT_EQ(messages.text(),
              "CAN raw PDO queue full: dropping its oldest entries\n"
              "CAN raw PDO queue full: dropping its oldest entries\n");
    drain_all(info_.get());
}

TEST_F(CanEventsTest, ApplicationQueueBoundedAndDrained) {
    uint64_t before = can_queue_drops(CAN_QUEUE_APP_EVENT);
    CapturedMessages messages;
    for (uint32_t i = 0; i < CAN_QUEUE_LIMIT - 1; ++i) feed(0x1C8, {1});
    can_poll_events(info_.get());
    CanPdoRecord pdo{};
    for (pdo.value1 = 0; pdo.value1 < 5; ++pdo.value1)
        can_post_app_event(CAN_EVENT_SLEEP_REQUEST, pdo);
    EXPECT_EQ(can_queue_drops(CAN_QUEUE_APP_EVENT), before + 4);
    EXPECT_EQ(messages.text(), "CAN application event queue full: dropping its oldest entries\n");
    std::vector<CanAppEvent> all = take_events();
    ASSERT_EQ(all.size(), CAN_QUEUE_LIMIT);
    EXPECT_EQ(all.back().pdo.value1, 4u);
    EXPECT_EQ(all[all.size() - 5].kind, CAN_EVENT_SLEEP_REQUEST);
    EXPECT_EQ(all[all.size() - 6].kind, CAN_EVENT_WAND_1);
    // Drained, the poll no longer reports the device.
    EXPECT_FALSE(can_poll_events(info_.get()));
}

TEST_F(CanEventsTest, AllocationFailureDropsTheRecord) {
    // 200 records need new blocks of the queues, in the callback and the poll.
    uint64_t before = can_queue_drops(CAN_QUEUE_RAW_PDO);
    t_fail_allocation = true;
    for (int i = 0; i < 200; ++i) EXPECT_NO_THROW(feed(0x1C8, {1}));
    t_fail_allocation = false;
    uint64_t lost = can_queue_drops(CAN_QUEUE_RAW_PDO) - before;
    EXPECT_GT(lost, 0u);
    EXPECT_EQ(can_queue_length(CAN_QUEUE_RAW_PDO) + lost, 200u);
    for (uint64_t i = 0; i < lost; ++i) feed(0x1C8, {1});
    t_fail_allocation = true;
    EXPECT_NO_THROW(can_poll_events(info_.get()));
    t_fail_allocation = false;
    lost = can_queue_drops(CAN_QUEUE_RAW_PDO) - before - lost;
    EXPECT_GT(lost, 0u);
    EXPECT_EQ(can_queue_length(CAN_QUEUE_RAW_PDO), 0u);
    EXPECT_EQ(take_events().size() + lost, 200u);
}

TEST(CanEventsFresh, LockCreationFailure) {
    if (std::getenv("SURF_CAN_FRESH_PROCESS") == nullptr)
        GTEST_SKIP() << "run by LocksInAFreshProcess";
    // The name is taken by a timer, so the lock cannot be made.
    PlatWaitable* squatter = plat_timer_create(true, "PrynEmcyQueueMutex");
    ASSERT_NE(squatter, nullptr);
    CapturedMessages messages;
    EXPECT_EQ(CanCreateSyncObjects(), ERR_UNKNOWN);
    EXPECT_EQ(messages.text(), "CanCreateSyncObjects: Cannot create EmcyQueueMutex\n");
    EXPECT_EQ(plat_named_open("PrynCanEventMutex"), nullptr);
    // Without the locks nothing is queued, and nothing breaks.
    uint8_t data[8] = {1};
    can_mc_pdo_callback(0x1C8, 0, data);
    EXPECT_EQ(can_queue_drops(CAN_QUEUE_RAW_PDO), 1u);
    SystemInfo info;
    EXPECT_FALSE(can_poll_events(&info));
    // Once the name is free they are made.
    plat_handle_close(squatter);
    messages.clear();
    EXPECT_EQ(CanCreateSyncObjects(), 0);
    can_mc_pdo_callback(0x1C8, 0, data);
    EXPECT_EQ(can_queue_length(CAN_QUEUE_RAW_PDO), 1u);
    EXPECT_EQ(messages.text(), "");
}

TEST(CanEventsChild, LocksInAFreshProcess) {
    EXPECT_EQ(run_tests_in_child("CanEventsFresh.*", {"SURF_CAN_FRESH_PROCESS=1"}), 0);
}

TEST_F(CanEventsTest, DecoderMemorySettersRaceThePoll) {
    // Homing and the zoom read write the memory the poll's decoders use.
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i) can_set_zoom_state(i % 3);
        for (int i = 0; i < 2000; ++i) can_set_ndw_status(static_cast<uint8_t>(i & 0x18), i & 1);
        for (int i = 0; i < 2000; ++i) can_set_last_zoom_position(static_cast<uint8_t>(i & 7));
        done = true;
    });
    info_->systemType = 22;
    while (!done.load()) {
        info_->systemType = 22;
        feed(0x2BF, {0x28, 1});
        can_poll_events(info_.get());
        info_->systemType = 23;
        feed(0x2C0, {0x02});
        can_poll_events(info_.get());
        take_events();
    }
    writer.join();
}

TEST_F(CanEventsTest, CallbacksRaceThePoll) {
    constexpr int kPerThread = 2000;
    std::atomic<bool> done{false};
    std::vector<uint32_t> seen;
    std::thread poller([&] {
        while (!done.load()) {
            can_poll_events(info_.get());
            CanAppEvent event;
            while (can_get_app_event(&event)) seen.push_back(event.pdo.value2);
        }
    });
    std::thread pdos([] {
        for (int i = 0; i < kPerThread; ++i) {
            uint8_t data[8] = {1};
            can_mc_pdo_callback(0x1C8, static_cast<uint32_t>(i), data);
        }
    });
    std::thread emcys([] {
        for (int i = 0; i < kPerThread; ++i) ReceiveEmcyHandler(1, 2, nullptr, 3);
    });
    pdos.join();
    emcys.join();
    done = true;
    poller.join();
    can_poll_events(info_.get());
    CanAppEvent event;
    while (can_get_app_event(&event)) seen.push_back(event.pdo.value2);
    int emcy = 0;
    CanAppEmcy record;
    while (can_get_app_emcy(&record)) ++emcy;
    // Both queues stay below their limit: every record arrives, in order.
    ASSERT_EQ(seen.size(), static_cast<size_t>(kPerThread));
    for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], i);
    EXPECT_EQ(emcy, kPerThread);
}

}  // namespace
