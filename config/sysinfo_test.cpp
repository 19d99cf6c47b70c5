#include "config/sysinfo.h"

#include <gtest/gtest.h>

// The piezo-focus module owns this record; a stand-in is enough here.
struct PifocState {
    int id;
};

namespace {

int g_destroyed = 0;
void destroy_pifoc(PifocState* state) {
    ++g_destroyed;
    delete state;
}

TEST(SystemInfoTest, SlotsDefaultsAndOwnedRecords) {
    EXPECT_EQ(sb_system_info(-1), nullptr);
    EXPECT_EQ(sb_system_info(SB_NUM_SLOTS), nullptr);
    SystemInfo* info = sb_system_info(3);
    ASSERT_NE(info, nullptr);
    EXPECT_NE(info, sb_system_info(2));

    // The documented defaults of a reset record.
    EXPECT_EQ(info->lightType, SB_LIGHT_HENE);
    EXPECT_EQ(info->wavelengths[0], 0.6328e-6);
    EXPECT_EQ(info->llcTarget, 150);
    EXPECT_EQ(info->llcFreq, 35000);
    EXPECT_EQ(info->pztPwr, -1);
    EXPECT_EQ(info->turret[1], 5);
    EXPECT_EQ(info->badPixels[39].x, -1);
    EXPECT_EQ(info->ftpTiltCenter[14][1], SB_FTP_CENTER_UNSET);
    EXPECT_EQ(info->rampConfig, "rampcfg.txt");

    // A reset touches the calibration values only, never the run-time state.
    info->systemType = 12;
    info->power.instrumentOn = true;
    info->pifocState = SysOwned<PifocState>(new PifocState{7}, {destroy_pifoc});
    sb_reset_calibration(info);
    EXPECT_EQ(info->systemType, 0);
    EXPECT_TRUE(info->power.instrumentOn);
    ASSERT_NE(info->pifocState, nullptr);
    EXPECT_EQ(info->pifocState->id, 7);

    info->pifocState.reset();
    EXPECT_EQ(g_destroyed, 1);
    info->power.instrumentOn = false;
}

TEST(SystemInfoTest, PrintedNames) {
    EXPECT_STREQ(sb_system_type_name(9), "Unknown");
    EXPECT_STREQ(sb_system_type_name(36), "Unknown");
    EXPECT_STREQ(sb_system_type_name(35), "Model35");
    EXPECT_STREQ(sb_board_type_name(8), "CAN");
    EXPECT_STREQ(sb_frame_grabber_name(12), "PC2Vision");
    EXPECT_STREQ(sb_camera_type_name(10), "INFRACAMA");
    EXPECT_STREQ(sb_camera_type_name(33), "Unknown");
    EXPECT_STREQ(sb_light_type_name(5), "LED");
}

}  // namespace
