// Test support for the motion module: an instrument whose motion block is a
// controller of type 3, against the simulated motion library.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "config/sysinfo.h"
#include "motion/mwi.h"
#include "sim/bench/simbench.h"
#include "sim/motion/testing/simmotion_session.h"

// True when this process has the library mapped already (a load then finds
// it whatever the lookup directory says).
bool mwi_library_mapped();

class MotionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim = simmotion_session();
        ASSERT_NE(sim, nullptr);
        sim->simmotion_reset();
        simbench_reset();
        info = std::make_unique<SystemInfo>();
        info->motion.controllerType = MC_TYPE_MWI;
    }
    void TearDown() override {
        if (info && info->motion.handle != -1) mc_close_comm_tsnx(info.get(), nullptr);
        if (sim != nullptr) sim->simmotion_reset();
        simbench_reset();
    }

    // Opens `name` and returns the status.
    int open(const char* name = "Stage", uint8_t flag = 1, int32_t value = 7) {
        McOpenRequest request{info.get(), name, flag, value, -1, {false}};
        int status = mc_open_comm_tsnx(&request);
        EXPECT_TRUE(request.done.load());
        EXPECT_EQ(request.error, status);
        return status;
    }

    bool transcript_has(const std::string& text) {
        for (const std::string& line : simmotion_transcript())
            if (line.find(text) != std::string::npos) return true;
        return false;
    }
    // Index of the first line at or after `from` holding `text`, or -1.
    int transcript_find(const std::string& text, int from = 0) {
        std::vector<std::string> lines = simmotion_transcript();
        for (int i = from; i < static_cast<int>(lines.size()); ++i)
            if (lines[i].find(text) != std::string::npos) return i;
        return -1;
    }

    SimMotion* sim = nullptr;
    std::unique_ptr<SystemInfo> info;
};
