#include "config/sbcal.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/dirs.h"
#include "common/status.h"
#include "common/testing/capture_sink.h"
#include "common/testing/child_process.h"
#include "common/testing/temp_dir.h"
#include "platform/process.h"

namespace {

const std::string kTestData = std::string(SURF_SOURCE_DIR) + "/config/testdata/";

const SbCalibration& cal(int slot) {
    return *sb_system_info(slot);
}

// A complete file for a serial board of the first generation.
const char* const kMinimal =
    "Model10 11 23 123456\n"
    "Version none 1 vrnx\n"
    "InstrComm COM1\n"
    "Light hene\n"
    "LLC Target 150\n";

class SbCalTest : public ::testing::Test {
  protected:
    void SetUp() override { sb_readCal(0, "+DEFAULTS"); }

    // Writes `content` to a file and reads it into slot 0; the messages are in msgs.
    int read_text(const std::string& content, const std::string& name = "test.cal") {
        path = dir.file(name);
        write_file(path, content);
        msgs.clear();
        return sb_readCal(0, path.c_str());
    }

    // The messages of a read after the "Reading ..." line.
    std::string errors() const {
        std::string text = msgs.text();
        std::string first = "Reading system calibration file: \"" + path + "\"\n";
        return text.rfind(first, 0) == 0 ? text.substr(first.size()) : text;
    }

    std::string heading() const {
        return "Error(s) reading system calibration file \"" + path + "\":\n";
    }

    TempDir dir;
    std::string path;
    CapturedMessages msgs;
};

TEST_F(SbCalTest, FullFileReadsWritesAndReadsBackUnchanged) {
    std::string source = kTestData + "full.cal";
    ASSERT_EQ(sb_readCal(0, source.c_str()), 0) << msgs.text();
    SbCalibration first = cal(0);

    // Values that do not fit the narrow fields some stored files were written with.
    EXPECT_EQ(first.frameGrabberVersion, 4021);
    EXPECT_EQ(first.wmMaxBuckets[1], int64_t{2147483647} * 1048576);
    EXPECT_DOUBLE_EQ(first.wmTuneRange[1], 2.25e9);
    EXPECT_EQ(first.sleepTimeout, 20864);
    EXPECT_DOUBLE_EQ(first.wavelengths[1], 0.6328e-6);
    EXPECT_EQ(first.wavelengthFractions[1], 0.5);
    EXPECT_EQ(first.cameraFiles[1], "");
    EXPECT_EQ(first.cameraFiles[3], "cam 4.dcf");
    EXPECT_EQ(first.numBadPixels, 7);
    EXPECT_EQ(first.numFtpAvgK0[2], 10);
    EXPECT_EQ(first.ftpZeroGagePer, 86400 + 2 * 3600 + 3 * 60 + 4);
    EXPECT_EQ(first.cameraSplitAxis, 'X');
    EXPECT_EQ(first.pidVals[0][0].ints[1], -2);
    EXPECT_EQ(first.pidVals[7][0], first.pidVals[7][1]);

    std::string written = dir.file("written.cal");
    ASSERT_EQ(sb_writeCal(0, written.c_str()), 0) << msgs.text();
    EXPECT_EQ(read_file(written), read_file(source));

    sb_readCal(0, "+DEFAULTS");
    ASSERT_EQ(sb_readCal(0, written.c_str()), 0) << msgs.text();
    EXPECT_TRUE(cal(0) == first);
}

TEST_F(SbCalTest, AliasesReadLikeTheWriterLabels) {
    ASSERT_EQ(read_text(std::string(kMinimal) + "camera splity 12 4\n"
                                                "ramp configuration r.txt\n"
                                                "SysMag 1 2\n"
                                                "ftpavgk0 3 1 2\n"
                                                "camera bad [1,1]\n"
                                                "pztid 99999\n"),
              0)
        << msgs.text();
    EXPECT_EQ(cal(0).cameraSplitAxis, 'Y');
    EXPECT_EQ(cal(0).cameraSplitPos, 12);
    EXPECT_EQ(cal(0).rampConfig, "r.txt");
    EXPECT_EQ(cal(0).numFtpAvgK0[3], 2);
    EXPECT_EQ(cal(0).numBadPixels, 1);
    EXPECT_TRUE(cal(0).pifocSet);
    EXPECT_EQ(cal(0).pifocId, 99999);
}

TEST_F(SbCalTest, CommentsOnlyFileMissesTheSystemType) {
    EXPECT_EQ(read_text("# nothing here\n\n   # indented comment\n\t\n"),
              ERR_SB_CALFILE_INCOMPLETE);
    EXPECT_EQ(msgs.text(), "Reading system calibration file: \"" + path + "\"\n" + heading() +
                               "Missing system type info.\n");
}

TEST_F(SbCalTest, PlusDefaultsAndPlusLine) {
    ASSERT_EQ(read_text(kMinimal), 0);
    msgs.clear();
    EXPECT_EQ(sb_readCal(0, "+DEFAULTS"), 0);
    EXPECT_TRUE(cal(0) == SbCalibration{});
    EXPECT_EQ(sb_readCal(0, "+unit 5"), 0);
    EXPECT_EQ(sb_readCal(0, "+sysmag 1.0 2.0"), 0);
    EXPECT_EQ(cal(0).numSysMags, 2);
    EXPECT_EQ(cal(0).sysMags[1], 2.0);
    EXPECT_EQ(cal(0).unit, 5);  // applied without a reset
    EXPECT_EQ(msgs.text(), "");

    EXPECT_EQ(sb_readCal(0, "+unit 8"), ERR_SB_CALFILE_VALUE_RANGE);
    EXPECT_EQ(msgs.text(),
              "Error(s) reading system calibration info\n\"+unit 8\":\n8 out of range [0,7]\n"
              "Error in line 1.\n");
    msgs.clear();
    EXPECT_EQ(sb_readCal(0, "+sysmag"), ERR_SB_CALFILE_SYNTAX);
    EXPECT_NE(msgs.text().find("Unexpected end-of-line.\n"), std::string::npos);

    // A misplaced line is not applied, so it cannot count as success.
    sb_readCal(0, "+DEFAULTS");
    msgs.clear();
    EXPECT_EQ(sb_readCal(0, "+ftpdmicenter 1 2 3"), ERR_SB_CALFILE_INVALID);
    EXPECT_EQ(cal(0).ftpDmiCenter[1][0], SB_FTP_CENTER_UNSET);

    EXPECT_EQ(sb_readCal(4, "+DEFAULTS"), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(sb_writeCal(-1, "x"), ERR_PARAM_OUT_OF_RANGE);
}

TEST_F(SbCalTest, BadPixelOutOfRange) {
    EXPECT_EQ(read_text(std::string(kMinimal) + "camera bad [701,5]\n"), ERR_SB_CALFILE_INVALID);
    EXPECT_EQ(errors(), heading() + "701 out of range [0,700]\nError in line 6.\n");
}

TEST_F(SbCalTest, TenMessagesEndTheRead) {
    std::string text = "unit 8\nzoom 256\npztpwr -2\nllc target 63\nzaxiscal 2\nunit 9\n";
    EXPECT_EQ(read_text(text), ERR_SB_CALFILE_VALUE_RANGE);
    EXPECT_EQ(errors(), heading() +
                            "8 out of range [0,7]\nError in line 1.\n"
                            "256 out of range [0,255]\nError in line 2.\n"
                            "-2 out of range [-1,1000]\nError in line 3.\n"
                            "63 out of range [64,255]\nError in line 4.\n"
                            "2 out of range [0.85,1.15]\nError in line 5.\n");

    // One faulty line and more after it: the read goes on and fails as a whole.
    EXPECT_EQ(read_text(std::string("unit 8\n") + kMinimal), ERR_SB_CALFILE_INVALID);
    EXPECT_EQ(errors(), heading() + "8 out of range [0,7]\nError in line 1.\n");
    EXPECT_EQ(cal(0).systemType, 10);  // the later lines were read
}

TEST_F(SbCalTest, MisspeltKeywordEndsTheReadAtOnce) {
    EXPECT_EQ(read_text(std::string(kMinimal) + "cammera type xc77\nunit 8\n"),
              ERR_SB_CALFILE_SYNTAX);
    EXPECT_EQ(errors(), heading() + "Unrecognized token \"cammera\"\n");
    // Inside a line an unknown word is an ordinary failure.
    EXPECT_EQ(read_text(std::string(kMinimal) + "camera tipe xc77\n"), ERR_SB_CALFILE_INVALID);
    EXPECT_EQ(errors(), heading() + "Unrecognized token \"tipe\"\nError in line 6.\n");
}

TEST_F(SbCalTest, MagCountsMustAgree) {
    EXPECT_EQ(read_text(std::string(kMinimal) + "NomMag 1 2 3\nSysMag 1 2\n"),
              ERR_SB_CALFILE_INVALID);
    EXPECT_EQ(errors(), heading() +
                            "The number of NomMag values and\nthe number of SysMag values are "
                            "mismatched.\nError in line 7.\n");
    EXPECT_EQ(sb_readCal(0, "+nommag 1 2"), 0);
    EXPECT_EQ(sb_readCal(0, "+nommag 1"), ERR_SB_CALFILE_INCONSISTENT);
}

TEST_F(SbCalTest, MagFactorsMustComeFirst) {
    const struct {
        const char* line;
        const char* what;
    } cases[] = {
        {"Camera Trans 1 2 3", "a Camera Trans"},
        {"FTPDisper 1 0.5 0.5", "an FTPDisper or FTPAvg_K0"},
        {"FTPAvg_K0 1 5 5", "an FTPDisper or FTPAvg_K0"},
        {"FTPDmiCenter 1 2 3", "an FTPDmiCenter"},
        {"FTPTiltCenter 1 2 3", "an FTPTiltCenter"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(read_text(std::string(kMinimal) + c.line + "\nSysMag 1 2\n" + c.line + "\n"),
                  ERR_SB_CALFILE_INVALID)
            << c.line;
        EXPECT_EQ(errors(), heading() + "A NomMag or SysMag specification must appear\nbefore " +
                                c.what + " specification.\n")
            << c.line;
    }
    EXPECT_EQ(cal(0).ftpTiltCenter[1][1], 3);  // the second, well-placed line was read
}

TEST_F(SbCalTest, SleepTimeoutLimit) {
    ASSERT_EQ(read_text(std::string(kMinimal) + "SleepTimeout 5:47:44\n"), 0);
    EXPECT_EQ(cal(0).sleepTimeout, 20864);
    EXPECT_EQ(read_text(std::string(kMinimal) + "SleepTimeout 5:47:45\n"), ERR_SB_CALFILE_INVALID);
    EXPECT_EQ(errors(), heading() + "Value out-of-range.\nError in line 6.\n");
    EXPECT_EQ(read_text(std::string(kMinimal) + "SleepTimeout 5;47\n"), ERR_SB_CALFILE_INVALID);
    EXPECT_EQ(errors(), heading() + "Syntax error.\nError in line 6.\n");
    EXPECT_EQ(read_text(std::string(kMinimal) + "SleepTimeout 101\n"), ERR_SB_CALFILE_INVALID);
    EXPECT_EQ(errors(), heading() + "101 out of range [0,100]\nError in line 6.\n");
}

TEST_F(SbCalTest, PifocBeta) {
    ASSERT_EQ(read_text(std::string(kMinimal) + "pifoc 12 1.0 0\n"), 0);
    EXPECT_EQ(cal(0).pifocBeta, 0);
    ASSERT_EQ(read_text(std::string(kMinimal) + "pifoc 12\n"), 0);
    EXPECT_EQ(cal(0).pifocAlpha, SB_PIFOC_ALPHA_DEFAULT);
    EXPECT_EQ(cal(0).pifocBeta, SB_PIFOC_BETA_DEFAULT);
    EXPECT_EQ(read_text(std::string(kMinimal) + "pifoc 12 1.0 0.001\n"), ERR_SB_CALFILE_INVALID);
    EXPECT_EQ(errors(), heading() +
                            "Beta = 0.001 is non-zero and is not in range [0.005,0.1]\n"
                            "Error in line 6.\n");

    // Both ends of the non-zero range are inside it, and a value just past either is not.
    ASSERT_EQ(read_text(std::string(kMinimal) + "pifoc 12 1.0 0.005\n"), 0) << msgs.text();
    EXPECT_EQ(cal(0).pifocBeta, 0.005);
    ASSERT_EQ(read_text(std::string(kMinimal) + "pifoc 12 2 0.1\n"), 0) << msgs.text();
    EXPECT_EQ(cal(0).pifocBeta, 0.1);
    EXPECT_EQ(cal(0).pifocAlpha, 2);
    EXPECT_EQ(read_text(std::string(kMinimal) + "pifoc 12 1.0 0.00499\n"), ERR_SB_CALFILE_INVALID);
    EXPECT_EQ(errors(), heading() +
                            "Beta = 0.00499 is non-zero and is not in range [0.005,0.1]\n"
                            "Error in line 6.\n");
    EXPECT_EQ(read_text(std::string(kMinimal) + "pifoc 12 1.0 0.10001\n"), ERR_SB_CALFILE_INVALID);
    EXPECT_EQ(errors(), heading() + "0.10001 out of range [0,0.1]\nError in line 6.\n");

    // The smallest beta is written as read.
    ASSERT_EQ(read_text(std::string(kMinimal) + "pifoc 12 0.5 0.005\n"), 0) << msgs.text();
    SbCalibration first = cal(0);
    std::string written = dir.file("pifoc.cal");
    ASSERT_EQ(sb_writeCal(0, written.c_str()), 0) << msgs.text();
    EXPECT_NE(read_file(written).find("Pifoc                   12  0.500000  0.005000\n"),
              std::string::npos)
        << read_file(written);
    ASSERT_EQ(sb_readCal(0, written.c_str()), 0) << msgs.text();
    EXPECT_TRUE(cal(0) == first);
}

TEST_F(SbCalTest, DefaultLightTargetGivenInTheFileIsWrittenAndReadsBack) {
    // 150 is also the reset value; the file gave it, and completeness needs it.
    ASSERT_EQ(read_text(kMinimal), 0) << msgs.text();
    EXPECT_EQ(cal(0).llcTarget, 150);
    SbCalibration first = cal(0);
    std::string written = dir.file("llc.cal");
    ASSERT_EQ(sb_writeCal(0, written.c_str()), 0) << msgs.text();
    EXPECT_NE(read_file(written).find("LLC Target              150\n"), std::string::npos)
        << read_file(written);
    sb_readCal(0, "+DEFAULTS");
    ASSERT_EQ(sb_readCal(0, written.c_str()), 0) << msgs.text();
    EXPECT_TRUE(cal(0) == first);

    // The lowest and highest targets are taken, the values beside them not.
    ASSERT_EQ(read_text(std::string(kMinimal) + "LLC Target 64\n"), 0);
    EXPECT_EQ(cal(0).llcTarget, 64);
    ASSERT_EQ(read_text(std::string(kMinimal) + "LLC Target 255\n"), 0);
    EXPECT_EQ(cal(0).llcTarget, 255);
    EXPECT_EQ(read_text(std::string(kMinimal) + "LLC Target 256\n"), ERR_SB_CALFILE_INVALID);
    EXPECT_EQ(errors(), heading() + "256 out of range [64,255]\nError in line 6.\n");
}

TEST_F(SbCalTest, DispersionSeriesOfTheFirstMagFactorRoundTrips) {
    // Index 0, six significant digits, and the full ten values.
    ASSERT_EQ(read_text(std::string(kMinimal) +
                        "SysMag 1\n"
                        "FTPDisper 0 1.23456 -2.5 0.000123456 6.28318 -6.28318 1 2 3 4 5\n"
                        "FTPAvg_K0 0 1.23456 100\n"),
              0)
        << msgs.text();
    SbCalibration first = cal(0);
    EXPECT_EQ(first.numFtpDisper[0], 10);
    EXPECT_EQ(first.ftpDisper[0][0], 1.23456);
    EXPECT_EQ(first.ftpDisper[0][9], 5);
    EXPECT_EQ(first.numFtpAvgK0[0], 2);
    std::string written = dir.file("disper.cal");
    ASSERT_EQ(sb_writeCal(0, written.c_str()), 0) << msgs.text();
    const std::string text = read_file(written);
    EXPECT_NE(text.find("FTPDisper               0  1.23456  -2.5  0.000123456  6.28318  -6.28318  "
                        "1  2  3  4  5\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("FTPAvg_K0               0  1.23456  100\n"), std::string::npos) << text;
    sb_readCal(0, "+DEFAULTS");
    ASSERT_EQ(sb_readCal(0, written.c_str()), 0) << msgs.text();
    EXPECT_TRUE(cal(0) == first);

    // Two values at least, ten at most.
    EXPECT_EQ(read_text(std::string(kMinimal) + "SysMag 1\nFTPDisper 0 1.5\n"),
              ERR_SB_CALFILE_INVALID);
    EXPECT_EQ(errors(),
              heading() + "Not enough FTPDisper or FTPAvg_K0 values.\nError in line 7.\n");
    EXPECT_EQ(read_text(std::string(kMinimal) + "SysMag 1\nFTPDisper 0 1 2 3 4 5 6 1 2 3 4 5\n"),
              ERR_SB_CALFILE_INVALID);
    EXPECT_EQ(errors(), heading() + "Too many FTPDisper or FTPAvg_K0 values.\nError in line 7.\n");
}

TEST_F(SbCalTest, KeywordsInAnyLetterCase) {
    ASSERT_EQ(read_text(std::string(kMinimal) + "CAMERA TYPE XC77\n"), 0);
    EXPECT_EQ(cal(0).cameraType, 1);
    ASSERT_EQ(read_text(std::string(kMinimal) + "Camera type Xc77Ce\nmODEL12 1 1 100\n"), 0);
    EXPECT_EQ(cal(0).cameraType, 1);
    EXPECT_EQ(cal(0).systemType, 12);
}

TEST_F(SbCalTest, CompletenessChecksInOrder) {
    const struct {
        const char* text;
        int status;
        const char* message;  // through the message format, or straight to the sink
        bool direct;
    } cases[] = {
        {"Version none 1 none\n", ERR_SB_CALFILE_INCOMPLETE, "Missing system type info.", false},
        {"Model10 1 1 100\n", ERR_SB_CALFILE_INCOMPLETE,
         "Missing frame grabber and instrument board Version info.", false},
        {"Model10 1 1 100\nVersion none 1 qel\n", ERR_SB_CALFILE_INCOMPLETE,
         "Missing InstrComm info.", false},
        {"Model14 1 1 100\nVersion none 1 qel\nInstrComm c\n", ERR_SB_CALFILE_INCOMPLETE,
         "Missing InvertData info.", false},
        {"Model10 1 1 100\nVersion none 1 can\n", ERR_SB_CALFILE_INCOMPLETE,
         "Missing InstrComm info.", false},
        {"Model19 1 1 100\nVersion none 1 none\nwmMonOPD 1\n", ERR_SB_CALFILE_INCOMPLETE,
         "Calibration file missing wave monitor comm info\n", true},
        {"Model30 1 1 100\nVersion none 1 none\nwmComm c\n", ERR_SB_CALFILE_INCOMPLETE,
         "Calibration file missing wave monitor OPD info\n", true},
        {"Model10 1 1 100\nVersion none 1 none\ncamera bad [1,1]\ncamera bpix 1 f.txt\n",
         ERR_SB_CALFILE_INVALID,
         "Bad Camera pixels specified twice using: camera bad or bpixels and camera bpix", false},
        {"Model10 1 1 100\nVersion none 1 none\n", ERR_SB_CALFILE_INCOMPLETE,
         "Missing LLCTarget info.", false},
        {"Model23 1 1 100\nVersion rpc 1 none\n", ERR_SB_CALFILE_INCOMPLETE,
         "Missing Camera Type info.", false},
        {"Model10 1 1 100\nVersion none 1 mesa\nLLC Target 100\n", ERR_SB_CALFILE_INCOMPLETE,
         "Missing Light info.", false},
        {"Model11 1 1 100\nVersion none 1 none\nLLC Target 100\n", ERR_SB_CALFILE_INCOMPLETE,
         "Missing PIFOC info.", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(read_text(c.text), c.status) << c.text;
        std::string expected = c.direct ? c.message : heading() + c.message + "\n";
        EXPECT_EQ(errors(), expected) << c.text;
    }

    // MAC address on its own satisfies both the InstrComm and the CAN check.
    EXPECT_EQ(read_text("Model10 1 1 100\nVersion none 1 can\nMacAddress 1 2 3 4 5 6\n"
                        "LLC Target 100\n"),
              0);
    // Warnings go to the sink and the read succeeds.
    EXPECT_EQ(read_text("Model16 1 1 100\nVersion none 1 none\nLLC Target 100\npifoc 1\n"
                        "InvertData 0\n"),
              0);
    EXPECT_EQ(errors(), "Missing MotionCtrl info.\n");
    EXPECT_EQ(read_text("Model27 1 1 100\nVersion none 1 none\nLLC Target 100\n"), 0);
    EXPECT_EQ(errors(), "Calibration file missing system gain.\n");
    // The second board generation and some system types need no LLC target.
    EXPECT_EQ(read_text("Model10 1 1 100\nVersion none 1 qel\nInstrComm c\n"), 0);
    EXPECT_EQ(read_text("Model33 1 1 100\nVersion none 1 none\nwmSysGain 1\n"), 0);
}

TEST_F(SbCalTest, LightLevelRangesByBoardKind) {
    const struct {
        const char* board;
        const char* system;
        const char* extra;
        int32_t range[2];
        bool second;
        int32_t range2[2];
    } cases[] = {
        {"qel", "Model10", "", {10, 159}, false, {0, 0}},
        {"vok", "Model10", "LLC Range 1 2\n", {1, 2}, false, {0, 0}},
        {"mesa", "Model10", "", {0, 4095}, false, {0, 0}},
        {"mesa", "Model21", "LLC Range 1 2\n", {2, 532}, false, {0, 0}},
        {"mesa", "Model21", "Camera Type dgfly1024\n", {2, 800}, false, {0, 0}},
        {"notneeded", "Model21", "", {2, 532}, false, {0, 0}},
        {"notneeded", "Model10", "LLC Range 1 2\n", {10, 159}, false, {0, 0}},
        {"ftp", "Model10", "", {0, 3685}, false, {0, 0}},
        {"vrnx", "Model10", "", {0, 4095}, true, {0, 100}},
        {"vrnx", "Model10", "LLC Range 5 6 7 8\n", {5, 6}, true, {7, 8}},
        {"can", "Model10", "", {0, 65535}, true, {0, 65535}},
        {"none", "Model10", "", {0, 0}, false, {0, 0}},
    };
    for (const auto& c : cases) {
        std::string text = std::string(c.system) + " 1 1 100\nVersion none 1 " + c.board +
                           "\nInstrComm c\nMacAddress 1 2 3 4 5 6\nLight hene\n"
                           "LLC Target 100\n" +
                           c.extra;
        ASSERT_EQ(read_text(text), 0) << text << msgs.text();
        EXPECT_EQ(cal(0).llcRange[0], c.range[0]) << text;
        EXPECT_EQ(cal(0).llcRange[1], c.range[1]) << text;
        EXPECT_EQ(cal(0).llcRange2Set, c.second) << text;
        EXPECT_EQ(cal(0).llcRange2[0], c.range2[0]) << text;
        EXPECT_EQ(cal(0).llcRange2[1], c.range2[1]) << text;
    }
    // What is filled in for a CAN board reads back.
    std::string written = dir.file("can.cal");
    ASSERT_EQ(sb_writeCal(0, written.c_str()), 0) << msgs.text();
    SbCalibration before = cal(0);
    ASSERT_EQ(sb_readCal(0, written.c_str()), 0) << msgs.text();
    EXPECT_TRUE(cal(0) == before);
}

TEST_F(SbCalTest, MotorizedZoomAndTurretReports) {
    EXPECT_EQ(read_text(std::string(kMinimal) + "Zoom 2\n"), 0);
    EXPECT_EQ(errors(), heading() + "This instrument cannot have a motorized zoom.\n");
    EXPECT_EQ(cal(0).zoom, 0);

    std::string can =
        "Model22 1 1 100\nVersion none 1 can\nMacAddress 1 2 3 4 5 6\n"
        "LLC Target 100\npifoc 1\nTurret 1 6\nZoom 2\n";
    EXPECT_EQ(read_text(can), 0);
    EXPECT_EQ(errors(), "");
    EXPECT_EQ(read_text(can + "IgnoreDualBrushMotor\n"), 0);
    EXPECT_EQ(errors(), heading() +
                            "This instrument cannot have a motorized turret, no dual brush motor "
                            "board.\n"
                            "This instrument cannot have a motorized zoom, no dual brush motor "
                            "board.\n");
    EXPECT_EQ(cal(0).turret[0], 0);
    EXPECT_EQ(cal(0).zoom, 0);
}

TEST_F(SbCalTest, NumbersBeyondTheirFieldsAreRangeErrors) {
    const struct {
        const char* line;
        const char* message;
    } cases[] = {
        {"unit 99999999999999999999", "9223372036854775807 out of range [0,7]"},
        {"unit 4294967296", "4294967296 out of range [0,7]"},
        {"zaxiscal 1e999", "inf out of range [0.85,1.15]"},
        {"diffdiskfraction 0", "0 out of range (0,2]"},
        {"zaxiscal nan", "Expected number."},
        {"version none 100000 none", "100000 out of range [0,99999]"},
        {"wmmaxbuckets 1 2147483648", "2147483648 out of range [0,2147483647]"},
        {"unit 3 4", "Unexpected token."},
        {"unit", "Unexpected end-of-line."},
        {"instrname 12", "Expected non-numeric string."},
        {"instrname \"open", "Unexpected end-of-line."},
        {"dynwavegen 1 2 95", "95 out of range [96,126] and 0"},
        {"macaddress 1 2 3 4 5 1FF", "511 out of range [0,255]"},
        {"macaddress 1 2 3 4 5 G1", "Syntax error."},
        {"light led", "At least one wavelength value required."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(read_text(std::string(kMinimal) + c.line + "\n"), ERR_SB_CALFILE_INVALID)
            << c.line;
        EXPECT_EQ(errors(), heading() + c.message + "\nError in line 6.\n") << c.line;
    }
    ASSERT_EQ(read_text(std::string(kMinimal) + "version none 99999 none\n"), 0);
    EXPECT_EQ(cal(0).frameGrabberVersion, 99999);
}

TEST_F(SbCalTest, WordsLongerThanEightyCharactersAreSyntaxErrors) {
    std::string word80(80, 'w');
    ASSERT_EQ(read_text(std::string(kMinimal) + "instrcomm " + word80 + "\n"), 0);
    EXPECT_EQ(cal(0).instrComm, word80);
    EXPECT_EQ(read_text(std::string(kMinimal) + "instrcomm " + word80 + "x\n"),
              ERR_SB_CALFILE_INVALID);
    EXPECT_EQ(errors(), heading() + "Syntax error.\nError in line 6.\n");
    EXPECT_EQ(cal(0).instrComm, "COM1");  // never cut to 80 characters
}

TEST_F(SbCalTest, CrLfLinesReadLikeLf) {
    std::string lf = read_file(kTestData + "full.cal");
    std::string crlf;
    for (char c : lf) {
        if (c == '\n') crlf += '\r';
        crlf += c;
    }
    ASSERT_EQ(read_text(lf), 0);
    SbCalibration from_lf = cal(0);
    ASSERT_EQ(read_text(crlf), 0) << msgs.text();
    EXPECT_TRUE(cal(0) == from_lf);
}

TEST_F(SbCalTest, WrittenValuesStayWithinTheirRanges) {
    // Six digits of 2 pi round past the range's end; the interlace flag of a
    // custom camera on a CAN board and the filled 16-bit second light range
    // must survive the write as well.
    ASSERT_EQ(read_text("Model10 1 1 100\nVersion none 1 can\nMacAddress 1 2 3 4 5 6\n"
                        "Camera Type custom 1\nLLC Target 100\nSysMag 1\n"
                        "FTPDisper 0 -6.2831853 6.2831853 0.125\n"),
              0)
        << msgs.text();
    SbCalibration first = cal(0);
    EXPECT_EQ(first.interlaceFlag, 1);
    std::string written = dir.file("w.cal");
    ASSERT_EQ(sb_writeCal(0, written.c_str()), 0);
    EXPECT_NE(read_file(written).find("FTPDisper               0  -6.2831853000000004  "
                                      "6.2831853000000004  0.125\n"),
              std::string::npos)
        << read_file(written);
    ASSERT_EQ(sb_readCal(0, written.c_str()), 0) << msgs.text();
    EXPECT_TRUE(cal(0) == first);
}

TEST_F(SbCalTest, QuotesAndZeroBytesInsideWords) {
    EXPECT_EQ(read_text(std::string(kMinimal) + "instrcomm ab\"c\n"), ERR_SB_CALFILE_INVALID);
    EXPECT_EQ(errors(), heading() + "Syntax error.\nError in line 6.\n");
    EXPECT_EQ(read_text(std::string(kMinimal) + std::string("remote a\0b\n", 11)),
              ERR_SB_CALFILE_INVALID);
    EXPECT_EQ(errors(), heading() + "Syntax error.\nError in line 6.\n");
    ASSERT_EQ(read_text(std::string(kMinimal) + "remote \"two words\" # comment\n"), 0);
    EXPECT_EQ(cal(0).remote, "two words");
}

TEST_F(SbCalTest, EndOfFileInsideALine) {
    EXPECT_EQ(read_text(std::string(kMinimal) + "sysmag"), ERR_EOF);
    EXPECT_EQ(errors(), heading() + "Unexpected end-of-file.\n");
    // A failed last line without a line end ends the read with its own status.
    EXPECT_EQ(read_text(std::string(kMinimal) + "unit 9"), ERR_SB_CALFILE_VALUE_RANGE);
    // Optional values may end at the end of the file.
    EXPECT_EQ(read_text(std::string(kMinimal) + "pifoc 5"), 0);
}

TEST_F(SbCalTest, MissingFileAndDirectory) {
    path = dir.file("absent.cal");
    EXPECT_EQ(sb_readCal(0, path.c_str()), ERR_CANT_READ_FILE);
    EXPECT_EQ(errors(), heading() + "Cannot open file for reading.\n");
    msgs.clear();
    path = dir.path();
    EXPECT_EQ(sb_readCal(0, path.c_str()), ERR_CANT_READ_FILE);
    EXPECT_EQ(errors(), heading() + "Cannot open file for reading.\n");
}

TEST_F(SbCalTest, WriterRefusesAnIncompleteRecordAndKeepsTheOldFile) {
    std::string target = dir.file("keep.cal");
    write_file(target, "old contents\n");
    msgs.clear();
    EXPECT_EQ(sb_writeCal(0, target.c_str()), ERR_SB_CAL_INFO_INCOMPLETE);
    EXPECT_EQ(msgs.text(), "Error writing system calibration file \"" + target +
                               "\":\nSystem type undefined.\n");
    EXPECT_EQ(read_file(target), "old contents\n");

    ASSERT_EQ(sb_readCal(0, "+model10 1 1 100"), 0);
    ASSERT_EQ(sb_readCal(0, "+version rpc 1 can"), 0);
    msgs.clear();
    EXPECT_EQ(sb_writeCal(0, target.c_str()), ERR_INVALID_PARAM);  // the first error's
    EXPECT_EQ(msgs.text(), "Error writing system calibration file \"" + target +
                               "\":\ncanInfo = NULL\nCamera Type undefined.\n");
    EXPECT_EQ(read_file(target), "old contents\n");
    int entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path()))
        ++entries;
    EXPECT_EQ(entries, 1);  // no temporary file left behind

    msgs.clear();
    std::string nowhere = dir.file("missing/dir/x.cal");
    ASSERT_EQ(sb_readCal(0, "+DEFAULTS"), 0);
    ASSERT_EQ(sb_readCal(0, "+model10 1 1 100"), 0);
    EXPECT_EQ(sb_writeCal(0, nowhere.c_str()), ERR_CANT_CREATE_FILE);
    EXPECT_EQ(msgs.text(), "Error writing system calibration file \"" + nowhere +
                               "\":\nCannot create temp file.\n");
}

TEST_F(SbCalTest, WrittenWordsReadBackAsOneWord) {
    ASSERT_EQ(sb_readCal(0, "+model10 1 1 100"), 0);
    SystemInfo* info = sb_system_info(0);
    info->instrComm = "12";  // would read as a number
    info->pendentMenu = "#menu";
    info->ftpMaterials = "with blank";
    info->remote = std::string(90, 'r');
    std::string target = dir.file("words.cal");
    ASSERT_EQ(sb_writeCal(0, target.c_str()), 0);
    SbCalibration before = cal(0);
    ASSERT_EQ(sb_readCal(0, target.c_str()), ERR_SB_CALFILE_INCOMPLETE);  // no LLC target
    EXPECT_EQ(cal(0).instrComm, "12");
    EXPECT_EQ(cal(0).pendentMenu, "#menu");
    EXPECT_EQ(cal(0).ftpMaterials, "with blank");
    EXPECT_EQ(cal(0).remote, before.remote);
}

TEST_F(SbCalTest, DefaultFileInTheConfigurationDirectory) {
    int result = run_in_child([&] {
        plat_set_env("KT_CONFIG_DIR", dir.path().c_str());
        CHILD_REQUIRE(sb_readCal(2, "+Model10 11 23 123456") == 0);
        CHILD_REQUIRE(sb_readCal(2, "+version none 1 vrnx") == 0);
        CHILD_REQUIRE(sb_readCal(2, "+instrcomm COM1") == 0);
        CHILD_REQUIRE(sb_readCal(2, "+llc target 99") == 0);
        CHILD_REQUIRE(sb_readCal(2, "+light hene") == 0);
        CHILD_REQUIRE(sb_writeCal(2, nullptr) == 0);
        std::string expected = dir.file(u_syscal_file_name(2));
        CHILD_REQUIRE(std::filesystem::exists(expected));
        CHILD_REQUIRE(sb_readCal(2, "+DEFAULTS") == 0);
        CHILD_REQUIRE(sb_readCal(2, "") == 0);
        CHILD_REQUIRE(sb_system_info(2)->llcTarget == 99);
        CHILD_REQUIRE(sb_system_info(2)->calFilePath == expected);
        return 0;
    });
    EXPECT_EQ(result, 0);
}

}  // namespace
