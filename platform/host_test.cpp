#include "platform/host.h"

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>

TEST(Host, ExecutablePathIsThisProgramAsSpelled) {
    std::string path;
    ASSERT_TRUE(plat_executable_path(&path));
    EXPECT_TRUE(std::filesystem::path(path).is_absolute()) << path;
    EXPECT_TRUE(std::filesystem::is_regular_file(path)) << path;
    EXPECT_EQ(std::filesystem::path(path).stem(), "platform_test");
}

TEST(Host, ComputerNameIsShortUpperCaseWithoutDomain) {
    std::string name;
    ASSERT_TRUE(plat_computer_name(&name));
    EXPECT_FALSE(name.empty());
    EXPECT_LE(name.size(), 15u);
    for (char c : name) {
        EXPECT_NE(c, '.');
        EXPECT_EQ(c, std::toupper(static_cast<unsigned char>(c)));
    }
}
