#include "common/testing/child_process.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "platform/host.h"
#include "platform/process.h"

namespace {
// "Suite.Name#N": the run is the child for the Nth run_in_child of that test.
constexpr const char* kMarker = "SURF_CHILD_RUN";

std::string current_test() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    if (info == nullptr) return std::string();
    return std::string(info->test_suite_name()) + "." + info->name();
}

// The number of this call among the current test's calls, from 0.
int next_call(const std::string& test) {
    static std::mutex lock;
    static std::string last;
    static int count = 0;
    std::lock_guard<std::mutex> guard(lock);
    if (test != last) {
        last = test;
        count = 0;
    }
    return count++;
}

int status_of(int result, int code) {
    return result == 0 && code >= 0 && code <= 255 ? code : -1;
}

// Starts the program again with `arguments`, in a temporary directory of its
// own that is removed when it has ended.
int run_child(const std::vector<std::string>& arguments, std::vector<std::string> environment) {
    std::error_code error;
    const std::filesystem::path base = std::filesystem::temp_directory_path(error);
    std::filesystem::path own;
    for (int attempt = 0; attempt < 100 && own.empty(); ++attempt) {
        std::filesystem::path candidate =
            base / ("surfchild-" + std::to_string(std::rand()) + "-" + std::to_string(attempt));
        if (std::filesystem::create_directory(candidate, error)) own = candidate;
    }
    if (!own.empty()) {
        for (const char* name : {"TMP", "TEMP", "TMPDIR"})
            environment.push_back(std::string(name) + "=" + own.string());
    }
    int code = -1;
    PlatProcess* child = plat_process_start_self(arguments, environment);
    const int result = child != nullptr ? plat_process_wait(child, PLAT_INFINITE, &code) : -1;
    if (!own.empty()) std::filesystem::remove_all(own, error);
    return status_of(result, code);
}
}  // namespace

int run_in_child(const std::function<int()>& body) {
    if (plat_process_can_fork()) return plat_process_fork_run(body);
    const std::string test = current_test();
    const int call = next_call(test);
    const std::string mark = test + "#" + std::to_string(call);
    std::string wanted;
    if (plat_get_env(kMarker, &wanted) && wanted.rfind(test + "#", 0) == 0) {
        // The child of this test: run the wanted call, pass over the earlier ones.
        if (wanted != mark) return 0;
        const int result = body();
        std::fflush(nullptr);
        std::_Exit(result);
    }
    if (test.empty()) return -1;
    return run_child({"--gtest_filter=" + test}, {std::string(kMarker) + "=" + mark});
}

int run_tests_in_child(const std::string& filter, const std::vector<std::string>& environment) {
    return run_child({"--gtest_filter=" + filter}, environment);
}
