// Opening files: only regular files are read, nothing waits on a FIFO, and
// every descriptor the library opens is closed on exec.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>

#include "common/testing/child_process.h"
#include "common/testing/temp_dir.h"
#include "platform/fs.h"
#include "platform/ini.h"
#include "platform/path.h"
#include "platform/replace_file.h"
#include "platform/tempfile.h"
#include "platform/testfs_testing.h"

namespace {

// Real seconds after which a blocked open ends the child (and fails the test).
constexpr unsigned kBlockedAfter = 10;

// Runs `body` in a child that SIGALRM ends after kBlockedAfter seconds, so a
// call that blocks fails the test instead of hanging the suite.
int run_bounded(const std::function<int()>& body) {
    return run_in_child([&] {
        plat_test_end_after(kBlockedAfter);
        return body();
    });
}

bool closed_on_exec(FILE* file) {
    return plat_test_closed_on_exec(file);
}

}  // namespace

TEST(OpenRegular, FifoIsRefusedAtOnceInEveryMode) {
    TempDir dir;
    const std::string fifo = dir.file("fifo");
    if (!plat_test_make_fifo(fifo)) GTEST_SKIP() << kPlatTestNoFifo;
    for (const char* mode : {"r", "rb", "r+", "w", "a"}) {
        int rc = run_bounded([&] {
            errno = 0;
            CHILD_REQUIRE(plat_fopen_regular(fifo.c_str(), mode) == nullptr);
            // Opening for writing without a reader fails on its own (ENXIO).
            CHILD_REQUIRE(errno == EINVAL || (mode[0] != 'r' && errno == ENXIO));
            return 0;
        });
        EXPECT_EQ(rc, 0) << mode;
    }
    PlatFileStatus st{};
    ASSERT_TRUE(plat_stat(fifo.c_str(), &st));
    EXPECT_EQ(st.mode & PLAT_S_IFMT, 0x1000u);  // still the FIFO
}

TEST(OpenRegular, OtherKindsAreRefusedAndRegularFilesRead) {
    TempDir dir;
    errno = 0;
    EXPECT_EQ(plat_fopen_regular(dir.path().c_str(), "rb"), nullptr);
    EXPECT_EQ(errno, EISDIR);
    EXPECT_EQ(plat_fopen_regular(plat_test_null_device(), "r"), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(plat_fopen_regular(dir.file("missing").c_str(), "r"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    write_file(dir.file("f"), "data");
    EXPECT_EQ(plat_fopen_regular(dir.file("f").c_str(), "z"), nullptr);  // no such mode
    EXPECT_EQ(errno, EINVAL);

    FILE* file = plat_fopen_regular(dir.file("f").c_str(), "rb");
    ASSERT_NE(file, nullptr);
    // Reads block again once the type is known.
    EXPECT_TRUE(plat_test_blocking(file));
    EXPECT_TRUE(closed_on_exec(file));
    char text[8] = {};
    EXPECT_EQ(std::fread(text, 1, sizeof text, file), 4u);
    EXPECT_STREQ(text, "data");
    EXPECT_EQ(std::fclose(file), 0);

    // The write modes behave as fopen's: "w" creates and truncates, "a" appends.
    file = plat_fopen_regular(dir.file("new").c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fputs("one", file);
    EXPECT_EQ(std::fclose(file), 0);
    file = plat_fopen_regular(dir.file("new").c_str(), "a");
    ASSERT_NE(file, nullptr);
    std::fputs("two", file);
    EXPECT_EQ(std::fclose(file), 0);
    EXPECT_EQ(read_file(dir.file("new")), "onetwo");
}

TEST(OpenRegular, ByteOrderMarkedPath) {
    TempDir dir;
    write_file(dir.file("b"), "x");
    std::string text("\xFF\xFE", 2);
    for (char c : dir.file("b")) text.append({c, '\0'});
    text.append(2, '\0');
    FILE* file = plat_fopen_regular(text.c_str(), "r", text.size());
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(std::fgetc(file), 'x');
    std::fclose(file);
    // An unpaired surrogate names nothing.
    std::string bad("\xFF\xFE\x00\xD8\x00\x00", 6);
    EXPECT_EQ(plat_fopen_regular(bad.c_str(), "r", bad.size()), nullptr);
    EXPECT_EQ(errno, ENOENT);
}

// The ini reader reads through the same open: a FIFO gives the default.
TEST(OpenRegular, IniReaderGivesTheDefaultForAFifo) {
    TempDir dir;
    const std::string fifo = dir.file("acq.ini");
    if (!plat_test_make_fifo(fifo)) GTEST_SKIP() << kPlatTestNoFifo;
    int rc = run_bounded([&] {
        char value[16];
        CHILD_REQUIRE(plat_ini_get_string("s", "k", "dflt", value, sizeof value, fifo.c_str()) ==
                      4);
        CHILD_REQUIRE(std::string(value) == "dflt");
        return 0;
    });
    EXPECT_EQ(rc, 0);
    write_file(dir.file("real.ini"), "[S]\nK = v\n");
    char value[16];
    EXPECT_EQ(
        plat_ini_get_string("s", "k", "dflt", value, sizeof value, dir.file("real.ini").c_str()),
        1);
    EXPECT_STREQ(value, "v");
}

TEST(CloseOnExec, EveryWayALibraryFileIsOpened) {
    TempDir dir;
    const std::string plain = dir.file("plain");
    for (const char* mode : {"w", "r", "a+", "rb+"}) {
        FILE* file = plat_fopen(plain.c_str(), mode);
        ASSERT_NE(file, nullptr) << mode;
        EXPECT_TRUE(closed_on_exec(file)) << mode;
        std::fclose(file);
    }
    FILE* regular = plat_fopen_regular(plain.c_str(), "r");
    ASSERT_NE(regular, nullptr);
    EXPECT_TRUE(closed_on_exec(regular));
    std::fclose(regular);

    std::string temp;
    FILE* beside = plat_temp_beside(plain.c_str(), "_t", &temp);
    ASSERT_NE(beside, nullptr);
    EXPECT_TRUE(closed_on_exec(beside));
    std::fclose(beside);
    plat_remove(temp.c_str());

    PlatReplaceFile replace{};
    FILE* out = replace.open(plain.c_str(), "_r");
    ASSERT_NE(out, nullptr);
    EXPECT_TRUE(closed_on_exec(out));
    replace.abort();

    // A device target is written directly.
    PlatReplaceFile direct{};
    out = direct.open(plat_test_null_device(), "_r");
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(direct.temp, nullptr);
    EXPECT_TRUE(closed_on_exec(out));
    EXPECT_TRUE(direct.commit());
}
