#include "platform/filestamp.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "common/testing/temp_dir.h"

namespace {

TEST(FileStamp, SameFileSameStampAndEveryKindOfChangeShows) {
    TempDir dir;
    std::string path = dir.file("a.txt");
    write_file(path, "one\n");
    PlatFileStamp first{}, again{};
    ASSERT_TRUE(plat_file_stamp(path.c_str(), &first));
    ASSERT_TRUE(plat_file_stamp(path.c_str(), &again));
    EXPECT_EQ(first, again);
    EXPECT_EQ(first.size, 4);

    // Same size, written within the same tick: the change time still moves
    // or, for a file replaced by rename, the inode does.
    std::string other = dir.file("b.txt");
    write_file(other, "two\n");
    std::filesystem::rename(other, path);  // over the existing file
    PlatFileStamp replaced{};
    ASSERT_TRUE(plat_file_stamp(path.c_str(), &replaced));
    EXPECT_NE(replaced, first);
    EXPECT_NE(replaced.inode, first.inode);

    write_file(path, "three\n");
    PlatFileStamp grown{};
    ASSERT_TRUE(plat_file_stamp(path.c_str(), &grown));
    EXPECT_EQ(grown.size, 6);
}

TEST(FileStamp, MissingFileHasNoStamp) {
    TempDir dir;
    PlatFileStamp stamp{};
    EXPECT_FALSE(plat_file_stamp(dir.file("none").c_str(), &stamp));
    EXPECT_FALSE(plat_file_stamp(nullptr, &stamp));
}

}  // namespace
