// Reading the demo's scenario: what a shipped file gives, and that every
// mistake in one is refused with the line and the reason.
#include "tools/demo/scenario.h"

#include <gtest/gtest.h>

#include <string>

#include "common/testing/temp_dir.h"

namespace {

const std::string kMinimal =
    "[bridge]\nmac = 02 11 22 33 44 55\nip = 10.0.0.7\n"
    "[nodes]\n64 = 0x1064 4.3\n"
    "[wave_monitor]\n[camera]\n[eeprom]\n";

std::string parse_error(const std::string& text) {
    DemoScenario scenario;
    std::string error;
    EXPECT_FALSE(demo_parse_scenario(text, "s.ini", &scenario, &error)) << text;
    return error;
}

TEST(DemoScenario, ShippedDefaultDescribesTheType30Instrument) {
    DemoScenario s;
    std::string error;
    ASSERT_TRUE(demo_load_scenario(SURF_SOURCE_DIR "/tools/demo/scenarios/type30.ini", &s, &error))
        << error;
    EXPECT_EQ(s.instrument.systemType, 30);
    EXPECT_EQ(s.camera.camera, 29);
    EXPECT_EQ(s.camera.frameGrabber, 8);
    EXPECT_EQ(s.bridge.foundOnEnumeration, 3);
    EXPECT_EQ(s.bridge.latchedReads, 1);
    const uint8_t mac[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    EXPECT_EQ(std::string(s.bridge.mac, s.bridge.mac + 6), std::string(mac, mac + 6));
    EXPECT_EQ(s.bridge.ip[0], 10);
    EXPECT_EQ(s.bridge.ip[3], 7);
    ASSERT_EQ(s.nodes.count(64), 1u);
    EXPECT_EQ(s.nodes[64].version, 0x00040003u);
    EXPECT_EQ(s.nodes[64].params["home_ms"], 200);
    EXPECT_EQ(s.eeprom.board, 1);
}

TEST(DemoScenario, DefaultsFillWhatIsNotGivenAndCaseAndCommentsDoNotMatter) {
    DemoScenario s;
    std::string error;
    std::string text = "; comment\n# another\n" + kMinimal;
    text.replace(text.find("[camera]"), 8, "[CAMERA]\n  Light_Level=0  ");
    ASSERT_TRUE(demo_parse_scenario(text, "s.ini", &s, &error)) << error;
    EXPECT_EQ(s.camera.lightLevel, 0);
    ASSERT_TRUE(
        demo_parse_scenario(kMinimal + "[Instrument]\nSleep_Timeout = 5\n", "s.ini", &s, &error))
        << error;
    EXPECT_EQ(s.instrument.sleepTimeoutSeconds, 5);
    EXPECT_EQ(s.instrument.systemType, 30);
    EXPECT_EQ(s.bridge.status, DemoBridgeStatus::Ok);
    EXPECT_EQ(s.camera.width, 160);
}

TEST(DemoScenario, MissingSectionsAndKeysAreNamed) {
    for (const char* section : {"bridge", "nodes", "wave_monitor", "camera", "eeprom"}) {
        std::string text = kMinimal;
        const std::string header = std::string("[") + section + "]\n";
        std::size_t at = text.find(header);
        std::size_t next = text.find('[', at + 1);
        text.erase(at, (next == std::string::npos ? text.size() : next) - at);
        EXPECT_EQ(parse_error(text), std::string("s.ini: missing section [") + section + "]");
    }
    std::string noIp = kMinimal;
    noIp.erase(noIp.find("ip = 10.0.0.7\n"), 14);
    EXPECT_EQ(parse_error(noIp), "s.ini: [bridge] needs mac and ip");
    EXPECT_EQ(parse_error(kMinimal + "[nodes2]\n"), "s.ini:9: unknown section [nodes2]");
    EXPECT_EQ(parse_error("[camera]\nwidht = 200\n"), "s.ini:2: unknown key 'widht' in [camera]");
    EXPECT_EQ(parse_error("width = 200\n"), "s.ini:1: a value before the first section");
    EXPECT_EQ(parse_error("[camera\n"), "s.ini:1: expected [section]");
    EXPECT_EQ(parse_error("[camera]\nwidth 200\n"), "s.ini:2: expected key = value");
    EXPECT_EQ(parse_error("[camera]\nwidth = 200\nwidth = 300\n"),
              "s.ini:3: [camera] width given twice");
    EXPECT_EQ(parse_error(kMinimal + "[nodes]\n"), "s.ini:9: section [nodes] given twice");
    EXPECT_EQ(parse_error("[bridge]\nmac=02 11 22 33 44 55\nip=10.0.0.7\n[nodes]\n64.home_ms = 5\n"
                          "[wave_monitor]\n[camera]\n[eeprom]\n"),
              "s.ini: [nodes] parameters given for node 64, which has no product ID and version");
}

TEST(DemoScenario, BadValuesAreRefusedWithTheReason) {
    struct Case {
        const char* line;
        const char* error;
    };
    const Case bridge[] = {
        {"mac = 02 11 22 33 44", "mac: expected six hexadecimal bytes, not '02 11 22 33 44'"},
        {"mac = 02 11 22 33 44 5G", "mac: expected six hexadecimal bytes, not '02 11 22 33 44 5G'"},
        {"mac = 02 11 22 33 44 555",
         "mac: expected six hexadecimal bytes, not '02 11 22 33 44 555'"},
        {"ip = 10.0.0.256", "ip: expected an IPv4 address such as 10.0.0.7, not '10.0.0.256'"},
        {"ip = 10..0.7", "ip: expected an IPv4 address such as 10.0.0.7, not '10..0.7'"},
        {"firmware = 1", "firmware: expected major.minor, such as 1.12, not '1'"},
        {"status = tripped",
         "status: expected ok, -12V trip, +12V trip or external fault, not "
         "'tripped'"},
        // Three enumerations are all find_bridge makes; ten resets all it tries.
        {"found_on_enumeration = 4",
         "found_on_enumeration: expected a whole number from 1 to 3, "
         "not '4'"},
        {"found_on_enumeration = 0",
         "found_on_enumeration: expected a whole number from 1 to 3, "
         "not '0'"},
        {"latched_reads = 10", "latched_reads: expected a whole number from 0 to 9, not '10'"},
        {"latched_error = -1",
         "latched_error: expected a whole number from 0 to 4294967295, not '-1'"},
    };
    for (const Case& c : bridge)
        EXPECT_EQ(parse_error(std::string("[bridge]\n") + c.line + "\n"),
                  std::string("s.ini:2: [bridge] ") + c.error);
    EXPECT_EQ(parse_error("[camera]\nwidth = 47\n"),
              "s.ini:2: [camera] width: expected a whole number from 48 to 4096, not '47'");
    EXPECT_EQ(parse_error("[camera]\nlight_level = 65536\n"),
              "s.ini:2: [camera] light_level: expected a whole number from 0 to 65535, not "
              "'65536'");
    EXPECT_EQ(parse_error("[instrument]\nsleep_timeout = 0\n"),
              "s.ini:2: [instrument] sleep_timeout: expected a whole number from 1 to 3600, not "
              "'0'");
    EXPECT_EQ(parse_error("[wave_monitor]\ncalibrated = maybe\n"),
              "s.ini:2: [wave_monitor] calibrated: expected yes or no, not 'maybe'");
    EXPECT_EQ(parse_error("[wave_monitor]\nopd = nan\n"),
              "s.ini:2: [wave_monitor] opd: expected a number from 0 to 1e+06, not 'nan'");
    EXPECT_EQ(parse_error("[nodes]\n128 = 1 1.0\n"),
              "s.ini:2: [nodes] 128: expected a node ID from 1 to 127, not '1 1.0'");
    EXPECT_EQ(parse_error("[nodes]\n64 = 0x1064\n"),
              "s.ini:2: [nodes] 64: expected the product ID and the version, such as 0x12345678 "
              "4.3, not '0x1064'");
    EXPECT_EQ(parse_error("[nodes]\n64. = 3\n"),
              "s.ini:2: [nodes] 64.: expected a parameter name after the node ID, not '3'");
}

TEST(DemoScenario, UnreadableFilesAreRefused) {
    DemoScenario s;
    std::string error;
    TempDir dir;
    EXPECT_FALSE(demo_load_scenario(dir.file("none.ini"), &s, &error));
    EXPECT_EQ(error, dir.file("none.ini") + ": cannot open the scenario");
    EXPECT_FALSE(demo_load_scenario(dir.path(), &s, &error));  // a directory
    EXPECT_EQ(error, dir.path() + ": cannot open the scenario");
    write_file(dir.file("big.ini"), std::string(2 << 20, ';'));
    EXPECT_FALSE(demo_load_scenario(dir.file("big.ini"), &s, &error));
    EXPECT_EQ(error, dir.file("big.ini") + ": scenario too large");
}

}  // namespace
