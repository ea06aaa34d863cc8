// attacks_test.cpp: a less trusted party attacks a process that loads KXEvent.DLL, or the
// kxevent command: each case performs one attack for real and shows it fails. Grouped by what the
// attacker goes for: planted modules, a privileged host's environment, links at the files the
// library writes, a registry file that others can change, alert lines forged through values,
// events torn between threads, and registry lines injected through the command.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "kxevent/kxevent.h"
#include "library.h"
#include "platform/platform.h"
#include "platform/regfile.h"
#include "records.h"
#include "robust_support.h"

namespace kx::robust {
namespace {

namespace fs = std::filesystem;

constexpr char kModuleRefusal[] = "Untrusted module refused";
constexpr char kRegistryRefusal[] = "Untrusted registry refused";
constexpr char kProbeUser[] = "kxprobe";

void Mode(const fs::path& path, mode_t mode) {
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

// A scratch machine whose registry, event log and planted code the case controls. The marker is
// the file the planted module writes when any of it runs.
class AttackTest : public ScratchMachineTest {
  protected:
    void SetUp() override {
        fs::create_directories(alerts_);
        Mode(tmp_.path(), 0755);
    }
    void WriteRegistry(const test::RegFile& reg, mode_t mode = 0644) {
        reg.WriteTo(registry_);
        Mode(registry_, mode);
    }
    // A trusted copy of the installation directory's siblings and resource module.
    fs::path CopyInstallation() {
        const fs::path install = tmp_ / "install";
        fs::create_directories(install / "Res0901");
        for (const char* name : {"KXKRNL.DLL", "KXUTIL.DLL", "Res0901/kxUtlRes.dll"}) {
            fs::copy_file(fs::path(KX_TEST_INSTALL_DIR) / name, install / name);
        }
        Mode(install / "Res0901", 0755);
        Mode(install, 0755);
        return install;
    }
    bool PlantedCodeRan() const { return fs::exists(marker_); }
    std::size_t Logged(const std::string& text) const { return CountLogLines(eventLog_, text); }

    fs::path alerts_ = tmp_ / "alerts";
    fs::path marker_ = tmp_ / "planted-code-ran";
    test::ScopedEnv markerEnv_{"KX_TEST_PLANT_MARKER", marker_.string()};
};

// ---- Modules planted where the core components are searched for ----------------------------

class PlantedModuleTest : public AttackTest {
  protected:
    // The victim runs in a directory that everyone can write to, holding the attacker's
    // KXKRNL.DLL.
    void PlantInSharedCurrentDirectory() {
        fs::copy_file(KX_TEST_PLANT, shared_ / "KXKRNL.DLL");
        Mode(shared_, 0777);
    }
    fs::path shared_ = tmp_ / "shared";
    test::ScopedCurrentDir cwd_{shared_};
};

TEST_F(PlantedModuleTest, MissingInstallationDirectoryDoesNotFallThroughToPlantedModule) {
    test::RegFile reg = SendingRegistry(alerts_);
    reg.Key(kInstallKey).String("szInstallDir", (tmp_ / "absent").string());
    WriteRegistry(reg);
    PlantInSharedCurrentDirectory();

    EXPECT_FALSE(LoadedLibrary());  // no trusted kernel library: the attach is refused

    EXPECT_FALSE(PlantedCodeRan());
    EXPECT_EQ(Logged(kModuleRefusal), 1u);
    EXPECT_EQ(Logged(shared_.string() + " can be changed by users other than its owner"), 1u);
}

TEST_F(PlantedModuleTest, RefusedInstallationDirectoryEndsTheSearch) {
    const fs::path install = CopyInstallation();
    Mode(install, 0775);
    test::RegFile reg = SendingRegistry(alerts_);
    reg.Key(kInstallKey).String("szInstallDir", install.string());
    WriteRegistry(reg);
    PlantInSharedCurrentDirectory();

    EXPECT_FALSE(LoadedLibrary());

    EXPECT_FALSE(PlantedCodeRan());
    EXPECT_EQ(Logged(kModuleRefusal), 1u);  // the installation directory's, and no other place
    EXPECT_EQ(Logged(install.string() + " can be changed"), 1u);
    EXPECT_EQ(Logged(shared_.string()), 0u);
}

TEST_F(PlantedModuleTest, ZqpalBesideASharedCurrentDirectoryIsCheckedToo) {
    const fs::path zqpal = tmp_ / "zqpal";
    fs::create_directories(zqpal);
    fs::copy_file(KX_TEST_PLANT, zqpal / "KXKRNL.DLL");
    Mode(zqpal, 0777);
    test::RegFile reg = SendingRegistry(alerts_);
    reg.Key(kInstallKey).String("szInstallDir", (tmp_ / "absent").string());
    WriteRegistry(reg);

    EXPECT_FALSE(LoadedLibrary());

    EXPECT_FALSE(PlantedCodeRan());
    EXPECT_EQ(Logged(zqpal.string() + " can be changed"), 1u);
}

// With no installation directory the resource module comes from "..\zqpal" too. Its strings are
// the text of alert-failure entries and the product name of every alert.
TEST_F(PlantedModuleTest, ResourceModuleOthersCanChangeUnderZqpalIsRefusedWithItsReason) {
    Mode(shared_, 0755);
    const fs::path zqpal = tmp_ / "zqpal";
    fs::rename(CopyInstallation(), zqpal);
    const fs::path planted = zqpal / "Res0901" / "kxUtlRes.dll";
    Mode(planted, 0666);
    // A trusted copy for a later locale of the search: the refusal must not fall through to it.
    fs::create_directories(zqpal / "Res0000");
    fs::copy_file(zqpal / "Res0901" / "kxUtlRes.dll", zqpal / "Res0000" / "kxUtlRes.dll");
    Mode(zqpal / "Res0000" / "kxUtlRes.dll", 0644);
    Mode(zqpal / "Res0000", 0755);
    test::RegFile reg;  // no "szInstallDir": the places searched are the fallbacks
    reg.Key(kAlertingKey).Dword("NoIP", 1);
    WriteRegistry(reg);
    plat::ClearLoadRefusal();

    EXPECT_FALSE(LoadedLibrary());

    const std::string reason =
        fs::canonical(planted).string() + " can be changed by users other than its owner and root";
    EXPECT_EQ(Logged(kModuleRefusal), 1u);
    EXPECT_EQ(Logged(reason), 1u);
    std::string noted(plat::kMaxLoadRefusal + 1, '\0');
    noted.resize(plat::LoadRefusal(noted.data(), static_cast<plat::Dword>(noted.size())));
    EXPECT_NE(noted.find(reason), std::string::npos) << noted;
    EXPECT_EQ(noted.find("Res0000"), std::string::npos) << noted;
}

TEST_F(PlantedModuleTest, ForwardingEntryWithoutDirectoryIsNotSearchedFor) {
    Mode(shared_, 0755);  // even a trusted current directory does not make a bare name safe
    fs::copy_file(KX_TEST_PLANT, shared_ / "FwdPlant.dll");
    test::RegFile reg = SendingRegistry(alerts_);
    reg.Key(kForwardingKey).String("Planted", "FwdPlant.dll");
    WriteRegistry(reg);
    const LoadedLibrary library;
    ASSERT_TRUE(library);

    EXPECT_EQ(library.Send("bare name"), EVENT_OK);

    EXPECT_FALSE(PlantedCodeRan());
    EXPECT_EQ(Logged("FwdPlant.dll was not loaded: a configured module must be named with its "
                     "directory"),
              1u);
}

// ---- A set-user-ID host started by an unprivileged user with a hostile environment ----------

// The uid and gid of the unprivileged account the attack runs as, created when missing.
std::optional<std::pair<uid_t, gid_t>> ProbeAccount() {
    if (::getpwnam(kProbeUser) == nullptr) {
        test::RunProcess("/usr/sbin/useradd", {"--system", "--no-create-home", "--shell",
                                               "/usr/sbin/nologin", kProbeUser});
    }
    const passwd* account = ::getpwnam(kProbeUser);
    if (account == nullptr) return std::nullopt;
    return std::make_pair(account->pw_uid, account->pw_gid);
}

// Runs `program` as the user with exactly `environment`; its standard output.
std::string RunAs(uid_t uid, gid_t gid, const std::string& program,
                  const std::vector<std::string>& args,
                  const std::vector<std::string>& environment) {
    int out[2];
    if (::pipe(out) != 0) return {};
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::close(out[0]);
        ::close(out[1]);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (const std::string& entry : environment)
            envp.push_back(const_cast<char*>(entry.c_str()));
        envp.push_back(nullptr);
        if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(126);
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(out[1]);
    std::string output;
    char buffer[512];
    for (ssize_t got; (got = ::read(out[0], buffer, sizeof buffer)) > 0;)
        output.append(buffer, got);
    ::close(out[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return output;
}

TEST_F(AttackTest, SetUserIdHostIgnoresTheCallersVariables) {
    if (::geteuid() != 0) {
        GTEST_SKIP()
            << "making a set-user-ID root program and switching to another user needs root";
    }
    const auto account = ProbeAccount();
    if (!account) GTEST_SKIP() << "no unprivileged account " << kProbeUser << " and useradd failed";
    const fs::path host = tmp_ / "host";
    fs::copy_file(KX_TEST_HOST, host);
    ASSERT_EQ(::chown(host.c_str(), 0, 0), 0);
    Mode(host, 04755);
    // A directory only root can reach, holding a registry only root may read.
    const fs::path sealed = tmp_ / "sealed";
    fs::create_directories(sealed);
    Mode(sealed, 0700);
    test::RegFile reg;
    reg.Key("SOFTWARE\\KxProbe").String("Seen", "yes");
    reg.WriteTo(sealed / "hklm.reg");
    Mode(sealed / "hklm.reg", 0600);

    const std::string output =
        RunAs(account->first, account->second, host.string(), {KX_TEST_INSTALL_DIR "/KXEvent.DLL"},
              {"PATH=/usr/bin:/bin", "VEL_EVENTLOG=" + (sealed / "events.log").string(),
               "VEL_REGISTRY=" + (sealed / "hklm.reg").string(), "VEL_TICKCOUNT=4242",
               "KX_STANDIN_TRACE=" + (sealed / "trace.txt").string()});

    ASSERT_NE(output.find("euid=0 secure=1 "), std::string::npos) << output;
    EXPECT_NE(output.find("key=absent"), std::string::npos) << output;
    EXPECT_EQ(output.find("tick=4242 "), std::string::npos) << output;
    EXPECT_EQ(test::EntryNames(sealed), std::vector<std::string>{"hklm.reg"});
}

// ---- Links planted at the files the library writes ------------------------------------------

TEST_F(AttackTest, LinkAtEventLogPathIsNotFollowed) {
    const fs::path victim = tmp_ / "victim";
    const fs::path absent = tmp_ / "created-through-link";
    test::WriteFile(victim, "keep\n");
    for (const fs::path& target : {victim, absent}) {
        fs::remove(eventLog_);
        fs::create_symlink(target, eventLog_);
        plat::AddEventLogEntry("Source", "Label", 0, 0, "through a link");
    }
    EXPECT_EQ(test::ReadFile(victim), "keep\n");
    EXPECT_FALSE(fs::exists(absent));
}

TEST_F(AttackTest, SendWithLinkAtEventLogPathWritesNothingThroughIt) {
    const fs::path absent = tmp_ / "created-through-link";
    fs::create_symlink(absent, eventLog_);
    WriteRegistry(SendingRegistry(tmp_ / "no-such-alerting-directory"));
    const LoadedLibrary library;
    ASSERT_TRUE(library);
    library.Send("logs a delivery failure");  // the alerting directory is missing
    EXPECT_FALSE(fs::exists(absent));
    EXPECT_TRUE(fs::is_symlink(eventLog_));
}

TEST_F(AttackTest, EventLogIsCreatedForItsOwnerOnlyAndNoOtherFileTypeIsWritten) {
    const mode_t previous = ::umask(0);
    plat::AddEventLogEntry("Source", "Label", 0, 0, "new log");
    ::umask(previous);
    struct stat info;
    ASSERT_EQ(::stat(eventLog_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    fs::remove(eventLog_);
    ASSERT_EQ(::mkfifo(eventLog_.c_str(), 0600), 0);
    plat::AddEventLogEntry("Source", "Label", 0, 0, "a FIFO nobody reads");  // must not block
    EXPECT_TRUE(fs::is_fifo(eventLog_));
}

TEST_F(AttackTest, ScratchFileIsNotCreatedThroughALink) {
    const fs::path absent = tmp_ / "created-through-link";
    fs::create_symlink(absent, alerts_ / "ALERT.TMP");
    EXPECT_EQ(plat::FileCreate((alerts_ / "ALERT.TMP").c_str()), plat::kInvalidFile);
    EXPECT_FALSE(fs::exists(absent));
}

// ---- A registry file that others can change -------------------------------------------------

class UntrustedRegistryTest : public AttackTest {
  protected:
    static std::string Reason(const fs::path& file, const fs::path& part) {
        return "Nothing was read from the registry file " + file.string() + ": " + part.string() +
               " can be changed by users other than its owner and root";
    }
    std::string Reason(const fs::path& part) const { return Reason(registry_, part); }
    // Siblings from a directory that the environment names, so that the library loads.
    test::ScopedEnv core_{"VEL_DEBUGCORE", CopyInstallation().string()};
};

TEST_F(UntrustedRegistryTest, WorldWritableRegistryIsReadAsAbsentAndLoggedOncePerChange) {
    WriteRegistry(SendingRegistry(alerts_, "attacker's text"), 0666);
    const LoadedLibrary library;
    ASSERT_TRUE(library);

    EXPECT_EQ(library.Send("first"), EVENT_ERR_NO_DEFINITION);  // the catalogue is not taken
    EXPECT_EQ(library.Send("second"), EVENT_ERR_NO_DEFINITION);
    EXPECT_TRUE(fs::is_empty(alerts_));  // nor the alerting path
    EXPECT_EQ(Logged(kRegistryRefusal), 1u);
    EXPECT_EQ(Logged(Reason(registry_)), 1u);

    WriteRegistry(SendingRegistry(alerts_, "changed"), 0666);
    library.Send("after the change");
    EXPECT_EQ(Logged(kRegistryRefusal), 2u);
    EXPECT_TRUE(fs::is_empty(alerts_));
}

TEST_F(UntrustedRegistryTest, RegistryInGroupWritableDirectoryIsRefusedUntilRepaired) {
    const fs::path etc = tmp_ / "etc";
    fs::create_directories(etc);
    Mode(etc, 0775);
    SendingRegistry(alerts_).WriteTo(etc / "hklm.reg");
    const test::ScopedEnv registry("VEL_REGISTRY", (etc / "hklm.reg").string());
    const LoadedLibrary library;
    ASSERT_TRUE(library);
    EXPECT_EQ(library.Send("directory writable"), EVENT_ERR_NO_DEFINITION);
    EXPECT_EQ(Logged(Reason(etc / "hklm.reg", etc)), 1u);

    Mode(etc, 0755);
    EXPECT_EQ(library.Send("repaired"), EVENT_OK);
    EXPECT_EQ(FilesEndingWith(alerts_, ".ALR").size(), 1u);
}

TEST_F(UntrustedRegistryTest, RegistryOfAnotherUserIsRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "changing a file's owner needs root";
    WriteRegistry(SendingRegistry(alerts_));
    ASSERT_EQ(::chown(registry_.c_str(), 65534, 65534), 0);
    const LoadedLibrary library;
    ASSERT_TRUE(library);
    EXPECT_EQ(library.Send("other owner"), EVENT_ERR_NO_DEFINITION);
    EXPECT_EQ(Logged("is owned by user 65534"), 1u);
}

TEST_F(UntrustedRegistryTest, CommandPrintsTheReasonTheLibraryLogs) {
    WriteRegistry(SendingRegistry(alerts_), 0666);
    const test::ProcessResult result =
        test::RunProcess(KX_TEST_KXEVENT, {"send", "--product", "1", "--event", "1001"},
                         {{"VEL_REGISTRY", registry_.string()}});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find(Reason(registry_)), std::string::npos) << result.err;
    EXPECT_EQ(Logged(Reason(registry_)), 1u);
    EXPECT_TRUE(fs::is_empty(alerts_));
}

using SendFn = int(KX_API*)(uint32_t, int32_t, MessageRecord*, DetailRecord*, ContextRecord*);
using ResendFn = int(KX_API*)(uint32_t, uint32_t, int32_t, const char*, uint32_t, uint32_t);

constexpr std::int32_t kResentEvent = 1002;
constexpr char kResentEventKey[] = "Software\\Velmora\\QRD\\Shared Components\\Events\\0901\\1002";

// KXEvent.DLL of the build tree, loaded as a reporting product loads it.
class AttackedLibrary {
  public:
    AttackedLibrary() : module_(plat::LoadLibraryA(KX_TEST_INSTALL_DIR "/KXEvent.DLL")) {
        if (module_) {
            send_ = reinterpret_cast<SendFn>(plat::GetProcAddress(module_, "EVENT_SendVELMessage"));
            resend_ =
                reinterpret_cast<ResendFn>(plat::GetProcAddress(module_, "EVENT_SendVELEventEx"));
        }
    }
    ~AttackedLibrary() {
        if (module_) plat::FreeLibrary(module_);
    }
    AttackedLibrary(const AttackedLibrary&) = delete;
    AttackedLibrary& operator=(const AttackedLibrary&) = delete;
    bool loaded() const { return send_ != nullptr && resend_ != nullptr; }
    int Send(Records& r) const {
        return send_(kProduct, kEvent, &r.message, &r.detail, &r.context);
    }
    int Resend(const char* task) const { return resend_(0, kProduct, kResentEvent, task, 0, 0); }

  private:
    plat::Module module_;
    SendFn send_ = nullptr;
    ResendFn resend_ = nullptr;
};

// The physical lines of an alert file, split at CR LF.
std::vector<std::string> PhysicalLines(const fs::path& file) {
    const std::string text = test::ReadFile(file);
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find("\r\n", at);
        if (end == std::string::npos) break;
        lines.push_back(text.substr(at, end - at));
        at = end + 2;
    }
    return lines;
}

// A REG_SZ's bytes: a text with line breaks can only be written to a registry file as hex.
std::vector<std::uint8_t> SzBytes(const std::string& text) {
    std::vector<std::uint8_t> bytes(text.begin(), text.end());
    bytes.push_back(0);
    return bytes;
}

// Lines 1 to 28 must be the section line and the 27 keys in order, whatever follows.
void ExpectSectionAndKeysInOrder(const std::vector<std::string>& lines) {
    ASSERT_GE(lines.size(), 28u);
    EXPECT_EQ(lines[0], "[CentralAlert]");
    for (std::size_t i = 0; i < AlertKeyNames().size(); ++i) {
        EXPECT_EQ(lines[i + 1].substr(0, AlertKeyNames()[i].size() + 1), AlertKeyNames()[i] + "=")
            << "line " << i + 2 << ": " << lines[i + 1];
    }
}

// --- Line breaks in values forge alert lines ------------------------------------------------

// ---- Alert lines forged through line breaks in values ------------------------------------------

class LineBreakForgery : public ScratchMachineTest {
  protected:
    void SetUp() override { fs::create_directories(alerts_); }

    fs::path OnlyAlert(const fs::path& directory) const {
        const std::vector<fs::path> files = FilesEndingWith(directory, ".ALR");
        EXPECT_EQ(files.size(), 1u);
        return files.empty() ? fs::path() : files.front();
    }

    fs::path alerts_ = tmp_ / "alerts";
};

TEST_F(LineBreakForgery, CallersFileNameWithLineBreaksStaysOnItsOwnLine) {
    SendingRegistry(alerts_).WriteTo(registry_);
    AttackedLibrary library;
    ASSERT_TRUE(library.loaded());
    auto records = std::make_unique<Records>();
    std::strcpy(records->detail.szVirusName, "EICAR");
    std::strcpy(records->detail.szFileName,
                "C:\\a.exe\r\nszUserName=administrator\r\nuSeverity=0\n[CentralAlert]\r");
    ASSERT_EQ(library.Send(*records), EVENT_OK);

    const fs::path file = OnlyAlert(alerts_);
    const std::vector<std::string> lines = PhysicalLines(file);
    EXPECT_EQ(lines.size(), 28u);
    ExpectSectionAndKeysInOrder(lines);
    const AlertFile alert = ReadAlert(file);
    ASSERT_TRUE(alert.complete);
    EXPECT_EQ(alert.Value("szItemName"),
              "C:\\a.exe  szUserName=administrator  uSeverity=0 [CentralAlert] ");
    EXPECT_NE(alert.Value("szUserName"), "administrator");
}

TEST_F(LineBreakForgery, RegistryTextWithLineBreaksStaysOnItsOwnLine) {
    // A second user who may name the alerting directory names one whose name breaks the line.
    const fs::path forged = alerts_ / "in\r\nuSeverity=0\r\nszUserName=administrator";
    fs::create_directories(forged);
    test::RegFile reg;
    reg.Key(kInstallKey).String("szInstallDir", KX_TEST_INSTALL_DIR);
    reg.Key(kAlertingKey)
        .Dword("bEnableCAlert", 1)
        .Hex("Centralized Alerting Path", SzBytes(forged.string()), static_cast<int>(plat::kRegSz))
        .Dword("NoIP", 1);
    reg.Key(kEventKey)
        .String("ID", "Forged")
        .Hex("LONGDESCRIPT", SzBytes("Found it.\r\nsecond line"), static_cast<int>(plat::kRegSz));
    reg.WriteTo(registry_);
    AttackedLibrary library;
    ASSERT_TRUE(library.loaded());
    auto records = std::make_unique<Records>();
    std::strcpy(records->detail.szVirusName, "EICAR");
    ASSERT_EQ(library.Send(*records), EVENT_OK);

    const std::vector<std::string> lines = PhysicalLines(OnlyAlert(forged));
    // The last key keeps its line break: a reader takes it to the end of the file.
    ASSERT_EQ(lines.size(), 29u);
    ExpectSectionAndKeysInOrder(lines);
    EXPECT_EQ(lines[15],
              "szAlertPath=" + (alerts_ / "in  uSeverity=0  szUserName=administrator").string());
    EXPECT_EQ(lines[27].rfind("szActualMessage=Found it.", 0), 0u) << lines[27];
    EXPECT_EQ(lines[28].rfind("second line", 0), 0u) << lines[28];
}

TEST_F(LineBreakForgery, AlertShowPrintsNoControlCharacterRaw) {
    SendingRegistry(alerts_, "Found\x1b[2J it.").WriteTo(registry_);
    AttackedLibrary library;
    ASSERT_TRUE(library.loaded());
    auto records = std::make_unique<Records>();
    std::strcpy(records->detail.szVirusName, "EICAR\x1b]0;owned\x07");
    std::strcpy(records->detail.szFileName,
                "C:\\a\r\nb \xC2\x9B"
                "31m M\xC3\xBC"
                "ller");
    ASSERT_EQ(library.Send(*records), EVENT_OK);

    const test::ProcessResult shown = test::RunProcess(
        std::string(KX_TEST_BINARY_DIR) + "/bin/kxevent", {"alert", "show", alerts_.string()});
    ASSERT_EQ(shown.exitCode, 0) << shown.err;
    for (const char c : shown.out) {
        const auto byte = static_cast<unsigned char>(c);
        EXPECT_TRUE(byte >= 0x20 || byte == '\n') << "raw control character " << int{byte};
        EXPECT_NE(byte, 0x7F);
    }
    EXPECT_EQ(shown.out.find("\xC2\x9B"), std::string::npos);  // the one-byte form of ESC [
    EXPECT_NE(shown.out.find("EICAR\\x1b]0;owned\\x07"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("C:\\a  b \\u009b31m M\xC3\xBCller"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("Found\\x1b[2J it."), std::string::npos) << shown.out;

    const test::ProcessResult json =
        test::RunProcess(std::string(KX_TEST_BINARY_DIR) + "/bin/kxevent",
                         {"alert", "show", "--json", alerts_.string()});
    ASSERT_EQ(json.exitCode, 0) << json.err;
    EXPECT_EQ(json.out.find("\xC2\x9B"), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("b \\u009b31m M\xC3\xBCller"), std::string::npos) << json.out;
}

// --- The last-event snapshot tears under threads ---------------------------------------------

// ---- Events torn between threads sending and re-sending ----------------------------------------

class SnapshotTearing : public ScratchMachineTest {
  protected:
    void SetUp() override {
        fs::create_directories(alerts_);
        test::RegFile reg = SendingRegistry(alerts_);
        reg.Key(kResentEventKey).String("ID", "Resent").String("LONGDESCRIPT", "Resent event");
        reg.WriteTo(registry_);
    }

    fs::path alerts_ = tmp_ / "alerts";
};

// Every send names itself in three fields of both records; a torn snapshot pairs them wrongly.
void NameSend(Records& r, const std::string& name) {
    std::snprintf(r.detail.szVirusName, sizeof r.detail.szVirusName, "%s", name.c_str());
    std::snprintf(r.detail.szFileName, sizeof r.detail.szFileName, "%s.exe", name.c_str());
    std::snprintf(r.message.szSourceIP, sizeof r.message.szSourceIP, "%s", name.c_str());
}

TEST_F(SnapshotTearing, ThreadsSendingWhileAnotherResendsNeverMixTwoEvents) {
    constexpr int kSends = 300;
    AttackedLibrary library;
    ASSERT_TRUE(library.loaded());
    auto first = std::make_unique<Records>();
    NameSend(*first, "S-0");
    ASSERT_EQ(library.Send(*first), EVENT_OK);

    std::atomic<int> sendersLeft{2};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (const char* tag : {"A", "B"}) {
        threads.emplace_back([&, tag] {
            auto records = std::make_unique<Records>();
            for (int i = 0; i < kSends; ++i) {
                *records = Records{};
                NameSend(*records, std::string(tag) + "-" + std::to_string(i));
                if (library.Send(*records) != EVENT_OK) ++failures;
            }
            --sendersLeft;
        });
    }
    threads.emplace_back([&] {
        while (sendersLeft > 0) {
            if (library.Resend("resend") != EVENT_OK) ++failures;
        }
    });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failures, 0);

    int resent = 0;
    for (const fs::path& file : FilesEndingWith(alerts_, ".ALR")) {
        const AlertFile alert = ReadAlert(file);
        ASSERT_TRUE(alert.complete) << file;
        const std::string name = alert.Value("szVirusName");
        EXPECT_EQ(alert.Value("szItemName"), name + ".exe") << file;
        EXPECT_EQ(alert.Value("szSourceIP"), name) << file;
        if (alert.Value("uSpecificTrap") == std::to_string(kResentEvent)) {
            ++resent;
            EXPECT_EQ(alert.Value("szActualMessage").rfind("Resent event", 0), 0u) << file;
        }
    }
    EXPECT_GT(resent, 0);
}

// --- kxevent reg writes whatever a key path holds --------------------------------------------

// ---- Registry lines injected through the kxevent command ---------------------------------------

class RegCommandInjection : public ::testing::Test {
  protected:
    void SetUp() override {
        test::RegFile reg;
        reg.Key(kForwardingKey).String("Syslog", "/opt/kxevent/FwdSyslog.DLL");
        reg.WriteTo(registry_);
    }

    test::ProcessResult Reg(const std::vector<std::string>& args) const {
        std::vector<std::string> all = {"reg", "--file", registry_.string()};
        all.insert(all.end(), args.begin(), args.end());
        return test::RunProcess(std::string(KX_TEST_BINARY_DIR) + "/bin/kxevent", all,
                                {{"VEL_REGISTRY", registry_.string()}});
    }

    std::size_t ForwardingEntries() const {
        const reg::Document document = reg::Parse(test::ReadFile(registry_));
        const reg::Key* key = reg::FindKey(document, kForwardingKey);
        return key == nullptr ? 0 : key->values.size();
    }

    test::TempDir tmp_;
    fs::path registry_ = tmp_ / "hklm.reg";
};

TEST_F(RegCommandInjection, KeyPathWithLineBreaksIsRefusedAndChangesNothing) {
    const std::string before = test::ReadFile(registry_);
    const std::string path = std::string("Software\\Other]\r\n[HKEY_LOCAL_MACHINE\\") +
                             kForwardingKey + "]\r\n\"Planted\"=\"/tmp/planted.DLL\"\r\n[" +
                             "HKEY_LOCAL_MACHINE\\Software\\Other2";
    const test::ProcessResult result = Reg({"set", path, "Name", "x"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.err.find("the key path holds a carriage return (CR) at character 16"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(test::ReadFile(registry_), before);
    EXPECT_EQ(ForwardingEntries(), 1u);
}

TEST_F(RegCommandInjection, ValueNameWithControlCharactersIsRefused) {
    const std::string before = test::ReadFile(registry_);
    for (const std::string& name : std::vector<std::string>{"a\nb", "a\rb",
                                                            "a\x1b"
                                                            "b"}) {
        const test::ProcessResult result = Reg({"set", kForwardingKey, name, "/tmp/planted.DLL"});
        EXPECT_EQ(result.exitCode, 2) << result.err;
        EXPECT_NE(result.err.find("the value name holds"), std::string::npos) << result.err;
        EXPECT_EQ(result.err.find(name), std::string::npos);  // never echoed raw
    }
    EXPECT_EQ(test::ReadFile(registry_), before);
}

TEST_F(RegCommandInjection, ValueDataReadsBackExactlyWhatWasSet) {
    const std::string data = "x\"\r\n\"Planted\"=\"/tmp/planted.DLL\"\r\n]\\\\end\\";
    const test::ProcessResult result =
        Reg({"set", kAlertingKey, "Centralized Alerting Path", data});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(ForwardingEntries(), 1u);

    const test::ScopedEnv registry("VEL_REGISTRY", registry_.string());
    plat::HKey key = nullptr;
    ASSERT_EQ(plat::RegOpenKeyExA(kAlertingKey, &key), plat::kErrorSuccess);
    char read[256] = {};
    plat::Dword size = sizeof read;
    EXPECT_EQ(plat::RegQueryValueExA(key, "Centralized Alerting Path", nullptr, read, &size),
              plat::kErrorSuccess);
    plat::RegCloseKey(key);
    EXPECT_EQ(std::string(read), data);
    EXPECT_EQ(size, data.size() + 1);
}

}  // namespace
}  // namespace kx::robust
