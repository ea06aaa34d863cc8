// binder_test.cpp: binding the core components from real installation directories on disk.
#include "runtime/binder.h"

#include <gtest/gtest.h>

#include <string>

#include "layout.h"
#include "runtime/binder_internal.h"
#include "runtime/core_names.h"
#include "runtime/siblings.h"
#include "support.h"

namespace kx {
namespace {

using test::Built;
using test::Place;
using test::TraceLines;
using test::Variant;
using Lines = std::vector<std::string>;

constexpr char kCurrentVersionKey[] =
    "SOFTWARE\\Velmora\\QRD\\Shared Components\\Brisa\\CurrentVersion";
constexpr char kScanEngineKey[] =
    "SOFTWARE\\Velmora\\QRD\\Shared Components\\Sentrel Engine\\4.0.xx";

class BinderTest : public ::testing::Test {
  protected:
    void TearDown() override {
        for (int i = 0; i < 4; ++i) ReleaseCoreComponents(0x3F);
    }

    // Kernel and utility stand-ins as built, in `dir`.
    void PlaceSiblings(const std::filesystem::path& dir) {
        Place(Built("KXKRNL.DLL"), dir, "KXKRNL.DLL");
        Place(Built("KXUTIL.DLL"), dir, "KXUTIL.DLL");
    }
    void WriteRegistry(const test::RegFile& reg) { reg.WriteTo(registry_); }
    Lines Trace() const { return TraceLines(trace_); }

    test::TempDir tmp_;
    std::filesystem::path registry_ = tmp_ / "registry.reg";
    std::filesystem::path trace_ = tmp_ / "trace.txt";
    std::filesystem::path install_ = tmp_ / "install";
    test::ScopedEnv registryEnv_{"VEL_REGISTRY", registry_.string()};
    test::ScopedEnv debugCore_{"VEL_DEBUGCORE", std::nullopt};
    test::ScopedEnv traceEnv_{"KX_STANDIN_TRACE", trace_.string()};
    test::ScopedCurrentDir cwd_{tmp_ / "work"};
};

// ---- Library search and discovery -----------------------------------------------------------

TEST_F(BinderTest, NothingConfiguredBindsBothFromZqpal) {
    PlaceSiblings(tmp_ / "zqpal");
    EXPECT_EQ(BindCoreComponents(3), 0);
    EXPECT_EQ(ComponentUseCount(kComponentKernel), 1);
    EXPECT_EQ(ComponentUseCount(kComponentUtility), 1);
    EXPECT_STREQ(GetInstallDirectory(), "");
    EXPECT_EQ(ComponentResolvedEntries(kComponentKernel), core_names::kKernel.size());
    EXPECT_EQ(ComponentResolvedEntries(kComponentUtility), core_names::kUtility.size());
}

TEST_F(BinderTest, CurrentDirectoryIsTheLastPlaceSearched) {
    PlaceSiblings(tmp_ / "work");
    EXPECT_EQ(BindCoreComponents(3), 0);
    EXPECT_EQ(Trace(), (Lines{"KXKRNL attach", "KXUTIL attach"}));
}

TEST_F(BinderTest, InstallationDirectoryIsPreferredOverZqpal) {
    PlaceSiblings(install_);
    Place(Variant("krnl_no_fileseek/KXKRNL.DLL"), tmp_ / "zqpal", "KXKRNL.DLL");
    test::ScopedEnv core("VEL_DEBUGCORE", install_.string());
    EXPECT_EQ(BindCoreComponents(3), 0);
}

// Only the trust check's refusal ends the search: a directory at a library's name in the
// installation directory is passed over for the copies in "..\zqpal".
TEST_F(BinderTest, DirectoryAtTheNameInTheInstallationDirectoryIsPassedOver) {
    std::filesystem::create_directories(install_ / "KXKRNL.DLL");
    std::filesystem::create_directories(install_ / "KXUTIL.DLL");
    PlaceSiblings(tmp_ / "zqpal");
    test::ScopedEnv core("VEL_DEBUGCORE", install_.string());
    EXPECT_EQ(BindCoreComponents(3), 0);
    EXPECT_EQ(ComponentUseCount(kComponentKernel), 1);
    EXPECT_EQ(ComponentUseCount(kComponentUtility), 1);
    EXPECT_EQ(Trace(), (Lines{"KXKRNL attach", "KXUTIL attach"}));
}

TEST_F(BinderTest, RegistryInstallDirectoryLosesOneTrailingBackslash) {
    PlaceSiblings(install_);
    test::RegFile reg;
    reg.Key(kCurrentVersionKey).String("szInstallDir", install_.string() + "\\");
    WriteRegistry(reg);
    EXPECT_EQ(BindCoreComponents(3), 0);
    EXPECT_EQ(std::string(GetInstallDirectory()), install_.string());
}

TEST_F(BinderTest, DebugCoreWithTrailingBackslashIsUsedAndRegistryIsNotRead) {
    const auto other = tmp_ / "other";
    std::filesystem::create_directories(other);
    test::RegFile reg;
    reg.Key(kCurrentVersionKey).String("szInstallDir", other.string());
    WriteRegistry(reg);
    PlaceSiblings(install_);
    test::ScopedEnv core("VEL_DEBUGCORE", install_.string() + "\\");
    EXPECT_EQ(BindCoreComponents(3), 0);
    EXPECT_EQ(std::string(GetInstallDirectory()), install_.string());
}

TEST_F(BinderTest, OnlyOneTrailingBackslashGoes) {
    std::filesystem::create_directories(install_);
    test::ScopedEnv core("VEL_DEBUGCORE", install_.string() + "\\\\");
    BindCoreComponents(0);
    EXPECT_EQ(std::string(GetInstallDirectory()), install_.string() + "\\");
}

TEST_F(BinderTest, InstallationDirectoryOf250CharactersFindsNothing) {
    PlaceSiblings(tmp_ / "zqpal");
    PlaceSiblings(tmp_ / "work");
    const std::string longDir = (tmp_ / std::string(250 - tmp_.str().size() - 1, 'd')).string();
    ASSERT_EQ(longDir.size(), 250u);
    test::ScopedEnv core("VEL_DEBUGCORE", longDir);
    EXPECT_EQ(BindCoreComponents(3), 9);
    EXPECT_TRUE(Trace().empty());
    EXPECT_EQ(ComponentUseCount(kComponentKernel), 0);
}

TEST_F(BinderTest, DiscoveryCodesComeBackWhenNothingNewIsBound) {
    EXPECT_EQ(BindCoreComponents(0), 3);  // no key
    test::RegFile reg;
    reg.Key(kCurrentVersionKey).String("other", "x");
    WriteRegistry(reg);
    EXPECT_EQ(BindCoreComponents(0), 2);  // no value
    test::RegFile missing;
    missing.Key(kCurrentVersionKey).String("szInstallDir", (tmp_ / "absent").string());
    WriteRegistry(missing);
    EXPECT_EQ(BindCoreComponents(0), 4);  // not a directory
    EXPECT_EQ(std::string(GetInstallDirectory()), (tmp_ / "absent").string());
}

TEST_F(BinderTest, AFileIsNoInstallationDirectory) {
    test::WriteFile(tmp_ / "plain", "x");
    test::ScopedEnv core("VEL_DEBUGCORE", (tmp_ / "plain").string());
    EXPECT_EQ(BindCoreComponents(0), 4);
}

TEST_F(BinderTest, DiscoveryFailureDoesNotStopTheBind) {
    PlaceSiblings(tmp_ / "zqpal");
    test::RegFile reg;
    reg.Key(kCurrentVersionKey).String("szInstallDir", (tmp_ / "absent").string());
    WriteRegistry(reg);
    EXPECT_EQ(BindCoreComponents(3), 0);
    EXPECT_EQ(BindCoreComponents(3), 4);  // nothing new: the discovery's code
    EXPECT_EQ(ComponentUseCount(kComponentKernel), 2);
}

TEST_F(BinderTest, DebugCoreTooLongForItsTextIsNotReplacedByTheRegistry) {
    PlaceSiblings(install_);
    test::RegFile reg;
    reg.Key(kCurrentVersionKey).String("szInstallDir", install_.string());
    WriteRegistry(reg);
    test::ScopedEnv core("VEL_DEBUGCORE", std::string(300, 'x'));
    EXPECT_EQ(BindCoreComponents(0), 4);
    EXPECT_STREQ(GetInstallDirectory(), "");
}

// ---- All or nothing -------------------------------------------------------------------------

TEST_F(BinderTest, KernelLackingOneNameFailsWith9AndUtilityIsNeverLookedFor) {
    Place(Variant("krnl_no_fileseek/KXKRNL.DLL"), install_, "KXKRNL.DLL");
    Place(Built("KXUTIL.DLL"), install_, "KXUTIL.DLL");
    test::ScopedEnv core("VEL_DEBUGCORE", install_.string());
    EXPECT_EQ(BindCoreComponents(3), 9);
    EXPECT_EQ(Trace(), (Lines{"KXKRNL attach", "KXKRNL detach"}));
    EXPECT_EQ(ComponentHandle(kComponentKernel), nullptr);
    EXPECT_EQ(ComponentResolvedEntries(kComponentKernel), 0u);
    EXPECT_EQ(ComponentUseCount(kComponentUtility), 0);
}

TEST_F(BinderTest, UtilityLackingEventLogFailsWith11AndReleasesTheKernel) {
    Place(Built("KXKRNL.DLL"), install_, "KXKRNL.DLL");
    Place(Variant("util_no_eventlog/KXUTIL.DLL"), install_, "KXUTIL.DLL");
    test::ScopedEnv core("VEL_DEBUGCORE", install_.string());
    EXPECT_EQ(BindCoreComponents(3), 11);
    EXPECT_EQ(Trace(), (Lines{"KXKRNL attach", "KXUTIL attach", "KXUTIL detach", "KXKRNL detach"}));
    EXPECT_EQ(ComponentUseCount(kComponentKernel), 0);
    EXPECT_EQ(ComponentHandle(kComponentKernel), nullptr);
    EXPECT_EQ(ComponentResolvedEntries(kComponentKernel), 0u);
    EXPECT_EQ(Siblings().FileCreate, nullptr);
    EXPECT_EQ(Siblings().AddMessageToEventLog, nullptr);
}

TEST_F(BinderTest, MissingKernelLibraryFailsWith9) {
    Place(Built("KXUTIL.DLL"), install_, "KXUTIL.DLL");
    test::ScopedEnv core("VEL_DEBUGCORE", install_.string());
    EXPECT_EQ(BindCoreComponents(3), 9);
    EXPECT_TRUE(Trace().empty());
}

TEST_F(BinderTest, Mask5ReleasesTheKernelAndFailsWith10) {
    PlaceSiblings(install_);
    test::ScopedEnv core("VEL_DEBUGCORE", install_.string());
    EXPECT_EQ(BindCoreComponents(5), 10);
    EXPECT_EQ(Trace(), (Lines{"KXKRNL attach", "KXKRNL detach"}));
    EXPECT_EQ(ComponentUseCount(kComponentKernel), 0);
}

TEST_F(BinderTest, Flag10AlwaysFailsWith13) {
    EXPECT_EQ(BindCoreComponents(0x10), 13);
}

TEST_F(BinderTest, FailureKeepsUsesCountedByEarlierCalls) {
    Place(Variant("krnl_no_fileseek/KXKRNL.DLL"), install_, "KXKRNL.DLL");
    Place(Built("KXUTIL.DLL"), install_, "KXUTIL.DLL");
    test::ScopedEnv core("VEL_DEBUGCORE", install_.string());
    ASSERT_EQ(BindCoreComponents(2), 0);
    EXPECT_EQ(BindCoreComponents(3), 9);
    EXPECT_EQ(ComponentUseCount(kComponentUtility), 1);
    EXPECT_NE(Siblings().AddMessageToEventLog, nullptr);
}

// ---- Counting and release -------------------------------------------------------------------

TEST_F(BinderTest, TwoBindsNeedTwoReleasesAndUtilityGoesFirst) {
    PlaceSiblings(install_);
    test::ScopedEnv core("VEL_DEBUGCORE", install_.string());
    ASSERT_EQ(BindCoreComponents(3), 0);
    ASSERT_EQ(BindCoreComponents(3), 0);
    EXPECT_EQ(ReleaseCoreComponents(3), 0);
    EXPECT_EQ(ComponentUseCount(kComponentKernel), 1);
    EXPECT_EQ(ComponentUseCount(kComponentUtility), 1);
    EXPECT_EQ(Trace(), (Lines{"KXKRNL attach", "KXUTIL attach"}));
    ReleaseCoreComponents(3);
    EXPECT_EQ(Trace(), (Lines{"KXKRNL attach", "KXUTIL attach", "KXUTIL detach", "KXKRNL detach"}));
    EXPECT_EQ(ComponentHandle(kComponentUtility), nullptr);
}

TEST_F(BinderTest, ReleasingWhatIsNotBoundChangesNothing) {
    PlaceSiblings(install_);
    test::ScopedEnv core("VEL_DEBUGCORE", install_.string());
    ASSERT_EQ(BindCoreComponents(1), 0);
    ReleaseCoreComponents(2);
    EXPECT_EQ(ComponentUseCount(kComponentKernel), 1);
    EXPECT_EQ(ComponentUseCount(kComponentUtility), 0);
}

TEST_F(BinderTest, BoundOperationsReachTheKernelLibrary) {
    PlaceSiblings(install_);
    test::ScopedEnv core("VEL_DEBUGCORE", install_.string());
    ASSERT_EQ(BindCoreComponents(3), 0);
    const std::string file = (tmp_ / "made.txt").string();
    const std::uint32_t handle = KrnlFileCreate(file.c_str());
    ASSERT_NE(handle, kKrnlInvalidFile);
    EXPECT_EQ(KrnlFileWrite(handle, "abc", 3), 3u);
    KrnlFileClose(handle);
    EXPECT_EQ(test::ReadFile(file), "abc");
    ReleaseCoreComponents(3);
    EXPECT_EQ(KrnlFileCreate((tmp_ / "after.txt").string().c_str()), kKrnlInvalidFile);
    EXPECT_FALSE(std::filesystem::exists(tmp_ / "after.txt"));
}

// ---- Event library --------------------------------------------------------------------------

TEST_F(BinderTest, EventLibraryBindsByTheLibrarySearch) {
    Place(Variant("event_full/KXEVENT.DLL"), install_, "KXEVENT.DLL");
    test::ScopedEnv core("VEL_DEBUGCORE", install_.string());
    EXPECT_EQ(BindCoreComponents(0x20), 0);
    EXPECT_EQ(ComponentResolvedEntries(kComponentEvent), core_names::kEvent.size());
}

TEST_F(BinderTest, EventLibraryLackingANameFailsWith14) {
    Place(Variant("event_no_query/KXEVENT.DLL"), install_, "KXEVENT.DLL");
    test::ScopedEnv core("VEL_DEBUGCORE", install_.string());
    EXPECT_EQ(BindCoreComponents(0x20), 14);
    EXPECT_EQ(ComponentHandle(kComponentEvent), nullptr);
}

// ---- Scan engine ----------------------------------------------------------------------------

class ScanEngineTest : public BinderTest {
  protected:
    void Configure(std::string_view variant) {
        Place(Variant(std::string(variant) + "/ZQSCAN32.DLL"), scan_, "ZQSCAN32.DLL");
        std::filesystem::create_directories(data_);
        test::RegFile reg;
        reg.Key(kScanEngineKey)
            .String("szInstallDir", scan_.string() + "\\")
            .String("DAT", data_.string());
        WriteRegistry(reg);
    }
    std::filesystem::path scan_ = tmp_ / "engine";
    std::filesystem::path data_ = tmp_ / "dat";
};

TEST_F(ScanEngineTest, BindsWithoutTheOptionalName) {
    Configure("scan_no_extendedopts");
    EXPECT_EQ(BindCoreComponents(8), 0);
    EXPECT_EQ(ComponentResolvedEntries(kComponentScanEngine), core_names::kScanEngine.size() - 1);
    EXPECT_EQ(std::string(GetScanEngineDirectory()), scan_.string());
    EXPECT_EQ(std::string(GetScanDataDirectory()), data_.string());
}

TEST_F(ScanEngineTest, LackingSetTimeoutFailsWith11) {
    Configure("scan_no_settimeout");
    EXPECT_EQ(BindCoreComponents(8), 11);
    EXPECT_EQ(ComponentHandle(kComponentScanEngine), nullptr);
    EXPECT_EQ(ComponentResolvedEntries(kComponentScanEngine), 0u);
}

TEST_F(ScanEngineTest, LackingUserExtensionListFailsWith11) {
    Configure("scan_no_userextensions");
    EXPECT_EQ(BindCoreComponents(8), 11);
}

TEST_F(ScanEngineTest, LackingAnyOtherNameFailsWith12) {
    Configure("scan_no_init");
    EXPECT_EQ(BindCoreComponents(8), 12);
}

TEST_F(ScanEngineTest, IsLookedForOnlyInItsOwnDirectory) {
    Configure("scan_full");
    std::filesystem::remove(scan_ / "ZQSCAN32.DLL");
    Place(Variant("scan_full/ZQSCAN32.DLL"), tmp_ / "zqpal", "ZQSCAN32.DLL");
    Place(Variant("scan_full/ZQSCAN32.DLL"), tmp_ / "work", "ZQSCAN32.DLL");
    EXPECT_EQ(BindCoreComponents(8), 12);
}

TEST_F(ScanEngineTest, MissingKeyFailsWith3BeforeAnythingIsBound) {
    PlaceSiblings(install_);
    test::ScopedEnv core("VEL_DEBUGCORE", install_.string());
    EXPECT_EQ(BindCoreComponents(9), 3);
    EXPECT_TRUE(Trace().empty());
}

TEST_F(ScanEngineTest, MissingEngineDirectoryFailsWith6) {
    test::RegFile reg;
    reg.Key(kScanEngineKey)
        .String("szInstallDir", (tmp_ / "absent").string())
        .String("DAT", tmp_.str());
    WriteRegistry(reg);
    EXPECT_EQ(BindCoreComponents(8), 6);
}

TEST_F(ScanEngineTest, MissingDataDirectoryFailsWith5) {
    test::RegFile reg;
    reg.Key(kScanEngineKey)
        .String("szInstallDir", tmp_.str())
        .String("DAT", (tmp_ / "absent").string());
    WriteRegistry(reg);
    EXPECT_EQ(BindCoreComponents(8), 5);
}

TEST_F(ScanEngineTest, UnreadableDirectoryValuesCountAsMissingDirectories) {
    test::RegFile noEngine;
    noEngine.Key(kScanEngineKey).String("DAT", tmp_.str());
    WriteRegistry(noEngine);
    EXPECT_EQ(BindCoreComponents(8), 6);
    test::RegFile noData;
    noData.Key(kScanEngineKey).String("szInstallDir", tmp_.str());
    WriteRegistry(noData);
    EXPECT_EQ(BindCoreComponents(8), 5);
}

TEST_F(ScanEngineTest, DiscoveryIsSkippedOnceTheEngineIsBound) {
    Configure("scan_full");
    ASSERT_EQ(BindCoreComponents(8), 0);
    WriteRegistry(test::RegFile{});
    EXPECT_EQ(BindCoreComponents(8), 3);  // the installation directory's code, nothing new
    EXPECT_EQ(ComponentUseCount(kComponentScanEngine), 2);
}

}  // namespace
}  // namespace kx
