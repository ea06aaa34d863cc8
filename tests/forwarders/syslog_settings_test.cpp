// syslog_settings_test.cpp: FwdSyslog's registry key read through the platform registry.
#include "forwarders/syslog/syslog_settings.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <variant>

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

    // The settings read from `reg`, which are to be accepted.
    SyslogSettings Accepted(const RegFile& reg) {
        SyslogSettings settings;
        std::string problem;
        EXPECT_TRUE(Read(reg, settings, problem)) << problem;
        return settings;
    }
};

TEST_F(SyslogSettingsTest, MissingKeyGivesTheLocalSocket) {
    RegFile reg;
    reg.Key("Software\\Other").String("x", "y");
    const SyslogSettings settings = Accepted(reg);
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
    const SyslogSettings settings = Accepted(reg);
    EXPECT_EQ(settings.transport, Transport::Tcp);
    EXPECT_EQ(settings.host, "collector.example.com");
    EXPECT_EQ(settings.port, 6514);
    EXPECT_EQ(settings.facility, 20);
    EXPECT_EQ(settings.appName, "scanner");
}

TEST_F(SyslogSettingsTest, PortAsTextIsAccepted) {
    RegFile reg;
    reg.Key(kSyslogSettingsKey).String("Transport", "udp").String("Port", "1514");
    const SyslogSettings settings = Accepted(reg);
    EXPECT_EQ(settings.transport, Transport::Udp);
    EXPECT_EQ(settings.port, 1514);
}

TEST_F(SyslogSettingsTest, EnterpriseNumberAndJournalSocketFromTheKey) {
    RegFile reg;
    reg.Key(kSyslogSettingsKey)
        .Dword("EnterpriseNumber", 4711)
        .String("JournalSocket", "")
        .String("Facility", "LOCAL2");
    const SyslogSettings settings = Accepted(reg);
    EXPECT_EQ(settings.enterpriseNumber, 4711u);
    EXPECT_EQ(settings.journalSocketPath, "");
    EXPECT_EQ(settings.facility, 18);
}

TEST_F(SyslogSettingsTest, DefaultsAreTheDocumentationNumberAndTheJournalSocket) {
    RegFile reg;
    reg.Key(kSyslogSettingsKey).String("Transport", "local");
    const SyslogSettings settings = Accepted(reg);
    EXPECT_EQ(settings.enterpriseNumber, 32473u);
    EXPECT_EQ(settings.journalSocketPath, "/run/systemd/journal/socket");
}

// Each unusable value refused with the whole reason: the range of a number, the accepted names.
TEST_F(SyslogSettingsTest, UnusableValuesAreRefusedWithTheReasonAndTheAcceptedNames) {
    const struct {
        const char* name;
        std::variant<const char*, std::uint32_t> value;
        std::string problem;
    } cases[] = {
        {"Transport", "pigeon", "Transport \"pigeon\" is not one of local, udp, tcp"},
        {"Port", 70000u, "Port 70000 is not a number from 1 to 65535"},
        {"Port", "http", "Port \"http\" is not a number from 1 to 65535"},
        {"Facility", "local9",
         "Facility \"local9\" is not one of kern, user, mail, daemon, auth, syslog, lpr, news, "
         "uucp, cron, authpriv, ftp, local0, local1, local2, local3, local4, local5, local6, "
         "local7 or a number from 0 to 23"},
        {"EnterpriseNumber", 0u, "EnterpriseNumber 0 is not a number from 1 to 999999999"},
        {"EnterpriseNumber", "1.3.6",
         "EnterpriseNumber \"1.3.6\" is not a number from 1 to 999999999"},
    };
    for (const auto& [name, value, expected] : cases) {
        RegFile reg;
        reg.Key(kSyslogSettingsKey);
        if (const auto* text = std::get_if<const char*>(&value)) {
            reg.String(name, *text);
        } else {
            reg.Dword(name, std::get<std::uint32_t>(value));
        }
        SyslogSettings settings;
        std::string problem;
        EXPECT_FALSE(Read(reg, settings, problem)) << name;
        EXPECT_EQ(problem, expected);
    }
}

}  // namespace
}  // namespace kx::fwd
