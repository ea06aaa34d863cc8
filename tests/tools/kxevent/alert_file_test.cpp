// alert_file_test.cpp: reading central alert files back, and refusing broken ones.
#include "tools/kxevent/alert_file.h"

#include <gtest/gtest.h>

#include "collector/alert_record.h"
#include "collector/spool.h"
#include "delivery/alert_file.h"
#include "support.h"
#include "tools/admin/errors.h"
#include "tools/admin/registry_files.h"
#include "tools/kxevent/send_command.h"

namespace kx::tool {
namespace {

// A complete alert file with `message` as szActualMessage and `virus` as szVirusName.
std::string AlertText(const std::string& virus = "V", const std::string& message = "M") {
    std::string text = "[CentralAlert]\r\n";
    for (const AlertKeyName& key : kAlertKeys) {
        std::string value = key.number ? "7" : "t";
        if (key.name == "szVirusName") value = virus;
        if (key.name == "szActualMessage") value = message;
        text += std::string(key.name) + "=" + value + "\r\n";
    }
    return text;
}

std::string ErrorOf(const std::string& text) {
    try {
        ParseAlertFile(text, "f.ALR");
    } catch (const RuntimeError& error) {
        return error.what();
    }
    return "";
}

TEST(AlertFileParse, ReadsAllKeysInOrder) {
    const AlertFile alert = ParseAlertFile(AlertText("Worm", "hello"), "f.ALR");
    ASSERT_EQ(alert.values.size(), 27u);
    EXPECT_EQ(*alert.Find("szVirusName"), "Worm");
    EXPECT_EQ(*alert.Find("uYear"), "7");
    EXPECT_EQ(*alert.Find("szActualMessage"), "hello");
}

TEST(AlertFileParse, OnlyTheLastValueSpansSeveralLines) {
    const AlertFile alert = ParseAlertFile(AlertText("V", "a\r\nb\r\nc"), "f.ALR");
    EXPECT_EQ(*alert.Find("szActualMessage"), "a\r\nb\r\nc");
    EXPECT_EQ(ErrorOf(AlertText("two\r\nlines")), "f.ALR: line 5: expected the key szItemName");
}

TEST(AlertFileParse, EmptyTextsAndSpecialCharactersAreKeptAsWritten) {
    const AlertFile alert = ParseAlertFile(AlertText("", "x=[y]"), "f.ALR");
    EXPECT_EQ(*alert.Find("szVirusName"), "");
    EXPECT_EQ(*alert.Find("szActualMessage"), "x=[y]");
}

TEST(AlertFileParse, RefusesAWrongSectionLine) {
    std::string text = AlertText();
    text.replace(0, 14, "[OtherSection]");
    EXPECT_EQ(ErrorOf(text),
              "f.ALR: line 1: expected the section line [CentralAlert] ended by CR LF");
}

TEST(AlertFileParse, RefusesANumberKeyWithText) {
    std::string text = AlertText();
    text.replace(text.find("uMonth=7"), 8, "uMonth=July");
    EXPECT_EQ(ErrorOf(text), "f.ALR: line 11: uMonth needs an unsigned 32-bit number");
}

TEST(AlertFileParse, RefusesANumberBeyondThirtyTwoBits) {
    std::string text = AlertText();
    text.replace(text.find("uDay=7"), 6, "uDay=4294967296");
    EXPECT_EQ(ErrorOf(text), "f.ALR: line 12: uDay needs an unsigned 32-bit number");
}

TEST(AlertFileParse, RefusesAMissingKeyAfterANumber) {
    std::string text = AlertText();
    text.erase(text.find("uMinute=7\r\n"), 11);
    EXPECT_EQ(ErrorOf(text), "f.ALR: line 14: expected the key uMinute");
}

TEST(AlertFileParse, RefusesAFileCutShort) {
    const std::string text = AlertText();
    EXPECT_EQ(ErrorOf(text.substr(0, text.size() - 2)),
              "f.ALR: line 28: szActualMessage is not ended by CR LF");
    EXPECT_EQ(ErrorOf(text.substr(0, text.find("uHour") - 1)),
              "f.ALR: line 12: the line has no line end; the file is incomplete");
    const std::string head = text.substr(0, text.find("uHour"));
    EXPECT_EQ(ErrorOf(head), "f.ALR: line 13: expected the key uHour");
    EXPECT_EQ(ErrorOf(""),
              "f.ALR: line 1: expected the section line [CentralAlert] ended by CR LF");
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// The same file to alert show's reading and to the collector's: both take it, or both refuse
// it at the same line for the same reason.
TEST(AlertFileParse, TheCommandAndTheCollectorTakeAndRefuseTheSameFiles) {
    const std::string good = AlertText();
    const struct {
        const char* what;
        std::string text;
        int line;  // -1: an alert
    } cases[] = {
        {"as the library writes it", good, -1},
        {"LF line ends", Replaced(good, "\r\n", "\n"), 1},
        {"LF after one key", Replaced(good, "uStatus=7\r\n", "uStatus=7\n"), 3},
        {"a leading zero", Replaced(good, "uYear=7", "uYear=007"), 10},
        {"a sign", Replaced(good, "uDay=7", "uDay=+7"), 12},
        {"a line break in a one-line text", AlertText("a\r\nb"), 5},
        {"a CR in a one-line text", AlertText("a\rb"), 4},
        {"a NUL byte", AlertText(std::string("a\0b", 3)), 4},
        {"larger than 64 KiB", AlertText("V", std::string(70000, 'm')), 0},
        {"keys out of order", Replaced(good, "szUserName", "szUser"), 6},
        {"empty", "", 1},
    };
    const test::TempDir dir;
    collect::Spool spool(dir.path(), std::nullopt, [](const std::string&) {});
    for (const auto& c : cases) {
        const std::filesystem::path file = dir / "00000001.ALR";
        test::WriteFile(file, c.text);
        const collect::LoadedAlert collected = spool.Load("00000001.ALR");
        std::string shown;
        try {
            EXPECT_EQ(ParseAlertFile(ReadWholeFile(file), "f.ALR").values.size(), 27u) << c.what;
        } catch (const RuntimeError& error) {
            shown = error.what();
        }
        if (c.line < 0) {
            EXPECT_EQ(collected.kind, collect::LoadedAlert::Kind::Alert) << c.what;
            EXPECT_EQ(shown, "") << c.what;
            continue;
        }
        EXPECT_EQ(collected.kind, collect::LoadedAlert::Kind::Bad) << c.what;
        EXPECT_EQ(collected.failure.line, c.line) << c.what;
        const std::string line = c.line == 0 ? "" : "line " + std::to_string(c.line) + ": ";
        // The collector adds the size it found to the reason.
        const std::string& reason = collected.failure.reason;
        EXPECT_EQ(shown, "f.ALR: " + line + reason.substr(0, reason.find(" ("))) << c.what;
    }
}

// What the library's writer makes of a record, line by line, is what both readers take back:
// line breaks kept in the last value only.
TEST(AlertFileParse, TheWritersLinesAreWhatTheReadersTake) {
    const std::string_view virus = "W32.\"x\"\r\n[CentralAlert]";
    AlertRecord record{};
    record.szVirusName = virus;
    record.szComputerName = "host";
    record.uYear = 2024;
    record.uSeverity = 4;
    record.szActualMessage = "one\r\ntwo";
    const AlertKeyTable table = BuildAlertKeyTable(record);
    ASSERT_TRUE(table);
    std::string text(kAlertSectionLine);
    char line[kAlertLineSize];
    for (const AlertKey* key = table.get(); key->name != nullptr; ++key) {
        const bool number = key->kind == AlertKeyKind::kNumber;
        text.append(line,
                    FormatAlertLine(key->name, number, number ? *key->number : 0, key->text, line));
    }
    EXPECT_EQ(text.substr(0, 43), "[CentralAlert]\r\nuFileVersion=1\r\nuStatus=0\r\n");
    const AlertFile shown = ParseAlertFile(text, "f.ALR");
    const test::TempDir dir;
    test::WriteFile(dir / "1.ALR", text);
    const collect::LoadedAlert collected =
        collect::Spool(dir.path(), std::nullopt, [](const std::string&) {}).Load("1.ALR");
    ASSERT_EQ(collected.kind, collect::LoadedAlert::Kind::Alert) << collected.failure.reason;
    for (const AlertFile& alert : {shown, collected.alert}) {
        EXPECT_EQ(alert.Value("szVirusName"), "W32.\"x\"  [CentralAlert]");
        EXPECT_EQ(alert.Value("szItemName"), "");
        EXPECT_EQ(alert.Value("uYear"), "2024");
        EXPECT_EQ(alert.Value("szActualMessage"), "one\r\ntwo");
    }
}

// alert show and the collector take the ready files of a directory in one order: lowest number
// first, nothing but "NUMBER.ALR" regular files.
TEST(AlertFileList, TheCommandAndTheCollectorListInOneOrder) {
    const test::TempDir dir;
    for (const char* name : {"00000010.ALR", "9.ALR", "100.ALR", "-5.ALR", "00000100.ALR",
                             "abc.ALR", "00000002.TMP", "7.alr"})
        test::WriteFile(dir / name, "x");
    std::filesystem::create_directory(dir / "3.ALR");
    const std::vector<std::string> expected = {"-5.ALR", "9.ALR", "00000010.ALR", "00000100.ALR",
                                               "100.ALR"};
    std::error_code error;
    std::vector<std::string> shown;
    for (const auto& file : ListAlertFiles(dir.path(), error)) shown.push_back(file.filename());
    EXPECT_EQ(shown, expected);
    collect::Spool spool(dir.path(), std::nullopt, [](const std::string&) {});
    std::vector<std::string> collected = spool.Scan(100).names;
    std::erase(collected, "3.ALR");  // the collector sets a directory aside when it reads it
    EXPECT_EQ(collected, expected);
}

TEST(AlertFileShow, TableEscapesControlCharacters) {
    const AlertFile alert = ParseAlertFile(AlertText("a\tb", "l1\r\nl2"), "f.ALR");
    const std::string table = FormatAlertTable(alert);
    EXPECT_NE(table.find("szVirusName          a\\tb\n"), std::string::npos) << table;
    EXPECT_NE(table.find("szActualMessage      l1\\r\\nl2\n"), std::string::npos) << table;
}

TEST(AlertFileShow, JsonKeepsNumbersAsNumbersAndEscapesTexts) {
    const AlertFile alert = ParseAlertFile(AlertText("q\"\\", "m"), "f.ALR");
    const std::string json = FormatAlertJson(alert, "dir/f.ALR");
    EXPECT_EQ(json.rfind("{\"file\": \"dir/f.ALR\", \"CentralAlert\": {\"uFileVersion\": 7,", 0),
              0u)
        << json;
    EXPECT_NE(json.find("\"szVirusName\": \"q\\\"\\\\\""), std::string::npos) << json;
}

TEST(AlertFileShow, JsonStringTakesStrayHighBytesAsLatin1AndKeepsUtf8) {
    EXPECT_EQ(JsonString("M\xFC"
                         "ller"),
              "\"M\xC3\xBC"
              "ller\"");
    EXPECT_EQ(JsonString("M\xC3\xBC"
                         "ller"),
              "\"M\xC3\xBC"
              "ller\"");
    EXPECT_EQ(JsonString(std::string("a\x01", 2)), "\"a\\u0001\"");
    // A surrogate's bytes are not UTF-8: each is a Latin-1 character, so the JSON stays valid
    // (its last byte is the C1 control U+0080, escaped).
    EXPECT_EQ(JsonString("\xED\xA0\x80"), "\"\xC3\xAD\xC2\xA0\\u0080\"");
}

TEST(AlertFileShow, JsonStringEscapesC1ControlsWhetherStoredAsUtf8OrAsOneByte) {
    // U+009B is the one-character form of ESC [: raw, it would reach the terminal as a command.
    EXPECT_EQ(JsonString("\xC2\x9B"
                         "31m"),
              "\"\\u009b31m\"");
    EXPECT_EQ(JsonString("a\x85z\x9F"), "\"a\\u0085z\\u009f\"");
    EXPECT_EQ(JsonString("\xC2\x80\xC2\xA0"), "\"\\u0080\xC2\xA0\"");  // NBSP is no control
}

// Of the alert files that appeared during a send, only those that can be the send's own are
// shown as it: the only one, or of several those with the send's message ID.
TEST(AlertFileParse, ASendsOwnAlertFileIsTheOneWithItsMessageId) {
    namespace fs = std::filesystem;
    test::TempDir dir;
    const auto withId = [&](const char* name, const char* id) {
        const fs::path file = dir / name;
        test::WriteFile(file,
                        id ? Replaced(AlertText(), "uMessageID=7", std::string("uMessageID=") + id)
                           : std::string("not an alert"));
        return file;
    };
    const fs::path a = withId("1.ALR", "42");
    const fs::path b = withId("2.ALR", "43");
    const fs::path c = withId("3.ALR", "42");
    const fs::path bad = withId("4.ALR", nullptr);
    const struct {
        std::vector<fs::path> appeared;
        std::optional<std::uint32_t> messageId;
        std::vector<fs::path> own;
    } cases[] = {
        {{}, 42, {}},
        {{b}, 42, {b}},  // the only one is the send's, whatever it holds
        {{a, b}, 42, {a}},
        {{a, b, bad}, 43, {b}},
        {{a, b, c}, 42, {a, c}},         // cannot be told apart: both named, neither chosen
        {{a, b}, std::nullopt, {a, b}},  // a resend knows no message ID
        {{b, bad}, 42, {}},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(testing::PrintToString(row.appeared));
        EXPECT_EQ(SendsAlertFiles(row.appeared, row.messageId), row.own);
    }
}

}  // namespace
}  // namespace kx::tool
