// catalogue_test.cpp: event definitions read from the system's registry, as written by the
// system's reg tool: value types, language fallback, defaults and product names.
#include <cstring>
#include <string>

#include "event_library.h"
#include "harness.h"

namespace kx::wine {
namespace {

class CatalogueTest : public WineTest {
  protected:
    std::string EventKey(std::string_view language, int event) const {
        return std::string(kEventsKey) + "\\" + std::string(language) + "\\" +
               std::to_string(event);
    }
    // The long description of `event` as the query hands it out (variables unexpanded).
    std::string QueryText(int event, int* result = nullptr) {
        EventLibrary library(JoinPath(InstallDir(), "KXEvent.DLL"));
        EXPECT_TRUE(library.loaded()) << library.error();
        if (!library.loaded()) return {};
        auto records = NewRecords();
        char text[1024] = {};
        const int code = library.Query(1, event, *records, text, sizeof text);
        if (result != nullptr) *result = code;
        last_ = *records;
        return text;
    }
    Records last_{};
};

TEST_F(CatalogueTest, QueryJoinsTheDescriptionAndTheAppendTextUnexpanded) {
    Import(BaseRegistry());
    int result = -1;
    EXPECT_EQ(QueryText(1000, &result),
              "The virus %VIRUSNAME% was found in %FILENAME% by %TASKNAME%. (on %COMPUTERNAME%)");
    EXPECT_EQ(result, EVENT_OK);
    EXPECT_STREQ(last_.detail.szEventName, "Virus found");
    EXPECT_STREQ(last_.message.szURL, "http://help.example/event");  // from the defaults
    EXPECT_EQ(last_.message.uSeverity, 3u);
}

TEST_F(CatalogueTest, AnUnknownEventIsReportedAndLeavesTheRecordsAlone) {
    Import(BaseRegistry());
    EventLibrary library(JoinPath(InstallDir(), "KXEvent.DLL"));
    ASSERT_TRUE(library.loaded()) << library.error();
    auto records = NewRecords();
    std::strcpy(records->message.szLongDescript, "mine");
    char text[16] = "untouched";
    EXPECT_EQ(library.Query(1, 4242, *records, text, sizeof text), EVENT_ERR_NO_DEFINITION);
    EXPECT_STREQ(text, "untouched");
    EXPECT_STREQ(records->message.szLongDescript, "mine");
}

TEST_F(CatalogueTest, SeverityIsTakenFromTheFirstByteOfWhateverTypeIsStored) {
    RegFile reg = BaseRegistry();
    reg.Key(EventKey("0901", 1)).Dword("SEVERITY", 259);
    reg.Key(EventKey("0901", 2)).String("SEVERITY", "3");
    reg.Key(EventKey("0901", 3)).Hex("SEVERITY", {0x04, 0x00}, 3);
    reg.Key(EventKey("0901", 4)).Dword("SEVERITY", 7);
    reg.Key(EventKey("0901", 5)).String("ID", "no severity of its own");
    Import(reg);
    EventLibrary library(JoinPath(InstallDir(), "KXEvent.DLL"));
    ASSERT_TRUE(library.loaded()) << library.error();
    const std::pair<int, std::uint32_t> expected[] = {{1, 3}, {2, 1}, {3, 4}, {4, 1}, {5, 1}};
    for (const auto& [event, severity] : expected) {
        auto records = NewRecords();
        ASSERT_EQ(library.Query(1, event, *records, nullptr, 0), EVENT_OK) << event;
        EXPECT_EQ(records->message.uSeverity, severity) << "event " << event;
    }
}

TEST_F(CatalogueTest, AlwaysAlertIsSetOnlyByATextStartingWithOne) {
    RegFile reg = BaseRegistry();
    reg.Key(EventKey("0901", 1)).String("Always Alert", "1");
    reg.Key(EventKey("0901", 2)).String("Always Alert", "10");
    reg.Key(EventKey("0901", 3)).Dword("Always Alert", 1);
    reg.Key(EventKey("0901", 4)).Dword("Always Alert", 49);
    reg.Key(EventKey("0901", 5)).String("Always Alert", "0");
    Import(reg);
    EventLibrary library(JoinPath(InstallDir(), "KXEvent.DLL"));
    ASSERT_TRUE(library.loaded()) << library.error();
    const std::pair<int, std::uint32_t> expected[] = {{1, 1}, {2, 1}, {3, 0}, {4, 1}, {5, 0}};
    for (const auto& [event, flag] : expected) {
        auto records = NewRecords();
        records->detail.bAlwaysAlert = 7;
        ASSERT_EQ(library.Query(1, event, *records, nullptr, 0), EVENT_OK) << event;
        EXPECT_EQ(records->detail.bAlwaysAlert, flag) << "event " << event;
    }
}

TEST_F(CatalogueTest, AValueTooLargeForItsBufferFallsBackToTheDefault) {
    RegFile reg = BaseRegistry();
    reg.Key(EventKey("0901", 7)).String("SHORTDESCRIPT", std::string(40, 's'));
    Import(reg);
    QueryText(7);
    EXPECT_STREQ(last_.message.szShortDescript, "An event");
}

TEST_F(CatalogueTest, AnEventMissingInThePreferredLanguageComesFromEnglish) {
    RegFile reg = BaseRegistry();
    reg.Key(kAlertingKey).String("szPreferredLanguage", "0407");
    reg.Key(std::string(kEventsKey) + "\\0407\\Defaults")
        .String("ID", "Ereignis")
        .String("RESOLUTION", "Nichts zu tun.")
        .String("Append", "(auf %COMPUTERNAME%)");
    reg.Key(EventKey("0407", 2000)).String("LONGDESCRIPT", "Deutsch.");
    Import(reg);
    EXPECT_EQ(QueryText(2000), "Deutsch.(auf %COMPUTERNAME%)");
    EXPECT_STREQ(last_.detail.szLanguageCode, "0407");
    // Event 1000 exists only in English; its gaps are filled from the German defaults.
    EXPECT_EQ(QueryText(1000),
              "The virus %VIRUSNAME% was found in %FILENAME% by %TASKNAME%. (auf %COMPUTERNAME%)");
    EXPECT_STREQ(last_.message.szResolution, "Nichts zu tun.");
}

TEST_F(CatalogueTest, ProductNumbersOutOfTheTableTakeTheResourceName) {
    Import(BaseRegistry());
    EventLibrary library(JoinPath(InstallDir(), "KXEvent.DLL"));
    ASSERT_TRUE(library.loaded()) << library.error();
    auto records = NewRecords();
    ASSERT_EQ(library.Populate(15, nullptr, *records), EVENT_OK);
    EXPECT_EQ(std::string(records->message.szSoftwareName),
              ResourceSourceString("0901", 142).substr(0, 15));
    std::strcpy(records->message.szSoftwareName, "Own Name");
    ASSERT_EQ(library.Populate(0, nullptr, *records), EVENT_OK);
    EXPECT_STREQ(records->message.szSoftwareName, "Own Name");
    ASSERT_EQ(library.Populate(3, nullptr, *records), EVENT_OK);
    EXPECT_STRNE(records->message.szSoftwareName, "Own Name");
    EXPECT_NE(records->message.szSoftwareName[0], '\0');
}

}  // namespace
}  // namespace kx::wine
