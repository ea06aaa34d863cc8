// exports_test.cpp: KXEvent.DLL as the system's loader sees it: every export at its ordinal
// under its plain name, and the fixed answers of the entries that do no work.
#include <cstdint>
#include <string>

#include "event_library.h"
#include "harness.h"
#include "tests/exports/event_exports.h"

namespace kx::wine {
namespace {

class ExportsTest : public WineTest {};

TEST_F(ExportsTest, EveryNameIsFoundAtItsOrdinal) {
    Import(BaseRegistry());
    EventLibrary library(JoinPath(InstallDir(), "KXEvent.DLL"));
    ASSERT_TRUE(library.loaded()) << library.error();
    for (const auto& entry : test::kEventExports) {
        const std::string name(entry.name);
        const FARPROC byName = library.Entry(name.c_str());
        const FARPROC byOrdinal =
            ::GetProcAddress(library.module(), MAKEINTRESOURCEA(static_cast<WORD>(entry.ordinal)));
        ASSERT_NE(byName, nullptr) << name;
        EXPECT_EQ(byName, byOrdinal) << name << " is not ordinal " << entry.ordinal;
    }
    EXPECT_EQ(::GetProcAddress(library.module(), MAKEINTRESOURCEA(18)), nullptr);
    EXPECT_EQ(library.Entry("DllMain"), nullptr);
}

using ThreeArguments = int(KX_API*)(std::uint32_t, std::uint32_t, std::uint32_t);
using OneArgument = int(KX_API*)(std::uint32_t);
using NoArgument = int(KX_API*)();

TEST_F(ExportsTest, FixedValueEntriesAnswerTheirConstantsWhateverTheArguments) {
    Import(BaseRegistry());
    EventLibrary library(JoinPath(InstallDir(), "KXEvent.DLL"));
    ASSERT_TRUE(library.loaded()) << library.error();
    const auto three = [&](const char* name) {
        return reinterpret_cast<ThreeArguments>(reinterpret_cast<void*>(library.Entry(name)));
    };
    const auto one = [&](const char* name) {
        return reinterpret_cast<OneArgument>(reinterpret_cast<void*>(library.Entry(name)));
    };
    const auto none = [&](const char* name) {
        return reinterpret_cast<NoArgument>(reinterpret_cast<void*>(library.Entry(name)));
    };
    for (const std::uint32_t value : {0u, 1u, 0xFFFFFFFFu}) {
        EXPECT_EQ(three("EVENT_SendAlertUsingAMgr")(value, value, value), 0);
        EXPECT_EQ(three("EVENT_GetDefaultPublishedAM")(value, value, value), 11);
        EXPECT_EQ(three("EVENT_ConfigureEventMessagesEx")(value, value, value), 1);
        EXPECT_EQ(three("EVENT_ConfigureEventMgrClientEx")(value, value, value), 1);
        EXPECT_EQ(three("EVENT_SelectAlertManagerDestination")(value, value, value), 1);
        EXPECT_EQ(one("EVENT_ConfigureEventClient")(value), 1);
        EXPECT_EQ(one("EVENT_GetEventClientConfig")(value), 1);
        EXPECT_EQ(one("EVENT_ConfigureEventMessages")(value), 1);
        EXPECT_EQ(one("EVENT_ConfigureEventMgrClient")(value), 1);
    }
    EXPECT_EQ(none("EVENT_HasEventClientBeenConfigured")(), 1);
    EXPECT_EQ(none("EVENT_IsEventClientConfigurable")(), 0);
}

TEST_F(ExportsTest, UnloadingAndLoadingAgainStartsAfresh) {
    Import(BaseRegistry());
    {
        EventLibrary library(JoinPath(InstallDir(), "KXEvent.DLL"));
        ASSERT_TRUE(library.loaded()) << library.error();
        auto records = NewRecords();
        ASSERT_EQ(library.Populate(1, "first", *records), EVENT_OK);
    }
    EXPECT_EQ(::GetModuleHandleA("KXKRNL.DLL"), nullptr) << "kernel library still mapped";
    EXPECT_EQ(::GetModuleHandleA("KXUTIL.DLL"), nullptr) << "utility library still mapped";
    EventLibrary again(JoinPath(InstallDir(), "KXEvent.DLL"));
    ASSERT_TRUE(again.loaded()) << again.error();
    // The snapshot of the earlier load is gone with it: a re-send has no task name.
    EXPECT_EQ(again.SendEvent(1, 1000, nullptr), EVENT_OK);
}

}  // namespace
}  // namespace kx::wine
