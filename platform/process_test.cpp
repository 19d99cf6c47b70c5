#include "platform/process.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/host.h"

namespace {
// The child side of the tests below: ends with the code it is given in the
// environment, or runs until it is killed.
TEST(ProcessChild, EndsAsTold) {
    std::string code;
    if (!plat_get_env("SURF_PROCESS_CODE", &code))
        GTEST_SKIP() << "run as a child by the tests below";
    std::string gone;
    if (code == "gone") code = plat_get_env("SURF_PROCESS_GONE", &gone) ? "1" : "0";
    if (code == "hang")
        for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
    std::fflush(nullptr);
    std::_Exit(std::atoi(code.c_str()));
}

PlatProcess* start_child(const std::string& code) {
    return plat_process_start_self({"--gtest_filter=ProcessChild.EndsAsTold"},
                                   {"SURF_PROCESS_CODE=" + code});
}

TEST(Process, ChildSeesOurEnvironmentChangedAsGivenAndReturnsItsExitCode) {
    // The variable is set here too: the child must see the given value, not both.
    ASSERT_TRUE(plat_set_env("SURF_PROCESS_CODE", "9"));
    for (const char* code : {"0", "3", "255"}) {
        PlatProcess* child = start_child(code);
        ASSERT_NE(child, nullptr);
        int exit_code = -7;
        EXPECT_EQ(plat_process_wait(child, PLAT_INFINITE, &exit_code), 0);
        EXPECT_EQ(exit_code, std::atoi(code));
    }
    // A bare name removes the variable.
    ASSERT_TRUE(plat_set_env("SURF_PROCESS_GONE", "1"));
    PlatProcess* child = plat_process_start_self({"--gtest_filter=ProcessChild.EndsAsTold"},
                                                 {"SURF_PROCESS_CODE=gone", "SURF_PROCESS_GONE"});
    ASSERT_NE(child, nullptr);
    int exit_code = -7;
    EXPECT_EQ(plat_process_wait(child, PLAT_INFINITE, &exit_code), 0);
    EXPECT_EQ(exit_code, 0);
    ASSERT_TRUE(plat_set_env("SURF_PROCESS_GONE", nullptr));
    ASSERT_TRUE(plat_set_env("SURF_PROCESS_CODE", nullptr));
    std::string value;
    EXPECT_FALSE(plat_get_env("SURF_PROCESS_CODE", &value));
    EXPECT_EQ(plat_process_wait(nullptr, 0, nullptr), PLAT_WAIT_FAILED);
}

TEST(Process, TimedWaitKeepsTheHandleOfARunningChildAndKillEndsIt) {
    PlatProcess* child = start_child("hang");
    ASSERT_NE(child, nullptr);
    int exit_code = -7;
    EXPECT_EQ(plat_process_wait(child, 0, &exit_code), PLAT_WAIT_TIMEOUT);
    EXPECT_EQ(plat_process_wait(child, 100, &exit_code), PLAT_WAIT_TIMEOUT);
    EXPECT_EQ(exit_code, -7);
    plat_process_kill(child);  // returns once it has ended
    plat_process_kill(nullptr);
}

TEST(Process, CountsItsThreadsAndDescriptors) {
    // A sanitizer starts a thread of its own at the first thread made: make
    // one beforehand so that the count below sees only the test's.
    std::thread([] {}).join();
    const int threads = plat_process_thread_count();
    const int descriptors = plat_process_descriptor_count();
    if (threads < 0 || descriptors < 0) GTEST_SKIP() << "the system cannot say";
    std::atomic<bool> go{false};
    std::thread thread([&] {
        while (!go.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    EXPECT_EQ(plat_process_thread_count(), threads + 1);
    go = true;
    thread.join();
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(plat_process_descriptor_count(), descriptors + 1);
    std::fclose(file);
    EXPECT_EQ(plat_process_descriptor_count(), descriptors);
}

TEST(Process, ForkRunReturnsTheBodysResultWhereTheSystemForks) {
    if (!plat_process_can_fork()) GTEST_SKIP() << "no fork on this system";
    int in_parent = 1;
    EXPECT_EQ(plat_process_fork_run([&] {
                  in_parent = 2;  // the copy's own memory
                  return 42;
              }),
              42);
    EXPECT_EQ(in_parent, 1);
}
}  // namespace
