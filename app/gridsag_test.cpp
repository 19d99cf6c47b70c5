#include "app/gridsag.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "app/gformat.h"
#include "app/gridsag_internal.h"
#include "app/gridsag_reference.h"
#include "common/status.h"
#include "common/testing/temp_dir.h"
#include "platform/testfs_testing.h"

namespace fs = std::filesystem;

namespace {

// k = 1 * 1 * 1 / 4096 * 1000, exact in binary, so the hand-computed values are exact.
constexpr float kLateral = 0.0078125f;

struct Matrix {
    PhaseMatrix m{};
    Matrix(int w, int h, const std::function<int32_t(int, int)>& f) {
        m.clear();
        EXPECT_EQ(m.resize(Window{0, 0, static_cast<int16_t>(w), static_cast<int16_t>(h)}, false),
                  0);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) m.matrix[y * w + x] = f(x, y);
    }
    ~Matrix() { m.release(); }
    void set(int x, int y, int32_t v) { m.matrix[y * m.window.width + x] = v; }
};

HeaderRecord header(float lateral = kLateral, int16_t phase_res = 0, float hf1 = 1.0f,
                    float hf2 = 1.0f, float hf3 = 1.0f) {
    HeaderRecord h{};
    h.set_f32(DAT_OFF_LATERAL_RES, lateral);
    h.set_i16(DAT_OFF_PHASE_RES, phase_res);
    h.set_f32(DAT_OFF_HEIGHT_FACTOR_1, hf1);
    h.set_f32(DAT_OFF_HEIGHT_FACTOR_2, hf2);
    h.set_f32(DAT_OFF_HEIGHT_FACTOR_3, hf3);
    return h;
}

// Puts the row sampling back to its default however a test ends.
struct KernelReset {
    ~KernelReset() { gridsag_set_kernel(GRIDSAG_KERNEL_BEST); }
};

int32_t plane(int x, int y) {
    return 1024 * x - 2048 * y;
}

class GridSagTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = temp_.path();
        out_ = dir_ + "/out.grd";
    }

    static std::string read(const std::string& p) {
        std::ifstream in(p, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    // Compares two files a block at a time: the large outputs need not be held twice.
    static bool same_bytes(const std::string& a, const std::string& b) {
        std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
        std::vector<char> ba(1 << 16), bb(1 << 16);
        for (;;) {
            fa.read(ba.data(), static_cast<std::streamsize>(ba.size()));
            fb.read(bb.data(), static_cast<std::streamsize>(bb.size()));
            if (fa.gcount() != fb.gcount()) return false;
            if (!std::equal(ba.begin(), ba.begin() + fa.gcount(), bb.begin())) return false;
            if (fa.gcount() == 0) return true;
        }
    }
    static std::vector<std::string> lines(const std::string& text) {
        std::vector<std::string> out;
        std::istringstream in(text);
        for (std::string l; std::getline(in, l);) out.push_back(l);
        return out;
    }
    int export_to(const HeaderRecord& h, const Matrix& m, int rows, int columns,
                  int derivatives = GRID_SAG_DERIV_SAMPLED, int threads = 0) {
        GridSagOptions o{derivatives, threads};
        return write_grid_sag_ex(out_.c_str(), &h, &m.m, rows, columns, &o);
    }
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir_)) {
            names.push_back(e.path().filename().string());
        }
        return names;
    }

    TempDir temp_;
    std::string dir_, out_;
};

TEST_F(GridSagTest, PlaneOnSmallGridGivesHandComputedFile) {
    // cx = cy = 2; z = 500 (j - 2) - 1000 (i - 2); a step of 0.01 pixel moves the
    // phase by 10.24 counts across and -20.48 down, sampled as 10 and -20.
    Matrix m(9, 9, plane);
    HeaderRecord h = header();
    ASSERT_EQ(write_grid_sag(out_.c_str(), &h, &m.m, 5, 5), 0);
    const std::string d = " 122.07 -244.141 0 0\n";
    const std::string none = "0 0 0 0 1\n";
    const std::string border = none + none + none + none + none;
    EXPECT_EQ(read(out_), "5 5 15.625 15.625 0\n" + border +                          //
                              none + "500" + d + "1000" + d + "1500" + d + none +     //
                              none + "-500" + d + "0" + d + "500" + d + none +        //
                              none + "-1500" + d + "-1000" + d + "-500" + d + none +  //
                              border);
}

TEST_F(GridSagTest, ExactWholePositionsPlaceTheCentreOnItsPixel) {
    // W = 31 over 23 columns: j * cx puts the centre at 14.999999999999998, which
    // samples column 14 too. With the column 14 without data the centre is still valid.
    Matrix m(31, 31, [](int x, int y) { return x == 14 || y == 14 ? INVALID_PHASE : x + y; });
    HeaderRecord h = header();
    ASSERT_EQ(export_to(h, m, 23, 23), 0);
    std::vector<std::string> l = lines(read(out_));
    ASSERT_EQ(l.size(), 1u + 23 * 23);
    // The centre's left and upper difference samples touch the missing column and row.
    EXPECT_EQ(l[1 + 11 * 23 + 11], "0 0 0 0 1");
}

TEST_F(GridSagTest, BorderAndPointsWhoseDifferencesTouchNoDataAreWrittenWithoutData) {
    Matrix m(9, 9, plane);
    m.set(3, 2, INVALID_PHASE + 3);  // touched only by x + s of the point at (2, 2)
    HeaderRecord h = header();
    ASSERT_EQ(export_to(h, m, 5, 5), 0);
    std::vector<std::string> l = lines(read(out_));
    ASSERT_EQ(l.size(), 26u);
    for (int i = 0; i < 5; ++i) {
        for (int j = 0; j < 5; ++j) {
            const std::string& line = l[1 + i * 5 + j];
            const bool border = i == 0 || j == 0 || i == 4 || j == 4;
            // (1,1) and (1,2) sample pixel (3,2) at x + s and x - s: no data, sag too.
            const bool touched = i == 1 && (j == 1 || j == 2);
            if (border || touched) {
                EXPECT_EQ(line, "0 0 0 0 1") << i << "," << j;
            } else {
                EXPECT_EQ(line.back(), '0') << i << "," << j;
            }
        }
    }
}

TEST_F(GridSagTest, PhaseResolutionSelectsCountsPerCycle) {
    // The sag of grid point (1,1) is 2048 counts: 2048 * 1000 / R.
    const struct {
        int16_t phase_res;
        const char* sag;
    } cases[] = {{0, "500 "}, {1, "62.5 "}, {2, "15.625 "}, {5, "15.625 "}};
    for (const auto& c : cases) {
        Matrix m(9, 9, plane);
        HeaderRecord h = header(kLateral, c.phase_res);
        ASSERT_EQ(export_to(h, m, 5, 5), 0);
        std::vector<std::string> l = lines(read(out_));
        EXPECT_EQ(l[1 + 5 + 1].rfind(c.sag, 0), 0u) << c.phase_res << ": " << l[7];
    }
}

TEST_F(GridSagTest, PhaseDifferencesDoNotWrap) {
    // Centre near the top of the range, the rest at the bottom: v - vc = -4294967040.
    const int32_t high = 0x7FFFFF00;
    Matrix m(9, 9, [&](int x, int y) {
        return x == 4 && y == 4 ? high : std::numeric_limits<int32_t>::min();
    });
    HeaderRecord h = header();
    ASSERT_EQ(export_to(h, m, 5, 5), 0);
    std::vector<std::string> l = lines(read(out_));
    EXPECT_EQ(l[1 + 5 + 1], "-1.04858e+09 0 0 0 0");
}

TEST_F(GridSagTest, RefusalsComeBeforeTheOutputIsOpened) {
    Matrix m(9, 9, plane);
    HeaderRecord h = header();
    std::ofstream(out_) << "previous\n";

    EXPECT_EQ(write_grid_sag(out_.c_str(), &h, nullptr, 5, 5), ERR_INVALID_PARAM);
    EXPECT_EQ(write_grid_sag(out_.c_str(), &h, &m.m, 1, 5), ERR_INVALID_PARAM);
    EXPECT_EQ(write_grid_sag(out_.c_str(), &h, &m.m, 5, -7), ERR_INVALID_PARAM);

    HeaderRecord zero = header(0.0f);
    EXPECT_EQ(write_grid_sag(out_.c_str(), &zero, &m.m, 5, 5), ERR_LATERAL_RES_UNKNOWN);
    HeaderRecord nan = header(std::numeric_limits<float>::quiet_NaN());
    EXPECT_EQ(write_grid_sag(out_.c_str(), &nan, &m.m, 5, 5), ERR_LATERAL_RES_UNKNOWN);
    HeaderRecord inf = header(-std::numeric_limits<float>::infinity());
    EXPECT_EQ(write_grid_sag(out_.c_str(), &inf, &m.m, 5, 5), ERR_LATERAL_RES_UNKNOWN);

    // The height factors' product overflows single precision, or is not a number.
    HeaderRecord big = header(kLateral, 0, 3e38f, 1.0f, 10.0f);
    EXPECT_EQ(write_grid_sag(out_.c_str(), &big, &m.m, 5, 5), ERR_FP_OVERFLOW);
    HeaderRecord nan_k = header(kLateral, 0, 1.0f, std::numeric_limits<float>::quiet_NaN());
    EXPECT_EQ(write_grid_sag(out_.c_str(), &nan_k, &m.m, 5, 5), ERR_FP_OVERFLOW);
    GridSagOptions grid{GRID_SAG_DERIV_GRID, 0};
    EXPECT_EQ(write_grid_sag_ex(out_.c_str(), &big, &m.m, 5, 5, &grid), ERR_FP_OVERFLOW);

    // The centre is tested first, even when the lateral resolution is unknown too.
    m.set(4, 4, INVALID_PHASE);
    EXPECT_EQ(write_grid_sag(out_.c_str(), &zero, &m.m, 5, 5), ERR_CORRUPT_DATA_FILE);
    EXPECT_EQ(write_grid_sag(out_.c_str(), &h, &m.m, 5, 5), ERR_CORRUPT_DATA_FILE);

    EXPECT_EQ(read(out_), "previous\n");
    EXPECT_EQ(entries(), std::vector<std::string>{"out.grd"});
}

TEST_F(GridSagTest, UnwritableOutputIsReportedAndLeavesNothingBehind) {
    Matrix m(9, 9, plane);
    HeaderRecord h = header();
    EXPECT_EQ(write_grid_sag(dir_.c_str(), &h, &m.m, 5, 5), ERR_CANT_CREATE_FILE);
    EXPECT_EQ(write_grid_sag((dir_ + "/no/such.grd").c_str(), &h, &m.m, 5, 5),
              ERR_CANT_CREATE_FILE);
    if (const char* full = plat_test_full_device()) {
        EXPECT_EQ(write_grid_sag(full, &h, &m.m, 5, 5), ERR_CANT_CREATE_FILE);
    }
    EXPECT_TRUE(entries().empty());
}

TEST_F(GridSagTest, ThreadCountDoesNotChangeTheBytes) {
    // Large enough for many units of work, with holes so that both kinds of line occur.
    std::mt19937 gen(7);
    Matrix m(400, 300, [&](int x, int y) {
        if ((x - 120) * (x - 120) + (y - 90) * (y - 90) < 100) return INVALID_PHASE;
        return static_cast<int32_t>(37 * x * x - 11 * y * y + x * y + int(gen() % 50));
    });
    HeaderRecord h = header(1e-5f, 1, 6.328e-7f, 0.5f, 1.0f);
    for (int deriv : {GRID_SAG_DERIV_SAMPLED, GRID_SAG_DERIV_GRID}) {
        ASSERT_EQ(export_to(h, m, 201, 397, deriv, 1), 0);
        const std::string one = read(out_);
        ASSERT_EQ(export_to(h, m, 201, 397, deriv, 2), 0);
        EXPECT_EQ(read(out_), one);
        ASSERT_EQ(export_to(h, m, 201, 397, deriv, 5), 0);
        EXPECT_EQ(read(out_), one);
        EXPECT_EQ(lines(one).size(), 1u + 201 * 397);
    }
}

TEST_F(GridSagTest, MoreUnitsThanBuffersInFlightKeepTheirOrder) {
    // 2001 x 397 points are 49 units of work, eight times the slots two
    // threads cycle through, so every slot is refilled while others are written.
    std::mt19937 gen(11);
    Matrix m(300, 200, [&](int x, int y) {
        if ((x - 200) * (x - 200) + (y - 50) * (y - 50) < 64) return INVALID_PHASE;
        return static_cast<int32_t>(29 * x * x - 7 * y * y + 3 * x * y + int(gen() % 40));
    });
    HeaderRecord h = header(1e-5f, 1, 6.328e-7f, 0.5f, 1.0f);
    const std::string single = dir_ + "/single.grd";
    GridSagOptions one{GRID_SAG_DERIV_SAMPLED, 1};
    ASSERT_EQ(write_grid_sag_ex(single.c_str(), &h, &m.m, 2001, 397, &one), 0);
    ASSERT_EQ(export_to(h, m, 2001, 397, GRID_SAG_DERIV_SAMPLED, 2), 0);
    EXPECT_TRUE(same_bytes(single, out_));
    const std::string text = read(out_);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1 + 2001 * 397);
    EXPECT_NE(text.find(" 0\n"), std::string::npos);
    EXPECT_NE(text.find(" 1\n"), std::string::npos);
}

TEST_F(GridSagTest, SampledDerivativesUseTheirOwnAxisStep) {
    // 10 x 7 pixels on a 5 x 5 grid: cx = 2.25, cy = 1.5. The plane rises 1000
    // counts a pixel across and 2000 down, so a step of s moves it by 10 and 20.
    Matrix m(10, 7, [](int x, int y) { return 1000 * x + 2000 * y; });
    HeaderRecord h = header();
    ASSERT_EQ(export_to(h, m, 5, 5), 0);
    std::vector<std::string> l = lines(read(out_));
    ASSERT_EQ(l.size(), 26u);
    EXPECT_EQ(l[0], "5 5 17.578125 11.71875 0");
    const double k = 1000.0 / 4096;
    const double dzdx = 20 * k / (2 * 0.01 * 2.25);  // 108.507, not 162.76 over cy
    const double dzdy = 40 * k / (2 * 0.01 * 1.5);   // 325.521, not 217.014 over cx
    for (int i = 1; i < 4; ++i) {
        for (int j = 1; j < 4; ++j) {
            std::istringstream in(l[1 + i * 5 + j]);
            double z, dx, dy, dxy;
            int flag;
            ASSERT_TRUE(in >> z >> dx >> dy >> dxy >> flag) << l[1 + i * 5 + j];
            EXPECT_EQ(flag, 0);
            EXPECT_NEAR(z, ((j - 2) * 2250 + (i - 2) * 3000) * k, 5e-3) << i << "," << j;
            EXPECT_NEAR(dx, dzdx, 1e-3) << i << "," << j;
            EXPECT_NEAR(dy, dzdy, 1e-3) << i << "," << j;
            EXPECT_EQ(dxy, 0);
        }
    }
}

TEST_F(GridSagTest, RowsSplitIntoUnitsKeepEveryPoint) {
    // Rows wider than a unit are cut into pieces; 32771 columns leave a last
    // piece of 3 points. 1001 pixels across keep every step inside the matrix.
    Matrix m(1001, 9, plane);
    HeaderRecord h = header();
    for (int columns : {32771, 16385, 16383}) {
        for (int threads : {1, 2}) {
            ASSERT_EQ(export_to(h, m, 3, columns, GRID_SAG_DERIV_SAMPLED, threads), 0);
            std::vector<std::string> l = lines(read(out_));
            ASSERT_EQ(l.size(), 1u + 3u * columns) << columns;
            // Only the middle row has points with data: all but its two ends.
            for (int j = 0; j < columns; ++j) {
                const std::string& line = l[1 + columns + j];
                const bool end = j == 0 || j == columns - 1;
                ASSERT_EQ(line.back(), end ? '1' : '0') << columns << " column " << j;
            }
            EXPECT_EQ(l[1], "0 0 0 0 1");
            EXPECT_EQ(l.back(), "0 0 0 0 1");
        }
    }
}

TEST_F(GridSagTest, GridsWiderThanTheColumnTableMatchTheReference) {
    // Column positions are tabled up to 65536 columns and worked out point by
    // point beyond; both sides give the reference bytes, with either derivative.
    std::mt19937 gen(5);
    Matrix m(1001, 9, [&](int x, int y) {
        if (x == 500 && y == 3) return INVALID_PHASE;
        return plane(x, y) + static_cast<int32_t>(gen() % 31);
    });
    m.set(500, 4, 0);
    HeaderRecord h = header();
    for (int columns : {65535, 65537}) {
        GridSagReference ref;
        ASSERT_TRUE(ref.start(h, m.m, 5, columns));
        ASSERT_EQ(export_to(h, m, 5, columns, GRID_SAG_DERIV_SAMPLED, 2), 0);
        const std::string sampled = read(out_);
        EXPECT_TRUE(sampled == ref.text()) << columns;
        ASSERT_EQ(export_to(h, m, 5, columns, GRID_SAG_DERIV_GRID, 1), 0);
        const std::vector<std::string> grid = lines(read(out_)), plain = lines(sampled);
        ASSERT_EQ(grid.size(), 1u + 5u * columns);
        EXPECT_EQ(grid[1 + 2 * columns + 1000].substr(0, grid[1 + 2 * columns + 1000].find(' ')),
                  plain[1 + 2 * columns + 1000].substr(0, plain[1 + 2 * columns + 1000].find(' ')));
    }
}

TEST_F(GridSagTest, GridDerivativesKeepSagsAndFlagsOfTheDefault) {
    std::mt19937 gen(3);
    Matrix m(60, 40, [&](int x, int y) {
        if (gen() % 23 == 0) return INVALID_PHASE;
        return static_cast<int32_t>(5 * x * y - 3 * x * x);
    });
    m.set(30, 20, 0);
    HeaderRecord h = header();
    ASSERT_EQ(export_to(h, m, 21, 31), 0);
    std::vector<std::string> sampled = lines(read(out_));
    ASSERT_EQ(export_to(h, m, 21, 31, GRID_SAG_DERIV_GRID), 0);
    std::vector<std::string> grid = lines(read(out_));
    ASSERT_EQ(sampled.size(), grid.size());
    EXPECT_EQ(sampled[0], grid[0]);
    int with_data = 0;
    for (size_t n = 1; n < grid.size(); ++n) {
        auto sag = [](const std::string& s) { return s.substr(0, s.find(' ')); };
        EXPECT_EQ(sag(sampled[n]), sag(grid[n])) << n;
        EXPECT_EQ(sampled[n].back(), grid[n].back()) << n;
        with_data += grid[n].back() == '0';
    }
    EXPECT_GT(with_data, 50);
}

TEST_F(GridSagTest, GridDerivativesOnPlaneParaboloidAndSaddle) {
    // delx = dely = 15.625 mm; grid sags (cx = 2) of the plane are 500 (j-2) - 1000 (i-2).
    Matrix flat(9, 9, plane);
    HeaderRecord h = header();
    ASSERT_EQ(export_to(h, flat, 5, 5, GRID_SAG_DERIV_GRID), 0);
    std::vector<std::string> l = lines(read(out_));
    // One-sided differences at the edge of the data agree with central ones on a plane;
    // the mixed derivative needs all four diagonal neighbours.
    EXPECT_EQ(l[1 + 1 * 5 + 1], "500 32 64 0 0");
    EXPECT_EQ(l[1 + 2 * 5 + 2], "0 32 64 0 0");
    EXPECT_EQ(l[1 + 3 * 5 + 3], "-500 32 64 0 0");
    EXPECT_EQ(l[1 + 0 * 5 + 2], "0 0 0 0 1");

    // z = 62.5 ((j-2)^2 + (i-2)^2); +y toward grid row 0.
    Matrix bowl(9, 9, [](int x, int y) { return 64 * ((x - 4) * (x - 4) + (y - 4) * (y - 4)); });
    ASSERT_EQ(export_to(h, bowl, 5, 5, GRID_SAG_DERIV_GRID), 0);
    l = lines(read(out_));
    EXPECT_EQ(l[1 + 2 * 5 + 2], "0 0 0 0 0");
    EXPECT_EQ(l[1 + 2 * 5 + 3], "62.5 4 0 0 0");
    EXPECT_EQ(l[1 + 2 * 5 + 1], "62.5 -4 0 0 0");
    EXPECT_EQ(l[1 + 1 * 5 + 2], "62.5 0 4 0 0");
    EXPECT_EQ(l[1 + 3 * 5 + 2], "62.5 0 -4 0 0");
    EXPECT_EQ(l[1 + 1 * 5 + 1], "125 -4 4 0 0");

    // z = 62.5 (j-2)(i-2) = -62.5 x y / (delx dely): d2z/dxdy = -0.256 at the centre.
    Matrix saddle(9, 9, [](int x, int y) { return 64 * (x - 4) * (y - 4); });
    ASSERT_EQ(export_to(h, saddle, 5, 5, GRID_SAG_DERIV_GRID), 0);
    l = lines(read(out_));
    EXPECT_EQ(l[1 + 2 * 5 + 2], "0 0 0 -0.256 0");
}

TEST_F(GridSagTest, SampledExportMatchesPlainReference) {
    // Shapes whose steps put the difference samples in one cell, across cell
    // edges and on whole positions; holes; phases near both ends of the range,
    // where the plane through valid corners leaves it; every thread count path.
    // Rows of 261 points fill one piece of a sampled row and leave 5 points
    // for the next, one more than the four-lane groups take.
    const struct {
        int w, h, rows, columns;
    } shapes[] = {{9, 9, 5, 5},    {31, 31, 23, 23}, {50, 37, 17, 41},  {64, 64, 63, 63},
                  {101, 7, 5, 99}, {40, 90, 89, 11}, {300, 12, 7, 261}, {263, 9, 5, 263}};
    std::mt19937 gen(99);
    int compared = 0;
    const KernelReset reset;
    for (int kernel : {GRIDSAG_KERNEL_BEST, GRIDSAG_KERNEL_PORTABLE}) {
        gridsag_set_kernel(kernel);
        for (const auto& sh : shapes) {
            for (int kind = 0; kind < 6; ++kind) {
                Matrix m(sh.w, sh.h, [&](int x, int y) -> int32_t {
                    if (gen() % 29 == 0) return INVALID_PHASE + static_cast<int32_t>(gen() % 8);
                    if (kind == 1) return static_cast<int32_t>(gen());  // anywhere in the range
                    if (kind == 2) return (x + y) % 3 == 0 ? INVALID_PHASE - 1 : INT32_MIN + 5;
                    // Just inside either end: some planes cross it by a few counts.
                    if (kind == 3) return INVALID_PHASE - 1 - static_cast<int32_t>(gen() % 24);
                    if (kind == 4) return INT32_MIN + static_cast<int32_t>(gen() % 24);
                    // Planes through -1, 0 and 1 about a centre of 0: heights of 0 from
                    // samples just below it.
                    if (kind == 5) return static_cast<int32_t>(gen() % 3) - 1;
                    return static_cast<int32_t>(300 * x * x - 170 * y * y + 13 * x * y) -
                           static_cast<int32_t>(gen() % 97);
                });
                m.set(sh.w / 2, sh.h / 2, 0);
                m.set((sh.w - 1) / 2, (sh.h - 1) / 2, 0);
                m.set((sh.w + 1) / 2, (sh.h + 1) / 2, 0);
                for (int16_t phase_res : {0, 1}) {
                    HeaderRecord h = header(1e-5f, phase_res, 6.328e-7f, 0.5f, 1.0f);
                    GridSagReference ref;
                    if (!ref.start(h, m.m, sh.rows, sh.columns)) continue;
                    const std::string expected = ref.text();
                    for (int threads : {1, 2}) {
                        ASSERT_EQ(
                            export_to(h, m, sh.rows, sh.columns, GRID_SAG_DERIV_SAMPLED, threads),
                            0);
                        const std::string got = read(out_);
                        ASSERT_EQ(got.size(), expected.size())
                            << sh.w << "x" << sh.h << " " << kind;
                        const auto diff = std::mismatch(got.begin(), got.end(), expected.begin());
                        ASSERT_TRUE(diff.first == got.end())
                            << sh.w << "x" << sh.h << " kind " << kind << " kernel " << kernel
                            << " at byte " << diff.first - got.begin();
                        ++compared;
                    }
                }
            }
        }
    }
    EXPECT_GE(compared, 100);
}

// The four-lane row sampling against the portable one on rows made to hit
// every outcome in every lane: corners without data, samples rounded past
// either end of the phase range, columns whose samples leave the cell, and
// heights too large to be finite. States and values must agree bit for bit.
TEST(GridSagRowTest, WideAndPortableSamplingAgree) {
    if (!gridsag_wide_kernel_available()) GTEST_SKIP() << "no four-lane sampling on this processor";
    std::mt19937 gen(17);
    constexpr int kWidth = 64, kColumns = 61;
    std::vector<int32_t> lo(kWidth), hi(kWidth), col_lo(kColumns), col_hi(kColumns);
    std::vector<double> xm(kColumns), xc(kColumns), xp(kColumns);
    std::vector<unsigned char> in_cell(kColumns);
    auto phase = [&]() -> int32_t {
        switch (gen() % 6) {
            case 0:
                return INVALID_PHASE + static_cast<int32_t>(gen() % 8);
            case 1:
                return INVALID_PHASE - 1 - static_cast<int32_t>(gen() % 4);
            case 2:
                return INT32_MIN + static_cast<int32_t>(gen() % 4);
            case 3:
                // Around 0: with the centre at 0 too, samples just below 0
                // must come out as the height 0, not -0.
                return static_cast<int32_t>(gen() % 3) - 1;
            default:
                return static_cast<int32_t>(gen() % 2000001) - 1000000;
        }
    };
    std::uniform_real_distribution<double> offset(-0.5, 0.5);
    int outcomes[4] = {0, 0, 0, 0};
    int sag_digits = 0, sag_general = 0;
    const KernelReset reset;
    for (int trial = 0; trial < 400; ++trial) {
        for (int x = 0; x < kWidth; ++x) {
            lo[x] = phase();
            hi[x] = phase();
        }
        for (int j = 0; j < kColumns; ++j) {
            col_lo[j] = static_cast<int32_t>(gen() % (kWidth - 1));
            col_hi[j] = col_lo[j] + (gen() % 8 == 0 ? 0 : 1);
            xc[j] = offset(gen);
            xm[j] = std::max(-0.5, xc[j] - 0.01);
            xp[j] = std::min(0.5, xc[j] + 0.01);
            in_cell[j] = gen() % 7 != 0;
        }
        double yc = offset(gen);
        if (trial % 10 == 9) {
            // Whole positions (offsets -1/2) on corners p = q = r and s whose
            // plane value (3p + q + r - s) / 4 is half a count from either end
            // of the range, or a quarter further in: exactly at the end the
            // rounded value is out, a count inside it is in.
            for (int x = 0; x + 1 < kWidth; x += 2) {
                const bool top = gen() % 2 == 0;
                const int32_t end = top ? INVALID_PHASE - 1 : INT32_MIN;
                const int32_t in = gen() % 2 == 0 ? 0 : 1;
                lo[x] = lo[x + 1] = hi[x] = end;
                hi[x + 1] = top ? INVALID_PHASE - 3 + in : INT32_MIN + 2 - in;
            }
            for (int j = 0; j < kColumns; ++j) {
                col_lo[j] = 2 * static_cast<int32_t>(gen() % (kWidth / 2));
                col_hi[j] = col_lo[j] + 1;
                xm[j] = xc[j] = xp[j] = -0.5;
            }
            yc = -0.5;
        }
        if (trial % 10 == 8) {
            // Whole positions on flat cells of +-10^n counts: with the height
            // per count just below 10^-6 the sags are 0.9999996 10^(n - 6),
            // whose sixth digit rounds up into a seventh.
            for (int x = 0; x + 1 < kWidth; x += 2) {
                int32_t v = 1;
                for (int n = static_cast<int>(gen() % 7); n > 0; --n) v *= 10;
                lo[x] = lo[x + 1] = hi[x] = hi[x + 1] = gen() % 2 == 0 ? v : -v;
            }
            for (int j = 0; j < kColumns; ++j) {
                col_lo[j] = 2 * static_cast<int32_t>(gen() % (kWidth / 2));
                col_hi[j] = col_lo[j] + 1;
                xm[j] = xc[j] = xp[j] = -0.5;
            }
            yc = -0.5;
        }
        const bool whole = trial % 10 >= 8;
        // Heights per count up to where the sags and derivatives overflow.
        // and sags of every form: fixed, 0.000ddd, with an exponent, and from
        // 10^5 on, where the general formatting takes over; 5e-7 gives ties of
        // the sixth digit.
        const double ks[] = {1e304, 1e-3, 2e-3, 0.37, 1.1e-12, 5e-7, 7.5};
        const double k = trial % 10 == 8 ? 1e-6 * (1 - 4e-7) : ks[trial % 7];
        const GridSagRow row{lo.data(),
                             hi.data(),
                             col_lo.data(),
                             col_hi.data(),
                             xm.data(),
                             xc.data(),
                             xp.data(),
                             in_cell.data(),
                             whole ? yc : yc - 0.01,
                             yc,
                             whole ? yc : yc + 0.01,
                             {trial % 2 == 0 || trial % 10 == 8 ? 0.0 : 12345.0, k, 0.02, 0.03}};
        // Odd ends: the groups of four start at j0 and leave a short tail.
        const int j0 = trial % 3, j1 = kColumns - trial % 4;
        unsigned char wide_state[kColumns], plain_state[kColumns];
        double wide[4 * kColumns], plain[4 * kColumns];
        uint32_t d6[kColumns], plain_d6[kColumns];
        int32_t x10[kColumns], plain_x10[kColumns];
        gridsag_set_kernel(GRIDSAG_KERNEL_BEST);
        gridsag_sample_row(row, j0, j1, wide_state, wide, d6, x10);
        gridsag_set_kernel(GRIDSAG_KERNEL_PORTABLE);
        gridsag_sample_row(row, j0, j1, plain_state, plain, plain_d6, plain_x10);
        for (int n = 0; n < j1 - j0; ++n) {
            ASSERT_EQ(wide_state[n], plain_state[n]) << "trial " << trial << " point " << n;
            ASSERT_LT(plain_state[n], 4);
            ++outcomes[plain_state[n]];
            if (plain_state[n] != GRIDSAG_DATA) continue;
            for (int c = 0; c < 4; ++c) {
                ASSERT_EQ(std::memcmp(&wide[4 * n + c], &plain[4 * n + c], sizeof(double)), 0)
                    << "trial " << trial << " point " << n << " value " << c << ": "
                    << wide[4 * n + c] << " vs " << plain[4 * n + c];
            }
            // The sag's digits, where worked out, give gformat's text.
            ASSERT_EQ(plain_d6[n], 0u);
            char want[GFORMAT_MAX_CHARS + 1], got[GFORMAT_MAX_CHARS + 1];
            *gformat(want, plain[4 * n]) = '\0';
            if (d6[n] == 0) {
                ++sag_general;
                continue;
            }
            ++sag_digits;
            *gformat_digits(got, std::signbit(wide[4 * n]), d6[n], x10[n]) = '\0';
            ASSERT_STREQ(got, want) << "trial " << trial << " point " << n;
        }
    }
    for (int state = 0; state < 4; ++state) EXPECT_GT(outcomes[state], 100) << state;
    EXPECT_GT(sag_digits, 1000);
    EXPECT_GT(sag_general, 100);
}

TEST(GFormatTest, MatchesPrintfG) {
    std::mt19937_64 gen(12345);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::uniform_int_distribution<int> exponent(-320, 308);
    std::vector<double> values = {0.0,
                                  -0.0,
                                  1.0,
                                  -1.0,
                                  0.5,
                                  1e-5,
                                  1.5e-5,
                                  123456.5,
                                  1234565.0,
                                  999999.5,
                                  9999995,
                                  0.0001,
                                  0.00001,
                                  9.765625,
                                  -19.53125,
                                  1e300,
                                  -1e-300,
                                  5e-324,
                                  1.7976931348623157e308,
                                  100000,
                                  1e6,
                                  122.0703125};
    for (int i = 0; i < 200000; ++i) {
        double v = unit(gen) * std::pow(10.0, exponent(gen));
        if (std::isfinite(v)) values.push_back(v);
        // Values on a short decimal grid, where ties of the sixth digit occur.
        values.push_back(static_cast<double>(static_cast<int64_t>(gen() % 20000001) - 10000000) /
                         std::pow(2.0, static_cast<int>(gen() % 24)));
        // Near-ties of the sixth digit at every scale: ...d5 x 10^e.
        values.push_back(static_cast<double>(1000005 + 10 * int64_t(gen() % 899999)) *
                         std::pow(10.0, static_cast<int>(gen() % 41) - 25) * (gen() % 2 ? 1 : -1));
        uint64_t bits = gen();
        double raw;
        std::memcpy(&raw, &bits, sizeof raw);
        if (std::isfinite(raw)) values.push_back(raw);
    }
    for (double v : values) {
        char expected[64];
        std::snprintf(expected, sizeof expected, "%g", v);
        char got[GFORMAT_MAX_CHARS + 1];
        char* end = gformat(got, v);
        ASSERT_LE(end - got, GFORMAT_MAX_CHARS);
        *end = '\0';
        ASSERT_STREQ(got, expected) << std::hexfloat << v;
        *gformat_exact(got, v) = '\0';
        ASSERT_STREQ(got, expected) << std::hexfloat << v;
    }
}

// Compares gformat with printf for each value; false on the first difference.
::testing::AssertionResult SameAsPrintf(double v) {
    char expected[64];
    std::snprintf(expected, sizeof expected, "%g", v);
    char got[GFORMAT_MAX_CHARS + 1];
    char* end = gformat(got, v);
    if (end - got > GFORMAT_MAX_CHARS) return ::testing::AssertionFailure() << "too long";
    *end = '\0';
    if (std::strcmp(got, expected) == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << std::hexfloat << v << std::defaultfloat << ": \"" << got
                                         << "\" for \"" << expected << "\"";
}

TEST(GFormatTest, RoundingTiesAndFormBoundariesMatchPrintf) {
    // Each value with its neighbours a few units in the last place away: the
    // rounding of the sixth digit and the switch between the fixed and the
    // exponent form (below 1e-4, from 1e6) must fall where printf puts them.
    const double centres[] = {9.999995e-5,
                              1e-4,
                              9.9999949e-5,
                              1e-5,
                              9.999995e-6,
                              999999.5,
                              999999.4,
                              1e6,
                              99999.95,
                              100000,
                              0.5,
                              2.5,
                              1.0000005,
                              1.5e-5,
                              123456.5,
                              9.999995,
                              0.9999995,
                              1e-17,
                              1e-16,
                              9.9999999e26,
                              1e27,
                              1e26,
                              8.5e-17,
                              5e-324,
                              2.2250738585072014e-308,
                              2.2250738585072009e-308,
                              1.7976931348623157e308};
    int compared = 0;
    for (double c : centres) {
        for (double sign : {1.0, -1.0}) {
            double v = sign * c;
            for (int n = 0; n < 8; ++n) v = std::nextafter(v, 0.0);
            for (int n = 0; n < 17;
                 ++n, v = std::nextafter(v, sign * std::numeric_limits<double>::infinity())) {
                ASSERT_TRUE(SameAsPrintf(v));
                ++compared;
            }
        }
    }
    ASSERT_TRUE(SameAsPrintf(0.0));
    ASSERT_TRUE(SameAsPrintf(-0.0));
    EXPECT_EQ(compared, 27 * 2 * 17);
}

TEST(GFormatTest, ExhaustiveSweepsMatchPrintf) {
    // Every six-digit mantissa with a half in the seventh place, once as an
    // exact binary tie and once scaled so that it is not, each with its two
    // binary neighbours.
    for (int64_t d = 100000; d <= 999999; d += 1) {
        const double exact = static_cast<double>(d) + 0.5;  // a tie: printf rounds to even
        const double scaled =
            (static_cast<double>(d) + 0.5) * 1e-9;  // near-tie in the exponent form
        for (double v : {exact, scaled}) {
            ASSERT_TRUE(SameAsPrintf(v));
            ASSERT_TRUE(SameAsPrintf(std::nextafter(v, 0.0)));
            ASSERT_TRUE(SameAsPrintf(std::nextafter(v, 1e300)));
        }
    }
    // Every double in a dense stretch around the switch to the exponent form.
    double v = 9.99999e-5;
    for (int n = 0; n < 2000000 && v < 1.00001e-4; ++n, v = std::nextafter(v, 1.0)) {
        if (n % 7 == 0) {
            ASSERT_TRUE(SameAsPrintf(v));
        }
    }
    // Consecutive doubles in a stretch of sags as the converter writes them.
    v = 0.0180025;
    for (int n = 0; n < 1000000; ++n, v = std::nextafter(v, 1.0)) ASSERT_TRUE(SameAsPrintf(v));
}

// A point whose positions across lie in different cells, against the plain
// sampling of its nine positions one by one; on whole positions the corners
// put samples exactly at the end of the phase range or a count inside it.
TEST(GridSagRowTest, AcrossCellsMatchesPlainSampling) {
    std::mt19937 gen(23);
    constexpr int kWidth = 16;
    std::vector<int32_t> lo(kWidth), hi(kWidth);
    int32_t* rows[2] = {lo.data(), hi.data()};
    std::uniform_real_distribution<double> offset(-0.5, 0.5);
    int with_data = 0, without = 0;
    for (int trial = 0; trial < 4000; ++trial) {
        const bool ends = trial % 4 == 0;
        for (int x = 0; x < kWidth; x += 2) {
            const bool top = gen() % 2 == 0;
            const int32_t end = top ? INVALID_PHASE - 1 : INT32_MIN;
            const int32_t in = static_cast<int32_t>(gen() % 2);
            lo[x] = lo[x + 1] = hi[x] = ends ? end : static_cast<int32_t>(gen() % 4001) - 2000;
            hi[x + 1] = !ends ? static_cast<int32_t>(gen() % 4001) - 2000
                        : top ? INVALID_PHASE - 3 + in
                              : INT32_MIN + 2 - in;
            if (!ends && gen() % 40 == 0) lo[x] = INVALID_PHASE;
        }
        PhaseAxis xs[3], ys[3];
        for (PhaseAxis& a : xs) {
            const int first = static_cast<int>(gen() % (kWidth / 2)) * 2;
            const bool whole = ends || gen() % 4 == 0;
            a = PhaseAxis{gen() % 16 != 0, first, whole && !ends ? first : first + 1,
                          ends    ? -0.5
                          : whole ? 0.0
                                  : offset(gen)};
        }
        const double yc = ends ? -0.5 : offset(gen);
        for (int b = 0; b < 3; ++b) ys[b] = PhaseAxis{true, 0, 1, ends ? yc : yc + 0.01 * (b - 1)};
        const GridSagCellMath math{trial % 2 == 0 ? 0.0 : 321.0, 1e-3, 0.02, 0.03};
        const GridSagRow row{lo.data(),    hi.data(),    nullptr,      nullptr,
                             nullptr,      nullptr,      nullptr,      nullptr,
                             ys[0].offset, ys[1].offset, ys[2].offset, math};
        double got[4];
        const bool ok = gridsag_across_cells(row, xs[0], xs[1], xs[2], got);

        double z[3][3];
        bool plain_ok = true;
        for (int a = 0; a < 3 && plain_ok; ++a) {
            for (int b = 0; b < 3 && plain_ok; ++b) {
                int32_t v = 0;
                plain_ok = sample_phase_at(rows, xs[a], ys[b], &v);
                z[a][b] = static_cast<double>(int64_t{v} - static_cast<int64_t>(math.vc)) * math.k;
            }
        }
        ASSERT_EQ(ok, plain_ok) << "trial " << trial;
        if (!ok) {
            ++without;
            continue;
        }
        ++with_data;
        const double t1 = (z[2][2] - z[0][2]) / math.dx, t2 = (z[2][0] - z[0][0]) / math.dx;
        const double want[4] = {z[1][1], (z[2][1] - z[0][1]) / math.dx,
                                (z[1][2] - z[1][0]) / math.dy, (t1 - t2) / math.dy};
        ASSERT_EQ(std::memcmp(got, want, sizeof want), 0) << "trial " << trial;
    }
    EXPECT_GT(with_data, 500);
    EXPECT_GT(without, 500);
}

}  // namespace
