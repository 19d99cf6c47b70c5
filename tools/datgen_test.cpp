#include "tools/datgen.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "common/status.h"
#include "common/testing/temp_dir.h"
#include "tools/testing/run_tool.h"

namespace fs = std::filesystem;

namespace {

struct Scratch {
    TempDir dir;
    std::string file(const char* name) const { return dir.file(name); }
};

struct ReadBack {
    HeaderRecord record{};
    PhaseMatrix phase{};
    IntensityMatrix intensity{};
    int status;
    explicit ReadBack(const DatImage& image) {
        std::vector<unsigned char> bytes = dat_image_bytes(image);
        TempDir dir;
        write_file(dir.file("image.dat"), std::string(bytes.begin(), bytes.end()));
        FILE* f = std::fopen(dir.file("image.dat").c_str(), "rb");
        status = f != nullptr ? dat_read_stream(f, nullptr, &record, &intensity, &phase) : -1;
        if (f != nullptr) std::fclose(f);
    }
    ~ReadBack() {
        phase.release();
        intensity.release();
    }
    int32_t at(int i, int j) const { return phase.matrix[j * phase.window.width + i]; }
};

int64_t count_valid(const DatImage& image) {
    int64_t n = 0;
    for (int32_t v : image.phase) n += phase_is_valid(v);
    return n;
}

std::string run(const std::string& command, int* exit_status) {
    return run_tool(command, exit_status);
}

}  // namespace

TEST(DatGen, HeightToCountUsesTheHeaderUnit) {
    DatGenOptions o;  // HI: 32768 counts per cycle of 6.328e-7 * 1 * 0.5 m
    const double unit = static_cast<double>((6.328e-7f * 1.0f) * 0.5f) / 32768;
    EXPECT_EQ(datgen_height_to_count(0, o), 0);
    EXPECT_EQ(datgen_height_to_count(1000 * unit, o), 1000);
    EXPECT_EQ(datgen_height_to_count(-2.6 * unit, o), -3);
    EXPECT_EQ(datgen_height_to_count(1.0, o), INVALID_PHASE - 1);
    EXPECT_EQ(datgen_height_to_count(-1.0, o), INT32_MIN);
    EXPECT_EQ(datgen_height_to_count(std::nan(""), o), INVALID_PHASE);
    o.phase_res = 0;
    EXPECT_EQ(datgen_height_to_count(1000 * unit, o), 125);
}

TEST(DatGen, SphereInApertureReadsBack) {
    DatGenOptions o;
    o.window = {10, 20, 65, 49};
    o.radius_mm = 20;
    o.aperture = true;
    o.border = 2;
    o.phase_res = 2;
    o.lateral_res = 2e-5f;
    DatImage image;
    ASSERT_TRUE(datgen_synthesize(o, &image));
    ReadBack r(image);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.phase.window.x, 10);
    EXPECT_EQ(r.phase.window.width, 65);
    EXPECT_EQ(r.record.phase_res(), 2);
    EXPECT_EQ(r.record.lateral_res(), 2e-5f);
    EXPECT_EQ(r.at(32, 24), 0);             // vertex on the centre
    EXPECT_EQ(r.at(0, 0), INVALID_PHASE);   // outside the aperture
    EXPECT_EQ(r.at(32, 1), INVALID_PHASE);  // border
    EXPECT_EQ(r.at(32 + 20, 24), r.at(32 - 20, 24));
    // Height back from counts: r^2 / 2R for a shallow sphere.
    const double unit =
        static_cast<double>((r.record.height_factor_1() * r.record.height_factor_3()) *
                            r.record.height_factor_2()) /
        dat_phase_counts_per_cycle(2);
    const double x = 20 * 2e-5;
    EXPECT_NEAR(r.at(52, 24) * unit, x * x / (2 * 0.02), 1e-9);
    Window valid{};
    ASSERT_EQ(r.phase.valid_window(nullptr, &valid), 0);
    // Circle of radius 24.5 on (32, 24): columns 8..56, rows 0..48 less the border,
    // in camera coordinates.
    EXPECT_EQ(valid.x, 10 + 8);
    EXPECT_EQ(valid.width, 49);
    EXPECT_EQ(valid.y, 20 + 2);
    EXPECT_EQ(valid.height, 45);
}

TEST(DatGen, ShapesAndRegions) {
    DatGenOptions o;
    o.window = {0, 0, 40, 30};
    o.shape = DATGEN_TILT;
    o.tilt_x = 1e-4;
    DatImage image;
    ASSERT_TRUE(datgen_synthesize(o, &image));
    const int32_t step = image.phase[1] - image.phase[0];
    EXPECT_GT(step, 0);
    EXPECT_NEAR(image.phase[39] - image.phase[38], step, 1);
    EXPECT_EQ(count_valid(image), 40 * 30);

    o.shape = DATGEN_SADDLE;
    ASSERT_TRUE(datgen_synthesize(o, &image));
    EXPECT_GT(image.phase[0], 0);  // corner along x^2 - y^2 with x > y
    EXPECT_LT(image.phase[15 * 40 + 20], image.phase[15 * 40 + 0]);

    o.shape = DATGEN_RANDOM;
    o.holes = 5;
    o.seed = 7;
    DatImage a, b, c;
    ASSERT_TRUE(datgen_synthesize(o, &a));
    ASSERT_TRUE(datgen_synthesize(o, &b));
    o.seed = 8;
    ASSERT_TRUE(datgen_synthesize(o, &c));
    EXPECT_EQ(a.phase, b.phase);  // a seed gives the same file every time
    EXPECT_NE(a.phase, c.phase);
    EXPECT_LT(count_valid(a), 40 * 30);

    o.no_valid = true;
    o.invalid_value = 0x7FFFFFFF;
    ASSERT_TRUE(datgen_synthesize(o, &image));
    EXPECT_EQ(count_valid(image), 0);
    EXPECT_EQ(image.phase[0], 0x7FFFFFFF);
    ReadBack r(image);
    Window w{};
    EXPECT_EQ(r.phase.valid_window(nullptr, &w), ERR_ALL_BAD_DATA);
}

TEST(DatGen, IntensityPlanesAndOverrides) {
    DatGenOptions o;
    o.window = {1, 1, 8, 6};
    o.n_buckets = 3;
    o.intens_param = 9;
    o.magic = DAT_MAGIC_834_B;
    o.phase_bytes = 5;
    DatImage image;
    ASSERT_TRUE(datgen_synthesize(o, &image));
    std::vector<unsigned char> bytes = dat_image_bytes(image);
    EXPECT_EQ(bytes.size(), 834u + 3 * 48 * 2 + 48 * 4);
    EXPECT_EQ(bytes[72 + 3], 5);  // the overriding phase byte count
    ReadBack r(image);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.intensity.n_buckets, 3);
    EXPECT_EQ(r.intensity.intens_param, 9);
    EXPECT_EQ(std::vector<int16_t>(r.intensity.matrix, r.intensity.matrix + 144), image.intensity);
    EXPECT_EQ(r.record.header_format(), 0);
}

TEST(DatGen, RefusesOptionsOutOfRange) {
    DatImage image;
    std::string error;
    DatGenOptions o;
    o.window.width = 0;
    EXPECT_FALSE(datgen_synthesize(o, &image, &error));
    o = DatGenOptions{};
    o.height_factor_2 = 0;
    EXPECT_FALSE(datgen_synthesize(o, &image, &error));
    o = DatGenOptions{};
    o.window = {0, 0, 32767, 32767};  // 4 GiB of phase: more than a byte count holds
    EXPECT_FALSE(datgen_synthesize(o, &image, &error));
    EXPECT_EQ(error, "the phase block would exceed 2 GiB");
}

TEST(DatGenArgs, ParsesLongOptions) {
    const char* argv[] = {"--width", "512",        "--height=384", "--shape", "random",
                          "--seed",  "42",         "--header",     "834b",    "--phase-res",
                          "SUPER",   "--aperture", "--holes",      "3",       "--intensity-bytes",
                          "-1",      "out.dat"};
    DatGenOptions o;
    std::string output, error;
    ASSERT_EQ(datgen_parse_args(17, argv, &o, &output, &error), 0) << error;
    EXPECT_EQ(output, "out.dat");
    EXPECT_EQ(o.window.width, 512);
    EXPECT_EQ(o.window.height, 384);
    EXPECT_EQ(o.shape, DATGEN_RANDOM);
    EXPECT_EQ(o.seed, 42u);
    EXPECT_EQ(o.magic, DAT_MAGIC_834_B);
    EXPECT_EQ(o.phase_res, 2);
    EXPECT_TRUE(o.aperture);
    EXPECT_EQ(o.holes, 3);
    EXPECT_EQ(o.intensity_bytes, 0xFFFFFFFF);

    const std::vector<std::vector<const char*>> bad = {{"--width", "0", "x.dat"},
                                                       {"--shape", "cone", "x.dat"},
                                                       {"--width"},
                                                       {"--radius", "abc", "x.dat"},
                                                       {"--frobnicate", "1", "x.dat"},
                                                       {"a.dat", "b.dat"},
                                                       {}};
    for (const auto& args : bad) {
        EXPECT_EQ(
            datgen_parse_args(static_cast<int>(args.size()), args.data(), &o, &output, &error), 1);
        EXPECT_NE(error.find("Try 'datgen --help'."), std::string::npos);
    }
    const char* help[] = {"--help"};
    EXPECT_EQ(datgen_parse_args(1, help, &o, &output, &error), 2);
    EXPECT_NE(error.find("--aperture-radius"), std::string::npos);
}

TEST(DatGen, Crc32) {
    EXPECT_EQ(datgen_crc32("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(datgen_crc32("56789", 5, datgen_crc32("1234", 4)), 0xCBF43926u);
}

TEST(DatTools, GeneratorAndInfoAsPrograms) {
    Scratch s;
    const std::string dat = s.file("sphere.dat");
    int rc = -1;
    std::string out = run(std::string(DATGEN_EXE) +
                              " --width 33 --height 21 --shape sphere --radius 10 "
                              "--aperture --buckets 2 --phase-res LO " +
                              dat,
                          &rc);
    ASSERT_EQ(rc, 0) << out;
    out = run(std::string(DATINFO_EXE) + " " + dat, &rc);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("magic: 0x881B0371 (header 4096 bytes)\n"), std::string::npos) << out;
    EXPECT_NE(out.find("phase window: x=0 y=0 width=33 height=21\n"), std::string::npos) << out;
    EXPECT_NE(out.find("phase bytes: 2772\n"), std::string::npos) << out;
    EXPECT_NE(out.find("intensity bytes: 2772\n"), std::string::npos) << out;
    EXPECT_NE(out.find("n_buckets: 2\n"), std::string::npos) << out;
    EXPECT_NE(out.find("phase_res: LO (0), 4096 counts per cycle\n"), std::string::npos) << out;
    EXPECT_NE(out.find("header_format: 3\n"), std::string::npos) << out;
    EXPECT_NE(out.find("valid window: x=6 y=0 width=21 height=21\n"), std::string::npos) << out;

    // The CRC covers the phase block as it is in the file.
    std::ifstream in(dat, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    char expect[64];
    std::snprintf(expect, sizeof expect, "phase crc32: 0x%08X\n",
                  datgen_crc32(bytes.data() + bytes.size() - 2772, 2772));
    EXPECT_NE(out.find(expect), std::string::npos) << out;

    const std::string junk = s.file("junk.dat");
    std::ofstream(junk) << "not a data file";
    out = run(std::string(DATINFO_EXE) + " " + junk, &rc);
    EXPECT_NE(rc, 0);
    EXPECT_NE(out.find("ERR_NOT_A_DATA_FILE"), std::string::npos) << out;

    out = run(std::string(DATGEN_EXE) + " --width 0 " + dat, &rc);
    EXPECT_EQ(rc, 1);
    EXPECT_NE(out.find("bad value for --width: '0'"), std::string::npos) << out;
}
