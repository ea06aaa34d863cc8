// The population: every fact it writes, the fields it keeps, its early returns, the domain and
// address look-ups and the operating-system descriptions, with the machine's facts driven
// through the platform hook table and the sibling entries.
#include "event/population.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "catalogue/definitions.h"
#include "common/registry.h"
#include "event/snapshot.h"
#include "platform/testing.h"
#include "runtime/siblings.h"
#include "runtime/state.h"
#include "support.h"

namespace kx::test {
namespace {

using plat::HookTable;
using plat::testing::ScopedHook;

// The machine as the hooks describe it; each test adjusts what it needs.
struct Machine {
    bool computerOk = true;
    std::string computer = "HOST1";
    bool userOk = true;
    std::string user = "alice";
    plat::Dword platformId = plat::kPlatformNt;
    plat::Dword major = 4, minor = 0;
    std::string csd = "SP3";
    bool versionOk = true;
    plat::Dword versionWord = 4;  // GetVersion: low byte is the major version
    const char* systemName = "";
    bool lookupOk = true;
    std::string domain = "\\\\CORP";
    int protocolCount = 2;
    int protocolFamily = plat::kAfInet;
    int startupResult = 0;
    bool hostFound = true;
    std::uint8_t address[4] = {10, 1, 2, 3};
    plat::CalendarTime local{2024, 3, 5, 7, 8, 9};
    plat::CalendarTime utc{2024, 3, 5, 6, 8, 9};
    std::uint32_t serialStatus = 1;
    std::uint32_t serial[3] = {0x1, 0xABCDEF, 0xDEADBEEF};
};

struct Seen {
    std::vector<std::string> calls;
    std::string lookupAccount;
    bool lookupSystemNull = false;
    plat::Dword sidSize = 0, domainChars = 0, use = 0;
    std::string hostName;
    std::vector<int> protocols;
    int maxEntries = 0;
    std::uint16_t startupVersion = 0;
    plat::Dword versionInfoSize = 0;
    std::vector<bool> clockLocal;
};

Machine machine;
Seen seen;

std::uint32_t KX_API SerialDouble(std::uint32_t* a, std::uint32_t* b, std::uint32_t* c) {
    seen.calls.emplace_back("serial");
    *a = machine.serial[0];
    *b = machine.serial[1];
    *c = machine.serial[2];
    return machine.serialStatus;
}

bool CopyName(const std::string& name, char* buffer, plat::Dword* size) {
    if (name.size() + 1 > *size) {
        *size = static_cast<plat::Dword>(name.size() + 1);
        return false;
    }
    std::memcpy(buffer, name.c_str(), name.size() + 1);
    *size = static_cast<plat::Dword>(name.size());
    return true;
}

class Population : public ::testing::Test {
  protected:
    void SetUp() override {
        machine = {};
        seen = {};
        std::memset(&LastEventSnapshot, 0, sizeof(LastEventSnapshot));
        std::strcpy(LanguageCode, "0407");
        Siblings().CpuGetSerialNumber = &SerialDouble;
        WriteRegistry(true, std::nullopt);
    }
    void TearDown() override { Siblings().CpuGetSerialNumber = nullptr; }

    // The Alerting key, and a "NoIP" value of raw bytes and type.
    void WriteRegistry(bool alertingKey, std::optional<std::vector<std::uint8_t>> noIp,
                       int noIpType = plat::kRegDword) {
        RegFile reg;
        reg.Key("Software\\Velmora\\QRD\\Shared Components\\Events").String("x", "y");
        if (alertingKey) {
            reg.Key(kAlertingKey).Dword("bEnableCAlert", 0);
            if (noIp) reg.Hex("NoIP", *noIp, noIpType);
        }
        reg.WriteTo(dir_ / "registry.reg");
    }

    int Populate(const char* task = nullptr) {
        return PopulateEventStructures(1, task, &message, &detail, &context);
    }
    bool Called(const std::string& call) const {
        return std::find(seen.calls.begin(), seen.calls.end(), call) != seen.calls.end();
    }

    TempDir dir_;
    ScopedEnv registry_{"VEL_REGISTRY", (dir_ / "registry.reg").string()};
    MessageRecord message{};
    DetailRecord detail{};
    ContextRecord context{};

    ScopedHook<&HookTable::GetComputerNameA> computer_{+[](char* b, plat::Dword* s) {
        seen.calls.emplace_back("computer");
        return machine.computerOk && CopyName(machine.computer, b, s);
    }};
    ScopedHook<&HookTable::GetUserNameA> user_{+[](char* b, plat::Dword* s) {
        seen.calls.emplace_back("user");
        return machine.userOk && CopyName(machine.user, b, s);
    }};
    ScopedHook<&HookTable::GetVersionExA> versionEx_{+[](plat::OsVersionInfo* info) {
        seen.calls.emplace_back("versionEx");
        seen.versionInfoSize = info->dwOSVersionInfoSize;
        if (!machine.versionOk || info->dwOSVersionInfoSize != 148) return false;
        info->dwMajorVersion = machine.major;
        info->dwMinorVersion = machine.minor;
        info->dwPlatformId = machine.platformId;
        std::memset(info->szCSDVersion, 0, sizeof(info->szCSDVersion));
        std::memcpy(info->szCSDVersion, machine.csd.data(),
                    std::min(machine.csd.size(), sizeof(info->szCSDVersion)));
        return true;
    }};
    ScopedHook<&HookTable::GetVersion> version_{+[] {
        seen.calls.emplace_back("version");
        return machine.versionWord;
    }};
    ScopedHook<&HookTable::SystemName> systemName_{+[] { return machine.systemName; }};
    ScopedHook<&HookTable::LookupAccountNameA> lookup_{
        +[](const char* system, const char* account, void*, plat::Dword* sidSize, char* domain,
            plat::Dword* domainChars, plat::Dword* use) {
            seen.calls.emplace_back("lookup");
            seen.lookupSystemNull = system == nullptr;
            seen.lookupAccount = account;
            seen.sidSize = *sidSize;
            seen.domainChars = *domainChars;
            seen.use = *use;
            if (!machine.lookupOk) return false;
            const std::size_t n = std::min<std::size_t>(machine.domain.size(), *domainChars);
            std::memcpy(domain, machine.domain.data(), n);
            if (n < *domainChars) domain[n] = '\0';
            return true;
        }};
    ScopedHook<&HookTable::EnumProtocols> protocols_{
        +[](const int* list, plat::ProtocolInfo* entries, int maxEntries) {
            seen.calls.emplace_back("protocols");
            seen.protocols.clear();
            for (const int* p = list; *p != 0; ++p) seen.protocols.push_back(*p);
            seen.maxEntries = maxEntries;
            if (machine.protocolCount < 0) return machine.protocolCount;
            for (int i = 0; i < std::min(machine.protocolCount, maxEntries); ++i) {
                entries[i] = {machine.protocolFamily, plat::kIpProtoTcp};
            }
            return machine.protocolCount;
        }};
    ScopedHook<&HookTable::WSAStartup> startup_{+[](std::uint16_t version) {
        seen.calls.emplace_back("startup");
        seen.startupVersion = version;
        return machine.startupResult;
    }};
    ScopedHook<&HookTable::GetHostByName> host_{+[](const char* name, std::uint8_t* address) {
        seen.calls.emplace_back("host");
        seen.hostName = name;
        if (!machine.hostFound) return false;
        std::memcpy(address, machine.address, 4);
        return true;
    }};
    ScopedHook<&HookTable::WSACleanup> cleanup_{+[] {
        seen.calls.emplace_back("cleanup");
        return 0;
    }};
    ScopedHook<&HookTable::GetCalendarTime> clock_{+[](bool local) {
        seen.clockLocal.push_back(local);
        return local ? machine.local : machine.utc;
    }};
};

// ---------------------------------------------------------------------------------------------
// The facts written.

TEST_F(Population, WritesEveryFactInItsFormat) {
    ASSERT_EQ(Populate("scan"), EVENT_OK);
    char product[16] = {};
    ASSERT_EQ(GetProductName(1, product), 1);
    EXPECT_STREQ(message.szSoftwareName, product);
    EXPECT_STREQ(detail.szTaskName, "scan");
    EXPECT_STREQ(message.szComputerName, "HOST1");
    EXPECT_STREQ(detail.szUserName, "alice");
    EXPECT_STREQ(detail.szDomain, "CORP");
    EXPECT_STREQ(detail.szOS, "Windows NT V4 0 (SP3)");
    EXPECT_STREQ(message.szSourceIP, "10.1.2.3");
    EXPECT_STREQ(message.szLocalTime, "2024  3  5  7: 8: 9");
    EXPECT_STREQ(message.szGMTTime, "2024  3  5  6: 8: 9");
    EXPECT_STREQ(detail.szLanguageCode, "0407");
    EXPECT_STREQ(detail.szProcessorSerial, "00000001 00abcdef deadbeef");
}

TEST_F(Population, AsksForTheFactsInOrder) {
    Populate();
    EXPECT_EQ(seen.calls,
              (std::vector<std::string>{"computer", "user", "versionEx", "lookup", "versionEx",
                                        "protocols", "startup", "host", "cleanup", "serial"}));
    EXPECT_EQ(seen.clockLocal, (std::vector<bool>{true, false}));
    EXPECT_EQ(seen.versionInfoSize, 148u);
}

TEST_F(Population, CopiesTheRecordsIntoTheSnapshot) {
    std::memset(&context, 0x42, sizeof(context));
    ASSERT_EQ(Populate(), EVENT_OK);
    EXPECT_EQ(std::memcmp(&LastEventSnapshot.message, &message, sizeof(message)), 0);
    EXPECT_EQ(std::memcmp(&LastEventSnapshot.detail, &detail, sizeof(detail)), 0);
    EXPECT_EQ(std::memcmp(&LastEventSnapshot.context, &context, sizeof(context)), 0);
}

TEST_F(Population, OnTheSnapshotsOwnRecordsChangesNothingElse) {
    std::strcpy(LastEventSnapshot.detail.szVirusName, "EICAR");
    std::memset(&LastEventSnapshot.context, 0x17, sizeof(ContextRecord));
    EXPECT_EQ(PopulateEventStructures(1, "t", &LastEventSnapshot.message, &LastEventSnapshot.detail,
                                      &LastEventSnapshot.context),
              EVENT_OK);
    EXPECT_STREQ(LastEventSnapshot.detail.szVirusName, "EICAR");
    EXPECT_STREQ(LastEventSnapshot.message.szComputerName, "HOST1");
    EXPECT_EQ(LastEventSnapshot.context.abData[523], 0x17);
}

TEST_F(Population, LeavesReservedFieldsAndTheContextAlone) {
    message.dwReserved0 = 0xA5A5A5A5u;
    detail.dwReserved0 = 0x5A5A5A5Au;
    std::memset(detail.abReserved, 0xC3, sizeof(detail.abReserved));
    std::memset(&context, 0x99, sizeof(context));
    const ContextRecord before = context;
    Populate();
    EXPECT_EQ(message.dwReserved0, 0xA5A5A5A5u);
    EXPECT_EQ(detail.dwReserved0, 0x5A5A5A5Au);
    for (std::uint8_t b : detail.abReserved) ASSERT_EQ(b, 0xC3);
    EXPECT_EQ(std::memcmp(&before, &context, sizeof(context)), 0);
}

TEST_F(Population, WritesNoOtherField) {
    std::memset(&message, 0x61, sizeof(message));
    std::memset(&detail, 0x62, sizeof(detail));
    message.szSourceIP[0] = '\0';
    detail.szUserName[0] = '\0';
    detail.szDomain[0] = '\0';
    MessageRecord m = message;
    DetailRecord d = detail;
    // A product number in the table gives a name whatever the field held.
    ASSERT_EQ(Populate("t"), EVENT_OK);
    std::memcpy(m.szSoftwareName, message.szSoftwareName, 16);
    std::memcpy(m.szComputerName, message.szComputerName, 64);
    std::memcpy(m.szSourceIP, message.szSourceIP, 16);
    std::memcpy(m.szGMTTime, message.szGMTTime, 32);
    std::memcpy(m.szLocalTime, message.szLocalTime, 32);
    std::memcpy(d.szUserName, detail.szUserName, 64);
    std::memcpy(d.szOS, detail.szOS, 32);
    std::memcpy(d.szProcessorSerial, detail.szProcessorSerial, 32);
    std::memcpy(d.szTaskName, detail.szTaskName, 16);
    std::memcpy(d.szLanguageCode, detail.szLanguageCode, 16);
    std::memcpy(d.szDomain, detail.szDomain, 256);
    EXPECT_EQ(std::memcmp(&m, &message, sizeof(m)), 0);
    EXPECT_EQ(std::memcmp(&d, &detail, sizeof(d)), 0);
}

TEST_F(Population, CallersUserDomainAndAddressSurviveButNotTheComputerName) {
    std::strcpy(detail.szUserName, "bob");
    std::strcpy(detail.szDomain, "HOME");
    std::strcpy(message.szSourceIP, "192.168.0.9");
    std::strcpy(message.szComputerName, "OTHER");
    ASSERT_EQ(Populate(), EVENT_OK);
    EXPECT_STREQ(detail.szUserName, "bob");
    EXPECT_STREQ(detail.szDomain, "HOME");
    EXPECT_STREQ(message.szSourceIP, "192.168.0.9");
    EXPECT_STREQ(message.szComputerName, "HOST1");
    EXPECT_FALSE(Called("user"));
    EXPECT_FALSE(Called("lookup"));
    EXPECT_FALSE(Called("protocols"));
}

TEST_F(Population, ComputerNameFailureWritesQuestionMarkAndLooksThatUp) {
    machine.computerOk = false;
    ASSERT_EQ(Populate(), EVENT_OK);
    EXPECT_STREQ(message.szComputerName, "?");
    EXPECT_EQ(seen.hostName, "?");
}

TEST_F(Population, ComputerNameTooLongForTheFieldCountsAsFailure) {
    machine.computer = std::string(64, 'c');
    Populate();
    EXPECT_STREQ(message.szComputerName, "?");
}

TEST_F(Population, UserNameFailureWritesUnknownAndSkipsTheDomain) {
    machine.userOk = false;
    ASSERT_EQ(Populate(), EVENT_OK);
    EXPECT_STREQ(detail.szUserName, "[unknown]");
    EXPECT_STREQ(detail.szDomain, "");
    EXPECT_FALSE(Called("lookup"));
}

// ---------------------------------------------------------------------------------------------
// Early returns.

TEST_F(Population, NoProductNameReturns3AndWritesNothing) {
    ScopedHook<&HookTable::LoadStringA> noStrings(+[](plat::Module, unsigned, char* b, int) {
        if (b) b[0] = '\0';
        return 0;
    });
    std::memset(&message, 0, sizeof(message));
    std::strcpy(message.szLocalTime, "caller");
    std::memset(&LastEventSnapshot, 0x11, sizeof(LastEventSnapshot));
    const EventSnapshot before = LastEventSnapshot;
    const MessageRecord m = message;
    const DetailRecord d = detail;
    EXPECT_EQ(PopulateEventStructures(0, "task", &message, &detail, &context),
              EVENT_ERR_NO_PRODUCT_NAME);
    EXPECT_EQ(std::memcmp(&m, &message, sizeof(m)), 0);
    EXPECT_EQ(std::memcmp(&d, &detail, sizeof(d)), 0);
    EXPECT_EQ(std::memcmp(&before, &LastEventSnapshot, sizeof(before)), 0);
    EXPECT_TRUE(seen.calls.empty());
}

TEST_F(Population, MissingAlertingKeyWithEmptyAddressReturns2AndStopsThere) {
    WriteRegistry(false, std::nullopt);
    std::strcpy(message.szLocalTime, "L");
    std::strcpy(message.szGMTTime, "G");
    std::strcpy(detail.szLanguageCode, "lang");
    std::strcpy(detail.szProcessorSerial, "serial");
    std::memset(&LastEventSnapshot, 0x11, sizeof(LastEventSnapshot));
    const EventSnapshot before = LastEventSnapshot;

    EXPECT_EQ(Populate("job"), EVENT_ERR_NO_ALERTING_KEY);
    EXPECT_STREQ(detail.szTaskName, "job");
    EXPECT_STREQ(message.szComputerName, "HOST1");
    EXPECT_STREQ(detail.szUserName, "alice");
    EXPECT_STREQ(detail.szDomain, "CORP");
    EXPECT_STREQ(detail.szOS, "Windows NT V4 0 (SP3)");
    EXPECT_NE(message.szSoftwareName[0], '\0');
    EXPECT_STREQ(message.szSourceIP, "");
    EXPECT_STREQ(message.szLocalTime, "L");
    EXPECT_STREQ(message.szGMTTime, "G");
    EXPECT_STREQ(detail.szLanguageCode, "lang");
    EXPECT_STREQ(detail.szProcessorSerial, "serial");
    EXPECT_TRUE(seen.clockLocal.empty());
    EXPECT_FALSE(Called("serial"));
    EXPECT_EQ(std::memcmp(&before, &LastEventSnapshot, sizeof(before)), 0);
}

TEST_F(Population, MissingAlertingKeyDoesNotMatterWhenTheCallerSetTheAddress) {
    WriteRegistry(false, std::nullopt);
    std::strcpy(message.szSourceIP, "1.2.3.4");
    EXPECT_EQ(Populate(), EVENT_OK);
    EXPECT_STREQ(message.szLocalTime, "2024  3  5  7: 8: 9");
}

TEST_F(Population, NullRecordsAreRefusedWithoutTouchingAnything) {
    std::memset(&LastEventSnapshot, 0x11, sizeof(LastEventSnapshot));
    const EventSnapshot before = LastEventSnapshot;
    const MessageRecord m = message;
    EXPECT_EQ(PopulateEventStructures(1, "t", &message, nullptr, &context),
              EVENT_ERR_NO_DEFINITION);
    EXPECT_EQ(PopulateEventStructures(1, "t", nullptr, &detail, &context), EVENT_ERR_NO_DEFINITION);
    EXPECT_EQ(std::memcmp(&m, &message, sizeof(m)), 0);
    EXPECT_EQ(std::memcmp(&before, &LastEventSnapshot, sizeof(before)), 0);
    EXPECT_TRUE(seen.calls.empty());
}

// ---------------------------------------------------------------------------------------------
// Task name.

TEST_F(Population, EmptyTaskNameEmptiesTheField) {
    std::strcpy(detail.szTaskName, "old");
    Populate("");
    EXPECT_STREQ(detail.szTaskName, "");
}

TEST_F(Population, NullTaskNameLeavesTheField) {
    std::strcpy(detail.szTaskName, "old");
    Populate(nullptr);
    EXPECT_STREQ(detail.szTaskName, "old");
}

TEST_F(Population, LongTaskNameKeepsItsFirst15Characters) {
    char name[16];
    std::memset(name, 'k', sizeof(name));  // no terminator: only 15 may be read
    Populate(name);
    EXPECT_EQ(std::string(detail.szTaskName), std::string(15, 'k'));
}

// ---------------------------------------------------------------------------------------------
// Address.

class NoIpValue : public Population,
                  public ::testing::WithParamInterface<std::pair<int, std::vector<std::uint8_t>>> {
};

TEST_P(NoIpValue, OfAnyTypeThatFitsGivesTheNullAddressWithoutLookUp) {
    WriteRegistry(true, GetParam().second, GetParam().first);
    ASSERT_EQ(Populate(), EVENT_OK);
    EXPECT_STREQ(message.szSourceIP, "0.0.0.0");
    EXPECT_FALSE(Called("protocols"));
    EXPECT_FALSE(Called("host"));
}

INSTANTIATE_TEST_SUITE_P(
    Types, NoIpValue,
    ::testing::Values(std::make_pair(plat::kRegDword, std::vector<std::uint8_t>{0, 0, 0, 0}),
                      std::make_pair(plat::kRegDword, std::vector<std::uint8_t>{1, 0, 0, 0}),
                      std::make_pair(plat::kRegSz, std::vector<std::uint8_t>{'0', 0}),
                      std::make_pair(plat::kRegBinary, std::vector<std::uint8_t>{}),
                      std::make_pair(-1, std::vector<std::uint8_t>{9, 9, 9})));

TEST_F(Population, NoIpValueTooLargeForFourBytesCountsAsAbsent) {
    WriteRegistry(true, std::vector<std::uint8_t>{'1', '2', '3', '4', 0}, plat::kRegSz);
    ASSERT_EQ(Populate(), EVENT_OK);
    EXPECT_STREQ(message.szSourceIP, "10.1.2.3");
}

TEST_F(Population, AddressIsWrittenFirstByteFirst) {
    machine.address[0] = 255;
    machine.address[1] = 0;
    machine.address[2] = 128;
    machine.address[3] = 7;
    Populate();
    EXPECT_STREQ(message.szSourceIP, "255.0.128.7");
}

TEST_F(Population, FailedAddressLookUpWritesTheNullAddress) {
    machine.hostFound = false;
    ASSERT_EQ(Populate(), EVENT_OK);
    EXPECT_STREQ(message.szSourceIP, "0.0.0.0");
}

TEST_F(Population, LeadingBackslashesOfTheComputerNameAreSkippedForTheLookUp) {
    machine.computer = "\\\\SERVER";
    Populate();
    EXPECT_EQ(seen.hostName, "SERVER");
}

class SourceAddress : public Population {
  protected:
    std::uint32_t Lookup(const char* host = "HOST1") {
        std::fill(std::begin(found), std::end(found), 0xEE);
        return LookupSourceAddress(host, found);
    }
    std::uint8_t found[4] = {};
};

TEST_F(SourceAddress, AsksForTcpAndUdpWithVersion2AndReleasesTheSockets) {
    EXPECT_EQ(Lookup(), kAddressFound);
    EXPECT_EQ(seen.protocols, (std::vector<int>{6, 17}));
    EXPECT_EQ(seen.maxEntries, kProtocolEntries);
    EXPECT_EQ(seen.startupVersion, 2);
    EXPECT_EQ(seen.calls, (std::vector<std::string>{"protocols", "startup", "host", "cleanup"}));
    EXPECT_EQ(std::memcmp(found, machine.address, 4), 0);
}

TEST_F(SourceAddress, ProtocolListFailure) {
    machine.protocolCount = -1;
    EXPECT_EQ(Lookup(), kNoProtocolList);
    EXPECT_EQ(seen.calls, (std::vector<std::string>{"protocols"}));
}

TEST_F(SourceAddress, NoInternetProtocol) {
    machine.protocolFamily = 23;
    EXPECT_EQ(Lookup(), kNoInternetProtocol);
    machine.protocolCount = 0;
    EXPECT_EQ(Lookup(), kNoInternetProtocol);
    EXPECT_FALSE(Called("startup"));
}

TEST_F(SourceAddress, ImplausibleProtocolCountIsBounded) {
    machine.protocolCount = 100000;
    EXPECT_EQ(Lookup(), kAddressFound);
}

TEST_F(SourceAddress, StartupFailureReleasesNothing) {
    machine.startupResult = 10091;
    EXPECT_EQ(Lookup(), kNoInternetProtocol);
    EXPECT_FALSE(Called("cleanup"));
    EXPECT_FALSE(Called("host"));
}

TEST_F(SourceAddress, UnknownHostStillReleasesTheSockets) {
    machine.hostFound = false;
    EXPECT_EQ(Lookup(), kHostNotFound);
    EXPECT_EQ(std::count(seen.calls.begin(), seen.calls.end(), "cleanup"), 1);
    EXPECT_EQ(found[0], 0xEE);
}

// ---------------------------------------------------------------------------------------------
// Domain.

TEST_F(Population, DomainLookUpUsesASmallSidBufferAndAUserAccount) {
    Populate();
    EXPECT_TRUE(seen.lookupSystemNull);
    EXPECT_EQ(seen.lookupAccount, "alice");
    EXPECT_EQ(seen.sidSize, 12u);
    EXPECT_EQ(seen.domainChars, 260u);
    EXPECT_EQ(seen.use, 1u);
}

TEST_F(Population, DomainWithoutLeadingBackslashIsStoredWhole) {
    machine.domain = "CORP\\x";
    Populate();
    EXPECT_STREQ(detail.szDomain, "CORP\\x");
}

TEST_F(Population, LoneBackslashDomainLeavesNothingToStore) {
    machine.domain = "\\";
    ASSERT_EQ(Populate(), EVENT_OK);
    EXPECT_STREQ(detail.szDomain, "");
}

TEST_F(Population, DomainLongerThanTheFieldIsCut) {
    machine.domain = std::string(259, 'd');
    Populate();
    EXPECT_EQ(std::string(detail.szDomain), std::string(255, 'd'));
}

TEST_F(Population, DomainWithoutTerminatorFromTheLookUpIsBounded) {
    machine.domain = "\\\\" + std::string(300, 'e');  // fills all 260 characters
    Populate();
    EXPECT_EQ(std::string(detail.szDomain), std::string(255, 'e'));
}

TEST_F(Population, FailedDomainLookUpLeavesTheFieldEmpty) {
    machine.lookupOk = false;
    ASSERT_EQ(Populate(), EVENT_OK);
    EXPECT_STREQ(detail.szDomain, "");
}

TEST_F(Population, CallersUserNameWithoutTerminatorIsLookedUpBounded) {
    std::memset(detail.szUserName, 'u', sizeof(detail.szUserName));
    Populate();
    EXPECT_EQ(seen.lookupAccount, std::string(64, 'u'));
}

struct DomainCase {
    plat::Dword platformId, major, versionWord;
    bool versionOk;
    bool lookedUp;
};

class DomainConditions : public Population, public ::testing::WithParamInterface<DomainCase> {};

TEST_P(DomainConditions, DecideTheLookUp) {
    const DomainCase c = GetParam();
    machine.platformId = c.platformId;
    machine.major = c.major;
    machine.versionWord = c.versionWord;
    machine.versionOk = c.versionOk;
    Populate();
    EXPECT_EQ(Called("lookup"), c.lookedUp);
    EXPECT_STREQ(detail.szDomain, c.lookedUp ? "CORP" : "");
}

INSTANTIATE_TEST_SUITE_P(Versions, DomainConditions,
                         ::testing::Values(DomainCase{plat::kPlatformNt, 3, 3, true, true},
                                           DomainCase{plat::kPlatformNt, 4, 4, true, true},
                                           DomainCase{plat::kPlatformNt, 5, 5, true, true},
                                           DomainCase{plat::kPlatformNt, 6, 6, true, false},
                                           DomainCase{plat::kPlatformNt, 10, 0x0A, true, false},
                                           DomainCase{plat::kPlatformWindows, 4, 4, true, false},
                                           DomainCase{plat::kPlatformWindows, 4, 5, true, true},
                                           DomainCase{plat::kPlatformNt, 4, 4, false, false},
                                           DomainCase{plat::kPlatformNt, 4, 0x0105, false, true},
                                           DomainCase{plat::kPlatformPosix, 5, 5, true, false},
                                           DomainCase{plat::kPlatformPosix, 4, 4, true, false}));

// ---------------------------------------------------------------------------------------------
// Operating-system description.

struct OsCase {
    plat::Dword platformId, major, minor;
    const char* csd;
    const char* systemName;
    const char* expected;
};

class OsDescription : public Population, public ::testing::WithParamInterface<OsCase> {};

TEST_P(OsDescription, FollowsThePlatformRows) {
    const OsCase c = GetParam();
    machine.platformId = c.platformId;
    machine.major = c.major;
    machine.minor = c.minor;
    machine.csd = c.csd;
    machine.systemName = c.systemName;
    Populate();
    EXPECT_STREQ(detail.szOS, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, OsDescription,
    ::testing::Values(
        OsCase{plat::kPlatformWin32s, 3, 10, "", "", "Win 3.1 with Win32s V3 10"},
        OsCase{plat::kPlatformWindows, 4, 0, "", "", "Windows 95 V4 0"},
        OsCase{plat::kPlatformWindows, 4, 10, " A ", "", "Windows 98 V4 10"},
        OsCase{plat::kPlatformWindows, 4, 90, "", "", "Windows 98 V4 90"},
        OsCase{plat::kPlatformNt, 3, 51, "", "", "Windows NT V3 51 ()"},
        OsCase{plat::kPlatformNt, 4, 0, "Service Pack 6", "", "Windows NT V4 0 (Service Pack 6"},
        OsCase{plat::kPlatformNt, 5, 0, "", "", "Windows 2000 V5 0 ()"},
        OsCase{plat::kPlatformNt, 5, 1, "Service Pack 1", "", "Windows 2000 V5 1 (Service Pack"},
        OsCase{plat::kPlatformNt, 10, 0, "", "", "Windows 2000 V10 0 ()"},
        OsCase{3, 1, 0, "x", "", "?"},
        OsCase{plat::kPlatformPosix, 6, 1, "Debian 12", "Linux", "Linux V6 1 (Debian 12)"},
        OsCase{plat::kPlatformPosix, 6, 1, "A very long distribution name", "Linux",
               "Linux V6 1 (A very long distrib"}));

TEST_F(Population, Windows95DescriptionHas15Characters) {
    machine.platformId = plat::kPlatformWindows;
    machine.minor = 0;
    Populate();
    EXPECT_EQ(std::strlen(detail.szOS), 15u);
}

TEST_F(Population, VersionFailureLeavesTheDescription) {
    machine.versionOk = false;
    std::strcpy(detail.szOS, "caller's");
    ASSERT_EQ(Populate(), EVENT_OK);
    EXPECT_STREQ(detail.szOS, "caller's");
}

TEST_F(Population, ServicePackTextWithoutTerminatorIsBounded) {
    machine.csd = std::string(200, 's');  // fills all 128 bytes
    Populate();
    EXPECT_EQ(std::string(detail.szOS), "Windows NT V4 0 (" + std::string(14, 's'));
}

// ---------------------------------------------------------------------------------------------
// Time stamps, language, processor serial.

TEST_F(Population, TimeStampsArePaddedWithSpaces) {
    machine.local = {1999, 12, 31, 23, 59, 58};
    machine.utc = {2000, 1, 1, 0, 0, 0};
    Populate();
    EXPECT_STREQ(message.szLocalTime, "1999 12 31 23:59:58");
    EXPECT_STREQ(message.szGMTTime, "2000  1  1  0: 0: 0");
}

TEST_F(Population, OutOfRangeTimeStaysInsideItsField) {
    machine.local = {INT_MIN, INT_MIN, INT_MIN, INT_MIN, INT_MIN, INT_MIN};
    machine.utc = {12345, 1, 2, 3, 4, 5};
    Populate();
    EXPECT_EQ(std::strlen(message.szLocalTime), 31u);
    EXPECT_STREQ(message.szGMTTime, "12345  1  2  3: 4: 5");
}

TEST_F(Population, LanguageCodeIsTheCurrentOne) {
    std::strcpy(LanguageCode, "0c0a");
    Populate();
    EXPECT_STREQ(detail.szLanguageCode, "0c0a");
}

struct SerialCase {
    std::uint32_t status;
    const char* expected;
};

class ProcessorSerial : public Population, public ::testing::WithParamInterface<SerialCase> {};

TEST_P(ProcessorSerial, StatusDecidesTheField) {
    machine.serialStatus = GetParam().status;
    std::strcpy(detail.szProcessorSerial, "caller");
    Populate();
    EXPECT_STREQ(detail.szProcessorSerial, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Statuses, ProcessorSerial,
                         ::testing::Values(SerialCase{1, "00000001 00abcdef deadbeef"},
                                           SerialCase{0x00070001, "00000001 00abcdef deadbeef"},
                                           SerialCase{0, ""}, SerialCase{0xFFFFFFFFu, ""},
                                           SerialCase{0x1234FFFF, ""}, SerialCase{2, "caller"},
                                           SerialCase{0x00010000, ""},
                                           SerialCase{0xFFFE, "caller"}));

TEST_F(Population, UnboundKernelLibraryGivesNoSerial) {
    Siblings().CpuGetSerialNumber = nullptr;
    std::strcpy(detail.szProcessorSerial, "caller");
    Populate();
    EXPECT_STREQ(detail.szProcessorSerial, "");
}

TEST(EventTime, ReadsTheClockAnewEachCall) {
    static int reads = 0;
    ScopedHook<&HookTable::GetCalendarTime> clock(+[](bool local) {
        ++reads;
        return plat::CalendarTime{2000 + reads, 1, 1, local ? 1 : 0, 0, 0};
    });
    const plat::CalendarTime first = GetEventTime(true);
    const plat::CalendarTime second = GetEventTime(false);
    EXPECT_EQ(first.year, 2001);
    EXPECT_EQ(first.hour, 1);
    EXPECT_EQ(second.year, 2002);
    EXPECT_EQ(second.hour, 0);
}

}  // namespace
}  // namespace kx::test
