// The simulated bridge library driven through its CAN_* entries: bridges on
// the network, nodes, SDO transfers and their scripted faults, the transcript.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "common/testing/child_process.h"
#include "platform/clock.h"
#include "sim/can/simcan_fixture.h"

namespace {

TEST_F(SimCanTest, EveryEntryIsExported) {
#define SIMCAN_TEST_CHECK(name) EXPECT_NE(reinterpret_cast<void*>(api.name), nullptr) << #name;
    CAN_ENTRY_LIST(SIMCAN_TEST_CHECK)
#undef SIMCAN_TEST_CHECK
}

TEST_F(SimCanTest, EnumerationFindsBridgesFromTheirTurnAndHonoursOverrides) {
    const uint8_t mac[6] = {1, 2, 3, 4, 5, 6};
    const uint8_t ip[4] = {10, 0, 0, 7};
    int late = sim->simcan_bridge_add(mac, ip);
    ASSERT_EQ(late, 1);
    ASSERT_TRUE(sim->simcan_bridge_found_from(late, 3));
    CanBridgeEntry entries[CAN_MAX_BRIDGES] = {};
    EXPECT_EQ(api.CAN_EnumerateBridges(entries, CAN_MAX_BRIDGES), 1);
    EXPECT_EQ(api.CAN_EnumerateBridges(entries, CAN_MAX_BRIDGES), 1);
    EXPECT_EQ(api.CAN_EnumerateBridges(entries, CAN_MAX_BRIDGES), 2);
    EXPECT_EQ(0, std::memcmp(entries[1].mac, mac, 6));
    EXPECT_EQ(0, std::memcmp(entries[1].ipv4, ip, 4));

    // Overrides: the count returned, never more entries than the caller has.
    for (int32_t count : {-1, 0, 128, 200}) {
        sim->simcan_set_enumeration_result(count);
        CanBridgeEntry small[2] = {};
        EXPECT_EQ(api.CAN_EnumerateBridges(small, 1), count);
        EXPECT_EQ(small[1].ipv4[0], 0);
    }
    sim->simcan_set_enumeration_result(SIMCAN_ENUM_NATURAL);
    EXPECT_EQ(api.CAN_EnumerateBridges(entries, CAN_MAX_BRIDGES), 2);

    // The network holds a bounded number of bridges.
    while (sim->simcan_bridge_add(mac, ip) >= 0) {
    }
    EXPECT_EQ(api.CAN_EnumerateBridges(entries, CAN_MAX_BRIDGES), SIMCAN_MAX_BRIDGES);
}

TEST_F(SimCanTest, EverythingButConnectFailsWhileDisconnected) {
    uint8_t major = 0, minor = 0, node = 0, states[CAN_NODE_COUNT];
    uint32_t rate = 0, error = 0;
    CanPdoRecord pdo{};
    CanSdoStatus status{};
    EXPECT_EQ(api.CAN_GetFirmwareVersion(&major, &minor), CAN_ERR_NOT_CONNECTED);
    EXPECT_EQ(api.CAN_GetBridgeConfiguration(&node, &rate), CAN_ERR_NOT_CONNECTED);
    EXPECT_EQ(api.CAN_SetBridgeConfiguration(127, 1000), CAN_ERR_NOT_CONNECTED);
    EXPECT_EQ(api.CAN_GetLastBridgeError(&error), CAN_ERR_NOT_CONNECTED);
    EXPECT_EQ(api.CAN_ResetBridge(), CAN_ERR_NOT_CONNECTED);
    EXPECT_EQ(api.CAN_EnumerateNodes(states), CAN_ERR_NOT_CONNECTED);
    EXPECT_EQ(api.CAN_FindNode(127, &node), CAN_ERR_NOT_CONNECTED);
    EXPECT_EQ(api.CAN_GetNodeState(127, &node), CAN_ERR_NOT_CONNECTED);
    EXPECT_EQ(api.CAN_SDORead(127, 0x2010, 1, &node, 1, &status), CAN_ERR_NOT_CONNECTED);
    EXPECT_EQ(api.CAN_RegisterPDO(&pdo), CAN_ERR_NOT_CONNECTED);
    EXPECT_EQ(api.CAN_GetPDO(&pdo), CAN_ERR_NOT_CONNECTED);
    EXPECT_EQ(api.CAN_Connect(simcan_ip(192, 168, 10, 21)), CAN_ERR_GENERAL);
    connect();
    EXPECT_EQ(api.CAN_GetFirmwareVersion(&major, &minor), CAN_OK);
    EXPECT_EQ(major, 1);
    EXPECT_EQ(minor, 12);
}

TEST_F(SimCanTest, ConfigurationTakesEffectAtTheNextConnection) {
    ASSERT_TRUE(sim->simcan_bridge_set_config(0, 5, 250));
    connect();
    ASSERT_EQ(api.CAN_SetBridgeConfiguration(127, 1000), CAN_OK);
    uint8_t node = 0;
    uint32_t rate = 0;
    ASSERT_EQ(api.CAN_GetBridgeConfiguration(&node, &rate), CAN_OK);
    EXPECT_EQ(node, 5);
    EXPECT_EQ(rate, 250u);
    connect();
    ASSERT_EQ(api.CAN_GetBridgeConfiguration(&node, &rate), CAN_OK);
    EXPECT_EQ(node, 127);
    EXPECT_EQ(rate, 1000u);
    EXPECT_EQ(sim->simcan_bridge_connects(0), 2);
}

TEST_F(SimCanTest, LatchedErrorForSomeReadsOrAlwaysAndResetDropsTheConnection) {
    connect();
    ASSERT_TRUE(sim->simcan_bridge_latch_error(0, 0x40, 2));
    uint32_t error = 0;
    for (uint32_t expected : {0x40u, 0x40u, 0u, 0u}) {
        ASSERT_EQ(api.CAN_GetLastBridgeError(&error), CAN_OK);
        EXPECT_EQ(error, expected);
    }
    ASSERT_TRUE(sim->simcan_bridge_latch_error(0, 0x11, -1));
    for (int i = 0; i < 12; ++i) {
        ASSERT_EQ(api.CAN_GetLastBridgeError(&error), CAN_OK);
        EXPECT_EQ(error, 0x11u);
        ASSERT_EQ(api.CAN_ResetBridge(), CAN_OK);
        EXPECT_EQ(sim->simcan_connected_bridge(), -1);
        EXPECT_EQ(api.CAN_GetLastBridgeError(&error), CAN_ERR_NOT_CONNECTED);
        connect();
    }
    EXPECT_EQ(sim->simcan_bridge_resets(0), 12);

    sim->simcan_set_reset_drops_connection(false);
    ASSERT_EQ(api.CAN_ResetBridge(), CAN_OK);
    EXPECT_EQ(sim->simcan_connected_bridge(), 0);
}

TEST_F(SimCanTest, NodesPresenceFindStatusAndStates) {
    connect();
    ASSERT_TRUE(sim->simcan_node_add(61, 0x11, 0x10002));
    ASSERT_TRUE(sim->simcan_node_add(127, 0, 0));
    EXPECT_FALSE(sim->simcan_node_add(128, 0, 0));
    ASSERT_TRUE(sim->simcan_node_add(64, 0x22, 0));
    ASSERT_TRUE(sim->simcan_node_set_present(64, false));
    uint8_t states[CAN_NODE_COUNT];
    ASSERT_EQ(api.CAN_EnumerateNodes(states), CAN_OK);
    for (int id = 0; id < CAN_NODE_COUNT; ++id)
        EXPECT_EQ(states[id], id == 61 || id == 127 ? CAN_NODE_PRESENT : 0) << id;

    uint8_t status = 9;
    ASSERT_EQ(api.CAN_FindNode(61, &status), CAN_OK);
    EXPECT_EQ(status, CAN_NODE_PRESENT);
    ASSERT_EQ(api.CAN_FindNode(64, &status), CAN_OK);
    EXPECT_EQ(status, 0);
    ASSERT_TRUE(sim->simcan_node_set_find_status(61, 1));
    ASSERT_EQ(api.CAN_FindNode(61, &status), CAN_OK);
    EXPECT_EQ(status, 1);

    ASSERT_TRUE(sim->simcan_node_set_not_operational(61, 127, 3));
    uint8_t state = 0;
    for (uint8_t expected : {127, 127, 127, 2, 2}) {
        ASSERT_EQ(api.CAN_GetNodeState(61, &state), CAN_OK);
        EXPECT_EQ(state, expected);
    }
    // An absent node does not answer.
    CanSdoStatus sdo{};
    uint8_t byte = 0;
    EXPECT_EQ(api.CAN_SDORead(64, 0x1001, 0, &byte, 1, &sdo), CAN_ERR_TIMEOUT);
    EXPECT_EQ(api.CAN_SDORead(99, 0x1001, 0, &byte, 1, &sdo), CAN_ERR_TIMEOUT);
    ASSERT_TRUE(sim->simcan_node_set_error_register(61, 0x81));
    ASSERT_EQ(api.CAN_SDORead(61, 0x1001, 0, &byte, 1, &sdo), CAN_OK);
    EXPECT_EQ(byte, 0x81);
}

TEST_F(SimCanTest, SdoTransfersAndTheirAborts) {
    connect();
    ASSERT_TRUE(sim->simcan_node_add(61, 0x1234, 0x00010002));
    uint16_t level = 0x0FFF;
    ASSERT_TRUE(sim->simcan_object_add(61, 0x2001, 0, 2, SIMCAN_READ_WRITE, &level));
    ASSERT_TRUE(sim->simcan_object_add(61, 0x2010, 0, 1, SIMCAN_READ, nullptr));
    ASSERT_TRUE(sim->simcan_object_add(61, 0x2011, 0, 1, SIMCAN_WRITE, nullptr));
    ASSERT_TRUE(
        sim->simcan_object_add(61, 0x2012, 0, 4, SIMCAN_WRITE | SIMCAN_VARIABLE_SIZE, nullptr));
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

    // Sizes on each side of the object's, access, missing objects.
    uint8_t buffer[8] = {};
    for (uint32_t size : {1u, 3u}) {
        status = {};
        EXPECT_EQ(api.CAN_SDORead(61, 0x2001, 0, buffer, size, &status), CAN_OK);
        EXPECT_NE(status.result, CAN_SDO_SUCCESS);
        EXPECT_EQ(status.abortCode, 0x06070010u) << size;
        EXPECT_EQ(api.CAN_SDOWrite(61, 0x2001, 0, buffer, size, &status), CAN_OK);
        EXPECT_EQ(status.abortCode, 0x06070010u) << size;
    }
    ASSERT_TRUE(sim->simcan_object_get(61, 0x2001, 0, &level, 2));
    EXPECT_EQ(level, 0x03E8);
    EXPECT_EQ(api.CAN_SDORead(61, 0x2002, 0, &value, 2, &status), CAN_OK);
    EXPECT_EQ(status.abortCode, 0x06020000u);
    EXPECT_EQ(api.CAN_SDOWrite(61, 0x2010, 0, buffer, 1, &status), CAN_OK);
    EXPECT_EQ(status.abortCode, 0x06010002u);
    EXPECT_EQ(api.CAN_SDORead(61, 0x2011, 0, buffer, 1, &status), CAN_OK);
    EXPECT_EQ(status.abortCode, 0x06010001u);
    for (uint32_t size : {0u, 1u, 4u, 5u}) {
        status = {};
        EXPECT_EQ(api.CAN_SDOWrite(61, 0x2012, 0, buffer, size, &status), CAN_OK);
        EXPECT_EQ(status.result == CAN_SDO_SUCCESS, size == 1 || size == 4) << size;
    }

    uint32_t product = 0;
    ASSERT_EQ(api.CAN_SDORead(61, 0x1018, 2, &product, 4, &status), CAN_OK);
    EXPECT_EQ(product, 0x1234u);
}

TEST_F(SimCanTest, ScriptedFaultsMatchCountAndPassThrough) {
    connect();
    sim->simcan_sdo_fault(127, 0x2010, 1, SIMCAN_DIR_READ, CAN_OK, 0x06090011, 0, 2);
    sim->simcan_sdo_fault(SIMCAN_ANY, SIMCAN_ANY, SIMCAN_ANY, SIMCAN_DIR_WRITE,
                          CAN_ERR_TCP_TRANSMISSION, 0, 0, 1);
    CanSdoStatus status{};
    uint8_t byte = 0;
    for (uint32_t expected : {0x06090011u, 0x06090011u, 0u}) {
        status = {};
        ASSERT_EQ(api.CAN_SDORead(127, 0x2010, 1, &byte, 1, &status), CAN_OK);
        EXPECT_EQ(status.abortCode, expected);
        EXPECT_EQ(status.result == CAN_SDO_SUCCESS, expected == 0);
    }
    EXPECT_EQ(byte, 0x08);
    EXPECT_EQ(api.CAN_SDOWrite(127, 0x6200, 1, &byte, 1, &status), CAN_ERR_TCP_TRANSMISSION);
    EXPECT_EQ(api.CAN_SDOWrite(127, 0x6200, 1, &byte, 1, &status), CAN_OK);
    EXPECT_EQ(status.result, CAN_SDO_SUCCESS);

    // Always, until cleared; a failed write leaves the value.
    sim->simcan_sdo_fault(127, 0x6200, 1, SIMCAN_ANY, CAN_ERR_TIMEOUT, 0, 0, -1);
    uint8_t other = 0x55;
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(api.CAN_SDOWrite(127, 0x6200, 1, &other, 1, &status), CAN_ERR_TIMEOUT);
    ASSERT_TRUE(sim->simcan_object_get(127, 0x6200, 1, &other, 1));
    EXPECT_EQ(other, 0x08);
    sim->simcan_sdo_faults_clear();
    EXPECT_EQ(api.CAN_SDORead(127, 0x6200, 1, &byte, 1, &status), CAN_OK);
}

TEST_F(SimCanTest, DelayRunsOnTheSharedScaledClock) {
    EXPECT_EQ(
        run_in_child([this] {
            plat_set_clock_scale(50);
            CHILD_REQUIRE(api.CAN_Connect(simcan_ip(192, 168, 10, 20)) == CAN_OK);
            sim->simcan_sdo_fault(127, SIMCAN_ANY, SIMCAN_ANY, SIMCAN_ANY, CAN_ERR_TIMEOUT, 0, 2000,
                                  1);
            uint8_t byte = 0;
            CanSdoStatus status{};
            auto real = std::chrono::steady_clock::now();
            int64_t start = plat_clock_ms();
            CHILD_REQUIRE(api.CAN_SDORead(127, 0x2010, 1, &byte, 1, &status) == CAN_ERR_TIMEOUT);
            int64_t elapsed = plat_clock_ms() - start;
            auto realMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now() - real)
                              .count();
            CHILD_REQUIRE(elapsed >= 2000);
            // 40 ms at scale 50; far less than the 2 s of an unscaled clock.
            CHILD_REQUIRE(realMs < 1500);
            return 0;
        }),
        0);
}

uint32_t g_hookCalls = 0;

// Refuses writes of 0xEE; doubles what is read; calls back into the library.
uint32_t test_hook(void* context, uint8_t node, uint16_t index, uint8_t sub, bool write,
                   uint8_t* data, uint32_t) {
    ++g_hookCalls;
    SimCan* sim = static_cast<SimCan*>(context);
    uint8_t current = 0;
    sim->simcan_object_get(node, index, sub, &current, 1);
    if (write) return data[0] == 0xEE ? 0x08000020 : 0;
    data[0] = static_cast<uint8_t>(current * 2);
    return 0;
}

TEST_F(SimCanTest, HooksSeeTransfersWithoutALockAndMayRefuseThem) {
    connect();
    ASSERT_TRUE(sim->simcan_node_add(70, 1, 1));
    uint8_t initial = 3;
    ASSERT_TRUE(sim->simcan_object_add(70, 0x2000, 0, 1, SIMCAN_READ_WRITE, &initial));
    ASSERT_TRUE(sim->simcan_object_hook(70, 0x2000, 0, test_hook, sim));
    g_hookCalls = 0;
    CanSdoStatus status{};
    uint8_t byte = 0;
    ASSERT_EQ(api.CAN_SDORead(70, 0x2000, 0, &byte, 1, &status), CAN_OK);
    EXPECT_EQ(byte, 6);
    byte = 0xEE;
    ASSERT_EQ(api.CAN_SDOWrite(70, 0x2000, 0, &byte, 1, &status), CAN_OK);
    EXPECT_EQ(status.abortCode, 0x08000020u);
    ASSERT_TRUE(sim->simcan_object_get(70, 0x2000, 0, &byte, 1));
    EXPECT_EQ(byte, 6);
    // Not called for a transfer refused by size.
    uint16_t wide = 0;
    ASSERT_EQ(api.CAN_SDORead(70, 0x2000, 0, &wide, 2, &status), CAN_OK);
    EXPECT_EQ(g_hookCalls, 2u);
}

TEST_F(SimCanTest, ConcurrentTransfersEachSeeTheirOwnObject) {
    connect();
    ASSERT_TRUE(sim->simcan_node_add(66, 1, 1));
    constexpr int kThreads = 4;
    constexpr int kRounds = 300;
    for (int t = 0; t < kThreads; ++t)
        ASSERT_TRUE(
            sim->simcan_object_add(66, static_cast<uint16_t>(0x3000 + t), 0, 4, 3, nullptr));
    sim->simcan_sdo_fault(66, 0x3000, 0, SIMCAN_DIR_READ, CAN_ERR_TCP_TRANSMISSION, 0, 0, 50);
    std::atomic<int> wrong{0}, failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            uint16_t index = static_cast<uint16_t>(0x3000 + t);
            for (uint32_t i = 1; i <= kRounds; ++i) {
                CanSdoStatus status{};
                uint32_t value = i * 16 + t, back = 0;
                if (api.CAN_SDOWrite(66, index, 0, &value, 4, &status) != CAN_OK) ++wrong;
                int32_t result = api.CAN_SDORead(66, index, 0, &back, 4, &status);
                if (result == CAN_ERR_TCP_TRANSMISSION)
                    ++failed;
                else if (result != CAN_OK || back != value)
                    ++wrong;
            }
        });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(failed.load(), 50);
    EXPECT_EQ(simcan_sdo_transcript().size(), static_cast<size_t>(kThreads * kRounds * 2));
}

TEST_F(SimCanTest, TranscriptRecordsTransfersInOrderWithTheirBytes) {
    connect();
    sim->simcan_transcript_clear();
    CanSdoStatus status{};
    std::vector<uint8_t> block(32768);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7);
    ASSERT_EQ(api.CAN_SDOWrite(127, 0x2004, 5, block.data(), 32768, &status), CAN_OK);
    uint8_t byte = 0;
    sim->simcan_sdo_fault(127, 0x2010, 1, SIMCAN_ANY, CAN_OK, 0x06090011, 0, 1);
    ASSERT_EQ(api.CAN_SDORead(127, 0x2010, 1, &byte, 1, &status), CAN_OK);
    uint8_t major, minor;
    ASSERT_EQ(api.CAN_GetFirmwareVersion(&major, &minor), CAN_OK);

    std::vector<SimCanRecord> records = simcan_transcript();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].kind, SIMCAN_REC_SDO);
    EXPECT_EQ(records[0].node, 127);
    EXPECT_EQ(records[0].index, 0x2004);
    EXPECT_EQ(records[0].subIndex, 5);
    EXPECT_EQ(records[0].direction, SIMCAN_DIR_WRITE);
    EXPECT_EQ(records[0].size, 32768u);
    EXPECT_EQ(records[0].result, CAN_OK);
    EXPECT_EQ(simcan_record_bytes(0), block);
    EXPECT_EQ(records[1].direction, SIMCAN_DIR_READ);
    EXPECT_EQ(records[1].abortCode, 0x06090011u);
    EXPECT_TRUE(simcan_record_bytes(1).empty());
    EXPECT_EQ(records[2].kind, SIMCAN_REC_CALL);
    EXPECT_STREQ(records[2].name, "CAN_GetFirmwareVersion");
    EXPECT_LE(records[0].timeMs, records[1].timeMs);
    EXPECT_LE(records[1].timeMs, records[2].timeMs);
    EXPECT_EQ(records[2].entry, 2);
}

TEST_F(SimCanTest, TranscriptKeepsItsFirstHundredThousandEntries) {
    connect();
    sim->simcan_transcript_clear();
    uint8_t status = 0;
    for (int i = 0; i < 99999; ++i) api.CAN_FindNode(127, &status);
    EXPECT_EQ(sim->simcan_transcript_count(), 99999);
    api.CAN_FindNode(127, &status);
    EXPECT_EQ(sim->simcan_transcript_count(), 100000);
    api.CAN_FindNode(127, &status);
    EXPECT_EQ(sim->simcan_transcript_count(), 100000);
    sim->simcan_transcript_clear();
    api.CAN_FindNode(127, &status);
    EXPECT_EQ(sim->simcan_transcript_count(), 1);
}

}  // namespace
