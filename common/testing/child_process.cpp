#include "common/testing/child_process.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

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

// The TempDirs of the current test, in the order they were made: noted in
// the parent, taken one by one in the child.
constexpr const char* kTempDirs = "SURF_CHILD_TEMP_DIRS";
constexpr char kSeparator = '|';  // not in a path
std::mutex g_temp_lock;
std::string g_temp_test;
std::vector<std::string> g_temp_dirs;
std::size_t g_temp_taken = 0;
// The results the current test's calls had in the parent, which the child
// gives back for the calls it passes over, so that the test runs on as it did.
constexpr const char* kResults = "SURF_CHILD_RESULTS";
std::vector<int> g_results;

// Starts the lists afresh when the test has changed. Caller holds g_temp_lock.
void temp_dirs_for(const std::string& test) {
    if (test == g_temp_test) return;
    g_temp_test = test;
    g_temp_dirs.clear();
    g_temp_taken = 0;
    g_results.clear();
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

std::string run_in_child_inherited_temp_dir() {
    if (plat_process_can_fork()) return std::string();
    const std::string test = current_test();
    std::string wanted, dirs;
    if (test.empty() || !plat_get_env(kMarker, &wanted) || wanted.rfind(test + "#", 0) != 0 ||
        !plat_get_env(kTempDirs, &dirs))
        return std::string();
    std::lock_guard<std::mutex> guard(g_temp_lock);
    temp_dirs_for(test);
    std::size_t start = 0;
    for (std::size_t i = 0; start <= dirs.size(); ++i) {
        std::size_t end = dirs.find(kSeparator, start);
        if (end == std::string::npos) end = dirs.size();
        if (i == g_temp_taken) {
            ++g_temp_taken;
            return dirs.substr(start, end - start);
        }
        start = end + 1;
    }
    return std::string();
}

void run_in_child_note_temp_dir(const std::string& path) {
    if (plat_process_can_fork()) return;
    const std::string test = current_test();
    if (test.empty()) return;
    std::lock_guard<std::mutex> guard(g_temp_lock);
    temp_dirs_for(test);
    g_temp_dirs.push_back(path);
}

int run_in_child(const std::function<int()>& body) {
    if (plat_process_can_fork()) return plat_process_fork_run(body);
    const std::string test = current_test();
    const int call = next_call(test);
    const std::string mark = test + "#" + std::to_string(call);
    std::string wanted;
    if (plat_get_env(kMarker, &wanted) && wanted.rfind(test + "#", 0) == 0) {
        // The child of this test: run the wanted call, pass over the earlier ones.
        if (wanted != mark) {
            std::string results;
            plat_get_env(kResults, &results);
            std::size_t start = 0;
            for (int i = 0; i < call && start < results.size(); ++i)
                start = results.find(',', start) == std::string::npos
                            ? results.size()
                            : results.find(',', start) + 1;
            return start < results.size() ? std::atoi(results.c_str() + start) : 0;
        }
        const int result = body();
        std::fflush(nullptr);
        std::_Exit(result);
    }
    if (test.empty()) return -1;
    std::vector<std::string> environment{std::string(kMarker) + "=" + mark};
    {
        std::lock_guard<std::mutex> guard(g_temp_lock);
        temp_dirs_for(test);
        std::string dirs;
        for (const std::string& dir : g_temp_dirs) dirs += (dirs.empty() ? "" : "|") + dir;
        if (!dirs.empty()) environment.push_back(std::string(kTempDirs) + "=" + dirs);
        std::string results;
        for (int result : g_results)
            results += (results.empty() ? "" : ",") + std::to_string(result);
        environment.push_back(std::string(kResults) + "=" + results);
    }
    const int result = run_child({"--gtest_filter=" + test}, environment);
    std::lock_guard<std::mutex> guard(g_temp_lock);
    temp_dirs_for(test);
    g_results.push_back(result);
    return result;
}

int run_tests_in_child(const std::string& filter, const std::vector<std::string>& environment) {
    return run_child({"--gtest_filter=" + filter}, environment);
}
