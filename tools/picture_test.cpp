// Pictures: datinfo --png decoded back, pixel colours at known places, the
// size rule at its boundary, shrinking, and failed writes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <string>

#include "common/testing/child_process.h"
#include "common/testing/temp_dir.h"
#include "platform/testfs_testing.h"
#include "tools/datgen.h"
#include "tools/testing/run_tool.h"

namespace fs = std::filesystem;

namespace {

constexpr Rgb kLowest{68, 1, 84};
constexpr Rgb kHighest{253, 231, 37};
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string run(const std::string& command, int* status) {
    return run_tool(command, status);
}

// A tilted plane, lowest at (0, 0) and highest at (w-1, h-1), with one point
// without data at (hx, hy).
DatImage tilt(int w, int h, int hx, int hy) {
    DatImage image;
    image.phase_window = Window{0, 0, static_cast<int16_t>(w), static_cast<int16_t>(h)};
    image.phase.resize(static_cast<size_t>(w) * h);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) image.phase[static_cast<size_t>(y) * w + x] = (x + 2 * y) * 50;
    }
    image.phase[static_cast<size_t>(hy) * w + hx] = INVALID_PHASE;
    return image;
}

void expect_rgb(const Picture& p, int x, int y, Rgb want) {
    const Rgb got = p.at(x, y);
    EXPECT_EQ(got, want) << "at (" << x << ", " << y << "): " << int{got.r} << " " << int{got.g}
                         << " " << int{got.b};
}

}  // namespace

TEST(DatinfoPng, DrawsTheTiltTheHoleAndTheBar) {
    TempDir dir;
    const std::string dat = dir.file("tilt.dat"), png = dir.file("tilt.png");
    const int w = 90, h = 70;
    ASSERT_TRUE(dat_image_write(dat.c_str(), tilt(w, h, 40, 30)));
    int status;
    const std::string out = run(std::string(DATINFO_EXE) + " --png " + png + " " + dat, &status);
    ASSERT_EQ(status, 0) << out;

    Picture p;
    std::string error;
    ASSERT_TRUE(picture_read_png(png.c_str(), &p, &error)) << error;
    EXPECT_EQ(p.height, h);  // above the least height: one row per data row
    EXPECT_GT(p.width, w + 8 + 16);
    expect_rgb(p, 0, 0, kLowest);
    expect_rgb(p, w - 1, h - 1, kHighest);
    expect_rgb(p, 40, 30, kPictureNoData);
    expect_rgb(p, 41, 30, picture_colour((41.0 + 60) / (w - 1 + 2 * (h - 1))));
    expect_rgb(p, w, 0, kPictureBackground);  // nothing drawn past the data
    expect_rgb(p, w + 8, 0, kHighest);        // the bar: highest at the top
    expect_rgb(p, w + 8 + 15, h - 1, kLowest);
    expect_rgb(p, w + 8 + 16, h / 2, kPictureBackground);

    // Heights in nanometres on the converter's scale: 50 counts of
    // 6.328e-7 * 1 * 0.5 m / 32768 per step along x.
    HeaderRecord record{};
    PhaseMatrix phase{};
    ASSERT_EQ(dat_read_file(dat.c_str(), nullptr, &record, nullptr, &phase), 0);
    const HeightMap map = dat_heights_nm(record, phase);
    phase.release();
    const double step = 50 * static_cast<double>(6.328e-7f * 1.0f * 0.5f) / 32768 * 1e9;
    EXPECT_NEAR(map.z[1] - map.z[0], step, 1e-9);
    EXPECT_TRUE(std::isnan(map.z[30 * w + 40]));
}

TEST(DatinfoPng, SmallMapsGetTheLeastHeightAndBadInputsFail) {
    TempDir dir;
    const std::string dat = dir.file("small.dat"), png = dir.file("small.png");
    ASSERT_TRUE(dat_image_write(dat.c_str(), tilt(5, 3, 4, 2)));
    int status;
    run(std::string(DATINFO_EXE) + " --png " + png + " " + dat, &status);
    ASSERT_EQ(status, 0);
    Picture p;
    std::string error;
    ASSERT_TRUE(picture_read_png(png.c_str(), &p, &error)) << error;
    EXPECT_EQ(p.height, 64);
    expect_rgb(p, 0, 0, kLowest);
    expect_rgb(p, 3, 2, kHighest);  // the hole took (4, 2)
    expect_rgb(p, 4, 2, kPictureNoData);
    expect_rgb(p, 0, 3, kPictureBackground);

    // Not a data file; an image that cannot be created; a missing argument.
    write_file(dir.file("junk.dat"), "not a data file");
    std::string out =
        run(std::string(DATINFO_EXE) + " --png " + png + " " + dir.file("junk.dat"), &status);
    EXPECT_EQ(status, 2) << out;
    out = run(std::string(DATINFO_EXE) + " --png " + dir.file("no/such/dir.png") + " " + dat,
              &status);
    EXPECT_EQ(status, 2);
    EXPECT_NE(out.find("cannot create"), std::string::npos) << out;
    run(std::string(DATINFO_EXE) + " --png " + png, &status);
    EXPECT_EQ(status, 1);
}

TEST(Picture, OnePixelPerPointUpToTheLongSideLimit) {
    EXPECT_EQ(picture_block(kPictureMaxSide, 1), 1);
    EXPECT_EQ(picture_block(kPictureMaxSide + 1, 1), 2);
    EXPECT_EQ(picture_block(1, kPictureMaxSide + 1), 2);
    EXPECT_EQ(picture_block(2 * kPictureMaxSide, 7), 2);
    EXPECT_EQ(picture_block(2 * kPictureMaxSide + 1, 7), 3);

    for (int w : {kPictureMaxSide, kPictureMaxSide + 1}) {
        HeightMap map;
        map.width = w;
        map.height = 2;
        map.z.assign(static_cast<size_t>(w) * 2, 1.0);
        const Picture p = picture_draw(map, "nm");
        const int shown = w == kPictureMaxSide ? w : (w + 1) / 2;
        expect_rgb(p, shown - 1, 0, picture_colour(0.5));  // flat: the middle colour
        expect_rgb(p, shown, 0, kPictureBackground);
    }
}

TEST(Picture, ShrinkingAveragesAndKeepsNoDataOnlyForEmptyBlocks) {
    // 4100 wide: blocks of 3 x 3, the last column of blocks 2 points wide.
    HeightMap map;
    map.width = 4100;
    map.height = 4;
    map.z.assign(static_cast<size_t>(map.width) * map.height, kNaN);
    auto at = [&](int x, int y) -> double& {
        return map.z[static_cast<size_t>(y) * map.width + x];
    };
    for (int y = 0; y < 3; ++y) {
        for (int x = 0; x < 3; ++x) at(x, y) = x + y;  // block 0: mean 2
    }
    at(3 * 7 + 2, 2) = 9;  // block 7: one point with data
    at(4099, 3) = 4;       // last block, second row
    const HeightMap s = picture_shrink(map);
    ASSERT_EQ(s.width, 1367);
    ASSERT_EQ(s.height, 2);
    EXPECT_DOUBLE_EQ(s.z[0], 2.0);
    EXPECT_DOUBLE_EQ(s.z[7], 9.0);
    EXPECT_TRUE(std::isnan(s.z[1]));
    EXPECT_TRUE(std::isnan(s.z[1366]));
    EXPECT_DOUBLE_EQ(s.z[1367 + 1366], 4.0);

    // Colours run over the range of the whole map, not of the block means.
    const Picture p = picture_draw(map, "nm");
    expect_rgb(p, 0, 0, picture_colour(2.0 / 9));
    expect_rgb(p, 7, 0, kHighest);
    expect_rgb(p, 1, 0, kPictureNoData);
    EXPECT_EQ(p.height, 64);
}

TEST(Picture, NoDataAnywhereIsAllGrey) {
    HeightMap map;
    map.width = 3;
    map.height = 2;
    map.z.assign(6, kNaN);
    const Picture p = picture_draw(map, "nm");
    expect_rgb(p, 0, 0, kPictureNoData);
    expect_rgb(p, 2, 1, kPictureNoData);
}

TEST(Picture, AFailedWriteIsReportedAndAnOlderPictureStays) {
    TempDir dir;
    HeightMap map;
    map.width = 300;
    map.height = 300;
    uint32_t seed = 1;
    for (int i = 0; i < 300 * 300; ++i) {
        seed = seed * 1664525u + 1013904223u;
        map.z.push_back(seed >> 8);  // noise: the PNG stays large
    }
    const Picture p = picture_draw(map, "nm");
    std::string error;
    if (const char* full = plat_test_full_device()) {
        EXPECT_FALSE(picture_write_png(full, p, &error));
        EXPECT_NE(error.find(std::string("cannot write ") + full), std::string::npos) << error;
    }
    EXPECT_FALSE(picture_write_png(dir.file("missing/x.png").c_str(), p, &error));

    const std::string png = dir.file("keep.png");
    ASSERT_TRUE(picture_write_png(png.c_str(), p, &error)) << error;
    Picture back;
    ASSERT_TRUE(picture_read_png(png.c_str(), &back, &error)) << error;
    EXPECT_EQ(back.width, p.width);
    EXPECT_EQ(back.pixels, p.pixels);

    write_file(dir.file("bad.png"), "\x89PNG\r\n\x1a\n truncated");
    EXPECT_FALSE(picture_read_png(dir.file("bad.png").c_str(), &back, &error));
    std::filesystem::remove(dir.file("bad.png"));

    // The disk filling up part way: the older picture is kept, nothing else left.
    if (!plat_test_can_limit_file_size()) GTEST_SKIP() << "no file size limit on this system";
    write_file(png, "older");
    const int rc = run_in_child([&] {
        CHILD_REQUIRE(plat_test_limit_file_size(64 * 1024));
        std::string e;
        CHILD_REQUIRE(!picture_write_png(png.c_str(), p, &e));
        return 0;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(read_file(png), "older");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}
