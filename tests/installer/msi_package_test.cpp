// The Windows installer packages, built with scripts/windows-msi.sh from each Windows build and
// read back with msiinfo: the files of the installation directory, the registry in the view the
// package's DLL reads (64-bit components only in the x64 package), every value of the default
// registry with Windows paths, the forwarding list only with a syslog host, the event sources,
// the alerting directory and its custom actions, the alerting service; the package's signature and
// those of the modules it carries. And the registry converter's refusals. Skipped when a Windows
// build is not present.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/eventlog_ids.h"
#include "tests/exports/command.h"
#include "tests/support/support.h"

namespace {

namespace fs = std::filesystem;
using kx::test::Lines;
using kx::test::RunCommand;
using Row = std::vector<std::string>;

struct Architecture {
    const char* name;
    const char* build;
    bool win64;
    const char* programFiles;
    const char* template_;  // the summary's platform and language
};

void PrintTo(const Architecture& architecture, std::ostream* out) {
    *out << architecture.name;
}

const Architecture kArchitectures[] = {
    {"i686", KX_TEST_MINGW32_DIR, false, "ProgramFilesFolder", "Intel;1033"},
    {"x86_64", KX_TEST_MINGW64_DIR, true, "ProgramFiles64Folder", "x64;1033"},
};

// A table's rows as msiinfo exports them (three heading lines: names, types, table and keys).
std::vector<Row> Table(const fs::path& package, const std::string& table) {
    const auto result = RunCommand({"msiinfo", "export", package.string(), table});
    EXPECT_EQ(result.status, 0) << "msiinfo export " << package << " " << table;
    std::vector<Row> rows;
    const std::vector<std::string> lines = Lines(result.output);
    for (std::size_t i = 3; i < lines.size(); ++i) {
        std::string line = lines[i];
        if (!line.empty() && line.back() == '\r') line.pop_back();
        Row row;
        std::stringstream fields(line);
        for (std::string field; std::getline(fields, field, '\t');) row.push_back(field);
        if (!line.empty() && line.back() == '\t') row.emplace_back();
        rows.push_back(row);
    }
    return rows;
}

std::map<std::string, Row> ByKey(const std::vector<Row>& rows) {
    std::map<std::string, Row> map;
    for (const Row& row : rows) map[row.at(0)] = row;
    return map;
}

// The (key, name) pairs of a .reg file.
std::vector<std::pair<std::string, std::string>> RegValues(const fs::path& file) {
    std::ifstream in(file);
    std::vector<std::pair<std::string, std::string>> values;
    std::string key;
    static const std::regex keyLine(R"(^\[HKEY_LOCAL_MACHINE\\(.*)\]\r?$)");
    static const std::regex valueLine(R"re(^"([^"]+)"=)re");
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (std::regex_search(line, m, keyLine)) key = m[1];
        if (std::regex_search(line, m, valueLine)) values.emplace_back(key, m[1]);
    }
    return values;
}

class Package : public ::testing::TestWithParam<Architecture> {
  protected:
    void SetUp() override {
        const Architecture& arch = GetParam();
        if (!fs::exists(fs::path(arch.build) / "msi" / "package.env")) {
            GTEST_SKIP() << arch.build << " is not a Windows build (bash scripts/test.sh)";
        }
        const auto result = RunCommand({"bash", KX_TEST_SOURCE_DIR "/scripts/windows-msi.sh",
                                        "--test-certificate", arch.build});
        ASSERT_EQ(result.status, 0) << "scripts/windows-msi.sh " << arch.build;
        const std::vector<std::string> lines = Lines(result.output);
        ASSERT_FALSE(lines.empty());
        package = lines.back();
    }
    fs::path package;
};

TEST_P(Package, InstallsTheModulesTheLicenceAndTheResourceModules) {
    std::multiset<std::string> names;
    for (const Row& row : Table(package, "File")) names.insert(row.at(2));
    for (const char* name : {"KXEvent.DLL", "KXKRNL.DLL", "KXUTIL.DLL", "FwdSyslog.DLL",
                             "KXEventMessages.dll", KX_EVENT_ALERTS_MESSAGE_FILE, "LICENSE.txt"}) {
        EXPECT_EQ(names.count(name), 1u) << name;
    }
    EXPECT_EQ(names.count("kxevent.exe"), 2u);  // one in each of the service's components
    EXPECT_EQ(names.count("kxUtlRes.dll"), 4u);

    const auto directories = ByKey(Table(package, "Directory"));
    const auto parent = [&](const std::string& id) { return directories.at(id).at(1); };
    EXPECT_EQ(parent(parent("INSTALLDIR")), GetParam().programFiles);
    EXPECT_EQ(parent(parent(parent("ALERTDIR"))), "CommonAppDataFolder");
    EXPECT_EQ(parent("Res0901"), "INSTALLDIR");

    const auto summary = RunCommand({"msiinfo", "suminfo", package.string()});
    EXPECT_NE(summary.output.find(std::string("Template: ") + GetParam().template_),
              std::string::npos)
        << summary.output;
}

TEST_P(Package, WritesTheDefaultRegistryInTheViewOfItsDll) {
    for (const Row& component : Table(package, "Component")) {
        const bool win64 =
            (std::stoi(component.at(3)) & 256) != 0;  // msidbComponentAttributes64bit
        EXPECT_EQ(win64, GetParam().win64) << component.at(0);
    }
    std::map<std::pair<std::string, std::string>, Row> registry;
    for (const Row& row : Table(package, "Registry")) {
        EXPECT_EQ(row.at(1), "2") << "not under HKEY_LOCAL_MACHINE: " << row.at(2);
        EXPECT_EQ(row.at(4).find('@'), std::string::npos) << row.at(2) << " " << row.at(3);
        registry[{row.at(2), row.at(3)}] = row;
    }
    // Every value of the default registry, but the Unix sockets.
    std::size_t converted = 0;
    for (const auto& [key, name] : RegValues(KX_TEST_SOURCE_DIR "/config/default.reg")) {
        if (name == "Socket" || name == "JournalSocket") continue;
        EXPECT_EQ(registry.count({key, name}), 1u) << key << " " << name;
        ++converted;
    }
    EXPECT_GT(converted, 200u);

    const std::string shared = "Software\\Velmora\\QRD\\Shared Components\\";
    const std::string syslog = shared + "Events\\Forwarding\\Syslog";
    const struct {
        std::string key, name, value, component;
    } rows[] = {
        {shared + "Brisa\\CurrentVersion", "szInstallDir", "[INSTALLDIR]", "Registry"},
        {shared + "Brisa\\Alerting", "Centralized Alerting Path", "[KXSTATEDIR]alerts", "Registry"},
        {shared + "Brisa\\Alerting", "bEnableCAlert", "#1", "Registry"},
        {shared + "Events\\Forwarding", "Syslog forwarder", "[INSTALLDIR]FwdSyslog.DLL",
         "SyslogForwarding"},
        {syslog, "Transport", "[SYSLOGTRANSPORT]", "SyslogForwarding"},
        {syslog, "Host", "[SYSLOGHOST]", "SyslogForwarding"},
        {syslog, "Port", "#[SYSLOGPORT]", "SyslogForwarding"},
    };
    for (const auto& row : rows) {
        ASSERT_EQ(registry.count({row.key, row.name}), 1u) << row.key << " " << row.name;
        const Row& found = registry.at({row.key, row.name});
        EXPECT_EQ(found.at(4), row.value) << row.name;
        EXPECT_EQ(found.at(5), row.component) << row.name;
    }
    const auto components = ByKey(Table(package, "Component"));
    EXPECT_EQ(components.at("SyslogForwarding").at(4), "SYSLOGHOST OR REMOVE~=\"ALL\"");
    EXPECT_EQ(components.at("Registry").at(4), "");

    const auto properties = ByKey(Table(package, "Property"));
    EXPECT_EQ(properties.at("SYSLOGTRANSPORT").at(1), "udp");
    EXPECT_EQ(properties.at("SYSLOGPORT").at(1), "514");
    EXPECT_EQ(properties.count("SYSLOGHOST"), 0u);  // no host: no forwarding
    EXPECT_NE(properties.at("SecureCustomProperties").at(1).find("SYSLOGHOST"), std::string::npos);
}

TEST_P(Package, RegistersEverySourceWithTheMessageFile) {
    std::map<std::pair<std::string, std::string>, std::string> registry;
    for (const Row& row : Table(package, "Registry")) registry[{row.at(2), row.at(3)}] = row.at(4);
    const auto value = [&](const std::string& key, const char* name) {
        return registry[{key, name}];
    };
    for (const char* source : {KX_EVENT_SOURCE_TRACE, KX_EVENT_SOURCE_PLATFORM,
                               KX_EVENT_SOURCE_SYSLOG, KX_EVENT_SOURCE_ALERT}) {
        const std::string key =
            std::string("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\") + source;
        EXPECT_EQ(value(key, "EventMessageFile"), "[INSTALLDIR]KXEventMessages.dll") << source;
        EXPECT_EQ(value(key, "CategoryMessageFile"), "[INSTALLDIR]KXEventMessages.dll");
        EXPECT_EQ(value(key, "CategoryCount"), "#" + std::to_string(KX_EVENT_CATEGORY_COUNT));
        EXPECT_EQ(value(key, "TypesSupported"), "#7");  // error, warning, information
    }
    const std::string alerts =
        std::string("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\") +
        KX_EVENT_SOURCE_ALERTS;
    EXPECT_EQ(value(alerts, "EventMessageFile"),
              std::string("[INSTALLDIR]") + KX_EVENT_ALERTS_MESSAGE_FILE);
    EXPECT_EQ(value(alerts, "CategoryMessageFile"), "[INSTALLDIR]KXEventMessages.dll");
    EXPECT_EQ(value(alerts, "CategoryCount"), "#" + std::to_string(KX_EVENT_CATEGORY_COUNT));
    EXPECT_EQ(value(alerts, "TypesSupported"), "#7");
    for (const Row& row : Table(package, "Registry")) {
        if (row.at(2) == alerts) {
            EXPECT_EQ(row.at(5), "AlertMessages") << row.at(3);
        }
    }
}

// The alerting service: installed to start on demand and left stopped, or with STARTCOLLECTOR
// started automatically and at once; stopped at every installation (so that kxevent.exe can be
// replaced), restarted after a failure, and removed at uninstall. Each component's key file is the
// kxevent.exe it runs.
TEST_P(Package, InstallsTheAlertingServiceOnDemandUnlessAskedToStartIt) {
    const auto services = ByKey(Table(package, "ServiceInstall"));
    const auto controls = ByKey(Table(package, "ServiceControl"));
    const auto components = ByKey(Table(package, "Component"));
    const auto files = ByKey(Table(package, "File"));
    const struct {
        const char* component;
        const char* startType;  // 3 demand, 2 automatic
        const char* events;     // stop at install and uninstall, remove at uninstall (+1 start)
        const char* condition;
    } cases[] = {
        {"Collector", "3", "162", "NOT STARTCOLLECTOR OR REMOVE~=\"ALL\""},
        {"CollectorAuto", "2", "163", "STARTCOLLECTOR OR REMOVE~=\"ALL\""},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(services.count(c.component), 1u) << c.component;
        const Row& service = services.at(c.component);
        EXPECT_EQ(service.at(1), KX_COLLECT_SERVICE_NAME);
        EXPECT_EQ(service.at(2), "kxevent alerting service");
        EXPECT_EQ(service.at(3), "16");  // its own process
        EXPECT_EQ(service.at(4), c.startType) << c.component;
        EXPECT_EQ(service.at(5), "1");  // errors logged, the start goes on
        EXPECT_EQ(service.at(8), "");   // the local system
        EXPECT_EQ(service.at(10), "collect --service --to eventlog");
        EXPECT_EQ(service.at(11), c.component);
        EXPECT_FALSE(service.at(12).empty());
        ASSERT_EQ(controls.count(c.component), 1u) << c.component;
        EXPECT_EQ(controls.at(c.component).at(1), KX_COLLECT_SERVICE_NAME);
        EXPECT_EQ(controls.at(c.component).at(2), c.events) << c.component;
        EXPECT_EQ(controls.at(c.component).at(5), c.component);
        EXPECT_EQ(components.at(c.component).at(4), c.condition);
        const std::string key = components.at(c.component).at(5);
        EXPECT_EQ(files.at(key).at(2), "kxevent.exe") << c.component;
        EXPECT_EQ(components.at(c.component).at(2), "INSTALLDIR");
    }
    // Restarted after a failure: set once the service is installed, before it may be started.
    const auto actions = ByKey(Table(package, "CustomAction"));
    EXPECT_EQ(actions.at("ConfigureCollectorRecovery").at(1), "3073");
    EXPECT_EQ(actions.at("ConfigureCollectorRecovery").at(2), "KXSetupActions");
    EXPECT_EQ(actions.at("ConfigureCollectorRecoveryData").at(3), KX_COLLECT_SERVICE_NAME);
    const auto sequence = ByKey(Table(package, "InstallExecuteSequence"));
    const auto at = [&](const char* action) { return std::stoi(sequence.at(action).at(2)); };
    EXPECT_LT(at("ConfigureCollectorRecoveryData"), at("ConfigureCollectorRecovery"));
    EXPECT_GT(at("ConfigureCollectorRecovery"), at("InstallServices"));
    EXPECT_LT(at("ConfigureCollectorRecovery"), at("StartServices"));
    EXPECT_EQ(sequence.at("ConfigureCollectorRecovery").at(1), "NOT REMOVE~=\"ALL\"");

    const auto properties = ByKey(Table(package, "Property"));
    EXPECT_EQ(properties.count("STARTCOLLECTOR"), 0u);  // not started unless asked
    EXPECT_NE(properties.at("SecureCustomProperties").at(1).find("STARTCOLLECTOR"),
              std::string::npos);
}

TEST_P(Package, SecuresTheAlertingDirectoryAndReportsWaitingAlertsAtUninstall) {
    const auto actions = ByKey(Table(package, "CustomAction"));
    // 1 (a DLL in the Binary table) + 1024 (deferred) + 2048 (as the local system).
    EXPECT_EQ(actions.at("SecureAlertDirectory").at(1), "3073");
    EXPECT_EQ(actions.at("SecureAlertDirectoryData").at(3), "[ALERTDIR]");
    EXPECT_EQ(actions.at("ReportWaitingAlerts").at(2), "KXSetupActions");
    const auto sequence = ByKey(Table(package, "InstallExecuteSequence"));
    const auto at = [&](const char* action) { return std::stoi(sequence.at(action).at(2)); };
    EXPECT_LT(at("SecureAlertDirectoryData"), at("SecureAlertDirectory"));
    EXPECT_GT(at("SecureAlertDirectory"), at("CreateFolders"));
    EXPECT_LT(at("SecureAlertDirectory"), at("InstallFinalize"));
    EXPECT_EQ(sequence.at("SecureAlertDirectory").at(1), "NOT Installed");
    EXPECT_EQ(sequence.at("ReportWaitingAlerts").at(1), "REMOVE~=\"ALL\"");
    const auto folders = ByKey(Table(package, "CreateFolder"));
    EXPECT_EQ(folders.count("ALERTDIR"), 1u);
}

// The package is signed, and so is every module in it (the files msiextract takes out, and the
// custom actions' DLL in the Binary table), each by the certificate that signed the package:
// the package's own signer is the only certificate each signature is verified against.
TEST_P(Package, IsSignedAndCarriesModulesSignedWithTheSameCertificate) {
    kx::test::TempDir dir;
    const fs::path copy = dir / "package.msi";  // other tests build the package again meanwhile
    fs::copy_file(package, copy);
    const auto shell = [](const std::string& command) {
        return RunCommand({"bash", "-c", "set -o pipefail; " + command}).status;
    };
    const std::string signer = (dir / "signer.pem").string();
    ASSERT_EQ(shell("osslsigncode extract-signature -in '" + copy.string() + "' -out '" +
                    dir.str() + "/signature.der' && openssl pkcs7 -inform DER -in '" + dir.str() +
                    "/signature.der' -print_certs -out '" + signer + "'"),
              0)
        << "no signature in " << package;
    const auto verifies = [&](const fs::path& file) {
        return RunCommand({"osslsigncode", "verify", "-CAfile", signer, "-in", file.string()})
                   .status == 0;
    };
    EXPECT_TRUE(verifies(copy));

    ASSERT_EQ(RunCommand({"msiextract", "-C", (dir / "files").string(), copy.string()}).status, 0);
    ASSERT_EQ(shell("msiinfo extract '" + copy.string() + "' Binary.KXSetupActions > '" +
                    dir.str() + "/KXSetupActions.dll'"),
              0);
    std::vector<fs::path> modules = {dir / "KXSetupActions.dll"};
    for (const auto& entry : fs::recursive_directory_iterator(dir / "files")) {
        if (entry.is_regular_file() && kx::test::ReadFile(entry.path()).starts_with("MZ")) {
            modules.push_back(entry.path());
        }
    }
    // The modules of the File table, by directory and name (the service's two components
    // install kxevent.exe at the same place).
    const auto components = ByKey(Table(copy, "Component"));
    std::set<std::pair<std::string, std::string>> packed;
    for (const Row& row : Table(copy, "File")) {
        const std::string name = row.at(2);
        if (name.ends_with(".dll") || name.ends_with(".DLL") || name.ends_with(".exe")) {
            packed.emplace(components.at(row.at(1)).at(2), name);
        }
    }
    // The library, FwdSyslog, the two message files, kxevent.exe, 4 resource modules.
    EXPECT_GE(packed.size(), 11u);
    EXPECT_EQ(modules.size(), packed.size() + 1);
    for (const fs::path& module : modules) EXPECT_TRUE(verifies(module)) << module;

    // A module signed by another certificate does not pass.
    fs::create_directories(dir / "other" / "bin");
    fs::copy_file(dir / "KXSetupActions.dll", dir / "other" / "bin" / "KXSetupActions.dll");
    ASSERT_EQ(
        RunCommand({"bash", KX_TEST_SOURCE_DIR "/scripts/sign-windows.sh", "--test-certificate",
                    "--output", (dir / "resigned").string(), (dir / "other").string()})
            .status,
        0);
    EXPECT_FALSE(verifies(dir / "resigned" / "bin" / "KXSetupActions.dll"));
}

INSTANTIATE_TEST_SUITE_P(Windows, Package, ::testing::ValuesIn(kArchitectures),
                         [](const auto& info) { return std::string(info.param.name); });

// The converter from the default registry refuses what it cannot carry over whole, and escapes
// what the installer would otherwise read as its own syntax.
TEST(RegistryConverter, ConvertsEscapesOrRefuses) {
    const struct {
        const char* value;
        bool converted;
        const char* expected;  // in registry_defaults.wxi
    } cases[] = {
        {R"("a [bracketed] {braced} & <quoted> \"text\"")", true,
         R"(Value="a [\[]bracketed[\]] [\{]braced[\}] &amp; &lt;quoted&gt; &quot;text&quot;")"},
        {R"("@KXEVENT_INSTALL_DIR@/sub/FwdSyslog.DLL")", true,
         R"(Value="[INSTALLDIR]sub\FwdSyslog.DLL")"},
        {"dword:ffffffff", true, R"(Type="integer" Value="-1")"},
        {R"("@UNKNOWN_DIR@/x")", false, nullptr},
        {"hex:01,02", false, nullptr},
    };
    for (const auto& c : cases) {
        kx::test::TempDir dir;
        std::ofstream(dir / "in.reg") << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Test]\n"
                                      << "\"Value\"=" << c.value << "\n\n"
                                      << "[HKEY_LOCAL_MACHINE\\Software\\Velmora\\QRD\\Shared "
                                         "Components\\Events\\Forwarding]\n\"x\"=\"y\"\n";
        const auto result = RunCommand({KX_TEST_CMAKE, "-DINPUT=" + (dir / "in.reg").string(),
                                        "-DOUTPUT_DIR=" + dir.path().string(), "-P",
                                        KX_TEST_SOURCE_DIR "/packaging/windows/reg_to_wxs.cmake"});
        EXPECT_EQ(result.status == 0, c.converted) << c.value;
        if (c.converted) {
            EXPECT_NE(kx::test::ReadFile(dir / "registry_defaults.wxi").find(c.expected),
                      std::string::npos)
                << c.value;
        } else {
            EXPECT_FALSE(fs::exists(dir / "registry_defaults.wxi")) << c.value;
        }
    }
}

}  // namespace
