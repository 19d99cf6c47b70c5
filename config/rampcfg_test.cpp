#include "config/rampcfg.h"

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "common/status.h"
#include "common/testing/capture_sink.h"
#include "common/testing/child_process.h"
#include "common/testing/temp_dir.h"
#include "platform/testfs_testing.h"

namespace {

const char* const kSample =
    " SWLI d10s81c25.b12345      010.20 025.00 00 00 0.250 081.0000 000.00 1.00000 0";
const char* const kGood = "SWLI good 10 25 0 0 0.25 81 0 1";

class RampCfgTest : public ::testing::Test {
  protected:
    void TearDown() override { rr_free_ramp_specs(&specs); }

    int read_text(const std::string& content) {
        path = dir.file("rampcfg.txt");
        write_file(path, content);
        rr_free_ramp_specs(&specs);
        count = -1;
        msgs.clear();
        return rr_read_ramp_cfg(path.c_str(), &specs, &count);
    }
    std::string heading() const { return "Error reading ramp config file \"" + path + "\"\n"; }
    std::string accepted(int n, int of) const {
        return "Accepted " + std::to_string(n) + " of " + std::to_string(of) +
               " ramp specs in ramp config file \"" + path + "\"\n";
    }
    // Reads kGood and one more line; the messages of that line's refusal.
    std::string refusal_of(const std::string& line) {
        EXPECT_EQ(read_text(std::string(kGood) + "\n" + line + "\n"), 0) << line;
        std::string text = msgs.text();
        std::string tail = accepted(1, 2);
        if (text.rfind(heading(), 0) != 0 || text.size() < tail.size() ||
            text.substr(text.size() - tail.size()) != tail) {
            return "unexpected: " + text;
        }
        return text.substr(heading().size(), text.size() - heading().size() - tail.size());
    }

    TempDir dir;
    std::string path;
    CapturedMessages msgs;
    RrRampSpec* specs = nullptr;
    int count = 0;
};

TEST_F(RampCfgTest, SampleLineReadsAsOneSwliSpecWithWindowsLineEnds) {
    ASSERT_EQ(read_text(std::string("# heading\r\n\r\n   \t\r\n") + kSample + "\r\n"), 0)
        << msgs.text();
    EXPECT_EQ(msgs.text(), "");
    ASSERT_EQ(count, 1);
    const RrRampSpec& s = specs[0];
    EXPECT_EQ(s.rampType, RR_TYPE_SWLI);
    EXPECT_EQ(s.wavelenSelect, 0);
    EXPECT_STREQ(s.fileName, "d10s81c25.b12345");
    EXPECT_FLOAT_EQ(s.scanLen, 10.2f);
    EXPECT_EQ(s.cameraRate, 25);
    EXPECT_EQ(s.cameraInterlace, 0);
    EXPECT_EQ(s.grabSkip, 0);
    EXPECT_EQ(s.fringesPerFrame, 0.25f);
    EXPECT_EQ(s.rampSlope, 81);
    EXPECT_EQ(s.objMag, 0);
    EXPECT_EQ(s.scanCal, 1);
    EXPECT_EQ(s.hide, 0);
}

TEST_F(RampCfgTest, TypeTexts) {
    ASSERT_EQ(read_text("BTW3 a 10 25 0 0 0.25 81 5 1\nBTW b 10 25 0 0 0.25 81 5 1\n"
                        "SWLI2 c 10 25 0 0 0.25 81 0 1\nPMI d 0 60 1 2 0.125 0 0 0 1\n"),
              0)
        << msgs.text();
    ASSERT_EQ(count, 4);
    EXPECT_EQ(specs[0].rampType, RR_TYPE_BTW);
    EXPECT_EQ(specs[0].wavelenSelect, 3);
    EXPECT_EQ(specs[1].rampType, RR_TYPE_BTW);
    EXPECT_EQ(specs[1].wavelenSelect, 0);
    EXPECT_EQ(specs[2].rampType, RR_TYPE_SWLI);
    EXPECT_EQ(specs[3].rampType, RR_TYPE_PMI);
    EXPECT_EQ(specs[3].hide, 1);

    EXPECT_EQ(refusal_of("BTW5 a 10 25 0 0 0.25 81 5 1"),
              "Invalid BTW wavelength index (field 1) in line 2:\n"
              "  BTW5 a 10 25 0 0 0.25 81 5 1\n"
              "Wavelength index must be an integer in the range [1,4]\n");
    EXPECT_EQ(refusal_of("PMIX a 0 25 0 0 0.25 0 0 0"),
              "Invalid RampType value (field 1) in line 2:\n"
              "  PMIX a 0 25 0 0 0.25 0 0 0\n"
              "Allowed RampType values are SWLI, PMI, BTW, and BTWX\n"
              "where X is a wavelength index in the range [1,4]\n");
}

TEST_F(RampCfgTest, ScanLengthDependsOnTheType) {
    const std::string explanation =
        "For PMI ramps, the ScanLen value must be 0\n"
        "For SWLI or BTW ramps, it must be greater than 0 and less than 1000 (um)\n";
    EXPECT_EQ(refusal_of("PMI p 5 60 0 0 0.25 0 0 0"),
              "Invalid ScanLen value 5 (field 3) in line 2:\n  PMI p 5 60 0 0 0.25 0 0 0\n" +
                  explanation);
    EXPECT_EQ(refusal_of("SWLI s 0 25 0 0 0.25 81 0 1"),
              "Invalid ScanLen value 0 (field 3) in line 2:\n  SWLI s 0 25 0 0 0.25 81 0 1\n" +
                  explanation);
}

TEST_F(RampCfgTest, CameraRateLimitAndNumbersThatAreNoNumbers) {
    ASSERT_EQ(read_text("SWLI a 10 50000 0 0 0.25 81 0 1\n"), 0) << msgs.text();
    EXPECT_EQ(specs[0].cameraRate, 50000);
    const std::string explanation =
        "The CameraRate value must be greater than 0 and less than 50000 (Hz)\n";
    EXPECT_EQ(refusal_of("SWLI a 10 50000.1 0 0 0.25 81 0 1"),
              "Invalid CameraRate value 50000.1 (field 4) in line 2:\n"
              "  SWLI a 10 50000.1 0 0 0.25 81 0 1\n" +
                  explanation);
    EXPECT_EQ(refusal_of("SWLI a 10 nan 0 0 0.25 81 0 1"),
              "Invalid CameraRate value nan (field 4) in line 2:\n"
              "  SWLI a 10 nan 0 0 0.25 81 0 1\n" +
                  explanation);
    EXPECT_EQ(refusal_of("SWLI a 10 25 0 0 0.25 81 0 inf"),
              "Invalid ScanCal value inf (field 10) in line 2:\n"
              "  SWLI a 10 25 0 0 0.25 81 0 inf\n"
              "For PMI ramps, the ScanCal value must be 0\n"
              "For SWLI or BTW ramps, it must be greater than 0.5 and less than 1.5\n");
    EXPECT_EQ(refusal_of("SWLI a 10 fast 0 0 0.25 81 0 1"),
              "Invalid CameraRate value 0 (field 4) in line 2:\n"
              "  SWLI a 10 fast 0 0 0.25 81 0 1\n" +
                  explanation);
}

TEST_F(RampCfgTest, IntegerFieldsAndTheOptionalHideFlag) {
    ASSERT_EQ(read_text("SWLI a 10 25 1 99 0.25 81 0 1\nSWLI b 10 25 0 0 0.25 81 0 1 # note\n"
                        "SWLI c 10 25 0 0 0.25 81 0 1#\n"),
              0)
        << msgs.text();
    ASSERT_EQ(count, 3);
    EXPECT_EQ(specs[0].cameraInterlace, 1);
    EXPECT_EQ(specs[0].grabSkip, 99);
    EXPECT_EQ(specs[0].hide, 0);
    EXPECT_EQ(specs[1].hide, 0);

    EXPECT_EQ(refusal_of("SWLI a 10 25 0 0 0.25 81 0 1 2"),
              "Invalid Hide value 2 (field 11) in line 2:\n"
              "  SWLI a 10 25 0 0 0.25 81 0 1 2\n"
              "The Hide value must be blank, 0 or 1\n");
    EXPECT_EQ(refusal_of("SWLI a 10 25 0 100 0.25 81 0 1"),
              "Invalid GrabSkip value 100 (field 6) in line 2:\n"
              "  SWLI a 10 25 0 100 0.25 81 0 1\n"
              "The GrabSkip value must be greater than or equal to 0 and less than 100\n");
    EXPECT_EQ(refusal_of("SWLI a 10 25 2 0 0.25 81 0 1"),
              "Invalid CameraInterlace value 2 (field 5) in line 2:\n"
              "  SWLI a 10 25 2 0 0.25 81 0 1\n"
              "The CameraInterlace value must be 0 or 1\n");
    // A missing field is followed by its field's explanation, as in the materials reader.
    EXPECT_EQ(refusal_of("SWLI"),
              "Missing FileName value (field 2) in line 2:\n"
              "  SWLI\n"
              "The FileName may be up to 80 characters\n");
    EXPECT_EQ(refusal_of("BTW a 10 25 0 0 0.25 81"),
              "Missing ObjMag value (field 9) in line 2:\n"
              "  BTW a 10 25 0 0 0.25 81\n"
              "For PMI or SWLI ramps, the ObjMag value may be 0\n"
              "For BTW ramps, it must be greater than 0 and less than 1000\n");
    std::string longName(81, 'n');
    EXPECT_EQ(refusal_of("SWLI " + longName + " 10 25 0 0 0.25 81 0 1"),
              "FileName is too long (field 2) in line 2:\n"
              "  SWLI " +
                  longName +
                  " 10 25 0 0 0.25 81 0 1\n"
                  "The FileName may be up to 80 characters\n");
}

TEST_F(RampCfgTest, OnlyCommentsIsNoAcceptableSpec) {
    EXPECT_EQ(read_text("# nothing here\n\n#SWLI a 10 25 0 0 0.25 81 0 1\n"),
              ERR_CORRUPT_RAMP_CFG_FILE);
    EXPECT_EQ(specs, nullptr);
    // The description ends without a line end, as the materials file's does.
    EXPECT_NE(std::string(rr_cfg_description).back(), '\n');
    EXPECT_EQ(msgs.text(), "No acceptable ramp specs in ramp config file \"" + path +
                               "\"\nFormat description and sample:\n" + rr_cfg_description + "\n" +
                               kSample + "\n");
}

TEST_F(RampCfgTest, TooManyErrorsStopsAfterTheTwentyFirst) {
    std::string text;
    for (int k = 0; k < 30; ++k) text += "SWLI bad 0 25 0 0 0.25 81 0 1\n";
    text += std::string(kGood) + "\n";
    EXPECT_EQ(read_text(text), ERR_CORRUPT_RAMP_CFG_FILE);
    EXPECT_EQ(specs, nullptr);
    std::string out = msgs.text();
    std::size_t reports = 0;
    for (std::size_t at = 0; (at = out.find("Invalid ScanLen", at)) != std::string::npos; ++at) {
        ++reports;
    }
    EXPECT_EQ(reports, 21u);
    EXPECT_NE(out.find(" in line 21:\n"), std::string::npos);
    EXPECT_EQ(out.find(" in line 22:"), std::string::npos);
    const std::string last = "Too many errors reading ramp config file \"" + path + "\"\n";
    EXPECT_EQ(out.substr(out.size() - last.size()), last);
}

TEST_F(RampCfgTest, LineLimitCountsCharactersWithoutTheLineEnd) {
    std::string fits = std::string(kGood) + std::string(200 - std::strlen(kGood), ' ');
    ASSERT_EQ(read_text(fits + "\r\n" + fits + "\n"), 0) << msgs.text();
    EXPECT_EQ(count, 2);

    EXPECT_EQ(read_text(std::string(kGood) + "\n" + fits + " \r\n" + kGood + "\n"),
              ERR_CORRUPT_RAMP_CFG_FILE);
    EXPECT_EQ(msgs.text(), heading() + "Line longer than 200 characters in line 2\n");
    EXPECT_EQ(specs, nullptr);
}

TEST_F(RampCfgTest, OpenFailureAndInvalidArguments) {
    path = dir.file("missing.txt");
    EXPECT_EQ(rr_read_ramp_cfg(path.c_str(), &specs, &count), ERR_CANT_OPEN_FILE);
    EXPECT_EQ(msgs.text(), "Cannot open ramp config file \"" + path + "\"\n");
    RrRampSpec one{};
    RrRampSpec* notEmpty = &one;
    EXPECT_EQ(rr_read_ramp_cfg(path.c_str(), &notEmpty, &count), ERR_INVALID_PARAM);
}

TEST_F(RampCfgTest, WrittenFileReadsBackTheSameSpecs) {
    ASSERT_EQ(read_text(std::string(kSample) +
                        "\nSWLI + 5 25 0 0 0.5 81 0 1.2 1\n"
                        "SWLI + 5 30 0 1 0.5 81 0 1.2\nBTW2 b 10 30 0 1 0.25 81 20 0.9\n"
                        "PMI p 0 60 1 2 0.125 0 0 0 1\n"),
              0);
    ASSERT_EQ(count, 5);
    std::string out = dir.file("out.txt");
    ASSERT_EQ(rr_write_ramp_cfg(out.c_str(), specs, count), 0);
    std::string text = read_file(out);
    const std::string head =
        std::string("# Tessaryn Ramp Configuration File\n") + rr_cfg_description + "\n\n";
    ASSERT_EQ(text.rfind(head, 0), 0u);
    EXPECT_EQ(text.substr(head.size()),
              " SWLI d10s81c25.b12345        10.20  25.00  0  0 0.250  81.0000   0.00 1.00000 0\n"
              "\n"
              " SWLI +                        5.00  25.00  0  0 0.500  81.0000   0.00 1.20000 1\n"
              "\n"
              " SWLI +                        5.00  30.00  0  1 0.500  81.0000   0.00 1.20000 0\n"
              "\n"
              " BTW2 b                       10.00  30.00  0  1 0.250  81.0000  20.00 0.90000 0\n"
              "\n"
              " PMI  p                        0.00  60.00  1  2 0.125   0.0000   0.00 0.00000 1\n");

    RrRampSpec* back = nullptr;
    int backCount = 0;
    ASSERT_EQ(rr_read_ramp_cfg(out.c_str(), &back, &backCount), 0);
    ASSERT_EQ(backCount, count);
    for (int k = 0; k < count; ++k) {
        EXPECT_EQ(std::memcmp(&back[k], &specs[k], sizeof(RrRampSpec)), 0) << k;
    }
    rr_free_ramp_specs(&back);

    EXPECT_EQ(rr_write_ramp_cfg(out.c_str(), specs, 0), ERR_INVALID_PARAM);
    EXPECT_EQ(rr_write_ramp_cfg(dir.file("no/dir.txt").c_str(), specs, count), ERR_CANT_OPEN_FILE);

    // A failed write leaves the old file whole.
    if (!plat_test_can_limit_file_size()) GTEST_SKIP() << "no file size limit on this system";
    int rc = run_in_child([&] {
        CHILD_REQUIRE(plat_test_limit_file_size(600));
        CHILD_REQUIRE(rr_write_ramp_cfg(out.c_str(), specs, count) == ERR_CANT_WRITE_FILE);
        return 0;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(read_file(out), text);
}

RrRamp swli_ramp(int32_t nPoints, int32_t start, int32_t end, int32_t offset, int32_t rise) {
    RrRamp r{};
    r.hdr.rampType = RR_TYPE_SWLI;
    r.hdr.nPoints = nPoints;
    r.hdr.trigStartAddr = start;
    r.hdr.trigEndAddr = end;
    r.hdr.offset = offset;
    r.hdr.scanLen = 100;
    r.hdr.cameraRate = 25;
    r.hdr.rampSlope = 81;
    r.hdr.fringesPerFrame = 0.25f;
    r.hdr.sampleClkFreq = 2;
    r.hdr.pztID = 777;
    r.points = static_cast<uint16_t*>(std::malloc(sizeof(uint16_t) * nPoints));
    for (int32_t j = 0; j < nPoints; ++j) {
        int64_t v = offset + int64_t{rise} * j;
        r.points[j] = static_cast<uint16_t>(v > 65535 ? 65535 : v);
    }
    rr_ramp_set_name(&r, "d100s81c25.b777");
    return r;
}

RrRampSpec derive_spec(float scanLen, float fpf) {
    RrRampSpec s{};
    s.rampType = RR_TYPE_SWLI;
    std::strcpy(s.fileName, "+");
    s.scanLen = scanLen;
    s.cameraRate = 25;
    s.fringesPerFrame = fpf;
    s.rampSlope = 81;
    s.scanCal = 1;
    return s;
}

TEST(RampSpecCheck, EachMismatchIsNamed) {
    CapturedMessages msgs;
    RrRamp r = swli_ramp(10, 1, 9, 0, 1);
    RrRampSpec s = derive_spec(100, 0.25f);
    EXPECT_EQ(rr_check_ramp_spec(&s, &r), 0);
    s.cameraRate = 25.09f;
    EXPECT_EQ(rr_check_ramp_spec(&s, &r), 0);
    EXPECT_EQ(msgs.text(), "");

    struct Case {
        void (*change)(RrRampSpec*);
        const char* field;
    } cases[] = {
        {[](RrRampSpec* p) { p->rampType = RR_TYPE_BTW; }, "rampType"},
        {[](RrRampSpec* p) { p->cameraRate = 25.2f; }, "cameraRate"},
        {[](RrRampSpec* p) { p->cameraInterlace = 1; }, "cameraInterlace"},
        {[](RrRampSpec* p) { p->grabSkip = 1; }, "grabSkip"},
        {[](RrRampSpec* p) { p->fringesPerFrame = 0.75f; }, "fringesPerFrame"},
        {[](RrRampSpec* p) { p->scanLen = 50; }, "scanLen"},
        {[](RrRampSpec* p) { p->rampSlope = 80; }, "rampSlope"},
    };
    for (const Case& c : cases) {
        RrRampSpec changed = derive_spec(100, 0.25f);
        c.change(&changed);
        msgs.clear();
        EXPECT_EQ(rr_check_ramp_spec(&changed, &r), ERR_INVALID_PARAM) << c.field;
        EXPECT_EQ(msgs.text(), std::string("Error: mismatched ") + c.field + "\n");
    }

    // A PMI-family header takes a PMI spec and ignores scan length and slope.
    r.hdr.rampType = 5;
    RrRampSpec pmi = derive_spec(0, 0.25f);
    pmi.rampType = RR_TYPE_PMI;
    pmi.rampSlope = 0;
    msgs.clear();
    EXPECT_EQ(rr_check_ramp_spec(&pmi, &r), 0);
    pmi.rampType = RR_TYPE_SWLI;
    EXPECT_EQ(rr_check_ramp_spec(&pmi, &r), ERR_INVALID_PARAM);
    EXPECT_EQ(msgs.text(), "Error: mismatched rampType\n");
    rr_ramp_release(&r);
}

TEST(RampDerive, FringesPerFrameMustDivideOrBeAMultipleOfAQuarter) {
    CapturedMessages msgs;
    RrRamp base = swli_ramp(1200, 100, 1100, 1000, 10);
    for (float fpf : {0.125f, 0.5f, 0.25f, 1.25f}) {
        RrRamp d{};
        RrRampSpec s = derive_spec(100, fpf);
        EXPECT_EQ(rr_derive_ramp(&base, &d, &s), 0) << fpf;
        EXPECT_EQ(d.hdr.fringesPerFrame, fpf);
        rr_ramp_release(&d);
    }
    EXPECT_EQ(msgs.text(), "");
    RrRamp d{};
    RrRampSpec s = derive_spec(100, 0.3f);
    EXPECT_EQ(rr_derive_ramp(&base, &d, &s), ERR_INVALID_PARAM);
    EXPECT_EQ(msgs.text(), "Error: fringesPerFrame = 0.3 is invalid for derived ramp\n");
    EXPECT_EQ(d.points, nullptr);
    rr_ramp_release(&base);
}

TEST(RampDerive, SpecsThatCannotBeDerived) {
    CapturedMessages msgs;
    RrRamp base = swli_ramp(1200, 100, 1100, 1000, 10);
    RrRamp d{};
    RrRampSpec s = derive_spec(100, 0.25f);
    s.rampType = RR_TYPE_PMI;
    EXPECT_EQ(rr_derive_ramp(&base, &d, &s), ERR_INVALID_PARAM);
    s = derive_spec(100.5f, 0.25f);
    EXPECT_EQ(rr_derive_ramp(&base, &d, &s), ERR_PARAM_OUT_OF_RANGE);
    s = derive_spec(50, 0.25f);
    s.rampType = RR_TYPE_BTW;
    EXPECT_EQ(rr_derive_ramp(&base, &d, &s), ERR_INVALID_PARAM);
    EXPECT_EQ(msgs.text(),
              "Error: derived ramp must be type SWLI or BTW\n"
              "Error: derived ramp must have smaller scan length\n"
              "Error: BTW ramp must specify an objective mag\n");

    // The base must be SWLI with points; the new ramp must hold none.
    s = derive_spec(50, 0.25f);
    base.hdr.rampType = RR_TYPE_BTW;
    EXPECT_EQ(rr_derive_ramp(&base, &d, &s), ERR_INVALID_PARAM);
    base.hdr.rampType = RR_TYPE_SWLI;
    uint16_t one = 0;
    d.points = &one;
    EXPECT_EQ(rr_derive_ramp(&base, &d, &s), ERR_INVALID_PARAM);
    d.points = nullptr;

    // Far too slow a clock for the update timer.
    msgs.clear();
    s = derive_spec(100, 0.25f);
    s.cameraRate = 0.001f;
    EXPECT_EQ(rr_derive_ramp(&base, &d, &s), ERR_INVALID_PARAM);
    EXPECT_EQ(msgs.text(), "Error: sampleClkFreq = 8e-05 KHz is too low\n");
    EXPECT_EQ(d.points, nullptr);
    EXPECT_EQ(d.name, nullptr);
    rr_ramp_release(&base);
}

TEST(RampDerive, BaseValuesUsedAsIndexesOrDivisorsAreChecked) {
    CapturedMessages msgs;
    struct Case {
        void (*spoil)(RrRamp*);
        const char* message;
    } cases[] = {
        {[](RrRamp* r) { r->hdr.trigStartAddr = -1; },
         "Error: trigStartAddr = -1 is invalid in base ramp\n"},
        {[](RrRamp* r) { r->hdr.trigEndAddr = 1201; },
         "Error: trigEndAddr = 1201 is invalid in base ramp\n"},
        {[](RrRamp* r) { r->hdr.trigEndAddr = 100; },
         "Error: trigEndAddr = 100 is invalid in base ramp\n"},
        {[](RrRamp* r) { r->hdr.rampSlope = 0; }, "Error: rampSlope = 0 is invalid in base ramp\n"},
        {[](RrRamp* r) { r->hdr.cameraRate = NAN; },
         "Error: cameraRate = nan is invalid in base ramp\n"},
        {[](RrRamp* r) { r->hdr.grabSkip = -1; }, "Error: grabSkip = -1 is invalid in base ramp\n"},
        {[](RrRamp* r) { r->hdr.sampleClkFreq = INFINITY; },
         "Error: sampleClkFreq = inf is invalid in base ramp\n"},
        {[](RrRamp* r) { r->hdr.scanLen = INFINITY; },
         "Error: scanLen = inf is invalid in base ramp\n"},
        // The ramp-up is scaled by (P[i] - offset) / (P[s] - offset).
        {[](RrRamp* r) { r->hdr.offset = r->points[100]; },
         "Error: offset = 2000 is invalid in base ramp\n"},
    };
    for (const Case& c : cases) {
        RrRamp base = swli_ramp(1200, 100, 1100, 1000, 10);
        c.spoil(&base);
        RrRamp d{};
        RrRampSpec s = derive_spec(std::isinf(base.hdr.scanLen) ? 50 : 50, 0.25f);
        msgs.clear();
        EXPECT_EQ(rr_derive_ramp(&base, &d, &s), ERR_INVALID_PARAM) << c.message;
        EXPECT_EQ(msgs.text(), c.message);
        EXPECT_EQ(d.points, nullptr);
        rr_ramp_release(&base);
    }
}

TEST(RampDerive, SameScanAtAnotherRateCopiesThePointsAndRescalesTheClock) {
    RrRamp base = swli_ramp(1200, 100, 1100, 1000, 10);
    base.hdr.compFilter = 1;
    base.hdr.compGain = 1;
    base.hdr.adcMin = 100;
    base.hdr.adcLast = -300;
    RrRamp d{};
    RrRampSpec s = derive_spec(100, 0.25f);
    s.cameraRate = 60;
    s.grabSkip = 1;  // 30 sampled frames per second
    s.rampSlope = 243;
    s.hide = 1;
    ASSERT_EQ(rr_derive_ramp(&base, &d, &s), 0);
    // Scan speed 243 nm x 30 /s against 81 nm x 25 /s.
    const double h = (243.0 * 30) / (81.0 * 25);
    EXPECT_FLOAT_EQ(d.hdr.sampleClkFreq, static_cast<float>(2 * h));
    EXPECT_EQ(d.hdr.updateRate, static_cast<int32_t>(std::lround(65536 - 4000 / (2 * h))));
    EXPECT_EQ(d.hdr.nBuckets, static_cast<int32_t>(30.0 * 1000 / (1000 * 2 * h)));
    EXPECT_EQ(d.hdr.compGain, 0);
    EXPECT_EQ(d.hdr.adcMin, 360);
    EXPECT_EQ(d.hdr.adcLast, -1080);
    EXPECT_EQ(std::memcmp(d.points, base.points, 1200 * sizeof(uint16_t)), 0);
    EXPECT_STREQ(d.name, "+d100s81c25.b777");
    EXPECT_TRUE(d.derived);
    EXPECT_EQ(d.hide, 1);
    EXPECT_EQ(d.hdr.pztID, 777);
    rr_ramp_release(&d);

    // A derived name is as long as its base's name makes it.
    std::string longName(120, 'x');
    rr_ramp_set_name(&base, longName.c_str());
    ASSERT_EQ(rr_derive_ramp(&base, &d, &s), 0);
    EXPECT_EQ(std::string(d.name), "+" + longName);
    rr_ramp_release(&d);
    rr_ramp_release(&base);
}

// A linear base ramp, 1000 + 10 j: half the scan keeps base indexes 350 to
// 850 of the trigger span 100 to 1100, and spreads base values 4500 (index
// 350) to 10500 (index 950, the kept part and the 100-point tail) over the
// output points 100 to 1199. The ramp-up is scaled to end where that begins.
TEST(RampDerive, CompensationGainStepsOnlyPastHalfOrDoubleTheSpeedAndStaysIn0To2) {
    // h is the new ramp slope over the base's 81 at the same frame rate.
    const struct {
        float slope;
        int32_t gain, expected;
    } cases[] = {
        {40, 1, 2},    {40, 2, 2},   // slower than half: up, but never past 2
        {40.5f, 1, 1},               // exactly half: unchanged
        {162, 1, 1},                 // exactly double: unchanged
        {163, 1, 0},   {163, 0, 0},  // faster than double: down, but never below 0
        {81, 2, 2},    {81, 0, 0},
    };
    for (const auto& c : cases) {
        RrRamp base = swli_ramp(1200, 100, 1100, 1000, 10);
        base.hdr.compFilter = 1;
        base.hdr.compGain = c.gain;
        RrRampSpec s = derive_spec(100, 0.25f);
        s.rampSlope = c.slope;
        RrRamp d{};
        ASSERT_EQ(rr_derive_ramp(&base, &d, &s), 0) << c.slope;
        EXPECT_EQ(d.hdr.compGain, c.expected) << c.slope << " from " << c.gain;
        rr_ramp_release(&d);
        rr_ramp_release(&base);
    }
}

TEST(RampDerive, ResampledRampFollowsTheKeptPartOfTheBaseScan) {
    RrRamp base = swli_ramp(1200, 100, 1100, 1000, 10);
    RrRamp d{};
    RrRampSpec s = derive_spec(50, 0.25f);
    ASSERT_EQ(rr_derive_ramp(&base, &d, &s), 0);
    ASSERT_EQ(d.hdr.nPoints, 1200);
    for (int j = 0; j < 100; ++j) {
        ASSERT_NEAR(d.points[j], 1000 + 35.0 * j, 1.0) << j;
    }
    const double slope = (10500.0 - 4500.0) / 1100;
    for (int k = 100; k < 1200; ++k) {
        // An inserted point is the mean of its neighbours' levels, so it may
        // trail the line by up to one output step.
        ASSERT_NEAR(d.points[k], 4500 + slope * (k - 100), slope + 1) << k;
    }
    for (int k = 1; k < 1200; ++k) ASSERT_GE(d.points[k], d.points[k - 1]) << k;
    const double stretch = 1100.0 / 600;
    EXPECT_FLOAT_EQ(d.hdr.sampleClkFreq, static_cast<float>(2 * stretch));
    EXPECT_EQ(d.hdr.scanLen, 50);
    EXPECT_EQ(d.hdr.nBuckets, static_cast<int32_t>(1000 * 25.0 / (1000 * 2 * stretch)));
    EXPECT_EQ(d.hdr.updateRate,
              static_cast<int32_t>(std::lround(
                  65536 - 4000 / static_cast<double>(static_cast<float>(2 * stretch)))));
    rr_ramp_release(&d);
    rr_ramp_release(&base);
}

TEST(RampDerive, RandomValidBasesStayInsideTheirBounds) {
    std::mt19937 rng(12345);
    CapturedMessages msgs;
    int derived = 0;
    for (int round = 0; round < 400; ++round) {
        auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
        const int n = pick(2, 3000);
        const int s = pick(0, n - 2);
        const int t = pick(s + 1, n);
        RrRamp base = swli_ramp(n, s, t, pick(0, 3000), pick(0, 60));
        for (int j = 0; j < n; ++j) {
            if (pick(0, 9) == 0) base.points[j] = static_cast<uint16_t>(pick(0, 65535));
        }
        base.hdr.scanLen = static_cast<float>(pick(1, 999));
        base.hdr.sampleClkFreq = static_cast<float>(pick(1, 5000)) / 100;
        RrRampSpec spec =
            derive_spec(static_cast<float>(pick(1, 1000)) / 1000 * base.hdr.scanLen, 0.25f);
        spec.cameraRate = static_cast<float>(pick(1, 400));
        spec.rampSlope = static_cast<float>(pick(1, 3999));
        RrRamp d{};
        int status = rr_derive_ramp(&base, &d, &spec);
        if (status == 0) {
            ++derived;
            ASSERT_EQ(d.hdr.nPoints, n);
            ASSERT_NE(d.points, nullptr);
            ASSERT_GE(d.hdr.updateRate, 0);
            ASSERT_LE(d.hdr.updateRate, 65536);
            ASSERT_GT(d.hdr.sampleClkFreq, 0);
        } else {
            ASSERT_EQ(status, ERR_INVALID_PARAM);
            ASSERT_EQ(d.points, nullptr);
        }
        rr_ramp_release(&d);
        rr_ramp_release(&base);
    }
    EXPECT_GT(derived, 200);
}

TEST(RampSet, RampIdsCountTheAcceptedRampsFromOne) {
    RrRampSet set{};
    for (int k = 0; k < 3; ++k) {
        RrRamp r = swli_ramp(4, 1, 3, 0, 1);
        r.hdr.rampID = 99;
        ASSERT_EQ(rr_ramp_set_add(&set, &r), 0);
        EXPECT_EQ(r.points, nullptr);
        EXPECT_EQ(r.name, nullptr);
    }
    ASSERT_EQ(set.count, 3);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(set.ramps[k].hdr.rampID, k + 1);
    while (set.count < RR_MAX_RAMPS) {
        RrRamp r{};
        ASSERT_EQ(rr_ramp_set_add(&set, &r), 0);
    }
    RrRamp extra = swli_ramp(4, 1, 3, 0, 1);
    EXPECT_EQ(rr_ramp_set_add(&set, &extra), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_NE(extra.points, nullptr);
    rr_ramp_release(&extra);
    EXPECT_EQ(set.ramps[RR_MAX_RAMPS - 1].hdr.rampID, RR_MAX_RAMPS);
    rr_ramp_set_release(&set);
    EXPECT_EQ(set.count, 0);
    EXPECT_EQ(set.ramps, nullptr);
}

}  // namespace
