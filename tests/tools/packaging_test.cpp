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
          "share/kxevent/default.reg", "lib/systemd/system/kxevent-collect.service"}) {
        EXPECT_TRUE(fs::exists(Prefix() / file)) << file;
    }
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
}

}  // namespace
}  // namespace kx::test
