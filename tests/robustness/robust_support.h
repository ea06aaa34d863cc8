// robust_support.h: what the load, fault and security tests (and the integration load test)
// share: a scratch machine for each case, a registry that makes every send raise an alert, and
// a reader that checks alert files line by line.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/alert_file.h"
#include "kxevent/kxevent.h"
#include "support.h"

namespace kx::robust {

inline constexpr std::uint32_t kProduct = 1;
inline constexpr std::int32_t kEvent = 1001;
using test::kAlertingKey;
inline constexpr char kInstallKey[] =
    "SOFTWARE\\Velmora\\QRD\\Shared Components\\Brisa\\CurrentVersion";
inline constexpr char kForwardingKey[] =
    "Software\\Velmora\\QRD\\Shared Components\\Events\\Forwarding";
inline constexpr char kEventKey[] = "Software\\Velmora\\QRD\\Shared Components\\Events\\0901\\1001";

// A scratch directory holding the registry file VEL_REGISTRY names and the event log VEL_EVENTLOG
// names; VEL_DEBUGCORE unset and every locale US English, so that each case sees the same
// machine whatever the one running the tests is set to. Everything is put back afterwards.
class ScratchMachineTest : public ::testing::Test {
  protected:
    test::TempDir tmp_;
    std::filesystem::path registry_ = tmp_ / "registry.reg";
    std::filesystem::path eventLog_ = tmp_ / "events.log";

  private:
    test::ScopedEnv registryEnv_{"VEL_REGISTRY", registry_.string()};
    test::ScopedEnv eventLogEnv_{"VEL_EVENTLOG", eventLog_.string()};
    test::ScopedEnv debugCore_{"VEL_DEBUGCORE", std::nullopt};
    test::ScopedEnv thread_{"VEL_THREAD_LCID", "1033"};
    test::ScopedEnv user_{"VEL_USER_LCID", "1033"};
    test::ScopedEnv system_{"VEL_SYSTEM_LCID", "1033"};
};

// Installation directory, alerting on into `alerts`, no address lookup, one event definition
// whose long description is `description`.
inline test::RegFile SendingRegistry(const std::filesystem::path& alerts,
                                     const std::string& description = "Robust event") {
    test::RegFile reg;
    reg.Key(kInstallKey).String("szInstallDir", KX_TEST_INSTALL_DIR);
    reg.Key(kAlertingKey)
        .Dword("bEnableCAlert", 1)
        .String("Centralized Alerting Path", alerts.string())
        .Dword("NoIP", 1);
    reg.Key(kEventKey).String("ID", "Robust").String("LONGDESCRIPT", description);
    return reg;
}

// One alert file read back: its key lines in order, and whether the bytes form a whole file.
struct AlertFile {
    bool complete = false;  // the whole layout the library writes
    std::vector<std::pair<std::string, std::string>> keys;
    std::string Value(const std::string& key) const {
        for (const auto& [name, value] : keys) {
            if (name == key) return value;
        }
        return {};
    }
};

inline const std::vector<std::string>& AlertKeyNames() {
    static const std::vector<std::string> names = {"uFileVersion",
                                                   "uStatus",
                                                   "szVirusName",
                                                   "szItemName",
                                                   "szUserName",
                                                   "szSoftware",
                                                   "szSoftwareVersion",
                                                   "szComputerName",
                                                   "uYear",
                                                   "uMonth",
                                                   "uDay",
                                                   "uHour",
                                                   "uMinute",
                                                   "uSecond",
                                                   "szAlertPath",
                                                   "uSeverity",
                                                   "szSourceIP",
                                                   "uMessageID",
                                                   "szTaskName",
                                                   "szGMTTime",
                                                   "szOS",
                                                   "szEngineVersion",
                                                   "szDatVersion",
                                                   "dwWinStaClientID",
                                                   "pszWinStaClientName",
                                                   "uSpecificTrap",
                                                   "szActualMessage"};
    return names;
}

// Parses a file as the collector and the command do.
inline AlertFile ReadAlert(const std::filesystem::path& file) {
    AlertFile alert;
    AlertParseFailure failure;
    if (const auto parsed = ParseAlertFile(test::ReadFile(file), failure)) {
        alert.complete = true;
        for (const AlertValue& value : parsed->values) {
            alert.keys.emplace_back(std::string(value.key), value.value);
        }
    }
    return alert;
}

// The files of a directory whose names end with `suffix`.
inline std::vector<std::filesystem::path> FilesEndingWith(const std::filesystem::path& dir,
                                                          const std::string& suffix) {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.size() >= suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
            files.push_back(entry.path());
        }
    }
    return files;
}

// Lines of the VEL_EVENTLOG file that contain `text`.
inline std::size_t CountLogLines(const std::filesystem::path& log, const std::string& text) {
    const std::string all = test::ReadFile(log);
    std::size_t count = 0;
    for (std::size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) {
        ++count;
    }
    return count;
}

}  // namespace kx::robust
