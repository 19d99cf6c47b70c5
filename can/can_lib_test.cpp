#include "can/can_lib.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "can/can_lib_testing.h"
#include "can/can_sdo.h"
#include "common/status.h"
#include "common/testing/capture_sink.h"
#include "common/testing/child_process.h"
#include "common/testing/temp_dir.h"
#include "config/sysinfo.h"
#include "platform/dynlib.h"
#include "sim/can/testing/simcan_session.h"

namespace {

namespace fs = std::filesystem;

TEST(CanLib, ResultCodesMapToStatusCodes) {
    EXPECT_EQ(can_canerr_to_error(1), NO_ERROR);
    EXPECT_EQ(can_canerr_to_error(-1), ERR_CAN_ERROR);
    EXPECT_EQ(can_canerr_to_error(-2), ERR_CAN_NOT_CONNECTED);
    EXPECT_EQ(can_canerr_to_error(-3), ERR_CAN_TIMEOUT);
    EXPECT_EQ(can_canerr_to_error(-4), ERR_CAN_TCP_TRANSMISSION_ERROR);
    EXPECT_EQ(can_canerr_to_error(-5), ERR_CAN_BUFFER_TOO_SMALL);
    EXPECT_EQ(can_canerr_to_error(-6), ERR_CAN_NO_PDO);
    // Next to the table on both sides.
    EXPECT_EQ(can_canerr_to_error(0), ERR_UNKNOWN);
    EXPECT_EQ(can_canerr_to_error(2), ERR_UNKNOWN);
    EXPECT_EQ(can_canerr_to_error(-7), ERR_UNKNOWN);
}

// The loader keeps what it loaded for the process: each case runs in a child.

TEST(CanLib, MissingLibraryIsReportedAndTriedAgainAtTheNextCall) {
    EXPECT_EQ(run_in_child([] {
                  can_api_forget_for_test();
                  TempDir empty;
                  plat_library_set_directory(empty.path().c_str());
                  CapturedMessages messages;
                  CHILD_REQUIRE(can_api() == nullptr);
                  CHILD_REQUIRE(messages.text() ==
                                "Error: 126 in loading CAN bridge library PrynCANopen.dll.\n");
                  SystemInfo info;
                  info.instrBdType = SB_BOARD_CAN;
                  uint8_t status = 0;
                  CHILD_REQUIRE(can_read_bridge_status(&info, &status) == ERR_CAN_NOT_AVAIL);
                  int major = 7, minor = 7;
                  CHILD_REQUIRE(!can_get_library_version(&major, &minor));
                  CHILD_REQUIRE(major == 0 && minor == 0);
                  // The library appears: the next call loads it.
                  plat_library_set_directory(simcan_library_directory());
                  CHILD_REQUIRE(can_api() != nullptr);
                  return 0;
              }),
              0);
}

TEST(CanLib, MissingEntryIsReportedWithItsName) {
    EXPECT_EQ(run_in_child([] {
                  can_api_forget_for_test();
                  // A library of another kind under the bridge library's name.
                  TempDir dir;
                  fs::copy_file(fs::path(SURF_BINARY_DIR) / "platform" /
                                    plat_library_file_name("surfplatform.dll"),
                                dir.file(plat_library_file_name("PrynCANopen.dll")));
                  plat_library_set_directory(dir.path().c_str());
                  CapturedMessages messages;
                  CHILD_REQUIRE(can_api() == nullptr);
                  CHILD_REQUIRE(messages.text() ==
                                "Error: 127 in loading CAN bridge library "
                                "PrynCANopen.dll entry CAN_EnumerateBridges.\n");
                  return 0;
              }),
              0);
}

TEST(CanLib, VersionFromTheLibrarysFileName) {
    EXPECT_EQ(run_in_child([] {
                  can_api_forget_for_test();
                  plat_library_set_directory(simcan_library_directory());
                  int major = 0, minor = 0;
                  CHILD_REQUIRE(can_get_library_version(&major, &minor));
                  CHILD_REQUIRE(major == 2 && minor == 7);
                  return 0;
              }),
              0);
}

TEST(CanLib, ACopyUnderThePlainNameHasNoVersion) {
    if (plat_library_file_name("A.dll") == "A.dll")
        GTEST_SKIP() << "the version is in the file's version resource here, and travels with it";
    EXPECT_EQ(run_in_child([] {
                  can_api_forget_for_test();
                  TempDir dir;
                  fs::path real =
                      fs::canonical(fs::path(simcan_library_directory()) / "libPrynCANopen.so");
                  fs::copy_file(real, dir.file("libPrynCANopen.so"));
                  plat_library_set_directory(dir.path().c_str());
                  int major = 9, minor = 9;
                  CHILD_REQUIRE(can_get_library_version(&major, &minor));
                  CHILD_REQUIRE(major == 0 && minor == 0);
                  return 0;
              }),
              0);
}

TEST(CanLib, FirstUseFromSeveralThreadsLoadsOnce) {
    EXPECT_EQ(run_in_child([] {
                  can_api_forget_for_test();
                  plat_library_set_directory(simcan_library_directory());
                  const CanApi* seen[4] = {};
                  std::vector<std::thread> threads;
                  for (const CanApi*& slot : seen)
                      threads.emplace_back([&slot] { slot = can_api(); });
                  for (std::thread& t : threads) t.join();
                  for (const CanApi* api : seen) CHILD_REQUIRE(api != nullptr && api == seen[0]);
                  CHILD_REQUIRE(seen[0]->CAN_GetPDO != nullptr);
                  return 0;
              }),
              0);
}

}  // namespace
