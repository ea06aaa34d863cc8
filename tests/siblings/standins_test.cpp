// standins_test.cpp: the kernel and utility stand-ins loaded as modules: what they export,
// the six operations that work, and the names that are only there to be found.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "platform/platform.h"
#include "runtime/core_names.h"
#include "runtime/siblings.h"
#include "support.h"
#include "tests/exports/command.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#endif

namespace kx {
namespace {

const std::filesystem::path kInstall = KX_TEST_INSTALL_DIR;
const std::filesystem::path kStandins = KX_TEST_STANDIN_DIR;

using StubFn = std::int32_t(KX_API*)();

template <typename Table>
std::set<std::string> Expected(const Table& table) {
    std::set<std::string> names(table.begin(), table.end());
    names.insert("DllMain");  // the loader's entry notification
    return names;
}

class StandinTest : public ::testing::Test {
  protected:
    void SetUp() override {
        kernel_ = plat::LoadLibraryA((kInstall / "KXKRNL.DLL").c_str());
        utility_ = plat::LoadLibraryA((kInstall / "KXUTIL.DLL").c_str());
        ASSERT_NE(kernel_, nullptr);
        ASSERT_NE(utility_, nullptr);
        create_ = Resolve<KrnlFileCreateFn>(kernel_, "KRNL_FileCreate");
        write_ = Resolve<KrnlFileWriteFn>(kernel_, "KRNL_FileWrite");
        close_ = Resolve<KrnlFileCloseFn>(kernel_, "KRNL_FileClose");
        delete_ = Resolve<KrnlFileDeleteFn>(kernel_, "KRNL_FileDelete");
    }
    void TearDown() override {
        if (kernel_) plat::FreeLibrary(kernel_);
        if (utility_) plat::FreeLibrary(utility_);
    }
    template <typename Fn>
    static Fn Resolve(plat::Module module, const char* name) {
        return reinterpret_cast<Fn>(plat::GetProcAddress(module, name));
    }
    std::string PathOf(std::string_view name) const { return (tmp_ / name).string(); }

    test::TempDir tmp_;
    plat::Module kernel_ = nullptr;
    plat::Module utility_ = nullptr;
    KrnlFileCreateFn create_ = nullptr;
    KrnlFileWriteFn write_ = nullptr;
    KrnlFileCloseFn close_ = nullptr;
    KrnlFileDeleteFn delete_ = nullptr;
};

// ---- Exports --------------------------------------------------------------------------------
// The built stand-ins' own tables are checked with the other modules' (exports_linux_test).

TEST(StandinExports, VariantWithoutANameLacksOnlyThatName) {
    auto expected = Expected(core_names::kUtility);
    expected.erase("UTIL_AddMessageToEventLog");
    EXPECT_EQ(test::DefinedDynamicSymbols(kStandins / "util_no_eventlog" / "KXUTIL.DLL"), expected);
}

TEST_F(StandinTest, UnsupportedNamesAnswerMinusOne) {
    for (const char* name : {"KRNL_FileOpen", "KRNL_CPU_GetType", "KRNL_DiskGetSpace"}) {
        EXPECT_EQ(Resolve<StubFn>(kernel_, name)(), -1) << name;
    }
    EXPECT_EQ(Resolve<StubFn>(utility_, "UTIL_GetOsVersion")(), -1);
}

// ---- Files ----------------------------------------------------------------------------------

TEST_F(StandinTest, CreateWriteCloseLeavesTheBytesOnDisk) {
    const std::uint32_t file = create_(PathOf("a.txt").c_str());
    ASSERT_NE(file, kKrnlInvalidFile);
    EXPECT_LT(file, 256u);
    EXPECT_EQ(write_(file, "hello", 5), 5u);
    EXPECT_EQ(close_(file), 1u);
    EXPECT_EQ(test::ReadFile(tmp_ / "a.txt"), "hello");
}

TEST_F(StandinTest, CreateNeverTruncatesAnExistingFile) {
    test::WriteFile(tmp_ / "taken.txt", "keep me");
    EXPECT_EQ(create_(PathOf("taken.txt").c_str()), kKrnlInvalidFile);
    EXPECT_EQ(plat::GetLastError(), static_cast<plat::Dword>(plat::kErrorFileExists));
    EXPECT_EQ(test::ReadFile(tmp_ / "taken.txt"), "keep me");
}

TEST_F(StandinTest, CreateInAMissingDirectoryFailsWithThePlatformsError) {
    const std::string path = PathOf("absent/a.txt");
    ASSERT_EQ(plat::FileCreate(path.c_str()), plat::kInvalidFile);
    const plat::Dword platformError = plat::GetLastError();
    plat::SetLastError(0);
    EXPECT_EQ(create_(path.c_str()), kKrnlInvalidFile);
    EXPECT_EQ(plat::GetLastError(), platformError);
}

TEST_F(StandinTest, OpenFilesGetDistinctHandlesAndAClosedOneIsReused) {
    const std::uint32_t first = create_(PathOf("1").c_str());
    const std::uint32_t second = create_(PathOf("2").c_str());
    EXPECT_NE(first, second);
    close_(first);
    EXPECT_EQ(create_(PathOf("3").c_str()), first);
    EXPECT_EQ(write_(second, "x", 1), 1u);
}

TEST_F(StandinTest, ClosedHandleNoLongerWrites) {
    const std::uint32_t file = create_(PathOf("a.txt").c_str());
    close_(file);
    EXPECT_EQ(write_(file, "x", 1), 0u);
    EXPECT_EQ(plat::GetLastError(), static_cast<plat::Dword>(plat::kErrorInvalidHandle));
    EXPECT_EQ(close_(file), 0u);
    EXPECT_EQ(write_(kKrnlInvalidFile, "x", 1), 0u);
}

TEST_F(StandinTest, DeleteRemovesTheFile) {
    test::WriteFile(tmp_ / "gone.txt", "x");
    EXPECT_EQ(delete_(PathOf("gone.txt").c_str()), 1u);
    EXPECT_FALSE(std::filesystem::exists(tmp_ / "gone.txt"));
    EXPECT_EQ(delete_(PathOf("gone.txt").c_str()), 0u);
}

// ---- Processor serial -----------------------------------------------------------------------

TEST_F(StandinTest, SerialStatusFollowsTheProcessor) {
    auto serial = Resolve<KrnlCpuGetSerialNumberFn>(kernel_, "KRNL_CPU_GetSerialNumber");
    std::uint32_t a = 7, b = 7, c = 7;
    const std::uint32_t status = serial(&a, &b, &c);
    bool hasSerial = false;
#if defined(__i386__) || defined(__x86_64__)
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    hasSerial = __get_cpuid(1, &eax, &ebx, &ecx, &edx) && (edx & (1u << 18)) != 0;
#endif
    EXPECT_EQ(status, hasSerial ? 1u : 0u);
    if (!hasSerial) {
        EXPECT_EQ(a + b + c, 21u);  // outputs untouched
    }
}

class SerialVariantTest : public ::testing::Test {
  protected:
    std::uint32_t Serial(const char* status) {
        test::ScopedEnv env("KX_TEST_SERIAL_STATUS", std::string(status));
        return serial_(&a_, &b_, &c_);
    }
    void SetUp() override {
        module_ = plat::LoadLibraryA((kStandins / "krnl_serial_env" / "KXKRNL.DLL").c_str());
        ASSERT_NE(module_, nullptr);
        serial_ = reinterpret_cast<KrnlCpuGetSerialNumberFn>(
            plat::GetProcAddress(module_, "KRNL_CPU_GetSerialNumber"));
        ASSERT_NE(serial_, nullptr);
    }
    void TearDown() override {
        if (module_) plat::FreeLibrary(module_);
    }
    plat::Module module_ = nullptr;
    KrnlCpuGetSerialNumberFn serial_ = nullptr;
    std::uint32_t a_ = 0, b_ = 0, c_ = 0;
};

TEST_F(SerialVariantTest, AnswersTheChosenStatus) {
    EXPECT_EQ(Serial("2"), 2u);
    EXPECT_EQ(Serial("0"), 0u);
    EXPECT_EQ(Serial("-1"), 0xFFFFFFFFu);
    EXPECT_EQ(a_ + b_ + c_, 0u);
}

TEST_F(SerialVariantTest, Status1FillsTheThreeNumbers) {
    EXPECT_EQ(Serial("1"), 1u);
    EXPECT_NE(a_, 0u);
    EXPECT_NE(b_, 0u);
    EXPECT_NE(c_, 0u);
}

// ---- Event log ------------------------------------------------------------------------------

TEST_F(StandinTest, EventLogMessageReachesThePlatformsLog) {
    const auto log = tmp_ / "events.log";
    test::ScopedEnv env("VEL_EVENTLOG", log.string());
    auto add = Resolve<UtilAddMessageToEventLogFn>(utility_, "UTIL_AddMessageToEventLog");
    add(0, "Src", "Label", 0, 0xC0000101u, "the text");
    add(0, nullptr, "VelEvent", 2, 3, "trace");
    EXPECT_EQ(test::ReadFile(log),
              R"({"source":"Src","label":"Label","kind":0,"number":3221225729,"text":"the text"})"
              "\n"
              R"({"source":null,"label":"VelEvent","kind":2,"number":3,"text":"trace"})"
              "\n");
}

// ---- Entry notification ---------------------------------------------------------------------

TEST(StandinEntry, AttachAndDetachAreNotedInTheTraceFile) {
    test::TempDir tmp;
    test::ScopedEnv env("KX_STANDIN_TRACE", (tmp / "trace.txt").string());
    plat::Module module = plat::LoadLibraryA((kInstall / "KXUTIL.DLL").c_str());
    ASSERT_NE(module, nullptr);
    plat::FreeLibrary(module);
    EXPECT_EQ(test::ReadFile(tmp / "trace.txt"), "KXUTIL attach\nKXUTIL detach\n");
}

}  // namespace
}  // namespace kx
