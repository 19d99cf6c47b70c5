// Fixture of the simulated bridge library's tests: the library's CAN_* entries
// as the program's loader resolves them, a fresh simulation for each test.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "platform/process.h"
#include "sim/can/testing/simcan_session.h"

struct SimCanApi {
#define SIMCAN_FIXTURE_MEMBER(name) name##_t name = reinterpret_cast<name##_t>(simcan_entry(#name));
    CAN_ENTRY_LIST(SIMCAN_FIXTURE_MEMBER)
#undef SIMCAN_FIXTURE_MEMBER
};

inline uint32_t simcan_ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    const uint8_t bytes[4] = {a, b, c, d};
    uint32_t ip;
    std::memcpy(&ip, bytes, 4);
    return ip;
}

// Threads of this process.
inline int simcan_thread_count() {
    return plat_process_thread_count();
}

// The thread count once it has come down to `want`, or what it is after 5 s
// of real time. A joined thread can stay listed for a moment after its join
// returns (the kernel still reaps it), so a count taken at once may be one high.
inline int simcan_thread_count_settled(int want) {
    int count = simcan_thread_count();
    for (int i = 0; i < 5000 && count > want; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        count = simcan_thread_count();
    }
    return count;
}

class SimCanTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim = simcan_session();
        ASSERT_NE(sim, nullptr);
        simcan_session_reset();
    }
    void TearDown() override { simcan_session_reset(); }

    // Connects to the default bridge (192.168.10.20).
    void connect() { ASSERT_EQ(api.CAN_Connect(simcan_ip(192, 168, 10, 20)), CAN_OK); }

    SimCan* sim = nullptr;
    SimCanApi api;
};
