#include "config/zoomcal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "common/status.h"
#include "common/testing/capture_sink.h"
#include "common/testing/child_process.h"
#include "common/testing/temp_dir.h"
#include "config/sysinfo.h"

namespace {

class ZoomCalRead : public ::testing::Test {
  protected:
    void TearDown() override { zoom_cal_free(&table); }

    int read(const std::string& content) {
        path = dir.file("ZoomCal.txt");
        write_file(path, content);
        return zoom_cal_read(path.c_str(), &table, message);
    }
    std::string heading() const {
        return " Error reading QEL encoded zoom magnification calibration file \"" + path + "\" \n";
    }

    TempDir dir;
    std::string path;
    ZoomCalTable table{};
    char message[ZOOM_CAL_MSG_SIZE];
};

const char* const kExpected =
    " Expected two numbers (position and magnification) separated by a comma and/or space. \n";

TEST_F(ZoomCalRead, EachSeparatorFormAndWindowsLineEnds) {
    ASSERT_EQ(read("Position Magnification\r\n0 0.5\r\n100.5,1\r\n200, 2.25\r\n3e4 6"), 0)
        << message;
    EXPECT_STREQ(message, "");
    ASSERT_EQ(table.count, 4);
    EXPECT_EQ(table.points[0].position, 0);
    EXPECT_EQ(table.points[0].magnification, 0.5f);
    EXPECT_EQ(table.points[1].position, 100.5);
    EXPECT_EQ(table.points[2].magnification, 2.25f);
    EXPECT_EQ(table.points[3].position, 30000);
    EXPECT_EQ(table.points[3].magnification, 6.0f);
}

TEST_F(ZoomCalRead, TooFewPairsHaveNoLineNumber) {
    EXPECT_EQ(read("heading only\n"), ERR_QEL_ENC_ZOOM_INVALID_CAL_FILE);
    const std::string tooFew = " Too few position and magnification value pairs (minimum is 2) \n";
    EXPECT_EQ(message, heading() + tooFew);
    EXPECT_EQ(table.count, 0);
    EXPECT_EQ(table.points, nullptr);
    EXPECT_EQ(read(""), ERR_QEL_ENC_ZOOM_INVALID_CAL_FILE);
    EXPECT_EQ(message, heading() + tooFew);
    EXPECT_EQ(read("h\n1 1\n"), ERR_QEL_ENC_ZOOM_INVALID_CAL_FILE);
    EXPECT_EQ(message, heading() + tooFew);
}

TEST_F(ZoomCalRead, LineErrorsNameTheirLine) {
    EXPECT_EQ(read("h\n\n1 1\n"), ERR_QEL_ENC_ZOOM_INVALID_CAL_FILE);
    EXPECT_EQ(message, heading() + kExpected + " Error in line 2 \n");

    EXPECT_EQ(read("h\n1 1\r\n2 1\n"), ERR_QEL_ENC_ZOOM_INVALID_CAL_FILE);
    EXPECT_EQ(message, heading() +
                           " Magnification values are not in strictly increasing order. \n"
                           " Error in line 3: \n  2 1 \n");
    EXPECT_EQ(table.points, nullptr);

    EXPECT_EQ(read("h\n5 1\n5 2\n"), ERR_QEL_ENC_ZOOM_INVALID_CAL_FILE);
    EXPECT_EQ(message, heading() +
                           " Position values are not in strictly increasing order. \n"
                           " Error in line 3: \n  5 2 \n");

    EXPECT_EQ(read("h\n1 ;2\n"), ERR_QEL_ENC_ZOOM_INVALID_CAL_FILE);
    EXPECT_EQ(message, heading() + kExpected + " Error in line 2: \n  1 ;2 \n");

    EXPECT_EQ(read("h\n-1 2\n"), ERR_QEL_ENC_ZOOM_INVALID_CAL_FILE);
    EXPECT_EQ(message, heading() +
                           " Position value is out of range [0,3.40282e+38] \n"
                           " Error in line 2: \n  -1 2 \n");
}

TEST_F(ZoomCalRead, MagnificationLimitsAreInclusive) {
    EXPECT_EQ(read("h\n1 0.5\n2 6\n"), 0);
    for (const char* bad : {"0.49", "6.01"}) {
        EXPECT_EQ(read(std::string("h\n1 1\n2 ") + bad + "\n"), ERR_QEL_ENC_ZOOM_INVALID_CAL_FILE);
        EXPECT_EQ(message, heading() + " Magnification value is out of range [0.5,6] \n" +
                               " Error in line 3: \n  2 " + bad + " \n");
    }
}

TEST_F(ZoomCalRead, MagnificationsCompareAsTheStoredFloat) {
    // 1.00000001 is 1 in single precision: not above the 1 before it.
    EXPECT_EQ(read("h\n1 1\n2 1.00000001\n"), ERR_QEL_ENC_ZOOM_INVALID_CAL_FILE);
    EXPECT_EQ(message, heading() +
                           " Magnification values are not in strictly increasing order. \n"
                           " Error in line 3: \n  2 1.00000001 \n");
    EXPECT_EQ(table.points, nullptr);
    // 1.0000001 is the next float up: taken.
    ASSERT_EQ(read("h\n1 1\n2 1.0000001\n"), 0) << message;
    ASSERT_EQ(table.count, 2);
    EXPECT_GT(table.points[1].magnification, table.points[0].magnification);
}

TEST_F(ZoomCalRead, NumbersBeyondSinglePrecisionAndNoNumbers) {
    const std::string unreasonable = " Magnitude of number is unreasonable. \n";
    EXPECT_EQ(read("h\n1e39 1\n"), ERR_QEL_ENC_ZOOM_INVALID_CAL_FILE);
    EXPECT_EQ(message, heading() + unreasonable + " Error in line 2: \n  1e39 1 \n");
    EXPECT_EQ(read("h\n1 -inf\n"), ERR_QEL_ENC_ZOOM_INVALID_CAL_FILE);
    EXPECT_EQ(message, heading() + unreasonable + " Error in line 2: \n  1 -inf \n");
    EXPECT_EQ(read("h\nnan 1\n"), ERR_QEL_ENC_ZOOM_INVALID_CAL_FILE);
    EXPECT_EQ(message, heading() + kExpected + " Error in line 2: \n  nan 1 \n");
    EXPECT_EQ(read("h\n3.40282e38 1\n"), ERR_QEL_ENC_ZOOM_INVALID_CAL_FILE);  // one pair only
    EXPECT_EQ(read("h\n1 1\n3.40282e38 2\n"), 0);
}

TEST_F(ZoomCalRead, HundredPairsAtMost) {
    std::string text = "h\n";
    for (int k = 0; k < 100; ++k)
        text += std::to_string(k) + " " + std::to_string(1 + k * 0.04) + "\n";
    EXPECT_EQ(read(text), 0) << message;
    EXPECT_EQ(table.count, 100);
    EXPECT_EQ(read(text + "100 5.5\n"), ERR_QEL_ENC_ZOOM_INVALID_CAL_FILE);
    EXPECT_EQ(message,
              heading() + " Too many position and magnification value pairs (maximum is 100). \n");
}

TEST_F(ZoomCalRead, LinesOverTheLimitAreLineErrors) {
    std::string fits = "2 2" + std::string(508, ' ');
    EXPECT_EQ(read("h\n1 1\r\n" + fits + "\r\n"), 0) << message;
    EXPECT_EQ(read("h\n1 1\n" + fits + " \n3 3\n"), ERR_QEL_ENC_ZOOM_INVALID_CAL_FILE);
    EXPECT_EQ(message, heading() + " Line is longer than 511 characters. \n Error in line 3 \n");
}

TEST_F(ZoomCalRead, MissingFile) {
    path = dir.file("none.txt");
    EXPECT_EQ(zoom_cal_read(path.c_str(), &table, message), ERR_QEL_ENC_ZOOM_CANT_OPEN_CAL_FILE);
    EXPECT_EQ(message,
              " Cannot open QEL encoded zoom magnification calibration file \"" + path + "\" \n");
    EXPECT_EQ(zoom_cal_read(dir.path().c_str(), &table, nullptr),
              ERR_QEL_ENC_ZOOM_CANT_OPEN_CAL_FILE);
}

// The message buffer holds ZOOM_CAL_MSG_SIZE bytes and no more: a message of
// ZOOM_CAL_MSG_SIZE - 1 characters fits whole, a longer one is cut there.
// The buffer is exactly that size on the heap (ASan sees an overrun) with a
// guard behind it (every build sees one).
TEST(ZoomCalMessage, LongestMessageFitsAndLongerOnesAreCut) {
    constexpr std::size_t kGuard = 64;
    const std::string fixed =
        std::string(" Error reading QEL encoded zoom magnification calibration file \"\" \n") +
        " Too few position and magnification value pairs (minimum is 2) \n";
    const std::size_t longest = ZOOM_CAL_MSG_SIZE - 1 - fixed.size();
    for (std::size_t pathLength : {longest, longest + 1, longest + 3000}) {
        std::string name(pathLength, 'p');
        std::unique_ptr<char[]> exact(new char[ZOOM_CAL_MSG_SIZE]);
        std::string guarded(ZOOM_CAL_MSG_SIZE + kGuard, '#');
        ZoomCalTable table{};
        for (char* buffer : {exact.get(), guarded.data()}) {
            EXPECT_EQ(zoom_cal_read_text("h\n", 2, name.c_str(), &table, buffer),
                      ERR_QEL_ENC_ZOOM_INVALID_CAL_FILE);
        }
        const std::string whole =
            " Error reading QEL encoded zoom magnification calibration file \"" + name + "\" \n" +
            " Too few position and magnification value pairs (minimum is 2) \n";
        EXPECT_EQ(std::string(exact.get()), whole.substr(0, ZOOM_CAL_MSG_SIZE - 1)) << pathLength;
        EXPECT_EQ(guarded.substr(ZOOM_CAL_MSG_SIZE), std::string(kGuard, '#')) << pathLength;
        EXPECT_EQ(std::strlen(guarded.c_str()), std::min(whole.size(), ZOOM_CAL_MSG_SIZE - 1));
    }

    // The open failure and the failed search name the file too.
    std::string name(2 * ZOOM_CAL_MSG_SIZE, 'q');
    std::unique_ptr<char[]> exact(new char[ZOOM_CAL_MSG_SIZE]);
    ZoomCalTable table{};
    EXPECT_EQ(zoom_cal_read(name.c_str(), &table, exact.get()),
              ERR_QEL_ENC_ZOOM_CANT_OPEN_CAL_FILE);
    EXPECT_EQ(std::strlen(exact.get()), ZOOM_CAL_MSG_SIZE - 1);
    SystemInfo info;
    info.encodedZoom.calFileName = name;
    CapturedMessages msgs;
    EXPECT_EQ(zoom_cal_load(&info, exact.get()), ERR_QEL_ENC_ZOOM_CANT_OPEN_CAL_FILE);
    EXPECT_EQ(std::string(exact.get()),
              (" Cannot access QEL encoded zoom magnification calibration file \"" + name)
                  .substr(0, ZOOM_CAL_MSG_SIZE - 1));
}

class ZoomCalLoad : public ::testing::Test {
  protected:
    void SetUp() override {
        path = dir.file("zoom.txt");
        info.encodedZoom.calFileName = path;
    }
    int load() {
        msgs.clear();
        return zoom_cal_load(&info, message);
    }
    std::string loaded() const {
        return "QEL encoded zoom calibration data loaded from file " + path + "\n";
    }

    TempDir dir;
    std::string path;
    SystemInfo info;
    CapturedMessages msgs;
    char message[ZOOM_CAL_MSG_SIZE];
};

TEST_F(ZoomCalLoad, RereadsOnlyAFileThatChanged) {
    write_file(path, "h\n1 1\n2 2\n");
    ASSERT_EQ(load(), 0) << message;
    EXPECT_EQ(msgs.text(), loaded());
    EXPECT_EQ(info.zoomCal.path, path);
    EXPECT_EQ(info.zoomCal.table.count, 2);

    EXPECT_EQ(load(), 0);
    EXPECT_EQ(msgs.text(), "");

    // Touched: reread.
    auto when = std::filesystem::last_write_time(path);
    std::filesystem::last_write_time(path, when + std::chrono::seconds(5));
    EXPECT_EQ(load(), 0);
    EXPECT_EQ(msgs.text(), loaded());

    // Replaced by a file of the same size and modification time.
    std::string other = dir.file("other.txt");
    write_file(other, "h\n1 1\n3 3\n");
    std::filesystem::last_write_time(other, std::filesystem::last_write_time(path));
    std::filesystem::rename(other, path);
    EXPECT_EQ(load(), 0);
    EXPECT_EQ(msgs.text(), loaded());
    EXPECT_EQ(info.zoomCal.table.points[1].magnification, 3.0f);
}

TEST_F(ZoomCalLoad, FailuresLeaveNoTable) {
    write_file(path, "h\n1 1\n2 2\n");
    ASSERT_EQ(load(), 0);

    // A bad file discards the table it replaces.
    write_file(path, "h\n1 1\n");
    EXPECT_EQ(load(), ERR_QEL_ENC_ZOOM_INVALID_CAL_FILE);
    EXPECT_EQ(msgs.text(), "");
    EXPECT_EQ(std::string(message).rfind(" Error reading QEL encoded", 0), 0u);
    EXPECT_EQ(info.zoomCal.table.count, 0);
    EXPECT_EQ(info.zoomCal.path, "");

    write_file(path, "h\n1 1\n2 2\n");
    ASSERT_EQ(load(), 0);
    std::filesystem::remove(path);
    EXPECT_EQ(load(), ERR_QEL_ENC_ZOOM_CANT_OPEN_CAL_FILE);
    EXPECT_EQ(message,
              " Cannot access QEL encoded zoom magnification calibration file \"" + path + "\" \n");
    EXPECT_EQ(info.zoomCal.table.count, 0);
    EXPECT_EQ(info.zoomCal.path, "");
}

// The default name, with its backslash, is looked up as any configuration
// file is: the current directory first (the configuration directory may
// already be decided in this process).
TEST(ZoomCalDefault, DefaultFileIsFoundLikeAnyConfigurationFile) {
    TempDir dir;
    std::filesystem::create_directories(dir.file("QEL"));
    write_file(dir.file("QEL/ZoomCal.txt"), "Position, Mag\n0, 1\n10, 2\n");
    int rc = run_in_child([&] {
        std::filesystem::current_path(dir.path());
        SystemInfo info;
        CapturedMessages msgs;
        char message[ZOOM_CAL_MSG_SIZE];
        CHILD_REQUIRE(zoom_cal_load(&info, message) == 0);
        CHILD_REQUIRE(info.zoomCal.table.count == 2);
        CHILD_REQUIRE(msgs.text() ==
                      "QEL encoded zoom calibration data loaded from file ./QEL/ZoomCal.txt\n");
        info.encodedZoom.calFileName = "QEL\\Other.txt";
        zoom_cal_forget(&info.zoomCal);
        CHILD_REQUIRE(zoom_cal_load(&info, message) == ERR_QEL_ENC_ZOOM_CANT_OPEN_CAL_FILE);
        CHILD_REQUIRE(std::string(message) ==
                      " Cannot access QEL encoded zoom magnification calibration file "
                      "\"QEL/Other.txt\" \n");
        return 0;
    });
    EXPECT_EQ(rc, 0);
}

}  // namespace
