#include "devpoll/devpoll.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "common/status.h"
#include "common/testing/capture_sink.h"
#include "platform/clock.h"
#include "serial/sio.h"
#include "sim/line.h"
#include "sim/testing/pty_skip.h"

namespace {
// Waits in these tests run on a clock 10 times faster than real time.
const bool kScaled = [] {
    if (std::getenv("SURF_CLOCK_SCALE") == nullptr) plat_set_clock_scale(10);
    return true;
}();

// A device whose data flag the test sets; its poll can be made slow.
struct FlagDevice {
    std::atomic<bool> data{false};
    std::atomic<bool> once{false};     // the data is consumed by the poll that sees it
    std::atomic<int64_t> delay_ms{0};  // a poll that takes this long
};

std::atomic<int> g_in_poll{0};
std::atomic<int> g_max_in_poll{0};
std::atomic<int> g_polls{0};

bool flag_poll(void* handle, void*) {
    int now = ++g_in_poll;
    int seen = g_max_in_poll.load();
    while (now > seen && !g_max_in_poll.compare_exchange_weak(seen, now)) {
    }
    ++g_polls;
    auto* device = static_cast<FlagDevice*>(handle);
    if (device->delay_ms.load() > 0) plat_sleep_ms(device->delay_ms.load());
    bool data = device->once.load() ? device->data.exchange(false) : device->data.load();
    --g_in_poll;
    return data;
}

struct MotionRecord {
    int commKind;
};

int motion_comm_kind(const void* owner) {
    return static_cast<const MotionRecord*>(owner)->commKind;
}

class DevPoll : public ::testing::Test {
  protected:
    void SetUp() override {
        dev_set_poll_function(DEV_POLL_CAN_QUEUE, &flag_poll);
        dev_set_poll_function(DEV_POLL_EVENT, &flag_poll);
        dev_set_comm_kind_query(&motion_comm_kind);
        ASSERT_EQ(dev_init_cntrl(true), 0);
        g_max_in_poll = 0;
        g_polls = 0;
    }
    void TearDown() override {
        dev_close_cntrl();
        dev_set_poll_function(DEV_POLL_CAN_QUEUE, nullptr);
        dev_set_poll_function(DEV_POLL_EVENT, nullptr);
        dev_set_comm_kind_query(nullptr);
    }
};

void* fake_handle(int n) {
    return reinterpret_cast<void*>(static_cast<intptr_t>(0x1000 + n));
}

TEST_F(DevPoll, EleventhDeviceIsRefusedAndTheTableKept) {
    for (int i = 0; i < DEV_MAX_DEVICES; ++i)
        ASSERT_EQ(dev_add_device(DEV_TYPE_KEYBOARD, fake_handle(i), nullptr), 0);
    CapturedMessages messages;
    EXPECT_EQ(dev_add_device(DEV_TYPE_KEYBOARD, fake_handle(10), nullptr), ERR_DEV_CNTRL);
    EXPECT_EQ(messages.text(),
              "gl_DevInfo table is full\ndev_add_device failed: err=ERR_DEV_CNTRL\n");
    EXPECT_EQ(dev_device_count(), DEV_MAX_DEVICES);
    EXPECT_FALSE(dev_is_registered(fake_handle(10)));
    EXPECT_TRUE(dev_is_registered(fake_handle(9)));
}

TEST_F(DevPoll, RegistrationRefusals) {
    CapturedMessages messages;
    EXPECT_EQ(dev_add_device(3, fake_handle(1), nullptr), ERR_DEV_CNTRL);
    EXPECT_EQ(messages.text(),
              "dev_type_valid: dev_type=3 is invalid\ndev_add_device failed: err=ERR_DEV_CNTRL\n");
    messages.clear();
    EXPECT_EQ(dev_add_device(DEV_TYPE_MOTION, fake_handle(1), nullptr), ERR_INVALID_PARAM);
    EXPECT_EQ(messages.text(), "dev_add_device failed: err=ERR_INVALID_PARAM\n");
    MotionRecord unknown{5};
    EXPECT_EQ(dev_add_device(DEV_TYPE_MOTION, fake_handle(1), &unknown), ERR_MC_NOT_AVAIL);
    dev_set_comm_kind_query(nullptr);
    MotionRecord serial{1};
    EXPECT_EQ(dev_add_device(DEV_TYPE_MOTION, fake_handle(1), &serial), ERR_MC_NOT_AVAIL);
    EXPECT_EQ(dev_device_count(), 0);

    messages.clear();
    EXPECT_EQ(dev_remove_device(DEV_NO_HANDLE), ERR_INVALID_PARAM);
    EXPECT_EQ(dev_remove_device(fake_handle(1)), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(dev_set_event_state(fake_handle(1), 2), ERR_INVALID_PARAM);
    EXPECT_EQ(dev_set_event_state(fake_handle(1), 0), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(messages.text(),
              "dev_remove_device failed: err=ERR_INVALID_PARAM\n"
              "dev_remove_device failed: err=ERR_PARAM_OUT_OF_RANGE\n"
              "dev_set_event_state failed: err=ERR_INVALID_PARAM\n"
              "dev_set_event_state failed: err=ERR_PARAM_OUT_OF_RANGE\n");
    EXPECT_FALSE(dev_is_registered(DEV_NO_HANDLE));
}

TEST_F(DevPoll, EverythingIsRefusedWhenNotInitialised) {
    dev_close_cntrl();
    CapturedMessages messages;
    EXPECT_EQ(dev_add_device(DEV_TYPE_KEYBOARD, fake_handle(1), nullptr), ERR_DEV_CNTRL);
    EXPECT_EQ(dev_remove_device(fake_handle(1)), ERR_DEV_CNTRL);
    EXPECT_EQ(dev_set_event_state(fake_handle(1), 1), ERR_DEV_CNTRL);
    EXPECT_FALSE(dev_is_registered(fake_handle(1)));
    DevInfo out{};
    EXPECT_EQ(dev_data_read(DEV_ALL_TYPES, &out, false), 0);
    EXPECT_EQ(messages.text(),
              "dev_add_device failed: err=ERR_DEV_CNTRL\n"
              "dev_remove_device failed: err=ERR_DEV_CNTRL\n"
              "dev_set_event_state failed: err=ERR_DEV_CNTRL\n"
              "dev_data_read: ERR_DEV_CNTRL\n");
}

TEST_F(DevPoll, FreedSlotInTheMiddleIsReused) {
    ASSERT_EQ(dev_add_device(DEV_TYPE_KEYBOARD, fake_handle(0), nullptr), 0);
    ASSERT_EQ(dev_add_device(DEV_TYPE_KEYBOARD, fake_handle(1), nullptr), 0);
    ASSERT_EQ(dev_add_device(DEV_TYPE_KEYBOARD, fake_handle(2), nullptr), 0);
    ASSERT_EQ(dev_remove_device(fake_handle(1)), 0);
    EXPECT_EQ(gl_DevInfo[1].state, -1);
    EXPECT_EQ(gl_DevInfo[1].handle, DEV_NO_HANDLE);
    EXPECT_EQ(dev_device_count(), 2);
    ASSERT_EQ(dev_add_device(DEV_TYPE_CAN, fake_handle(3), nullptr), 0);
    EXPECT_EQ(gl_DevInfo[1].handle, fake_handle(3));
    EXPECT_EQ(gl_DevInfo[1].type, DEV_TYPE_CAN);
    EXPECT_EQ(gl_DevInfo[1].state, 1);
    EXPECT_EQ(gl_DevInfo[1].eventsEnabled, 1);
    EXPECT_EQ(gl_DevInfo[1].poll, &flag_poll);
}

TEST_F(DevPoll, MaskOfSeveralBitsIsRefused) {
    CapturedMessages messages;
    DevInfo out{};
    EXPECT_EQ(dev_data_read(3, &out, false), 0);
    EXPECT_EQ(dev_data_read(0, &out, false), 0);
    EXPECT_EQ(messages.text(), "dev_data_read: ERR_DEV_CNTRL\ndev_data_read: ERR_DEV_CNTRL\n");
}

TEST_F(DevPoll, NoDeviceGivesNoDataAfterOneRound) {
    DevInfo out{};
    int64_t start = plat_clock_ms();
    EXPECT_EQ(dev_data_read(DEV_ALL_TYPES, &out, false), DEV_NO_DATA);
    EXPECT_GE(plat_clock_ms() - start, 100);
}

TEST_F(DevPoll, FindsTheDeviceWithDataOfTheRequestedTypes) {
    FlagDevice quiet, busy;
    busy.data = true;
    MotionRecord event_kind{2};
    ASSERT_EQ(dev_add_device(DEV_TYPE_CAN, &quiet, nullptr), 0);
    ASSERT_EQ(dev_add_device(DEV_TYPE_MOTION, &busy, &event_kind), 0);
    DevInfo out{};
    // A device past slot 0 is found by waiting reads: a single round may end
    // (100 ms, a millisecond at the fastest test clock) before the sweep
    // reaches it.
    EXPECT_EQ(dev_data_read(DEV_ALL_TYPES, &out, true), DEV_TYPE_MOTION);
    EXPECT_EQ(out.handle, &busy);
    EXPECT_EQ(out.owner, &event_kind);
    EXPECT_EQ(out.type, DEV_TYPE_MOTION);
    EXPECT_EQ(out.state, 1);
    EXPECT_EQ(dev_data_read(DEV_TYPE_MOTION, &out, true), DEV_TYPE_MOTION);
    EXPECT_EQ(dev_data_read(DEV_TYPE_CAN, &out, false), DEV_NO_DATA);
    quiet.data = true;
    EXPECT_EQ(dev_data_read(DEV_ALL_TYPES, &out, false), DEV_TYPE_CAN);  // lower slot first
}

TEST_F(DevPoll, DisabledDeviceIsNeverReported) {
    FlagDevice device;
    device.data = true;
    ASSERT_EQ(dev_add_device(DEV_TYPE_CAN, &device, nullptr), 0);
    ASSERT_EQ(dev_set_event_state(&device, 0), 0);
    DevInfo out{};
    EXPECT_EQ(dev_data_read(DEV_ALL_TYPES, &out, false), DEV_NO_DATA);
    EXPECT_EQ(g_polls.load(), 0);
    ASSERT_EQ(dev_set_event_state(&device, 1), 0);
    EXPECT_EQ(dev_data_read(DEV_ALL_TYPES, &out, false), DEV_TYPE_CAN);
}

TEST_F(DevPoll, RemovingTheReportedDeviceLeavesNothingToReport) {
    FlagDevice device;
    device.data = true;
    ASSERT_EQ(dev_add_device(DEV_TYPE_CAN, &device, nullptr), 0);
    DevInfo out{};
    ASSERT_EQ(dev_data_read(DEV_TYPE_CAN, &out, false), DEV_TYPE_CAN);
    ASSERT_EQ(dev_remove_device(&device), 0);
    EXPECT_FALSE(dev_is_registered(&device));
    EXPECT_EQ(dev_data_read(DEV_TYPE_CAN, &out, false), DEV_NO_DATA);
}

TEST_F(DevPoll, WaitingReadKeepsSweepingUntilDataArrives) {
    FlagDevice device;
    ASSERT_EQ(dev_add_device(DEV_TYPE_CAN, &device, nullptr), 0);
    std::thread later([&] {
        plat_sleep_ms(400);
        device.data = true;
    });
    DevInfo out{};
    int64_t start = plat_clock_ms();
    EXPECT_EQ(dev_data_read(DEV_TYPE_CAN, &out, true), DEV_TYPE_CAN);
    EXPECT_GE(plat_clock_ms() - start, 400);
    later.join();
    // Sweeps are paced: about one per 50 ms, not a busy loop.
    EXPECT_LT(g_polls.load(), 400);
}

TEST_F(DevPoll, DeviceFoundAfterTheRoundRanOutIsStillReported) {
    FlagDevice device;
    device.data = true;
    device.once = true;  // the poll consumes the signal, like an event test
    device.delay_ms = 150;
    ASSERT_EQ(dev_add_device(DEV_TYPE_CAN, &device, nullptr), 0);
    DevInfo out{};
    EXPECT_EQ(dev_data_read(DEV_TYPE_CAN, &out, false), DEV_TYPE_CAN);
    EXPECT_EQ(out.handle, &device);
}

TEST_F(DevPoll, SerialInputTestReportsALineWithBytesWaiting) {
    SKIP_WITHOUT_PTY();
    SimLine line;
    ASSERT_TRUE(line.open(nullptr));
    SerialHandle port = SIO_INVALID_HANDLE;
    ASSERT_EQ(sio_open(line.path().c_str(), &port), 0);
    ASSERT_EQ(sio_init(port, nullptr, false), 0);
    ASSERT_EQ(dev_add_device(DEV_TYPE_SERIAL_4, port, nullptr), 0);
    EXPECT_EQ(gl_DevInfo[0].poll, &dev_serial_input_test);
    DevInfo out{};
    EXPECT_EQ(dev_data_read(DEV_TYPE_SERIAL_4, &out, false), DEV_NO_DATA);
    line.send(SimBytes{'!'});
    EXPECT_EQ(dev_data_read(DEV_TYPE_SERIAL_4, &out, true), DEV_TYPE_SERIAL_4);
    EXPECT_EQ(out.handle, port);
    dev_remove_device(port);
    sio_close(&port);
}

TEST_F(DevPoll, ConcurrentReadsRunOneAfterTheOther) {
    FlagDevice device;
    device.data = true;
    device.delay_ms = 20;
    ASSERT_EQ(dev_add_device(DEV_TYPE_CAN, &device, nullptr), 0);
    std::atomic<int> found{0};
    auto reader = [&] {
        DevInfo out{};
        for (int i = 0; i < 5; ++i)
            if (dev_data_read(DEV_ALL_TYPES, &out, false) == DEV_TYPE_CAN) ++found;
    };
    std::thread a(reader), b(reader);
    a.join();
    b.join();
    EXPECT_EQ(found.load(), 10);
    EXPECT_EQ(g_max_in_poll.load(), 1);
}

TEST_F(DevPoll, CloseStopsTheWorkerAndReinitStartsExactlyOne) {
    FlagDevice device;
    device.delay_ms = 5;
    for (int i = 0; i < 3; ++i) {
        dev_close_cntrl();
        ASSERT_EQ(dev_init_cntrl(false), 0);
        ASSERT_EQ(dev_init_cntrl(false), 0);  // already initialised: nothing new
    }
    ASSERT_EQ(dev_add_device(DEV_TYPE_CAN, &device, nullptr), 0);
    DevInfo out{};
    EXPECT_EQ(dev_data_read(DEV_ALL_TYPES, &out, false), DEV_NO_DATA);
    EXPECT_EQ(g_max_in_poll.load(), 1);

    // A caller waiting for data is let go by the close.
    std::atomic<int> result{-1};
    std::thread waiter([&] { result = dev_data_read(DEV_ALL_TYPES, &out, true); });
    while (g_polls.load() < 3) plat_sleep_ms(10);
    dev_close_cntrl();
    waiter.join();
    EXPECT_EQ(result.load(), DEV_NO_DATA);
}
// Runs a scenario that could deadlock on a thread of its own and gives it
// `real_s` seconds of real time. A deadlocked thread cannot be joined or
// freed, so the process then ends with a failure instead of hanging.
template <typename Scenario>
void run_or_die(Scenario scenario, int real_s = 30) {
    std::mutex lock;
    std::condition_variable ended;
    bool finished = false;
    std::thread runner([&] {
        scenario();
        std::lock_guard<std::mutex> guard(lock);
        finished = true;
        ended.notify_all();
    });
    std::unique_lock<std::mutex> guard(lock);
    if (!ended.wait_for(guard, std::chrono::seconds(real_s), [&] { return finished; })) {
        std::fprintf(stderr, "deadlock: the scenario did not end within %d s\n", real_s);
        std::fflush(stderr);
        std::_Exit(1);
    }
    guard.unlock();
    runner.join();
}

// A poll that uses the table it is polled from.
bool table_poll(void* handle, void*) {
    EXPECT_EQ(dev_set_event_state(handle, 1), 0);
    EXPECT_GE(dev_device_count(), 1);
    return dev_is_registered(handle);
}

// A poll that finds its device gone for good and takes it out of the table.
bool self_removing_poll(void* handle, void*) {
    EXPECT_EQ(dev_remove_device(handle), 0);
    return true;
}

TEST_F(DevPoll, PollFunctionsMayCallTheTable) {
    FlagDevice reentrant, leaving;
    MotionRecord event_kind{2};
    dev_set_poll_function(DEV_POLL_CAN_QUEUE, &table_poll);
    dev_set_poll_function(DEV_POLL_EVENT, &self_removing_poll);
    ASSERT_EQ(dev_add_device(DEV_TYPE_MOTION, &leaving, &event_kind), 0);  // slot 0
    ASSERT_EQ(dev_add_device(DEV_TYPE_CAN, &reentrant, nullptr), 0);
    int can = 0;
    int motion = 0;
    run_or_die([&] {
        DevInfo out{};
        motion = dev_data_read(DEV_TYPE_MOTION, &out, false);
        can = dev_data_read(DEV_TYPE_CAN, &out, true);
    });
    EXPECT_EQ(can, DEV_TYPE_CAN);
    // Removed during its own poll: not reported.
    EXPECT_EQ(motion, DEV_NO_DATA);
    EXPECT_FALSE(dev_is_registered(&leaving));
    EXPECT_EQ(dev_device_count(), 1);
}

// The lock of a module whose poll takes it (the CAN event lock).
std::mutex g_module_lock;
std::atomic<bool> g_module_poll_entered{false};

bool module_locking_poll(void*, void*) {
    g_module_poll_entered = true;
    std::lock_guard<std::mutex> guard(g_module_lock);
    return true;
}

TEST_F(DevPoll, PollTakingAModuleLockDoesNotDeadlockWithAHolderCallingTheTable) {
    FlagDevice device;
    dev_set_poll_function(DEV_POLL_CAN_QUEUE, &module_locking_poll);
    ASSERT_EQ(dev_add_device(DEV_TYPE_CAN, &device, nullptr), 0);
    g_module_poll_entered = false;
    int result = 0;
    run_or_die([&] {
        // Module lock first, then the table, while the worker polls.
        std::unique_lock<std::mutex> held(g_module_lock);
        std::thread reader([&] {
            DevInfo out{};
            result = dev_data_read(DEV_TYPE_CAN, &out, false);
        });
        while (!g_module_poll_entered) plat_sleep_ms(1);
        EXPECT_EQ(dev_set_event_state(&device, 1), 0);
        EXPECT_EQ(dev_add_device(DEV_TYPE_KEYBOARD, fake_handle(1), nullptr), 0);
        EXPECT_EQ(dev_remove_device(fake_handle(1)), 0);
        EXPECT_TRUE(dev_is_registered(&device));
        held.unlock();
        reader.join();
    });
    EXPECT_EQ(result, DEV_TYPE_CAN);
}

std::atomic<bool> g_gate_open{false};
std::atomic<bool> g_gated_running{false};

bool gated_poll(void*, void*) {
    g_gated_running = true;
    while (!g_gate_open) plat_sleep_ms(1);
    g_gated_running = false;
    return true;
}

TEST_F(DevPoll, RemovalWaitsForARunningPollOfThatDevice) {
    FlagDevice device;
    dev_set_poll_function(DEV_POLL_CAN_QUEUE, &gated_poll);
    ASSERT_EQ(dev_add_device(DEV_TYPE_CAN, &device, nullptr), 0);
    g_gate_open = false;
    g_gated_running = false;
    int result = 0;
    bool running_when_removed = true;
    run_or_die([&] {
        std::thread reader([&] {
            DevInfo out{};
            result = dev_data_read(DEV_TYPE_CAN, &out, false);
        });
        while (!g_gated_running) plat_sleep_ms(1);
        // The owner may free the device once removal returns.
        std::thread remover([&] {
            EXPECT_EQ(dev_remove_device(&device), 0);
            running_when_removed = g_gated_running.load();
        });
        // Out of the table, the removal now waits for the poll to end.
        while (dev_is_registered(&device)) plat_sleep_ms(1);
        plat_sleep_ms(20);
        g_gate_open = true;
        remover.join();
        reader.join();
    });
    EXPECT_FALSE(running_when_removed);
    EXPECT_EQ(result, DEV_NO_DATA);  // its data went with it
}

TEST_F(DevPoll, WorkerWatchesAPortWhileItsOwnerReadsAndClearsErrors) {
    SKIP_WITHOUT_PTY();
    SimLine line;
    ASSERT_TRUE(line.open(nullptr));
    SerialHandle port = SIO_INVALID_HANDLE;
    ASSERT_EQ(sio_open(line.path().c_str(), &port), 0);
    ASSERT_EQ(sio_init(port, nullptr, false), 0);
    ASSERT_EQ(dev_add_device(DEV_TYPE_SERIAL_2, port, nullptr), 0);
    std::atomic<bool> stop{false};
    std::thread watcher([&] {
        DevInfo out{};
        while (!stop) dev_data_read(DEV_TYPE_SERIAL_2, &out, false);
    });
    // The owner's reads clear the error state on every call.
    for (int i = 0; i < 20; ++i) {
        line.send(SimBytes{static_cast<uint8_t>('a' + i)});
        char byte = 0;
        uint32_t done = 0;
        EXPECT_EQ(sio_read_data(port, &byte, 1, &done), 0);
        EXPECT_EQ(byte, 'a' + i);
        uint32_t waiting = 9;
        EXPECT_EQ(sio_bytes_waiting(port, &waiting), 0);
    }
    stop = true;
    watcher.join();
    EXPECT_EQ(dev_remove_device(port), 0);
    sio_close(&port);
}
// The first device's poll stops the sweep once; the second always has data.
std::atomic<bool> g_stop_in_poll{false};
std::atomic<int> g_second_polls{0};
bool stopping_poll(void* handle, void*) {
    if (handle == fake_handle(0)) {
        if (g_stop_in_poll.exchange(false)) dev_stop_sweep();
        return false;
    }
    ++g_second_polls;
    return true;
}

TEST_F(DevPoll, StoppedSweepPollsNoFurtherDeviceAndTheNextRoundIsNormal) {
    dev_set_poll_function(DEV_POLL_CAN_QUEUE, &stopping_poll);
    ASSERT_EQ(dev_add_device(DEV_TYPE_CAN, fake_handle(0), nullptr), 0);
    ASSERT_EQ(dev_add_device(DEV_TYPE_CAN, fake_handle(1), nullptr), 0);
    g_second_polls = 0;
    g_stop_in_poll = true;
    // The stop comes between the two polls of one sweep: the device with
    // data is not reached, the round ends with nothing.
    EXPECT_EQ(dev_data_read(DEV_TYPE_CAN, nullptr, false), DEV_NO_DATA);
    EXPECT_EQ(g_second_polls.load(), 0);
    // A stop outside any round is forgotten when the next one starts (a
    // waiting read: on a fast clock one round may end before the worker
    // reaches the second device).
    dev_stop_sweep();
    DevInfo found{};
    EXPECT_EQ(dev_data_read(DEV_TYPE_CAN, &found, true), DEV_TYPE_CAN);
    EXPECT_EQ(found.handle, fake_handle(1));
    EXPECT_GE(g_second_polls.load(), 1);
    // A waiting read whose round is stopped goes on to find the data.
    g_stop_in_poll = true;
    EXPECT_EQ(dev_data_read(DEV_TYPE_CAN, &found, true), DEV_TYPE_CAN);
    EXPECT_EQ(found.handle, fake_handle(1));
    dev_close_cntrl();
    dev_stop_sweep();  // nothing to stop once closed
}

}  // namespace
