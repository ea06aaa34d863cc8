// system_test.cpp: machine facts, locales and system messages, read from the real system or
// fixed through their environment variables.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "platform/posix/internal.h"
#include "platform/testing.h"
#include "support.h"

namespace {

namespace plat = kx::plat;
using kx::test::ScopedEnv;
using kx::test::TempDir;

std::string CurrentUser() {
    const passwd* entry = ::getpwuid(::geteuid());
    return entry ? entry->pw_name : "";
}

TEST(PlatComputerName, OverrideIsUsedAndSizeIsItsLength) {
    ScopedEnv name("VEL_COMPUTERNAME", "SCANHOST");
    char buffer[16];
    plat::Dword size = sizeof buffer;
    ASSERT_TRUE(plat::GetComputerNameA(buffer, &size));
    EXPECT_STREQ(buffer, "SCANHOST");
    EXPECT_EQ(size, 8u);
}

TEST(PlatComputerName, TooSmallBufferReportsSizeNeeded) {
    const std::string name(64, 'N');
    ScopedEnv env("VEL_COMPUTERNAME", name);
    char buffer[64];
    std::memset(buffer, 'x', sizeof buffer);
    plat::Dword size = sizeof buffer;
    EXPECT_FALSE(plat::GetComputerNameA(buffer, &size));
    EXPECT_EQ(size, 65u);
    EXPECT_EQ(plat::GetLastError(), static_cast<plat::Dword>(plat::backend::kErrorBufferOverflow));
    EXPECT_EQ(buffer[0], 'x');
}

TEST(PlatComputerName, HostNameIsCutAtFirstDotAndUpperCased) {
    ScopedEnv env("VEL_COMPUTERNAME", std::nullopt);
    char host[256] = {};
    ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
    std::string expected(host);
    expected = expected.substr(0, expected.find('.'));
    for (char& c : expected) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    char buffer[256];
    plat::Dword size = sizeof buffer;
    ASSERT_TRUE(plat::GetComputerNameA(buffer, &size));
    EXPECT_EQ(std::string(buffer), expected);
}

TEST(PlatUserName, OverrideAndSizeWithTerminator) {
    ScopedEnv env("VEL_USERNAME", "alice");
    char buffer[16];
    plat::Dword size = sizeof buffer;
    ASSERT_TRUE(plat::GetUserNameA(buffer, &size));
    EXPECT_STREQ(buffer, "alice");
    EXPECT_EQ(size, 6u);
    size = 5;
    EXPECT_FALSE(plat::GetUserNameA(buffer, &size));
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(plat::GetLastError(), static_cast<plat::Dword>(plat::kErrorInsufficientBuffer));
}

TEST(PlatUserName, DefaultIsTheEffectiveUser) {
    ScopedEnv env("VEL_USERNAME", std::nullopt);
    char buffer[256];
    plat::Dword size = sizeof buffer;
    ASSERT_TRUE(plat::GetUserNameA(buffer, &size));
    EXPECT_EQ(std::string(buffer), CurrentUser());
}

// The name is looked up again when the effective user changes, though the account files did not.
TEST(PlatUserName, FollowsAChangeOfTheEffectiveUser) {
    ScopedEnv env("VEL_USERNAME", std::nullopt);
    const passwd* other = ::getpwnam("nobody");
    if (::geteuid() != 0 || other == nullptr) GTEST_SKIP() << "needs root and a nobody account";
    const uid_t otherUid = other->pw_uid;
    char buffer[256];
    plat::Dword size = sizeof buffer;
    ASSERT_TRUE(plat::GetUserNameA(buffer, &size));
    EXPECT_EQ(std::string(buffer), CurrentUser());
    ASSERT_EQ(::seteuid(otherUid), 0);
    size = sizeof buffer;
    const bool asOther = plat::GetUserNameA(buffer, &size);
    ASSERT_EQ(::seteuid(0), 0);
    ASSERT_TRUE(asOther);
    EXPECT_STREQ(buffer, "nobody");
    size = sizeof buffer;
    ASSERT_TRUE(plat::GetUserNameA(buffer, &size));
    EXPECT_EQ(std::string(buffer), CurrentUser());
}

TEST(PlatAccountLookup, KnownUserNeedsRoomForSidAndDomain) {
    ScopedEnv env("VEL_COMPUTERNAME", "BOX");
    const std::string user = CurrentUser();
    ASSERT_FALSE(user.empty());
    std::uint8_t sid[12];
    plat::Dword sidSize = sizeof sid, domainChars = 16, use = 0;
    char domain[16];
    EXPECT_FALSE(
        plat::LookupAccountNameA(nullptr, user.c_str(), sid, &sidSize, domain, &domainChars, &use));
    EXPECT_EQ(plat::GetLastError(), static_cast<plat::Dword>(plat::kErrorInsufficientBuffer));
    EXPECT_EQ(sidSize, 28u);
    std::uint8_t bigSid[64];
    sidSize = sizeof bigSid;
    domainChars = sizeof domain;
    ASSERT_TRUE(plat::LookupAccountNameA(nullptr, user.c_str(), bigSid, &sidSize, domain,
                                         &domainChars, &use));
    EXPECT_EQ(sidSize, 28u);
    EXPECT_EQ(bigSid[0], 1);  // revision
    EXPECT_STREQ(domain, "BOX");
    EXPECT_EQ(domainChars, 3u);
    sidSize = sizeof bigSid;
    domainChars = 3;  // no room for the terminator
    EXPECT_FALSE(plat::LookupAccountNameA(nullptr, user.c_str(), bigSid, &sidSize, domain,
                                          &domainChars, &use));
    EXPECT_EQ(domainChars, 4u);
}

TEST(PlatAccountLookup, UnknownUserIsNotMapped) {
    std::uint8_t sid[64];
    char domain[64];
    plat::Dword sidSize = sizeof sid, domainChars = sizeof domain, use = 0;
    EXPECT_FALSE(plat::LookupAccountNameA(nullptr, "no-such-user-kx", sid, &sidSize, domain,
                                          &domainChars, &use));
    EXPECT_EQ(plat::GetLastError(), static_cast<plat::Dword>(plat::kErrorNoneMapped));
}

TEST(PlatAccountLookup, DomainPrefixMustBeThisComputer) {
    ScopedEnv env("VEL_COMPUTERNAME", "BOX");
    const std::string user = CurrentUser();
    std::uint8_t sid[64];
    char domain[64];
    plat::Dword sidSize = sizeof sid, domainChars = sizeof domain, use = 0;
    EXPECT_TRUE(plat::LookupAccountNameA(nullptr, ("box\\" + user).c_str(), sid, &sidSize, domain,
                                         &domainChars, &use));
    sidSize = sizeof sid;
    domainChars = sizeof domain;
    EXPECT_FALSE(plat::LookupAccountNameA(nullptr, ("OTHER\\" + user).c_str(), sid, &sidSize,
                                          domain, &domainChars, &use));
    EXPECT_EQ(plat::GetLastError(), static_cast<plat::Dword>(plat::kErrorNoneMapped));
}

TEST(PlatVersion, OverrideDescribesAWindowsHost) {
    ScopedEnv env("VEL_OSVERSION", "2 5 1 Service Pack 3");
    plat::OsVersionInfo info{};
    info.dwOSVersionInfoSize = sizeof info;
    ASSERT_TRUE(plat::GetVersionExA(&info));
    EXPECT_EQ(info.dwPlatformId, plat::kPlatformNt);
    EXPECT_EQ(info.dwMajorVersion, 5u);
    EXPECT_EQ(info.dwMinorVersion, 1u);
    EXPECT_STREQ(info.szCSDVersion, "Service Pack 3");
    EXPECT_EQ(plat::GetVersion() & 0xFFFF, 0x0105u);
    EXPECT_EQ(plat::GetVersion() & 0x80000000u, 0u);
    EXPECT_STREQ(plat::SystemName(), "");
}

TEST(PlatVersion, NonNtWindowsSetsTheHighBit) {
    ScopedEnv env("VEL_OSVERSION", "1 4 90");
    EXPECT_EQ(plat::GetVersion(), 0x80005A04u);
}

TEST(PlatVersion, RealSystemIsAPosixHost) {
    ScopedEnv env("VEL_OSVERSION", std::nullopt);
    plat::OsVersionInfo info{};
    info.dwOSVersionInfoSize = sizeof info;
    ASSERT_TRUE(plat::GetVersionExA(&info));
    EXPECT_EQ(info.dwPlatformId, plat::kPlatformPosix);
    EXPECT_GT(info.dwMajorVersion, 1u);
    EXPECT_LT(std::strlen(info.szCSDVersion), sizeof info.szCSDVersion);
    EXPECT_EQ(plat::GetVersion() & 0xFF, info.dwMajorVersion & 0xFF);
    EXPECT_STREQ(plat::SystemName(), "Linux");
}

TEST(PlatVersion, WrongRecordSizeFails) {
    plat::OsVersionInfo info{};
    info.dwOSVersionInfoSize = 156;
    EXPECT_FALSE(plat::GetVersionExA(&info));
}

TEST(PlatVersion, MalformedOverrideFallsBackToTheSystem) {
    ScopedEnv env("VEL_OSVERSION", "two five");
    plat::OsVersionInfo info{};
    info.dwOSVersionInfoSize = sizeof info;
    ASSERT_TRUE(plat::GetVersionExA(&info));
    EXPECT_EQ(info.dwPlatformId, plat::kPlatformPosix);
}

TEST(PlatVersion, RepeatedQueriesOfTheSystemAgree) {
    ScopedEnv env("VEL_OSVERSION", std::nullopt);
    plat::OsVersionInfo first{};
    first.dwOSVersionInfoSize = sizeof first;
    ASSERT_TRUE(plat::GetVersionExA(&first));
    for (int i = 0; i < 3; ++i) {
        plat::OsVersionInfo again{};
        again.dwOSVersionInfoSize = sizeof again;
        ASSERT_TRUE(plat::GetVersionExA(&again));
        EXPECT_EQ(std::memcmp(&first, &again, sizeof first), 0);
    }
}

TEST(PlatVersion, SystemNameFollowsAReplacedVersionCall) {
    ScopedEnv env("VEL_OSVERSION", std::nullopt);
    {
        plat::testing::ScopedHook<&plat::HookTable::GetVersionExA> nt(+[](plat::OsVersionInfo* i) {
            i->dwPlatformId = plat::kPlatformNt;
            return true;
        });
        EXPECT_STREQ(plat::SystemName(), "");
    }
    {
        plat::testing::ScopedHook<&plat::HookTable::GetVersionExA> failing(
            +[](plat::OsVersionInfo*) { return false; });
        EXPECT_STREQ(plat::SystemName(), "Linux");
    }
    EXPECT_STREQ(plat::SystemName(), "Linux");
}

TEST(PlatTickCount, OverrideInDecimalOrHex) {
    {
        ScopedEnv env("VEL_TICKCOUNT", "4294967295");
        EXPECT_EQ(plat::GetTickCount(), 0xFFFFFFFFu);
    }
    ScopedEnv env("VEL_TICKCOUNT", "0x10");
    EXPECT_EQ(plat::GetTickCount(), 16u);
}

TEST(PlatTickCount, RealCountAdvancesWithTheMonotonicClock) {
    ScopedEnv env("VEL_TICKCOUNT", "not a number");
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const plat::Dword expected = static_cast<plat::Dword>(
        static_cast<std::uint64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000);
    const plat::Dword ticks = plat::GetTickCount();
    EXPECT_LT(ticks - expected, 1000u);
}

TEST(PlatCalendarTime, UtcMatchesTheClock) {
    ScopedEnv tz("TZ", "UTC");
    const time_t now = std::time(nullptr);
    tm parts{};
    ::gmtime_r(&now, &parts);
    const plat::CalendarTime t = plat::GetCalendarTime(false);
    EXPECT_EQ(t.year, parts.tm_year + 1900);
    EXPECT_EQ(t.month, parts.tm_mon + 1);
    EXPECT_EQ(t.day, parts.tm_mday);
}

int HoursAheadOfUtc() {
    const plat::CalendarTime local = plat::GetCalendarTime(true);
    const plat::CalendarTime utc = plat::GetCalendarTime(false);
    return ((local.hour - utc.hour) + 24) % 24;
}

TEST(PlatCalendarTime, LocalFollowsTheTimeZoneAndItsChanges) {
    ScopedEnv tz("TZ", "XXX-2");  // two hours ahead of UTC, no daylight saving
    EXPECT_EQ(HoursAheadOfUtc(), 2);
    ScopedEnv later("TZ", "YYY-14");
    EXPECT_EQ(HoursAheadOfUtc(), 14);
}

TEST(PlatLocale, PosixNamesMapToLocaleIds) {
    EXPECT_EQ(plat::backend::LcidFromLocaleName("de_DE.UTF-8"), 0x0407u);
    EXPECT_EQ(plat::backend::LcidFromLocaleName("fr_CA"), 0x0C0Cu);
    EXPECT_EQ(plat::backend::LcidFromLocaleName("ja_JP.eucJP"), 0x0411u);
    EXPECT_EQ(plat::backend::LcidFromLocaleName("pt_BR.utf8@euro"), 0x0416u);
    EXPECT_EQ(plat::backend::LcidFromLocaleName("zh_TW"), 0x0404u);
    EXPECT_EQ(plat::backend::LcidFromLocaleName("C"), 0x0409u);
    EXPECT_EQ(plat::backend::LcidFromLocaleName("POSIX"), 0x0409u);
    EXPECT_EQ(plat::backend::LcidFromLocaleName("C.UTF-8"), 0x0409u);
    EXPECT_EQ(plat::backend::LcidFromLocaleName(""), 0x0409u);
}

TEST(PlatLocale, UnknownTerritoryFallsBackToTheLanguage) {
    EXPECT_EQ(plat::backend::LcidFromLocaleName("de"), 0x0407u);
    EXPECT_EQ(plat::backend::LcidFromLocaleName("de_XX.UTF-8"), 0x0407u);
    EXPECT_EQ(plat::backend::LcidFromLocaleName("fr"), 0x040Cu);
    EXPECT_EQ(plat::backend::LcidFromLocaleName("xx_YY"), 0x0409u);
    EXPECT_EQ(plat::backend::LcidFromLocaleName("d"), 0x0409u);
}

TEST(PlatLocale, ThreadLocaleFollowsLcAllThenLcMessagesThenLang) {
    ScopedEnv fixed("VEL_THREAD_LCID", std::nullopt);
    ScopedEnv all("LC_ALL", "fr_FR.UTF-8");
    ScopedEnv messages("LC_MESSAGES", "de_DE.UTF-8");
    ScopedEnv lang("LANG", "ja_JP.UTF-8");
    EXPECT_EQ(plat::GetThreadLocale(), 0x040Cu);
    {
        ScopedEnv noAll("LC_ALL", "");
        EXPECT_EQ(plat::GetThreadLocale(), 0x0407u);
        ScopedEnv noMessages("LC_MESSAGES", std::nullopt);
        EXPECT_EQ(plat::GetThreadLocale(), 0x0411u);
    }
}

TEST(PlatLocale, OverridesFixEachLocale) {
    ScopedEnv lang("LANG", "de_DE.UTF-8");
    ScopedEnv thread("VEL_THREAD_LCID", "0x0c03");
    ScopedEnv user("VEL_USER_LCID", "1033");
    ScopedEnv system("VEL_SYSTEM_LCID", "0x0411");
    EXPECT_EQ(plat::GetThreadLocale(), 0x0C03u);
    EXPECT_EQ(plat::GetUserDefaultLCID(), 1033u);
    EXPECT_EQ(plat::GetSystemDefaultLCID(), 0x0411u);
}

TEST(PlatLocale, UserLocaleFollowsLang) {
    ScopedEnv user("VEL_USER_LCID", "garbage");
    ScopedEnv lang("LANG", "it_IT.UTF-8");
    EXPECT_EQ(plat::GetUserDefaultLCID(), 0x0410u);
}

TEST(PlatLocale, SystemLocaleFileGivesLang) {
    TempDir dir;
    kx::test::WriteFile(dir / "locale", "# comment\nLC_TIME=en_GB\n  LANG=\"es_ES.UTF-8\"\r\n");
    EXPECT_EQ(plat::backend::LangFromLocaleFile((dir / "locale").string()), "es_ES.UTF-8");
    kx::test::WriteFile(dir / "none", "LANGUAGE=fr\n");
    EXPECT_EQ(plat::backend::LangFromLocaleFile((dir / "none").string()), std::nullopt);
    EXPECT_EQ(plat::backend::LangFromLocaleFile((dir / "absent").string()), std::nullopt);
}

TEST(PlatSystemMessage, KnownCodesEndWithCrLf) {
    for (plat::Dword code :
         {0u,   2u,   3u,   5u,   6u,   8u,    11u,   80u,   87u,   112u,  122u, 126u,
          127u, 183u, 193u, 234u, 259u, 1114u, 1812u, 1813u, 1814u, 1815u, 1332u}) {
        char text[260];
        const plat::Dword length = plat::FormatSystemMessage(code, text, sizeof text);
        ASSERT_GT(length, 2u) << code;
        EXPECT_EQ(length, std::strlen(text));
        EXPECT_EQ(std::string(text + length - 2), "\r\n") << code;
    }
    char text[260];
    plat::FormatSystemMessage(126, text, sizeof text);
    EXPECT_STREQ(text, "The specified module could not be found.\r\n");
    plat::FormatSystemMessage(1815, text, sizeof text);
    EXPECT_STREQ(text, "The specified resource language ID cannot be found in the image file.\r\n");
}

TEST(PlatSystemMessage, UnknownCodeGivesNothing) {
    char text[16] = "untouched";
    EXPECT_EQ(plat::FormatSystemMessage(987654, text, sizeof text), 0u);
    EXPECT_STREQ(text, "untouched");
}

TEST(PlatSystemMessage, TextIsCutToTheBuffer) {
    char text[8];
    EXPECT_EQ(plat::FormatSystemMessage(5, text, sizeof text), 7u);
    EXPECT_STREQ(text, "Access ");
}

TEST(PlatLastError, IsKeptPerThread) {
    plat::SetLastError(5);
    plat::Dword other = 1;
    std::thread([&] { other = plat::GetLastError(); }).join();
    EXPECT_EQ(other, 0u);
    EXPECT_EQ(plat::GetLastError(), 5u);
}

TEST(PlatWarningBox, WritesCaptionThenTextToStandardError) {
    ::testing::internal::CaptureStderr();
    plat::MessageBoxA("line one\r\nline two", "Caption");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Caption\nline one\r\nline two\n\n");
}

TEST(PlatSockets, ProtocolsAreTcpAndUdpOverIpv4) {
    const int wanted[] = {plat::kIpProtoTcp, plat::kIpProtoUdp, 0};
    plat::ProtocolInfo entries[4] = {};
    ASSERT_EQ(plat::EnumProtocols(wanted, entries, 4), 2);
    EXPECT_EQ(entries[0].protocol, plat::kIpProtoTcp);
    EXPECT_EQ(entries[1].protocol, plat::kIpProtoUdp);
    EXPECT_EQ(entries[0].addressFamily, plat::kAfInet);
    EXPECT_EQ(plat::EnumProtocols(wanted, entries, 1), -1);
    const int none[] = {99, 0};
    EXPECT_EQ(plat::EnumProtocols(none, entries, 4), -1);
}

TEST(PlatSockets, LocalhostResolvesToLoopback) {
    ASSERT_EQ(plat::WSAStartup(0x0101), 0);
    std::uint8_t address[4] = {};
    ASSERT_TRUE(plat::GetHostByName("localhost", address));
    EXPECT_EQ(address[0], 127);
    EXPECT_FALSE(plat::GetHostByName("no-such-host.invalid", address));
    EXPECT_EQ(plat::WSACleanup(), 0);
}

}  // namespace

// The distribution is named by the first word of its name and its version ("Debian 12"), so
// that the system's description fits the 32-byte szOS field whole.
TEST(PlatVersion, DistributionIsItsShortNameAndVersion) {
    std::ifstream file("/etc/os-release");
    if (!file) GTEST_SKIP() << "this system has no /etc/os-release";
    std::string line, name, version;
    auto unquote = [](std::string text) {
        if (text.size() >= 2 && text.front() == '"') text = text.substr(1, text.size() - 2);
        return text;
    };
    while (std::getline(file, line)) {
        if (line.rfind("NAME=", 0) == 0) name = unquote(line.substr(5));
        if (line.rfind("VERSION_ID=", 0) == 0) version = unquote(line.substr(11));
    }
    if (name.empty() || version.empty()) GTEST_SKIP() << "os-release lacks NAME or VERSION_ID";
    ScopedEnv env("VEL_OSVERSION", std::nullopt);
    plat::OsVersionInfo info{};
    info.dwOSVersionInfoSize = sizeof info;
    ASSERT_TRUE(plat::GetVersionExA(&info));
    EXPECT_EQ(std::string(info.szCSDVersion), name.substr(0, name.find(' ')) + " " + version);
}
