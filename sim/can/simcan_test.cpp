// The simulated bridge library, driven through its CAN_* entries the way the
// program's loader resolves them.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/clock.h"
#include "sim/can/testing/simcan_session.h"

namespace {

struct Api {
#define SIMCAN_TEST_MEMBER(name) name##_t name = reinterpret_cast<name##_t>(simcan_entry(#name));
    CAN_ENTRY_LIST(SIMCAN_TEST_MEMBER)
#undef SIMCAN_TEST_MEMBER
};

class SimCanTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim = simcan_session();
        ASSERT_NE(sim, nullptr);
        simcan_session_reset();
    }
    void TearDown() override { simcan_session_reset(); }

    // Connects to the default bridge.
    void connect() {
        CanBridgeEntry entries[CAN_MAX_BRIDGES];
        ASSERT_EQ(api.CAN_EnumerateBridges(entries, CAN_MAX_BRIDGES), 1);
        uint32_t ip;
        std::memcpy(&ip, entries[0].ipv4, 4);
        ASSERT_EQ(api.CAN_Connect(ip), CAN_OK);
    }

    SimCan* sim = nullptr;
    Api api;
};

TEST_F(SimCanTest, EveryEntryIsExported) {
#define SIMCAN_TEST_CHECK(name) EXPECT_NE(reinterpret_cast<void*>(api.name), nullptr) << #name;
    CAN_ENTRY_LIST(SIMCAN_TEST_CHECK)
#undef SIMCAN_TEST_CHECK
}

TEST_F(SimCanTest, SdoTransfersAndTheirAborts) {
    connect();
    ASSERT_TRUE(sim->simcan_node_add(61, 0x1234, 0x00010002));
    uint16_t level = 0x0FFF;
    ASSERT_TRUE(sim->simcan_object_add(61, 0x2001, 0, 2, SIMCAN_READ_WRITE, &level));
    ASSERT_TRUE(sim->simcan_object_add(61, 0x2010, 0, 1, SIMCAN_READ, nullptr));
    CanSdoStatus status{};
    uint16_t value = 0;
    ASSERT_EQ(api.CAN_SDORead(61, 0x2001, 0, &value, 2, &status), CAN_OK);
    EXPECT_EQ(status.result, CAN_SDO_SUCCESS);
    EXPECT_EQ(value, 0x0FFF);
    value = 0x03E8;
    ASSERT_EQ(api.CAN_SDOWrite(61, 0x2001, 0, &value, 2, &status), CAN_OK);
    EXPECT_EQ(status.result, CAN_SDO_SUCCESS);
    ASSERT_TRUE(sim->simcan_object_get(61, 0x2001, 0, &level, 2));
    EXPECT_EQ(level, 0x03E8);

    uint32_t wide = 0;
    EXPECT_EQ(api.CAN_SDORead(61, 0x2001, 0, &wide, 4, &status), CAN_OK);
    EXPECT_NE(status.result, CAN_SDO_SUCCESS);
    EXPECT_EQ(status.abortCode, 0x06070010u);
    EXPECT_EQ(api.CAN_SDORead(61, 0x2001, 0, &wide, 1, &status), CAN_OK);
    EXPECT_EQ(status.abortCode, 0x06070010u);
    EXPECT_EQ(api.CAN_SDORead(61, 0x2002, 0, &value, 2, &status), CAN_OK);
    EXPECT_EQ(status.abortCode, 0x06020000u);
    uint8_t byte = 1;
    EXPECT_EQ(api.CAN_SDOWrite(61, 0x2010, 0, &byte, 1, &status), CAN_OK);
    EXPECT_EQ(status.abortCode, 0x06010002u);

    uint32_t product = 0;
    ASSERT_EQ(api.CAN_SDORead(61, 0x1018, 2, &product, 4, &status), CAN_OK);
    EXPECT_EQ(product, 0x1234u);
}

}  // namespace
