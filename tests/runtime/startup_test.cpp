// startup_test.cpp: process attach and detach of the library over real installation
// directories: binding, the diagnostics switch, the resource module, the preferred language,
// the message defaults, the refusals and the release order.
#include "startup/startup.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "catalogue/definitions.h"
#include "layout.h"
#include "platform/testing.h"
#include "runtime/binder.h"
#include "runtime/binder_internal.h"
#include "runtime/siblings.h"
#include "runtime/state.h"
#include "support.h"

namespace kx {
namespace {

using plat::Dword;
using plat::HookTable;
using plat::testing::ScopedHook;
using test::Built;
using test::Place;
using test::TraceLines;
using test::Variant;
using Lines = std::vector<std::string>;

using test::kAlertingKey;
constexpr char kCurrentVersion[] =
    "SOFTWARE\\Velmora\\QRD\\Shared Components\\Brisa\\CurrentVersion";
constexpr char kTraceLine[] =
    R"({"source":null,"label":"VelEvent","kind":2,"number":0,"text":"Diagnostics Logging ON"})";

Dword locale = 0x409;
int boxes = 0;
std::string boxCaption;
int localeQueries = 0;
std::vector<std::string>* freed = nullptr;

class StartupTest : public ::testing::Test {
  protected:
    void SetUp() override {
        locale = 0x409;
        boxes = localeQueries = 0;
        boxCaption.clear();
        // The start-up code is linked into this process, so what an attach leaves (the switch
        // that nothing turns off, the defaults loaded once) would outlive the case. A host's
        // load maps the library afresh, all zero: so does each case.
        DiagnosticsEnabled = false;
        MessageDefaults = MessageDefaultsData{};
        Place(Built("KXKRNL.DLL"), install_, "KXKRNL.DLL");
        Place(Built("KXUTIL.DLL"), install_, "KXUTIL.DLL");
        Place(Built("Res0901/kxUtlRes.dll"), install_, "Res0901/kxUtlRes.dll");
    }
    void TearDown() override {
        if (attached_) ProcessDetach();
    }
    bool Attach() { return attached_ = ProcessAttach(nullptr); }
    void Detach() {
        attached_ = false;
        ProcessDetach();
    }
    // The installation directory in the registry, with `alerting` values under Alerting.
    test::RegFile& Registry() {
        if (!keyed_) reg_.Key(kCurrentVersion).String("szInstallDir", install_.string());
        keyed_ = true;
        return reg_;
    }
    void WriteRegistry() { Registry().WriteTo(registryFile_); }
    std::string EventLog() const { return test::ReadFile(eventLog_); }

    test::TempDir tmp_;
    std::filesystem::path install_ = tmp_ / "install";
    std::filesystem::path registryFile_ = tmp_ / "registry.reg";
    std::filesystem::path eventLog_ = tmp_ / "events.log";
    std::filesystem::path trace_ = tmp_ / "trace.txt";
    test::ScopedEnv registryEnv_{"VEL_REGISTRY", registryFile_.string()};
    test::ScopedEnv eventLogEnv_{"VEL_EVENTLOG", eventLog_.string()};
    test::ScopedEnv traceEnv_{"KX_STANDIN_TRACE", trace_.string()};
    test::ScopedEnv debugCore_{"VEL_DEBUGCORE", std::nullopt};
    test::ScopedCurrentDir cwd_{tmp_ / "work"};
    ScopedHook<&HookTable::GetThreadLocale> thread_{+[] {
        ++localeQueries;
        return locale;
    }};
    ScopedHook<&HookTable::GetUserDefaultLCID> user_{+[] { return locale; }};
    ScopedHook<&HookTable::GetSystemDefaultLCID> system_{+[] { return locale; }};
    ScopedHook<&HookTable::MessageBoxA> box_{+[](const char*, const char* caption) {
        ++boxes;
        boxCaption = caption;
    }};
    test::RegFile reg_;
    bool keyed_ = false;
    bool attached_ = false;
};

// ---- Attach ---------------------------------------------------------------------------------

TEST_F(StartupTest, AttachBindsSiblingsAndLoadsTheResourceModule) {
    WriteRegistry();
    ASSERT_TRUE(Attach());
    EXPECT_EQ(ComponentUseCount(kComponentKernel), 1);
    EXPECT_EQ(ComponentUseCount(kComponentUtility), 1);
    EXPECT_NE(ResourceModule, nullptr);
    EXPECT_STREQ(LanguageCode, "0901");
    EXPECT_EQ(boxes, 0);
    char name[16];
    EXPECT_GT(plat::LoadStringA(ResourceModule, 142, name, sizeof name), 0);
}

TEST_F(StartupTest, DiagnosticsHoldingTextZeroSwitchesTracesOn) {
    Registry().Key(kAlertingKey).String("Diagnostics", "0");
    WriteRegistry();
    ASSERT_TRUE(Attach());
    EXPECT_TRUE(DiagnosticsEnabled);
    EXPECT_EQ(EventLog(), std::string(kTraceLine) + "\n");
}

TEST_F(StartupTest, EmptyDiagnosticsValueSwitchesTracesOn) {
    Registry().Key(kAlertingKey).Hex("Diagnostics", {});
    WriteRegistry();
    ASSERT_TRUE(Attach());
    EXPECT_TRUE(DiagnosticsEnabled);
}

TEST_F(StartupTest, DiagnosticsLargerThan32BytesStayOff) {
    Registry().Key(kAlertingKey).String("Diagnostics", std::string(40, '1'));
    WriteRegistry();
    ASSERT_TRUE(Attach());
    EXPECT_FALSE(DiagnosticsEnabled);
    EXPECT_EQ(EventLog(), "");
}

TEST_F(StartupTest, AbsentSettingsKeyLeavesDiagnosticsOffAndTheDirectorysLanguage) {
    locale = 0x0C07;  // German, sub-language 3: Res0701 on the second try
    Place(Built("Res0701/kxUtlRes.dll"), install_, "Res0701/kxUtlRes.dll");
    WriteRegistry();
    ASSERT_TRUE(Attach());
    EXPECT_FALSE(DiagnosticsEnabled);
    EXPECT_STREQ(LanguageCode, "0701");
}

TEST_F(StartupTest, PreferredLanguageReplacesTheLanguageAndPicksItsDefaults) {
    Registry().Key(kAlertingKey).String("szPreferredLanguage", "0407");
    Registry()
        .Key("Software\\Velmora\\QRD\\Shared Components\\Events\\0407\\Defaults")
        .String("ID", "Vorgabe");
    Registry()
        .Key("Software\\Velmora\\QRD\\Shared Components\\Events\\0901\\Defaults")
        .String("ID", "Default");
    WriteRegistry();
    ASSERT_TRUE(Attach());
    EXPECT_STREQ(LanguageCode, "0407");
    EXPECT_STREQ(MessageDefaults.szEventName, "Vorgabe");
}

TEST_F(StartupTest, DefaultsFollowTheResourceModulesLanguage) {
    Registry()
        .Key("Software\\Velmora\\QRD\\Shared Components\\Events\\0901\\Defaults")
        .String("ID", "Default");
    WriteRegistry();
    ASSERT_TRUE(Attach());
    EXPECT_STREQ(MessageDefaults.szEventName, "Default");
}

TEST_F(StartupTest, OverlongPreferredLanguageIsCutToTheFieldsWidth) {
    Registry().Key(kAlertingKey).String("szPreferredLanguage", "0123456789abcdefXYZ");
    WriteRegistry();
    ASSERT_TRUE(Attach());
    EXPECT_STREQ(LanguageCode, "0123456789a");
}

TEST_F(StartupTest, PreferredLanguageWithoutTerminatorIsCutSafely) {
    Registry().Key(kAlertingKey).Hex("szPreferredLanguage", std::vector<std::uint8_t>(32, 'z'));
    WriteRegistry();
    ASSERT_TRUE(Attach());
    EXPECT_STREQ(LanguageCode, "zzzzzzzzzzz");
}

TEST_F(StartupTest, ShortUnterminatedPreferredLanguageTakesOnlyItsBytes) {
    Registry().Key(kAlertingKey).Hex("szPreferredLanguage", {'0', '4', '0', '7'});
    WriteRegistry();
    ASSERT_TRUE(Attach());
    EXPECT_STREQ(LanguageCode, "0407");
}

TEST_F(StartupTest, NoInstallationDirectoryLooksUnderZqpal) {
    const auto zqpal = tmp_ / "zqpal";
    std::filesystem::rename(install_, zqpal);
    ASSERT_TRUE(Attach());
    EXPECT_STREQ(GetInstallDirectory(), "");
    EXPECT_STREQ(LanguageCode, "0901");
}

// ---- Refusals -------------------------------------------------------------------------------

TEST_F(StartupTest, MissingKernelRefusesSilentlyWithoutLookingForResources) {
    std::filesystem::remove(install_ / "KXKRNL.DLL");
    WriteRegistry();
    EXPECT_FALSE(Attach());
    EXPECT_EQ(boxes, 0);
    EXPECT_EQ(localeQueries, 0);
    EXPECT_EQ(ResourceModule, nullptr);
}

TEST_F(StartupTest, MissingResourceModuleWarnsRefusesAndGivesTheSiblingsBack) {
    std::filesystem::remove_all(install_ / "Res0901");
    WriteRegistry();
    EXPECT_FALSE(Attach());
    EXPECT_EQ(boxes, 1);
    EXPECT_EQ(boxCaption, "KXUtil.dll : Error loading resource DLL (kxUtlRes.dll)");
    EXPECT_EQ(ComponentUseCount(kComponentKernel), 0);
    EXPECT_EQ(ComponentUseCount(kComponentUtility), 0);
    EXPECT_EQ(Siblings().AddMessageToEventLog, nullptr);
    EXPECT_EQ(TraceLines(trace_),
              (Lines{"KXKRNL attach", "KXUTIL attach", "KXUTIL detach", "KXKRNL detach"}));
}

// ---- Detach ---------------------------------------------------------------------------------

TEST_F(StartupTest, DetachFreesResourceModuleThenUtilityThenKernel) {
    WriteRegistry();
    ASSERT_TRUE(Attach());
    std::vector<std::string> order;
    freed = &order;
    {
        ScopedHook<&HookTable::FreeLibrary> free{+[](plat::Module module) {
            char path[260] = {};
            plat::GetModuleFileNameA(module, path, sizeof path);
            freed->push_back(std::filesystem::path(path).filename().string());
            return plat::DefaultHooks().FreeLibrary(module);
        }};
        Detach();
    }
    freed = nullptr;
    EXPECT_EQ(order, (Lines{"kxUtlRes.dll", "KXUTIL.DLL", "KXKRNL.DLL"}));
    EXPECT_EQ(ResourceModule, nullptr);
    EXPECT_EQ(ComponentHandle(kComponentKernel), nullptr);
}

TEST_F(StartupTest, RepeatedDetachReleasesNothingTwice) {
    WriteRegistry();
    ASSERT_TRUE(Attach());
    Detach();
    const auto lines = TraceLines(trace_);
    ProcessDetach();
    EXPECT_EQ(TraceLines(trace_), lines);
}

TEST_F(StartupTest, LanguageAndDiagnosticsStayAfterDetach) {
    Registry().Key(kAlertingKey).String("Diagnostics", "1");
    WriteRegistry();
    ASSERT_TRUE(Attach());
    Detach();
    EXPECT_TRUE(DiagnosticsEnabled);
    EXPECT_STREQ(LanguageCode, "0901");
}

}  // namespace
}  // namespace kx
