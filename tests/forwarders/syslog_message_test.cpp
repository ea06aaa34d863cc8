// syslog_message_test.cpp: events formatted as RFC 5424 messages, as traditional messages for
// the local socket and as entries of the journal's native protocol.
#include "forwarders/syslog/syslog_message.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "collector/alert_record.h"
#include "common/utf8.h"
#include "records.h"

namespace kx::fwd {
namespace {

constexpr plat::CalendarTime kNow{2024, 2, 29, 23, 59, 58};

// The three records with the values of a sample event.
struct SampleRecords : test::Records {
    SampleRecords() {
        std::strcpy(message.szGMTTime, "2024  5  1  9: 3: 7");
        std::strcpy(message.szComputerName, "HOST-1");
        std::strcpy(message.szLongDescript, "Found it.");
        message.uSeverity = 3;
    }
    std::string Format(const MessageHeader& header = {}) const {
        return FormatMessage(1, 1000, message, detail, header, kNow);
    }
};

TEST(SyslogMessage, HeaderCarriesPriorityTimeHostAppProcessAndEvent) {
    SampleRecords records;
    MessageHeader header;
    header.facility = 16;
    header.procId = "42";
    const std::string text = records.Format(header);
    EXPECT_EQ(text.rfind("<131>1 2024-05-01T09:03:07Z HOST-1 kxevent 42 1000 [kxevent@32473 ", 0),
              0u)
        << text;
}

// One event as FwdSyslog sends it and as the collector sends its alert file: the same header
// fields, parameter escaping, message and enterprise number.
TEST(SyslogMessage, FwdSyslogAndTheCollectorFormatTheSameTextsAlike) {
    SampleRecords records;
    std::strcpy(records.message.szComputerName, "scan host\xE9");
    std::strcpy(records.detail.szVirusName, "q\"]\\\x01");
    std::strcpy(records.message.szLongDescript, "one\r\ntwo\xE9");
    records.message.uSeverity = 4;
    MessageHeader header;
    header.enterpriseNumber = 12345;
    const std::string forwarded = records.Format(header);

    collect::Alert alert;
    for (const AlertKeyName& key : kAlertKeys) {
        std::string value = key.number ? "0" : "";
        if (key.name == "szComputerName") value = "scan host\xE9";
        if (key.name == "szVirusName") value = "q\"]\\\x01";
        if (key.name == "szActualMessage") value = "one\r\ntwo\xE9";
        if (key.name == "uSeverity") value = "4";
        if (key.name == "uSpecificTrap") value = "1000";
        const std::vector<std::pair<std::string, std::string>> time = {
            {"uYear", "2024"}, {"uMonth", "5"},  {"uDay", "1"},
            {"uHour", "9"},    {"uMinute", "3"}, {"uSecond", "7"}};
        for (const auto& [name, number] : time) {
            if (key.name == name) value = number;
        }
        alert.values.push_back({key.name, key.number, value});
    }
    const std::string collected = collect::FormatAlertMessage(alert, {"1.ALR", 0, 0}, 12345);

    for (const std::string& text : {forwarded, collected}) {
        EXPECT_EQ(text.rfind("<10>1 2024-05-01T09:03:07Z scan_host_ kxevent ", 0), 0u) << text;
        EXPECT_NE(text.find(" szVirusName=\"q\\\"\\]\\\\\\\\x01\""), std::string::npos) << text;
        EXPECT_TRUE(text.ends_with("] \xEF\xBB\xBFone\\r\\ntwo\xC3\xA9")) << text;
    }
    EXPECT_NE(forwarded.find(" - 1000 [kxevent@12345 "), std::string::npos) << forwarded;
    EXPECT_NE(collected.find(" - 1000 [kxalert@12345 "), std::string::npos) << collected;
}

TEST(SyslogMessage, DescriptionIsTheMessageAfterAByteOrderMark) {
    const std::string text = SampleRecords().Format();
    EXPECT_TRUE(
        text.ends_with("] \xEF\xBB\xBF"
                       "Found it."))
        << text;
}

TEST(SyslogMessage, EmptyDescriptionLeavesNoMessagePart) {
    SampleRecords records;
    records.message.szLongDescript[0] = 0;
    EXPECT_TRUE(records.Format().ends_with("]"));
}

TEST(SyslogMessage, StructuredDataHasProductEventNumbersAndNonEmptyTexts) {
    SampleRecords records;
    std::strcpy(records.detail.szVirusName, "W32.Test");
    records.detail.uNumVirs = 3;
    const std::string text = records.Format();
    EXPECT_NE(text.find(" uProductID=\"1\" uEventID=\"1000\""), std::string::npos);
    EXPECT_NE(text.find(" szVirusName=\"W32.Test\""), std::string::npos);
    EXPECT_NE(text.find(" uNumVirs=\"3\""), std::string::npos);
    EXPECT_EQ(text.find("szMailFromName"), std::string::npos);
    EXPECT_EQ(text.find("szLongDescript"), std::string::npos);
    EXPECT_EQ(text.find("Reserved"), std::string::npos);
}

TEST(SyslogMessage, ParamValuesEscapeQuoteBackslashAndBracket) {
    EXPECT_EQ(EscapeParamValue("a\"b\\c]d"), "a\\\"b\\\\c\\]d");
    SampleRecords records;
    std::strcpy(records.detail.szFileName, "C:\\x]\"y\"");
    EXPECT_NE(records.Format().find(" szFileName=\"C:\\\\x\\]\\\"y\\\"\""), std::string::npos);
}

TEST(SyslogMessage, FieldWithoutTerminatorIsReadOnlyToItsEnd) {
    SampleRecords records;
    std::memset(records.detail.szNoteID, 'n', sizeof records.detail.szNoteID);
    std::strcpy(records.detail.szNotesServerName, "SRV");
    EXPECT_NE(records.Format().find(" szNoteID=\"" + std::string(16, 'n') + "\""),
              std::string::npos);
}

TEST(SyslogMessage, EightBitTextBecomesUtf8) {
    EXPECT_EQ(ToUtf8("M\xFC"
                     "ller"),
              "M\xC3\xBC"
              "ller");
    EXPECT_EQ(ToUtf8("\xC3\xBC"), "\xC3\xBC");
    EXPECT_EQ(ToUtf8("\xC3"), "\xC3\x83");
}

// Only well-formed UTF-8 passes through: overlong forms, surrogates and code points above
// U+10FFFF are 8-bit text like any other, so the message after its BOM stays valid UTF-8.
TEST(SyslogMessage, MalformedUtf8IsTakenAsLatin1) {
    EXPECT_EQ(ToUtf8("\xE0\x80\x80"), "\xC3\xA0\xC2\x80\xC2\x80");
    EXPECT_EQ(ToUtf8("\xF0\x8F\xBF\xBF"), "\xC3\xB0\xC2\x8F\xC2\xBF\xC2\xBF");
    EXPECT_EQ(ToUtf8("\xED\xA0\x80"), "\xC3\xAD\xC2\xA0\xC2\x80");
    EXPECT_EQ(ToUtf8("\xF4\x90\x80\x80"), "\xC3\xB4\xC2\x90\xC2\x80\xC2\x80");
    EXPECT_EQ(ToUtf8("\xE0\xA0\x80"), "\xE0\xA0\x80");
    EXPECT_EQ(ToUtf8("\xED\x9F\xBF"), "\xED\x9F\xBF");
    EXPECT_EQ(ToUtf8("\xF0\x90\x80\x80"), "\xF0\x90\x80\x80");
    EXPECT_EQ(ToUtf8("\xF4\x8F\xBF\xBF"), "\xF4\x8F\xBF\xBF");
}

TEST(SyslogMessage, SeveritiesMapFromInformationToCritical) {
    EXPECT_EQ(SyslogSeverity(0), 6);
    EXPECT_EQ(SyslogSeverity(1), 5);
    EXPECT_EQ(SyslogSeverity(2), 4);
    EXPECT_EQ(SyslogSeverity(3), 3);
    EXPECT_EQ(SyslogSeverity(4), 2);
    EXPECT_EQ(SyslogSeverity(99), 5);
}

TEST(SyslogMessage, UnreadableRecordTimeFallsBackToTheClock) {
    EXPECT_EQ(Timestamp("", kNow), "2024-02-29T23:59:58Z");
    EXPECT_EQ(Timestamp("2024 13  1 00:00:00", kNow), "2024-02-29T23:59:58Z");
    EXPECT_EQ(Timestamp("2024 12 31 23:59:59 junk", kNow), "2024-02-29T23:59:58Z");
    EXPECT_EQ(Timestamp("2024 12 31 23:59:59", kNow), "2024-12-31T23:59:59Z");
}

TEST(SyslogMessage, HeaderTokensHoldOnlyPrintableCharactersWithinTheirLimit) {
    EXPECT_EQ(HeaderToken("my host", 255), "my_host");
    EXPECT_EQ(HeaderToken("", 48), "-");
    EXPECT_EQ(HeaderToken(std::string(60, 'a'), 48), std::string(48, 'a'));
}

TEST(SyslogMessage, EnterpriseNumberNamesTheStructuredData) {
    MessageHeader header;
    header.enterpriseNumber = 4711;
    EXPECT_NE(SampleRecords().Format(header).find(" [kxevent@4711 uProductID="), std::string::npos);
}

TEST(TraditionalMessage, HeaderHasPriorityLocalTimeTagAndProcess) {
    SampleRecords records;
    MessageHeader header;
    header.facility = 16;
    header.procId = "42";
    EXPECT_EQ(FormatTraditionalMessage(1000, records.message, header, {2024, 3, 5, 7, 8, 9}),
              "<131>Mar  5 07:08:09 kxevent[42]: Found it.");
}

TEST(TraditionalMessage, ControlsAreEscapedAndTheTagCannotEndEarly) {
    SampleRecords records;
    std::strcpy(records.message.szLongDescript, "a\nb\x01");
    MessageHeader header;
    header.appName = "my:app[x]";
    header.procId = "7";
    EXPECT_EQ(FormatTraditionalMessage(1000, records.message, header, kNow),
              "<11>Feb 29 23:59:58 my_app_x_[7]: a\\nb\\x01");
}

TEST(TraditionalMessage, EmptyDescriptionNamesTheEvent) {
    SampleRecords records;
    records.message.szLongDescript[0] = 0;
    EXPECT_TRUE(
        FormatTraditionalMessage(1000, records.message, {}, kNow).ends_with(": event 1000"));
}

// The fields of an entry, parsed as the journal parses a datagram.
std::map<std::string, std::string> JournalFields(std::string_view entry) {
    std::map<std::string, std::string> fields;
    while (!entry.empty()) {
        const std::size_t end = entry.find('\n');
        const std::string_view line = entry.substr(0, end);
        const std::size_t equals = line.find('=');
        if (equals != std::string_view::npos) {
            fields[std::string(line.substr(0, equals))] = std::string(line.substr(equals + 1));
            entry.remove_prefix(end + 1);
            continue;
        }
        std::uint64_t length = 0;
        for (int i = 7; i >= 0; --i) {
            length = (length << 8) | static_cast<unsigned char>(entry[end + 1 + i]);
        }
        fields[std::string(line)] = std::string(entry.substr(end + 9, length));
        EXPECT_EQ(entry[end + 9 + length], '\n');
        entry.remove_prefix(end + 10 + length);
    }
    return fields;
}

TEST(JournalEntry, CarriesMessageIdPriorityFacilityIdentifierAndRecordFields) {
    SampleRecords records;
    std::strcpy(records.detail.szVirusName, "W32.Test");
    records.detail.uNumVirs = 3;
    MessageHeader header;
    header.facility = 16;
    header.procId = "42";
    const auto fields =
        JournalFields(FormatJournalEntry(7, 1000, records.message, records.detail, header));
    EXPECT_EQ(fields.at("MESSAGE"), "Found it.");
    EXPECT_EQ(fields.at("MESSAGE_ID"), "6b78657665e24a1f00000007000003e8");
    EXPECT_EQ(fields.at("PRIORITY"), "3");
    EXPECT_EQ(fields.at("SYSLOG_FACILITY"), "16");
    EXPECT_EQ(fields.at("SYSLOG_IDENTIFIER"), "kxevent");
    EXPECT_EQ(fields.at("SYSLOG_PID"), "42");
    EXPECT_EQ(fields.at("KXEVENT_UPRODUCTID"), "7");
    EXPECT_EQ(fields.at("KXEVENT_SZVIRUSNAME"), "W32.Test");
    EXPECT_EQ(fields.at("KXEVENT_UNUMVIRS"), "3");
    EXPECT_EQ(fields.count("KXEVENT_SZLONGDESCRIPT"), 0u);
    EXPECT_EQ(fields.count("KXEVENT_SZMAILFROMNAME"), 0u);
}

TEST(JournalEntry, ValuesWithNewlinesUseTheLengthFormAndStayWhole) {
    SampleRecords records;
    std::strcpy(records.message.szLongDescript, "line 1\nline 2");
    std::strcpy(records.detail.szFileName, "M\xFC\n");
    const std::string entry = FormatJournalEntry(1, 1000, records.message, records.detail, {});
    EXPECT_EQ(entry.rfind(std::string("MESSAGE\n\x0D\0\0\0\0\0\0\0line 1\nline 2\n", 23), 0), 0u);
    const auto fields = JournalFields(entry);
    EXPECT_EQ(fields.at("MESSAGE"), "line 1\nline 2");
    EXPECT_EQ(fields.at("KXEVENT_SZFILENAME"), "M\xC3\xBC\n");
}

TEST(SyslogMessage, OctetCountingCountsBytes) {
    EXPECT_EQ(OctetCountingFrame("<13>1 - - - - - - \xEF\xBB\xBF"
                                 "x"),
              "22 <13>1 - - - - - - \xEF\xBB\xBF"
              "x");
}

}  // namespace
}  // namespace kx::fwd
