// alert_file_test.cpp: reading central alert files back, and refusing broken ones.
#include "tools/kxevent/alert_file.h"

#include <gtest/gtest.h>

#include "tools/admin/errors.h"

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
    ASSERT_EQ(alert.entries.size(), 27u);
    EXPECT_EQ(*alert.Find("szVirusName"), "Worm");
    EXPECT_EQ(*alert.Find("uYear"), "7");
    EXPECT_EQ(*alert.Find("szActualMessage"), "hello");
}

TEST(AlertFileParse, ValuesWithLineBreaksSpanSeveralLines) {
    const AlertFile alert = ParseAlertFile(AlertText("two\r\nlines", "a\r\nb\r\nc"), "f.ALR");
    EXPECT_EQ(*alert.Find("szVirusName"), "two\r\nlines");
    EXPECT_EQ(*alert.Find("szActualMessage"), "a\r\nb\r\nc");
}

TEST(AlertFileParse, EmptyTextsAndSpecialCharactersAreKeptAsWritten) {
    const AlertFile alert = ParseAlertFile(AlertText("", "x=[y]"), "f.ALR");
    EXPECT_EQ(*alert.Find("szVirusName"), "");
    EXPECT_EQ(*alert.Find("szActualMessage"), "x=[y]");
}

TEST(AlertFileParse, RefusesAWrongSectionLine) {
    std::string text = AlertText();
    text.replace(0, 14, "[OtherSection]");
    EXPECT_EQ(ErrorOf(text), "f.ALR: line 1: expected the section line [CentralAlert]");
}

TEST(AlertFileParse, RefusesANumberKeyWithText) {
    std::string text = AlertText();
    text.replace(text.find("uMonth=7"), 8, "uMonth=July");
    EXPECT_EQ(ErrorOf(text), "f.ALR: line 11: uMonth= needs an unsigned number");
}

TEST(AlertFileParse, RefusesANumberBeyondThirtyTwoBits) {
    std::string text = AlertText();
    text.replace(text.find("uDay=7"), 6, "uDay=4294967296");
    EXPECT_EQ(ErrorOf(text), "f.ALR: line 12: uDay= needs an unsigned number");
}

TEST(AlertFileParse, RefusesAMissingKeyAfterANumber) {
    std::string text = AlertText();
    text.erase(text.find("uMinute=7\r\n"), 11);
    EXPECT_EQ(ErrorOf(text), "f.ALR: line 14: expected the key uMinute");
}

TEST(AlertFileParse, RefusesAFileCutShort) {
    const std::string text = AlertText();
    EXPECT_EQ(ErrorOf(text.substr(0, text.size() - 2)),
              "f.ALR: line 28: the line has no line end; the file is incomplete");
    const std::string head = text.substr(0, text.find("uHour"));
    EXPECT_EQ(ErrorOf(head), "f.ALR: line 13: the file ends before the key uHour");
    EXPECT_EQ(ErrorOf(""), "f.ALR: line 1: the file is empty");
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

}  // namespace
}  // namespace kx::tool
