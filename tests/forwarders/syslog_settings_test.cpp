// syslog_settings_test.cpp: FwdSyslog's registry key read through the platform registry.
#include "forwarders/syslog/syslog_settings.h"

#include <gtest/gtest.h>

#include "support.h"

namespace kx::fwd {
namespace {

using test::RegFile;
using test::ScopedEnv;
using test::TempDir;

class SyslogSettingsTest : public ::testing::Test {
  protected:
    TempDir dir;
    ScopedEnv registry{"VEL_REGISTRY", (dir / "hklm.reg").string()};

    bool Read(const RegFile& reg, SyslogSettings& settings, std::string& problem) {
        reg.WriteTo(dir / "hklm.reg");
        return ReadSyslogSettings(settings, problem);
    }
};

TEST_F(SyslogSettingsTest, MissingKeyGivesTheLocalSocket) {
    RegFile reg;
    reg.Key("Software\\Other").String("x", "y");
    SyslogSettings settings;
    std::string problem;
    ASSERT_TRUE(Read(reg, settings, problem));
    EXPECT_EQ(settings.transport, Transport::Local);
    EXPECT_EQ(settings.socketPath, "/dev/log");
}

TEST_F(SyslogSettingsTest, RemoteCollectorFromTheKey) {
    RegFile reg;
    reg.Key(kSyslogSettingsKey)
        .String("Transport", "TCP")
        .String("Host", "collector.example.com")
        .Dword("Port", 6514)
        .String("Facility", "local4")
        .String("AppName", "scanner");
    SyslogSettings settings;
    std::string problem;
    ASSERT_TRUE(Read(reg, settings, problem)) << problem;
    EXPECT_EQ(settings.transport, Transport::Tcp);
    EXPECT_EQ(settings.host, "collector.example.com");
    EXPECT_EQ(settings.port, 6514);
    EXPECT_EQ(settings.facility, 20);
    EXPECT_EQ(settings.appName, "scanner");
}

TEST_F(SyslogSettingsTest, PortAsTextIsAccepted) {
    RegFile reg;
    reg.Key(kSyslogSettingsKey).String("Transport", "udp").String("Port", "1514");
    SyslogSettings settings;
    std::string problem;
    ASSERT_TRUE(Read(reg, settings, problem)) << problem;
    EXPECT_EQ(settings.transport, Transport::Udp);
    EXPECT_EQ(settings.port, 1514);
}

TEST_F(SyslogSettingsTest, EnterpriseNumberAndJournalSocketFromTheKey) {
    RegFile reg;
    reg.Key(kSyslogSettingsKey)
        .Dword("EnterpriseNumber", 4711)
        .String("JournalSocket", "")
        .String("Facility", "LOCAL2");
    SyslogSettings settings;
    std::string problem;
    ASSERT_TRUE(Read(reg, settings, problem)) << problem;
    EXPECT_EQ(settings.enterpriseNumber, 4711u);
    EXPECT_EQ(settings.journalSocketPath, "");
    EXPECT_EQ(settings.facility, 18);
}

TEST_F(SyslogSettingsTest, DefaultsAreTheDocumentationNumberAndTheJournalSocket) {
    RegFile reg;
    reg.Key(kSyslogSettingsKey).String("Transport", "local");
    SyslogSettings settings;
    std::string problem;
    ASSERT_TRUE(Read(reg, settings, problem)) << problem;
    EXPECT_EQ(settings.enterpriseNumber, 32473u);
    EXPECT_EQ(settings.journalSocketPath, "/run/systemd/journal/socket");
}

TEST_F(SyslogSettingsTest, RefusalsListTheAcceptedNames) {
    RegFile reg;
    reg.Key(kSyslogSettingsKey).String("Transport", "pigeon");
    SyslogSettings settings;
    std::string problem;
    EXPECT_FALSE(Read(reg, settings, problem));
    EXPECT_EQ(problem, "Transport \"pigeon\" is not one of local, udp, tcp");
    RegFile facility;
    facility.Key(kSyslogSettingsKey).String("Facility", "local9");
    EXPECT_FALSE(Read(facility, settings, problem));
    EXPECT_NE(problem.find("is not one of kern, user, "), std::string::npos) << problem;
    EXPECT_NE(problem.find("local7 or a number from 0 to 23"), std::string::npos) << problem;
}

TEST_F(SyslogSettingsTest, UnusableValuesAreRefusedWithTheReason) {
    const std::vector<std::pair<RegFile, std::string>> cases = [] {
        std::vector<std::pair<RegFile, std::string>> all(6);
        all[0].first.Key(kSyslogSettingsKey).String("Transport", "pigeon");
        all[0].second = "Transport";
        all[1].first.Key(kSyslogSettingsKey).Dword("Port", 70000);
        all[1].second = "Port 70000 is not a number from 1 to 65535";
        all[2].first.Key(kSyslogSettingsKey).String("Port", "http");
        all[2].second = "Port \"http\" is not";
        all[3].first.Key(kSyslogSettingsKey).String("Facility", "local9");
        all[3].second = "Facility";
        all[4].first.Key(kSyslogSettingsKey).Dword("EnterpriseNumber", 0);
        all[4].second = "EnterpriseNumber 0 is not a number from 1 to 999999999";
        all[5].first.Key(kSyslogSettingsKey).String("EnterpriseNumber", "1.3.6");
        all[5].second = "EnterpriseNumber \"1.3.6\" is not";
        return all;
    }();
    for (const auto& [reg, what] : cases) {
        SyslogSettings settings;
        std::string problem;
        EXPECT_FALSE(Read(reg, settings, problem)) << what;
        EXPECT_NE(problem.find(what), std::string::npos) << problem;
    }
}

}  // namespace
}  // namespace kx::fwd
