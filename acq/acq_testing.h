// Test support for the acquisition tests: the simulated library with a fresh
// SystemRoot holding its ini, system record 0 reset for each case, and the
// messages captured with their time-stamps replaced by "@".
#pragma once

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "acq/acq.h"
#include "common/dirs.h"
#include "common/testing/capture_sink.h"
#include "common/testing/temp_dir.h"
#include "config/sbcal.h"
#include "config/sysinfo.h"
#include "sim/acq/testing/simacq_session.h"

// "2026-01-02 03:04:05 " at a line's start becomes "@ ".
inline std::string unstamped(const std::string& text) {
    static const std::regex stamp(R"((^|\n)\d{4}-\d\d-\d\d \d\d:\d\d:\d\d )");
    return std::regex_replace(text, stamp, "$1@ ");
}

class AcqTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim = simacq_session();
        ASSERT_NE(sim, nullptr);
        simacq_session_reset();
        simacq_set_system_root(root.path());
        ASSERT_TRUE(simacq_write_default_ini(root.path()));
        info = sb_system_info(0);
        ASSERT_EQ(sb_readCal(0, "+DEFAULTS"), 0);
        SysAcqState& a = info->acq;
        a.shutterCode = a.secondCameraCode = 0;
        a.liveSubsampling = a.measureSubsampling = 1;
        a.aoiOriginX = a.aoiOriginY = 0;
        a.frameRate = 0;
        info->power.instrumentOn = false;
        info->power.instrBdVersion = 0;
        info->can.digitalScanner = 0;
        u_config_dir();  // announced once, before the lines a case looks at
        captured.clear();
    }
    void TearDown() override {
        acq_mgrrelease();
        simacq_session_reset();
    }
    // Start-up over the record as the case set it.
    int start() { return acq_mgrinit(0, "+unit 0"); }
    std::string messages() const { return unstamped(captured.text()); }

    SimAcq* sim = nullptr;
    SystemInfo* info = nullptr;
    TempDir root;
    CapturedMessages captured;
};
