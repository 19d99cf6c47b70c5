// The demo's run: a working directory with the configuration files the
// library reads, the CAN instrument's cycles and the serial board
// instrument's cycles, and the tally of what went wrong.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "tools/demo/scenario.h"

struct SystemInfo;

// What the run found wrong; the run passes when it stays empty.
struct DemoTally {
    std::vector<std::string> failures;
    void fail(const std::string& why);
    bool ok() const { return failures.empty(); }
};

// Checks a step's status against the one it should give: prints
// "surfdemo: <what>: <status name>" when either is not 0, and records a
// failure when they differ. True when they agree.
bool demo_step(DemoTally* tally, const std::string& what, int status, int expected = 0);

// Runs `cycle` up to `cycles` times, stopping after a cycle that failed, with
// a heading before each and a line after it giving its time on the library's
// clock and the device count while the instrument was on (what `cycle`
// returns, -1 when it never came on) and after. Then powers `info` off if a
// failure left it on and checks that the device count is what it was before.
void demo_cycles(const char* name, int cycles, SystemInfo* info, DemoTally* tally,
                 const std::function<int()>& cycle);

// A fresh directory under the system's temporary directory, removed with its
// contents at the end: the configuration directory (config/, with the ramps
// folder config/ramps/), the acquisition library's root (acq/), and the
// temporary directory of the run (the acquisition system's instance lock).
class DemoWorkspace {
  public:
    DemoWorkspace() = default;
    ~DemoWorkspace();
    DemoWorkspace(const DemoWorkspace&) = delete;
    DemoWorkspace& operator=(const DemoWorkspace&) = delete;

    // Makes the directories and points the library at them (the directory
    // environment variables; before any thread starts). False with a reason.
    bool create(std::string* error);
    const std::string& path() const { return path_; }
    std::string config() const { return path_ + "/config"; }
    std::string ramps() const { return path_ + "/config/ramps"; }
    std::string acqRoot() const { return path_ + "/acq"; }

  private:
    std::string path_;
};

// The CAN instrument of the scenario through `cycles` power cycles, and the
// serial board instrument through as many. Each records its failures.
void demo_can_cycles(const DemoScenario& scenario, const DemoWorkspace& workspace, int cycles,
                     DemoTally* tally);
void demo_board_cycles(const DemoScenario& scenario, const DemoWorkspace& workspace, int cycles,
                       DemoTally* tally);
