// The surfconv program run as a child process: exit statuses, exact messages
// on standard error, exact output files.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "common/testing/temp_dir.h"
#include "platform/run_program.h"
#include "platform/testfs_testing.h"
#include "tools/datgen.h"

namespace fs = std::filesystem;

namespace {

const std::string kUsage =
    "\nUsage:  surfconv [options] input output width\n"
    "\tinput  = existing Pryn binary data file\n"
    "\toutput = Zemax grid sag surface data file to create\n"
    "\twidth  = width of output grid ( must be odd )\n"
    "\n\tOptions:\n"
    "\t\t-f\twrites output even if file already exists\n";

// sample.grd as surfconv writes it from samples/sample.dat at 31 columns.
constexpr std::size_t kSampleGridSize = 35984;
constexpr uint64_t kSampleGridDigest = 0x6C31AC7AE846ABD9;

struct Result {
    int status = -1;
    std::string err, out;
    bool killed = false;  // still running at the time limit
};

class SurfconvTest : public ::testing::Test {
  protected:
    void SetUp() override { dir_ = temp_.path(); }

    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    static std::string read(const std::string& p) { return read_file(p); }

    // Runs surfconv (or `exe`) in the test directory with the arguments as
    // given. With a limit, a child still running after that many seconds of
    // real time is killed, so that a program that blocks fails the test
    // instead of hanging the suite.
    Result run(const std::vector<std::string>& args, const char* exe = SURFCONV_EXE,
               int limit_seconds = 0) {
        PlatProgramRun how;
        how.directory = dir_;
        how.limit_seconds = limit_seconds;
        PlatProgramResult done;
        EXPECT_TRUE(plat_run_program(exe, args, how, &done)) << exe;
        Result r;
        r.status = done.status;
        r.killed = done.killed;
        r.err = done.err;
        r.out = done.out;
        return r;
    }

    // A data file with the plane 1024 x - 2048 y (or `f`) over w x h points.
    void make_input(const std::string& name, int w, int h,
                    const std::function<int32_t(int, int)>& f = nullptr, float lateral = 0.0078125f,
                    float hf1 = 1.0f) {
        DatImage image;
        image.phase_window = Window{0, 0, static_cast<int16_t>(w), static_cast<int16_t>(h)};
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) image.phase.push_back(f ? f(x, y) : 1024 * x - 2048 * y);
        image.height_factor_1 = hf1;
        image.height_factor_2 = 1.0f;
        image.height_factor_3 = 1.0f;
        image.lateral_res = lateral;
        image.phase_res = 0;
        ASSERT_TRUE(dat_image_write(path(name).c_str(), image));
    }

    static std::string head(const std::string& in, const std::string& out) {
        return "Unable to convert \"" + in + "\" to \"" + out + "\" because...\n";
    }
    static std::string converting(const std::string& in, const std::string& out) {
        return "Converting \"" + in + "\" to \"" + out + "\"\n";
    }
    static std::string success(const std::string& in, const std::string& out) {
        return converting(in, out) + "Conversion from \"" + in + "\" to \"" + out +
               "\" successful\n";
    }

    TempDir temp_;
    std::string dir_;
};

TEST_F(SurfconvTest, UsageErrors) {
    make_input("in.dat", 21, 21);
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"in.dat", "out.grd"},
        {"-x", "in.dat", "out.grd", "5"},
        {"-", "in.dat", "out.grd", "5"},
        {"in.dat", "out.grd", "5", "extra"},
        {"-f", "in.dat", "out.grd"},
        {"missing.dat", "out.grd", "5", "-q"},  // the scan stops before any file is examined
        {"in.dat", "out.grd", " -3"},           // odd but below 1
    };
    for (const auto& args : cases) {
        Result r = run(args);
        EXPECT_EQ(r.status, 1) << ::testing::PrintToString(args);
        EXPECT_EQ(r.err, kUsage) << ::testing::PrintToString(args);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_FALSE(fs::exists(path("out.grd")));
}

TEST_F(SurfconvTest, WidthMustBeOdd) {
    make_input("in.dat", 21, 21);
    const struct {
        const char* text;
        const char* shown;
    } cases[] = {{"4", "4"}, {"abc", "0"}, {" -4", "-4"}, {"", "0"}};
    for (const auto& c : cases) {
        Result r = run({"in.dat", "out.grd", c.text});
        EXPECT_EQ(r.status, 1) << c.text;
        EXPECT_EQ(r.err, head("in.dat", "out.grd") + "\tOutput grid width ( " + c.shown +
                             " ) must be odd\n")
            << c.text;
    }
    // Beyond the 32-bit range the value is clamped, not wrapped: -2147483648 is even.
    Result r = run({"in.dat", "out.grd", " -99999999999"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              head("in.dat", "out.grd") + "\tOutput grid width ( -2147483648 ) must be odd\n");
    EXPECT_FALSE(fs::exists(path("out.grd")));

    // "7x" reads as 7.
    r = run({"in.dat", "out.grd", "7x"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, success("in.dat", "out.grd"));
}

TEST_F(SurfconvTest, FiveByFiveOverHundredAndOne) {
    // cx = cy = 25: z = 6250 (j-2) - 12500 (i-2); the phase moves 10.24 counts per 0.01
    // pixel across (sampled as 10) and -20.48 down (-20): 20 k / 0.5 and -40 k / 0.5.
    make_input("in.dat", 101, 101);
    // Width 3 over a 101 x 101 map gives 5 columns and 5 rows.
    Result r = run({"in.dat", "out.grd", "3"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, success("in.dat", "out.grd"));
    EXPECT_EQ(r.out, "");
    const std::string d = " 9.76562 -19.5312 0 0\n";
    const std::string none = "0 0 0 0 1\n";
    const std::string border = none + none + none + none + none;
    EXPECT_EQ(read(path("out.grd")), "5 5 195.3125 195.3125 0\n" + border +                      //
                                         none + "6250" + d + "12500" + d + "18750" + d + none +  //
                                         none + "-6250" + d + "0" + d + "6250" + d + none +      //
                                         none + "-18750" + d + "-12500" + d + "-6250" + d + none +
                                         border);
}

TEST_F(SurfconvTest, GridSizeFollowsTheTrimmedAspectRatio) {
    // 101 x 51 of data inside an invalid frame, which the trim removes.
    make_input("in.dat", 109, 57, [](int x, int y) {
        return x < 4 || x >= 105 || y < 3 || y >= 54 ? INVALID_PHASE : 3 * x + 5 * y;
    });
    Result r = run({"in.dat", "out.grd", "33"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, success("in.dat", "out.grd"));
    std::istringstream in(read(path("out.grd")));
    std::string line;
    std::getline(in, line);
    // rows = 51 * 33 / 101 = 16, made odd 17, with margins 19; delx = 0.0078125 * 100/34 * 1000.
    EXPECT_EQ(line, "35 19 22.9779412 21.7013889 0");
    int count = 0, no_data = 0;
    for (; std::getline(in, line); ++count) {
        const int i = count / 35, j = count % 35;
        if (i == 0 || j == 0 || i == 18 || j == 34) {
            EXPECT_EQ(line, "0 0 0 0 1");
        }
        no_data += line == "0 0 0 0 1";
    }
    EXPECT_EQ(count, 35 * 19);
    EXPECT_EQ(no_data, 2 * 35 + 2 * 17);

    // The largest accepted width is W - 2; a larger one names both.
    r = run({"-f", "in.dat", "out.grd", "99"});
    EXPECT_EQ(r.status, 0) << r.err;
    r = run({"-f", "in.dat", "out.grd", "101"});
    EXPECT_EQ(r.status, 6);
    EXPECT_EQ(r.err, converting("in.dat", "out.grd") + head("in.dat", "out.grd") +
                         "\tOutput grid width ( 101 ) must be smaller than input width ( 101 )\n");
    // Huge widths neither overflow the grid size nor wrap in the message.
    for (const char* w : {"2147483647", "99999999999"}) {
        r = run({"-f", "in.dat", "out.grd", w});
        EXPECT_EQ(r.status, 6) << w;
        EXPECT_EQ(r.err, converting("in.dat", "out.grd") + head("in.dat", "out.grd") +
                             "\tOutput grid width ( 2147483647 ) must be smaller than input "
                             "width ( 101 )\n");
    }
}

TEST_F(SurfconvTest, InputMustBeAnExistingRegularFile) {
    fs::create_directory(path("indir"));
    for (const char* in : {"missing.dat", "indir"}) {
        Result r = run({in, "out.grd", "5"});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, head(in, "out.grd") + "\t\"" + in + "\" does not exist\n");
    }
}

// A FIFO is no data file: refused at once, by the converter and by datinfo,
// never waited on for a writer.
TEST_F(SurfconvTest, FifoInputIsRefusedWithoutWaiting) {
    constexpr int kLimit = 20;  // real seconds; both programs answer at once
    if (!plat_test_make_fifo(path("in.dat"))) GTEST_SKIP() << kPlatTestNoFifo;
    Result r = run({"in.dat", "out.grd", "5"}, SURFCONV_EXE, kLimit);
    EXPECT_FALSE(r.killed);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, head("in.dat", "out.grd") + "\t\"in.dat\" does not exist\n");
    EXPECT_FALSE(fs::exists(path("out.grd")));

    make_input("good.dat", 5, 5);
    r = run({"in.dat", "good.dat"}, DATINFO_EXE, kLimit);
    EXPECT_FALSE(r.killed);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "datinfo: in.dat: ERR_CANT_OPEN_FILE\n");
    EXPECT_NE(r.out.find("file: good.dat\n"), std::string::npos);  // the next file is still read
}

TEST_F(SurfconvTest, OverwriteRules) {
    make_input("in.dat", 21, 21);
    std::ofstream(path("out.grd")) << "previous\n";
    ASSERT_TRUE(plat_test_set_mode(path("out.grd"), 0604));
    const unsigned mode = plat_test_mode(path("out.grd"));
    Result r = run({"in.dat", "out.grd", "5"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, head("in.dat", "out.grd") + "\t\"out.grd\" already exists\n");
    EXPECT_EQ(read(path("out.grd")), "previous\n");

    // A failed conversion with -f leaves the old file as it was.
    r = run({"-f", "in.dat", "out.grd", "21"});
    EXPECT_EQ(r.status, 6);
    EXPECT_EQ(read(path("out.grd")), "previous\n");

    // -f anywhere, and any argument that begins with -f.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"in.dat", "out.grd", "5", "-f"},
          std::vector<std::string>{"in.dat", "-fxyz", "out.grd", "5"}}) {
        std::ofstream(path("out.grd")) << "previous\n";
        r = run(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, success("in.dat", "out.grd"));
        EXPECT_EQ(read(path("out.grd")).substr(0, 4), "7 7 ");
        EXPECT_EQ(plat_test_mode(path("out.grd")), mode);
    }
}

// A file the user may not write is not replaced behind their back, -f or not.
TEST_F(SurfconvTest, ReadOnlyOutputIsRefused) {
    if (!plat_test_read_only_is_enforced()) GTEST_SKIP() << "the superuser writes anything";
    make_input("in.dat", 21, 21);
    std::ofstream(path("out.grd")) << "previous\n";
    ASSERT_TRUE(plat_test_set_mode(path("out.grd"), 0444));
    Result r = run({"-f", "in.dat", "out.grd", "5"});
    EXPECT_EQ(r.status, 5);
    EXPECT_EQ(r.err, converting("in.dat", "out.grd") + head("in.dat", "out.grd") +
                         "\tthere was an error writing to the file \"out.grd\"\n");
    EXPECT_EQ(read(path("out.grd")), "previous\n");
    EXPECT_EQ(plat_test_mode(path("out.grd")), 0444u);
    ASSERT_TRUE(plat_test_set_mode(path("out.grd"), 0644));  // so that it can be cleaned up
    int entries = 0;
    for (auto e = fs::directory_iterator(dir_); e != fs::directory_iterator(); ++e) ++entries;
    EXPECT_EQ(entries, 2);  // no temporary file left
}

// A link to the output is kept; its target is replaced.
TEST_F(SurfconvTest, OutputLinkIsKept) {
    make_input("in.dat", 21, 21);
    std::ofstream(path("real.grd")) << "previous\n";
    if (!plat_test_make_symlink("real.grd", path("out.grd"))) GTEST_SKIP() << kPlatTestNoSymlink;
    Result r = run({"-f", "in.dat", "out.grd", "3"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::is_symlink(path("out.grd")));
    EXPECT_EQ(read(path("real.grd")).substr(0, 4), "5 5 ");
}

TEST_F(SurfconvTest, OutputThatCannotBeWritten) {
    make_input("in.dat", 21, 21);
    fs::create_directory(path("outdir"));
    std::vector<std::string> outs = {"outdir", "nodir/out.grd"};
    if (plat_test_full_device() != nullptr) outs.push_back(plat_test_full_device());
    for (const std::string& out : outs) {
        Result r = run({"in.dat", out, "5"});
        EXPECT_EQ(r.status, 5) << out;
        EXPECT_EQ(r.err, converting("in.dat", out) + head("in.dat", out) +
                             "\tthere was an error writing to the file \"" + out + "\"\n");
    }
    EXPECT_TRUE(fs::is_empty(path("outdir")));
    EXPECT_FALSE(fs::exists(path("nodir")));
    // Nothing but the input is left in the directory (no temporary file).
    int entries = 0;
    for (const auto& e : fs::directory_iterator(dir_)) entries += e.path().filename() != "outdir";
    EXPECT_EQ(entries, 1);
}

TEST_F(SurfconvTest, ReaderFailureNamesTheCode) {
    std::ofstream(path("bad.dat"), std::ios::binary) << std::string(4096, '\0');
    Result r = run({"bad.dat", "out.grd", "5"});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.err, converting("bad.dat", "out.grd") + head("bad.dat", "out.grd") +
                         "\tthere was an error reading the file \"bad.dat\"\n"
                         "\tERR_NOT_A_DATA_FILE\n");
    EXPECT_FALSE(fs::exists(path("out.grd")));
}

TEST_F(SurfconvTest, DataFailures) {
    const std::string err_head = converting("in.dat", "out.grd") + head("in.dat", "out.grd");
    // No valid point at all: the trim's code.
    make_input("in.dat", 21, 21, [](int, int) { return INVALID_PHASE; });
    Result r = run({"in.dat", "out.grd", "5"});
    EXPECT_EQ(r.status, 9);
    EXPECT_EQ(r.err, err_head + "\tERR_ALL_BAD_DATA\n");

    // No data at the centre (the trimmed window still spans it).
    make_input("in.dat", 21, 21,
               [](int x, int y) { return x == 10 && y == 10 ? INVALID_PHASE : x; });
    r = run({"in.dat", "out.grd", "5"});
    EXPECT_EQ(r.status, 7);
    EXPECT_EQ(r.err, err_head + "\tInvalid data at center of input\n");

    for (float lateral :
         {0.0f, std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
        make_input("in.dat", 21, 21, nullptr, lateral);
        r = run({"in.dat", "out.grd", "5"});
        EXPECT_EQ(r.status, 8) << lateral;
        EXPECT_EQ(r.err, err_head + "\tLateral resolution of input is unknown\n");
    }

    // Height factors whose product is not finite are refused before any output.
    make_input("in.dat", 21, 21, nullptr, 0.0078125f, std::numeric_limits<float>::infinity());
    r = run({"in.dat", "out.grd", "5"});
    EXPECT_EQ(r.status, 9);
    EXPECT_EQ(r.err, err_head + "\tERR_FP_OVERFLOW\n");
    EXPECT_FALSE(fs::exists(path("out.grd")));
}

TEST_F(SurfconvTest, ByteOrderMarkedPaths) {
    // "\xFF\xFE" then U+4E2D U+6587 (input) or U+6587 U+4E2D (output) in UTF-16LE:
    // every byte non-zero, so the text passes through argv whole.
    const std::string in_arg = "\xFF\xFE\x2D\x4E\x87\x65";
    const std::string out_arg = "\xFF\xFE\x87\x65\x2D\x4E";
    make_input("\xE4\xB8\xAD\xE6\x96\x87", 21, 21);
    Result r = run({in_arg, out_arg, "3"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, success(in_arg, out_arg));
    EXPECT_EQ(read(path("\xE6\x96\x87\xE4\xB8\xAD")).substr(0, 4), "5 5 ");

    r = run({in_arg, out_arg, "3"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, head(in_arg, out_arg) + "\t\"" + out_arg + "\" already exists\n");

    // An unpaired surrogate names nothing.
    r = run({"\xFF\xFE\x41\xD8\x41\x41", "out.grd", "3"});
    EXPECT_EQ(r.status, 2);
}

// The sample measurement converts to the same bytes on every system (the
// digest is that of the file the Linux build writes).
TEST_F(SurfconvTest, SampleConvertsToTheSameBytesEverywhere) {
    fs::copy_file(std::string(SURF_SOURCE_DIR) + "/samples/sample.dat", path("sample.dat"));
    Result r = run({"sample.dat", "sample.grd", "31"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string grid = read(path("sample.grd"));
    uint64_t digest = 0xCBF29CE484222325ULL;  // FNV-1a
    for (unsigned char c : grid) digest = (digest ^ c) * 0x100000001B3ULL;
    EXPECT_EQ(grid.size(), kSampleGridSize);
    EXPECT_EQ(digest, kSampleGridDigest) << std::hex << digest;
}

TEST_F(SurfconvTest, GridDerivativesOption) {
    make_input("in.dat", 101, 101);
    Result r = run({"in.dat", "out.grd", "3", "-d"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, success("in.dat", "out.grd"));
    // Plane: 6250 mm per grid step of 195.3125 mm across, -12500 down (+y up).
    std::istringstream in(read(path("out.grd")));
    std::string line;
    std::vector<std::string> l;
    while (std::getline(in, line)) l.push_back(line);
    ASSERT_EQ(l.size(), 26u);
    EXPECT_EQ(l[0], "5 5 195.3125 195.3125 0");
    EXPECT_EQ(l[1 + 2 * 5 + 2], "0 32 64 0 0");
    EXPECT_EQ(l[1 + 1 * 5 + 1], "6250 32 64 0 0");
}

}  // namespace
