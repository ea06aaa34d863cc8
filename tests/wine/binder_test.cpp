// binder_test.cpp: where the system's loader finds the kernel and utility libraries when a
// product loads KXEvent.DLL: the environment's installation directory, the registry's, or
// "..\zqpal" beside the current directory; and the refused load when a sibling is unusable.
#include <string>

#include "event_library.h"
#include "harness.h"

namespace kx::wine {
namespace {

// The full path of a loaded module of this process, lower-cased; empty when it is not loaded.
std::string LoadedPath(const char* module) {
    const HMODULE handle = ::GetModuleHandleA(module);
    if (handle == nullptr) return {};
    char path[MAX_PATH] = {};
    ::GetModuleFileNameA(handle, path, sizeof path);
    return CharLowerA(path);
}

std::string Lower(std::string text) {
    return CharLowerA(text.data());
}

class BinderTest : public WineTest {};

TEST_F(BinderTest, TheEnvironmentsInstallationDirectoryIsUsedFirst) {
    RegFile reg = BaseRegistry();
    reg.Key(kCurrentVersionKey).String("szInstallDir", Scratch() / "elsewhere");
    Import(reg);
    EventLibrary library(JoinPath(InstallDir(), "KXEvent.DLL"));
    ASSERT_TRUE(library.loaded()) << library.error();
    EXPECT_EQ(LoadedPath("KXKRNL.DLL"), Lower(JoinPath(InstallDir(), "KXKRNL.DLL")));
    EXPECT_EQ(LoadedPath("KXUTIL.DLL"), Lower(JoinPath(InstallDir(), "KXUTIL.DLL")));
}

TEST_F(BinderTest, TheRegistryNamesTheInstallationWhenTheEnvironmentDoesNot) {
    const ScopedEnv unset("VEL_DEBUGCORE", std::nullopt);
    RegFile reg = BaseRegistry();
    reg.Key(kCurrentVersionKey).String("szInstallDir", InstallDir() + "\\");
    Import(reg);
    EventLibrary library(JoinPath(InstallDir(), "KXEvent.DLL"));
    ASSERT_TRUE(library.loaded()) << library.error();
    EXPECT_EQ(LoadedPath("KXKRNL.DLL"), Lower(JoinPath(InstallDir(), "KXKRNL.DLL")));
    auto records = NewRecords();
    EXPECT_EQ(library.Send(1, 1000, *records), EVENT_OK);
}

TEST_F(BinderTest, WithNothingConfiguredZqpalBesideTheCurrentDirectoryServes) {
    const ScopedEnv unset("VEL_DEBUGCORE", std::nullopt);
    const std::string suite = Scratch() / "suite";
    LayOutInstallation(JoinPath(suite, "zqpal"));
    const std::string product = JoinPath(suite, "product\\KXEvent.DLL");
    CopyFileTo(JoinPath(BuiltInstallDirectory(), "KXEvent.DLL"), product);
    MakeDirectories(JoinPath(suite, "app"));
    const ScopedCurrentDirectory app(JoinPath(suite, "app"));
    Import(BaseRegistry());

    EventLibrary library(product);
    ASSERT_TRUE(library.loaded()) << library.error();
    EXPECT_EQ(LoadedPath("KXKRNL.DLL"), Lower(JoinPath(suite, "zqpal\\KXKRNL.DLL")));
    auto records = NewRecords();
    ASSERT_EQ(library.Populate(1, nullptr, *records), EVENT_OK);
    EXPECT_STREQ(records->detail.szLanguageCode, "0901");
}

TEST_F(BinderTest, AMissingKernelLibraryRefusesTheLoad) {
    ASSERT_TRUE(::DeleteFileA(JoinPath(InstallDir(), "KXKRNL.DLL").c_str()));
    Import(BaseRegistry());
    EventLibrary library(JoinPath(InstallDir(), "KXEvent.DLL"));
    EXPECT_FALSE(library.loaded());
    EXPECT_EQ(library.error(), static_cast<DWORD>(ERROR_DLL_INIT_FAILED));
    EXPECT_EQ(::GetModuleHandleA("KXUTIL.DLL"), nullptr);
}

TEST_F(BinderTest, AKernelLibraryLackingOneNameRefusesTheLoadAndIsReleased) {
    CopyFileTo(JoinPath(TestModuleDirectory(), "krnl_no_fileseek\\KXKRNL.DLL"),
               JoinPath(InstallDir(), "KXKRNL.DLL"));
    Import(BaseRegistry());
    EventLibrary library(JoinPath(InstallDir(), "KXEvent.DLL"));
    EXPECT_FALSE(library.loaded());
    EXPECT_EQ(library.error(), static_cast<DWORD>(ERROR_DLL_INIT_FAILED));
    EXPECT_EQ(::GetModuleHandleA("KXKRNL.DLL"), nullptr);
    EXPECT_EQ(::GetModuleHandleA("KXUTIL.DLL"), nullptr);
}

TEST_F(BinderTest, UnloadingReleasesBothSiblings) {
    Import(BaseRegistry());
    {
        EventLibrary library(JoinPath(InstallDir(), "KXEvent.DLL"));
        ASSERT_TRUE(library.loaded()) << library.error();
        ASSERT_NE(::GetModuleHandleA("KXKRNL.DLL"), nullptr);
        ASSERT_NE(::GetModuleHandleA("KXUTIL.DLL"), nullptr);
    }
    EXPECT_EQ(::GetModuleHandleA("KXKRNL.DLL"), nullptr);
    EXPECT_EQ(::GetModuleHandleA("KXUTIL.DLL"), nullptr);
    EXPECT_EQ(::GetModuleHandleA("kxUtlRes.dll"), nullptr);
}

}  // namespace
}  // namespace kx::wine
