#include "common/log.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "common/status.h"
#include "common/testing/capture_sink.h"
#include "common/testing/child_process.h"
#include "common/testing/temp_dir.h"
#include "common/testing/timestamp_form.h"
#include "platform/syserr.h"
#include "platform/testfs_testing.h"

namespace fs = std::filesystem;

namespace {
// `count` lines of exactly `width` bytes each, line end included.
std::string lines(int first, int count, int width, const std::string& end = "\n") {
    std::string text;
    for (int i = first; i < first + count; ++i) {
        std::string line = "line " + std::to_string(i) + " ";
        line.resize(width - end.size(), '.');
        text += line + end;
    }
    return text;
}

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    return names;
}
}  // namespace

TEST(MsgStamped, StampSpaceThenMessage) {
    CapturedMessages captured;
    u_msg_stamped("scan %d of %s\n", 3, "five");
    std::string text = captured.text();
    ASSERT_EQ(text.size(), 19u + 16u) << text;
    EXPECT_TRUE(looks_like_timestamp(text.substr(0, 19))) << text;
    EXPECT_EQ(text.substr(19), " scan 3 of five\n");
}

TEST(MsgStamped, LongMessageIsCutNotOverflowed) {
    CapturedMessages captured;
    std::string long_text(2000, 'x');
    u_msg_stamped("%s", long_text.c_str());
    std::string text = captured.text();
    ASSERT_EQ(text.size(), 20u + 511u);
    EXPECT_EQ(text.substr(20), std::string(511, 'x'));
}

TEST(PrintError, NamesNonZeroCodesOnly) {
    CapturedMessages captured;
    u_print_error(0);
    u_fatal_error(0);
    EXPECT_EQ(captured.text(), "");
    u_print_error(116);
    u_print_error(999);
    EXPECT_EQ(captured.text(), "ERR_CANT_CREATE_FILE\ninvalid error number 999\n");
}

TEST(PrintError, FatalErrorPrintsAndExitsWithOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(u_fatal_error(320), ::testing::ExitedWithCode(1), "ERR_NO_MEM\n");
}

TEST(PrintSystemError, FirstLineOrHexFallback) {
    CapturedMessages captured;
    u_print_system_error(ENOENT);
    u_print_system_error(0x1234ABCD);
    char system[512];
    ASSERT_TRUE(plat_system_error_message(ENOENT, system, sizeof system));
    std::string first = system;
    first = first.substr(0, first.find_first_of("\r\n"));
    EXPECT_EQ(captured.text(), first + "\nSystem error code 0x1234ABCD\n");
}

// 1000 bytes, cut back at 800 to the newest 400: twelve 50-byte lines go.
TEST(LogToFile, TrimsWholeLinesThenAppends) {
    TempDir dir;
    std::string log = dir.file("inst.log");
    write_file(log, lines(1, 20, 50));
    CapturedMessages captured;
    EXPECT_EQ(u_log_to_file(log.c_str(), "new entry\n", 800, 400), 0);
    EXPECT_EQ(read_file(log), lines(13, 8, 50) + "new entry\n");
    EXPECT_EQ(entries(dir.path()).size(), 1u);  // no temporary file left
    EXPECT_EQ(captured.text(), "");
}

// The cut falls inside a line: that line goes too, leaving less than keep_size.
TEST(LogToFile, CutInsideALineDropsTheWholeLine) {
    TempDir dir;
    std::string log = dir.file("inst.log");
    write_file(log, lines(1, 15, 64) + lines(16, 1, 40));  // 1000 bytes
    EXPECT_EQ(u_log_to_file(log.c_str(), "tail\n", 800, 400), 0);
    EXPECT_EQ(read_file(log), lines(11, 5, 64) + lines(16, 1, 40) + "tail\n");
}

// CR LF files count their real bytes and keep their line ends.
TEST(LogToFile, CrLfLinesCountAsOnDisk) {
    TempDir dir;
    std::string log = dir.file("inst.log");
    write_file(log, lines(1, 20, 50, "\r\n"));
    EXPECT_EQ(u_log_to_file(log.c_str(), "new\r\n", 800, 400), 0);
    EXPECT_EQ(read_file(log), lines(13, 8, 50, "\r\n") + "new\r\n");
}

// Lines longer than the reader's 512-byte buffer are dropped whole as well.
TEST(LogToFile, LongLinesAreDroppedWhole) {
    TempDir dir;
    std::string log = dir.file("inst.log");
    write_file(log, lines(1, 1, 1500) + lines(2, 5, 100));
    EXPECT_EQ(u_log_to_file(log.c_str(), "x\n", 1500, 600), 0);
    EXPECT_EQ(read_file(log), lines(2, 5, 100) + "x\n");
}

TEST(LogToFile, AppendsBelowTheLimitOrWithoutOne) {
    TempDir dir;
    std::string log = dir.file("inst.log");
    write_file(log, lines(1, 10, 50));
    EXPECT_EQ(u_log_to_file(log.c_str(), "a\n", 800, 400), 0);
    EXPECT_EQ(read_file(log), lines(1, 10, 50) + "a\n");

    write_file(log, lines(1, 20, 50));
    EXPECT_EQ(u_log_to_file(log.c_str(), "b\n", 0, 400), 0);
    EXPECT_EQ(u_log_to_file(log.c_str(), "c\n", -5, 400), 0);
    EXPECT_EQ(u_log_to_file(log.c_str(), "d\n", 800, 0), 0);  // nothing to keep: no cut
    EXPECT_EQ(u_log_to_file(log.c_str(), nullptr, 0, 0), 0);
    EXPECT_EQ(read_file(log), lines(1, 20, 50) + "b\nc\nd\n");
}

// A log that has reached its limit exactly is cut; one byte short of it is not.
TEST(LogToFile, LogOfExactlyItsLimitIsTrimmed) {
    TempDir dir;
    std::string log = dir.file("inst.log");
    write_file(log, lines(1, 16, 50));  // 800 bytes
    EXPECT_EQ(u_log_to_file(log.c_str(), "at\n", 800, 400), 0);
    EXPECT_EQ(read_file(log), lines(9, 8, 50) + "at\n");

    const std::string short_of = lines(1, 15, 50) + lines(16, 1, 49);  // 799 bytes
    write_file(log, short_of);
    EXPECT_EQ(u_log_to_file(log.c_str(), "below\n", 800, 400), 0);
    EXPECT_EQ(read_file(log), short_of + "below\n");

    // Nothing is cut unless the log holds more than what is to be kept.
    write_file(log, lines(1, 16, 50));
    EXPECT_EQ(u_log_to_file(log.c_str(), "kept\n", 800, 800), 0);
    EXPECT_EQ(read_file(log), lines(1, 16, 50) + "kept\n");
    write_file(log, lines(1, 16, 50));
    EXPECT_EQ(u_log_to_file(log.c_str(), "one\n", 800, 799), 0);
    EXPECT_EQ(read_file(log), lines(2, 15, 50) + "one\n");
}

TEST(LogToFile, CreatesAMissingLog) {
    TempDir dir;
    std::string log = dir.file("new.log");
    EXPECT_EQ(u_log_to_file(log.c_str(), "first\n", 800, 400), 0);
    EXPECT_EQ(read_file(log), "first\n");
}

TEST(LogToFile, UnreachableLogIsAnAccessError) {
    TempDir dir;
    std::string missing = dir.file("no/such/dir/x.log");
    CapturedMessages captured;
    EXPECT_EQ(u_log_to_file(missing.c_str(), "x\n", 800, 400), ERR_FILE_IO);
    EXPECT_EQ(captured.text(), "u_log_to_file: error accessing file '" + missing + "'\n");

    captured.clear();
    std::string is_dir = dir.file("adir");
    fs::create_directory(is_dir);
    EXPECT_EQ(u_log_to_file(is_dir.c_str(), "x\n", 800, 400), ERR_FILE_IO);
    EXPECT_EQ(captured.text(), "u_log_to_file: error accessing file '" + is_dir + "'\n");
    EXPECT_TRUE(fs::is_directory(is_dir));
}

// A symbolic link is followed: the real file is trimmed, the link stays, and
// the file keeps its permission bits.
TEST(LogToFile, TrimFollowsLinksAndKeepsPermissions) {
    TempDir dir;
    fs::create_directory(dir.file("real"));
    std::string real = dir.file("real/inst.log");
    std::string link = dir.file("inst.log");
    write_file(real, lines(1, 20, 50));
    if (!plat_test_make_symlink("real/inst.log", link)) GTEST_SKIP() << kPlatTestNoSymlink;
    // Where files have no permission bits of their own there are none to keep.
    const bool bits = plat_test_has_permission_bits();
    if (bits) {
        ASSERT_TRUE(plat_test_set_mode(real, 0604));
    }
    EXPECT_EQ(u_log_to_file(link.c_str(), "n\n", 800, 400), 0);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(read_file(real), lines(13, 8, 50) + "n\n");
    if (bits) {
        EXPECT_EQ(plat_test_mode(real), 0604u);
    }
    EXPECT_EQ(entries(dir.file("real")).size(), 1u);
}

// A write to the temporary file fails (file size limit): the log stays exactly
// as it was and the temporary file is gone.
TEST(LogToFile, FailedTempWriteLeavesTheLogIntact) {
    TempDir dir;
    std::string log = dir.file("inst.log");
    const std::string before = lines(1, 20, 50);
    write_file(log, before);
    if (!plat_test_can_limit_file_size()) GTEST_SKIP() << "no file size limit on this system";
    int rc = run_in_child([&] {
        CHILD_REQUIRE(plat_test_limit_file_size(100));
        CapturedMessages captured;
        CHILD_REQUIRE(u_log_to_file(log.c_str(), "new\n", 800, 400) == ERR_FILE_IO);
        std::string head = "u_log_to_file: error writing file '" + dir.path() + "/_log";
        std::string text = captured.text();
        CHILD_REQUIRE(text.size() == head.size() + 8 && text.rfind(head, 0) == 0);
        CHILD_REQUIRE(text.substr(head.size() + 6) == "'\n");
        return 0;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(read_file(log), before);
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"inst.log"});
}

// The temporary file cannot be created (no descriptor left for it).
TEST(LogToFile, NoTempFileLeavesTheLogIntact) {
    TempDir dir;
    std::string log = dir.file("inst.log");
    const std::string before = lines(1, 20, 50);
    write_file(log, before);
    if (!plat_test_can_limit_descriptors()) GTEST_SKIP() << "no descriptor limit on this system";
    int rc = run_in_child([&] {
        CHILD_REQUIRE(plat_test_limit_descriptors(64));
        std::vector<FILE*> files;
        for (FILE* f; (f = std::fopen(plat_test_null_device(), "rb")) != nullptr;)
            files.push_back(f);
        CHILD_REQUIRE(!files.empty());
        std::fclose(files.back());  // exactly one descriptor free: the log's
        files.pop_back();
        CapturedMessages captured;
        int status = u_log_to_file(log.c_str(), "new\n", 800, 400);
        for (FILE* f : files) std::fclose(f);
        CHILD_REQUIRE(status == ERR_CANT_CREATE_FILE);
        CHILD_REQUIRE(captured.text() ==
                      "u_log_to_file: cannot create temp file '" + dir.path() + "/_logXXXXXX'\n");
        return 0;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(read_file(log), before);
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"inst.log"});
}

TEST(CopyFile, CopiesAndReplaces) {
    TempDir dir;
    std::string src = dir.file("src.bin");
    std::string dst = dir.file("dst.bin");
    std::string data(200000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
    write_file(src, data);
    write_file(dst, "old contents");
    CapturedMessages captured;
    EXPECT_EQ(u_copy_file(src.c_str(), dst.c_str()), 0);
    EXPECT_EQ(read_file(dst), data);
    EXPECT_EQ(u_copy_file(src.c_str(), src.c_str()), 0);  // onto itself
    EXPECT_EQ(read_file(src), data);
    EXPECT_EQ(captured.text(), "");
    EXPECT_EQ(entries(dir.path()).size(), 2u);
}

TEST(CopyFile, FailuresReportTheSystemErrorAndLeaveNoTrace) {
    TempDir dir;
    std::string src = dir.file("src.txt");
    write_file(src, "data");
    CapturedMessages captured;
    EXPECT_EQ(u_copy_file(dir.file("missing").c_str(), dir.file("d").c_str()), ERR_CANT_WRITE_FILE);
    EXPECT_EQ(captured.text(), "u_copy_file failed: win_err = 2\n");

    captured.clear();
    EXPECT_EQ(u_copy_file(src.c_str(), dir.file("nodir/d").c_str()), ERR_CANT_WRITE_FILE);
    EXPECT_EQ(captured.text(), "u_copy_file failed: win_err = 2\n");

    captured.clear();
    std::string target_dir = dir.file("target");
    fs::create_directory(target_dir);
    EXPECT_EQ(u_copy_file(src.c_str(), target_dir.c_str()), ERR_CANT_WRITE_FILE);
    EXPECT_EQ(captured.text(), "u_copy_file failed: win_err = " + std::to_string(EISDIR) + "\n");
    EXPECT_TRUE(fs::is_directory(target_dir));

    captured.clear();
    EXPECT_EQ(u_copy_file(target_dir.c_str(), dir.file("d").c_str()), ERR_CANT_WRITE_FILE);
    EXPECT_EQ(captured.text(), "u_copy_file failed: win_err = " + std::to_string(EISDIR) + "\n");

    EXPECT_EQ(entries(dir.path()).size(), 2u);  // src.txt and target only
    EXPECT_EQ(read_file(src), "data");
}
