#include "platform/dirlist.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "common/testing/temp_dir.h"
#include "platform/fs.h"
#include "platform/testfs_testing.h"

namespace {

TEST(DirList, RegularFilesOnlySortedByName) {
    TempDir dir;
    // Created out of order: directory order is arbitrary, the result is not.
    for (const char* name : {"zeta.b1", "alpha", ".hidden", "Beta", "alpha.b10", "alpha.b2"})
        write_file(dir.file(name), "x");
    ASSERT_TRUE(plat_mkdir(dir.file("subdir").c_str()));
    // FIFOs and links where the system has them.
    plat_test_make_fifo(dir.file("pipe"));
    const bool links = plat_test_make_symlink(dir.file("alpha"), dir.file("link.b3"));
    if (links) {
        ASSERT_TRUE(plat_test_make_symlink(dir.file("missing"), dir.file("dangling")));
        ASSERT_TRUE(plat_test_make_symlink(dir.file("subdir"), dir.file("dirlink")));
    }

    std::vector<std::string> names = {"stale"};
    ASSERT_TRUE(plat_list_regular_files(dir.path().c_str(), &names));
    // A link to a regular file counts as one; dangling links and links to
    // directories do not. Byte order puts upper case and "." first.
    std::vector<std::string> expected = {".hidden",   "Beta",     "alpha",
                                         "alpha.b10", "alpha.b2", "zeta.b1"};
    if (links) expected.insert(expected.begin() + 5, "link.b3");
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
