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

TEST_F(SyslogSettingsTest, UnusableValuesAreRefusedWithTheReason) {
    const std::vector<std::pair<RegFile, std::string>> cases = [] {
        std::vector<std::pair<RegFile, std::string>> all(4);
        all[0].first.Key(kSyslogSettingsKey).String("Transport", "pigeon");
        all[0].second = "Transport";
        all[1].first.Key(kSyslogSettingsKey).Dword("Port", 70000);
        all[1].second = "Port";
        all[2].first.Key(kSyslogSettingsKey).String("Port", "http");
        all[2].second = "Port";
        all[3].first.Key(kSyslogSettingsKey).String("Facility", "local9");
        all[3].second = "Facility";
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
