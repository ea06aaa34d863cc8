// doctor_test.cpp: "kxevent doctor" run as a child process on a real installation copied from
// the build tree, with real modes and owners: a sound one passes, each fault is named.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "child_process.h"
#include "command_environment.h"
#include "common/fd.h"
#include "support.h"

namespace kx::test {
namespace {

namespace fs = std::filesystem;

const std::string kCommand = std::string(KX_TEST_BINARY_DIR) + "/bin/kxevent";
constexpr uid_t kNobody = 65534;

// Runs "$@" in a mount namespace of its own whose /dev holds the usual devices and, as log, the
// socket $2 when there is one there (the syslog socket the library writes to), as user $3 when
// that is not empty. $1/dev, made in the namespace's own file system, becomes /dev.
constexpr char kPrivateDevScript[] =
    "set -e; dev=$1/dev; mkdir -p \"$dev\"; mount -t tmpfs tmpfs \"$dev\"; "
    "for n in null zero random urandom; do touch \"$dev/$n\"; mount --bind /dev/$n \"$dev/$n\"; "
    "done; "
    "if [ -S \"$2\" ]; then touch \"$dev/log\"; mount --bind \"$2\" \"$dev/log\"; fi; "
    "mount --rbind \"$dev\" /dev; user=$3; shift 3; "
    "if [ -n \"$user\" ]; then exec setpriv --reuid=\"$user\" --regid=\"$user\" --clear-groups "
    "\"$@\"; fi; "
    "exec \"$@\"";

// A datagram socket bound at `path`, as a system logger holds /dev/log.
Fd BoundSocket(const fs::path& path) {
    Fd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ADD_FAILURE() << "cannot bind " << path;
    }
    ::chmod(path.c_str(), 0666);  // as a system logger leaves it: anyone may log
    return fd;
}

class Doctor : public ::testing::Test {
  protected:
    TempDir dir;
    fs::path registry = dir / "hklm.reg";
    fs::path install = dir / "install";
    fs::path alerts = dir / "alerts";
    TempDir scratch;  // the sockets, and the mount point of the command's /dev
    fs::path syslog = scratch / "syslog";
    Fd logger = BoundSocket(syslog);

    // The build tree's installation directory, copied with the modes a package gives it.
    void SetUp() override {
        fs::copy(KX_TEST_INSTALL_DIR, install, fs::copy_options::recursive);
        for (const auto& entry : fs::recursive_directory_iterator(install)) {
            ::chmod(entry.path().c_str(), entry.is_directory() ? 0755 : 0644);
        }
        ::chmod(install.c_str(), 0755);
        fs::create_directory(alerts);
        ::chmod(alerts.c_str(), 0755);
    }

    RegFile Registry(bool withInstallDir = true, const std::string& forwarder = "") const {
        RegFile reg;
        reg.Key(kInstallKey).String("szProduct", "test");
        if (withInstallDir) reg.String("szInstallDir", install.string());
        reg.Key(kAlertingKey)
            .Dword("bEnableCAlert", 1)
            .String("Centralized Alerting Path", alerts.string());
        reg.Key(kForwardingKey)
            .String("Syslog", forwarder.empty() ? (install / "FwdSyslog.DLL").string() : forwarder);
        return reg;
    }

    // doctor, with a system logger listening at /dev/log unless `socket` names another place.
    ProcessResult Run(bool useRegistry = true, const std::vector<std::string>& options = {},
                      const fs::path& socket = {}, const std::string& user = "",
                      const Environment& overrides = {}) const {
        Environment env = CommandEnvironment(
            dir, useRegistry ? std::optional(registry) : std::nullopt, install.string());
        for (const auto& [name, value] : overrides) env[name] = value;
        std::vector<std::string> args = {"--mount",
                                         "/bin/sh",
                                         "-c",
                                         kPrivateDevScript,
                                         "sh",
                                         scratch.str(),
                                         (socket.empty() ? syslog : socket).string(),
                                         user,
                                         kCommand,
                                         "doctor"};
        args.insert(args.end(), options.begin(), options.end());
        return RunProcess("/usr/bin/unshare", args, env);
    }

    std::set<fs::path> Entries() const {
        std::set<fs::path> entries;
        for (const auto& entry : fs::recursive_directory_iterator(dir.path())) {
            entries.insert(entry.path());
        }
        return entries;
    }
};

// `count` FAIL lines in the output (a fault may fail every check that depends on it), the
// first of them holding `fragment`.
void ExpectFailure(const ProcessResult& result, const std::string& fragment,
                   std::size_t count = 1) {
    EXPECT_EQ(result.exitCode, 1) << result.out << result.err;
    std::vector<std::string> failures;
    for (const std::string& line : Lines(result.out)) {
        if (line.rfind("FAIL  ", 0) == 0) failures.push_back(line);
        EXPECT_TRUE(line.rfind("ok    ", 0) == 0 || line.rfind("FAIL  ", 0) == 0) << line;
    }
    ASSERT_EQ(failures.size(), count) << result.out;
    EXPECT_NE(failures[0].find(fragment), std::string::npos) << failures[0];
}

TEST_F(Doctor, SoundInstallationPassesEveryCheckAndChangesNothing) {
    Registry().WriteTo(registry);
    ::chmod(registry.c_str(), 0644);
    const std::set<fs::path> before = Entries();
    const ProcessResult result = Run();
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    const auto lines = Lines(result.out);
    ASSERT_GE(lines.size(), 10u) << result.out;
    for (const std::string& line : lines) EXPECT_EQ(line.rfind("ok    ", 0), 0u) << line;
    EXPECT_NE(result.out.find("ok    registry: " + registry.string() + " (named by VEL_REGISTRY)"),
              std::string::npos);
    EXPECT_NE(result.out.find("ok    module KXKRNL.DLL: " + (install / "KXKRNL.DLL").string()),
              std::string::npos);
    EXPECT_NE(result.out.find("ok    resource module: " + install.string() + "/Res"),
              std::string::npos);
    EXPECT_NE(result.out.find("ok    alerting directory: " + alerts.string() +
                              " (owner root, group root, mode 0755"),
              std::string::npos);
    EXPECT_EQ(Entries(), before);  // not even the event-log file
}

TEST_F(Doctor, GroupWritableRegistryFailsTheTrustCheck) {
    Registry().WriteTo(registry);
    ::chmod(registry.c_str(), 0664);
    const ProcessResult result = Run();
    ExpectFailure(result, "FAIL  registry trust: ");
    EXPECT_NE(result.out.find(registry.string() +
                              " can be changed by users other than its owner and root, so the "
                              "library reads no registry at all; make it"),
              std::string::npos)
        << result.out;
}

TEST_F(Doctor, MissingInstallDirValueIsNamedWithItsKey) {
    Registry(false).WriteTo(registry);
    ExpectFailure(Run(),
                  "FAIL  installation directory: \"szInstallDir\" is missing from "
                  "HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\QRD\\Shared Components\\Brisa\\"
                  "CurrentVersion");
}

TEST_F(Doctor, InstallDirWritableByOthersOrOwnedByAnotherUserIsUntrusted) {
    Registry().WriteTo(registry);
    ::chmod(install.c_str(), 0777);
    // The forwarding module below it fails too.
    ExpectFailure(Run(),
                  "FAIL  installation directory: " + install.string() +
                      " can be changed by users other than its owner and root",
                  2);
    ::chmod(install.c_str(), 0755);
    ASSERT_EQ(::chown(install.c_str(), kNobody, kNobody), 0);
    ExpectFailure(Run(), install.string() + " is owned by user 65534", 2);
}

TEST_F(Doctor, ModuleWritableByOthersIsNamed) {
    Registry().WriteTo(registry);
    ::chmod((install / "KXUTIL.DLL").c_str(), 0666);
    ExpectFailure(Run(), "FAIL  module KXUTIL.DLL: " + (install / "KXUTIL.DLL").string() +
                             " can be changed by users other than its owner and root");
}

TEST_F(Doctor, MissingResourceModuleListsThePathsTried) {
    Registry().WriteTo(registry);
    for (const auto& entry : fs::directory_iterator(install)) {
        if (entry.is_directory()) fs::remove_all(entry.path());
    }
    ExpectFailure(
        Run(), "FAIL  resource module: kxUtlRes.dll not found; tried " + install.string() + "/Res");
}

// The library loads the resource module with the trust check of its core components, so a copy
// others can change stops it from loading at all.
TEST_F(Doctor, ResourceModuleWritableByOthersIsNamedWithItsMode) {
    Registry().WriteTo(registry);
    for (const auto& entry : fs::directory_iterator(install)) {
        if (entry.is_directory()) ::chmod((entry.path() / "kxUtlRes.dll").c_str(), 0666);
    }
    const ProcessResult result = Run();
    ExpectFailure(result, "FAIL  resource module: " + install.string() + "/Res");
    EXPECT_NE(
        result.out.find(
            "/kxUtlRes.dll can be changed by users other than its owner and "
            "root (owner root, group root, mode 0666), so the library refuses to load; make it"),
        std::string::npos)
        << result.out;
}

TEST_F(Doctor, ResourceDirectoryWritableByItsGroupIsNamedWithItsMode) {
    Registry().WriteTo(registry);
    std::vector<fs::path> folders;
    for (const auto& entry : fs::directory_iterator(install)) {
        if (entry.is_directory()) folders.push_back(entry.path());
    }
    for (const fs::path& folder : folders) ::chmod(folder.c_str(), 0775);
    const ProcessResult result = Run();
    ExpectFailure(result, "FAIL  resource module: ");
    bool named = false;
    for (const fs::path& folder : folders) {
        named =
            named || result.out.find(": " + folder.string() +
                                     " can be changed by users other than its owner and root "
                                     "(owner root, group root, mode 0775)") != std::string::npos;
    }
    EXPECT_TRUE(named) << result.out;
}

// A copy the loader cannot use as a resource module is passed over, as the library passes it:
// a German copy that is no string table, or a directory at its name, is no refusal: the search
// goes on past it to the English module.
TEST_F(Doctor, ResourceModuleThatCannotBeLoadedIsPassedOver) {
    Registry().WriteTo(registry);
    const ScopedEnv thread("VEL_THREAD_LCID", "0x0407");
    const ScopedEnv user("VEL_USER_LCID", "0x0407");
    const ScopedEnv system("VEL_SYSTEM_LCID", "0x0407");
    const fs::path german = install / "Res0701" / "kxUtlRes.dll";
    const std::pair<const char*, void (*)(const fs::path&)> cases[] = {
        {"no string table", [](const fs::path& at) { WriteFile(at, "not a string table"); }},
        {"a directory",
         [](const fs::path& at) {
             fs::remove(at);
             fs::create_directories(at);
         }},
    };
    for (const auto& [what, place] : cases) {
        SCOPED_TRACE(what);
        fs::remove_all(german);
        place(german);
        const ProcessResult result = Run();
        EXPECT_EQ(result.exitCode, 0) << result.out;
        EXPECT_NE(
            result.out.find("ok    resource module: " +
                            (install / "Res0901" / "kxUtlRes.dll").string() + " (language 0901)"),
            std::string::npos)
            << result.out;
    }
}

TEST_F(Doctor, MissingAlertingDirectoryIsNamed) {
    Registry().WriteTo(registry);
    fs::remove(alerts);
    ExpectFailure(Run(), "FAIL  alerting directory: " + alerts.string() +
                             " does not exist or is no directory");
    EXPECT_FALSE(fs::exists(alerts));
}

// The package gives the alerting directory to the collector's group, which removes what it
// delivered; group write for any other group is refused.
TEST_F(Doctor, AlertingDirectoryWritableByTheCollectorsGroupAloneIsAccepted) {
    ASSERT_EQ(std::system("getent group kxevent >/dev/null || groupadd --system kxevent"), 0);
    Registry().WriteTo(registry);
    ASSERT_EQ(::chown(alerts.c_str(), 0, 0), 0);
    ::chmod(alerts.c_str(), 02770);
    ExpectFailure(Run(), "FAIL  alerting directory: " + alerts.string() +
                             " can be changed by users other than its owner and root");
    ASSERT_EQ(std::system(("chgrp kxevent " + alerts.string()).c_str()), 0);
    const ProcessResult result = Run();
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_NE(result.out.find("ok    alerting directory: " + alerts.string() +
                              " (owner root, group kxevent, mode 2770"),
              std::string::npos)
        << result.out;
    ::chmod(alerts.c_str(), 02772);
    ExpectFailure(Run(), "FAIL  alerting directory: " + alerts.string() +
                             " can be changed by users other than its owner and root");
}

// The packaged spool is root:kxevent 2770: a product running as another user writes there as a
// member of the group; taking the directory over (chown) would lock the alerting service out.
TEST_F(Doctor, ProductUserOutsideTheCollectorsGroupIsToldToJoinIt) {
    ASSERT_EQ(std::system("getent group kxevent >/dev/null || groupadd --system kxevent"), 0);
    Registry().WriteTo(registry);
    ::chmod(dir.path().c_str(), 0755);
    ASSERT_EQ(std::system(("chgrp kxevent " + alerts.string()).c_str()), 0);
    ::chmod(alerts.c_str(), 02770);
    const ProcessResult result =
        Run(true, {}, {}, std::to_string(kNobody), {{"VEL_EVENTLOG", std::nullopt}});
    ExpectFailure(result, "FAIL  alerting directory: " + alerts.string() +
                              " (owner root, group kxevent, mode 2770) is not writable by user "
                              "nobody, so the library cannot create alert files in it; add nobody "
                              "to the group kxevent (usermod -a -G kxevent nobody)");
    EXPECT_EQ(result.out.find("chown"), std::string::npos) << result.out;
}

// The library sends to the socket /dev/log without waiting and appends to VEL_EVENTLOG only a
// regular file reached without a link: each is judged that way.
TEST_F(Doctor, EventLogIsCheckedWhereTheLibraryWritesIt) {
    Registry().WriteTo(registry);
    const fs::path stale = scratch / "stale";
    { const Fd closed = BoundSocket(stale); }  // its name stays, no one listens
    const fs::path link = dir / "link.json";
    fs::create_symlink(dir / "eventlog.json", link);
    const fs::path none = scratch / "none";
    const std::string file = (dir / "eventlog.json").string();
    const struct {
        fs::path socket;
        std::optional<std::string> eventLog;
        std::string line;
    } cases[] = {
        {syslog, std::nullopt,
         "ok    event log: syslog (/dev/log); VEL_EVENTLOG is unset, no file"},
        {syslog, file, "ok    event log file: " + file + " (VEL_EVENTLOG), beside syslog"},
        {none, std::nullopt,
         "FAIL  event log: there is no socket /dev/log, so the library's entries (undelivered "
         "alerts among them) are lost; start the system logger"},
        {none, file,
         "FAIL  event log: there is no socket /dev/log, so the library's entries "
         "(undelivered alerts among them) reach only " +
             file + " (VEL_EVENTLOG)"},
        {stale, file, "FAIL  event log: no system logger listens at /dev/log"},
        {syslog, link.string(),
         "FAIL  event log file: " + link.string() +
             " is a symbolic link, which the library does not follow"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const ProcessResult result = Run(true, {}, c.socket, "", {{"VEL_EVENTLOG", c.eventLog}});
        EXPECT_NE(result.out.find(c.line), std::string::npos) << result.out << result.err;
        EXPECT_EQ(result.exitCode, c.line.rfind("ok", 0) == 0 ? 0 : 1);
    }
}

// --json gives the same checks, one object per line, texts escaped as JSON.
TEST_F(Doctor, JsonGivesOneObjectPerCheck) {
    Registry(true, (install / "Fwd\x1b\".DLL").string()).WriteTo(registry);
    const ProcessResult text = Run();
    const ProcessResult json = Run(true, {"--json"});
    EXPECT_EQ(json.exitCode, 1);
    const auto lines = Lines(json.out);
    ASSERT_EQ(lines.size(), Lines(text.out).size()) << json.out;
    for (const std::string& line : lines) {
        EXPECT_EQ(line.rfind("{\"check\":\"", 0), 0u) << line;
        EXPECT_TRUE(line.ends_with("}")) << line;
    }
    EXPECT_NE(json.out.find("{\"check\":\"registry\",\"ok\":true,\"detail\":\"" +
                            registry.string() + " (named by VEL_REGISTRY)\"}"),
              std::string::npos)
        << json.out;
    EXPECT_NE(json.out.find("{\"check\":\"forwarding module \\\"Syslog\\\"\",\"ok\":false,"
                            "\"problem\":\"" +
                            install.string() +
                            "/Fwd\\u001b\\\".DLL does not exist\",\"todo\":\"install it or "
                            "remove the entry\"}"),
              std::string::npos)
        << json.out;
}

TEST_F(Doctor, BareNameForwardingModuleIsRefused) {
    Registry(true, "FwdSyslog.DLL").WriteTo(registry);
    ExpectFailure(Run(), "FAIL  forwarding module \"Syslog\": FwdSyslog.DLL is a bare name");
}

// A forwarding entry's name and path from the registry reach the report escaped, whatever they
// hold; a line break can only be in the path (the file keeps it as hex(1) bytes).
TEST_F(Doctor, HostileForwardingNamesAndPathsAreShownEscaped) {
    struct Case {
        std::string name, nameShown, path, pathShown;
    };
    const Case cases[] = {
        {"S\x1b[2J", "S\\x1b[2J", "Fwd\x1b]0;x\x07.DLL", "Fwd\\x1b]0;x\\x07.DLL"},
        {"S\xe2\x80\xae", "S\\u202e", "Fwd\xe2\x81\xa7lld.DLL", "Fwd\\u2067lld.DLL"},
        {"S\xc2\x85", "S\\u0085", "Fwd\nok    forged.DLL", "Fwd\\nok    forged.DLL"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.nameShown);
        RegFile reg = Registry();
        const std::string path = (install / c.path).string();
        std::vector<std::uint8_t> bytes(path.begin(), path.end());
        bytes.push_back(0);
        reg.Key(kForwardingKey).Hex(c.name, bytes, 1);
        reg.WriteTo(registry);
        const ProcessResult result = Run();
        ExpectFailure(result, "FAIL  forwarding module \"" + c.nameShown +
                                  "\": " + (install / c.pathShown).string() + " does not exist");
        EXPECT_EQ(result.out.find(c.name), std::string::npos);
        EXPECT_EQ(result.out.find(c.path), std::string::npos);
    }
}

// The loader loads regular files only: a directory or a FIFO where a module should be fails
// the check of that module (and opening the FIFO would have blocked the check).
TEST_F(Doctor, DirectoryOrFifoAtAModulePathIsReportedAsTheLoaderRefusesIt) {
    const fs::path forwarder = install / "FwdSyslog.DLL";
    const fs::path core = install / "KXUTIL.DLL";
    const std::pair<fs::path, const char*> modules[] = {{forwarder, "forwarding module \"Syslog\""},
                                                        {core, "module KXUTIL.DLL"}};
    for (const auto& [module, what] : modules) {
        for (const bool fifo : {false, true}) {
            SCOPED_TRACE(module.string() + (fifo ? " as a FIFO" : " as a directory"));
            const fs::path saved = dir / "saved.DLL";
            fs::rename(module, saved);
            if (fifo) {
                ASSERT_EQ(::mkfifo(module.c_str(), 0644), 0);
            } else {
                fs::create_directory(module);
                ::chmod(module.c_str(), 0755);
            }
            Registry().WriteTo(registry);
            const ProcessResult result = Run();
            ExpectFailure(result, "FAIL  " + std::string(what) + ": " + module.string() +
                                      " is not a regular file, so the loader refuses to load it");
            fs::remove(module);
            fs::rename(saved, module);
        }
    }
}

// A product writing with umask 077 leaves alert files the alerting service cannot read: the
// check counts them and names the first.
TEST_F(Doctor, AlertFilesTheCollectorsGroupCannotReadAreCounted) {
    ASSERT_EQ(std::system("getent group kxevent >/dev/null || groupadd --system kxevent"), 0);
    Registry().WriteTo(registry);
    ASSERT_EQ(std::system(("chgrp kxevent " + alerts.string()).c_str()), 0);
    ::chmod(alerts.c_str(), 02770);
    const struct {
        const char* name;
        mode_t mode;
    } files[] = {{"1.ALR", 0640}, {"2.ALR", 0600}, {"3.ALR", 0600}, {"4.ALR", 0604}};
    for (const auto& file : files) {
        WriteFile(alerts / file.name, "[CentralAlert]\r\n");
        ASSERT_EQ(std::system(("chgrp kxevent " + (alerts / file.name).string()).c_str()), 0);
        ::chmod((alerts / file.name).c_str(), file.mode);
    }
    ExpectFailure(Run(), "FAIL  alert files: 2 of the 4 alert files waiting in " + alerts.string() +
                             " cannot be read by the collector's group kxevent, first " +
                             (alerts / "2.ALR").string() +
                             " (owner root, group kxevent, mode 0600)");
    ASSERT_EQ(std::system(("chmod g+r " + alerts.string() + "/*.ALR").c_str()), 0);
    const ProcessResult fixed = Run();
    EXPECT_EQ(fixed.exitCode, 0) << fixed.out;
    EXPECT_NE(fixed.out.find("ok    alert files: 4 waiting, each readable by the collector's "
                             "group kxevent"),
              std::string::npos)
        << fixed.out;
}

TEST_F(Doctor, PerUserDefaultIsReportedMissingButNeverInstalled) {
    const ProcessResult result = Run(false);
    ExpectFailure(result,
                  "(kxevent's per-user default, as VEL_REGISTRY is unset and the "
                  "system registry is not used) does not exist");
    EXPECT_FALSE(fs::exists(dir / "state"));
}

}  // namespace
}  // namespace kx::test
