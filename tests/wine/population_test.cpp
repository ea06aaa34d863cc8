// population_test.cpp: the machine's facts as the system reports them to a product under Wine:
// computer and user names, the address of the computer's name, the clocks, the language and
// the processor serial of the kernel library.
#include <winsock2.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "event_library.h"
#include "harness.h"

namespace kx::wine {
namespace {

std::string ComputerName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    ::GetComputerNameA(name, &size);
    return name;
}

std::string UserName() {
    char name[256] = {};
    DWORD size = sizeof name;
    ::GetUserNameA(name, &size);
    return name;
}

// "%4d %2d %2d %2d:%2d:%2d" of a system time.
std::string Stamp(const SYSTEMTIME& t) {
    char text[32];
    std::snprintf(text, sizeof text, "%4d %2d %2d %2d:%2d:%2d", t.wYear, t.wMonth, t.wDay, t.wHour,
                  t.wMinute, t.wSecond);
    return text;
}

// The first IPv4 address of `host` as the system resolves it, dotted; empty when none.
std::string FirstAddress(const std::string& host) {
    WSADATA data{};
    if (::WSAStartup(MAKEWORD(2, 0), &data) != 0) return {};
    std::string dotted;
    if (const hostent* entry = ::gethostbyname(host.c_str());
        entry != nullptr && entry->h_addrtype == AF_INET && entry->h_addr_list[0] != nullptr) {
        const auto* b = reinterpret_cast<const unsigned char*>(entry->h_addr_list[0]);
        dotted = std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) +
                 "." + std::to_string(b[3]);
    }
    ::WSACleanup();
    return dotted;
}

class PopulationTest : public WineTest {
  protected:
    void UseSerialKernel() {
        CopyFileTo(JoinPath(TestModuleDirectory(), "krnl_serial_env\\KXKRNL.DLL"),
                   JoinPath(InstallDir(), "KXKRNL.DLL"));
    }
};

TEST_F(PopulationTest, TheSystemsNamesClocksAndLanguageFillTheRecords) {
    Import(BaseRegistry());
    EventLibrary library(JoinPath(InstallDir(), "KXEvent.DLL"));
    ASSERT_TRUE(library.loaded()) << library.error();
    auto records = NewRecords();
    SYSTEMTIME localBefore{}, utcBefore{}, localAfter{}, utcAfter{};
    ::GetLocalTime(&localBefore);
    ::GetSystemTime(&utcBefore);
    ASSERT_EQ(library.Populate(1, "nightly", *records), EVENT_OK);
    ::GetLocalTime(&localAfter);
    ::GetSystemTime(&utcAfter);

    EXPECT_EQ(records->message.szComputerName, ComputerName());
    EXPECT_EQ(records->detail.szUserName, UserName());
    EXPECT_STREQ(records->detail.szTaskName, "nightly");
    EXPECT_STREQ(records->message.szSourceIP, "0.0.0.0");  // "NoIP" is set
    EXPECT_STREQ(records->detail.szLanguageCode, "0901");
    const std::string local = records->message.szLocalTime;
    const std::string utc = records->message.szGMTTime;
    EXPECT_TRUE(local == Stamp(localBefore) || local == Stamp(localAfter)) << local;
    EXPECT_TRUE(utc == Stamp(utcBefore) || utc == Stamp(utcAfter)) << utc;
}

TEST_F(PopulationTest, TheSourceAddressIsTheFirstAddressOfTheComputersName) {
    RegFile reg = BaseRegistry();
    Import(reg);
    ASSERT_EQ(::RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, std::string(kAlertingKey).c_str(), "NoIP"),
              ERROR_SUCCESS);
    EventLibrary library(JoinPath(InstallDir(), "KXEvent.DLL"));
    ASSERT_TRUE(library.loaded()) << library.error();
    auto records = NewRecords();
    ASSERT_EQ(library.Populate(1, nullptr, *records), EVENT_OK);
    const std::string expected = FirstAddress(ComputerName());
    EXPECT_EQ(records->message.szSourceIP, expected.empty() ? "0.0.0.0" : expected);
}

TEST_F(PopulationTest, TheCallersUserDomainAndAddressSurvive) {
    Import(BaseRegistry());
    EventLibrary library(JoinPath(InstallDir(), "KXEvent.DLL"));
    ASSERT_TRUE(library.loaded()) << library.error();
    auto records = NewRecords();
    std::strcpy(records->detail.szUserName, "operator");
    std::strcpy(records->detail.szDomain, "LAB");
    std::strcpy(records->message.szSourceIP, "10.1.2.3");
    std::strcpy(records->message.szComputerName, "NOT-THIS-ONE");
    ASSERT_EQ(library.Populate(1, nullptr, *records), EVENT_OK);
    EXPECT_STREQ(records->detail.szUserName, "operator");
    EXPECT_STREQ(records->detail.szDomain, "LAB");
    EXPECT_STREQ(records->message.szSourceIP, "10.1.2.3");
    EXPECT_EQ(records->message.szComputerName, ComputerName());
}

TEST_F(PopulationTest, WithoutTheAlertingKeyAnEmptyAddressStopsThePopulation) {
    RegFile reg;
    reg.Key(std::string(kEventsKey) + "\\0901\\1000").String("LONGDESCRIPT", "x");
    Import(reg);
    EventLibrary library(JoinPath(InstallDir(), "KXEvent.DLL"));
    ASSERT_TRUE(library.loaded()) << library.error();
    auto records = NewRecords();
    std::strcpy(records->message.szLocalTime, "caller's");
    EXPECT_EQ(library.Populate(1, nullptr, *records), EVENT_ERR_NO_ALERTING_KEY);
    EXPECT_STREQ(records->message.szLocalTime, "caller's");
    EXPECT_STREQ(records->detail.szLanguageCode, "");
    std::strcpy(records->message.szSourceIP, "10.0.0.1");
    EXPECT_EQ(library.Populate(1, nullptr, *records), EVENT_OK);
}

TEST_F(PopulationTest, TheKernelsSerialIsWrittenAndSelectsTheSerialAppendText) {
    UseSerialKernel();
    const ScopedEnv status("KX_TEST_SERIAL_STATUS", "1");
    Import(BaseRegistry());
    EventLibrary library(JoinPath(InstallDir(), "KXEvent.DLL"));
    ASSERT_TRUE(library.loaded()) << library.error();
    auto records = NewRecords();
    char text[1024] = {};
    ASSERT_EQ(library.Query(1, 1000, *records, text, sizeof text), EVENT_OK);
    EXPECT_STREQ(records->detail.szProcessorSerial, "00000f29 12345678 9abcdef0");
    EXPECT_TRUE(std::string(text).ends_with("(on %COMPUTERNAME%)")) << text;
    // The same records again: the definition now sees the serial the population left.
    ASSERT_EQ(library.Query(1, 1000, *records, text, sizeof text), EVENT_OK);
    EXPECT_TRUE(std::string(text).ends_with("(serial %PROCESSORSERIAL%)")) << text;
}

TEST_F(PopulationTest, AnUnusualSerialStatusKeepsTheCallersSerial) {
    UseSerialKernel();
    Import(BaseRegistry());
    EventLibrary library(JoinPath(InstallDir(), "KXEvent.DLL"));
    ASSERT_TRUE(library.loaded()) << library.error();
    auto records = NewRecords();
    std::strcpy(records->detail.szProcessorSerial, "caller");
    {
        const ScopedEnv status("KX_TEST_SERIAL_STATUS", "0x10002");
        ASSERT_EQ(library.Populate(1, nullptr, *records), EVENT_OK);
        EXPECT_STREQ(records->detail.szProcessorSerial, "caller");
    }
    const ScopedEnv status("KX_TEST_SERIAL_STATUS", "0xFFFF");
    ASSERT_EQ(library.Populate(1, nullptr, *records), EVENT_OK);
    EXPECT_STREQ(records->detail.szProcessorSerial, "");
}

}  // namespace
}  // namespace kx::wine
