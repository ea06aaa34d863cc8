// packaging_test.cpp: what a product developer gets from "cmake --install": the layout, a
// host built against find_package(KXEvent), and the kxevent command run from the installation.
#include <gtest/gtest.h>

#include <filesystem>

#include "child_process.h"
#include "support.h"

namespace kx::test {
namespace {

namespace fs = std::filesystem;

class Installation : public ::testing::Test {
  protected:
    static inline TempDir* dir = nullptr;
    static inline ProcessResult install;

    static void SetUpTestSuite() {
        dir = new TempDir;
        install = RunProcess(KX_TEST_CMAKE, {"--install", KX_TEST_BINARY_DIR, "--prefix",
                                             (dir->path() / "prefix").string()});
    }
    static void TearDownTestSuite() {
        delete dir;
        dir = nullptr;
    }
    static fs::path Prefix() { return dir->path() / "prefix"; }
};

TEST_F(Installation, LaysOutHeadersLibrariesModulesAndCommand) {
    ASSERT_EQ(install.exitCode, 0) << install.err;
    for (const char* file :
         {"include/kxevent/kxevent.h", "include/kxevent/platform/platform.h",
          "lib/libkxplatform.so", "lib/velmora/KXEvent.DLL", "lib/velmora/FwdSyslog.DLL",
          "bin/kxevent", "lib/cmake/KXEvent/KXEventConfig.cmake", "lib/pkgconfig/kxevent.pc",
          "share/kxevent/default.reg", "etc/velmora/hklm.reg", "var/spool/kxevent/alerts",
          "lib/systemd/system/kxevent-collect.service"}) {
        EXPECT_TRUE(fs::exists(Prefix() / file)) << file;
    }
}

// What names installed paths is written for the prefix installed to, not the configured one.
TEST_F(Installation, SystemRegistryNamesTheInstalledDirectoriesAndNoPlaceholder) {
    ASSERT_EQ(install.exitCode, 0) << install.err;
    const std::string modules = (Prefix() / "lib/velmora").string();
    const std::string alerts = (Prefix() / "var/spool/kxevent/alerts").string();
    const std::string registry = ReadFile(Prefix() / "etc/velmora/hklm.reg");
    EXPECT_NE(registry.find("\"szInstallDir\"=\"" + modules + "\""), std::string::npos) << registry;
    EXPECT_NE(registry.find("\"Centralized Alerting Path\"=\"" + alerts + "\""), std::string::npos);
    EXPECT_NE(registry.find("=\"" + modules + "/FwdSyslog.DLL\""), std::string::npos);
    EXPECT_EQ(registry.find('@'), std::string::npos);
    EXPECT_EQ(ReadFile(Prefix() / "share/kxevent/default.reg"), registry);
    // The library trusts an alerting directory only its owner can write.
    const fs::perms mode = fs::status(alerts).permissions();
    EXPECT_TRUE(fs::is_directory(alerts));
    EXPECT_EQ(mode & (fs::perms::group_write | fs::perms::others_write), fs::perms::none);
}

TEST_F(Installation, SecondInstallKeepsTheAdministratorsRegistry) {
    ASSERT_EQ(install.exitCode, 0) << install.err;
    const fs::path registry = Prefix() / "etc/velmora/hklm.reg";
    const std::string original = ReadFile(registry);
    WriteFile(registry, "REGEDIT4\r\n");
    const ProcessResult again =
        RunProcess(KX_TEST_CMAKE, {"--install", KX_TEST_BINARY_DIR, "--prefix", Prefix().string()});
    EXPECT_EQ(again.exitCode, 0) << again.err;
    EXPECT_EQ(ReadFile(registry), "REGEDIT4\r\n");
    WriteFile(registry, original);
}

TEST_F(Installation, PkgConfigNamesTheInstallationAndNoRunPath) {
    ASSERT_EQ(install.exitCode, 0) << install.err;
    const std::string pc = ReadFile(Prefix() / "lib/pkgconfig/kxevent.pc");
    EXPECT_NE(pc.find("prefix=" + Prefix().string() + "\n"), std::string::npos) << pc;
    EXPECT_NE(pc.find("libdir=" + (Prefix() / "lib").string() + "\n"), std::string::npos) << pc;
    EXPECT_NE(pc.find("Libs: -L${libdir} -lkxplatform\n"), std::string::npos) << pc;
    EXPECT_EQ(pc.find("rpath"), std::string::npos) << pc;
    EXPECT_EQ(pc.find(KX_TEST_BINARY_DIR), std::string::npos) << pc;
}

TEST_F(Installation, InstalledCommandFindsItsLibraryAndSendsOnTheDefault) {
    ASSERT_EQ(install.exitCode, 0) << install.err;
    const ProcessResult result =
        RunProcess((Prefix() / "bin/kxevent").string(),
                   {"send", "--product", "1", "--event", "1011", "--task", "Weekly"},
                   {{"VEL_REGISTRY", std::nullopt},
                    {"KXEVENT_SYSTEM_REGISTRY", (dir->path() / "none.reg").string()},
                    {"XDG_STATE_HOME", (dir->path() / "state").string()},
                    {"KXEVENT_LIBRARY_DIR", std::nullopt},
                    {"VEL_DEBUGCORE", std::nullopt}});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("description: Scan Weekly completed"), std::string::npos)
        << result.out;
    EXPECT_NE(ReadFile(dir->path() / "state/kxevent/hklm.reg")
                  .find((Prefix() / "lib/velmora/FwdSyslog.DLL").string()),
              std::string::npos);
}

TEST_F(Installation, HostBuildsAgainstTheCMakePackage) {
    ASSERT_EQ(install.exitCode, 0) << install.err;
    const fs::path build = dir->path() / "host-build";
    const ProcessResult configure =
        RunProcess(KX_TEST_CMAKE, {"-S", std::string(KX_TEST_SOURCE_DIR) + "/examples/host_c", "-B",
                                   build.string(), "-DCMAKE_PREFIX_PATH=" + Prefix().string()});
    ASSERT_EQ(configure.exitCode, 0) << configure.out << configure.err;
    const ProcessResult compile = RunProcess(KX_TEST_CMAKE, {"--build", build.string()});
    ASSERT_EQ(compile.exitCode, 0) << compile.out << compile.err;
    EXPECT_TRUE(fs::exists(build / "kxhost_c"));
    // A C project: no C++ compiler was even looked for, so none linked the host.
    EXPECT_EQ(ReadFile(build / "CMakeCache.txt").find("CMAKE_CXX_COMPILER:"), std::string::npos);
}

}  // namespace
}  // namespace kx::test
