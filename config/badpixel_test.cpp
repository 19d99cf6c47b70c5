#include "config/badpixel.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/status.h"
#include "common/testing/capture_sink.h"
#include "common/testing/child_process.h"
#include "common/testing/temp_dir.h"
#include "platform/process.h"

namespace {

const std::string kTestData = std::string(SURF_SOURCE_DIR) + "/config/testdata/";

using Points = std::vector<std::pair<int, int>>;

Points points_of(const CbCamera& camera) {
    Points out;
    for (int i = 0; i < camera.count; ++i) out.emplace_back(camera.points[i].x, camera.points[i].y);
    return out;
}

class BadPixelTest : public ::testing::Test {
  protected:
    ~BadPixelTest() override {
        for (CbCamera& camera : cameras) cb_release(&camera);
    }

    int read_path(const std::string& file) {
        path = file;
        text[0] = '\0';
        return cb_read_file(path.c_str(), cameras, &count, &message);
    }
    int read_text(const std::string& content) {
        std::string file = dir.file("bpix.dat");
        write_file(file, content);
        return read_path(file);
    }
    std::string error_start() const { return "Error reading bad pixel file \"" + path + "\"\r\n"; }

    TempDir dir;
    std::string path;
    CbCamera cameras[CB_MAX_CAMERAS] = {};
    int count = -1;
    char text[4096] = "";
    UTextBuffer message{text, sizeof text};
};

}  // namespace

TEST_F(BadPixelTest, ExampleFileSortedAndFreeOfRepeats) {
    ASSERT_EQ(read_path(kTestData + "badpixel_example.dat"), 0) << text;
    ASSERT_EQ(count, 1);
    const CbCamera& c = cameras[0];
    EXPECT_EQ(c.grabMode, 1);
    EXPECT_EQ(c.grabUnder, 0);
    EXPECT_EQ(c.sizeX, 640);
    EXPECT_EQ(c.sizeY, 480);
    EXPECT_EQ(c.grabRate, 60);
    EXPECT_EQ(points_of(c), (Points{{10, 20}, {10, 20}, {5, 7}}));
    EXPECT_EQ(c.capacity, 3);  // trimmed to the points read
    cb_sort_points(&cameras[0]);
    EXPECT_EQ(points_of(c), (Points{{5, 7}, {10, 20}}));
    EXPECT_STREQ(text, "");
}

TEST_F(BadPixelTest, BlocksCommentsAndIgnoredTokens) {
    ASSERT_EQ(read_path(kTestData + "badpixel_two_blocks.dat"), 0) << text;
    ASSERT_EQ(count, 2);
    EXPECT_EQ(points_of(cameras[0]), (Points{{0, 0}, {639, 479}}));
    EXPECT_EQ(cameras[0].grabRate, 30);
    EXPECT_EQ(cameras[1].grabMode, 1);  // "[:" is a header too
    EXPECT_EQ(cameras[1].sizeX, 320);
    EXPECT_EQ(points_of(cameras[1]), (Points{{12, 34}}));

    EXPECT_EQ(read_text("# only\n\n   \t\n#[ 1 0 1 1 1\n"), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(cameras[0].points, nullptr);  // the earlier lists are gone
}

TEST_F(BadPixelTest, CoordinateOutsideTheFrame) {
    EXPECT_EQ(read_text("[ 1 0 640 480 60\n640 5\n"), ERR_CB_FILE_INVALID);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(std::string(text),
              error_start() +
                  "Number out of range.\nExpected 'coord x' an integer value in the range "
                  "[0,639]\nError in line 2:\r\n  640 5\n");
    EXPECT_EQ(cameras[0].points, nullptr);

    EXPECT_EQ(read_text("[ 1 0 640 480 60\n5\n"), ERR_CB_FILE_INVALID);
    EXPECT_EQ(std::string(text),
              error_start() +
                  "Missing number.\nExpected 'coord y' an integer value in the range "
                  "[0,479]\nError in line 2:\r\n  5\n");
}

TEST_F(BadPixelTest, HeaderFaults) {
    EXPECT_EQ(read_text("1 2\n"), ERR_CB_FILE_INVALID);
    EXPECT_EQ(std::string(text),
              error_start() + "Missing camera information.\r\nError in line 1:\r\n  1 2\n");

    EXPECT_EQ(read_text("[ 1 11 640 480 60\n"), ERR_CB_FILE_INVALID);
    EXPECT_EQ(std::string(text), error_start() +
                                     "Number out of range.\nExpected 'grab under' an integer "
                                     "value in the range [0,10]\nError in line 1:\r\n"
                                     "  [ 1 11 640 480 60\n");

    EXPECT_EQ(read_text("[ 1 0 640 480 nan\n"), ERR_CB_FILE_INVALID);
    EXPECT_NE(std::string(text).find("Not a number.\nExpected 'grab rate' a floating point value "
                                     "in the range [0,500]\n"),
              std::string::npos);
}

TEST_F(BadPixelTest, TwoHeadersInARowAndLineNumbersAcrossBlocks) {
    EXPECT_EQ(read_text("[ 1 0 640 480 60\n[ 2 0 320 240 30\n1 1\n"), 0) << text;
    ASSERT_EQ(count, 2);
    EXPECT_EQ(cameras[0].count, 0);
    EXPECT_EQ(cameras[0].points, nullptr);
    EXPECT_EQ(points_of(cameras[1]), (Points{{1, 1}}));

    // The header that ends a block is counted once.
    EXPECT_EQ(read_text("[ 1 0 640 480 60\n1 1\n[ 2 0 320 240 30\n1 1\n999 1\n"),
              ERR_CB_FILE_INVALID);
    EXPECT_NE(std::string(text).find("Error in line 5:\r\n  999 1\n"), std::string::npos) << text;
}

TEST_F(BadPixelTest, LineLimitCountsCharactersWithoutTheLineEnd) {
    std::string ok = "1 1" + std::string(97, ' ');  // 100 characters
    EXPECT_EQ(read_text("[ 1 0 640 480 60\r\n" + ok + "\r\n"), 0) << text;
    EXPECT_EQ(read_text("[ 1 0 640 480 60\n#\n" + ok + " \n1 1\n"), ERR_CB_FILE_INVALID);
    EXPECT_EQ(std::string(text),
              error_start() + "Line longer than 100 characters\r\nError in line 3\r\n");
}

TEST_F(BadPixelTest, TooManyPointsOrBlocksIsAnInvalidFile) {
    std::string block = "[ 1 0 10000 10000 60\n";
    for (int i = 0; i < CB_MAX_POINTS; ++i) block += std::to_string(i) + " 1\n";
    EXPECT_EQ(read_text(block), 0);
    EXPECT_EQ(cameras[0].count, CB_MAX_POINTS);
    EXPECT_EQ(read_text(block + "9999 2\n"), ERR_CB_FILE_INVALID);
    EXPECT_EQ(std::string(text), error_start() +
                                     "More than 8192 bad pixels in one camera block.\r\n"
                                     "Error in line 8194:\r\n  9999 2\n");

    std::string blocks;
    for (int i = 0; i < CB_MAX_CAMERAS; ++i) blocks += "[ 1 0 64 48 60\n1 1\n";
    EXPECT_EQ(read_text(blocks), 0);
    EXPECT_EQ(count, CB_MAX_CAMERAS);
    EXPECT_EQ(read_text(blocks + "[ 1 0 64 48 60\n"), ERR_CB_FILE_INVALID);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(std::string(text),
              error_start() + "More than 100 camera blocks.\r\n" + "Error in line 201\r\n");
    EXPECT_EQ(cameras[0].points, nullptr);
}

TEST_F(BadPixelTest, OpenAndArgumentFailures) {
    std::string missing = dir.file("none.dat");
    EXPECT_EQ(read_path(missing), ERR_CANT_OPEN_FILE);
    EXPECT_EQ(std::string(text), "Cannot open camera bad file \"" + missing + "\"\r\n");
    EXPECT_EQ(cb_read_file("", cameras, &count, &message), ERR_INVALID_PARAM);
    EXPECT_EQ(cb_read_file("x", nullptr, &count, &message), ERR_INVALID_PARAM);
}

TEST(BadPixelLoad, CalibrationListSizedByTheCameraMode) {
    auto info = std::make_unique<SystemInfo>();
    info->cameraMode = SysCameraMode{3, 0, 25.0, 1280, 960};
    // A full record of 40 pairs has no terminator: the load stops at 40.
    for (int i = 0; i < SB_MAX_BAD_PIXELS; ++i) info->badPixels[i] = SbBadPixel{40 - i, 1};
    info->badPixels[39] = SbBadPixel{40, 1};
    ASSERT_EQ(cb_load(info.get()), 0);
    ASSERT_TRUE(info->badPixelLists);
    const CbCameraSet& set = *info->badPixelLists;
    ASSERT_EQ(set.count, 1);
    EXPECT_EQ(set.cameras[0].sizeX, 1280);  // grab under 0 divides as 1
    EXPECT_EQ(set.cameras[0].sizeY, 960);
    EXPECT_EQ(set.cameras[0].grabMode, 3);
    EXPECT_EQ(set.cameras[0].grabRate, 25.0);
    ASSERT_EQ(set.cameras[0].count, 39);  // 40 pairs, one repeated
    EXPECT_EQ(points_of(set.cameras[0]).front(), (std::pair<int, int>{2, 1}));
    EXPECT_EQ(points_of(set.cameras[0]).back(), (std::pair<int, int>{40, 1}));

    info->cameraMode.grabUnder = 2;
    info->badPixels[0] = SbBadPixel{-1, -1};
    ASSERT_EQ(cb_load(info.get()), 0);
    EXPECT_EQ(set.count, 1);
    EXPECT_EQ(set.cameras[0].sizeX, 640);
    EXPECT_EQ(set.cameras[0].count, 0);

    EXPECT_EQ(cb_load(nullptr), ERR_SYS_INFO_NOT_AVAIL);
}

TEST(BadPixelLoad, CalibrationPixelInTheFirstColumnIsKept) {
    // Only a negative x ends the record's list; x = 0 is a pixel like any other.
    auto info = std::make_unique<SystemInfo>();
    info->cameraMode = SysCameraMode{3, 0, 25.0, 1280, 960};
    info->badPixels[0] = SbBadPixel{7, 2};
    info->badPixels[1] = SbBadPixel{0, 5};
    info->badPixels[2] = SbBadPixel{0, 0};
    info->badPixels[3] = SbBadPixel{-1, 9};
    info->badPixels[4] = SbBadPixel{4, 4};  // after the end: not read
    ASSERT_EQ(cb_load(info.get()), 0);
    ASSERT_TRUE(info->badPixelLists);
    EXPECT_EQ(points_of(info->badPixelLists->cameras[0]), (Points{{0, 0}, {0, 5}, {7, 2}}));

    info->badPixels[0] = SbBadPixel{0, 0};
    info->badPixels[1] = SbBadPixel{-1, 0};
    ASSERT_EQ(cb_load(info.get()), 0);
    EXPECT_EQ(points_of(info->badPixelLists->cameras[0]), (Points{{0, 0}}));
}

TEST(BadPixelLoad, FileInTheConfigurationDirectory) {
    TempDir dir;
    write_file(dir.file("bpix_4711.dat"), "[ 1 0 640 480 60\n10 20\n10 20\n5 7\n");
    write_file(dir.file("bad.dat"), "[ 1 0 640 480 60\n640 5\n");
    int status = run_in_child([&] {
        plat_set_env("KT_CONFIG_DIR", dir.path().c_str());
        CapturedMessages msgs;
        auto info = std::make_unique<SystemInfo>();
        info->cameraBpix = 1;
        info->serialNumber = 4711;
        CHILD_REQUIRE(cb_load(info.get()) == 0);
        const CbCameraSet& set = *info->badPixelLists;
        CHILD_REQUIRE(set.count == 1);
        CHILD_REQUIRE(points_of(set.cameras[0]) == (Points{{5, 7}, {10, 20}}));

        info->cameraBpixFile = "bad.dat";
        msgs.clear();
        CHILD_REQUIRE(cb_load(info.get()) == ERR_CB_FILE_INVALID);
        CHILD_REQUIRE(set.count == 0 && set.cameras[0].points == nullptr);
        CHILD_REQUIRE(msgs.text() == "Error reading bad pixel file \"" + dir.file("bad.dat") +
                                         "\"\r\nNumber out of range.\nExpected 'coord x' an "
                                         "integer value in the range [0,639]\nError in line "
                                         "2:\r\n  640 5\n");
        return 0;
    });
    EXPECT_EQ(status, 0);
}
