#include "platform/ini.h"

#include <gtest/gtest.h>

#include "common/testing/temp_dir.h"

namespace {
TEST(Ini, FindsTrimmedValuesIgnoringCaseFirstMatchWinsElseDefault) {
    TempDir dir;
    std::string path = dir.file("acq.ini");
    write_file(path,
               "; comment\r\n"
               "[Other]\r\n"
               "Module = wrong\r\n"
               "[ Acquisition ]\r\n"
               "  module   =  LineDetect.dll  \r\n"
               "MODULE=second\r\n"
               "quoted = \" padded \"\r\n"
               "empty=\r\n");
    char buffer[64];
    EXPECT_EQ(plat_ini_get_string("ACQUISITION", "Module", "x", buffer, 64, path.c_str()), 14);
    EXPECT_STREQ(buffer, "LineDetect.dll");
    plat_ini_get_string("acquisition", "quoted", "x", buffer, 64, path.c_str());
    EXPECT_STREQ(buffer, " padded ");
    EXPECT_EQ(plat_ini_get_string("acquisition", "empty", "x", buffer, 64, path.c_str()), 0);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(plat_ini_get_string("acquisition", "missing", "dflt  ", buffer, 64, path.c_str()), 4);
    EXPECT_STREQ(buffer, "dflt");
    plat_ini_get_string("nosection", "module", nullptr, buffer, 64, path.c_str());
    EXPECT_STREQ(buffer, "");
    plat_ini_get_string("other", "module", "", buffer, 64, dir.file("absent.ini").c_str());
    EXPECT_STREQ(buffer, "");
}

TEST(Ini, ValueIsCutToTheBuffer) {
    TempDir dir;
    std::string path = dir.file("a.ini");
    write_file(path, "[s]\nk=abcdefgh\n");
    char buffer[5];
    EXPECT_EQ(plat_ini_get_string("s", "k", "", buffer, 5, path.c_str()), 4);
    EXPECT_STREQ(buffer, "abcd");
    EXPECT_EQ(plat_ini_get_string("s", "k", "", buffer, 0, path.c_str()), 0);
}
}  // namespace
