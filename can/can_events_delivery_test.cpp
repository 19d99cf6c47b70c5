// The event queues fed by the simulated bridge library's delivery thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "can/can_bridge.h"
#include "can/can_events.h"
#include "can/can_lib.h"
#include "can/can_sleep.h"
#include "common/status.h"
#include "common/testing/capture_sink.h"
#include "config/sysinfo.h"
#include "devpoll/devpoll.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "platform/resources.h"
#include "sim/can/simcan_fixture.h"

namespace {

class CanDeliveryTest : public SimCanTest {
  protected:
    void SetUp() override {
        SimCanTest::SetUp();
        ASSERT_NE(can_api(), nullptr);
        connect();
        info_ = std::make_unique<SystemInfo>();
        info_->instrBdType = SB_BOARD_CAN;
        info_->systemType = 23;
        drain();
    }
    void TearDown() override {
        can_register_events(info_.get(), false);
        drain();
        SimCanTest::TearDown();
    }

    void drain() {
        can_poll_events(info_.get());
        CanAppEvent event;
        while (can_get_app_event(&event)) {
        }
        CanAppEmcy emcy;
        while (can_get_app_emcy(&emcy)) {
        }
    }

    std::vector<uint32_t> registered() {
        uint32_t ids[32];
        int count = sim->simcan_registered_cobids(ids, 32);
        std::vector<uint32_t> out(ids, ids + std::min(count, 32));
        std::sort(out.begin(), out.end());
        return out;
    }

    // Polls until `count` application events arrived (library clock, generous).
    std::vector<CanAppEvent> events(size_t count) {
        std::vector<CanAppEvent> out;
        int64_t end = plat_clock_ms() + 30000;
        while (out.size() < count && plat_clock_ms() < end) {
            can_poll_events(info_.get());
            CanAppEvent event;
            while (can_get_app_event(&event)) out.push_back(event);
            if (out.size() < count) plat_sleep_ms(5);
        }
        return out;
    }

    void emit(uint32_t cobId, std::initializer_list<uint8_t> bytes) {
        std::vector<uint8_t> data(bytes);
        data.resize(8);
        ASSERT_EQ(sim->simcan_emit_pdo(cobId, data.data(), 8), 1);
    }

    std::unique_ptr<SystemInfo> info_;
};

using Ids = std::vector<uint32_t>;

TEST_F(CanDeliveryTest, RegistrationsBySystemType) {
    const struct {
        int32_t type;
        Ids ids;
    } cases[] = {
        {23, {0x1C0, 0x1C8, 0x1C9, 0x2C0, 0x2C4}},
        {30, {0x1C0, 0x1C8, 0x1C9, 0x2C0, 0x2C4}},
        {32, {0x1C0, 0x1C8, 0x1C9, 0x2C0, 0x2C4}},
        {33, {0x1C0, 0x1C8, 0x1C9, 0x2C0, 0x2C4}},
        {25, {0x1C8, 0x1C9, 0x2C0, 0x2C4}},
        {26, {0x1C8, 0x1C9, 0x2C0}},
        {28, {}},
        {34, {}},
        {4, {}},
    };
    for (const auto& c : cases) {
        info_->systemType = c.type;
        ASSERT_EQ(can_register_pdos(info_.get()), 0);
        EXPECT_EQ(registered(), c.ids) << c.type;
        ASSERT_EQ(can_register_events(info_.get(), false), 0);
        EXPECT_EQ(registered(), Ids{});
    }
}

TEST_F(CanDeliveryTest, LedAndPztRegistrationsByTurretAndZoom) {
    CanBridgeInfo* bridge = can_bridge_info_create(info_.get());
    const struct {
        int turret;
        int zoom;
        uint32_t product;
        Ids ids;
    } cases[] = {
        {2, 0, 0, {0x1BF}},          {1, 2, 0x267215D5, {0x2BF}},
        {0, 2, 0x267215D7, {}},      {2, 1, 0x267215D7, {0x1BF, 0x2BF}},
        {0, 1, 0x267215D5, {0x2BF}}, {0, 1, 0x12345678, {}},
    };
    for (int32_t type : {11, 13, 22, 29, 31, 35}) {
        info_->systemType = type;
        for (const auto& c : cases) {
            info_->turret[0] = c.turret;
            info_->zoom = c.zoom;
            bridge->brushMotorProductId = c.product;
            ASSERT_EQ(can_register_pdos(info_.get()), 0);
            EXPECT_EQ(registered(), c.ids) << type << " " << c.turret << " " << c.zoom;
            ASSERT_EQ(can_register_events(info_.get(), false), 0);
        }
    }
}

TEST_F(CanDeliveryTest, PdosAndEmergenciesReachTheApplicationQueues) {
    ASSERT_EQ(can_register_events(info_.get(), true), 0);
    emit(0x1C8, {1});
    emit(0x1C9, {3});
    emit(0x1C9, {4});  // no event
    emit(0x1C0, {9, 8, 7});
    std::vector<CanAppEvent> got = events(3);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].kind, CAN_EVENT_WAND_1);
    EXPECT_EQ(got[1].kind, CAN_EVENT_WAND_3);
    EXPECT_EQ(got[2].kind, CAN_EVENT_NDW_PDO);
    EXPECT_EQ(got[2].pdo.cobId, 0x1C0u);
    EXPECT_EQ(got[2].pdo.data[2], 7);
    // Not registered: never delivered.
    const uint8_t wand[8] = {1};
    EXPECT_EQ(sim->simcan_emit_pdo(0x1C1, wand, 8), 0);
    const uint32_t block[3] = {3, 4, 5};
    ASSERT_EQ(sim->simcan_emit_emcy(1, 2, block, 6), 1);
    CanAppEmcy emcy;
    int64_t end = plat_clock_ms() + 30000;
    bool found = false;
    while (!found && plat_clock_ms() < end) {
        can_poll_events(info_.get());
        found = can_get_app_emcy(&emcy);
        if (!found) plat_sleep_ms(5);
    }
    ASSERT_TRUE(found);
    EXPECT_EQ(emcy.kind, CAN_EMCY_KIND);
    EXPECT_EQ(emcy.emcy.value1, 1u);
    EXPECT_EQ(emcy.emcy.block[2], 5u);
    EXPECT_EQ(emcy.emcy.byte, 6u);
    EXPECT_EQ(events(1).size(), 0u);
}

TEST_F(CanDeliveryTest, OverrunIsReportedOnceAndTheWaitingPdosQueued) {
    sim->simcan_set_pdo_depth(2);
    ASSERT_EQ(can_register_events(info_.get(), true), 0);
    CapturedMessages messages;
    sim->simcan_delay_next_callback(1000);
    std::vector<uint8_t> data = {1, 0, 0, 0, 0, 0, 0, 0};
    int results = 0;
    for (int i = 0; i < 3; ++i) results += sim->simcan_emit_pdo(0x1C8, data.data(), 8);
    std::vector<CanAppEvent> got = events(2);
    EXPECT_EQ(got.size(), 2u);
    if (results == 1) {  // the third was dropped: the callback says so
        EXPECT_EQ(messages.text(), "ReceivePdo overrun.\n");
    }
}

TEST_F(CanDeliveryTest, FailedFetchIsReportedAndTheRestFetched) {
    ASSERT_EQ(can_register_events(info_.get(), true), 0);
    CapturedMessages messages;
    sim->simcan_getpdo_fail(CAN_ERR_TIMEOUT, 1);
    emit(0x1C8, {2});
    int64_t end = plat_clock_ms() + 30000;
    while (messages.text().empty() && plat_clock_ms() < end) plat_sleep_ms(5);
    EXPECT_EQ(messages.text(), "ReceivePdoHandler canErr = -3\n");
    // The PDO left behind comes with the next callback.
    emit(0x1C8, {3});
    std::vector<CanAppEvent> got = events(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].kind, CAN_EVENT_WAND_2);
    EXPECT_EQ(got[1].kind, CAN_EVENT_WAND_3);
}

TEST_F(CanDeliveryTest, RegistrationFailureIsReportedWithItsCode) {
    sim->simcan_drop_connection();
    CapturedMessages messages;
    EXPECT_EQ(can_register_events(info_.get(), true), ERR_CAN_NOT_CONNECTED);
    EXPECT_EQ(messages.text(), "can_register_events canErr = -2\n");
    messages.clear();
    can_events_free_resources();
    EXPECT_EQ(messages.text(), "can_events_free_resources canErr = -2\n");
}

TEST_F(CanDeliveryTest, UnregisteringEndsDeliveryAndKeepsTheLocks) {
    std::thread([] {}).join();  // a sanitizer's own thread comes with the first
    int threads = simcan_thread_count();
    ASSERT_EQ(can_register_events(info_.get(), true), 0);
    EXPECT_TRUE(sim->simcan_delivery_running());
    ASSERT_EQ(can_register_events(info_.get(), false), 0);
    EXPECT_FALSE(sim->simcan_delivery_running());
    EXPECT_EQ(registered(), Ids{});
    can_events_free_resources();
    // The locks outlive every registration: a callback never meets a closed one.
    PlatWaitable* lock = plat_named_open("PrynCanEventMutex");
    EXPECT_NE(lock, nullptr);
    plat_handle_close(lock);
    EXPECT_LE(simcan_thread_count_settled(threads), threads);
}

TEST_F(CanDeliveryTest, IdleWithEventsRegisteredAndTheSleepThreadCounting) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "sanitizer runtimes use processor time of their own";
#endif
    ASSERT_EQ(can_register_events(info_.get(), true), 0);
    info_->sleepTimeout = 3600;
    sleep_mode_start(info_.get());
    double before = plat_cpu_seconds();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_LT(plat_cpu_seconds() - before, 0.04);  // 2 % of one core
    EXPECT_TRUE(sleep_mode_stop());
}

TEST_F(CanDeliveryTest, ThePollIsTheCanQueueDevicesPollFunction) {
    ASSERT_EQ(dev_init_cntrl(true), 0);
    int dummy = 0;
    ASSERT_EQ(dev_add_device(DEV_TYPE_CAN, &dummy, info_.get()), 0);
    ASSERT_EQ(can_register_events(info_.get(), true), 0);
    emit(0x1C8, {1});
    DevInfo found{};
    int64_t end = plat_clock_ms() + 30000;
    int type = DEV_NO_DATA;
    while (type == DEV_NO_DATA && plat_clock_ms() < end)
        type = dev_data_read(DEV_TYPE_CAN, &found, false);
    EXPECT_EQ(type, DEV_TYPE_CAN);
    EXPECT_EQ(found.owner, info_.get());
    // Once the application has taken the event the device is quiet again.
    drain();
    EXPECT_EQ(dev_data_read(DEV_TYPE_CAN, &found, false), DEV_NO_DATA);
    dev_remove_device(&dummy);
    dev_close_cntrl();
}

}  // namespace
