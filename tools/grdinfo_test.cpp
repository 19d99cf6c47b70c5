// grdinfo: the converter's own output and hand-made files read back, every
// kind of defect reported with its line and exit status 1, and the picture.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "app/gridsag.h"
#include "common/testing/temp_dir.h"
#include "tools/datgen.h"
#include "tools/gridsag_read.h"
#include "tools/testing/run_tool.h"

namespace {

struct Result {
    int status;
    std::string out;
};

Result grdinfo(const std::string& args) {
    Result r{};
    r.out = run_tool(std::string(GRDINFO_EXE) + " " + args, &r.status);
    return r;
}

// A 3 x 3 grid, its centre line without data, and `tail` after the points.
std::string three_by_three(const std::string& header = "3 3 0.5 0.25 0",
                           const std::string& tail = "") {
    return header +
           "\n"
           "-1 0.5 0 0 0\n0 0.5 0 0 0\n1 0.5 0 0 0\n"
           "0 0 0 0 1\n2 0.25 -3 0 0\n0 0 0 0 1\n"
           "1e-3 1 0 0.125 0\n5 1 0 0 0\n-2.5 1 0 0 0\n" +
           tail;
}

}  // namespace

TEST(Grdinfo, ReadsTheConvertersOutput) {
    TempDir dir;
    // A plane rising along x and y, with one pixel without data.
    const int w = 41, h = 31;
    DatImage image;
    image.phase_window = Window{0, 0, w, h};
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x)
            image.phase.push_back(x == 20 && y == 3 ? INVALID_PHASE : 40 * x + 20 * y);
    }
    const std::string dat = dir.file("plane.dat"), grd = dir.file("plane.grd");
    ASSERT_TRUE(dat_image_write(dat.c_str(), image));
    HeaderRecord record{};
    PhaseMatrix phase{};
    ASSERT_EQ(dat_read_file(dat.c_str(), nullptr, &record, nullptr, &phase), 0);
    ASSERT_EQ(write_grid_sag(grd.c_str(), &record, &phase, 31, 41), 0);
    phase.release();

    GridSagFile g;
    std::string error;
    ASSERT_TRUE(grid_sag_read(grd.c_str(), &g, &error)) << error;
    EXPECT_EQ(g.nx, 41);
    EXPECT_EQ(g.ny, 31);
    EXPECT_FALSE(g.has_decentre);
    // The margin, and the 3 x 3 points (one pixel apart) whose samples touch the hole, have no
    // data.
    int64_t without = 0;
    for (uint8_t n : g.no_data) without += n;
    EXPECT_EQ(without, 2 * 41 + 2 * 29 + 9);
    EXPECT_EQ(g.no_data[3 * 41 + 20], 1);
    EXPECT_EQ(g.no_data[1 * 41 + 1], 0);

    const std::string png = dir.file("plane.png");
    Result r = grdinfo("--png " + png + " " + grd);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("nx: 41\nny: 31\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("points: 1271, without data: 149\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("sag: -1.0042e-05 to 1.0042e-05 mm\n"), std::string::npos) << r.out;

    // Lowest at the first point with data, highest at the last.
    Picture p;
    ASSERT_TRUE(picture_read_png(png.c_str(), &p, &error)) << error;
    EXPECT_EQ(p.height, 64);
    EXPECT_EQ(p.at(1, 1), picture_colour(0));
    EXPECT_EQ(p.at(39, 29), picture_colour(1));
    EXPECT_EQ(p.at(0, 0), kPictureNoData);
    EXPECT_EQ(p.at(20, 3), kPictureNoData);
    EXPECT_EQ(p.at(20, 31), kPictureBackground);
}

TEST(Grdinfo, ReadsTheDecentreAndPrintsTheRanges) {
    TempDir dir;
    const std::string grd = dir.file("d.grd");
    // CR LF line ends and blank lines after the last point are fine.
    std::string text = three_by_three("3 3 0.5 0.25 0 1.5 -2\r", "\r\n\n");
    write_file(grd, text);
    Result r = grdinfo(grd);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "file: " + grd +
                         "\n"
                         "nx: 3\nny: 3\n"
                         "delx: 0.5 mm\ndely: 0.25 mm\n"
                         "decentre: 1.5 -2 mm\n"
                         "points: 9, without data: 2\n"
                         "sag: -2.5 to 5 mm\n"
                         "dz/dx: 0.25 to 1\n"
                         "dz/dy: -3 to 0\n"
                         "d2z/dxdy: 0 to 0.125\n");

    // Sags in nanometres by the unit: metres here.
    write_file(grd, three_by_three("3 3 0.5 0.25 3"));
    GridSagFile g;
    std::string error;
    ASSERT_TRUE(grid_sag_read(grd.c_str(), &g, &error)) << error;
    const HeightMap map = grid_sag_heights_nm(g);
    EXPECT_DOUBLE_EQ(map.z[7], 5e9);
    EXPECT_TRUE(std::isnan(map.z[3]));

    r = grdinfo("--version");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "grdinfo " SURFCONV_VERSION_TEXT "\n");
}

TEST(Grdinfo, EachDefectIsReportedWithItsLine) {
    TempDir dir;
    const std::string grd = dir.file("bad.grd");
    const std::string good = three_by_three();
    const std::string cut = good.substr(0, good.rfind("-2.5"));
    auto replace_line = [&](int line, const std::string& with) {
        std::string text = good;
        size_t at = 0;
        for (int i = 1; i < line; ++i) at = text.find('\n', at) + 1;
        return text.replace(at, text.find('\n', at) - at, with);
    };
    struct Case {
        std::string text, message;
    };
    const std::vector<Case> cases = {
        {"", "1: empty file, no header line"},
        {cut, "10: the file ends after 8 of 9 points"},
        {"3 3 0.5 0.25 0\n", "2: the file ends after 0 of 9 points"},
        {good + "0 0 0 0 1\n", "11: more lines than the header's 9 points"},
        {replace_line(1, "3 3 0.5 0.25"),
         "1: expected nx ny delx dely unit [xdec ydec], found 4 values"},
        {replace_line(1, "3 3 0.5 0.25 0 1"),
         "1: expected nx ny delx dely unit [xdec ydec], found 6 values"},
        {replace_line(1, "0 3 0.5 0.25 0"),
         "1: nx must be a whole number of at least 1, found '0'"},
        {replace_line(1, "3 3.5 0.5 0.25 0"),
         "1: ny must be a whole number of at least 1, found '3.5'"},
        {replace_line(1, "3 3 -0.5 0.25 0"), "1: delx must be a number above 0, found '-0.5'"},
        {replace_line(1, "3 3 0.5 inf 0"), "1: dely must be a number above 0, found 'inf'"},
        {replace_line(1, "3 3 0.5 0.25 4"),
         "1: unit must be 0 (mm), 1 (cm), 2 (in) or 3 (m), found '4'"},
        {replace_line(1, "3 3 0.5 0.25 0 x 0"), "1: xdec is not a number: 'x'"},
        {replace_line(3, "0 0.5 0 0"),
         "3: expected 5 values (z dz/dx dz/dy d2z/dxdy flag), found 4"},
        {replace_line(3, "0 0.5 0 0 0 0"),
         "3: expected 5 values (z dz/dx dz/dy d2z/dxdy flag), found 6"},
        {replace_line(6, ""), "6: expected 5 values (z dz/dx dz/dy d2z/dxdy flag), found 0"},
        {replace_line(4, "1 0.5 1.2.3 0 0"), "4: dz/dy is not a number: '1.2.3'"},
        {replace_line(4, "nan 0.5 0 0 0"), "4: z is not a number: 'nan'"},
        {replace_line(4, "1 0.5 0 1e999 0"), "4: d2z/dxdy is not a number: '1e999'"},
        {replace_line(7, "0 0 0 0 2"), "7: flag must be 0 or 1, found '2'"},
        {replace_line(7, "0 0 0 0 -1"), "7: flag must be 0 or 1, found '-1'"},
        {replace_line(7, "0 0 0 0 1.0"), "7: flag must be 0 or 1, found '1.0'"},
    };
    for (const Case& c : cases) {
        write_file(grd, c.text);
        const Result r = grdinfo(grd);
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_EQ(r.out, "grdinfo: " + grd + ":" + c.message + "\n");
    }

    EXPECT_EQ(grdinfo(dir.file("missing.grd")).status, 1);
    EXPECT_EQ(grdinfo("").status, 1);
    EXPECT_EQ(grdinfo("--png").status, 1);
    EXPECT_EQ(grdinfo(grd + " " + grd).status, 1);
}
