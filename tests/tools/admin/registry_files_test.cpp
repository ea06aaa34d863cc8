// registry_files_test.cpp: the built-in default registry, the choice of the registry file and
// atomic saving.
#include "tools/admin/registry_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <set>

#include "common/registry.h"
#include "config/default_registry.h"
#include "platform/platform.h"
#include "support.h"
#include "tools/admin/errors.h"

namespace kx::tool {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::ScopedEnv;
using test::TempDir;
using test::WriteFile;

constexpr char kEvents[] = "Software\\Velmora\\QRD\\Shared Components\\Events\\";

std::string TextOf(const reg::Value* value) {
    if (value == nullptr) return "<missing>";
    std::string text(value->data.begin(), value->data.end());
    return text.substr(0, text.find('\0'));
}

// --- The built-in default --------------------------------------------------------------------

TEST(DefaultRegistry, TemplateIsACleanRegistryFile) {
    std::vector<reg::ParseIssue> issues;
    const reg::Document document = reg::Parse(config::DefaultRegistryTemplate(), &issues);
    EXPECT_TRUE(issues.empty()) << issues.front().line << ": " << issues.front().message;
    EXPECT_FALSE(document.keys.empty());
}

TEST(DefaultRegistry, CatalogueHasTwelveEventsInBothLanguagesWithTheirTexts) {
    const reg::Document document = reg::Parse(config::DefaultRegistryTemplate());
    for (const std::string language : {"0901", "0701"}) {
        ASSERT_NE(reg::FindKey(document, kEvents + language + "\\Defaults"), nullptr);
        std::set<std::string> events;
        int alwaysAlert = 0;
        for (const reg::Key& key : document.keys) {
            const std::string prefix = kEvents + language + "\\";
            if (key.path.rfind(prefix, 0) != 0 || key.path.ends_with("Defaults")) continue;
            events.insert(key.path);
            for (const char* name : {"ID", "SHORTDESCRIPT", "LONGDESCRIPT", "URL", "RESOLUTION"}) {
                const std::string text = TextOf(reg::FindValue(key, name));
                EXPECT_FALSE(text.empty()) << key.path << " " << name;
            }
            // Values that do not fit their buffers in the library count as missing.
            EXPECT_LT(TextOf(reg::FindValue(key, "SHORTDESCRIPT")).size(), 32u) << key.path;
            EXPECT_LT(TextOf(reg::FindValue(key, "ID")).size(), 64u) << key.path;
            EXPECT_NE(TextOf(reg::FindValue(key, "LONGDESCRIPT")).find('%'), std::string::npos);
            const reg::Value* severity = reg::FindValue(key, "SEVERITY");
            ASSERT_NE(severity, nullptr) << key.path;
            EXPECT_EQ(severity->type, plat::kRegDword);
            EXPECT_LE(severity->data[0], 4);
            if (reg::FindValue(key, "Always Alert")) ++alwaysAlert;
        }
        EXPECT_GE(events.size(), 12u) << language;
        EXPECT_GE(alwaysAlert, 1) << language;
    }
}

TEST(DefaultRegistry, FillingReplacesEveryPlaceholder) {
    const reg::Document document =
        FillDefaultTemplate(config::DefaultRegistryTemplate(), "/home/u/state", "/opt/kx/lib");
    const std::string text = reg::Serialize(document);
    EXPECT_EQ(text.find("@KXEVENT_"), std::string::npos);
    const reg::Key* alerting = reg::FindKey(document, test::kAlertingKey);
    ASSERT_NE(alerting, nullptr);
    EXPECT_EQ(TextOf(reg::FindValue(*alerting, "Centralized Alerting Path")),
              "/home/u/state/alerts");
    const reg::Key* forwarding = reg::FindKey(document, std::string(kEvents) + "Forwarding");
    ASSERT_NE(forwarding, nullptr);
    ASSERT_FALSE(forwarding->values.empty());
    EXPECT_EQ(TextOf(&forwarding->values[0]), "/opt/kx/lib/FwdSyslog.DLL");
}

TEST(DefaultRegistry, InstallWritesOnceAndKeepsLaterChanges) {
    TempDir dir;
    const fs::path file = InstallDefaultRegistry(dir / "state", dir / "lib");
    EXPECT_TRUE(fs::is_directory(dir / "state" / "alerts"));
    WriteFile(file, "REGEDIT4\r\n");
    EXPECT_EQ(InstallDefaultRegistry(dir / "state", dir / "lib"), file);
    EXPECT_EQ(ReadFile(file), "REGEDIT4\r\n");
}

// --- Which registry --------------------------------------------------------------------------

TEST(RegistryChoice, EnvironmentComesFirst) {
    TempDir dir;
    ScopedEnv registry("VEL_REGISTRY", (dir / "mine.reg").string());
    const RegistryChoice choice = SelectRegistry(dir / "lib");
    EXPECT_EQ(choice.source, RegistrySource::Environment);
    EXPECT_EQ(choice.file, dir / "mine.reg");
}

TEST(RegistryChoice, SystemFileWhenItExistsAndThenTheLibrarySeesIt) {
    TempDir dir;
    WriteFile(dir / "system.reg", "REGEDIT4\r\n");
    ScopedEnv registry("VEL_REGISTRY", std::nullopt);
    ScopedEnv system("KXEVENT_SYSTEM_REGISTRY", (dir / "system.reg").string());
    const RegistryChoice choice = SelectRegistry(dir / "lib");
    EXPECT_EQ(choice.source, RegistrySource::System);
    EXPECT_EQ(std::string(std::getenv("VEL_REGISTRY")), (dir / "system.reg").string());
}

// A user other than root cannot write the system alerting directory: trying the command, they
// work on a default of their own although the system file exists.
TEST(RegistryChoice, UnprivilegedUserGetsTheUserDefaultBesideASystemFile) {
    ASSERT_EQ(::geteuid(), 0u) << "the test switches to another user";
    TempDir dir;
    WriteFile(dir / "system.reg", "REGEDIT4\r\n");
    fs::create_directory(dir / "xdg");
    ASSERT_EQ(::chown((dir / "xdg").c_str(), 65534, 65534), 0);
    ScopedEnv registry("VEL_REGISTRY", std::nullopt);
    ScopedEnv system("KXEVENT_SYSTEM_REGISTRY", (dir / "system.reg").string());
    ScopedEnv state("XDG_STATE_HOME", (dir / "xdg").string());
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
        const RegistryChoice choice = SelectRegistry(dir / "lib");
        ::_exit(choice.source == RegistrySource::UserDefault &&
                        choice.file == dir / "xdg" / "kxevent" / "hklm.reg" &&
                        fs::exists(choice.file)
                    ? 0
                    : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the system file was chosen, 2: no switch of user";
}

TEST(RegistryChoice, UserDefaultWhenNothingElseExists) {
    TempDir dir;
    ScopedEnv registry("VEL_REGISTRY", std::nullopt);
    ScopedEnv system("KXEVENT_SYSTEM_REGISTRY", (dir / "none.reg").string());
    ScopedEnv state("XDG_STATE_HOME", (dir / "xdg").string());
    const RegistryChoice choice = SelectRegistry(dir / "lib");
    EXPECT_EQ(choice.source, RegistrySource::UserDefault);
    EXPECT_EQ(choice.file, dir / "xdg" / "kxevent" / "hklm.reg");
    EXPECT_TRUE(fs::exists(choice.file));
}

TEST(RegistryChoice, FindingTheRegistryToReadInstallsNothing) {
    TempDir dir;
    ScopedEnv registry("VEL_REGISTRY", std::nullopt);
    ScopedEnv system("KXEVENT_SYSTEM_REGISTRY", (dir / "none.reg").string());
    ScopedEnv state("XDG_STATE_HOME", (dir / "xdg").string());
    const RegistryChoice choice = FindRegistry();
    EXPECT_EQ(choice.source, RegistrySource::UserDefault);
    EXPECT_EQ(choice.file, dir / "xdg" / "kxevent" / "hklm.reg");
    const reg::Document document = ReadRegistryChoice(choice, dir / "lib");
    const reg::Key* alerting = reg::FindKey(document, test::kAlertingKey);
    ASSERT_NE(alerting, nullptr) << "the built-in default is read as it would be installed";
    EXPECT_EQ(TextOf(reg::FindValue(*alerting, "Centralized Alerting Path")),
              (dir / "xdg" / "kxevent" / "alerts").string());
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST(RegistryChoice, ReadingAMissingNamedFileGivesNothingAndCreatesNothing) {
    TempDir dir;
    const reg::Document document =
        ReadRegistryChoice({dir / "absent.reg", RegistrySource::Environment}, dir / "lib");
    EXPECT_TRUE(document.keys.empty());
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST(RegistryChoice, StateDirectoryFallsBackToHome) {
    ScopedEnv state("XDG_STATE_HOME", std::nullopt);
    ScopedEnv home("HOME", "/home/someone");
    EXPECT_EQ(StateDirectory(), fs::path("/home/someone/.local/state/kxevent"));
}

// --- Loading and saving ----------------------------------------------------------------------

TEST(RegistryFileLoad, MalformedLineIsRefusedWithItsNumber) {
    try {
        ParseRegistryText("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\ngarbage\r\n", "x.reg");
        FAIL() << "no error";
    } catch (const RuntimeError& error) {
        EXPECT_EQ(std::string(error.what()).rfind("x.reg: line 4: ", 0), 0u) << error.what();
    }
}

TEST(RegistryFileLoad, FileWithoutHeaderIsRefused) {
    EXPECT_THROW(ParseRegistryText("[HKEY_LOCAL_MACHINE\\A]\r\n", "x.reg"), RuntimeError);
}

TEST(RegistryFileSave, ReplacesTheFileWhole) {
    TempDir dir;
    WriteFile(dir / "a.reg", "old");
    SaveTextAtomically(dir / "a.reg", "new content");
    EXPECT_EQ(ReadFile(dir / "a.reg"), "new content");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(RegistryFileSave, FailureLeavesNeitherTheOldFileChangedNorATemporaryFile) {
    TempDir dir;
    fs::create_directory(dir / "target");  // a directory cannot be replaced by a file
    WriteFile(dir / "target" / "keep", "x");
    EXPECT_THROW(SaveTextAtomically(dir / "target", "text"), RuntimeError);
    EXPECT_TRUE(fs::is_directory(dir / "target"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(RegistryFileSave, KeepsTheOwnerGroupAndModeOfAnotherUsersFile) {
    ASSERT_EQ(::geteuid(), 0u) << "the test gives the file to another user";
    TempDir dir;
    const fs::path file = dir / "a.reg";
    WriteFile(file, "old");
    ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
    SaveTextAtomically(file, "new");
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 65534u);
    EXPECT_EQ(info.st_gid, 65534u);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(ReadFile(file), "new");
}

TEST(RegistryFileSave, WritesThroughSymbolicLinksToTheTargetInItsOwnDirectory) {
    TempDir dir;
    fs::create_directories(dir / "etc" / "real");
    const fs::path target = dir / "etc" / "real" / "hklm.reg";
    WriteFile(target, "old");
    ASSERT_EQ(::chmod(target.c_str(), 0600), 0);
    fs::create_symlink("real/hklm.reg", dir / "etc" / "middle.reg");  // relative, then absolute
    fs::create_symlink(dir / "etc" / "middle.reg", dir / "hklm.reg");
    SaveTextAtomically(dir / "hklm.reg", "new");
    EXPECT_TRUE(fs::is_symlink(dir / "hklm.reg"));
    EXPECT_TRUE(fs::is_symlink(dir / "etc" / "middle.reg"));
    EXPECT_EQ(ReadFile(target), "new");
    EXPECT_EQ(fs::status(target).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "etc" / "real"), fs::directory_iterator()),
              1);
}

TEST(RegistryFileSave, LinkToAFileNotYetThereCreatesTheTarget) {
    TempDir dir;
    fs::create_directory(dir / "real");
    fs::create_symlink(dir / "real" / "new.reg", dir / "link.reg");
    SaveTextAtomically(dir / "link.reg", "text");
    EXPECT_TRUE(fs::is_symlink(dir / "link.reg"));
    EXPECT_EQ(ReadFile(dir / "real" / "new.reg"), "text");
    const fs::perms perms = fs::status(dir / "real" / "new.reg").permissions();
    EXPECT_EQ(perms & (fs::perms::group_write | fs::perms::others_write), fs::perms::none);
}

TEST(RegistryFileSave, LinkLoopIsRefusedAndNothingIsWritten) {
    TempDir dir;
    fs::create_symlink(dir / "b.reg", dir / "a.reg");
    fs::create_symlink(dir / "a.reg", dir / "b.reg");
    EXPECT_THROW(SaveTextAtomically(dir / "a.reg", "text"), RuntimeError);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
}

TEST(RegistryFileSave, DirectoryThatDoesNotExistIsReported) {
    TempDir dir;
    EXPECT_THROW(SaveTextAtomically(dir / "missing" / "a.reg", "text"), RuntimeError);
}

// --- Alerting settings ---------------------------------------------------------------------

// The command watches the directory the library will write to, so it reads the alerting path
// exactly as the library does: a value that fills the library's 256-byte buffer keeps 255
// characters, a longer one counts as missing.
TEST(AlertSettings, DirectoryIsReadAsTheLibraryReadsIt) {
    const test::TempDir dir;
    const auto settingsFor = [&](const std::string& path) {
        test::RegFile()
            .Key(kAlertingKey)
            .Dword("bEnableCAlert", 1)
            .Hex("Centralized Alerting Path", {path.begin(), path.end()}, 1)
            .WriteTo(dir / "hklm.reg");
        return ReadAlertSettings(dir / "hklm.reg");
    };
    const std::string full = "/" + std::string(255, 'd');
    const AlertSettings filled = settingsFor(full);
    EXPECT_TRUE(filled.enabled);
    ASSERT_TRUE(filled.directory.has_value());
    EXPECT_EQ(filled.directory->string(), full.substr(0, 255));
    EXPECT_FALSE(settingsFor(full + "d").directory.has_value());
    EXPECT_EQ(settingsFor(std::string("/alerts\\new\0rest", 16)).directory->string(),
              "/alerts/new");
}

}  // namespace
}  // namespace kx::tool
