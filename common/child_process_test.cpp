// The test support that runs a check in a child process: with fork, or by
// running the test program again for one test.
#include "common/testing/child_process.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "common/testing/temp_dir.h"

namespace {
TEST(RunInChild, TheChildSeesTheTestsDirectoriesAndItsWritesReachTheParent) {
    TempDir before;  // made before the call, so shared with the child
    write_file(before.file("in"), "given");
    int touched = 0;
    EXPECT_EQ(run_in_child([&] {
                  CHILD_REQUIRE(read_file(before.file("in")) == "given");
                  write_file(before.file("out"), "written");
                  touched = 1;  // the child's own memory
                  return 7;
              }),
              7);
    EXPECT_EQ(read_file(before.file("out")), "written");
    EXPECT_EQ(touched, 0);

    // Each call runs its own body; a later directory is shared as well.
    TempDir later;
    EXPECT_EQ(run_in_child([&] {
                  write_file(later.file("second"), "2");
                  return 0;
              }),
              0);
    EXPECT_EQ(read_file(later.file("second")), "2");
}

TEST(RunInChild, ATestProgramRunForOtherTestsReportsTheirResult) {
    EXPECT_EQ(run_tests_in_child("RunInChildTarget.*", {"SURF_CHILD_TARGET=pass"}), 0);
    EXPECT_NE(run_tests_in_child("RunInChildTarget.*", {"SURF_CHILD_TARGET=fail"}), 0);
}

TEST(RunInChildTarget, PassesOrFailsAsTold) {
    const char* told = std::getenv("SURF_CHILD_TARGET");
    if (told == nullptr) GTEST_SKIP() << "run by the test above";
    EXPECT_STREQ(told, "pass");
}
}  // namespace
