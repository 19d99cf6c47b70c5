#include "common/status.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <thread>

#include "platform/syserr.h"

TEST(ErrorName, SuccessAndTableBounds) {
    EXPECT_STREQ(u_error_name(0), "NO_ERROR");
    EXPECT_STREQ(u_error_name(1), "ERR_AC_CANT_AGC");
    EXPECT_STREQ(u_error_name(462), "ERR_ZOOM_TIMEOUT");
    EXPECT_STREQ(u_error_names[0], "");
}

TEST(ErrorName, OutOfRangeCodesAreNamedByNumber) {
    EXPECT_STREQ(u_error_name(463), "invalid error number 463");
    EXPECT_STREQ(u_error_name(-1), "invalid error number -1");
    EXPECT_STREQ(u_error_name(INT32_MIN), "invalid error number -2147483648");
}

// The numbering is external behaviour: the table keeps its own, unsorted order.
TEST(ErrorName, CodesKeepTheTableOrder) {
    EXPECT_STREQ(u_error_name(20), "ERR_ASPHERE_CANT_CREATE_JOB_FILE");
    EXPECT_STREQ(u_error_name(26), "ERR_ASPHERE_INVALID_JOB_VAL");
    EXPECT_STREQ(u_error_name(27), "ERR_ALL_BAD_DATA");
    EXPECT_STREQ(u_error_name(130), "ERR_CLOSE_THREAD_HANDLE");
    EXPECT_STREQ(u_error_name(131), "ERR_CHIRP_NO_VAL_CAL_PIXELS");
    EXPECT_STREQ(u_error_name(116), "ERR_CANT_CREATE_FILE");
    EXPECT_STREQ(u_error_name(134), "ERR_CORRUPT_DATA_FILE");
    EXPECT_STREQ(u_error_name(247), "ERR_LATERAL_RES_UNKNOWN");
    EXPECT_EQ(ERR_KORVATEN_ABORTED, 308);
    EXPECT_EQ(ERR_FILE_IO, 166);
}

TEST(ErrorName, EveryCodeHasItsOwnName) {
    std::set<std::string> names;
    for (int code = 1; code <= U_STATUS_CODE_MAX; ++code) {
        std::string name = u_error_name(code);
        EXPECT_EQ(name, u_error_names[code]);
        EXPECT_EQ(name.rfind("ERR_", 0), 0u) << code;
        names.insert(name);
    }
    EXPECT_EQ(names.size(), 462u);
}

// Worker threads print names too: one thread's call must not change the text
// another thread is still printing.
TEST(ErrorName, EachThreadHasItsOwnText) {
    const char* mine = u_error_name(116);
    const char* phase = u_phase_res_name(1);
    std::string other_name, other_phase;
    std::thread worker([&] {
        for (int i = 0; i < 1000; ++i) u_error_name(1 + i % 462);
        other_name = u_error_name(-7);
        other_phase = u_phase_res_name(2);
    });
    worker.join();
    EXPECT_STREQ(mine, "ERR_CANT_CREATE_FILE");
    EXPECT_STREQ(phase, "HI (1)");
    EXPECT_EQ(other_name, "invalid error number -7");
    EXPECT_EQ(other_phase, "SUPER (2)");
}

TEST(PhaseResName, NamesAndValue) {
    EXPECT_STREQ(u_phase_res_name(0), "LO (0)");
    EXPECT_STREQ(u_phase_res_name(1), "HI (1)");
    EXPECT_STREQ(u_phase_res_name(2), "SUPER (2)");
    EXPECT_STREQ(u_phase_res_name(7), "UNKNOWN (7)");
    EXPECT_STREQ(u_phase_res_name(-1), "UNKNOWN (-1)");
}

TEST(SystemErrorText, KnownCodeGivesTheSystemText) {
    char text[512];
    u_system_error_text(ENOENT, text);
    // The system's own wording, without its line end.
    char system[512];
    ASSERT_TRUE(plat_system_error_message(ENOENT, system, sizeof system));
    std::string expected = system;
    while (!expected.empty() && (expected.back() == '\n' || expected.back() == '\r'))
        expected.pop_back();
    EXPECT_EQ(std::string(text), expected);
    EXPECT_EQ(std::strchr(text, '\n'), nullptr);
}

TEST(SystemErrorText, UnknownCodeGivesTheHexFallback) {
    char text[512];
    std::memset(text, 'x', sizeof text);
    u_system_error_text(0x1234ABCD, text);
    EXPECT_STREQ(text, "System error code 0x1234ABCD");
    u_system_error_text(100000, text);
    EXPECT_STREQ(text, "System error code 0x000186A0");
}
