#include "config/materials.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <memory>
#include <string>

#include "common/status.h"
#include "common/testing/capture_sink.h"
#include "common/testing/child_process.h"
#include "common/testing/temp_dir.h"

namespace {

const std::string kTestData = std::string(SURF_SOURCE_DIR) + "/config/testdata/";
const std::string kHeading = "## Tessaryn FTP Materials File - Format 1\n";
const std::string kSample =
    "\"Aluminum\"              023.000000  085.000000  00.035766  00.000000  00.000000  "
    "00.000000  00.000000  # 606";
const std::string kReportStart = "Error(s) reading FTP materials file:\n";

class MaterialsTest : public ::testing::Test {
  protected:
    void TearDown() override { ftp_materials_release(&table); }

    int read_text(const std::string& content) {
        path = dir.file("materials.txt");
        write_file(path, content);
        msgs.clear();
        return ftp_read_materials_file(path.c_str(), &table);
    }

    // The materials of the table, without kept comment records.
    std::vector<const FtpMaterial*> materials() const {
        std::vector<const FtpMaterial*> out;
        for (int i = 0; i < table.count; ++i) {
            if (table.items[i].index >= 0) out.push_back(&table.items[i]);
        }
        return out;
    }

    TempDir dir;
    std::string path;
    FtpMaterialTable table{};
    CapturedMessages msgs;
};

// A material line with name, PCOR and a valid remainder.
std::string line_with(const std::string& name, const std::string& pcor = "0") {
    return name + " 1 2 " + pcor + " 0 0 0 0\n";
}

}  // namespace

TEST_F(MaterialsTest, SampleLineGivesOneMaterial) {
    ASSERT_EQ(read_text(kHeading + kSample + "\n"), 0) << msgs.text();
    EXPECT_EQ(msgs.text(), "");
    ASSERT_EQ(table.count, 1);
    const FtpMaterial& m = table.items[0];
    EXPECT_EQ(m.index, 0);
    EXPECT_STREQ(m.name, "Aluminum");
    EXPECT_EQ(m.n, 23);
    EXPECT_EQ(m.k, 85);
    EXPECT_DOUBLE_EQ(m.pcor, 0.035766);
    for (double d : m.disper) EXPECT_EQ(d, 0);
    EXPECT_STREQ(m.comment, "# 606");
}

TEST_F(MaterialsTest, WindowsFileWithCommentsQuotesAndUnsetValues) {
    std::string source = kTestData + "materials_sample.txt";
    ASSERT_EQ(ftp_read_materials_file(source.c_str(), &table), 0) << msgs.text();
    EXPECT_EQ(msgs.text(), "");
    ASSERT_EQ(table.count, 4);
    EXPECT_EQ(table.items[0].index, -1);
    EXPECT_STREQ(table.items[0].comment, "# Metals");
    EXPECT_STREQ(table.items[1].comment, "# 606");  // no CR left behind
    EXPECT_STREQ(table.items[2].name, "Stainless steel 304");
    EXPECT_EQ(table.items[2].index, 1);
    EXPECT_EQ(table.items[2].pcor, FTP_MATL_NO_VALUE);
    EXPECT_EQ(table.items[2].disper[2], DBL_MAX);
    EXPECT_EQ(table.items[2].disper[3], -0.03);
    EXPECT_STREQ(table.items[3].name, "Glass BK7");
    EXPECT_EQ(table.items[3].index, 2);
}

TEST_F(MaterialsTest, HeadingFormatMustBeOne) {
    FtpMaterialTable before{};
    ASSERT_EQ(read_text(kHeading + kSample + "\n"), 0);
    before = table;

    EXPECT_EQ(read_text("## Tessaryn FTP Materials File - Format 2\n" + kSample + "\n"),
              ERR_FTP_CORRUPT_MATLS_FILE);
    EXPECT_EQ(msgs.text(), kReportStart +
                               "\tFile format 2 is not supported\n"
                               "\tError in line 1:\n"
                               "  ## Tessaryn FTP Materials File - Format 2\n");
    // A failed read leaves the caller's table as it was.
    EXPECT_EQ(table.items, before.items);
    EXPECT_EQ(table.count, 1);

    EXPECT_EQ(read_text("# Tessaryn FTP Materials File, Format one\n"), ERR_FTP_CORRUPT_MATLS_FILE);
    EXPECT_EQ(msgs.text(), kReportStart +
                               "\tHeading is missing a file format specification\n"
                               "\tError in line 1:\n"
                               "  # Tessaryn FTP Materials File, Format one\n");

    EXPECT_EQ(read_text("\n" + kSample + "\n"), ERR_FTP_CORRUPT_MATLS_FILE);
    EXPECT_EQ(msgs.text(),
              kReportStart + "\tMissing heading\n\tError in line 2:\n  " + kSample + "\n");
}

TEST_F(MaterialsTest, NameLengthAndQuoting) {
    const std::string name21 = "\"" + std::string(21, 'n') + "\"";
    const std::string name20 = "\"Blanks inside  ok 20\"";
    ASSERT_EQ(std::string("Blanks inside  ok 20").size(), 20u);
    ASSERT_EQ(read_text(kHeading + line_with(name21) + line_with(name20) + line_with("\"open") +
                        line_with("bare")),
              0);
    ASSERT_EQ(materials().size(), 1u);
    EXPECT_STREQ(materials()[0]->name, "Blanks inside  ok 20");
    const std::string explain = "\tThe Name must be quoted text up to 20 characters long\n";
    EXPECT_EQ(msgs.text(), kReportStart + "\tInvalid Name value \"" + name21 +
                               "\" (field 1)\n\tError in line 2:\n  " + name21 +
                               " 1 2 0 0 0 0 0\n" + explain +
                               "\tInvalid Name value \"\"open\" (field 1)\n\tError in line 4:\n"
                               "  \"open 1 2 0 0 0 0 0\n" +
                               explain +
                               "\tInvalid Name value \"bare\" (field 1)\n\tError in line 5:\n"
                               "  bare 1 2 0 0 0 0 0\n" +
                               explain + "Accepted 1 of 4 material specs\n");
}

TEST_F(MaterialsTest, NumbersUnsetValuesAndRanges) {
    ASSERT_EQ(read_text(kHeading + "\"a\" 1 * 6.28 0 0 0 0\n" + line_with("\"b\"", "6.3") +
                        line_with("\"c\"", "nan") + line_with("\"d\"", "-inf") +
                        line_with("\"e\"", "1x")),
              0);
    ASSERT_EQ(materials().size(), 1u);
    EXPECT_EQ(materials()[0]->k, DBL_MAX);
    EXPECT_EQ(materials()[0]->pcor, 6.28);
    const std::string explain =
        "\t\tThe PCOR value must be a number\n\tgreater than or equal to -6.28319 and\n"
        "\tless than or equal to 6.28319\n";
    const std::string text = msgs.text();
    EXPECT_EQ(text.substr(0, text.find("\tInvalid PCOR value \"nan\"")),
              kReportStart + "\tInvalid PCOR value \"6.3\" (field 4)\n\tError in line 3:\n" +
                  "  \"b\" 1 2 6.3 0 0 0 0\n" + explain);
    EXPECT_NE(text.find("\tInvalid PCOR value \"-inf\" (field 4)\n"), std::string::npos);
    EXPECT_NE(text.find("\tInvalid PCOR value \"1x\" (field 4)\n"), std::string::npos);
}

// A missing field is followed by its field's explanation, as an invalid one
// is, in the ramp configuration reader too.
TEST_F(MaterialsTest, MissingAndUnexpectedFields) {
    ASSERT_EQ(read_text(kHeading + "\"a\" 1\n\"b\" 1 2 0 0 0 0 0 extra\n\"c\" 1 2 0 0 0 0\n" +
                        kSample + "\n"),
              0);
    EXPECT_EQ(msgs.text(), kReportStart +
                               "\tMissing K value (field 3)\n\tError in line 2:\n  \"a\" 1\n"
                               "\t\tThe K value must be a number\n"
                               "\tgreater than or equal to 0 and\n\tless than or equal to 100\n"
                               "\tUnexpected token \"extra\" (field 9)\n\tError in line 3:\n"
                               "  \"b\" 1 2 0 0 0 0 0 extra\n"
                               "\tMissing Disper[3] value (field 8)\n\tError in line 4:\n"
                               "  \"c\" 1 2 0 0 0 0\n"
                               "\t\tThe Disper[3] value must be a number\n"
                               "\tgreater than or equal to -6.28319 and\n"
                               "\tless than or equal to 6.28319\n"
                               "Accepted 1 of 4 material specs\n");
}

TEST_F(MaterialsTest, OnlyCommentsPrintsTheFileDescription) {
    EXPECT_EQ(read_text(kHeading + "# just a note\n##\n"), ERR_FTP_CORRUPT_MATLS_FILE);
    const std::string description =
        "##\n"
        "## Name      = Material name in quotes (up to 20 chars)\n"
        "## N         = N [0,100]\n"
        "## K         = K [0,100]\n"
        "## PCOR      = Phase Change On Reflection [-6.28319,6.28319] rad \n"
        "## Disper[0] = Dispersion for 0.8X mag (75mm FOV) [-6.28319,6.28319] rad \n"
        "## Disper[1] = Dispersion for 1.0X mag (65mm FOV) [-6.28319,6.28319] rad \n"
        "## Disper[2] = Dispersion for 1.7X mag (35mm FOV) [-6.28319,6.28319] rad \n"
        "## Disper[3] = Dispersion for 4.0X mag (15mm FOV) [-6.28319,6.28319] rad \n"
        "## Comment   = Optional comment beginning with '#' (up to 100 chars)\n"
        "##";
    // The description ends without a line end, as the ramp configuration's does.
    EXPECT_EQ(std::string(ftp_materials_description()), description);
    EXPECT_EQ(msgs.text(),
              "No acceptable material specs found\n"
              "File heading (required):\n\n"
              "## Tessaryn FTP Materials File - Format 1\n"
              "Line format description:\n\n" +
                  description + "\nSample line:\n\n" + kSample + "\n");
    EXPECT_EQ(table.count, 0);
}

TEST_F(MaterialsTest, LineLimitCountsCharactersWithoutTheLineEnd) {
    std::string base = "\"a\" 1 2 0 0 0 0 0 #";
    std::string line200 = base + std::string(200 - base.size(), 'c');
    ASSERT_EQ(read_text(kHeading + line200 + "\r\n"), 0) << msgs.text();
    EXPECT_EQ(std::string(table.items[0].comment), line200.substr(base.size() - 1, 100));

    EXPECT_EQ(read_text(kHeading + line200 + "c\n" + kSample + "\n"), ERR_FTP_CORRUPT_MATLS_FILE);
    EXPECT_EQ(msgs.text(), kReportStart + "\tLine longer than 200 characters\n\tError in line 2\n");
}

TEST_F(MaterialsTest, ReadEndsAfterMoreThanTenErrors) {
    std::string bad;
    for (int i = 0; i < 10; ++i) bad += line_with("\"x\"", "9");
    ASSERT_EQ(read_text(kHeading + bad + kSample + "\n"), 0);
    EXPECT_NE(msgs.text().find("Accepted 1 of 11 material specs\n"), std::string::npos);

    EXPECT_EQ(read_text(kHeading + bad + bad + kSample + "\n"), ERR_FTP_CORRUPT_MATLS_FILE);
    const std::string text = msgs.text();
    EXPECT_EQ(text.substr(text.size() - 43), "Too many errors reading FTP materials file\n");
    EXPECT_EQ(text.find("Error in line 13"), std::string::npos);
    EXPECT_NE(text.find("Error in line 12"), std::string::npos);
}

TEST_F(MaterialsTest, TableGrowsForManyMaterials) {
    std::string lines;
    for (int i = 0; i < 12; ++i) lines += line_with("\"m" + std::to_string(i) + "\"");
    ASSERT_EQ(read_text(kHeading + lines), 0);
    ASSERT_EQ(table.count, 12);
    EXPECT_EQ(table.capacity, 15);
    EXPECT_EQ(table.items[11].index, 11);
    EXPECT_STREQ(table.items[11].name, "m11");
}

TEST_F(MaterialsTest, ReaderRefusesMissingArguments) {
    EXPECT_EQ(ftp_read_materials_file("", &table), ERR_INVALID_PARAM);
    EXPECT_EQ(ftp_read_materials_file("x", nullptr), ERR_INVALID_PARAM);
    EXPECT_EQ(ftp_read_materials_file(dir.file("none").c_str(), &table), ERR_CANT_OPEN_FILE);
    EXPECT_EQ(ftp_read_materials_file(dir.path().c_str(), &table), ERR_CANT_OPEN_FILE);
}

class MaterialsLoadTest : public MaterialsTest {
  protected:
    void SetUp() override {
        info = std::make_unique<SystemInfo>();
        ASSERT_EQ(ftp_info_attach(info.get()), 0);
    }
    std::unique_ptr<SystemInfo> info;
};

TEST_F(MaterialsLoadTest, LoadsAndMapsEveryMagnification) {
    path = dir.file("matls.txt");
    write_file(path, kHeading + kSample + "\n");
    info->ftpMaterials = path;
    // Fifteen objective magnifications, all of the family.
    info->numNomMags = SB_MAX_MAGS;
    for (int i = 0; i < SB_MAX_MAGS; ++i) info->nomMags[i] = ftp_mag_table[i % 4] + 0.0005;
    ASSERT_EQ(ftp_load_materials(info.get()), 0) << msgs.text();
    EXPECT_EQ(msgs.text(), "");
    EXPECT_EQ(info->ftpInfo->materials.count, 1);
    EXPECT_EQ(info->ftpInfo->materialsPath, path);
    for (int i = 0; i < SB_MAX_MAGS; ++i) EXPECT_EQ(info->ftpInfo->magIndex[i], i % 4) << i;

    info->numNomMags = 2;
    info->nomMags[1] = 2.0;
    EXPECT_EQ(ftp_load_materials(info.get()), ERR_FTP_INVALID_MAGNIFICATION);
    EXPECT_EQ(msgs.text(), "Magnification 2.0 is not allowed on an FTP system\n");
    EXPECT_EQ(info->ftpInfo->magIndex[0], 0);
    EXPECT_EQ(info->ftpInfo->magIndex[1], -1);
    EXPECT_EQ(info->ftpInfo->magIndex[2], -1);
}

TEST_F(MaterialsLoadTest, LoadFailures) {
    EXPECT_EQ(ftp_load_materials(nullptr), ERR_SYS_INFO_NOT_AVAIL);
    SystemInfo plain;
    EXPECT_EQ(ftp_load_materials(&plain), ERR_FTP_NO_FTP_INFO);

    EXPECT_EQ(ftp_load_materials(info.get()), ERR_INVALID_PARAM);
    EXPECT_EQ(msgs.text(), "FTP materials file name is NULL\n");

    // The directory search decides the configuration directory once per
    // process: search in a child so that later tests can still choose theirs.
    int result = run_in_child([&] {
        msgs.clear();
        info->ftpMaterials = "no_such_materials_file.txt";
        CHILD_REQUIRE(ftp_load_materials(info.get()) == ERR_FTP_CANT_READ_MATLS_FILE);
        // (The first search may announce the installation directory.)
        CHILD_REQUIRE(
            msgs.text().find(
                "Cannot access FTP materials file \"no_such_materials_file.txt\"\nERR_CANT_") !=
            std::string::npos);
        return 0;
    });
    EXPECT_EQ(result, 0);

    path = dir.file("bad.txt");
    write_file(path, "## Tessaryn FTP Materials File - Format 3\n");
    info->ftpMaterials = path;
    msgs.clear();
    EXPECT_EQ(ftp_load_materials(info.get()), ERR_FTP_CANT_READ_MATLS_FILE);
    const std::string tail =
        "Error reading FTP materials file \"" + path + "\"\nERR_FTP_CORRUPT_MATLS_FILE\n";
    const std::string text = msgs.text();
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    EXPECT_EQ(info->ftpInfo->materials.count, 0);
}
