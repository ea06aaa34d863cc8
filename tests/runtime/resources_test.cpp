// resources_test.cpp: the five-locale search for the resource module on real directories, the
// language it fixes, the failures it keeps and the warning built from them.
#include "runtime/resources.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "layout.h"
#include "platform/testing.h"
#include "runtime/resource_errors.h"
#include "runtime/state.h"
#include "support.h"

namespace kx {
namespace {

using plat::Dword;
using plat::HookTable;
using plat::testing::ScopedHook;
using test::Built;
using test::Place;

// Locales and the warning box, as the hooks below report and capture them.
Dword threadLocale = 0x409;
Dword userLocale = 0x409;
Dword systemLocale = 0x409;
std::string executablePath;
int boxes = 0;
std::string boxText;
std::string boxCaption;

constexpr Dword kEnUs = 0x409;
constexpr Dword kGermanGermany = 0x407;
constexpr Dword kFrenchCanada = 0xC0C;  // primary 0x0c, sub-language 3
constexpr Dword kModuleNotFound = 126;

std::string SystemText(Dword error) {
    char text[261] = {};
    plat::FormatSystemMessage(error, text, 260);
    return text;
}

class ResourcesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        threadLocale = userLocale = systemLocale = kEnUs;
        boxes = 0;
        boxText.clear();
        boxCaption.clear();
        std::snprintf(LanguageCode, kLanguageCodeSize, "none");
    }
    void TearDown() override {
        if (module_) plat::FreeLibrary(module_);
    }

    void PlaceModule(std::string_view directory) {
        Place(Built("Res0901/kxUtlRes.dll"), base_, std::string(directory) + "/kxUtlRes.dll");
    }
    plat::Module Load() {
        module_ = LoadResourceModule(base_.c_str(), kResourceModuleName);
        return module_;
    }
    std::string PathOf(std::string_view directory) const {
        return base_.string() + "\\" + std::string(directory) + "\\kxUtlRes.dll";
    }
    // The filled slots as "index:path".
    std::vector<std::string> FilledSlots() const {
        std::vector<std::string> filled;
        const auto& slots = ResourceLoadErrors();
        for (std::size_t i = 0; i < slots.size(); ++i) {
            if (slots[i].path[0] != '\0') filled.push_back(std::to_string(i) + ":" + slots[i].path);
        }
        return filled;
    }

    test::TempDir tmp_;
    std::filesystem::path base_ = tmp_ / "base";
    plat::Module module_ = nullptr;
    ScopedHook<&HookTable::GetThreadLocale> thread_{+[] { return threadLocale; }};
    ScopedHook<&HookTable::GetUserDefaultLCID> user_{+[] { return userLocale; }};
    ScopedHook<&HookTable::GetSystemDefaultLCID> system_{+[] { return systemLocale; }};
    ScopedHook<&HookTable::MessageBoxA> box_{+[](const char* text, const char* caption) {
        ++boxes;
        boxText = text;
        boxCaption = caption;
    }};
};

// ---- The locale chain -----------------------------------------------------------------------

TEST_F(ResourcesTest, AllLocalesEnUsAndNoModuleFillsSlots0678) {
    std::filesystem::create_directories(base_);
    EXPECT_EQ(Load(), nullptr);
    EXPECT_EQ(FilledSlots(),
              (std::vector<std::string>{"0:" + PathOf("Res0901"), "6:" + PathOf("Res0000"),
                                        "7:" + PathOf("Res0001"), "8:" + PathOf("Res0901")}));
    EXPECT_EQ(std::string(ResourceLoadErrors()[0].message), SystemText(kModuleNotFound));
    EXPECT_STREQ(LanguageCode, "none");
}

TEST_F(ResourcesTest, WarningListsTheFailuresInSlotOrder) {
    std::filesystem::create_directories(base_);
    Load();
    ShowResourceLoadWarning("caption text");
    const std::string reason = SystemText(kModuleNotFound);
    const std::string expected = SystemText(1815) + "\r\n\r\n" + PathOf("Res0901") + "   : " +
                                 reason + PathOf("Res0000") + "   : " + reason + PathOf("Res0001") +
                                 "   : " + reason + PathOf("Res0901") + "   : " + reason;
    EXPECT_EQ(boxes, 1);
    EXPECT_EQ(boxText, expected);
    EXPECT_EQ(boxCaption, "caption text");
}

TEST_F(ResourcesTest, SecondTryWithSubLanguage1Loads) {
    threadLocale = kFrenchCanada;
    PlaceModule("Res0c01");
    ASSERT_NE(Load(), nullptr);
    EXPECT_STREQ(LanguageCode, "0c01");
    EXPECT_EQ(FilledSlots(), (std::vector<std::string>{"0:" + PathOf("Res0c03")}));
}

TEST_F(ResourcesTest, OwnSubLanguageIsTriedFirst) {
    threadLocale = kFrenchCanada;
    PlaceModule("Res0c03");
    PlaceModule("Res0c01");
    ASSERT_NE(Load(), nullptr);
    EXPECT_STREQ(LanguageCode, "0c03");
    EXPECT_TRUE(FilledSlots().empty());
}

TEST_F(ResourcesTest, UserLocaleEqualToThreadLocaleIsSkipped) {
    threadLocale = userLocale = kGermanGermany;
    systemLocale = kEnUs;
    PlaceModule("Res0901");
    ASSERT_NE(Load(), nullptr);
    EXPECT_STREQ(LanguageCode, "0901");
    EXPECT_EQ(FilledSlots(), (std::vector<std::string>{"0:" + PathOf("Res0701")}));
}

TEST_F(ResourcesTest, UserLocaleDifferentFromThreadLocaleIsTried) {
    threadLocale = kGermanGermany;
    userLocale = systemLocale = kFrenchCanada;
    PlaceModule("Res0c01");
    ASSERT_NE(Load(), nullptr);
    EXPECT_STREQ(LanguageCode, "0c01");
    EXPECT_EQ(FilledSlots(),
              (std::vector<std::string>{"0:" + PathOf("Res0701"), "2:" + PathOf("Res0c03")}));
}

TEST_F(ResourcesTest, SystemLocaleEqualToThreadButNotUserIsTriedAgain) {
    threadLocale = systemLocale = kGermanGermany;
    userLocale = kFrenchCanada;
    std::filesystem::create_directories(base_);
    EXPECT_EQ(Load(), nullptr);
    const auto filled = FilledSlots();
    ASSERT_GE(filled.size(), 4u);
    EXPECT_EQ(filled[3], "4:" + PathOf("Res0701"));
}

TEST_F(ResourcesTest, NeutralLocaleFindsRes0001) {
    threadLocale = userLocale = systemLocale = kGermanGermany;
    PlaceModule("Res0001");
    ASSERT_NE(Load(), nullptr);
    EXPECT_STREQ(LanguageCode, "0001");
    EXPECT_EQ(FilledSlots(),
              (std::vector<std::string>{"0:" + PathOf("Res0701"), "6:" + PathOf("Res0000")}));
}

// A directory at the module's name fails as the system fails it (access denied) but is no
// refusal of the trust check: the search goes on to the next locale.
TEST_F(ResourcesTest, DirectoryAtTheModulesNameIsPassedOver) {
    std::filesystem::create_directories(base_ / "Res0901" / "kxUtlRes.dll");
    PlaceModule("Res0001");
    ASSERT_NE(Load(), nullptr);
    EXPECT_STREQ(LanguageCode, "0001");
    EXPECT_EQ(FilledSlots(),
              (std::vector<std::string>{"0:" + PathOf("Res0901"), "6:" + PathOf("Res0000")}));
}

TEST_F(ResourcesTest, SortBitsOfTheLocaleAreIgnored) {
    threadLocale = 0x000F0000 | kGermanGermany;
    PlaceModule("Res0701");
    ASSERT_NE(Load(), nullptr);
    EXPECT_STREQ(LanguageCode, "0701");
}

TEST_F(ResourcesTest, ANewSearchEmptiesTheSlots) {
    std::filesystem::create_directories(base_);
    EXPECT_EQ(Load(), nullptr);
    PlaceModule("Res0901");
    ASSERT_NE(Load(), nullptr);
    EXPECT_TRUE(FilledSlots().empty());
}

// ---- Base directory -------------------------------------------------------------------------

class ExecutableDirectoryTest : public ResourcesTest {
  protected:
    ScopedHook<&HookTable::GetModuleFileNameA> exe_{
        +[](plat::Module module, char* buffer, Dword size) -> Dword {
            if (module != nullptr)
                return plat::DefaultHooks().GetModuleFileNameA(module, buffer, size);
            std::snprintf(buffer, size, "%s", executablePath.c_str());
            return static_cast<Dword>(std::strlen(buffer));
        }};
};

TEST_F(ExecutableDirectoryTest, NullBaseIsTheExecutablesDirectory) {
    executablePath = (tmp_ / "app" / "host.exe").string();
    Place(Built("Res0901/kxUtlRes.dll"), tmp_ / "app", "Res0901/kxUtlRes.dll");
    module_ = LoadResourceModule(nullptr, kResourceModuleName);
    EXPECT_NE(module_, nullptr);
    EXPECT_STREQ(LanguageCode, "0901");
}

TEST_F(ExecutableDirectoryTest, EmptyBaseIsTheExecutablesDirectory) {
    executablePath = (tmp_ / "app" / "host.exe").string();
    std::filesystem::create_directories(tmp_ / "app");
    EXPECT_EQ(LoadResourceModule("", kResourceModuleName), nullptr);
    EXPECT_EQ(std::string(ResourceLoadErrors()[0].path),
              (tmp_ / "app").string() + "\\Res0901\\kxUtlRes.dll");
}

// ---- Buffers --------------------------------------------------------------------------------

TEST_F(ResourcesTest, PathTooLongForItsBufferIsNotTried) {
    const std::string longBase = tmp_.str() + "/" + std::string(250 - tmp_.str().size(), 'b');
    Place(Built("Res0901/kxUtlRes.dll"), longBase, "Res0901/kxUtlRes.dll");
    EXPECT_EQ(LoadResourceModule(longBase.c_str(), kResourceModuleName), nullptr);
    const auto& slot = ResourceLoadErrors()[0];
    EXPECT_EQ(std::string(slot.path), (longBase + "\\Res0901\\kxUtlRes.dll").substr(0, 260));
    EXPECT_EQ(std::string(slot.message), SystemText(206));
}

TEST_F(ResourcesTest, WarningKeepsEveryFailureOfALongSearch) {
    threadLocale = 0x0C07;  // every locale distinct and none with sub-language 1
    userLocale = 0x080C;
    systemLocale = 0x0810;
    const std::string longBase = tmp_.str() + "/" + std::string(238 - tmp_.str().size() - 1, 'b');
    std::filesystem::create_directories(longBase);
    EXPECT_EQ(LoadResourceModule(longBase.c_str(), kResourceModuleName), nullptr);
    ASSERT_EQ(FilledSlots().size(), 9u);  // 0x409 tries Res0901 only
    ShowResourceLoadWarning("c");
    std::string expected = SystemText(1815) + "\r\n\r\n";
    for (const auto& slot : ResourceLoadErrors()) {
        if (slot.path[0] != '\0') expected += std::string(slot.path) + "   : " + slot.message;
    }
    EXPECT_EQ(boxText, expected);
}

// ---- The shipped modules --------------------------------------------------------------------

TEST(ShippedResourceModules, CarryTheThreeStringsInUsableForm) {
    for (const char* language : {"0901", "0701", "0c01", "1101"}) {
        SCOPED_TRACE(language);
        const auto path = Built(std::string("Res") + language + "/kxUtlRes.dll");
        plat::Module module = plat::LoadLibraryExA(path.c_str(), 9);
        ASSERT_NE(module, nullptr);
        char text[260];
        for (unsigned id : {kStringCannotCreateAlert, kStringAlertFailed}) {
            ASSERT_GT(plat::LoadStringA(module, id, text, sizeof text), 0);
            const std::string format = text;
            const auto first = format.find("%s");
            ASSERT_NE(first, std::string::npos);
            EXPECT_NE(format.find("%s", first + 2), std::string::npos);
            char filled[600];
            std::snprintf(filled, sizeof filled, text, "PATH", "MESSAGE");
            EXPECT_LT(std::string(filled).find("PATH"), std::string(filled).find("MESSAGE"));
        }
        char name[16];
        EXPECT_GT(plat::LoadStringA(module, kStringProductName, name, sizeof name), 0);
        EXPECT_LE(std::strlen(name), 15u);
        plat::FreeLibrary(module);
    }
}

}  // namespace
}  // namespace kx
