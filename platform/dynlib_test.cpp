#include "platform/dynlib.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "common/testing/temp_dir.h"
#include "platform/clock.h"
#include "platform/event.h"

namespace {
TEST(Dynlib, DocumentedNamesMapToSharedObjectNames) {
    if (plat_library_file_name("A.dll") == "A.dll")
        GTEST_SKIP() << "libraries are loaded by their Windows names here";
    EXPECT_EQ(plat_library_file_name("MotionWrapperInterface.dll"), "libMotionWrapperInterface.so");
    EXPECT_EQ(plat_library_file_name("SEIDrv32.DLL"), "libSEIDrv32.so");
    EXPECT_EQ(plat_library_file_name("sim\\TsnAcq.dll"), "sim/libTsnAcq.so");
    EXPECT_EQ(plat_library_file_name("/opt/x/PrynCANopen.dll"), "/opt/x/libPrynCANopen.so");
    EXPECT_EQ(plat_library_file_name("libfoo.so.1"), "libfoo.so.1");
    EXPECT_EQ(plat_library_file_name(".dll"), ".dll");
}

TEST(Dynlib, MissingLibraryIs126AndMissingEntryIs127) {
    int error = 0;
    EXPECT_EQ(plat_library_load("SurfNoSuchLibrary.dll", &error), nullptr);
    EXPECT_EQ(error, PLAT_ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(plat_library_symbol(nullptr, "x", &error), nullptr);
    EXPECT_EQ(error, PLAT_ERROR_PROC_NOT_FOUND);
}

// A small system library that the test program does not load already.
std::string probe_library() {
    for (const char* dir : {"/usr/lib/x86_64-linux-gnu", "/lib/x86_64-linux-gnu", "/usr/lib64",
                            "/usr/lib/aarch64-linux-gnu"}) {
        std::string path = std::string(dir) + "/libBrokenLocale.so.1";
        if (std::filesystem::exists(path)) return std::filesystem::canonical(path).string();
    }
    return std::string();
}

TEST(Dynlib, LoadsFromTheSetDirectoryAndTakesTheVersionFromTheLinkedName) {
    if (plat_library_file_name("A.dll") == "A.dll")
        GTEST_SKIP() << "versions come from the file's version resource here";
    std::string real = probe_library();
    if (real.empty()) GTEST_SKIP() << "no probe library on this system";
    TempDir dir;
    std::filesystem::create_symlink(real, dir.file("libSurfProbe.so.3.7"));
    std::filesystem::create_symlink("libSurfProbe.so.3.7", dir.file("libSurfProbe.so"));
    plat_library_set_directory(dir.path().c_str());
    int error = -1;
    PlatLibrary* library = plat_library_load("SurfProbe.dll", &error);
    plat_library_set_directory(nullptr);
    ASSERT_NE(library, nullptr);
    EXPECT_EQ(error, 0);
    int major = -1, minor = -1;
    EXPECT_TRUE(plat_library_version(library, &major, &minor));
    EXPECT_EQ(major, 3);
    EXPECT_EQ(minor, 7);
    EXPECT_EQ(plat_library_symbol(library, "surf_no_such_entry", &error), nullptr);
    EXPECT_EQ(error, PLAT_ERROR_PROC_NOT_FOUND);
    EXPECT_TRUE(plat_library_free(library));

    // Without the directory the bare name is not found.
    EXPECT_EQ(plat_library_load("SurfProbe.dll", &error), nullptr);
    EXPECT_EQ(error, PLAT_ERROR_MOD_NOT_FOUND);
}

// A loaded library that links the platform library must find the program's
// copy: one scaled clock, one registry of named events.
TEST(Dynlib, ALoadedLibrarySharesTheProgramsClockAndNamedEvents) {
    struct RestoreScale {
        double scale = plat_clock_scale();
        ~RestoreScale() { plat_set_clock_scale(scale); }
    } restore;
    plat_set_clock_scale(37);  // neither real time nor what the environment says
    PlatWaitable* event = plat_event_create(true, false, "PlatProbeEvent");
    ASSERT_NE(event, nullptr);
    plat_library_set_directory(PLAT_PROBE_DIR);
    int error = -1;
    PlatLibrary* probe = plat_library_load("PlatProbe.dll", &error);
    plat_library_set_directory(nullptr);
    ASSERT_NE(probe, nullptr) << PLAT_PROBE_DIR;
    auto clock_scale = reinterpret_cast<double (*)()>(
        plat_library_symbol(probe, "plat_probe_clock_scale", &error));
    auto set_event = reinterpret_cast<bool (*)(const char*)>(
        plat_library_symbol(probe, "plat_probe_set_event", &error));
    auto static_code =
        reinterpret_cast<bool (*)()>(plat_library_symbol(probe, "plat_probe_static_code", &error));
    ASSERT_TRUE(clock_scale != nullptr && set_event != nullptr && static_code != nullptr);

    EXPECT_EQ(clock_scale(), 37.0);
    EXPECT_TRUE(set_event("PlatProbeEvent"));
    EXPECT_EQ(plat_wait_one(event, 0), 0);
    EXPECT_FALSE(set_event("PlatProbeNoSuchEvent"));
    EXPECT_TRUE(static_code());
    // Neither its name nor its file carries a version.
    int major = -1, minor = -1;
    EXPECT_TRUE(plat_library_version(probe, &major, &minor));
    EXPECT_EQ(major, 0);
    EXPECT_EQ(minor, 0);
    EXPECT_TRUE(plat_library_free(probe));
    plat_handle_close(event);
}
}  // namespace
