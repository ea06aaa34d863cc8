// loader_test.cpp: modules loaded from disk: DllMain notifications, reference counts, path
// forms, resource-only string tables and their corruption.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "platform/platform.h"
#include "platform/posix/internal.h"
#include "support.h"

namespace {

namespace plat = kx::plat;
namespace fs = std::filesystem;
using kx::test::ScopedEnv;
using kx::test::TempDir;

const std::string kModuleDir = KX_TEST_MODULE_DIR;

std::string ModulePath(const char* name) {
    return kModuleDir + "/" + name;
}

std::string WithBackslashes(std::string path) {
    for (char& c : path) {
        if (c == '/') c = '\\';
    }
    return path;
}

class PlatLoader : public ::testing::Test {
  protected:
    TempDir dir;
    fs::path log = dir / "notifications.log";
    ScopedEnv logEnv{"KX_TEST_MODULE_LOG", log.string()};

    std::string Notifications() { return kx::test::ReadFile(log); }
};

void AppendLe32(std::string& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out += static_cast<char>(value >> shift);
}

std::string StringTable(const std::vector<std::pair<std::uint32_t, std::string>>& strings) {
    std::string out = "KXRS";
    AppendLe32(out, 1);
    AppendLe32(out, static_cast<std::uint32_t>(strings.size()));
    for (const auto& [id, text] : strings) {
        AppendLe32(out, id);
        AppendLe32(out, static_cast<std::uint32_t>(text.size()));
        out += text;
    }
    return out;
}

TEST_F(PlatLoader, AttachOnFirstLoadDetachOnLastFree) {
    plat::Module first = plat::LoadLibraryA(ModulePath("kxtest_attach.so").c_str());
    ASSERT_NE(first, nullptr) << plat::GetLastError();
    plat::Module second = plat::LoadLibraryA(ModulePath("kxtest_attach.so").c_str());
    EXPECT_EQ(first, second);
    EXPECT_EQ(plat::backend::ModuleReferenceCount(first), 2);
    EXPECT_EQ(Notifications(), "attach\n");
    EXPECT_TRUE(plat::FreeLibrary(first));
    EXPECT_EQ(Notifications(), "attach\n");
    auto answer = reinterpret_cast<int (*)()>(plat::GetProcAddress(second, "ModuleAnswer"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);
    EXPECT_TRUE(plat::FreeLibrary(second));
    EXPECT_EQ(Notifications(), "attach\ndetach\n");
    EXPECT_EQ(plat::backend::ModuleReferenceCount(first), 0);
}

TEST_F(PlatLoader, RefusedAttachFailsTheLoadAndUnloads) {
    plat::SetLastError(0);
    EXPECT_EQ(plat::LoadLibraryA(ModulePath("kxtest_refuse.so").c_str()), nullptr);
    EXPECT_EQ(plat::GetLastError(), static_cast<plat::Dword>(plat::kErrorDllInitFailed));
    EXPECT_EQ(Notifications(), "attach\ndetach\n");
    // A later load starts from scratch.
    EXPECT_EQ(plat::LoadLibraryA(ModulePath("kxtest_refuse.so").c_str()), nullptr);
    EXPECT_EQ(Notifications(), "attach\ndetach\nattach\ndetach\n");
}

TEST_F(PlatLoader, ThrowingAttachLeavesNoTraceAndALaterLoadAttachesAfresh) {
    const std::string path = ModulePath("kxtest_throw.so");
    EXPECT_THROW(plat::LoadLibraryA(path.c_str()), std::runtime_error);
    void* mapped = ::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    EXPECT_EQ(mapped, nullptr) << "the loader kept the module mapped";
    if (mapped) ::dlclose(mapped);

    ScopedEnv accepts("KX_TEST_THROW_MODULE_ACCEPTS", "1");
    plat::Module module = plat::LoadLibraryA(path.c_str());
    ASSERT_NE(module, nullptr) << plat::GetLastError();
    EXPECT_EQ(plat::backend::ModuleReferenceCount(module), 1);
    EXPECT_TRUE(plat::FreeLibrary(module));
    EXPECT_EQ(Notifications(), "throw\nattach\ndetach\n");
}

TEST_F(PlatLoader, ThrowingDetachStillUnloadsAndALaterLoadAttachesAfresh) {
    const std::string path = ModulePath("kxtest_throw.so");
    ScopedEnv accepts("KX_TEST_THROW_MODULE_ACCEPTS", "1");
    plat::Module module = plat::LoadLibraryA(path.c_str());
    ASSERT_NE(module, nullptr) << plat::GetLastError();
    {
        ScopedEnv throws("KX_TEST_THROW_MODULE_DETACH_THROWS", "1");
        EXPECT_THROW(plat::FreeLibrary(module), std::runtime_error);
    }
    EXPECT_EQ(plat::backend::ModuleReferenceCount(module), 0);
    plat::SetLastError(0);
    EXPECT_FALSE(plat::FreeLibrary(module)) << "the loader still knows the freed module";
    EXPECT_EQ(plat::GetLastError(), static_cast<plat::Dword>(plat::kErrorInvalidHandle));
    void* mapped = ::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    EXPECT_EQ(mapped, nullptr) << "the loader kept the module mapped";
    if (mapped) ::dlclose(mapped);

    plat::Module again = plat::LoadLibraryA(path.c_str());
    ASSERT_NE(again, nullptr) << plat::GetLastError();
    EXPECT_EQ(plat::backend::ModuleReferenceCount(again), 1);
    EXPECT_TRUE(plat::FreeLibrary(again));
    EXPECT_EQ(Notifications(), "attach\nthrow detach\nattach\ndetach\n");
}

TEST_F(PlatLoader, LastComponentFallsBackToCaseInsensitiveMatch) {
    plat::Module module = plat::LoadLibraryA(ModulePath("KXTEST_ATTACH.SO").c_str());
    ASSERT_NE(module, nullptr);
    char path[4096];
    ASSERT_GT(plat::GetModuleFileNameA(module, path, sizeof path), 0u);
    EXPECT_EQ(fs::path(path).filename(), "kxtest_attach.so");
    plat::FreeLibrary(module);
}

TEST_F(PlatLoader, BackslashesAreSeparatorsAndFormsShareOneModule) {
    plat::Module slashed = plat::LoadLibraryA(ModulePath("kxtest_attach.so").c_str());
    plat::Module backslashed =
        plat::LoadLibraryA(WithBackslashes(ModulePath("kxtest_attach.so")).c_str());
    ASSERT_NE(slashed, nullptr);
    EXPECT_EQ(slashed, backslashed);
    // A symbolic link to the same file is the same module too.
    fs::create_symlink(ModulePath("kxtest_attach.so"), dir / "other.so");
    plat::Module linked = plat::LoadLibraryA((dir / "other.so").c_str());
    EXPECT_EQ(linked, slashed);
    EXPECT_EQ(plat::backend::ModuleReferenceCount(slashed), 3);
    EXPECT_EQ(Notifications(), "attach\n");
    for (int i = 0; i < 3; ++i) plat::FreeLibrary(slashed);
    EXPECT_EQ(Notifications(), "attach\ndetach\n");
}

TEST_F(PlatLoader, RelativePathsStartAtTheCurrentDirectory) {
    const fs::path previous = fs::current_path();
    fs::current_path(kModuleDir);
    plat::Module relative = plat::LoadLibraryA(".\\kxtest_attach.so");
    plat::Module bare = plat::LoadLibraryA("KxTest_Attach.so");
    fs::current_path(previous);
    ASSERT_NE(relative, nullptr);
    EXPECT_EQ(bare, relative);
    plat::FreeLibrary(relative);
    plat::FreeLibrary(bare);
}

TEST_F(PlatLoader, MissingFileIsModNotFound) {
    EXPECT_EQ(plat::LoadLibraryA((dir / "absent.dll").c_str()), nullptr);
    EXPECT_EQ(plat::GetLastError(), static_cast<plat::Dword>(plat::kErrorModNotFound));
    EXPECT_EQ(plat::LoadLibraryA("no_such_module_anywhere.so"), nullptr);
    EXPECT_EQ(plat::GetLastError(), static_cast<plat::Dword>(plat::kErrorModNotFound));
}

TEST_F(PlatLoader, FileThatIsNoModuleIsBadFormat) {
    kx::test::WriteFile(dir / "text.dll", "just text");
    EXPECT_EQ(plat::LoadLibraryA((dir / "text.dll").c_str()), nullptr);
    EXPECT_EQ(plat::GetLastError(), static_cast<plat::Dword>(plat::kErrorBadFormat));
}

TEST_F(PlatLoader, DependencyDllMainIsNotTheModules) {
    plat::Module module = plat::LoadLibraryA(ModulePath("kxtest_dependent.so").c_str());
    ASSERT_NE(module, nullptr) << plat::GetLastError();
    EXPECT_EQ(plat::GetProcAddress(module, "DllMain"), nullptr);
    EXPECT_EQ(plat::GetProcAddress(module, "BaseValue"), nullptr);
    auto value = reinterpret_cast<int (*)()>(plat::GetProcAddress(module, "DependentValue"));
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value(), 8);
    plat::FreeLibrary(module);
    EXPECT_FALSE(fs::exists(log));  // the base library's DllMain never ran
}

TEST_F(PlatLoader, DllMainMayLoadOtherModules) {
    ScopedEnv target("KX_TEST_NESTED_TARGET", ModulePath("kxtest_attach.so"));
    plat::Module nested = plat::LoadLibraryA(ModulePath("kxtest_nested.so").c_str());
    ASSERT_NE(nested, nullptr) << plat::GetLastError();
    EXPECT_EQ(Notifications(), "attach\n");
    plat::FreeLibrary(nested);
    EXPECT_EQ(Notifications(), "attach\ndetach\n");
}

TEST_F(PlatLoader, ProcAddressFailures) {
    plat::Module module = plat::LoadLibraryA(ModulePath("kxtest_attach.so").c_str());
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(plat::GetProcAddress(module, "NoSuchExport"), nullptr);
    EXPECT_EQ(plat::GetLastError(), static_cast<plat::Dword>(plat::kErrorProcNotFound));
    EXPECT_EQ(plat::GetProcAddress(module, reinterpret_cast<const char*>(3)), nullptr);
    plat::FreeLibrary(module);
    EXPECT_EQ(plat::GetProcAddress(module, "ModuleAnswer"), nullptr);
    EXPECT_EQ(plat::GetLastError(), static_cast<plat::Dword>(plat::kErrorInvalidHandle));
    EXPECT_FALSE(plat::FreeLibrary(module));
    EXPECT_FALSE(plat::FreeLibrary(nullptr));
}

TEST_F(PlatLoader, ModuleFileNameIsCutAndTerminated) {
    char exe[4096];
    const plat::Dword length = plat::GetModuleFileNameA(nullptr, exe, sizeof exe);
    ASSERT_GT(length, 0u);
    EXPECT_EQ(std::string(exe), fs::read_symlink("/proc/self/exe").string());
    char small[5];
    std::memset(small, 'x', sizeof small);
    EXPECT_EQ(plat::GetModuleFileNameA(nullptr, small, sizeof small), 4u);
    EXPECT_EQ(std::string(small), std::string(exe, 4));
}

TEST_F(PlatLoader, ResourceModuleServesItsStrings) {
    kx::test::WriteFile(dir / "kxUtlRes.dll",
                        StringTable({{140, "alert %s %s"}, {142, "Product"}, {7, ""}}));
    plat::Module module =
        plat::LoadLibraryExA(WithBackslashes((dir / "KXUTLRES.DLL").string()).c_str(),
                             plat::kDontResolveDllReferences | plat::kLoadWithAlteredSearchPath);
    ASSERT_NE(module, nullptr) << plat::GetLastError();
    char text[64];
    EXPECT_EQ(plat::LoadStringA(module, 140, text, sizeof text), 11);
    EXPECT_STREQ(text, "alert %s %s");
    char small[5];
    EXPECT_EQ(plat::LoadStringA(module, 142, small, sizeof small), 4);
    EXPECT_STREQ(small, "Prod");
    EXPECT_EQ(plat::LoadStringA(module, 141, text, sizeof text), 0);
    EXPECT_EQ(plat::GetLastError(), static_cast<plat::Dword>(plat::kErrorResourceNameNotFound));
    EXPECT_EQ(plat::GetProcAddress(module, "DllMain"), nullptr);
    char path[4096];
    ASSERT_GT(plat::GetModuleFileNameA(module, path, sizeof path), 0u);
    EXPECT_EQ(fs::path(path).filename(), "kxUtlRes.dll");
    EXPECT_TRUE(plat::FreeLibrary(module));
}

TEST_F(PlatLoader, ResourceLoadRunsNothingOfACodeModule) {
    EXPECT_EQ(plat::LoadLibraryExA(ModulePath("kxtest_attach.so").c_str(),
                                   plat::kDontResolveDllReferences),
              nullptr);
    EXPECT_EQ(plat::GetLastError(), static_cast<plat::Dword>(plat::kErrorBadFormat));
    EXPECT_FALSE(fs::exists(log));
}

TEST_F(PlatLoader, CodeModuleHasNoStrings) {
    plat::Module module = plat::LoadLibraryA(ModulePath("kxtest_attach.so").c_str());
    ASSERT_NE(module, nullptr);
    char text[8] = "x";
    EXPECT_EQ(plat::LoadStringA(module, 140, text, sizeof text), 0);
    EXPECT_STREQ(text, "");
    plat::FreeLibrary(module);
}

TEST_F(PlatLoader, CorruptStringTablesFailAsBadFormat) {
    std::string good = StringTable({{1, "abc"}, {2, "de"}});
    std::string bigCount = good;
    bigCount[8] = '\xff';
    std::string bigLength = good;
    bigLength[16] = '\xff';
    std::string hugeLength = good;
    hugeLength.replace(16, 4, "\xff\xff\xff\xff");
    std::string version = good;
    version[4] = 2;
    const std::vector<std::string> corrupt = {
        "",         "KXR",      "KXRS",    good.substr(0, good.size() - 1),
        good + "x", bigCount,   bigLength, hugeLength,
        version,    "MZ" + good};
    for (std::size_t i = 0; i < corrupt.size(); ++i) {
        kx::test::WriteFile(dir / "bad.dll", corrupt[i]);
        plat::SetLastError(0);
        EXPECT_EQ(plat::LoadLibraryExA((dir / "bad.dll").c_str(), plat::kDontResolveDllReferences),
                  nullptr)
            << i;
        EXPECT_EQ(plat::GetLastError(), static_cast<plat::Dword>(plat::kErrorBadFormat)) << i;
    }
    kx::test::WriteFile(dir / "good.dll", good);
    plat::Module module =
        plat::LoadLibraryExA((dir / "good.dll").c_str(), plat::kDontResolveDllReferences);
    ASSERT_NE(module, nullptr);
    plat::FreeLibrary(module);
}

TEST_F(PlatLoader, StringLoadRefusesBadArguments) {
    kx::test::WriteFile(dir / "r.dll", StringTable({{1, "abc"}}));
    plat::Module module =
        plat::LoadLibraryExA((dir / "r.dll").c_str(), plat::kDontResolveDllReferences);
    ASSERT_NE(module, nullptr);
    char text[4];
    EXPECT_EQ(plat::LoadStringA(module, 1, text, 0), 0);
    EXPECT_EQ(plat::LoadStringA(module, 1, nullptr, 4), 0);
    EXPECT_EQ(plat::LoadStringA(nullptr, 1, text, sizeof text), 0);
    plat::FreeLibrary(module);
    EXPECT_EQ(plat::LoadStringA(module, 1, text, sizeof text), 0);
}

TEST_F(PlatLoader, ModuleMappedBeforeGetsNoSecondAttach) {
    // Mapped by the process itself (as a library linked in would be): already initialised.
    void* own = ::dlopen(ModulePath("kxtest_attach.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(own, nullptr);
    plat::Module module = plat::LoadLibraryA(ModulePath("kxtest_attach.so").c_str());
    ASSERT_NE(module, nullptr);
    EXPECT_NE(plat::GetProcAddress(module, "ModuleAnswer"), nullptr);
    EXPECT_TRUE(plat::FreeLibrary(module));
    EXPECT_FALSE(fs::exists(log));
    ::dlclose(own);
}

TEST_F(PlatLoader, ModuleMappedByTheProcessAfterTheLoaderUnloadedItGetsNoAttach) {
    const std::string path = ModulePath("kxtest_attach.so");
    plat::FreeLibrary(plat::LoadLibraryA(path.c_str()));
    // Unmapped by that free; what the process maps now is its own mapping, not the loader's.
    void* own = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(own, nullptr);
    plat::Module module = plat::LoadLibraryA(path.c_str());
    ASSERT_NE(module, nullptr);
    EXPECT_TRUE(plat::FreeLibrary(module));
    ::dlclose(own);
    EXPECT_EQ(Notifications(), "attach\ndetach\n");
}

TEST_F(PlatLoader, BareNameFoundNowhereElseUsesTheSystemSearch) {
    plat::Module module = plat::LoadLibraryA("libm.so.6");
    ASSERT_NE(module, nullptr) << plat::GetLastError();
    EXPECT_NE(plat::GetProcAddress(module, "cos"), nullptr);
    char path[4096];
    ASSERT_GT(plat::GetModuleFileNameA(module, path, sizeof path), 0u);
    EXPECT_EQ(path[0], '/');
    EXPECT_TRUE(fs::exists(path));
    EXPECT_EQ(plat::LoadLibraryA(path), module);
    EXPECT_EQ(plat::backend::ModuleReferenceCount(module), 2);
    plat::FreeLibrary(module);
    plat::FreeLibrary(module);
}

TEST_F(PlatLoader, ResourceAndCodeLoadsOfOneFileAreSeparate) {
    kx::test::WriteFile(dir / "strings.dll", StringTable({{1, "a"}}));
    plat::Module first =
        plat::LoadLibraryExA((dir / "strings.dll").c_str(), plat::kDontResolveDllReferences);
    plat::Module second =
        plat::LoadLibraryExA((dir / "STRINGS.DLL").c_str(), plat::kDontResolveDllReferences);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    EXPECT_EQ(plat::backend::ModuleReferenceCount(first), 2);
    EXPECT_EQ(plat::LoadLibraryA((dir / "strings.dll").c_str()), nullptr);
    EXPECT_EQ(plat::GetLastError(), static_cast<plat::Dword>(plat::kErrorBadFormat));
    EXPECT_EQ(plat::backend::ModuleReferenceCount(first), 2);
    plat::FreeLibrary(first);
    plat::FreeLibrary(second);
    EXPECT_EQ(plat::backend::ModuleReferenceCount(first), 0);
}

TEST_F(PlatLoader, DirectoryIsNoModule) {
    EXPECT_EQ(plat::LoadLibraryA(dir.str().c_str()), nullptr);
    EXPECT_EQ(plat::GetLastError(), static_cast<plat::Dword>(plat::kErrorAccessDenied));
    EXPECT_EQ(plat::LoadLibraryA(""), nullptr);
    EXPECT_EQ(plat::LoadLibraryA(nullptr), nullptr);
}

TEST_F(PlatLoader, ConcurrentLoadsAndFreesKeepCountsRight) {
    const std::string path = ModulePath("kxtest_attach.so");
    plat::Module held = plat::LoadLibraryA(path.c_str());
    ASSERT_NE(held, nullptr);
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                plat::Module module = plat::LoadLibraryA(path.c_str());
                if (module != held || !plat::FreeLibrary(module)) ++failures;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(plat::backend::ModuleReferenceCount(held), 1);
    plat::FreeLibrary(held);
    EXPECT_EQ(Notifications(), "attach\ndetach\n");
}

TEST_F(PlatLoader, ModuleThatStaysMappedGetsAFreshAttachWhenLoadedAgain) {
    const std::string path = ModulePath("kxtest_nodelete.so");
    for (int round = 0; round < 2; ++round) {
        plat::Module module = plat::LoadLibraryA(path.c_str());
        ASSERT_NE(module, nullptr);
        plat::FreeLibrary(module);
        // Still mapped: the case this covers.
        void* mapped = ::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
        ASSERT_NE(mapped, nullptr);
        ::dlclose(mapped);
    }
    EXPECT_EQ(Notifications(), "attach\ndetach\nattach\ndetach\n");
}

}  // namespace
