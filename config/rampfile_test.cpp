#include "config/rampfile.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "common/alloc.h"
#include "common/status.h"
#include "common/testing/capture_sink.h"
#include "common/testing/child_process.h"
#include "common/testing/temp_dir.h"
#include "platform/testfs_testing.h"

namespace {

rr_ramp_hdr_t sample_header() {
    rr_ramp_hdr_t h{};
    h.rampType = RR_TYPE_SWLI;
    h.pztID = 12345;
    h.rampID = 3;
    h.nPoints = 12;
    h.rampUp = 2;
    h.rampStart = 4;
    h.rampLinear = 5;
    h.rampEnd = 11;
    h.sampleClkFreq = 2.5f;
    h.cameraRate = 25;
    h.updateRate = 64936;
    h.rampSlope = 81;
    h.trigStartAddr = 2;
    h.trigEndAddr = 10;
    h.rampGainDflt = -7;
    h.rampTriple[0] = 1.5f;
    h.rampTriple[2] = -2.25f;
    h.scanLen = 10.2f;
    h.polar = 'b';
    h.polarPad[1] = 0x5A;
    h.offset = 1000;
    h.nBuckets = 40;
    h.instrBdType = 8;
    h.adcLast = 0x01020304;
    h.scanCal = 1;
    h.reserved1 = 0x11223344;
    h.fringesPerFrame = 0.25f;
    h.objMag = 20;
    h.wavelenSelect = 3;
    h.reserved2[3] = 0x55667788;
    h.spare[0] = 0xAB;
    h.spare[131] = 0xCD;
    return h;
}

std::vector<uint16_t> sample_points(int n) {
    std::vector<uint16_t> p(static_cast<std::size_t>(n));
    for (int k = 0; k < n; ++k)
        p[static_cast<std::size_t>(k)] = static_cast<uint16_t>(k * 5000 + 7);
    return p;
}

std::vector<unsigned char> bytes_of(const std::string& path) {
    std::string s = read_file(path);
    return std::vector<unsigned char>(s.begin(), s.end());
}

TEST(RampFile, WrittenFileReadsBackIdenticallyWithItsByteOrder) {
    TempDir dir;
    std::string path = dir.file("d10s81c25.b12345");
    rr_ramp_hdr_t h = sample_header();
    std::vector<uint16_t> points = sample_points(12);
    ASSERT_EQ(rr_write_ramp_file(path.c_str(), &h, points.data()), 0);

    std::vector<unsigned char> b = bytes_of(path);
    ASSERT_EQ(b.size(), 328u + 24u);
    EXPECT_EQ(std::vector<unsigned char>(b.begin(), b.begin() + 4),
              (std::vector<unsigned char>{0x52, 0x41, 0x4D, 0x51}));
    EXPECT_EQ(b[19], 12);  // nPoints, big-endian
    EXPECT_EQ(b[84], 'b');
    EXPECT_EQ(b[86], 0x5A);
    EXPECT_EQ(std::vector<unsigned char>(b.begin() + 156, b.begin() + 160),
              (std::vector<unsigned char>{1, 2, 3, 4}));
    EXPECT_EQ(std::vector<unsigned char>(b.begin() + 164, b.begin() + 168),
              (std::vector<unsigned char>{0x11, 0x22, 0x33, 0x44}));
    // fringesPerFrame 0.25 = 0x3E800000, little-endian from offset 168 on.
    EXPECT_EQ(std::vector<unsigned char>(b.begin() + 168, b.begin() + 172),
              (std::vector<unsigned char>{0x00, 0x00, 0x80, 0x3E}));
    EXPECT_EQ(b[176], 3);
    EXPECT_EQ(std::vector<unsigned char>(b.begin() + 192, b.begin() + 196),
              (std::vector<unsigned char>{0x88, 0x77, 0x66, 0x55}));
    EXPECT_EQ(b[196], 0xAB);
    EXPECT_EQ(b[327], 0xCD);
    EXPECT_EQ(b[328 + 2], 5007 >> 8);  // point 1, big-endian
    EXPECT_EQ(b[328 + 3], 5007 & 0xFF);

    rr_ramp_hdr_t back{};
    uint16_t* read = nullptr;
    ASSERT_EQ(rr_read_ramp_file(path.c_str(), &back, &read), 0);
    h.magicNumber = RR_MAGIC_NUMBER;
    EXPECT_EQ(std::memcmp(&back, &h, sizeof h), 0);
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(std::vector<uint16_t>(read, read + 12), points);
    rr_free_points(&read);
}

TEST(RampFile, ReaderRefusesWhatIsNotAWholeRampFile) {
    TempDir dir;
    rr_ramp_hdr_t h{};
    uint16_t* points = nullptr;
    EXPECT_EQ(rr_read_ramp_file(dir.file("none").c_str(), &h, &points), ERR_CANT_OPEN_FILE);
    EXPECT_EQ(rr_read_ramp_file(dir.path().c_str(), &h, &points), ERR_CANT_OPEN_FILE);
    EXPECT_EQ(rr_read_ramp_file(nullptr, &h, &points), ERR_INVALID_PARAM);

    std::string path = dir.file("r");
    write_file(path, "RAM");
    EXPECT_EQ(rr_read_ramp_file(path.c_str(), &h, &points), ERR_PREMATURE_EOF);
    write_file(path, std::string("QMAR") + std::string(400, '\0'));
    EXPECT_EQ(rr_read_ramp_file(path.c_str(), &h, &points), ERR_NOT_A_RAMP_FILE);
    write_file(path, std::string("RAMQ") + std::string(300, '\0'));
    EXPECT_EQ(rr_read_ramp_file(path.c_str(), &h, &points), ERR_PREMATURE_EOF);

    // Fewer points than the header claims; the array of an earlier read is gone.
    rr_ramp_hdr_t w = sample_header();
    std::vector<uint16_t> values = sample_points(12);
    ASSERT_EQ(rr_write_ramp_file(path.c_str(), &w, values.data()), 0);
    ASSERT_EQ(rr_read_ramp_file(path.c_str(), &h, &points), 0);
    ASSERT_NE(points, nullptr);
    std::string whole = read_file(path);
    write_file(path, whole.substr(0, whole.size() - 1));
    EXPECT_EQ(rr_read_ramp_file(path.c_str(), &h, &points), ERR_CORRUPT_RAMP_FILE);
    EXPECT_EQ(points, nullptr);

    // The header alone is read whatever it claims.
    EXPECT_EQ(rr_read_ramp_file(path.c_str(), &h, nullptr), 0);
    EXPECT_EQ(h.nPoints, 12);
}

int g_allocations = 0;
void* counting_alloc(std::size_t n) {
    ++g_allocations;
    return std::malloc(n);
}

TEST(RampFile, HugePointCountIsRefusedBeforeAnyAllocation) {
    TempDir dir;
    std::string path = dir.file("r");
    rr_ramp_hdr_t w = sample_header();
    std::vector<uint16_t> values = sample_points(12);
    ASSERT_EQ(rr_write_ramp_file(path.c_str(), &w, values.data()), 0);
    std::string bytes = read_file(path);
    bytes[16] = 0x7F;
    bytes[17] = bytes[18] = bytes[19] = static_cast<char>(0xFF);
    write_file(path, bytes);

    UAllocHooks hooks = u_alloc_hooks;
    hooks.alloc = counting_alloc;
    UAllocHooks previous = u_set_alloc_hooks(hooks);
    g_allocations = 0;
    rr_ramp_hdr_t h{};
    uint16_t* points = nullptr;
    int status = rr_read_ramp_file(path.c_str(), &h, &points);
    u_set_alloc_hooks(previous);
    EXPECT_EQ(status, ERR_CORRUPT_RAMP_FILE);
    EXPECT_EQ(g_allocations, 0);
    EXPECT_EQ(points, nullptr);
}

TEST(RampFile, WriterRefusesNoPointsAndReportsCreateAndWriteFailures) {
    TempDir dir;
    rr_ramp_hdr_t h = sample_header();
    std::vector<uint16_t> values = sample_points(12);
    EXPECT_EQ(rr_write_ramp_file(dir.file("a").c_str(), &h, nullptr), ERR_INVALID_PARAM);
    h.nPoints = 0;
    EXPECT_EQ(rr_write_ramp_file(dir.file("a").c_str(), &h, values.data()), ERR_INVALID_PARAM);
    h.nPoints = 12;
    EXPECT_EQ(rr_write_ramp_file(dir.file("no/such").c_str(), &h, values.data()),
              ERR_CANT_CREATE_FILE);
    EXPECT_FALSE(std::filesystem::exists(dir.file("a")));

    // A write cut short by the file size limit leaves the old file as it was.
    if (!plat_test_can_limit_file_size()) GTEST_SKIP() << "no file size limit on this system";
    std::string path = dir.file("ramp");
    write_file(path, "old contents");
    int rc = run_in_child([&] {
        CHILD_REQUIRE(plat_test_limit_file_size(100));
        CHILD_REQUIRE(rr_write_ramp_file(path.c_str(), &h, values.data()) == ERR_CANT_WRITE_FILE);
        return 0;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(read_file(path), "old contents");
    int entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
        (void)e;
        ++entries;
    }
    EXPECT_EQ(entries, 1);
}

TEST(RampFile, StandardNames) {
    CapturedMessages msgs;
    rr_ramp_hdr_t h = sample_header();
    EXPECT_STREQ(rr_get_std_ramp_filename(&h), "d10s81c25.b12345");

    h.cameraRate = 25;
    h.grabSkip = 1;  // 12.5 Hz rounds up
    h.rampSlope = 81.9f;
    EXPECT_STREQ(rr_get_std_ramp_filename(&h), "d10s81c13.b12345");

    h.rampType = RR_TYPE_BTW;
    h.objMag = 2.5f;
    EXPECT_STREQ(rr_get_std_ramp_filename(&h), "d10s81c13m2.b12345");

    h.rampType = 4;  // PMI family
    h.grabSkip = 0;
    h.cameraRate = 60;
    h.nBuckets = 13;
    h.rampMux = 1;
    EXPECT_STREQ(rr_get_std_ramp_filename(&h), "p13c60.q12345");
    h.rampMux = 2;
    EXPECT_STREQ(rr_get_std_ramp_filename(&h), "p13c60.p12345");
    EXPECT_EQ(msgs.text(), "");

    h.rampType = 16;
    EXPECT_EQ(rr_get_std_ramp_filename(&h), nullptr);
    EXPECT_EQ(msgs.text(), "rr_get_std_ramp_filename: unsupported ramp type 16\n");

    // Numbers that do not fit an integer make no name.
    msgs.clear();
    h.rampType = RR_TYPE_SWLI;
    h.scanLen = 3e9f;
    EXPECT_EQ(rr_get_std_ramp_filename(&h), nullptr);
    EXPECT_EQ(msgs.text(), "rr_get_std_ramp_filename: scanLen 3e+09 does not fit an integer\n");
    msgs.clear();
    h.scanLen = 10;
    h.grabSkip = -1;
    EXPECT_EQ(rr_get_std_ramp_filename(&h), nullptr);
    EXPECT_EQ(msgs.text(), "rr_get_std_ramp_filename: rate inf does not fit an integer\n");
}

std::string listing(const rr_ramp_hdr_t& h, const uint16_t* points, bool onePerLine) {
    FILE* f = std::tmpfile();
    rr_print_ramp_hdr(f, &h, points, onePerLine);
    std::string text;
    std::rewind(f);
    for (int c; (c = std::fgetc(f)) != EOF;) text.push_back(static_cast<char>(c));
    std::fclose(f);
    return text;
}

TEST(RampFile, HeaderListing) {
    rr_ramp_hdr_t h = sample_header();
    h.magicNumber = RR_MAGIC_NUMBER;
    std::string text = listing(h, nullptr, false);
    EXPECT_EQ(text.rfind("#   1-  4  magicNumber        = 1380011345\n#   5-  8  rampType", 0), 0u);
    EXPECT_NE(text.find("#  37- 40  sampleClkFreq      = 2.5\n"), std::string::npos);
    EXPECT_NE(text.find("#  69- 72  rampTriple[0]      = 1.5\n"), std::string::npos);
    EXPECT_NE(text.find("#  85- 88  polar              = b\n#  89- 92  offset"), std::string::npos);
    EXPECT_NE(
        text.find("# 161-164  scanCal            = 1\n# 169-172  fringesPerFrame    = 0.25\n"),
        std::string::npos);
    EXPECT_NE(text.find("# 177-180  wavelenSelect      = 3\n# 197-328  spare             \n"
                        "# sizeof rr_ramp_hdr_t = 328\n"),
              std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 29), "# sizeof rr_ramp_hdr_t = 328\n");

    std::vector<uint16_t> points = sample_points(12);
    std::string packed = listing(h, points.data(), false).substr(text.size());
    EXPECT_EQ(packed,
              "7  \n5007  10007  15007  20007  25007  30007  35007  40007  45007  50007  \n"
              "55007  \n");
    std::string lines = listing(h, points.data(), true).substr(text.size());
    EXPECT_EQ(lines.rfind("7\n5007\n10007\n", 0), 0u);
    EXPECT_EQ(lines.substr(lines.size() - 12), "50007\n55007\n");
}

TEST(RampFile, InstrumentBoardCheck) {
    CapturedMessages msgs;
    struct Case {
        int32_t fileBoard, instrBoard;
        bool ok;
    } cases[] = {{0, 8, true}, {1, 8, true}, {8, 8, true},  {3, 8, false},
                 {0, 3, true}, {3, 3, true}, {1, 3, false}, {8, 1, false}};
    for (const Case& c : cases) {
        rr_ramp_hdr_t h = sample_header();
        h.pztID = 7;
        h.instrBdType = c.fileBoard;
        msgs.clear();
        int status = rr_check_ramp_file(&h, "r.b7", c.instrBoard, 7, -1);
        EXPECT_EQ(status, c.ok ? 0 : ERR_WRONG_INSTR_BOARD) << c.fileBoard << " " << c.instrBoard;
        EXPECT_EQ(
            msgs.text(),
            c.ok ? "" : "Error: ramp data file r.b7 is not compatible with this instrument\n");
    }
}

TEST(RampFile, ActuatorCheckTakesTheInstrumentsNumber) {
    CapturedMessages msgs;
    rr_ramp_hdr_t h = sample_header();
    h.instrBdType = 0;
    h.rampType = 9;
    EXPECT_EQ(rr_check_ramp_file(&h, "p", 3, 500, -1), ERR_INVALID_PARAM);
    EXPECT_EQ(msgs.text(), "Error: ramp data file \"p\" can only be used with a PZT\n");

    msgs.clear();
    h = sample_header();
    h.instrBdType = 0;
    EXPECT_EQ(rr_check_ramp_file(&h, "d", 3, -1, 500), ERR_INVALID_PARAM);
    EXPECT_EQ(msgs.text(), "Error: ramp data file \"d\" can only be used with a PIFOC\n");

    msgs.clear();
    EXPECT_EQ(rr_check_ramp_file(&h, "d", 3, 54321, -1), 0);
    EXPECT_EQ(msgs.text(),
              "Warning: ramp data file \"d\" was generated for a different PIFOC\n"
              "Changing ramp S/N from 12345 to 54321\n");
    EXPECT_EQ(h.pztID, 54321);

    msgs.clear();
    h.rampType = 16;
    EXPECT_EQ(rr_check_ramp_file(&h, "x", 3, 54321, 1), ERR_CORRUPT_RAMP_FILE);
    EXPECT_EQ(msgs.text(), "Error: ramp data file \"x\" is of unknown type 16\n");
}

TEST(RampFile, FringesPerFrameCheck) {
    CapturedMessages msgs;
    struct Case {
        int32_t type, buckets;
        float slope, fpf;
        float expect;  // -1: refused
    } cases[] = {
        {1, 5, 0, 0.25f, 0.25f}, {1, 7, 0, 0, 0.25f},      {1, 11, 0, 0.125f, 0.125f},
        {1, 13, 0, 0, 0.125f},   {1, 5, 0, 0.125f, -1},    {1, 11, 0, 0.25f, -1},
        {1, 9, 0, 0, -1},        {1, 14, 0, 0.3f, 0.3f},   {0, 0, 81, 0, 0.25f},
        {0, 0, 243, 0, 0.75f},   {17, 0, 405, 0, 1.25f},   {0, 0, 567, 0, 1.75f},
        {0, 0, 80, 0, -1},       {0, 0, 80, 1.25f, 1.25f}, {0, 0, 80, 0.5f, -1},
        {0, 0, 80, -0.25f, -1},  {0, 0, 80, 0.3f, -1},
    };
    for (const Case& c : cases) {
        rr_ramp_hdr_t h = sample_header();
        h.instrBdType = 0;
        h.pztID = 1;
        h.rampType = c.type;
        h.nBuckets = c.buckets;
        h.rampSlope = c.slope;
        h.fringesPerFrame = c.fpf;
        msgs.clear();
        int status = rr_check_ramp_file(&h, "f", 3, 1, 1);
        if (c.expect < 0) {
            EXPECT_EQ(status, ERR_INVALID_PARAM) << c.type << " " << c.buckets << " " << c.fpf;
            char expected[128];
            std::snprintf(expected, sizeof expected,
                          "Error: invalid fringesPerFrame %g in ramp data file \"f\"\n",
                          static_cast<double>(c.fpf));
            EXPECT_EQ(msgs.text(), expected);
        } else {
            EXPECT_EQ(status, 0) << c.type << " " << c.buckets << " " << c.fpf;
            EXPECT_EQ(h.fringesPerFrame, c.expect);
        }
    }
}

}  // namespace
