// doctor_checks_test.cpp: doctor's checks run in this process on real files and directories,
// for the settings the whole-command tests (doctor_test.cpp) leave alone: the event-log
// file, alerting switched off or without a path, the installation directory's origin and
// module names in another case.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "common/registry.h"
#include "support.h"
#include "tools/kxevent/accounts.h"
#include "tools/kxevent/doctor_command.h"

namespace kx::tool {
namespace {

namespace fs = std::filesystem;
using test::ScopedEnv;

class DoctorChecks : public ::testing::Test {
  protected:
    test::TempDir dir;
    fs::path registry = dir / "hklm.reg";
    ScopedEnv registryVariable{"VEL_REGISTRY", registry.string()};
    ScopedEnv eventLogVariable{"VEL_EVENTLOG", std::nullopt};
    ScopedEnv coreVariable{"VEL_DEBUGCORE", std::nullopt};
    bool passed = false;

    // The line the check `what` wrote; "" when it did not run.
    std::string Line(const std::string& what) {
        std::ostringstream out;
        passed = RunDoctorChecks(out);
        for (const std::string& line : test::Lines(out.str())) {
            if (line.substr(6).rfind(what + ": ", 0) == 0) return line;
        }
        return "";
    }
};

// The system logger beside it is the whole-command tests' (they give the command a /dev of its
// own); here only the file VEL_EVENTLOG names.
TEST_F(DoctorChecks, EventLogFileIsCheckedAsThePlatformWritesIt) {
    fs::create_directory(dir / "log-dir");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0644), 0);
    const std::string d = dir.str();
    const std::string fallback =
        " (VEL_EVENTLOG); entries go to syslog only; point VEL_EVENTLOG at a writable file or "
        "unset it";
    const struct {
        std::optional<std::string> file;
        std::string line;
    } cases[] = {
        {std::nullopt, ""},
        {d + "/new.json", "ok    event log file: " + d + "/new.json (VEL_EVENTLOG), beside syslog"},
        {d + "/fifo", "FAIL  event log file: " + d + "/fifo is not a regular file" + fallback},
        {d + "/log-dir",
         "FAIL  event log file: " + d + "/log-dir is not a regular file" + fallback},
        {d + "/missing/log.json",
         "FAIL  event log file: " + d + "/missing/log.json's directory is not writable" + fallback},
    };
    fs::create_symlink(dir / "new.json", dir / "link.json");
    for (const auto& c : cases) {
        const ScopedEnv file("VEL_EVENTLOG", c.file);
        EXPECT_EQ(Line("event log file"), c.line);
        EXPECT_FALSE(passed);  // the registry does not exist
    }
    const ScopedEnv link("VEL_EVENTLOG", d + "/link.json");
    EXPECT_EQ(Line("event log file"), "FAIL  event log file: " + d +
                                          "/link.json is a symbolic link, which the library does "
                                          "not follow" +
                                          fallback);
    EXPECT_FALSE(fs::exists(dir / "new.json"));
}

TEST_F(DoctorChecks, AlertingSettingsThatLeaveNoDirectoryAreNamed) {
    test::WriteFile(dir / "file", "");
    const struct {
        bool enabled;
        std::optional<std::string> path;
        std::string line;
    } cases[] = {
        {false, std::nullopt,
         "ok    alerting directory: central alerting is off (\"bEnableCAlert\")"},
        {true, std::nullopt,
         "FAIL  alerting directory: central alerting is on but \"Centralized Alerting Path\" is "
         "missing; set it to an existing directory"},
        {true, dir.str() + "\\file",
         "FAIL  alerting directory: " + dir.str() + "/file does not exist or is no directory; " +
             AlertDirectoryCreateAdvice(dir / "file")},
    };
    for (const auto& c : cases) {
        test::RegFile reg;
        reg.Key(kAlertingKey).Dword("bEnableCAlert", c.enabled ? 1 : 0);
        if (c.path) reg.String("Centralized Alerting Path", *c.path);
        reg.WriteTo(registry);
        EXPECT_EQ(Line("alerting directory"), c.line);
    }
    EXPECT_EQ(Line("forwarding"), "ok    forwarding: no forwarding modules are configured");
}

TEST_F(DoctorChecks, MalformedRegistryStopsTheChecksThatReadIt) {
    test::WriteFile(registry, "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"unterminated\n");
    EXPECT_EQ(Line("registry format")
                  .rfind("FAIL  registry format: " + registry.string() + ": line 4: ", 0),
              0u);
    EXPECT_EQ(Line("alerting directory"), "");
    EXPECT_NE(Line("event log"), "");
}

// VEL_DEBUGCORE replaces "szInstallDir", as in the library; modules are found by their name in
// any case, as the loader finds them.
TEST_F(DoctorChecks, InstallationDirectoryComesFromVelDebugcoreFirst) {
    const fs::path core = dir / "core";
    fs::create_directory(core);
    ::chmod(core.c_str(), 0755);
    test::WriteFile(core / "kxutil.dll", "");
    test::RegFile reg;
    reg.Key(test::kInstallKey).String("szInstallDir", (dir / "nowhere").string());
    reg.WriteTo(registry);
    EXPECT_EQ(Line("installation directory"),
              "FAIL  installation directory: " + (dir / "nowhere").string() +
                  " (\"szInstallDir\") is not an existing directory; install the modules there or "
                  "correct \"szInstallDir\"");
    const ScopedEnv debugCore("VEL_DEBUGCORE", core.string() + "/");
    EXPECT_EQ(Line("installation directory"),
              "ok    installation directory: " + core.string() + " (VEL_DEBUGCORE)");
    EXPECT_EQ(Line("module KXUTIL.DLL"),
              "ok    module KXUTIL.DLL: " + (core / "kxutil.dll").string());
    // Every place of the library's search is named: the installation directory, "..\zqpal"
    // and the current directory.
    EXPECT_EQ(Line("module KXKRNL.DLL"),
              "FAIL  module KXKRNL.DLL: not found in " + core.string() + ", " +
                  fs::absolute("../zqpal").lexically_normal().string() + ", " +
                  fs::current_path().string() + "; install it into the installation directory");
}

// A core module is found where the library's search finds it: the installation directory, then
// "..\zqpal", then the current directory, the first holding it winning.
TEST_F(DoctorChecks, CoreModulesAreFoundInEveryPlaceTheLibrarySearches) {
    const fs::path core = dir / "core";
    const fs::path zqpal = dir / "zqpal";
    const fs::path current = dir / "current";
    for (const fs::path& place : {core, zqpal, current}) {
        fs::create_directory(place);
        ::chmod(place.c_str(), 0755);
    }
    test::RegFile reg;
    reg.Key(test::kInstallKey).String("szInstallDir", core.string());
    reg.WriteTo(registry);
    const fs::path previous = fs::current_path();
    fs::current_path(current);
    const struct {
        std::vector<fs::path> holding;  // the places given a copy of KXKRNL.DLL
        fs::path found;
    } cases[] = {
        {{core, zqpal, current}, core},
        {{zqpal, current}, zqpal},
        {{current}, current},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.found.string());
        for (const fs::path& place : {core, zqpal, current}) fs::remove(place / "KXKRNL.DLL");
        for (const fs::path& place : row.holding) test::WriteFile(place / "KXKRNL.DLL", "");
        EXPECT_EQ(Line("module KXKRNL.DLL"),
                  "ok    module KXKRNL.DLL: " + (row.found / "KXKRNL.DLL").string());
    }
    fs::current_path(previous);
}

}  // namespace
}  // namespace kx::tool
