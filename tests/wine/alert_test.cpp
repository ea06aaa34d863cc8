// alert_test.cpp: central alert files written into a real directory by a send, byte for byte,
// and the event log entries of a failed delivery in the resource module's language.
#include <cstdio>
#include <cstring>
#include <regex>
#include <string>

#include "event_library.h"
#include "harness.h"

namespace kx::wine {
namespace {

constexpr const char* kFailureSource = "Derad Edarevu Razud Evarivive";
constexpr const char* kFailureNumber = "3221225729";  // 0xC0000101

// A format of the resource module's with its two %s filled in.
std::string FillTwoTexts(std::string format, const std::string& first, const std::string& second) {
    for (const std::string* text : {&first, &second}) {
        const auto at = format.find("%s");
        if (at == std::string::npos) break;
        format.replace(at, 2, *text);
    }
    return format;
}

// The six UTC numbers of an alert file, read back from its lines 10 to 15.
struct AlertClock {
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

AlertClock ReadClock(const std::string& file) {
    AlertClock clock;
    std::sscanf(file.c_str() + file.find("uYear="),
                "uYear=%u\r\nuMonth=%u\r\nuDay=%u\r\nuHour=%u\r\nuMinute=%u\r\nuSecond=%u",
                &clock.year, &clock.month, &clock.day, &clock.hour, &clock.minute, &clock.second);
    return clock;
}

unsigned long long Seconds(unsigned year, unsigned month, unsigned day, unsigned hour,
                           unsigned minute, unsigned second) {
    SYSTEMTIME time{};
    time.wYear = static_cast<WORD>(year);
    time.wMonth = static_cast<WORD>(month);
    time.wDay = static_cast<WORD>(day);
    time.wHour = static_cast<WORD>(hour);
    time.wMinute = static_cast<WORD>(minute);
    time.wSecond = static_cast<WORD>(second);
    FILETIME file{};
    if (!::SystemTimeToFileTime(&time, &file)) return 0;
    return ((static_cast<unsigned long long>(file.dwHighDateTime) << 32) | file.dwLowDateTime) /
           10000000ull;
}

unsigned long long NowSeconds() {
    SYSTEMTIME now{};
    ::GetSystemTime(&now);
    return Seconds(now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
}

class AlertTest : public WineTest {
  protected:
    std::string AlertDir() const { return Scratch() / "alerts"; }

    RegFile AlertingOn(const std::string& path) const {
        RegFile reg = BaseRegistry();
        reg.Key(kAlertingKey).Dword("bEnableCAlert", 1).String("Centralized Alerting Path", path);
        return reg;
    }

    static void FillCallerFields(Records& records) {
        std::strcpy(records.detail.szVirusName, "EICAR-Test");
        std::strcpy(records.detail.szFileName, "C:\\data\\sample.com");
        std::strcpy(records.detail.szEngineVersion, "4.4.0");
        std::strcpy(records.detail.szDatVersion, "4321");
        std::strcpy(records.detail.szClientComputer, "TERMINAL7");
        std::strcpy(records.message.szSoftwareVersion, "7.1");
        std::strcpy(records.message.szTaskID, "task-17");
        records.detail.uEngineStatus = 5;
        records.detail.dwTSClientID = 4000000000u;
    }

    // The file a send with these records must have written, with the clock read from it.
    static std::string ExpectedAlert(const Records& r, const std::string& path, int event,
                                     const AlertClock& clock, const std::string& message) {
        std::string text = "[CentralAlert]\r\n";
        const auto line = [&](const char* key, const std::string& value) {
            text += std::string(key) + "=" + value + "\r\n";
        };
        const auto number = [&](const char* key, unsigned long value) {
            line(key, std::to_string(value));
        };
        number("uFileVersion", 1);
        number("uStatus", r.detail.uEngineStatus);
        line("szVirusName", r.detail.szVirusName);
        line("szItemName", r.detail.szFileName);
        line("szUserName", r.detail.szUserName);
        line("szSoftware", r.message.szSoftwareName);
        line("szSoftwareVersion", r.message.szSoftwareVersion);
        line("szComputerName", r.message.szComputerName);
        number("uYear", clock.year);
        number("uMonth", clock.month);
        number("uDay", clock.day);
        number("uHour", clock.hour);
        number("uMinute", clock.minute);
        number("uSecond", clock.second);
        line("szAlertPath", path);
        number("uSeverity", r.message.uSeverity);
        line("szSourceIP", r.message.szSourceIP);
        number("uMessageID", r.detail.uTrapID);
        line("szTaskName", r.message.szTaskID);
        line("szGMTTime", r.message.szGMTTime);
        line("szOS", r.detail.szOS);
        line("szEngineVersion", r.detail.szEngineVersion);
        line("szDatVersion", r.detail.szDatVersion);
        number("dwWinStaClientID", r.detail.dwTSClientID);
        line("pszWinStaClientName", r.detail.szClientComputer);
        number("uSpecificTrap", static_cast<unsigned long>(event));
        line("szActualMessage", message);
        return text;
    }
};

TEST_F(AlertTest, ASendWritesTheRecordsIntoOneFileNamedByTheTickCount) {
    MakeDirectories(AlertDir());
    Import(AlertingOn(AlertDir()));
    EventLibrary library(JoinPath(InstallDir(), "KXEvent.DLL"));
    ASSERT_TRUE(library.loaded()) << library.error();
    auto records = NewRecords();
    FillCallerFields(*records);

    const DWORD ticksBefore = ::GetTickCount();
    const auto secondsBefore = NowSeconds();
    ASSERT_EQ(library.Send(2, 1000, *records), EVENT_OK);
    const DWORD ticksAfter = ::GetTickCount();
    const auto secondsAfter = NowSeconds();

    EXPECT_TRUE(ListFiles(AlertDir(), "*.TMP").empty());
    const auto files = ListFiles(AlertDir(), "*");
    ASSERT_EQ(files.size(), 1u);
    std::smatch name;
    ASSERT_TRUE(std::regex_match(files[0], name, std::regex("(\\d{8,})\\.ALR"))) << files[0];
    const auto tick = std::stoull(name[1]);
    EXPECT_GE(tick, ticksBefore);
    EXPECT_LE(tick, ticksAfter);

    const std::string content = ReadFileBytes(JoinPath(AlertDir(), files[0]));
    const AlertClock clock = ReadClock(content);
    const auto stamped =
        Seconds(clock.year, clock.month, clock.day, clock.hour, clock.minute, clock.second);
    EXPECT_GE(stamped, secondsBefore);
    EXPECT_LE(stamped, secondsAfter);
    EXPECT_EQ(records->detail.uTrapID, 1000u);
    EXPECT_EQ(content,
              ExpectedAlert(*records, AlertDir(), 1000, clock, records->message.szLongDescript));
    EXPECT_EQ(std::string(records->message.szLongDescript).rfind("The virus EICAR-Test was", 0),
              0u);
}

TEST_F(AlertTest, ATrailingBackslashOfTheDirectoryIsNotDoubled) {
    MakeDirectories(AlertDir());
    Import(AlertingOn(AlertDir() + "\\"));
    EventLibrary library(JoinPath(InstallDir(), "KXEvent.DLL"));
    ASSERT_TRUE(library.loaded()) << library.error();
    auto records = NewRecords();
    ASSERT_EQ(library.Send(1, 1000, *records), EVENT_OK);
    const auto files = ListFiles(AlertDir(), "*.ALR");
    ASSERT_EQ(files.size(), 1u);
    const std::string content = ReadFileBytes(JoinPath(AlertDir(), files[0]));
    EXPECT_NE(content.find("\r\nszAlertPath=" + AlertDir() + "\\\r\n"), std::string::npos);
}

TEST_F(AlertTest, TheFileCarriesTheWholeExpansionWhileTheRecordKeeps1023Characters) {
    MakeDirectories(AlertDir());
    RegFile reg = AlertingOn(AlertDir());
    reg.Key(std::string(kEventsKey) + "\\0901\\1001")
        .String("LONGDESCRIPT", "%FILENAME%%FILENAME%%FILENAME%%FILENAME%%FILENAME%%FILENAME%");
    Import(reg);
    EventLibrary library(JoinPath(InstallDir(), "KXEvent.DLL"));
    ASSERT_TRUE(library.loaded()) << library.error();
    auto records = NewRecords();
    std::memset(records->detail.szFileName, 'f', 255);
    ASSERT_EQ(library.Send(1, 1001, *records), EVENT_OK);

    const std::string expansion =
        std::string(6 * 255, 'f') + ". (on " + records->message.szComputerName + ")";
    EXPECT_EQ(std::string(records->message.szLongDescript), expansion.substr(0, 1023));
    const auto files = ListFiles(AlertDir(), "*.ALR");
    ASSERT_EQ(files.size(), 1u);
    const std::string content = ReadFileBytes(JoinPath(AlertDir(), files[0]));
    EXPECT_EQ(content.substr(content.find("szActualMessage=")),
              "szActualMessage=" + expansion + "\r\n");
}

TEST_F(AlertTest, ASuppressedAlertIsWrittenOnlyForAnAlwaysAlertEvent) {
    MakeDirectories(AlertDir());
    RegFile reg = AlertingOn(AlertDir());
    reg.Key(std::string(kEventsKey) + "\\0901\\1002").String("Always Alert", "1");
    Import(reg);
    EventLibrary library(JoinPath(InstallDir(), "KXEvent.DLL"));
    ASSERT_TRUE(library.loaded()) << library.error();
    auto records = NewRecords();
    EXPECT_EQ(library.SendEx(1, 1000, *records, 1), EVENT_OK);
    EXPECT_TRUE(ListFiles(AlertDir(), "*").empty());
    EXPECT_EQ(library.SendEx(1, 1002, *records, 1), EVENT_OK);
    EXPECT_EQ(ListFiles(AlertDir(), "*.ALR").size(), 1u);
}

TEST_F(AlertTest, SwitchOffWritesNothingAndLogsNothing) {
    MakeDirectories(AlertDir());
    RegFile reg = BaseRegistry();
    reg.Key(kAlertingKey).String("Centralized Alerting Path", AlertDir());
    Import(reg);
    EventLibrary library(JoinPath(InstallDir(), "KXEvent.DLL"));
    ASSERT_TRUE(library.loaded()) << library.error();
    auto records = NewRecords();
    EXPECT_EQ(library.Send(1, 1000, *records), EVENT_OK);
    EXPECT_TRUE(ListFiles(AlertDir(), "*").empty());
    EXPECT_TRUE(ReadEventLog(EventLogPath()).empty());
}

TEST_F(AlertTest, WithoutAnAlertingPathTheSendReportsItAndLogsString141) {
    RegFile reg = BaseRegistry();
    reg.Key(kAlertingKey).Dword("bEnableCAlert", 1);
    Import(reg);
    EventLibrary library(JoinPath(InstallDir(), "KXEvent.DLL"));
    ASSERT_TRUE(library.loaded()) << library.error();
    auto records = NewRecords();
    EXPECT_EQ(library.Send(1, 1000, *records), EVENT_ERR_NO_ALERT_PATH);
    const auto entries = ReadEventLog(EventLogPath());
    ASSERT_EQ(entries.size(), 1u);
    const auto& entry = entries[0];
    EXPECT_EQ(entry.at("source"), kFailureSource);
    EXPECT_EQ(entry.at("label"), kFailureSource);
    EXPECT_EQ(entry.at("kind"), "0");
    EXPECT_EQ(entry.at("number"), kFailureNumber);
    // The path's place holds whatever the library chose for "no path"; the rest is string 141.
    const std::string format = ResourceSourceString("0901", 141);
    const auto first = format.find("%s");
    const auto second = format.find("%s", first + 2);
    const std::string head = format.substr(0, first);
    const std::string tail = format.substr(first + 2, second - first - 2) +
                             records->message.szLongDescript + format.substr(second + 2);
    EXPECT_TRUE(entry.at("text").starts_with(head)) << entry.at("text");
    EXPECT_TRUE(entry.at("text").ends_with(tail)) << entry.at("text");
}

TEST_F(AlertTest, AFileThatCannotBeCreatedIsLoggedWithString140AndTheSendSucceeds) {
    const std::string missing = Scratch() / "no\\such\\directory";
    Import(AlertingOn(missing));
    EventLibrary library(JoinPath(InstallDir(), "KXEvent.DLL"));
    ASSERT_TRUE(library.loaded()) << library.error();
    auto records = NewRecords();
    EXPECT_EQ(library.Send(1, 1000, *records), EVENT_OK);
    const auto entries = ReadEventLog(EventLogPath());
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].at("source"), kFailureSource);
    EXPECT_EQ(entries[0].at("text"), FillTwoTexts(ResourceSourceString("0901", 140), missing,
                                                  records->message.szLongDescript));
}

TEST_F(AlertTest, AFailureIsLoggedInTheLanguageOfTheLoadedResourceModule) {
    const std::string missing = Scratch() / "absent";
    Import(AlertingOn(missing));
    const ScopedThreadLocale german(MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), 0));
    EventLibrary library(JoinPath(InstallDir(), "KXEvent.DLL"));
    ASSERT_TRUE(library.loaded()) << library.error();
    auto records = NewRecords();
    EXPECT_EQ(library.Send(1, 1000, *records), EVENT_OK);
    EXPECT_STREQ(records->detail.szLanguageCode, "0701");
    const auto entries = ReadEventLog(EventLogPath());
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].at("text"), FillTwoTexts(ResourceSourceString("0701", 140), missing,
                                                  records->message.szLongDescript));
}

}  // namespace
}  // namespace kx::wine
