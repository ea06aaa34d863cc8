// regfile_test.cpp: reading and writing registry files as plain data.
#include "platform/regfile.h"

#include <gtest/gtest.h>

#include <random>

#include "support.h"

namespace {

using kx::reg::Deletion;
using kx::reg::Document;
using kx::reg::FindKey;
using kx::reg::FindValue;
using kx::reg::Parse;
using kx::reg::Serialize;
using Bytes = std::vector<std::uint8_t>;

Bytes Text(std::string_view text) {
    Bytes bytes(text.begin(), text.end());
    bytes.push_back(0);
    return bytes;
}

const kx::reg::Value& ValueOf(const Document& document, std::string_view key,
                              std::string_view name) {
    const kx::reg::Key* found = FindKey(document, key);
    if (!found) throw std::runtime_error("no key");
    const kx::reg::Value* value = FindValue(*found, name);
    if (!value) throw std::runtime_error("no value");
    return *value;
}

TEST(PlatRegFileParse, ReadsEveryValueForm) {
    const Document document = Parse(
        "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\A]\r\n"
        "\"Text\"=\"C:\\\\Dir \\\"quoted\\\"\"\r\n"
        "\"Number\"=dword:0000abcd\r\n"
        "\"Blob\"=hex:01,02,ff\r\n"
        "\"Expand\"=hex(2):25,00\r\n"
        "@=\"unnamed\"\r\n");
    EXPECT_EQ(ValueOf(document, "Software\\A", "Text").data, Text("C:\\Dir \"quoted\""));
    EXPECT_EQ(ValueOf(document, "Software\\A", "Text").type, 1u);
    EXPECT_EQ(ValueOf(document, "Software\\A", "Number").data, (Bytes{0xcd, 0xab, 0, 0}));
    EXPECT_EQ(ValueOf(document, "Software\\A", "Number").type, 4u);
    EXPECT_EQ(ValueOf(document, "Software\\A", "Blob").data, (Bytes{1, 2, 0xff}));
    EXPECT_EQ(ValueOf(document, "Software\\A", "Blob").type, 3u);
    EXPECT_EQ(ValueOf(document, "Software\\A", "Expand").data, (Bytes{0x25, 0}));
    EXPECT_EQ(ValueOf(document, "Software\\A", "Expand").type, 2u);
    EXPECT_EQ(ValueOf(document, "Software\\A", "").data, Text("unnamed"));
}

TEST(PlatRegFileParse, AcceptsBothHeaders) {
    const char* body = "\n[HKEY_LOCAL_MACHINE\\K]\n\"v\"=dword:1\n";
    EXPECT_NE(FindKey(Parse(std::string("REGEDIT4") + body), "K"), nullptr);
    EXPECT_NE(FindKey(Parse(std::string("Windows Registry Editor Version 5.00") + body), "K"),
              nullptr);
}

TEST(PlatRegFileParse, WithoutHeaderYieldsNoKeys) {
    std::vector<kx::reg::ParseIssue> issues;
    EXPECT_TRUE(Parse("[HKEY_LOCAL_MACHINE\\K]\n\"v\"=dword:1\n", &issues).keys.empty());
    EXPECT_FALSE(issues.empty());
}

TEST(PlatRegFileParse, JoinsContinuedHexLines) {
    const Document document = Parse(
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"b\"=hex(7):61,00,\\\n  62,00,\\\n  00,00\n"
        "\"after\"=dword:2\n");
    EXPECT_EQ(ValueOf(document, "K", "b").data, (Bytes{0x61, 0, 0x62, 0, 0, 0}));
    EXPECT_EQ(ValueOf(document, "K", "b").type, 7u);
    EXPECT_EQ(ValueOf(document, "K", "after").data, (Bytes{2, 0, 0, 0}));
}

TEST(PlatRegFileParse, SkipsBadLinesAndKeepsTheRest) {
    std::vector<kx::reg::ParseIssue> issues;
    const Document document = Parse(
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n"
        "\"good1\"=dword:1\n"
        "\"unterminated=\"x\n"
        "\"bad\"=dword:xyz\n"
        "\"badhex\"=hex:1,zz\n"
        "\"open\"=\"no end\n"
        "garbage line\n"
        "; a comment\n"
        "\"toolong\"=dword:123456789\n"
        "\"good2\"=\"two\"\n",
        &issues);
    const kx::reg::Key* key = FindKey(document, "K");
    ASSERT_NE(key, nullptr);
    ASSERT_EQ(key->values.size(), 2u);
    EXPECT_EQ(key->values[0].name, "good1");
    EXPECT_EQ(key->values[1].name, "good2");
    ASSERT_EQ(issues.size(), 6u);
    EXPECT_EQ(issues.front().line, 4);
    EXPECT_EQ(issues.back().line, 10);
}

TEST(PlatRegFileParse, IgnoresKeysOfOtherRoots) {
    const Document document = Parse(
        "REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"v\"=dword:1\n[HKEY_LOCAL_MACHINEX\\K]\n"
        "\"v\"=dword:1\n[HKEY_LOCAL_MACHINE\\K]\n\"w\"=dword:2\n");
    ASSERT_EQ(document.keys.size(), 1u);
    EXPECT_EQ(document.keys[0].values.size(), 1u);
    EXPECT_EQ(document.keys[0].values[0].name, "w");
}

TEST(PlatRegFileParse, HonoursKeyAndValueDeletions) {
    const Document document = Parse(
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=dword:1\n\"y\"=dword:2\n"
        "[HKEY_LOCAL_MACHINE\\A\\Sub]\n\"z\"=dword:3\n[HKEY_LOCAL_MACHINE\\AB]\n"
        "[-HKEY_LOCAL_MACHINE\\a\\sub]\n[HKEY_LOCAL_MACHINE\\A]\n\"X\"=-\n");
    EXPECT_EQ(FindKey(document, "A\\Sub"), nullptr);
    EXPECT_NE(FindKey(document, "AB"), nullptr);
    ASSERT_NE(FindKey(document, "A"), nullptr);
    ASSERT_EQ(FindKey(document, "A")->values.size(), 1u);
    EXPECT_EQ(FindKey(document, "A")->values[0].name, "y");
}

TEST(PlatRegFileParse, ListsDeletionLinesInFileOrderWithTheirKey) {
    std::vector<Deletion> deletions;
    Parse(
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=-\n@=-\n[-HKEY_LOCAL_MACHINE\\B\\C\\]\n"
        "[-HKEY_CURRENT_USER\\D]\n",
        nullptr, &deletions);
    ASSERT_EQ(deletions.size(), 3u);  // another root's deletion is no deletion here
    EXPECT_EQ(deletions[0].line, 3);
    EXPECT_TRUE(deletions[0].isValue);
    EXPECT_EQ(deletions[0].path, "A");
    EXPECT_EQ(deletions[0].name, "x");
    EXPECT_TRUE(deletions[1].isValue);
    EXPECT_EQ(deletions[1].name, "");
    EXPECT_FALSE(deletions[2].isValue);
    EXPECT_EQ(deletions[2].path, "B\\C");
    EXPECT_EQ(deletions[2].line, 5);
}

TEST(PlatRegFileParse, DeletedKeysAndValuesDefinedAgainComeLast) {
    const Document document = Parse(
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=dword:1\n\"y\"=dword:2\n\"x\"=-\n\"X\"=dword:5\n"
        "[HKEY_LOCAL_MACHINE\\A\\Sub]\n[HKEY_LOCAL_MACHINE\\B]\n[-HKEY_LOCAL_MACHINE\\A]\n"
        "\"ignored\"=dword:0\n[HKEY_LOCAL_MACHINE\\a]\n\"z\"=dword:3\n");
    ASSERT_EQ(document.keys.size(), 2u);
    EXPECT_EQ(document.keys[0].path, "B");
    EXPECT_EQ(document.keys[1].path, "a");
    ASSERT_EQ(document.keys[1].values.size(), 1u);
    EXPECT_EQ(document.keys[1].values[0].name, "z");
    const Document values = Parse(
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=dword:1\n\"y\"=dword:2\n\"x\"=-\n\"X\"=dword:"
        "5\n");
    ASSERT_EQ(values.keys[0].values.size(), 2u);
    EXPECT_EQ(values.keys[0].values[0].name, "y");
    EXPECT_EQ(values.keys[0].values[1].name, "X");
}

TEST(PlatRegFileParse, KeyWithManyValuesKeepsDeletionsAndRedefinitions) {
    std::string text = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n";
    for (int v = 0; v < 20; ++v)
        text += "\"v" + std::to_string(v) + "\"=dword:" + std::to_string(v) + "\n";
    text += "\"V3\"=-\n\"V7\"=dword:77\n\"v3\"=dword:33\n\"V3\"=-\n\"v3\"=dword:34\n";
    const Document document = Parse(text);
    ASSERT_EQ(document.keys.size(), 1u);
    const auto& values = document.keys[0].values;
    ASSERT_EQ(values.size(), 20u);
    EXPECT_EQ(values[3].name, "v4");
    EXPECT_EQ(values[6].name, "V7");  // the later line's spelling, in the first place
    EXPECT_EQ(values[6].data, (Bytes{0x77, 0, 0, 0}));
    EXPECT_EQ(values.back().name, "v3");
    EXPECT_EQ(values.back().data, (Bytes{0x34, 0, 0, 0}));
}

TEST(PlatRegFileParse, LaterDefinitionWinsInItsFirstPlace) {
    const Document document = Parse(
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=dword:1\n\"y\"=dword:2\n"
        "[HKEY_LOCAL_MACHINE\\a]\n\"X\"=dword:9\n");
    ASSERT_EQ(document.keys.size(), 1u);
    ASSERT_EQ(document.keys[0].values.size(), 2u);
    EXPECT_EQ(document.keys[0].values[0].data, (Bytes{9, 0, 0, 0}));
}

TEST(PlatRegFileParse, ReadsUtf16FilesWithByteOrderMark) {
    const std::string narrow =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\K]\r\n\"v\"=\"abc\"\r\n";
    std::string wide = "\xFF\xFE";
    for (char c : narrow) {
        wide += c;
        wide += '\0';
    }
    const Document document = Parse(wide);
    EXPECT_EQ(ValueOf(document, "K", "v").data, Text("abc"));
}

TEST(PlatRegFileParse, SurvivesRandomBytes) {
    std::mt19937 random(1234);
    for (int round = 0; round < 200; ++round) {
        std::string text = round % 2 ? "REGEDIT4\n" : "";
        const std::size_t size = random() % 2000;
        for (std::size_t i = 0; i < size; ++i) {
            // Mostly characters that matter to the format, so that many lines half-parse.
            constexpr char kAlphabet[] =
                "[]\"\\=@:,hexdword(0123456789abcdefHKEY_LOCAL_MACHINE\n\r\0\xff";
            text += kAlphabet[random() % (sizeof kAlphabet - 1)];
        }
        const Document document = Parse(text);
        const Document again = Parse(Serialize(document));
        ASSERT_EQ(again.keys.size(), document.keys.size()) << round;
    }
}

TEST(PlatRegFileFind, MatchesKeysAndValuesWithoutRegardToCase) {
    Document document =
        Parse("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Velmora]\n\"Name\"=\"x\"\n");
    kx::reg::Key* key = FindKey(document, "SOFTWARE\\velmora");
    ASSERT_NE(key, nullptr);
    EXPECT_NE(FindValue(*key, "nAME"), nullptr);
    EXPECT_EQ(FindValue(*key, "Nam"), nullptr);
    EXPECT_EQ(FindKey(document, "Software"), nullptr);
}

TEST(PlatRegFileFind, IndexFindsKeysAndTrueSubkeysAsTheDocumentDoes) {
    Document document = Parse(
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Velmora]\n[HKEY_LOCAL_MACHINE\\Software\\AB]\n"
        "[HKEY_LOCAL_MACHINE\\Software\\A\\Deep\\Er]\n");
    document.keys.push_back({"software\\VELMORA", {}});  // a second key of one name
    const kx::reg::KeyIndex index(document);
    EXPECT_EQ(index.Find("SOFTWARE\\velmora"), &document.keys[0]);
    EXPECT_EQ(index.Find("Software\\A\\deep\\er"), &document.keys[2]);
    EXPECT_EQ(index.Find("Software\\A"), nullptr);
    for (const char* path : {"Software", "software\\a", "Software\\A\\Deep"}) {
        EXPECT_TRUE(index.HasSubkey(path)) << path;
        EXPECT_EQ(index.HasSubkey(path), kx::reg::HasSubkey(document, path)) << path;
    }
    for (const char* path : {"Software\\AB", "Software\\Velmor", "Soft", "Software\\A\\Deep\\Er"}) {
        EXPECT_FALSE(index.HasSubkey(path)) << path;
        EXPECT_EQ(index.HasSubkey(path), kx::reg::HasSubkey(document, path)) << path;
    }
}

TEST(PlatRegFileSerialize, RoundTripsEveryValueShape) {
    Document document;
    document.keys.push_back({"", {{"root", 1, Text("r")}}});
    document.keys.push_back({"Software\\Velmora\\QRD",
                             {{"", 1, Text("unnamed \"q\" \\ back")},
                              {"@", 1, Text("named at")},
                              {"dw", 4, {1, 2, 3, 4}},
                              {"short dword", 4, {1, 2}},
                              {"sz without end", 1, {'a', 'b'}},
                              {"sz with newline", 1, Text("a\r\nb")},
                              {"sz with zero", 1, {'a', 0, 'b', 0}},
                              {"empty binary", 3, {}},
                              {"long", 3, Bytes(300, 0xab)},
                              {"multi", 7, {'a', 0, 0}},
                              {"odd type", 0x12345, {9}},
                              {"quote\"and\\slash", 2, Text("%PATH%")}}});
    const std::string text = Serialize(document);
    EXPECT_TRUE(text.starts_with("REGEDIT4\r\n"));
    std::vector<kx::reg::ParseIssue> issues;
    const Document again = Parse(text, &issues);
    EXPECT_TRUE(issues.empty()) << issues.front().message;
    ASSERT_EQ(again.keys.size(), document.keys.size());
    for (std::size_t k = 0; k < document.keys.size(); ++k) {
        EXPECT_EQ(again.keys[k].path, document.keys[k].path);
        ASSERT_EQ(again.keys[k].values.size(), document.keys[k].values.size());
        for (std::size_t v = 0; v < document.keys[k].values.size(); ++v) {
            EXPECT_EQ(again.keys[k].values[v].name, document.keys[k].values[v].name);
            EXPECT_EQ(again.keys[k].values[v].type, document.keys[k].values[v].type);
            EXPECT_EQ(again.keys[k].values[v].data, document.keys[k].values[v].data);
        }
    }
}

TEST(PlatRegFileSerialize, ReadsWhatTheTestWriterWrites) {
    kx::test::RegFile file;
    file.Key("Software\\K").String("s", "v\\\"").Dword("d", 0x80000001).Hex("h", {1, 2}, 7);
    const Document document = Parse(file.Text());
    EXPECT_EQ(ValueOf(document, "Software\\K", "s").data, Text("v\\\""));
    EXPECT_EQ(ValueOf(document, "Software\\K", "d").data, (Bytes{1, 0, 0, 0x80}));
    EXPECT_EQ(ValueOf(document, "Software\\K", "h").type, 7u);
}

}  // namespace
