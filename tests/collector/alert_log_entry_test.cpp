// alert_log_entry_test.cpp: an alert file as the Windows event-log entry the collector writes:
// its identifier from the event number, its level from uSeverity, and the insertion strings the
// message file and an event forwarder read (the text, every value in file order, the alertId).
#include "collector/alert_log_entry.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/eventlog_ids.h"
#include "relp_receiver.h"

namespace kx::test {
namespace {

using collect::AlertLogLevel;

// The sample alert with one key's value changed.
std::string With(std::string text, const std::string& key, const std::string& value) {
    const std::size_t at = text.find("\r\n" + key + "=") + 2 + key.size() + 1;
    text.replace(at, text.find("\r\n", at) - at, value);
    return text;
}

collect::AlertLogEntry EntryOf(const std::string& text) {
    collect::ParseFailure failure;
    const auto alert = ParseAlertFile(text, failure);
    EXPECT_TRUE(alert) << failure.reason;
    return collect::FormatAlertLogEntry(*alert, {"00000007.ALR", 1700000000, 5});
}

TEST(AlertLogEntry, IdentifierIsTheEventNumberAndLevelFollowsSeverity) {
    struct Row {
        std::string trap, severity;
        std::uint32_t id;
        AlertLogLevel level;
    };
    const Row rows[] = {
        {"1000", "0", 1000, AlertLogLevel::Information},
        {"0", "1", 0, AlertLogLevel::Information},
        {"65535", "2", 65535, AlertLogLevel::Warning},
        {"65536", "3", 0, AlertLogLevel::Error},       // no event-log identifier
        {"4294967295", "4", 0, AlertLogLevel::Error},  // -1 as the file stores it
        {"7", "9", 7, AlertLogLevel::Information},     // an unknown severity
    };
    for (const Row& row : rows) {
        const auto entry = EntryOf(With(With(SampleAlert("W32.X", "m"), "uSpecificTrap", row.trap),
                                        "uSeverity", row.severity));
        EXPECT_EQ(entry.id, row.id) << row.trap;
        EXPECT_EQ(entry.level, row.level) << row.severity;
    }
    EXPECT_EQ(KX_EVENT_ALERTS_HIGHEST_ID, 65535u);
}

TEST(AlertLogEntry, StringsAreTheTextThenEveryValueInFileOrderThenTheAlertId) {
    const auto entry = EntryOf(SampleAlert("W32.Caf\xe9", "Found it.\r\nSecond line"));
    ASSERT_EQ(entry.strings.size(), 1 + kAlertKeyCount + 1);
    const std::string alertId = "scanhost/00000007.ALR/1700000000.000000005";
    // %1: the message first, then the keys by name, Latin-1 made UTF-8.
    EXPECT_EQ(entry.strings[0].rfind("Found it.\r\nSecond line\r\n\r\nuFileVersion: 1\r\n", 0), 0u)
        << entry.strings[0];
    EXPECT_NE(entry.strings[0].find("\r\nszVirusName: W32.Caf\xc3\xa9\r\n"), std::string::npos);
    EXPECT_EQ(entry.strings[0].find("szActualMessage"), std::string::npos);
    EXPECT_TRUE(entry.strings[0].ends_with("\r\nuSpecificTrap: 1000\r\nalertId: " + alertId));
    // %2 on: the values by position, as the key table orders them.
    for (std::size_t i = 0; i < kAlertKeyCount; ++i) {
        const std::string_view key = kAlertKeys[i].name;
        const std::string* value = entry.strings.size() > i + 1 ? &entry.strings[1 + i] : nullptr;
        if (key == "szVirusName") {
            EXPECT_EQ(*value, "W32.Caf\xc3\xa9");
        } else if (key == "uSpecificTrap") {
            EXPECT_EQ(*value, "1000");
        } else if (key == "szComputerName") {
            EXPECT_EQ(*value, "scanhost");
        }
    }
    EXPECT_EQ(entry.strings[kAlertKeyCount], "Found it.\r\nSecond line");
    EXPECT_EQ(entry.strings.back(), alertId);
}

TEST(AlertLogEntry, StringTooLongForTheEventLogIsCutAtACharacter) {
    // Two-byte characters across the limit: the cut never splits one.
    const std::string message(40000, '\xe9');
    const auto entry = EntryOf(SampleAlert("W32.X", message));
    for (const std::string& text : {entry.strings[0], entry.strings[kAlertKeyCount]}) {
        EXPECT_LE(text.size(), collect::kMaxInsertionString);
        EXPECT_GT(text.size(), collect::kMaxInsertionString - 8);
        ASSERT_TRUE(text.ends_with("\xc3\xa9 [cut]")) << text.substr(text.size() - 10);
    }
}

}  // namespace
}  // namespace kx::test
