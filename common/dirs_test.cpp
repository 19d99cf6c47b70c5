#include "common/dirs.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "common/alloc.h"
#include "common/status.h"
#include "common/testing/capture_sink.h"
#include "common/testing/child_process.h"
#include "common/testing/temp_dir.h"
#include "platform/host.h"
#include "platform/process.h"

namespace fs = std::filesystem;

namespace {
std::string install_from_exe(const char* exe) {
    std::string dir = "unchanged";
    return u_derive_install_dir(nullptr, exe, &dir) ? dir : "<absent>";
}
}  // namespace

TEST(DeriveInstallDir, ParentOfTheExecutablesDirectoryNeverAboveRoot) {
    EXPECT_EQ(install_from_exe("/prog/bin/tool"), "/prog");
    EXPECT_EQ(install_from_exe("/Prog/Bin/Tool"), "/Prog");  // case kept
    EXPECT_EQ(install_from_exe("/a/tool"), "/");
    EXPECT_EQ(install_from_exe("/bin/tool"), "/");
    EXPECT_EQ(install_from_exe("/tool"), "/");
    EXPECT_EQ(install_from_exe("tool"), "tool");  // no separator: used as it is
    EXPECT_EQ(install_from_exe(nullptr), "<absent>");
}

TEST(DeriveInstallDir, EnvironmentValueIsUsedUnchecked) {
    std::string dir;
    EXPECT_TRUE(u_derive_install_dir("/no/such/place", "/prog/bin/tool", &dir));
    EXPECT_EQ(dir, "/no/such/place");
    EXPECT_FALSE(u_derive_install_dir("", "/prog/bin/tool", &dir));  // set but empty
    EXPECT_EQ(dir, "");
}

// Texts the 260-character buffers cannot hold make the directory absent.
TEST(DeriveInstallDir, OverlongTextsAreAbsentNotCut) {
    std::string dir;
    std::string fits(U_DIR_MAX, 'd');
    EXPECT_TRUE(u_derive_install_dir(fits.c_str(), nullptr, &dir));
    EXPECT_EQ(dir, fits);
    std::string too_long(U_DIR_MAX + 1, 'd');
    EXPECT_FALSE(u_derive_install_dir(too_long.c_str(), nullptr, &dir));
    std::string exe = "/" + std::string(U_DIR_MAX, 'e') + "/bin/tool";
    EXPECT_FALSE(u_derive_install_dir(nullptr, exe.c_str(), &dir));
}

TEST(DeriveConfigDir, CfgSubdirectoryOnlyWhenItIsADirectory) {
    TempDir install;
    std::string dir;
    EXPECT_TRUE(u_derive_config_dir(nullptr, install.path().c_str(), &dir));
    EXPECT_EQ(dir, install.path());  // no cfg
    write_file(install.file("cfg"), "not a directory");
    EXPECT_TRUE(u_derive_config_dir(nullptr, install.path().c_str(), &dir));
    EXPECT_EQ(dir, install.path());
    fs::remove(install.file("cfg"));
    fs::create_directory(install.file("cfg"));
    EXPECT_TRUE(u_derive_config_dir(nullptr, install.path().c_str(), &dir));
    EXPECT_EQ(dir, install.file("cfg"));
}

TEST(DeriveConfigDir, EnvironmentAbsenceAndLength) {
    std::string dir;
    EXPECT_TRUE(u_derive_config_dir("/does/not/exist", "/ignored", &dir));
    EXPECT_EQ(dir, "/does/not/exist");
    EXPECT_FALSE(u_derive_config_dir("", "/ignored", &dir));
    EXPECT_FALSE(u_derive_config_dir(nullptr, nullptr, &dir));
    // 257 characters + "/cfg" no longer fit.
    std::string install = "/" + std::string(U_DIR_MAX - 4, 'i');
    EXPECT_FALSE(u_derive_config_dir(nullptr, install.c_str(), &dir));
    EXPECT_TRUE(u_derive_config_dir(nullptr, install.substr(0, U_DIR_MAX - 4).c_str(), &dir));
}

TEST(DeriveRampsDir, CreatedWhenMissing) {
    TempDir config;
    std::string dir;
    EXPECT_TRUE(u_derive_ramps_dir(nullptr, config.path().c_str(), &dir));
    EXPECT_EQ(dir, config.file("ramps"));
    EXPECT_TRUE(fs::is_directory(dir));
    EXPECT_TRUE(u_derive_ramps_dir(nullptr, config.path().c_str(), &dir));  // already there
    EXPECT_EQ(dir, config.file("ramps"));
}

TEST(DeriveRampsDir, TextKeptWhenCreationFailsEnvironmentUnchecked) {
    TempDir top;
    std::string config = top.file("missing");
    std::string dir;
    EXPECT_TRUE(u_derive_ramps_dir(nullptr, config.c_str(), &dir));
    EXPECT_EQ(dir, config + "/ramps");
    EXPECT_FALSE(fs::exists(dir));
    EXPECT_TRUE(u_derive_ramps_dir("/no/ramps", config.c_str(), &dir));
    EXPECT_EQ(dir, "/no/ramps");
    EXPECT_FALSE(u_derive_ramps_dir("", config.c_str(), &dir));
    EXPECT_FALSE(u_derive_ramps_dir(nullptr, nullptr, &dir));
    std::string long_config = "/" + std::string(U_DIR_MAX - 6, 'c');
    EXPECT_FALSE(u_derive_ramps_dir(nullptr, long_config.c_str(), &dir));
}

// The cached directories, decided once per process: checked in fresh children.
TEST(Dirs, DerivedFromTheExecutableAnnouncedOnceAndCached) {
    TempDir config;
    int rc = run_in_child([&] {
        plat_set_env("KT_INSTALL_DIR", nullptr);
        plat_set_env("KT_CONFIG_DIR", config.path().c_str());
        plat_set_env("KT_RAMPS_DIR", nullptr);
        std::string exe;
        CHILD_REQUIRE(plat_executable_path(&exe));
        std::string expected = fs::path(exe).parent_path().parent_path().string();
        CapturedMessages captured;
        const char* install = u_install_dir();
        CHILD_REQUIRE(install != nullptr && expected == install);
        CHILD_REQUIRE(u_install_dir() == install);
        CHILD_REQUIRE(captured.text() == "Install directory: " + expected + "\n");

        CHILD_REQUIRE(u_config_dir() != nullptr && config.path() == u_config_dir());
        CHILD_REQUIRE(u_ramps_dir() != nullptr && config.file("ramps") == u_ramps_dir());
        CHILD_REQUIRE(fs::is_directory(config.file("ramps")));

        plat_set_env("KT_INSTALL_DIR", "/elsewhere");  // too late: already decided
        CHILD_REQUIRE(expected == u_install_dir());
        CHILD_REQUIRE(captured.text() == "Install directory: " + expected + "\n");
        return 0;
    });
    EXPECT_EQ(rc, 0);
}

TEST(Dirs, EmptyVariablesMakeDirectoriesAbsent) {
    int rc = run_in_child([] {
        plat_set_env("KT_INSTALL_DIR", "");
        plat_set_env("KT_CONFIG_DIR", nullptr);
        plat_set_env("KT_RAMPS_DIR", nullptr);
        CapturedMessages captured;
        CHILD_REQUIRE(u_install_dir() == nullptr);
        CHILD_REQUIRE(u_config_dir() == nullptr);
        CHILD_REQUIRE(u_ramps_dir() == nullptr);
        plat_set_env("KT_INSTALL_DIR", "/later");  // an absent directory stays absent
        CHILD_REQUIRE(u_install_dir() == nullptr);
        CHILD_REQUIRE(captured.text().empty());
        return 0;
    });
    EXPECT_EQ(rc, 0);
}

TEST(FindFile, CurrentDirectoryFirstThenConfiguration) {
    TempDir work, config;
    write_file(work.file("both.cfg"), "here");
    write_file(config.file("both.cfg"), "there");
    write_file(config.file("cfg_only.cfg"), "there");
    fs::create_directory(work.file("dir.cfg"));
    int rc = run_in_child([&] {
        plat_set_env("KT_CONFIG_DIR", config.path().c_str());
        CHILD_REQUIRE(::chdir(work.path().c_str()) == 0);
        const char* path = nullptr;
        CHILD_REQUIRE(u_find_file("both.cfg", &path) == 0);
        CHILD_REQUIRE(std::strcmp(path, "./both.cfg") == 0);
        CHILD_REQUIRE(u_find_file("cfg_only.cfg", &path) == 0);
        CHILD_REQUIRE(config.file("cfg_only.cfg") == path);
        std::string absolute = config.file("both.cfg");
        CHILD_REQUIRE(u_find_file(absolute.c_str(), &path) == 0);
        CHILD_REQUIRE(absolute == path);
        CHILD_REQUIRE(u_find_file("./both.cfg", &path) == 0);
        CHILD_REQUIRE(std::strcmp(path, "./both.cfg") == 0);

        const char* kept = "kept";
        path = kept;
        CHILD_REQUIRE(u_find_file("none.cfg", &path) == ERR_CANT_READ_FILE && path == kept);
        CHILD_REQUIRE(u_find_file("dir.cfg", &path) == ERR_CANT_READ_FILE && path == kept);
        // Absolute names are tried alone, even when the name exists here.
        CHILD_REQUIRE(u_find_file("/no/where/both.cfg", &path) == ERR_CANT_READ_FILE);
        CHILD_REQUIRE(u_find_file("c:/x/both.cfg", &path) == ERR_CANT_READ_FILE);
        CHILD_REQUIRE(path == kept);
        CHILD_REQUIRE(u_find_file("", &path) == 0 && path == nullptr);
        CHILD_REQUIRE(u_find_file(nullptr, &path) == 0 && path == nullptr);
        return 0;
    });
    EXPECT_EQ(rc, 0);
}

TEST(FindFile, NoConfigurationDirectoryOrNoMemory) {
    // An empty value must be a set variable, which not every system keeps.
    plat_set_env("SURF_EMPTY_PROBE", "");
    const bool keeps_empty = std::getenv("SURF_EMPTY_PROBE") != nullptr;
    plat_set_env("SURF_EMPTY_PROBE", nullptr);
    if (!keeps_empty) GTEST_SKIP() << "no empty environment values on this system";
    TempDir work;
    write_file(work.file("here.cfg"), "x");
    int rc = run_in_child([&] {
        plat_set_env("KT_CONFIG_DIR", "");
        CHILD_REQUIRE(::chdir(work.path().c_str()) == 0);
        const char* path = "kept";
        CHILD_REQUIRE(u_find_file("elsewhere.cfg", &path) == ERR_CANT_OPEN_FILE);
        CHILD_REQUIRE(std::strcmp(path, "kept") == 0);
        CHILD_REQUIRE(u_find_file("here.cfg", &path) == 0);
        CHILD_REQUIRE(std::strcmp(path, "./here.cfg") == 0);

        UAllocHooks failing = u_alloc_hooks;
        failing.alloc = [](std::size_t) -> void* { return nullptr; };
        UAllocHooks previous = u_set_alloc_hooks(failing);
        const char* before = path;
        int status = u_find_file("here.cfg", &path);
        u_set_alloc_hooks(previous);
        CHILD_REQUIRE(status == ERR_NO_MEM && path == before);
        return 0;
    });
    EXPECT_EQ(rc, 0);
}

// The computer name is cached, not the first index's result.
TEST(SyscalFileName, EveryIndexGetsItsOwnName) {
    std::string name;
    plat_computer_name(&name);
    EXPECT_EQ(u_syscal_file_name(1), name + ".1");
    EXPECT_EQ(u_syscal_file_name(2), name + ".2");
    EXPECT_EQ(u_syscal_file_name(0), name + ".0");
    EXPECT_EQ(u_syscal_file_name(9), name + ".9");
    // Outside 0 to 9: decimal, never a non-digit character.
    EXPECT_EQ(u_syscal_file_name(10), name + ".10");
    EXPECT_EQ(u_syscal_file_name(-1), name + ".-1");
}
