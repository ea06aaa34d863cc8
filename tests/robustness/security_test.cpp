// security_test.cpp: modules named by configuration are loaded only from files that no one but
// their owner and root can change; alert files are no wider than the umask allows.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "library.h"
#include "robust_support.h"

namespace kx::robust {
namespace {

namespace fs = std::filesystem;

constexpr char kRefusal[] = "Untrusted module refused";
constexpr uid_t kOtherUser = 65534;

void Mode(const fs::path& path, mode_t mode) {
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

class ScopedUmask {
  public:
    explicit ScopedUmask(mode_t mask) : previous_(::umask(mask)) {}
    ~ScopedUmask() { ::umask(previous_); }

  private:
    mode_t previous_;
};

class TrustTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(dir_);
        test::WriteFile(file_, "module");
        Mode(file_, 0644);
        Mode(dir_, 0755);
    }
    test::TempDir tmp_;
    fs::path dir_ = tmp_ / "dir";
    fs::path file_ = dir_ / "module.dll";
};

// The temporary directory's parent is the system's shared, sticky directory.
TEST_F(TrustTest, OwnFileInOwnDirectoryUnderStickySharedDirectoryIsTrusted) {
    EXPECT_TRUE(plat::IsTrustedPath(file_.c_str()));
    EXPECT_TRUE(plat::IsTrustedPath(dir_.c_str()));
}

TEST_F(TrustTest, GroupOrWorldWritableFileIsNotTrusted) {
    Mode(file_, 0664);
    EXPECT_FALSE(plat::IsTrustedPath(file_.c_str()));
    Mode(file_, 0646);
    EXPECT_FALSE(plat::IsTrustedPath(file_.c_str()));
}

TEST_F(TrustTest, FileInWritableDirectoryIsNotTrustedEvenWithStickyBit) {
    Mode(dir_, 0775);
    EXPECT_FALSE(plat::IsTrustedPath(file_.c_str()));
    Mode(dir_, 01777);
    EXPECT_FALSE(plat::IsTrustedPath(file_.c_str()));
}

TEST_F(TrustTest, WritableDirectoryHigherUpMakesEverythingBelowUntrusted) {
    fs::create_directories(dir_ / "sub");
    test::WriteFile(dir_ / "sub" / "deep.dll", "module");
    Mode(dir_ / "sub" / "deep.dll", 0644);
    Mode(dir_, 0777);
    EXPECT_FALSE(plat::IsTrustedPath((dir_ / "sub" / "deep.dll").c_str()));
}

TEST_F(TrustTest, FileOwnedByAnotherUserIsNotTrusted) {
    if (::geteuid() != 0) GTEST_SKIP() << "changing a file's owner needs root";
    ASSERT_EQ(::chown(file_.c_str(), kOtherUser, kOtherUser), 0);
    EXPECT_FALSE(plat::IsTrustedPath(file_.c_str()));
}

TEST_F(TrustTest, MissingOrEmptyPathIsNotTrusted) {
    EXPECT_FALSE(plat::IsTrustedPath((dir_ / "absent.dll").c_str()));
    EXPECT_FALSE(plat::IsTrustedPath(""));
    EXPECT_FALSE(plat::IsTrustedPath(nullptr));
}

TEST_F(TrustTest, BackslashPathsAreCheckedLikeTheirNativeForm) {
    std::string windows = file_.string();
    std::replace(windows.begin(), windows.end(), '/', '\\');
    EXPECT_TRUE(plat::IsTrustedPath(windows.c_str()));
    Mode(file_, 0666);
    EXPECT_FALSE(plat::IsTrustedPath(windows.c_str()));
}

// Sends and loads through the installed library with a registry of the test's own.
class ConfiguredModuleTest : public ScratchMachineTest {
  protected:
    void SetUp() override {
        fs::create_directories(alerts_);
        Mode(tmp_.path(), 0755);
    }
    void WriteRegistry(const test::RegFile& reg) {
        reg.WriteTo(registry_);
        Mode(registry_, 0644);
    }
    test::RegFile Forwarding(const fs::path& module) {
        test::RegFile reg = SendingRegistry(alerts_);
        reg.Key(kForwardingKey).String("Forwarder", module.string());
        return reg;
    }
    std::string ForwardLog() const { return test::ReadFile(tmp_ / "forward.log"); }
    // A copy of the installation directory's kernel and utility libraries and resource module.
    fs::path CopyInstallation() {
        const fs::path install = tmp_ / "install";
        fs::create_directories(install);
        fs::create_directories(install / "Res0901");
        Mode(install / "Res0901", 0755);
        for (const char* name : {"KXKRNL.DLL", "KXUTIL.DLL", "Res0901/kxUtlRes.dll"}) {
            fs::copy_file(fs::path(KX_TEST_INSTALL_DIR) / name, install / name);
            Mode(install / name, 0755);
        }
        Mode(install, 0755);
        return install;
    }

    fs::path alerts_ = tmp_ / "alerts";
    test::ScopedEnv forwardLog_{"KX_TEST_FORWARD_LOG", (tmp_ / "forward.log").string()};
};

TEST_F(ConfiguredModuleTest, ForwardingModuleOfTrustedListIsCalled) {
    WriteRegistry(Forwarding(KX_TEST_FORWARD_DIR "/FwdA.dll"));
    const LoadedLibrary library;
    ASSERT_TRUE(library);
    EXPECT_EQ(library.Send("trusted"), EVENT_OK);
    EXPECT_NE(ForwardLog().find("call FwdA"), std::string::npos);
    EXPECT_EQ(CountLogLines(eventLog_, kRefusal), 0u);
}

TEST_F(ConfiguredModuleTest, GroupWritableRegistryFileLoadsNoForwardingModuleAndSaysWhy) {
    // Siblings come from a directory that the environment names, so that the library loads.
    const test::ScopedEnv core("VEL_DEBUGCORE", CopyInstallation().string());
    WriteRegistry(Forwarding(KX_TEST_FORWARD_DIR "/FwdA.dll"));
    const LoadedLibrary library;  // attach reads the registry while it is still trusted
    ASSERT_TRUE(library);
    Mode(registry_, 0664);

    library.Send("list writable");

    // The whole file is refused, so the module is never even named.
    EXPECT_EQ(ForwardLog().find("call FwdA"), std::string::npos);
    EXPECT_EQ(CountLogLines(eventLog_, kRefusal), 0u);
    EXPECT_EQ(CountLogLines(eventLog_, "Untrusted registry refused"), 1u);
    EXPECT_EQ(CountLogLines(eventLog_, "the registry file " + registry_.string()), 1u);
}

TEST_F(ConfiguredModuleTest, ForwardingModuleInWorldWritableDirectoryIsRefused) {
    const fs::path modules = tmp_ / "modules";
    fs::create_directories(modules);
    fs::copy_file(KX_TEST_FORWARD_DIR "/FwdA.dll", modules / "FwdA.dll");
    Mode(modules / "FwdA.dll", 0755);
    Mode(modules, 0777);
    WriteRegistry(Forwarding(modules / "FwdA.dll"));
    const LoadedLibrary library;
    ASSERT_TRUE(library);

    library.Send("module dir writable");

    EXPECT_EQ(ForwardLog().find("attach FwdA"), std::string::npos);  // nothing of it ran
    EXPECT_EQ(CountLogLines(eventLog_, kRefusal), 1u);
    EXPECT_EQ(CountLogLines(eventLog_, modules.string() + " can be changed"), 1u);
}

TEST_F(ConfiguredModuleTest, ForwardingModuleOwnedByAnotherUserIsRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "changing a file's owner needs root";
    const fs::path modules = tmp_ / "modules";
    fs::create_directories(modules);
    fs::copy_file(KX_TEST_FORWARD_DIR "/FwdA.dll", modules / "FwdA.dll");
    ASSERT_EQ(::chown((modules / "FwdA.dll").c_str(), kOtherUser, kOtherUser), 0);
    WriteRegistry(Forwarding(modules / "FwdA.dll"));
    const LoadedLibrary library;
    ASSERT_TRUE(library);

    library.Send("module of another user");

    EXPECT_EQ(ForwardLog().find("attach FwdA"), std::string::npos);
    EXPECT_EQ(CountLogLines(eventLog_, kRefusal), 1u);
}

TEST_F(ConfiguredModuleTest, GroupWritableInstallationDirectoryRefusesTheSiblingsAndTheLoad) {
    const fs::path install = CopyInstallation();
    Mode(install, 0775);
    test::RegFile reg = SendingRegistry(alerts_);
    reg.Key(kInstallKey).String("szInstallDir", install.string());
    WriteRegistry(reg);

    const LoadedLibrary library;

    EXPECT_FALSE(library);  // no kernel library: the attach is refused
    EXPECT_GE(CountLogLines(eventLog_, kRefusal), 1u);
    EXPECT_GE(CountLogLines(eventLog_, install.string() + " can be changed"), 1u);
}

TEST_F(ConfiguredModuleTest, InstallationDirectoryOfAnotherUserRefusesTheSiblings) {
    if (::geteuid() != 0) GTEST_SKIP() << "changing a file's owner needs root";
    const fs::path install = CopyInstallation();
    ASSERT_EQ(::chown(install.c_str(), kOtherUser, kOtherUser), 0);
    const test::ScopedEnv core("VEL_DEBUGCORE", install.string());
    WriteRegistry(SendingRegistry(alerts_));

    EXPECT_FALSE(LoadedLibrary());
    EXPECT_GE(CountLogLines(eventLog_, kRefusal), 1u);
}

TEST_F(ConfiguredModuleTest, WorldWritableRegistryFileRefusesTheSiblingsItNames) {
    WriteRegistry(SendingRegistry(alerts_));  // names the build tree's installation directory
    Mode(registry_, 0666);

    EXPECT_FALSE(LoadedLibrary());
    EXPECT_GE(CountLogLines(eventLog_, "the registry file " + registry_.string()), 1u);
}

// Owner read-write and group read, the alerting directory's group being the collector's,
// however wide or narrow the product's umask.
TEST_F(ConfiguredModuleTest, AlertFilesAreReadableByOwnerAndGroupAloneWhatEverTheUmask) {
    WriteRegistry(SendingRegistry(alerts_));
    const LoadedLibrary library;
    ASSERT_TRUE(library);
    for (const mode_t mask : {0000, 0022, 0077}) {
        SCOPED_TRACE(mask);
        {
            const ScopedUmask scoped(mask);
            ASSERT_EQ(library.Send("umask"), EVENT_OK);
        }
        const auto files = FilesEndingWith(alerts_, ".ALR");
        ASSERT_EQ(files.size(), 1u);
        struct stat info;
        ASSERT_EQ(::stat(files.front().c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0640u);
        fs::remove(files.front());
    }
}

}  // namespace
}  // namespace kx::robust
