// The entry table against the simulated library and its variants (each in a
// forked child, whose loads start from this process's state), and the
// translation of the library's result codes.
#include <fstream>
#include <string>

#include "common/status.h"
#include "common/testing/capture_sink.h"
#include "common/testing/child_process.h"
#include "common/testing/temp_dir.h"
#include "motion/mwi_testing.h"
#include "platform/dynlib.h"

bool mwi_library_mapped() {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line))
        if (line.find(plat_library_file_name("MotionWrapperInterface.dll")) != std::string::npos)
            return true;
    return false;
}

namespace {

const std::string kFile = plat_library_file_name("MotionWrapperInterface.dll");

// Loads the variant in a child and runs `check` on the load's status and
// messages.
template <typename Check>
int load_variant(const char* variant, Check check) {
    return run_in_child([&] {
        const std::string dir = variant[0] != '\0' ? simmotion_variant_directory(variant)
                                                   : simmotion_library_directory();
        plat_library_set_directory(dir.c_str());
        CapturedMessages messages;
        int status = mwi_load();
        return check(status, messages.text());
    });
}

TEST(MwiResult, EveryRowAndTheCodesBesideThem) {
    const struct {
        int32_t code;
        int error;
    } rows[] = {
        {0, 0},
        {12, ERR_MC_AXIS_BUSY},
        {17, ERR_MC_NO_HOME},
        {18, ERR_MC_AXIS_AT_LIMIT},
        {19, ERR_MC_AXIS_AT_LIMIT},
        {21, ERR_MC_KILL_SWITCH},
        {22, ERR_MC_JOYSTICK_ENABLE},
        {256, ERR_MC_COMM},
        {275, ERR_MC_COMM},
        {267, ERR_MC_AXIS_INACTIVE},
        {268, ERR_MC_CONFIG},
        {269, ERR_MC_CONFIG},
        {270, ERR_MC_CONFIG},
        {271, ERR_MC_NEEDS_RESET},
        {274, ERR_MC_NEEDS_RESET},
        {276, ERR_CAN_NODE_NOT_AVAIL},
        {277, ERR_MC_CONFIRM_INIT},
        {278, ERR_MC_CONFIG_MISSING},
        {279, ERR_MC_CONFIG_CORRUPT},
        // Neighbours of the rows fall to the catch-all.
        {-1, ERR_MC_MISC},
        {1, ERR_MC_MISC},
        {11, ERR_MC_MISC},
        {13, ERR_MC_MISC},
        {16, ERR_MC_MISC},
        {20, ERR_MC_MISC},
        {23, ERR_MC_MISC},
        {255, ERR_MC_MISC},
        {257, ERR_MC_MISC},
        {266, ERR_MC_MISC},
        {272, ERR_MC_MISC},
        {273, ERR_MC_MISC},
        {280, ERR_MC_MISC},
        {INT32_MIN, ERR_MC_MISC},
        {INT32_MAX, ERR_MC_MISC},
    };
    for (const auto& row : rows) EXPECT_EQ(mwi_result_to_error(row.code), row.error) << row.code;
}

TEST(MwiLoad, FullLibraryKeepsTheWidestOpenAndEveryGroup) {
    EXPECT_EQ(load_variant("",
                           [](int status, const std::string& text) {
                               CHILD_REQUIRE(status == 0);
                               CHILD_REQUIRE(text.empty());
                               auto t = mwi_table();
                               CHILD_REQUIRE(t->OpenComm5 != nullptr);
                               CHILD_REQUIRE(t->OpenComm4 == nullptr && t->OpenComm3 == nullptr);
                               CHILD_REQUIRE(t->RegisterCanEvents_MWI != nullptr);
                               CHILD_REQUIRE(t->UnregisterCanEvents_MWI != nullptr);
                               CHILD_REQUIRE(t->GetDmiPreset_MWI != nullptr &&
                                             t->DmiReset_MWI != nullptr);
                               CHILD_REQUIRE(t->GetPosition_MWI != nullptr);
                               CHILD_REQUIRE(t->GetCommandedPosition_MWI == nullptr);
                               return 0;
                           }),
              0);
}

TEST(MwiLoad, MissingMoveAndStopAreBothReportedAndTheTableStaysEmpty) {
    EXPECT_EQ(load_variant(
                  "nomove",
                  [](int status, const std::string& text) {
                      CHILD_REQUIRE(status == ERR_TSNX_FUNCTION_MAP);
                      CHILD_REQUIRE(text == std::string("Error: 127 in loading Move_MWI from ") +
                                                kFile + ".\nError: 127 in loading Stop_MWI from " +
                                                kFile + ".\n");
                      auto t = mwi_table();
                      CHILD_REQUIRE(t->CloseComm_MWI == nullptr && t->OpenComm5 == nullptr);
                      return 0;
                  }),
              0);
}

TEST(MwiLoad, BothPositionStylesAreRefused) {
    EXPECT_EQ(
        load_variant("allpos",
                     [](int status, const std::string& text) {
                         CHILD_REQUIRE(status == ERR_TSNX_FUNCTION_MAP);
                         CHILD_REQUIRE(
                             text ==
                             std::string("Error: missing GetPosition_MWI or "
                                         "(GetActualPosition_MWI and GetCommandedPosition_MWI) "
                                         "functions from ") +
                                 kFile + ".\n");
                         CHILD_REQUIRE(mwi_table()->GetPosition_MWI == nullptr);
                         return 0;
                     }),
        0);
}

TEST(MwiLoad, ThePairAloneIsAccepted) {
    EXPECT_EQ(load_variant("pairpos",
                           [](int status, const std::string& text) {
                               CHILD_REQUIRE(status == 0);
                               CHILD_REQUIRE(text.empty());
                               auto t = mwi_table();
                               CHILD_REQUIRE(t->GetPosition_MWI == nullptr);
                               CHILD_REQUIRE(t->GetActualPosition_MWI != nullptr);
                               CHILD_REQUIRE(t->GetCommandedPosition_MWI != nullptr);
                               return 0;
                           }),
              0);
}

TEST(MwiLoad, WithoutUnregisterTheCanPairIsDropped) {
    EXPECT_EQ(
        load_variant(
            "nounreg",
            [](int status, const std::string& text) {
                CHILD_REQUIRE(status == 0);
                CHILD_REQUIRE(
                    text ==
                    "Warning: Motion DLL does not support CAN event notification pass-through.\n"
                    "         Tessaryn may not behave as expected if CAN events are used.\n");
                CHILD_REQUIRE(mwi_table()->RegisterCanEvents_MWI == nullptr);
                return 0;
            }),
        0);
}

TEST(MwiLoad, WithoutOneDmiEntryTheWholeGroupIsDropped) {
    EXPECT_EQ(load_variant(
                  "nodmipreset",
                  [](int status, const std::string& text) {
                      CHILD_REQUIRE(status == 0);
                      CHILD_REQUIRE(text ==
                                    "Info: Motion DLL does not support axis with external closed "
                                    "loop or DMI position instrument\n");
                      auto t = mwi_table();
                      CHILD_REQUIRE(t->DmiReset_MWI == nullptr && t->SetDmiPreset_MWI == nullptr);
                      CHILD_REQUIRE(t->GetSupportsExternalClosedLoop_MWI == nullptr);
                      CHILD_REQUIRE(t->SetExternalClosedLoopEnabled_MWI == nullptr);
                      CHILD_REQUIRE(t->OpenComm5 != nullptr);
                      return 0;
                  }),
              0);
}

TEST(MwiLoad, WithoutTheOptionalEntriesTwoInfoLines) {
    EXPECT_EQ(load_variant("nooptional",
                           [](int status, const std::string& text) {
                               CHILD_REQUIRE(status == 0);
                               CHILD_REQUIRE(
                                   text ==
                                   "Info: Motion DLL does not support setting the align/view "
                                   "indicator on the pendent\n"
                                   "Info: Motion DLL does not support getting the effective motion "
                                   "configuration file\n");
                               return 0;
                           }),
              0);
}

TEST(MwiLoad, NoLibraryNamesTheFileTried) {
    if (mwi_library_mapped()) GTEST_SKIP() << "the library is mapped in this process already";
    TempDir empty;
    EXPECT_EQ(run_in_child([&] {
                  plat_library_set_directory(empty.path().c_str());
                  CapturedMessages messages;
                  CHILD_REQUIRE(mwi_load() == ERR_TSNX_NO_DLL);
                  CHILD_REQUIRE(messages.text() ==
                                std::string("Error: 126 in loading Tessaryn 10 Motion library ") +
                                    kFile + ".\n");
                  CHILD_REQUIRE(mwi_table()->HasEvent_MWI == nullptr);
                  return 0;
              }),
              0);
}

// The variants in an open: each limits what the operations may do.
template <typename Body>
int with_variant(const char* variant, Body body) {
    return run_in_child([&] {
        const std::string dir = simmotion_variant_directory(variant);
        plat_library_set_directory(dir.c_str());
        int error = 0;
        PlatLibrary* library = plat_library_load(MWI_LIBRARY_NAME, &error);
        CHILD_REQUIRE(library != nullptr);
        SimMotion sim{};
#define RESOLVE(name) \
    sim.name = reinterpret_cast<name##_t>(plat_library_symbol(library, #name, nullptr));
        SIMMOTION_ENTRY_LIST(RESOLVE)
#undef RESOLVE
        CHILD_REQUIRE(sim.simmotion_reset != nullptr);
        sim.simmotion_reset();
        SystemInfo info;
        info.motion.controllerType = MC_TYPE_MWI;
        info.instrBdType = SB_BOARD_NOT_NEEDED;
        CapturedMessages messages;
        McOpenRequest request{&info, "Stage", 0, 0, -1, {false}};
        int status = mc_open_comm_tsnx(&request);
        int result = body(sim, info, status, messages.text());
        mc_close_comm_tsnx(&info, nullptr);
        return result;
    });
}

TEST(MwiVariants, PairReadsTheCommandedPosition) {
    EXPECT_EQ(with_variant("pairpos",
                           [](SimMotion& sim, SystemInfo& info, int status, const std::string&) {
                               CHILD_REQUIRE(status == 0);
                               // A slow axis: the commanded position is the target at once.
                               CHILD_REQUIRE(mc_set_velocity_tsnx(&info.motion, 0, 0.001) == 0);
                               CHILD_REQUIRE(mc_move_tsnx(&info.motion, 0, 25.4) == 0);
                               const int16_t axes[1] = {0};
                               double inches = 0;
                               CHILD_REQUIRE(mc_get_ipos_tsnx(&info.motion, axes, 1, &inches) == 0);
                               CHILD_REQUIRE(inches == 1.0);
                               CHILD_REQUIRE(sim.simmotion_calls("GetCommandedPosition_MWI") == 1);
                               CHILD_REQUIRE(sim.simmotion_calls("GetPosition_MWI") == 0);
                               return 0;
                           }),
              0);
}

TEST(MwiVariants, WithoutUnregisterRegisterIsNeverCalled) {
    EXPECT_EQ(with_variant("nounreg",
                           [](SimMotion& sim, SystemInfo&, int status, const std::string&) {
                               CHILD_REQUIRE(status == 0);
                               CHILD_REQUIRE(sim.simmotion_calls("RegisterCanEvents_MWI") == 0);
                               CHILD_REQUIRE(!sim.simmotion_can_registered());
                               return 0;
                           }),
              0);
}

TEST(MwiVariants, WithoutOptionalEntriesTheIndicatorIsNotImplemented) {
    EXPECT_EQ(with_variant("nooptional",
                           [](SimMotion&, SystemInfo& info, int status, const std::string& text) {
                               CHILD_REQUIRE(status == 0);
                               CHILD_REQUIRE(text.find("  Effective motion config file: Unknown "
                                                       "- Look in SystemInfo.config\n") !=
                                             std::string::npos);
                               CHILD_REQUIRE(mc_set_align_view_indicator_tsnx(&info.motion, 1) ==
                                             ERR_NOT_IMPLEMENTED);
                               return 0;
                           }),
              0);
}

TEST(MwiVariants, WithoutMoveTheOpenFailsWithTheLoad) {
    EXPECT_EQ(with_variant("nomove",
                           [](SimMotion& sim, SystemInfo& info, int status, const std::string&) {
                               CHILD_REQUIRE(status == ERR_TSNX_FUNCTION_MAP);
                               CHILD_REQUIRE(info.motion.handle == -1);
                               CHILD_REQUIRE(sim.simmotion_calls("OpenComm_MWI") == 0);
                               return 0;
                           }),
              0);
}

}  // namespace
