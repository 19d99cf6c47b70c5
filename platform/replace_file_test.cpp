#include "platform/replace_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/testing/temp_dir.h"
#include "platform/fs.h"
#include "platform/testfs_testing.h"

namespace fs = std::filesystem;

namespace {

class ReplaceFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = temp_.path();
        old_umask_ = plat_test_set_umask(022);
    }
    void TearDown() override { plat_test_set_umask(old_umask_); }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    static std::string read(const std::string& p) { return read_file(p); }
    static void write(const std::string& p, const std::string& text) {
        std::ofstream(p, std::ios::binary) << text;
    }
    static unsigned mode_of(const std::string& p) { return plat_test_mode(p); }
    // Every entry of the test directory, so that a left-over temporary file shows.
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir_)) {
            names.push_back(e.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    TempDir temp_;
    std::string dir_;
    unsigned old_umask_ = 0;
};

TEST_F(ReplaceFileTest, NewFileIsCreatedWithUmaskAppliedMode) {
    PlatReplaceFile f{};
    FILE* out = f.open(path("new.txt").c_str(), "_test");
    ASSERT_NE(out, nullptr);
    // Until the commit only the temporary file exists, beside the target.
    std::vector<std::string> during = entries();
    ASSERT_EQ(during.size(), 1u);
    EXPECT_EQ(during[0].rfind("_test", 0), 0u);
    EXPECT_EQ(during[0].size(), 5u + 6u);
    std::fputs("hello\n", out);
    ASSERT_TRUE(f.commit());
    EXPECT_EQ(f.stream, nullptr);
    EXPECT_EQ(read(path("new.txt")), "hello\n");
    EXPECT_EQ(entries(), std::vector<std::string>{"new.txt"});
    if (!plat_test_has_permission_bits()) GTEST_SKIP() << "no permission bits on this system";
    EXPECT_EQ(mode_of(path("new.txt")), 0644u);

    plat_test_set_umask(0);
    PlatReplaceFile g{};
    ASSERT_NE(g.open(path("open.txt").c_str(), "_test"), nullptr);
    ASSERT_TRUE(g.commit());
    EXPECT_EQ(mode_of(path("open.txt")), 0666u);
}

TEST_F(ReplaceFileTest, ReplacedFileKeepsItsPermissionBits) {
    write(path("cal.txt"), "old contents that are longer\n");
    ASSERT_TRUE(plat_test_set_mode(path("cal.txt"), 0640));
    const unsigned mode = mode_of(path("cal.txt"));
    PlatReplaceFile f{};
    FILE* out = f.open(path("cal.txt").c_str(), "_calfile");
    ASSERT_NE(out, nullptr);
    // The target is untouched until the commit.
    EXPECT_EQ(read(path("cal.txt")), "old contents that are longer\n");
    std::fputs("new\n", out);
    ASSERT_TRUE(f.commit());
    EXPECT_EQ(read(path("cal.txt")), "new\n");
    EXPECT_EQ(mode_of(path("cal.txt")), mode);
    EXPECT_EQ(entries(), std::vector<std::string>{"cal.txt"});
}

TEST_F(ReplaceFileTest, AbortLeavesTargetAndNoTemporaryFile) {
    write(path("keep.txt"), "keep\n");
    PlatReplaceFile f{};
    FILE* out = f.open(path("keep.txt").c_str(), "_log");
    ASSERT_NE(out, nullptr);
    std::fputs("discarded\n", out);
    f.abort();
    f.abort();  // harmless twice
    EXPECT_EQ(read(path("keep.txt")), "keep\n");
    EXPECT_EQ(entries(), std::vector<std::string>{"keep.txt"});

    PlatReplaceFile never{};
    never.abort();  // and on an object never opened
    EXPECT_FALSE(never.commit());
}

TEST_F(ReplaceFileTest, TargetsThatCannotBeWrittenFailAtOpen) {
    fs::create_directory(path("sub"));
    PlatReplaceFile f{};
    EXPECT_EQ(f.open(path("sub").c_str(), "_t"), nullptr);
    EXPECT_EQ(f.error, EISDIR);
    EXPECT_TRUE(fs::is_directory(path("sub")));

    EXPECT_EQ(f.open(path("missing/out.txt").c_str(), "_t"), nullptr);
    EXPECT_EQ(f.error, ENOENT);
    EXPECT_EQ(f.open("", "_t"), nullptr);
    EXPECT_EQ(entries(), std::vector<std::string>{"sub"});
    EXPECT_TRUE(fs::is_empty(path("sub")));
}

TEST_F(ReplaceFileTest, DeviceIsWrittenDirectlyAndWriteFailureIsReported) {
    PlatReplaceFile null{};
    FILE* out = null.open(plat_test_null_device(), "_t");
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(null.temp, nullptr);
    std::fputs("gone\n", out);
    EXPECT_TRUE(null.commit());
    EXPECT_TRUE(plat_test_is_device(plat_test_null_device()));

    const char* full = plat_test_full_device();
    if (full == nullptr) GTEST_SKIP() << kPlatTestNoFullDevice;
    PlatReplaceFile f{};
    out = f.open(full, "_t");
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(f.temp, nullptr);
    for (int i = 0; i < 1000; ++i) std::fputs("data that cannot be stored\n", out);
    EXPECT_FALSE(f.commit());
    EXPECT_EQ(f.error, ENOSPC);
    EXPECT_TRUE(plat_test_is_device(full));
}

TEST_F(ReplaceFileTest, PipeIsWrittenDirectly) {
    if (!plat_test_make_fifo(path("pipe"))) GTEST_SKIP() << kPlatTestNoFifo;
    std::string received;
    std::thread reader([&] { received = read(path("pipe")); });
    PlatReplaceFile f{};
    FILE* out = f.open(path("pipe").c_str(), "_t");
    ASSERT_NE(out, nullptr);
    std::fputs("through the pipe\n", out);
    EXPECT_TRUE(f.commit());
    reader.join();
    EXPECT_EQ(received, "through the pipe\n");
    PlatFileStatus st{};
    ASSERT_TRUE(plat_stat(path("pipe").c_str(), &st));
    EXPECT_EQ(st.mode & PLAT_S_IFMT, 0x1000u);
    EXPECT_EQ(entries(), std::vector<std::string>{"pipe"});
}

TEST_F(ReplaceFileTest, SymbolicLinksAreFollowedAndKept) {
    fs::create_directory(path("real"));
    write(path("real/target.txt"), "old\n");
    // A relative link, resolved against the link's own directory, through a second link.
    if (!plat_test_make_symlink("real/target.txt", path("link1"))) {
        GTEST_SKIP() << kPlatTestNoSymlink;
    }
    ASSERT_TRUE(plat_test_set_mode(path("real/target.txt"), 0600));
    ASSERT_TRUE(plat_test_make_symlink(path("link1"), path("link2")));
    PlatReplaceFile f{};
    FILE* out = f.open(path("link2").c_str(), "_t");
    ASSERT_NE(out, nullptr);
    // The temporary file lies beside the real target, so the rename stays on its file system.
    EXPECT_EQ(std::string(f.temp).rfind(path("real/_t"), 0), 0u);
    std::fputs("new\n", out);
    ASSERT_TRUE(f.commit());
    EXPECT_TRUE(fs::is_symlink(path("link1")));
    EXPECT_TRUE(fs::is_symlink(path("link2")));
    EXPECT_EQ(read(path("real/target.txt")), "new\n");
    EXPECT_EQ(mode_of(path("real/target.txt")), 0600u);

    // A dangling link names the file to create.
    ASSERT_TRUE(plat_test_make_symlink("real/created.txt", path("dangling")));
    PlatReplaceFile g{};
    out = g.open(path("dangling").c_str(), "_t");
    ASSERT_NE(out, nullptr);
    std::fputs("created\n", out);
    ASSERT_TRUE(g.commit());
    EXPECT_TRUE(fs::is_symlink(path("dangling")));
    EXPECT_EQ(read(path("real/created.txt")), "created\n");

    // A loop of links is refused.
    ASSERT_TRUE(plat_test_make_symlink(path("loop_b"), path("loop_a")));
    ASSERT_TRUE(plat_test_make_symlink(path("loop_a"), path("loop_b")));
    PlatReplaceFile h{};
    EXPECT_EQ(h.open(path("loop_a").c_str(), "_t"), nullptr);
    EXPECT_EQ(h.error, ELOOP);
}

TEST_F(ReplaceFileTest, ByteOrderMarkedPath) {
    // U+4E2D U+6587 ".txt" in UTF-16LE after the mark.
    const unsigned char units[] = {0xFF, 0xFE, 0x2D, 0x4E, 0x87, 0x65, '.', 0,
                                   't',  0,    'x',  0,    't',  0,    0,   0};
    const std::string bom_name(reinterpret_cast<const char*>(units), sizeof units);
    const std::string prefix = dir_ + "/";
    std::string text;
    // The marked text must start the argument, so run inside the test directory.
    const fs::path cwd = fs::current_path();
    fs::current_path(dir_);
    PlatReplaceFile f{};
    FILE* out = f.open(bom_name.c_str(), "_t", bom_name.size());
    ASSERT_NE(out, nullptr);
    std::fputs("wide\n", out);
    EXPECT_TRUE(f.commit());
    fs::current_path(cwd);
    EXPECT_EQ(read(prefix + "\xE4\xB8\xAD\xE6\x96\x87.txt"), "wide\n");
}

}  // namespace
