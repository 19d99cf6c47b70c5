#include "platform/tempfile.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "common/testing/temp_dir.h"
#include "platform/fs.h"
#include "platform/testfs_testing.h"

namespace fs = std::filesystem;

TEST(TempFile, CreatedBesideTheTargetWithThePrefix) {
    TempDir dir;
    std::string temp;
    FILE* file = plat_temp_beside(dir.file("data.cfg").c_str(), "_cal", &temp);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(fs::path(temp).parent_path(), dir.path());
    EXPECT_EQ(fs::path(temp).filename().string().substr(0, 4), "_cal");
    EXPECT_EQ(fs::path(temp).filename().string().size(), 10u);
    EXPECT_GE(std::fputs("abc", file), 0);
    EXPECT_TRUE(plat_sync_file(file));
    EXPECT_EQ(std::fclose(file), 0);
    EXPECT_EQ(read_file(temp), "abc");
}

TEST(TempFile, FailureGivesThePatternTried) {
    TempDir dir;
    std::string temp;
    std::string target = dir.file("missing/x.log");
    EXPECT_EQ(plat_temp_beside(target.c_str(), "_log", &temp), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(temp, dir.file("missing/_logXXXXXX"));
    EXPECT_EQ(plat_temp_beside("", "_log", &temp), nullptr);
    EXPECT_EQ(temp, "");
}

// A dangling link still leads to where the file is to be made.
TEST(TempFile, DanglingLinkIsFollowed) {
    TempDir dir;
    std::string link = dir.file("l");
    if (!plat_test_make_symlink(dir.file("target"), link)) GTEST_SKIP() << kPlatTestNoSymlink;
    EXPECT_EQ(plat_link_target(link.c_str()), dir.file("target"));
    std::string temp;
    FILE* file = plat_temp_beside(link.c_str(), "_x", &temp);
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    ASSERT_TRUE(plat_replace_with_temp(temp.c_str(), link.c_str()));
    EXPECT_TRUE(fs::is_regular_file(dir.file("target")));
    EXPECT_TRUE(fs::is_symlink(link));
}

TEST(FileSystem, MkdirRefusesAnExistingDirectory) {
    TempDir dir;
    std::string sub = dir.file("sub");
    EXPECT_TRUE(plat_mkdir(sub.c_str()));
    EXPECT_TRUE(plat_is_directory(sub.c_str()));
    EXPECT_FALSE(plat_mkdir(sub.c_str()));
    EXPECT_EQ(errno, EEXIST);
    EXPECT_FALSE(plat_remove(sub.c_str()));  // files only
}
