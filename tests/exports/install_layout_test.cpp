// The installed layout: `cmake --install` of this build into a fresh prefix puts the public
// headers, the platform library and the installation directory where hosts and the library
// itself look for them.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <string_view>

#include "tests/exports/command.h"
#include "tests/support/support.h"

namespace {

namespace fs = std::filesystem;
using kx::test::RunCommand;

class InstallLayout : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto result =
            RunCommand({KX_TEST_CMAKE, "--install", KX_TEST_BINARY_DIR, "--prefix", prefix_.str()});
        ASSERT_EQ(result.status, 0) << result.output;
    }

    fs::path Installed(const std::string& relative) const { return prefix_ / relative; }

    kx::test::TempDir prefix_;
};

TEST_F(InstallLayout, PublicAndPlatformHeadersGoUnderIncludeKxevent) {
    EXPECT_TRUE(fs::is_regular_file(Installed("include/kxevent/kxevent.h")));
    EXPECT_TRUE(fs::is_regular_file(Installed("include/kxevent/kxplatform.h")));
    EXPECT_TRUE(fs::is_regular_file(Installed("include/kxevent/platform/platform.h")));
}

TEST_F(InstallLayout, PlatformLibraryGoesToLibWithItsInterfaceVersion) {
    EXPECT_TRUE(fs::is_regular_file(Installed("lib/libkxplatform.so")));
    EXPECT_EQ(fs::read_symlink(Installed("lib/libkxplatform.so")), "libkxplatform.so.1");
    EXPECT_TRUE(fs::is_regular_file(Installed("lib/libkxplatform.so.1")));
}

TEST_F(InstallLayout, InstallationDirectoryHoldsTheLibraryAndItsSiblings) {
    for (const char* module : {"KXEvent.DLL", "KXKRNL.DLL", "KXUTIL.DLL"}) {
        EXPECT_TRUE(fs::is_regular_file(Installed("lib/velmora/" + std::string(module)))) << module;
    }
}

// Whoever receives an installation made by hand receives the licence's text with it, and the
// package metadata names the same licence.
TEST_F(InstallLayout, LicenceTextAndMetadataGoWithTheInstallation) {
    const std::string licence = kx::test::ReadFile(Installed("share/doc/kxevent/LICENSE"));
    EXPECT_NE(licence.find("Apache License\n                           Version 2.0"),
              std::string::npos);
    EXPECT_NE(
        kx::test::ReadFile(Installed("lib/pkgconfig/kxevent.pc")).find("\nLicense: Apache-2.0\n"),
        std::string::npos);
    EXPECT_NE(kx::test::ReadFile(Installed("lib/cmake/KXEvent/KXEventConfig.cmake"))
                  .find("set(KXEVENT_LICENSE \"Apache-2.0\")"),
              std::string::npos);
}

TEST_F(InstallLayout, EveryResourceDirectoryOfTheBuildIsInstalled) {
    int languages = 0;
    for (const auto& entry : fs::directory_iterator(KX_TEST_INSTALL_DIR)) {
        const std::string name = entry.path().filename().string();
        if (!entry.is_directory() || name.rfind("Res", 0) != 0) continue;
        ++languages;
        EXPECT_TRUE(fs::is_regular_file(Installed("lib/velmora/" + name + "/kxUtlRes.dll")))
            << name;
    }
    EXPECT_GE(languages, 1);
    EXPECT_TRUE(fs::is_regular_file(Installed("lib/velmora/Res0901/kxUtlRes.dll")));
}

// The library finds the platform library one level above the installation directory, in the
// installed tree rather than the build tree.
TEST_F(InstallLayout, InstalledLibraryResolvesTheInstalledPlatformLibrary) {
    const auto result = RunCommand({"ldd", Installed("lib/velmora/KXEvent.DLL").string()});
    ASSERT_EQ(result.status, 0) << result.output;
    const fs::path expected = fs::canonical(Installed("lib/libkxplatform.so"));
    bool found = false;
    for (const std::string& line : kx::test::Lines(result.output)) {
        constexpr std::string_view kNeeded = "libkxplatform.so.1 => ";
        const auto arrow = line.find(kNeeded);
        if (arrow == std::string::npos) continue;
        std::string target(line.substr(arrow + kNeeded.size()));
        target = target.substr(0, target.find(" ("));
        found = true;
        EXPECT_EQ(fs::canonical(target), expected) << line;
    }
    EXPECT_TRUE(found) << result.output;
}

}  // namespace
