// locale_test.cpp: the resource module chosen by the locales. Wine derives the user's and the
// system's locale from the Unix locale it is started under (LC_ALL), so the script runs the
// first case under several; the thread's own locale is varied in-process.
#include <algorithm>
#include <iterator>
#include <string>

#include "event_library.h"
#include "harness.h"

namespace kx::wine {
namespace {

// The resource directory that must load for a user's locale, for the locales the suite is run
// under (scripts/wine-test.sh runs this case under each of them).
struct LocaleRow {
    LANGID locale;
    const char* language;
};
constexpr LocaleRow kLocaleRows[] = {
    {0x0409, "0901"},  // en_US and the C locale
    {0x0809, "0901"},  // en_GB: Res0902 is missing, Res0901 serves
    {0x0407, "0701"},  // de_DE
    {0x040c, "0c01"},  // fr_FR
    {0x0c0c, "0c01"},  // fr_CA: Res0c03 is missing, Res0c01 serves
    {0x0411, "1101"},  // ja_JP
    {0x0410, "0901"},  // it_IT: no Italian module, the chain ends at English
};

class SystemLocaleTest : public WineTest {};

TEST_F(SystemLocaleTest, TheUsersLocaleChoosesTheResourceModule) {
    const LANGID user = LANGIDFROMLCID(::GetUserDefaultLCID());
    ASSERT_EQ(LANGIDFROMLCID(::GetThreadLocale()), user);
    const auto* row = std::find_if(std::begin(kLocaleRows), std::end(kLocaleRows),
                                   [&](const LocaleRow& r) { return r.locale == user; });
    ASSERT_NE(row, std::end(kLocaleRows)) << "no expectation for locale " << std::hex << user;
    Import(BaseRegistry());
    EventLibrary library(JoinPath(InstallDir(), "KXEvent.DLL"));
    ASSERT_TRUE(library.loaded()) << library.error();
    auto records = NewRecords();
    ASSERT_EQ(library.Populate(0, nullptr, *records), EVENT_OK);
    EXPECT_STREQ(records->detail.szLanguageCode, row->language);
    // Product number 0 with an empty name takes string 142 of the module that loaded.
    EXPECT_EQ(std::string(records->message.szSoftwareName),
              ResourceSourceString(row->language, 142).substr(0, 15));
}

class ThreadLocaleTest : public WineTest {};

TEST_F(ThreadLocaleTest, TheThreadsLocaleComesBeforeTheUsers) {
    Import(BaseRegistry());
    const ScopedThreadLocale japanese(MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT), 0));
    EventLibrary library(JoinPath(InstallDir(), "KXEvent.DLL"));
    ASSERT_TRUE(library.loaded()) << library.error();
    auto records = NewRecords();
    ASSERT_EQ(library.Populate(1, nullptr, *records), EVENT_OK);
    EXPECT_STREQ(records->detail.szLanguageCode, "1101");
}

TEST_F(ThreadLocaleTest, ThePreferredLanguageReplacesTheModulesLanguage) {
    RegFile reg = BaseRegistry();
    reg.Key(kAlertingKey).String("szPreferredLanguage", "0c01");
    Import(reg);
    EventLibrary library(JoinPath(InstallDir(), "KXEvent.DLL"));
    ASSERT_TRUE(library.loaded()) << library.error();
    auto records = NewRecords();
    ASSERT_EQ(library.Populate(0, nullptr, *records), EVENT_OK);
    EXPECT_STREQ(records->detail.szLanguageCode, "0c01");
    // The strings still come from the module that loaded (English).
    EXPECT_EQ(std::string(records->message.szSoftwareName),
              ResourceSourceString("0901", 142).substr(0, 15));
}

TEST_F(ThreadLocaleTest, OnlyTheInstalledLanguagesResourceModulesAreLookedFor) {
    // An installation with the German module alone, for a German thread: it loads from there.
    const std::string german = Scratch() / "german";
    for (const char* module :
         {"KXEvent.DLL", "KXKRNL.DLL", "KXUTIL.DLL", "Res0701\\kxUtlRes.dll"}) {
        CopyFileTo(JoinPath(BuiltInstallDirectory(), module), JoinPath(german, module));
    }
    const ScopedEnv core("VEL_DEBUGCORE", german);
    Import(BaseRegistry());
    const ScopedThreadLocale austrian(
        MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN_AUSTRIAN), 0));
    EventLibrary library(JoinPath(german, "KXEvent.DLL"));
    ASSERT_TRUE(library.loaded()) << library.error();
    auto records = NewRecords();
    ASSERT_EQ(library.Populate(1, nullptr, *records), EVENT_OK);
    EXPECT_STREQ(records->detail.szLanguageCode, "0701");
}

}  // namespace
}  // namespace kx::wine
