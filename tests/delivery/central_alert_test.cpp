// central_alert_test.cpp: the central alert file: the switch, the alerting path, the file's
// names and bytes, the outcomes and their event-log entries, and alerts never lost or mixed
// when names collide, in one process or in several.
#include "delivery/central_alert.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "common/registry.h"
#include "delivery/alert_file.h"
#include "delivery/alert_log.h"
#include "delivery_fixture.h"
#include "platform/testing.h"
#include "runtime/resources.h"
#include "runtime/siblings.h"
#include "runtime/state.h"
#include "support.h"

namespace kx::test {
namespace {

namespace fs = std::filesystem;
using plat::testing::ScopedHook;

constexpr char kFormat140[] = "Cannot create the alert file in %s (%s)";
constexpr char kFormat141[] = "Alert for %s not delivered: %s";

// Facts the machine cannot be made to show: the tick count, the clock, the resource strings.
std::uint32_t gTick = 5;
plat::CalendarTime gUtc{2024, 3, 9, 14, 5, 7};
int gClockReads = 0;
bool gClockAskedLocal = false;
std::string gString140 = kFormat140;
std::string gString141 = kFormat141;
bool gStringsPresent = true;

plat::Dword FixedTick() {
    return gTick;
}

plat::CalendarTime FixedClock(bool local) {
    ++gClockReads;
    gClockAskedLocal = gClockAskedLocal || local;
    return gUtc;
}

int ResourceStrings(plat::Module, unsigned id, char* buffer, int size) {
    const std::string* text = id == kStringCannotCreateAlert ? &gString140
                              : id == kStringAlertFailed     ? &gString141
                                                             : nullptr;
    if (!gStringsPresent || text == nullptr || size <= 0) return 0;
    const int n = std::min<int>(static_cast<int>(text->size()), size - 1);
    std::memcpy(buffer, text->data(), static_cast<std::size_t>(n));
    buffer[n] = '\0';
    return n;
}

template <std::size_t N>
void Put(char (&field)[N], std::string_view text) {
    ASSERT_LT(text.size(), N);
    std::memcpy(field, text.data(), text.size());
    field[text.size()] = '\0';
}

// A known event, every field of the alert distinct.
void FillKnownEvent(MessageRecord& m, DetailRecord& d) {
    m = {};
    d = {};
    Put(m.szSoftwareName, "Guardian");
    Put(m.szSoftwareVersion, "7.1.0");
    Put(m.szTaskID, "TASK-ID");
    Put(m.szGMTTime, "2024  3  9 14: 5: 6");
    Put(m.szLongDescript, "Unexpanded %VIRUSNAME%");
    Put(m.szComputerName, "HOST01");
    Put(m.szSourceIP, "192.0.2.10");
    m.uSeverity = 4;
    d.uTrapID = 1024;
    d.uEngineStatus = 3;
    Put(d.szVirusName, "Test.Virus.A");
    Put(d.szFileName, "C:\\Data\\report.doc");
    Put(d.szUserName, "alice");
    Put(d.szOS, "Linux 6.1");
    Put(d.szTaskName, "NOT-THIS-ONE");
    Put(d.szEngineVersion, "4.4.0");
    Put(d.szDatVersion, "4321");
    Put(d.szClientComputer, "TERM7");
    d.dwTSClientID = 17;
}

std::string ExpectedKnownAlert(const std::string& path, const std::string& message) {
    return "[CentralAlert]\r\n"
           "uFileVersion=1\r\n"
           "uStatus=3\r\n"
           "szVirusName=Test.Virus.A\r\n"
           "szItemName=C:\\Data\\report.doc\r\n"
           "szUserName=alice\r\n"
           "szSoftware=Guardian\r\n"
           "szSoftwareVersion=7.1.0\r\n"
           "szComputerName=HOST01\r\n"
           "uYear=2024\r\n"
           "uMonth=3\r\n"
           "uDay=9\r\n"
           "uHour=14\r\n"
           "uMinute=5\r\n"
           "uSecond=7\r\n"
           "szAlertPath=" +
           path +
           "\r\n"
           "uSeverity=4\r\n"
           "szSourceIP=192.0.2.10\r\n"
           "uMessageID=1024\r\n"
           "szTaskName=TASK-ID\r\n"
           "szGMTTime=2024  3  9 14: 5: 6\r\n"
           "szOS=Linux 6.1\r\n"
           "szEngineVersion=4.4.0\r\n"
           "szDatVersion=4321\r\n"
           "dwWinStaClientID=17\r\n"
           "pszWinStaClientName=TERM7\r\n"
           "uSpecificTrap=1025\r\n"
           "szActualMessage=" +
           message + "\r\n";
}

// An alert record with every required field present and the given message.
AlertRecord CompleteRecord(std::string_view message) {
    AlertRecord r;
    r.szVirusName = r.szItemName = r.szUserName = r.szSoftware = r.szSoftwareVersion =
        r.szComputerName = r.szSourceIP = r.szOS = r.szEngineVersion = r.szDatVersion = "x";
    r.uYear = 2024;
    r.uMonth = 1;
    r.uDay = 2;
    r.szActualMessage = message;
    return r;
}

class CentralAlertTest : public DeliveryTest {
  protected:
    CentralAlertTest() : tick_(FixedTick), clock_(FixedClock), strings_(ResourceStrings) {
        gTick = 5;
        gClockReads = 0;
        gClockAskedLocal = false;
        gString140 = kFormat140;
        gString141 = kFormat141;
        gStringsPresent = true;
        fs::create_directory(alerts_);
        FillKnownEvent(message_, detail_);
    }

    void EnableAlerts(const std::string& path) {
        WriteRegistry(RegFile()
                          .Key(kAlertingKey)
                          .Dword("bEnableCAlert", 1)
                          .String("Centralized Alerting Path", path));
    }

    // Names of the files in the alerting directory, sorted.
    std::vector<std::string> Listing() const { return EntryNames(alerts_); }

    bool RunStage(const char* expansion = "Expanded message") {
        return RunCentralAlertStage(1025, &message_, &detail_, expansion);
    }

    // With alerting on, the stage reads the path (true) but publishes nothing and logs the one
    // failure 141.
    void ExpectTheStagePublishesNothingAndLogs141() {
        EnableAlerts(alerts_.string());
        EXPECT_TRUE(RunStage());
        EXPECT_TRUE(Listing().empty());
        ExpectOneFailureLogged(141, alerts_.string(), "Expanded message");
    }

    void ExpectOneFailureLogged(unsigned stringId, const std::string& path,
                                const std::string& message) {
        ASSERT_EQ(LoggedEntries().size(), 1u);
        const LoggedEntry& e = LoggedEntries()[0];
        EXPECT_EQ(e.source, std::optional<std::string>("Derad Edarevu Razud Evarivive"));
        EXPECT_EQ(e.label, "Derad Edarevu Razud Evarivive");
        EXPECT_EQ(e.kind, 0u);
        EXPECT_EQ(e.number, 0xC0000101u);
        const std::string format = stringId == 140 ? kFormat140 : kFormat141;
        const std::size_t at = format.find("%s");
        const std::size_t second = format.find("%s", at + 2);
        const std::string expected = format.substr(0, at) + path +
                                     format.substr(at + 2, second - at - 2) + message +
                                     format.substr(second + 2);
        EXPECT_EQ(e.text, expected);
    }

    fs::path alerts_ = scratch_ / "alerts";
    MessageRecord message_{};
    DetailRecord detail_{};

  private:
    ScopedHook<&plat::HookTable::GetTickCount> tick_;
    ScopedHook<&plat::HookTable::GetCalendarTime> clock_;
    ScopedHook<&plat::HookTable::LoadStringA> strings_;
};

// ----- The switch and the alerting path -------------------------------------------------------

TEST_F(CentralAlertTest, SwitchIsOnForAnyNonZeroValueAndOffForZero) {
    WriteRegistry(RegFile().Key(kAlertingKey).Dword("bEnableCAlert", 0x01000000));
    EXPECT_EQ(IsCentralAlertEnabled(), 1);
    WriteRegistry(RegFile().Key(kAlertingKey).Dword("bEnableCAlert", 0));
    EXPECT_EQ(IsCentralAlertEnabled(), 0);
}

TEST_F(CentralAlertTest, SwitchIsOffWhenKeyOrValueIsMissing) {
    EXPECT_EQ(IsCentralAlertEnabled(), 0);
    WriteRegistry(RegFile().Key(kAlertingKey).Dword("NoIP", 1));
    EXPECT_EQ(IsCentralAlertEnabled(), 0);
}

TEST_F(CentralAlertTest, SwitchIsOffWhenItsDataIsLongerThanFourBytes) {
    WriteRegistry(RegFile().Key(kAlertingKey).Hex("bEnableCAlert", {1, 0, 0, 0, 0}, 4));
    EXPECT_EQ(IsCentralAlertEnabled(), 0);
}

TEST_F(CentralAlertTest, ShortSwitchValueIsReadAsItsLowBytes) {
    WriteRegistry(RegFile().Key(kAlertingKey).Hex("bEnableCAlert", {1}, 4));
    EXPECT_EQ(IsCentralAlertEnabled(), 1);
    WriteRegistry(RegFile().Key(kAlertingKey).Hex("bEnableCAlert", {0, 0}, 4));
    EXPECT_EQ(IsCentralAlertEnabled(), 0);
    WriteRegistry(RegFile().Key(kAlertingKey).Hex("bEnableCAlert", {}, 4));
    EXPECT_EQ(IsCentralAlertEnabled(), 0);
}

TEST_F(CentralAlertTest, PathIsReadWithItsTrailingBackslash) {
    EnableAlerts("D:\\Alerts\\");
    char path[kAlertPathSize];
    ASSERT_EQ(ReadCentralAlertPath(path), path);
    EXPECT_STREQ(path, "D:\\Alerts\\");
    EXPECT_EQ(ReadCentralAlertPath(nullptr), nullptr);
}

TEST_F(CentralAlertTest, PathOf255CharactersFitsAndLongerCountsAsMissing) {
    char path[kAlertPathSize];
    EnableAlerts(std::string(255, 'p'));
    ASSERT_NE(ReadCentralAlertPath(path), nullptr);
    EXPECT_EQ(std::strlen(path), 255u);
    EnableAlerts(std::string(256, 'p'));
    EXPECT_EQ(ReadCentralAlertPath(path), nullptr);
    EXPECT_STREQ(path, "");
}

TEST_F(CentralAlertTest, EmptyPathCountsAsNoPath) {
    EnableAlerts("");
    char path[kAlertPathSize];
    EXPECT_EQ(ReadCentralAlertPath(path), nullptr);
}

// ----- Names -----------------------------------------------------------------------------

TEST_F(CentralAlertTest, TempNameJoinsDirectoryAndEightDigitTickCount) {
    char name[kAlertNameSize];
    ASSERT_TRUE(MakeAlertTempName("D:\\Alerts", 5, name, sizeof name));
    EXPECT_STREQ(name, "D:\\Alerts\\00000005.TMP");
    ASSERT_TRUE(MakeAlertTempName("D:\\Alerts\\", 5, name, sizeof name));
    EXPECT_STREQ(name, "D:\\Alerts\\00000005.TMP");
}

TEST_F(CentralAlertTest, TempNameKeepsEveryDigitAndTheSignOfLargeCounts) {
    char name[kAlertNameSize];
    ASSERT_TRUE(MakeAlertTempName("D:\\A", 123456789, name, sizeof name));
    EXPECT_STREQ(name, "D:\\A\\123456789.TMP");
    ASSERT_TRUE(MakeAlertTempName("D:\\A", 0x80000000u, name, sizeof name));
    EXPECT_STREQ(name, "D:\\A\\-2147483648.TMP");
    ASSERT_TRUE(MakeAlertTempName("D:\\A", 0xFFFFFFFBu, name, sizeof name));
    EXPECT_STREQ(name, "D:\\A\\-0000005.TMP");
}

TEST_F(CentralAlertTest, TempNameIsAtMost259Characters) {
    char name[kAlertNameSize];
    EXPECT_TRUE(MakeAlertTempName(std::string(246, 'd'), 5, name, sizeof name));
    EXPECT_EQ(std::strlen(name), 259u);
    EXPECT_FALSE(MakeAlertTempName(std::string(247, 'd'), 5, name, sizeof name));
    EXPECT_TRUE(MakeAlertTempName(std::string(246, 'd') + "\\", 5, name, sizeof name));
    EXPECT_FALSE(MakeAlertTempName(std::string(247, 'd') + "\\", 5, name, sizeof name));
}

TEST_F(CentralAlertTest, DirectoryOf246CharactersGetsItsAlert) {
    fs::path dir = alerts_;
    while (dir.string().size() < 246) {
        const std::size_t room = 246 - dir.string().size() - 1;
        dir /= std::string(std::min<std::size_t>(room, 100), 'n');
    }
    ASSERT_EQ(dir.string().size(), 246u);
    fs::create_directories(dir);
    EXPECT_EQ(WriteCentralAlert(dir.string(), CompleteRecord("m")), AlertOutcome::kWritten);
    EXPECT_EQ(EntryNames(dir), std::vector<std::string>{"00000005.ALR"});
}

TEST_F(CentralAlertTest, DirectoryOf247CharactersGivesNameTooLongAndLogs141) {
    EnableAlerts(std::string(247, 'd'));
    EXPECT_TRUE(RunStage());
    ExpectOneFailureLogged(141, std::string(247, 'd'), "Expanded message");
}

// ----- The file ------------------------------------------------------------------------------

TEST_F(CentralAlertTest, KnownEventGivesExactFileUnderFinalName) {
    EnableAlerts(alerts_.string());
    EXPECT_TRUE(RunStage());
    EXPECT_EQ(Listing(), std::vector<std::string>{"00000005.ALR"});
    EXPECT_EQ(ReadFile(alerts_ / "00000005.ALR"),
              ExpectedKnownAlert(alerts_.string(), "Expanded message"));
    EXPECT_TRUE(LoggedEntries().empty());
}

TEST_F(CentralAlertTest, TimeFieldsComeFromOneUtcReading) {
    EnableAlerts(alerts_.string() + "\\");
    EXPECT_TRUE(RunStage());
    EXPECT_EQ(gClockReads, 1);
    EXPECT_FALSE(gClockAskedLocal);
    const std::string alert = ReadFile(alerts_ / "00000005.ALR");
    EXPECT_NE(alert.find("\r\nuSecond=7\r\n"), std::string::npos);
    EXPECT_NE(alert.find("\r\nszAlertPath=" + alerts_.string() + "\\\r\n"), std::string::npos);
}

TEST_F(CentralAlertTest, MessageIsTheLongDescriptionWhenThereIsNoExpansionBuffer) {
    EnableAlerts(alerts_.string());
    EXPECT_TRUE(RunStage(nullptr));
    EXPECT_EQ(ReadFile(alerts_ / "00000005.ALR"),
              ExpectedKnownAlert(alerts_.string(), "Unexpanded %VIRUSNAME%"));
}

TEST_F(CentralAlertTest, FullExpansionBufferIsWrittenWhole) {
    EnableAlerts(alerts_.string());
    std::string expansion(2047, 'e');
    EXPECT_TRUE(RunStage(expansion.c_str()));
    const std::string alert = ReadFile(alerts_ / "00000005.ALR");
    EXPECT_TRUE(alert.ends_with("\r\nszActualMessage=" + expansion + "\r\n"));
}

TEST_F(CentralAlertTest, EmptyTextsStillGiveTheirLines) {
    EnableAlerts(alerts_.string());
    detail_.szVirusName[0] = '\0';
    detail_.szClientComputer[0] = '\0';
    EXPECT_TRUE(RunStage(""));
    const std::string alert = ReadFile(alerts_ / "00000005.ALR");
    EXPECT_NE(alert.find("\r\nszVirusName=\r\nszItemName="), std::string::npos);
    EXPECT_NE(alert.find("\r\npszWinStaClientName=\r\n"), std::string::npos);
    EXPECT_TRUE(alert.ends_with("\r\nszActualMessage=\r\n"));
}

TEST_F(CentralAlertTest, LineBreaksInsideValuesAreWrittenUnchanged) {
    EnableAlerts(alerts_.string());
    EXPECT_TRUE(RunStage("first\r\nsecond=[x]\r\nthird"));
    const std::string alert = ReadFile(alerts_ / "00000005.ALR");
    EXPECT_TRUE(alert.ends_with("\r\nszActualMessage=first\r\nsecond=[x]\r\nthird\r\n"));
}

TEST_F(CentralAlertTest, FieldsWithoutTerminatorAreCutAtTheirWidth) {
    EnableAlerts(alerts_.string());
    std::memset(message_.szSoftwareVersion, 'v', sizeof message_.szSoftwareVersion);
    std::memset(message_.szTaskID, 't', sizeof message_.szTaskID);  // the next field
    EXPECT_TRUE(RunStage());
    const std::string alert = ReadFile(alerts_ / "00000005.ALR");
    EXPECT_NE(alert.find("\r\nszSoftwareVersion=" + std::string(16, 'v') + "\r\n"),
              std::string::npos);
}

TEST_F(CentralAlertTest, NegativeEventNumberIsWrittenUnsigned) {
    EnableAlerts(alerts_.string());
    EXPECT_TRUE(RunCentralAlertStage(-1, &message_, &detail_, "m"));
    EXPECT_NE(ReadFile(alerts_ / "00000005.ALR").find("\r\nuSpecificTrap=4294967295\r\n"),
              std::string::npos);
}

TEST_F(CentralAlertTest, EveryLineIsOneWriteAndTheFileIsFlushedOnce) {
    static int writes, closes;
    writes = closes = 0;
    ScopedHook<&plat::HookTable::FileWrite> countWrites(
        +[](std::intptr_t f, const void* d, plat::Dword n) {
            ++writes;
            return plat::DefaultHooks().FileWrite(f, d, n);
        });
    ScopedHook<&plat::HookTable::FileClose> countCloses(+[](std::intptr_t f) {
        ++closes;
        return plat::DefaultHooks().FileClose(f);
    });
    EXPECT_EQ(WriteCentralAlert(alerts_.string(), CompleteRecord("m")), AlertOutcome::kWritten);
    EXPECT_EQ(writes, 28);
    EXPECT_EQ(closes, 1);
}

// ----- Failures ------------------------------------------------------------------------------

TEST_F(CentralAlertTest, NoPathReturnsFalseAndLogs141WithAnEmptyPath) {
    WriteRegistry(RegFile().Key(kAlertingKey).Dword("bEnableCAlert", 1));
    EXPECT_FALSE(RunStage());
    ExpectOneFailureLogged(141, "", "Expanded message");
    EXPECT_TRUE(Listing().empty());
}

TEST_F(CentralAlertTest, FailureIsLoggedWhateverTheDiagnosticsSwitch) {
    DiagnosticsEnabled = true;
    EXPECT_FALSE(RunStage());
    ExpectOneFailureLogged(141, "", "Expanded message");
}

TEST_F(CentralAlertTest, MissingDayGivesIncompleteRecordAndNoFile) {
    gUtc.day = 0;
    EnableAlerts(alerts_.string());
    EXPECT_TRUE(RunStage());
    gUtc.day = 9;
    ExpectOneFailureLogged(141, alerts_.string(), "Expanded message");
    EXPECT_TRUE(Listing().empty());
}

TEST_F(CentralAlertTest, AbsentRequiredTextGivesIncompleteButEmptyOnesDoNot) {
    AlertRecord record = CompleteRecord("m");
    record.szOS.reset();
    EXPECT_EQ(WriteCentralAlert(alerts_.string(), record), AlertOutcome::kIncomplete);
    record.szOS = "";
    record.szTaskName.reset();  // not required: written as an empty value
    EXPECT_EQ(WriteCentralAlert(alerts_.string(), record), AlertOutcome::kWritten);
    EXPECT_NE(ReadFile(alerts_ / "00000005.ALR").find("\r\nszTaskName=\r\n"), std::string::npos);
}

TEST_F(CentralAlertTest, EmptyDirectoryCreatesNothing) {
    static int creates;
    creates = 0;
    ScopedHook<&plat::HookTable::FileCreate> count(+[](const char* path) {
        ++creates;
        return plat::DefaultHooks().FileCreate(path);
    });
    EXPECT_EQ(WriteCentralAlert("", CompleteRecord("m")), AlertOutcome::kNotCreated);
    EXPECT_EQ(creates, 0);
}

TEST_F(CentralAlertTest, MissingDirectoryGivesNotCreatedAndLogs140) {
    EnableAlerts((alerts_ / "gone").string());
    EXPECT_TRUE(RunStage());
    ExpectOneFailureLogged(140, (alerts_ / "gone").string(), "Expanded message");
    EXPECT_TRUE(Listing().empty());
}

TEST_F(CentralAlertTest, WriteFailingPartWayLeavesNoFileAndLogs141) {
    static int writes;
    writes = 0;
    ScopedHook<&plat::HookTable::FileWrite> failFifth(
        +[](std::intptr_t f, const void* d, plat::Dword n) -> plat::Dword {
            if (++writes == 5) return plat::DefaultHooks().FileWrite(f, d, n / 2);
            return plat::DefaultHooks().FileWrite(f, d, n);
        });
    EnableAlerts(alerts_.string());
    EXPECT_TRUE(RunStage());
    EXPECT_EQ(writes, 5);  // the walk stops at the failed line
    EXPECT_TRUE(Listing().empty());
    ExpectOneFailureLogged(141, alerts_.string(), "Expanded message");
}

TEST_F(CentralAlertTest, FailedSectionLineWritesNoKeyLine) {
    static int writes;
    writes = 0;
    ScopedHook<&plat::HookTable::FileWrite> failAll(
        +[](std::intptr_t, const void*, plat::Dword) -> plat::Dword {
            ++writes;
            return 0;
        });
    EXPECT_EQ(WriteCentralAlert(alerts_.string(), CompleteRecord("m")), AlertOutcome::kWriteFailed);
    EXPECT_EQ(writes, 1);
    EXPECT_TRUE(Listing().empty());
}

TEST_F(CentralAlertTest, ShortMemoryIsReportedNotTakenForSuccess) {
    EnableAlerts(alerts_.string());
    plat::testing::FailAllocation(1, true);
    EXPECT_TRUE(RunStage());
    plat::testing::ClearAllocationFaults();
    EXPECT_TRUE(Listing().empty());
    ExpectOneFailureLogged(141, alerts_.string(), "Expanded message");
}

TEST_F(CentralAlertTest, RenameThatFailsRemovesTheTemporaryFileAndSaysSo) {
    ScopedHook<&plat::HookTable::MoveFileA> denied(+[](const char*, const char*) {
        plat::SetLastError(plat::kErrorAccessDenied);
        return false;
    });
    ExpectTheStagePublishesNothingAndLogs141();
}

TEST_F(CentralAlertTest, FailedFlushPublishesNothingAndLogs141) {
    ScopedHook<&plat::HookTable::FlushWatchedFile> failedFlush(
        +[](std::intptr_t, const char*, std::uint64_t) {
            plat::SetLastError(plat::kErrorDiskFull);
            return false;
        });
    ExpectTheStagePublishesNothingAndLogs141();
}

TEST_F(CentralAlertTest, DirectorySyncFailingAfterTheRenameIsLoggedAsPublishedUnconfirmed) {
    // The rename happens; only making it durable fails, as an I/O error of the disk would.
    ScopedHook<&plat::HookTable::MoveFileA> unsynced(+[](const char* from, const char* to) {
        if (!plat::DefaultHooks().MoveFileA(from, to)) return false;
        plat::SetLastError(31);  // a device that does not work
        return false;
    });
    EnableAlerts(alerts_.string());
    EXPECT_TRUE(RunStage());
    EXPECT_EQ(Listing(), std::vector<std::string>{"00000005.ALR"});
    EXPECT_EQ(ReadFile(alerts_ / "00000005.ALR"),
              ExpectedKnownAlert(alerts_.string(), "Expanded message"));
    ASSERT_EQ(LoggedEntries().size(), 1u);
    const LoggedEntry& e = LoggedEntries()[0];
    EXPECT_EQ(e.source, std::optional<std::string>("Derad Edarevu Razud Evarivive"));
    EXPECT_EQ(e.kind, 1u);  // a warning: delivered, not failed
    EXPECT_NE(e.text.find("published in the alerting directory " + alerts_.string() +
                          " without confirmed durability"),
              std::string::npos)
        << e.text;
    EXPECT_EQ(e.text.find("not delivered"), std::string::npos) << e.text;
    EXPECT_TRUE(e.text.ends_with("Message: Expanded message")) << e.text;
}

// ----- Failure texts -------------------------------------------------------------------------

TEST_F(CentralAlertTest, FailureFormatMustHoldExactlyTwoTexts) {
    EXPECT_TRUE(IsTwoTextFormat("%s: %s"));
    EXPECT_TRUE(IsTwoTextFormat("100%% sure: %s %s"));
    EXPECT_FALSE(IsTwoTextFormat("%s"));
    EXPECT_FALSE(IsTwoTextFormat("%s %s %s"));
    EXPECT_FALSE(IsTwoTextFormat("%s %d %s"));
    EXPECT_FALSE(IsTwoTextFormat("%s %s %n"));
    EXPECT_FALSE(IsTwoTextFormat("%s %s %"));
    EXPECT_FALSE(IsTwoTextFormat("%5s %s"));
}

TEST_F(CentralAlertTest, BadFormatFromTheResourceModuleGivesPlainText) {
    gString141 = "%s %s %s %p";
    EXPECT_FALSE(RunStage());
    ASSERT_EQ(LoggedEntries().size(), 1u);
    EXPECT_EQ(LoggedEntries()[0].text, ": Expanded message");
}

TEST_F(CentralAlertTest, MissingStringStillLogsThePathAndMessage) {
    gStringsPresent = false;
    EnableAlerts((alerts_ / "gone").string());
    EXPECT_TRUE(RunStage());
    ASSERT_EQ(LoggedEntries().size(), 1u);
    EXPECT_EQ(LoggedEntries()[0].text, (alerts_ / "gone").string() + ": Expanded message");
    EXPECT_EQ(LoggedEntries()[0].number, 0xC0000101u);
}

TEST_F(CentralAlertTest, PercentSignsInFormatAndArgumentsAreKept) {
    gString141 = "100%% failed for %s: %s";
    EXPECT_FALSE(RunStage("50% of %s done"));
    ASSERT_EQ(LoggedEntries().size(), 1u);
    EXPECT_EQ(LoggedEntries()[0].text, "100% failed for : 50% of %s done");
}

TEST_F(CentralAlertTest, LoggedTextIsCutAt2047Characters) {
    const std::string longMessage(2047, 'm');
    EXPECT_FALSE(RunStage(longMessage.c_str()));
    ASSERT_EQ(LoggedEntries().size(), 1u);
    const std::string& text = LoggedEntries()[0].text;
    EXPECT_EQ(text.size(), 2047u);
    EXPECT_TRUE(text.starts_with("Alert for  not delivered: mmm"));
}

// ----- Names taken: no alert lost, none overwritten --------------------------------------------

TEST_F(CentralAlertTest, TakenFinalNameMovesTheAlertToTheNextFreeNumber) {
    WriteFile(alerts_ / "00000005.ALR", "earlier alert");
    EnableAlerts(alerts_.string());
    EXPECT_TRUE(RunStage());
    EXPECT_EQ(Listing(), (std::vector<std::string>{"00000005.ALR", "00000006.ALR"}));
    EXPECT_EQ(ReadFile(alerts_ / "00000005.ALR"), "earlier alert");
    EXPECT_EQ(ReadFile(alerts_ / "00000006.ALR"),
              ExpectedKnownAlert(alerts_.string(), "Expanded message"));
    EXPECT_TRUE(LoggedEntries().empty());
}

TEST_F(CentralAlertTest, TakenTemporaryNameIsNeitherTruncatedNorShared) {
    WriteFile(alerts_ / "00000005.TMP", "another sender's half");
    WriteFile(alerts_ / "00000006.ALR", "earlier alert");
    EXPECT_EQ(WriteCentralAlert(alerts_.string(), CompleteRecord("mine")), AlertOutcome::kWritten);
    EXPECT_EQ(Listing(),
              (std::vector<std::string>{"00000005.TMP", "00000006.ALR", "00000007.ALR"}));
    EXPECT_EQ(ReadFile(alerts_ / "00000005.TMP"), "another sender's half");
    EXPECT_TRUE(ReadFile(alerts_ / "00000007.ALR").ends_with("szActualMessage=mine\r\n"));
}

TEST_F(CentralAlertTest, SameTickCountTwiceInOneProcessGivesTwoAlerts) {
    EXPECT_EQ(WriteCentralAlert(alerts_.string(), CompleteRecord("one")), AlertOutcome::kWritten);
    EXPECT_EQ(WriteCentralAlert(alerts_.string(), CompleteRecord("two")), AlertOutcome::kWritten);
    EXPECT_EQ(Listing(), (std::vector<std::string>{"00000005.ALR", "00000006.ALR"}));
    EXPECT_TRUE(ReadFile(alerts_ / "00000005.ALR").ends_with("szActualMessage=one\r\n"));
    EXPECT_TRUE(ReadFile(alerts_ / "00000006.ALR").ends_with("szActualMessage=two\r\n"));
}

TEST_F(CentralAlertTest, TakenNamesCostNoRenameAndNamingNeverStopsWhileNamesAreFree) {
    static int creates, renames;
    creates = renames = 0;
    ScopedHook<&plat::HookTable::FileCreate> taken(+[](const char* path) -> std::intptr_t {
        if (++creates <= 5000) {
            plat::SetLastError(plat::kErrorFileExists);
            return plat::kInvalidFile;
        }
        return plat::DefaultHooks().FileCreate(path);
    });
    ScopedHook<&plat::HookTable::MoveFileA> countRenames(+[](const char* from, const char* to) {
        ++renames;
        return plat::DefaultHooks().MoveFileA(from, to);
    });
    EnableAlerts(alerts_.string());
    EXPECT_TRUE(RunStage());
    EXPECT_EQ(creates, 5001);
    EXPECT_EQ(renames, 1);
    const std::vector<std::string> names = Listing();
    ASSERT_EQ(names.size(), 1u);
    EXPECT_TRUE(names[0].ends_with(".ALR")) << names[0];
    EXPECT_EQ(names[0].size(), 12u) << names[0];  // eight digits, as every other name
    EXPECT_TRUE(LoggedEntries().empty());
}

TEST_F(CentralAlertTest, CreateFailingForAnotherReasonThanATakenNameGivesUpAtOnce) {
    static int creates;
    creates = 0;
    ScopedHook<&plat::HookTable::FileCreate> denied(+[](const char*) -> std::intptr_t {
        ++creates;
        plat::SetLastError(plat::kErrorAccessDenied);
        return plat::kInvalidFile;
    });
    EnableAlerts(alerts_.string());
    EXPECT_TRUE(RunStage());
    EXPECT_EQ(creates, 1);
    ExpectOneFailureLogged(140, alerts_.string(), "Expanded message");
}

TEST_F(CentralAlertTest, FinalNameTakenBeforeTheRenameGoesStraightToTheNextFreeName) {
    static int renames;
    static fs::path directory;
    renames = 0;
    directory = alerts_;
    ScopedHook<&plat::HookTable::MoveFileA> raced(+[](const char* from, const char* to) {
        // Another sender publishes 00000005.ALR just before this one renames.
        if (++renames == 1) WriteFile(directory / "00000005.ALR", "the other sender's");
        return plat::DefaultHooks().MoveFileA(from, to);
    });
    WriteFile(alerts_ / "00000006.TMP", "a third sender's reservation");
    EnableAlerts(alerts_.string());
    EXPECT_TRUE(RunStage());
    EXPECT_EQ(renames, 2);
    EXPECT_EQ(Listing(),
              (std::vector<std::string>{"00000005.ALR", "00000006.TMP", "00000007.ALR"}));
    EXPECT_EQ(ReadFile(alerts_ / "00000007.ALR"),
              ExpectedKnownAlert(alerts_.string(), "Expanded message"));
    EXPECT_TRUE(LoggedEntries().empty());
}

TEST_F(CentralAlertTest, NumberingTriesNeighboursThenEveryNumberOfItsSpaceOnce) {
    constexpr std::uint32_t kSpace = 100000;  // the stride is prime to every power of ten
    AlertNumbering numbers(0xFFFFFFFEu, 4, kSpace);
    std::uint32_t n = 0;
    for (const std::uint32_t expected : {0xFFFFFFFEu, 0xFFFFFFFFu, 0u, 1u}) {
        ASSERT_TRUE(numbers.Take(&n));
        EXPECT_EQ(n, expected);
    }
    std::vector<bool> seen(kSpace);
    for (std::uint32_t i = 0; i < kSpace; ++i) {
        ASSERT_TRUE(numbers.Take(&n));
        ASSERT_LT(n, kSpace);
        ASSERT_FALSE(seen[n]) << n;
        seen[n] = true;
    }
    EXPECT_FALSE(numbers.Take(&n));
    // The real space: eight-digit numbers only, so every name keeps its form.
    AlertNumbering eightDigits(5, 0);
    for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(eightDigits.Take(&n));
        ASSERT_LT(n, kAlertNumberSpace);
    }
}

TEST_F(CentralAlertTest, ProcessesForkedFromOneSenderSpreadOutFromDifferentPlaces) {
    std::uint32_t parent = 0;
    ASSERT_TRUE(AlertNumbering(7, 0).Take(&parent));  // the parent spread once before forking
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    for (int child = 0; child < 2; ++child) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            std::uint32_t first = 0;
            AlertNumbering(7, 0).Take(&first);
            _exit(write(pipeFds[1], &first, sizeof first) == sizeof first ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
    }
    std::uint32_t firsts[2] = {};
    ASSERT_EQ(read(pipeFds[0], firsts, sizeof firsts), static_cast<ssize_t>(sizeof firsts));
    close(pipeFds[0]);
    close(pipeFds[1]);
    EXPECT_NE(firsts[0], firsts[1]);  // equal by chance once in 10^8 runs
}

TEST_F(CentralAlertTest, ThreeProcessesWithOneTickCountPast1500TakenNamesAllDeliver) {
    constexpr int kProcesses = 3;
    constexpr int kSendsEach = 20;
    constexpr int kTaken = 1500;
    gTick = 42;
    for (int n = 0; n < kTaken; ++n) {
        char name[16];
        std::snprintf(name, sizeof name, "%08d.ALR", 42 + n);
        WriteFile(alerts_ / name, "earlier alert");
    }
    EnableAlerts(alerts_.string());
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (int s = 0; s < kSendsEach; ++s) {
                const std::string text =
                    "sender " + std::to_string(p) + " send " + std::to_string(s);
                RunCentralAlertStage(1025, &message_, &detail_, text.c_str());
            }
            _exit(static_cast<int>(LoggedEntries().size()));
        }
        children.push_back(pid);
    }
    for (const pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    std::set<std::string> messages;
    int earlier = 0;
    for (const std::string& name : Listing()) {
        ASSERT_TRUE(name.ends_with(".ALR")) << name;
        const std::string alert = ReadFile(alerts_ / name);
        if (alert == "earlier alert") {
            ++earlier;
            continue;
        }
        const std::size_t at = alert.rfind("szActualMessage=");
        ASSERT_NE(at, std::string::npos) << name;
        messages.insert(alert.substr(at + 16, alert.size() - at - 18));
    }
    EXPECT_EQ(earlier, kTaken);
    EXPECT_EQ(messages.size(), static_cast<std::size_t>(kProcesses * kSendsEach));
}

// ----- Through the kernel library itself -------------------------------------------------------

// The same writer with the file operations of the installed kernel library bound, as the
// binder binds them: taken names must be recognised through it too.
class KernelLibraryAlertTest : public CentralAlertTest {
  protected:
    explicit KernelLibraryAlertTest(const char* kernel = KX_TEST_INSTALL_DIR "/KXKRNL.DLL")
        : kernel_(plat::LoadLibraryA(kernel)) {
        if (kernel_ == nullptr) return;
        SiblingEntries& siblings = Siblings();
        siblings.FileCreate = Entry<KrnlFileCreateFn>("KRNL_FileCreate");
        siblings.FileWrite = Entry<KrnlFileWriteFn>("KRNL_FileWrite");
        siblings.FileClose = Entry<KrnlFileCloseFn>("KRNL_FileClose");
        siblings.FileDelete = Entry<KrnlFileDeleteFn>("KRNL_FileDelete");
    }
    ~KernelLibraryAlertTest() override {
        Siblings() = SiblingEntries{};
        if (kernel_ != nullptr) plat::FreeLibrary(kernel_);
    }
    template <typename Fn>
    Fn Entry(const char* name) const {
        return reinterpret_cast<Fn>(plat::GetProcAddress(kernel_, name));
    }

    plat::Module kernel_;
};

TEST_F(KernelLibraryAlertTest, TakenNamesMoveTheAlertOnAndItArrivesWhole) {
    ASSERT_NE(kernel_, nullptr);
    WriteFile(alerts_ / "00000005.TMP", "another sender's half");
    WriteFile(alerts_ / "00000006.ALR", "earlier alert");
    EnableAlerts(alerts_.string());
    EXPECT_TRUE(RunStage());
    EXPECT_EQ(Listing(),
              (std::vector<std::string>{"00000005.TMP", "00000006.ALR", "00000007.ALR"}));
    EXPECT_EQ(ReadFile(alerts_ / "00000007.ALR"),
              ExpectedKnownAlert(alerts_.string(), "Expanded message"));
    EXPECT_TRUE(LoggedEntries().empty());
}

TEST_F(KernelLibraryAlertTest, AlertIsReadableByTheDirectoryGroupWhateverTheUmask) {
    ASSERT_NE(kernel_, nullptr);
    // The alerting directory as the package makes it: set-group-ID, the collector's group.
    constexpr gid_t kCollectorGroup = 54321;
    ASSERT_EQ(::chown(alerts_.c_str(), 0, kCollectorGroup), 0);
    ASSERT_EQ(::chmod(alerts_.c_str(), 02770), 0);
    EnableAlerts(alerts_.string());
    for (const mode_t mask : {0077, 0027, 0022, 0000}) {
        SCOPED_TRACE(mask);
        const mode_t before = ::umask(mask);
        const bool sent = RunStage();
        ::umask(before);
        EXPECT_TRUE(sent);
        struct stat info {};
        ASSERT_EQ(::stat((alerts_ / "00000005.ALR").c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0640u);
        EXPECT_EQ(info.st_gid, kCollectorGroup);
        fs::remove(alerts_ / "00000005.ALR");
    }
    EXPECT_TRUE(LoggedEntries().empty());
}

TEST_F(KernelLibraryAlertTest, FailedWriteLeavesNoFile) {
    ASSERT_NE(kernel_, nullptr);
    ScopedHook<&plat::HookTable::FileWrite> full(
        +[](std::intptr_t, const void*, plat::Dword n) -> plat::Dword {
            plat::SetLastError(plat::kErrorDiskFull);
            return n - 1;
        });
    ExpectTheStagePublishesNothingAndLogs141();
}

TEST_F(KernelLibraryAlertTest, WriteReportedWholeButCutShortIsFoundBySizeAndPublishesNothing) {
    ASSERT_NE(kernel_, nullptr);
    // The kernel library counts a line as written while one byte of it never reached the file.
    ScopedHook<&plat::HookTable::FileWrite> lying(
        +[](std::intptr_t f, const void* d, plat::Dword n) -> plat::Dword {
            return plat::DefaultHooks().FileWrite(f, d, n > 1 ? n - 1 : n) > 0 ? n : 0;
        });
    ExpectTheStagePublishesNothingAndLogs141();
}

// Kernel libraries of the family whose KRNL_FileClose answers a good close with 0, or with a
// value of no meaning: the library finds out by itself that the data is on disk.
class LooseCloseKernelTest : public KernelLibraryAlertTest,
                             public ::testing::WithParamInterface<const char*> {
  protected:
    LooseCloseKernelTest() : KernelLibraryAlertTest(GetParam()) {}
};

TEST_P(LooseCloseKernelTest, EveryAlertIsPublished) {
    ASSERT_NE(kernel_, nullptr);
    EnableAlerts(alerts_.string());
    for (gTick = 5; gTick < 8; ++gTick) EXPECT_TRUE(RunStage());
    EXPECT_EQ(Listing(),
              (std::vector<std::string>{"00000005.ALR", "00000006.ALR", "00000007.ALR"}));
    for (const std::string& name : Listing()) {
        EXPECT_EQ(ReadFile(alerts_ / name),
                  ExpectedKnownAlert(alerts_.string(), "Expanded message"));
    }
    EXPECT_TRUE(LoggedEntries().empty());
}

INSTANTIATE_TEST_SUITE_P(Kernels, LooseCloseKernelTest,
                         ::testing::Values(KX_TEST_KERNEL_VARIANT_DIR "/close-zero/KXKRNL.DLL",
                                           KX_TEST_KERNEL_VARIANT_DIR "/close-garbage/KXKRNL.DLL"));

}  // namespace
}  // namespace kx::test
