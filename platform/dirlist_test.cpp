#include "platform/dirlist.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/testing/temp_dir.h"

namespace {

TEST(DirList, RegularFilesOnlySortedByName) {
    TempDir dir;
    // Created out of order: directory order is arbitrary, the result is not.
    for (const char* name : {"zeta.b1", "alpha", ".hidden", "Beta", "alpha.b10", "alpha.b2"})
        write_file(dir.file(name), "x");
    ASSERT_EQ(::mkdir(dir.file("subdir").c_str(), 0777), 0);
    ASSERT_EQ(::mkfifo(dir.file("pipe").c_str(), 0666), 0);
    ASSERT_EQ(::symlink(dir.file("alpha").c_str(), dir.file("link.b3").c_str()), 0);
    ASSERT_EQ(::symlink(dir.file("missing").c_str(), dir.file("dangling").c_str()), 0);
    ASSERT_EQ(::symlink(dir.file("subdir").c_str(), dir.file("dirlink").c_str()), 0);

    std::vector<std::string> names = {"stale"};
    ASSERT_TRUE(plat_list_regular_files(dir.path().c_str(), &names));
    // A link to a regular file counts as one; dangling links and links to
    // directories do not. Byte order puts upper case and "." first.
    const std::vector<std::string> expected = {".hidden",  "Beta",    "alpha",  "alpha.b10",
                                               "alpha.b2", "link.b3", "zeta.b1"};
    EXPECT_EQ(names, expected);
}

TEST(DirList, EmptyDirectoryAndFailures) {
    TempDir dir;
    std::vector<std::string> names = {"stale"};
    ASSERT_TRUE(plat_list_regular_files(dir.path().c_str(), &names));
    EXPECT_TRUE(names.empty());

    names = {"stale"};
    EXPECT_FALSE(plat_list_regular_files(dir.file("absent").c_str(), &names));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_TRUE(names.empty());

    write_file(dir.file("plain"), "x");
    EXPECT_FALSE(plat_list_regular_files(dir.file("plain").c_str(), &names));
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_FALSE(plat_list_regular_files(nullptr, &names));
}

}  // namespace
