// delivery_test.cpp: kxevent collect against a real rsyslogd with imrelp: alerts written by
// KXEvent.DLL arrive once each with every key, TLS with client certificates, --keep, --metrics
// and the watcher.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <set>
#include <thread>

#include "collector_test.h"
#include "common/syslog_names.h"
#include "kxevent/kxevent.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "relp_receiver.h"
#include "support.h"

namespace kx::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The alertId each ready file of `dir` must arrive with, written out by hand: the machine's
// name, the file's name and its modification time in seconds and nanoseconds.
std::set<std::string> ExpectedAlertIds(const fs::path& dir, const std::string& computer) {
    std::set<std::string> ids;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() != ".ALR") continue;
        struct stat info {};
        EXPECT_EQ(::stat(entry.path().c_str(), &info), 0);
        char time[48];
        std::snprintf(time, sizeof time, "%lld.%09ld", static_cast<long long>(info.st_mtim.tv_sec),
                      static_cast<long>(info.st_mtim.tv_nsec));
        ids.insert(computer + "/" + entry.path().filename().string() + "/" + time);
    }
    return ids;
}

class CollectorDelivery : public CollectorTest {
  protected:
    ProcessResult Collect(const std::string& url, std::vector<std::string> extra = {}) const {
        std::vector<std::string> args{"collect", "--dir", alerts.string(), "--to", url, "--once"};
        args.insert(args.end(), extra.begin(), extra.end());
        return RunProcess(kKxevent, args);
    }

    void DropSamples(int count) const {
        for (int i = 0; i < count; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "%08d.ALR", 100 + i);
            WriteFile(alerts / name, SampleAlert("W32.Sample" + std::to_string(i), "found"));
        }
    }
};

// The library's tick count stands in for a clock fast enough to give each send its own name.
std::uint32_t NextTick() {
    static std::uint32_t tick = 1000;
    return ++tick;
}

TEST_F(CollectorDelivery, ThousandAlertsFromTheLibraryArriveOnceEachWithEveryKey) {
    RegFile reg;
    reg.Key("Software\\Velmora\\QRD\\Shared Components\\Brisa\\CurrentVersion")
        .String("szInstallDir", KX_TEST_INSTALL_DIR);
    reg.Key("Software\\Velmora\\QRD\\Shared Components\\Brisa\\Alerting")
        .Dword("bEnableCAlert", 1)
        .String("Centralized Alerting Path", alerts.string());
    reg.Key("Software\\Velmora\\QRD\\Shared Components\\Events\\0901\\1000")
        .String("LONGDESCRIPT", "%VIRUSNAME% found in %FILENAME%")
        .Dword("SEVERITY", 4);
    reg.WriteTo(dir / "hklm.reg");
    {
        const ScopedEnv registry("VEL_REGISTRY", (dir / "hklm.reg").string());
        const ScopedEnv debugCore("VEL_DEBUGCORE", std::nullopt);
        const ScopedEnv eventLog("VEL_EVENTLOG", (dir / "eventlog.json").string());
        const ScopedEnv computer("VEL_COMPUTERNAME", "SCANHOST-7");
        const plat::testing::ScopedHook<&plat::HookTable::GetTickCount> tick(NextTick);
        const std::string module = std::string(KX_TEST_INSTALL_DIR) + "/KXEvent.DLL";
        plat::Module library = plat::LoadLibraryA(module.c_str());
        ASSERT_NE(library, nullptr);
        using SendFn =
            int(KX_API*)(uint32_t, int32_t, MessageRecord*, DetailRecord*, ContextRecord*);
        auto send = reinterpret_cast<SendFn>(plat::GetProcAddress(library, "EVENT_SendVELMessage"));
        ASSERT_NE(send, nullptr);
        for (int i = 0; i < 1000; ++i) {
            MessageRecord message{};
            DetailRecord detail{};
            ContextRecord context{};
            std::snprintf(detail.szVirusName, sizeof detail.szVirusName, "W32.\"V%d\"]\xE9", i);
            std::snprintf(detail.szFileName, sizeof detail.szFileName, "C:\\tmp\\f%d.exe", i);
            EXPECT_EQ(send(1, 1000, &message, &detail, &context), 0) << i;
        }
        plat::FreeLibrary(library);
    }
    ASSERT_EQ(CountReady(alerts), 1000u);
    const std::set<std::string> expected = ExpectedAlertIds(alerts, "SCANHOST-7");
    ASSERT_EQ(expected.size(), 1000u);

    RelpReceiver receiver(dir / "rsyslog");
    ASSERT_TRUE(receiver.ready());
    const ProcessResult result = Collect(receiver.url());
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(CountReady(alerts), 0u);

    const auto lines = receiver.WaitForLines(1000);
    ASSERT_EQ(lines.size(), 1000u);
    std::map<std::string, int> seen;
    std::set<int> sends;
    for (const std::string& line : lines) {
        const Received got = ParseReceived(line);
        EXPECT_TRUE(expected.contains(got.params.at("alertId"))) << line;
        ++seen[got.params.at("alertId")];
        EXPECT_EQ(got.params.size(), 28u) << line;
        // Which send it was, by its file name; its virus name must be that send's, as UTF-8.
        const std::string& item = got.params.at("szItemName");
        int i = -1;
        ASSERT_EQ(std::sscanf(item.c_str(), "C:\\tmp\\f%d.exe", &i), 1) << item;
        sends.insert(i);
        const std::string virus = "W32.\"V" + std::to_string(i) + "\"]\xC3\xA9";
        EXPECT_EQ(got.params.at("szVirusName"), virus);
        EXPECT_EQ(got.params.at("szComputerName"), "SCANHOST-7");
        EXPECT_EQ(got.params.at("uFileVersion"), "1");
        EXPECT_EQ(got.params.at("uSeverity"), "4");
        EXPECT_EQ(got.params.at("uMessageID"), "1000");
        EXPECT_EQ(got.params.at("uSpecificTrap"), "1000");
        EXPECT_EQ(got.params.at("szAlertPath"), alerts.string());
        // The library ends a description with ". ".
        const std::string message = virus + " found in " + item + ". ";
        EXPECT_EQ(got.params.at("szActualMessage"), message);
        EXPECT_EQ(got.msg, message);
        EXPECT_EQ(got.msgid, "1000");
        EXPECT_EQ(got.severity, "2");  // record severity 4, critical
    }
    EXPECT_EQ(seen.size(), 1000u);
    EXPECT_EQ(sends.size(), 1000u);
    for (const auto& [id, count] : seen) EXPECT_EQ(count, 1) << id;
}

TEST_F(CollectorDelivery, TlsReceiverRefusesCollectorWithoutCertificateAndTakesOneWithIt) {
    const TlsFiles tls = MakeCertificates(dir / "pki");
    RelpReceiver receiver(dir / "rsyslog", tls);
    ASSERT_TRUE(receiver.ready());
    DropSamples(3);

    const ProcessResult refused = Collect(receiver.url(), {"--tls-ca", tls.ca.string()});
    EXPECT_EQ(refused.exitCode, 1) << refused.err;
    EXPECT_EQ(CountReady(alerts), 3u);
    EXPECT_TRUE(receiver.WaitForLines(1, 1).empty());

    const ProcessResult accepted =
        Collect(receiver.url(), {"--tls-ca", tls.ca.string(), "--tls-cert", tls.clientCert.string(),
                                 "--tls-key", tls.clientKey.string()});
    EXPECT_EQ(accepted.exitCode, 0) << accepted.err;
    EXPECT_EQ(CountReady(alerts), 0u);
    const auto lines = receiver.WaitForLines(3);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(ParseReceived(lines[0]).params.at("szVirusName"), "W32.Sample0");
}

TEST_F(CollectorDelivery, KeepDirectoryReceivesAcknowledgedFilesAndMetricsCountThem) {
    RelpReceiver receiver(dir / "rsyslog");
    DropSamples(2);
    fs::create_directories(dir / "kept");
    const long before = static_cast<long>(::time(nullptr));
    const ProcessResult result = Collect(receiver.url(), {"--keep", (dir / "kept").string(),
                                                          "--metrics", (dir / "m.prom").string()});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(CountReady(alerts), 0u);
    EXPECT_EQ(CountReady(dir / "kept"), 2u);
    const std::string metrics = ReadFile(dir / "m.prom");
    EXPECT_NE(metrics.find("\nkxevent_collect_acknowledged_total 2\n"), std::string::npos)
        << metrics;
    EXPECT_NE(metrics.find("# TYPE kxevent_collect_backlog gauge\nkxevent_collect_backlog 0\n"),
              std::string::npos)
        << metrics;
    EXPECT_FALSE(fs::exists(dir / "m.prom.tmp"));
    const std::string last = "\nkxevent_collect_last_delivery_timestamp_seconds ";
    const std::size_t at = metrics.find(last);
    ASSERT_NE(at, std::string::npos) << metrics;
    const long delivered = std::stol(metrics.substr(at + last.size()));
    EXPECT_GE(delivered, before);
    EXPECT_LE(delivered, static_cast<long>(::time(nullptr)));
}

TEST_F(CollectorDelivery, WatcherDeliversFileRenamedInWhileRunning) {
    RelpReceiver receiver(dir / "rsyslog");
    BackgroundProcess collector(kKxevent, {"collect", "--dir", alerts.string(), "--to",
                                           receiver.url(), "--state", (dir / "state").string()});
    std::this_thread::sleep_for(300ms);
    WriteFile(dir / "00000042.TMP", SampleAlert("W32.Late", "late"));
    fs::rename(dir / "00000042.TMP", alerts / "00000042.ALR");
    const auto lines = receiver.WaitForLines(1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(ParseReceived(lines[0]).params.at("szVirusName"), "W32.Late");
    for (int i = 0; i < 100 && CountReady(alerts) != 0; ++i) std::this_thread::sleep_for(20ms);
    EXPECT_EQ(CountReady(alerts), 0u);
    // The state directory's lock keeps a second collector away.
    const ProcessResult second =
        RunProcess(kKxevent, {"collect", "--dir", alerts.string(), "--to", receiver.url(),
                              "--state", (dir / "state").string(), "--once"});
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_NE(second.err.find("another collector"), std::string::npos) << second.err;
}

// The packaged service runs as a user of its own with no home: it drains the directory of the
// system registry and takes FwdSyslog's enterprise number from there.
TEST_F(CollectorDelivery, ServiceUserWithoutHomeTakesItsSettingsFromTheSystemRegistry) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the collector as another user";
    RegFile reg;
    reg.Key("Software\\Velmora\\QRD\\Shared Components\\Brisa\\Alerting")
        .Dword("bEnableCAlert", 1)
        .String("Centralized Alerting Path", alerts.string());
    reg.Key(kSyslogSettingsKey).Dword("EnterpriseNumber", 4711);
    reg.WriteTo(dir / "hklm.reg");
    fs::permissions(dir.path(), fs::perms::others_exec, fs::perm_options::add);
    ASSERT_EQ(::chown(alerts.c_str(), 65534, 65534), 0);
    DropSamples(2);
    RelpReceiver receiver(dir / "rsyslog");
    const ProcessResult result =
        RunProcess("/usr/bin/setpriv",
                   {"--reuid=65534", "--regid=65534", "--clear-groups", kKxevent, "collect", "--to",
                    receiver.url(), "--once"},
                   {{"HOME", std::nullopt},
                    {"XDG_STATE_HOME", std::nullopt},
                    {"VEL_REGISTRY", std::nullopt},
                    {"KXEVENT_SYSTEM_REGISTRY", (dir / "hklm.reg").string()}});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(CountReady(alerts), 0u);
    const auto lines = receiver.WaitForLines(2);
    ASSERT_EQ(lines.size(), 2u);
    for (const std::string& line : lines) EXPECT_EQ(ParseReceived(line).sdId, "kxalert@4711");
}

TEST_F(CollectorDelivery, EveryDirectoryGivenIsDrained) {
    RelpReceiver receiver(dir / "rsyslog");
    DropSamples(2);
    fs::create_directories(dir / "second");
    WriteFile(dir / "second" / "00000001.ALR", SampleAlert("W32.Second", "m"));
    const ProcessResult result = Collect(receiver.url(), {"--dir", (dir / "second").string()});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(CountReady(alerts), 0u);
    EXPECT_EQ(CountReady(dir / "second"), 0u);
    EXPECT_EQ(receiver.WaitForLines(3).size(), 3u);
}

TEST_F(CollectorDelivery, IncompleteOrWrongOptionsAreUsageErrors) {
    const std::vector<std::vector<std::string>> wrong = {
        {"collect", "--dir", alerts.string()},
        {"collect", "--to", "tcp://127.0.0.1:514"},
        {"collect", "--to", "relp://127.0.0.1"},
        {"collect", "--to", "relp://127.0.0.1:70000"},
        {"collect", "--to", "relp://127.0.0.1:2514", "--tls-cert", "c.pem"},
        {"collect", "--to", "relp://127.0.0.1:2514", "--tls-cert", "c.pem", "--tls-key", "k.pem"},
        {"collect", "--to", "relp://127.0.0.1:2514", "--bogus"},
        {"collect", "--to", "relp://127.0.0.1:2514", "--to", "relp://127.0.0.1:2514"},
    };
    for (const auto& args : wrong) {
        const ProcessResult result = RunProcess(kKxevent, args);
        EXPECT_EQ(result.exitCode, 2) << args.back() << ": " << result.err;
    }
    const ProcessResult help = RunProcess(kKxevent, {"collect", "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.out.rfind("usage: kxevent collect", 0), 0u) << help.out;
}

}  // namespace
}  // namespace kx::test
