// A population on this machine, with only the registry and the serial number replaced: the facts
// must be the ones the system itself reports.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "common/registry.h"
#include "event/population.h"
#include "event/snapshot.h"
#include "runtime/siblings.h"
#include "runtime/state.h"
#include "support.h"

namespace kx::test {
namespace {

std::uint32_t KX_API NoSerial(std::uint32_t*, std::uint32_t*, std::uint32_t*) {
    return 0;
}

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof(name) - 1) != 0) return "";
    return name;
}

std::string UserName() {
    const passwd* entry = getpwuid(geteuid());
    return entry != nullptr ? entry->pw_name : "";
}

std::string ResolverAddress(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        return "0.0.0.0";
    }
    char text[INET_ADDRSTRLEN] = {};
    const auto* in = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    inet_ntop(AF_INET, &in->sin_addr, text, sizeof(text));
    freeaddrinfo(found);
    return text;
}

std::string Stamp(std::time_t when, bool local) {
    std::tm t{};
    if (local) {
        localtime_r(&when, &t);
    } else {
        gmtime_r(&when, &t);
    }
    char text[64];
    std::snprintf(text, sizeof(text), "%4d %2d %2d %2d:%2d:%2d", t.tm_year + 1900, t.tm_mon + 1,
                  t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    return text;
}

class PopulationOnThisMachine : public ::testing::Test {
  protected:
    void SetUp() override {
        RegFile().Key(kAlertingKey).Dword("bEnableCAlert", 0).WriteTo(dir_ / "registry.reg");
        std::strcpy(LanguageCode, "0409");
        Siblings().CpuGetSerialNumber = &NoSerial;
    }
    void TearDown() override { Siblings().CpuGetSerialNumber = nullptr; }

    TempDir dir_;
    // The backend's own stand-ins for the machine's facts stay out of the way.
    ScopedEnv computer_{"VEL_COMPUTERNAME", std::nullopt};
    ScopedEnv user_{"VEL_USERNAME", std::nullopt};
    ScopedEnv os_{"VEL_OSVERSION", std::nullopt};
    ScopedEnv registry_{"VEL_REGISTRY", (dir_ / "registry.reg").string()};
    MessageRecord message{};
    DetailRecord detail{};
    ContextRecord context{};
};

TEST_F(PopulationOnThisMachine, ReportsWhatTheSystemReports) {
    const std::time_t before = std::time(nullptr);
    ASSERT_EQ(PopulateEventStructures(1, "sys", &message, &detail, &context), EVENT_OK);
    const std::time_t after = std::time(nullptr);

    // The computer name is the host name's first label.
    const std::string fullHost = HostName();
    const std::string host = fullHost.substr(0, fullHost.find('.'));
    ASSERT_FALSE(host.empty());
    if (host.size() < sizeof(message.szComputerName)) {
        EXPECT_STRCASEEQ(message.szComputerName, host.c_str());
    } else {
        EXPECT_STREQ(message.szComputerName, "?");
    }
    EXPECT_EQ(std::string(detail.szUserName), UserName());
    EXPECT_STREQ(detail.szDomain, "");
    EXPECT_EQ(std::string(message.szSourceIP), ResolverAddress(message.szComputerName));

    utsname system{};
    ASSERT_EQ(uname(&system), 0);
    int major = 0, minor = 0;
    ASSERT_EQ(std::sscanf(system.release, "%d.%d", &major, &minor), 2);
    const std::string expectedOs = std::string(system.sysname) + " V" + std::to_string(major) +
                                   " " + std::to_string(minor) + " (";
    EXPECT_EQ(std::string(detail.szOS).substr(0, expectedOs.size()), expectedOs) << detail.szOS;

    const std::string local = message.szLocalTime;
    EXPECT_TRUE(local == Stamp(before, true) || local == Stamp(after, true)) << local;
    const std::string utc = message.szGMTTime;
    EXPECT_TRUE(utc == Stamp(before, false) || utc == Stamp(after, false)) << utc;

    EXPECT_STREQ(detail.szLanguageCode, "0409");
    EXPECT_STREQ(detail.szProcessorSerial, "");
    EXPECT_STREQ(detail.szTaskName, "sys");
    EXPECT_EQ(std::memcmp(&LastEventSnapshot.message, &message, sizeof(message)), 0);
}

}  // namespace
}  // namespace kx::test
