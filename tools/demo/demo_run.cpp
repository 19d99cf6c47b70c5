#include "tools/demo/demo_run.h"

#include <cstdlib>
#include <filesystem>
#include <random>

#include "common/status.h"
#include "config/sysinfo.h"
#include "devpoll/devpoll.h"
#include "instr/inst_power.h"
#include "platform/clock.h"
#include "tools/demo/demo_console.h"

void DemoTally::fail(const std::string& why) {
    demo_say("FAILED: %s", why.c_str());
    failures.push_back(why);
}

bool demo_step(DemoTally* tally, const std::string& what, int status, int expected) {
    if (status != NO_ERROR || expected != NO_ERROR)
        demo_say("%s: %s", what.c_str(), status == NO_ERROR ? "0" : u_error_name(status));
    if (status == expected) return true;
    tally->fail(what + " gave " + (status == NO_ERROR ? "0" : u_error_name(status)) +
                " instead of " + (expected == NO_ERROR ? "0" : u_error_name(expected)));
    return false;
}

void demo_cycles(const char* name, int cycles, SystemInfo* info, DemoTally* tally,
                 const std::function<int()>& cycle) {
    const int devices = dev_device_count();
    for (int n = 1; n <= cycles && tally->ok(); ++n) {
        demo_say("---- %s cycle %d of %d ----", name, n, cycles);
        const int64_t start = plat_clock_ms();
        const int devicesOn = cycle();
        demo_say("%s cycle %d: %.3f s library time, devices %d while on, %d after", name, n,
                 (plat_clock_ms() - start) / 1000.0, devicesOn, dev_device_count());
    }
    if (info->power.instrumentOn) inst_off(info);
    if (dev_device_count() != devices)
        tally->fail("device count " + std::to_string(devices) + " -> " +
                    std::to_string(dev_device_count()));
}

DemoWorkspace::~DemoWorkspace() {
    if (path_.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

bool DemoWorkspace::create(std::string* error) {
    std::error_code ec;
    const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    if (ec) {
        *error = "no temporary directory: " + ec.message();
        return false;
    }
    std::random_device random;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
        std::filesystem::path candidate = base / ("surfdemo-" + std::to_string(random() % 1000000));
        if (std::filesystem::create_directory(candidate, ec)) path_ = candidate.string();
    }
    if (path_.empty()) {
        *error = "cannot make a working directory under " + base.string();
        return false;
    }
    for (const std::string& dir : {config(), ramps(), acqRoot()}) {
        if (!std::filesystem::create_directory(dir, ec)) {
            *error = "cannot make " + dir + ": " + ec.message();
            return false;
        }
    }
    setenv("KT_CONFIG_DIR", config().c_str(), 1);
    setenv("KT_RAMPS_DIR", ramps().c_str(), 1);
    setenv("SystemRoot", acqRoot().c_str(), 1);
    // The acquisition system's instance lock lives in the temporary directory
    // and is machine-wide: the demo keeps its own, so that it runs beside
    // other demos and the acquisition tests without finding it held.
    setenv("TMPDIR", path_.c_str(), 1);
    return true;
}
