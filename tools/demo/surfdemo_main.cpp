// surfdemo: powers the virtual instrument on and off, cycle after cycle, and
// prints what the library says as a real start-up would show it.
//
//   surfdemo [scenario.ini] [--cycles N]
//
// Exit status 0 when every step gave the status it should and the run left
// the devices, threads and open descriptors as it found them; 1 otherwise.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "tools/demo/demo_console.h"
#include "tools/demo/demo_run.h"
#include "tools/demo/scenario.h"

namespace {

constexpr int kMaxCycles = 10000;

const char* const kUsage =
    "usage: surfdemo [scenario.ini] [--cycles N]\n"
    "Runs the virtual instrument through N power cycles (default 12) of the CAN\n"
    "instrument and as many of the serial board instrument. Without a scenario\n"
    "the type-30 one is used. SURF_CLOCK_SCALE=100 runs the library's clock 100\n"
    "times faster.\n";

bool parse_arguments(int argc, char** argv, std::string* scenario, int* cycles) {
    *scenario = SURFDEMO_DEFAULT_SCENARIO;
    *cycles = 12;
    bool named = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--cycles" && i + 1 < argc) {
            char* end = nullptr;
            const long n = std::strtol(argv[++i], &end, 10);
            if (*argv[i] == '\0' || *end != '\0' || n < 1 || n > kMaxCycles) return false;
            *cycles = static_cast<int>(n);
        } else if (!arg.empty() && arg[0] != '-' && !named) {
            *scenario = arg;
            named = true;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string scenarioPath;
    int cycles = 0;
    if (!parse_arguments(argc, argv, &scenarioPath, &cycles)) {
        std::fputs(kUsage, stderr);
        return 1;
    }
    DemoScenario scenario;
    std::string error;
    if (!demo_load_scenario(scenarioPath, &scenario, &error)) {
        std::fprintf(stderr, "surfdemo: %s\n", error.c_str());
        return 1;
    }
    // A sanitizer's runtime starts a thread of its own with the first one:
    // count from after it.
    std::thread([] {}).join();
    const DemoResources start = demo_resources();
    const auto realStart = std::chrono::steady_clock::now();

    DemoTally tally;
    {
        DemoWorkspace workspace;
        if (!workspace.create(&error)) {
            std::fprintf(stderr, "surfdemo: %s\n", error.c_str());
            return 1;
        }
        demo_console_install();
        demo_idle_install();
        demo_say("scenario %s, %d cycles, library clock %g times real time", scenarioPath.c_str(),
                 cycles, plat_clock_scale());
        demo_say("working directory %s", workspace.path().c_str());
        demo_can_cycles(scenario, workspace, cycles, &tally);
        if (tally.ok()) demo_board_cycles(scenario, workspace, cycles, &tally);
    }

    const DemoResources end = demo_resources(&start);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - realStart).count();
    demo_say("idle hook called %ld times; %.1f s real time", demo_idle_calls(), seconds);
    demo_say("threads %d (at start %d), open descriptors %d (at start %d)", end.threads,
             start.threads, end.descriptors, start.descriptors);
    if (demo_console_saw_table_full()) tally.fail("the device table filled up");
    const std::string leaked = demo_resources_differ(start, end);
    if (!leaked.empty()) tally.fail("not back to the start: " + leaked);
    demo_console_remove();
    if (!tally.ok()) {
        std::fprintf(stdout, "surfdemo: FAILED (%zu): %s\n", tally.failures.size(),
                     tally.failures.front().c_str());
        return 1;
    }
    std::fprintf(stdout,
                 "surfdemo: every status as expected, no full device table, devices, "
                 "threads and descriptors back to their start values\n");
    return 0;
}
