// kxevent_command_test.cpp: the kxevent command run as a child process, as a user runs it:
// exit statuses, messages and files for good and bad input.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>

#include "child_process.h"
#include "command_environment.h"
#include "common/fd.h"
#include "support.h"

namespace kx::test {
namespace {

namespace fs = std::filesystem;

const std::string kCommand = std::string(KX_TEST_BINARY_DIR) + "/bin/kxevent";
constexpr char kEventKey[] = "Software\\Velmora\\QRD\\Shared Components\\Events\\0901\\500";

class KxeventCommand : public ::testing::Test {
  protected:
    TempDir dir;
    fs::path registry = dir / "hklm.reg";
    fs::path alerts = dir / "alerts";

    void SetUp() override { fs::create_directory(alerts); }

    // A registry with one event, 500, and central alerting into `alerts`.
    RegFile BaseRegistry(bool withPath = true) const {
        RegFile reg;
        reg.Key(kInstallKey).String("szInstallDir", KX_TEST_INSTALL_DIR);
        reg.Key(kAlertingKey).Dword("bEnableCAlert", 1);
        if (withPath) reg.String("Centralized Alerting Path", alerts.string());
        reg.Key(kEventKey)
            .String("ID", "Test event")
            .String("LONGDESCRIPT", "Found %VIRUSNAME% in %FILENAME%.")
            .Dword("SEVERITY", 2);
        return reg;
    }

    // This test's registry (or none) under the shared command environment, and `overrides`.
    Environment CommandEnvironment(bool useRegistry, const Environment& overrides) const {
        Environment env =
            test::CommandEnvironment(dir, useRegistry ? std::optional(registry) : std::nullopt);
        for (const auto& [name, value] : overrides) env[name] = value;
        return env;
    }

    ProcessResult Run(const std::vector<std::string>& args, bool useRegistry = true,
                      const Environment& overrides = {}) const {
        return RunProcess(kCommand, args, CommandEnvironment(useRegistry, overrides));
    }

    // As Run, with `cwd` as the current directory.
    ProcessResult RunIn(const fs::path& cwd, const std::vector<std::string>& args,
                        const Environment& overrides = {}) const {
        const Environment env = CommandEnvironment(true, overrides);
        std::vector<std::string> shellArgs = {"-c", "cd \"$1\" && shift && exec \"$@\"", "sh",
                                              cwd.string(), kCommand};
        shellArgs.insert(shellArgs.end(), args.begin(), args.end());
        return RunProcess("/bin/sh", shellArgs, env);
    }

    std::vector<fs::path> AlertFiles() const {
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(alerts)) files.push_back(entry.path());
        return files;
    }
};

// The command left running (alert show --follow), its standard output read as it comes; it is
// stopped with SIGTERM and reaped at the end of the scope.
class RunningCommand {
  public:
    RunningCommand(const std::vector<std::string>& args, const Environment& environment) {
        int pipe[2];
        if (::pipe2(pipe, O_CLOEXEC) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(pipe[1], STDOUT_FILENO);
            for (const auto& [name, value] : environment) {
                value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
            }
            std::vector<char*> argv = {const_cast<char*>(kCommand.c_str())};
            for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            ::execv(kCommand.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(pipe[1]);
        out_ = Fd(pipe[0]);
    }
    ~RunningCommand() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    RunningCommand(const RunningCommand&) = delete;
    RunningCommand& operator=(const RunningCommand&) = delete;

    // Whether `text` appears in the output before a generous deadline or the output's end.
    bool WaitFor(const std::string& text) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (output.find(text) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd ready{out_.get(), POLLIN, 0};
            if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
                return false;
            }
            char buffer[4096];
            const ssize_t got = ::read(out_.get(), buffer, sizeof buffer);
            if (got <= 0) return false;
            output.append(buffer, static_cast<std::size_t>(got));
        }
        return true;
    }
    std::string output;

  private:
    pid_t pid_ = -1;
    Fd out_;
};

void ExpectOneErrorLine(const ProcessResult& result, const std::string& fragment) {
    const auto lines = Lines(result.err);
    ASSERT_EQ(lines.size(), 1u) << result.err;
    EXPECT_EQ(lines[0].rfind("kxevent: ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(fragment), std::string::npos) << lines[0];
}

// --- Conventions -----------------------------------------------------------------------------

TEST_F(KxeventCommand, VersionPrintsTheProjectVersionAndSucceeds) {
    const ProcessResult result = Run({"--version"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out.rfind("kxevent ", 0), 0u);
}

TEST_F(KxeventCommand, EveryCommandAnswersHelpWithoutDoingAnything) {
    for (const char* command : {"send", "query", "resend", "alert", "reg", "doctor"}) {
        const ProcessResult result = Run({command, "--help"});
        EXPECT_EQ(result.exitCode, 0) << command;
        EXPECT_NE(result.out.find("usage: kxevent"), std::string::npos) << command;
        EXPECT_TRUE(result.err.empty()) << command;
    }
    EXPECT_FALSE(fs::exists(registry));
}

// --- Refusals --------------------------------------------------------------------------------

// A command refused: its status, the one error line (each fragment in it), what it still prints
// on standard output; the registry (this test's, or none) stays as it was and nothing is sent.
struct Refusal {
    const char* behaviour;
    bool withRegistry;
    int exitCode;
    std::vector<std::string> args;
    std::vector<std::string> said;
    std::string out = {};
};

const std::vector<std::string> kSend500 = {"send", "--product", "1", "--event", "500"};

// Each row: what it shows, whether the registry is there, the status, the arguments after
// kSend500's (or all of them), the fragments of the error line.
// clang-format off
const std::vector<Refusal> kRefusals = {
    {"an unknown command is a usage error", false, 2, {"frobnicate"},
     {"unknown command 'frobnicate'"}},
    {"an unknown option is a usage error", false, 2, {"--bogus"}, {"unknown option '--bogus'"}},
    {"a missing event number is a usage error", false, 2, {"send", "--product", "1"},
     {"--event"}},
    {"a non-numeric product is a usage error", false, 2,
     {"send", "--product", "one", "--event", "500"}, {"'one' is not a number"}},
    {"an unknown field name is a usage error", true, 2, {"--field", "szNoSuchField=x"},
     {"unknown record field 'szNoSuchField'"}},
    {"a value too long for its field is a usage error", true, 2,
     {"--field", "szTargetIP=10.100.200.250:65535"},
     {"szTargetIP: the value is 20 characters long; the field holds at most 15"}},
    {"a field the library overwrites is refused naming who fills it", true, 2,
     {"--field", "szComputerName=spoofed"},
     {"--field szComputerName: the library overwrites it with the computer's name from the "
      "system on every send"}},
    {"a field the library overwrites is refused naming who fills it", true, 2,
     {"--field", "uSeverity=0"},
     {"--field uSeverity: the library overwrites it with the event's \"SEVERITY\" from the "
      "catalogue on every send"}},
    {"a field the library overwrites is refused naming who fills it", true, 2,
     {"--field", "szSoftwareName=x"}, {"the product's name from the registry"}},
    {"resend outside a chain is refused before anything is sent", true, 2,
     {"resend", "--product", "1", "--event", "500"},
     {"resend has nothing to send again: a new process holds no last", "--then resend"}},
    {"a send of an event without definition fails with one line", true, 1,
     {"send", "--product", "1", "--event", "777"}, {"EVENT_ERR_NO_DEFINITION"},
     "result: 9 EVENT_ERR_NO_DEFINITION"},
    {"a missing registry named by the environment is reported", false, 1, {}, {"does not exist"}},
    {"reg query of a missing key fails", true, 1, {"reg", "query", "Software\\Nowhere"},
     {"no key Software\\Nowhere"}},
    {"reg set with a bad dword is a usage error", true, 2,
     {"reg", "set", kAlertingKey, "bEnableCAlert", "yes", "--type", "dword"}, {"not a number"}},
    {"collect without a receiver names the one this system's build has", true, 2,
     {"collect", "--once"}, {"collect needs --to relp://HOST:PORT"}},
    {"collect into the event log is refused off Windows", true, 2,
     {"collect", "--to", "eventlog", "--once"},
     {"--to eventlog is the Windows event log, which only the Windows build writes"}},
    {"collect as a Windows service is refused off Windows", true, 2,
     {"collect", "--to", "relp://127.0.0.1:1", "--service"},
     {"--service is for Windows", "kxevent-collect.service"}},
    {"the same receiver twice is refused", true, 2,
     {"collect", "--to", "relp://h:1", "--to", "relp://h:1"}, {"--to relp://h:1 is given twice"}},
    {"TLS options without a CA are refused", true, 2,
     {"collect", "--to", "relp://h:1", "--tls-peer", "h"}, {"--tls-peer needs --tls-ca"}},
};
// clang-format on

TEST_F(KxeventCommand, RefusalsSayWhyOnOneLineWithTheirStatusAndChangeNothing) {
    for (const Refusal& refusal : kRefusals) {
        std::vector<std::string> args = refusal.args;
        if (args.empty() || args[0].starts_with("--"))
            args.insert(args.begin(), kSend500.begin(), kSend500.end());
        SCOPED_TRACE(refusal.behaviour + (": " + args.back()));
        fs::remove(registry);
        if (refusal.withRegistry) BaseRegistry().WriteTo(registry);
        const std::string before = refusal.withRegistry ? ReadFile(registry) : "";
        const ProcessResult result = Run(args);
        EXPECT_EQ(result.exitCode, refusal.exitCode) << result.err;
        for (const std::string& said : refusal.said) ExpectOneErrorLine(result, said);
        EXPECT_NE(result.out.find(refusal.out), std::string::npos) << result.out;
        ASSERT_EQ(fs::exists(registry), refusal.withRegistry);
        if (refusal.withRegistry) {
            EXPECT_EQ(ReadFile(registry), before);
        }
        EXPECT_TRUE(AlertFiles().empty());
    }
}

// --- Sending ---------------------------------------------------------------------------------

TEST_F(KxeventCommand, SendPrintsResultDescriptionAndTheAlertFileItWrote) {
    BaseRegistry().WriteTo(registry);
    const ProcessResult result =
        Run({"send", "--product", "1", "--event", "500", "--virus", "Test.Worm", "--file",
             "/srv/a.bin", "--field", "uNumVirs=3", "--field", "szTargetIP=10.0.0.5"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("result: 0 EVENT_OK"), std::string::npos);
    EXPECT_NE(result.out.find("description: Found Test.Worm in /srv/a.bin."), std::string::npos)
        << result.out;
    const auto files = AlertFiles();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_NE(result.out.find("alert file: " + files[0].string()), std::string::npos);
    EXPECT_NE(result.out.find("szVirusName=Test.Worm"), std::string::npos);
    EXPECT_EQ(ReadFile(files[0]).rfind("[CentralAlert]\r\nuFileVersion=1\r\n", 0), 0u);
}

TEST_F(KxeventCommand, SendWithoutAlertingPathFailsWithResultOne) {
    BaseRegistry(false).WriteTo(registry);
    const ProcessResult result = Run({"send", "--product", "1", "--event", "500"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.out.find("result: 1 EVENT_ERR_NO_ALERT_PATH"), std::string::npos);
    ExpectOneErrorLine(result, "Centralized Alerting Path");
}

// The library reports an alert file it could not create only in its event log, under its
// delivery-failure source, and returns EVENT_OK: the command says so with the entry and what to
// do, for a missing directory and for a product not running as root outside the group kxevent.
TEST_F(KxeventCommand, AlertTheLibraryCouldNotCreateIsSaidWithItsLogEntryAndWhatToDo) {
    ASSERT_EQ(std::system("getent group kxevent >/dev/null || groupadd --system kxevent"), 0);
    BaseRegistry().WriteTo(registry);
    ::chmod(dir.path().c_str(), 0755);
    const std::vector<std::string> send = {"send", "--product", "1", "--event", "500"};
    const std::string failure =
        "kxevent: the alert was not delivered: Cannot create an alert file in the alerting "
        "directory " +
        alerts.string() + ". Message: ";
    const std::string source = " (event log source \"Derad Edarevu Razud Evarivive\"); ";
    fs::remove(alerts);
    const ProcessResult missing = Run(send);
    ExpectOneErrorLine(missing, failure);
    EXPECT_NE(missing.err.find(source +
                               "create it as the package does (install -d -o root -g "
                               "kxevent -m 2770 " +
                               alerts.string() + ")"),
              std::string::npos)
        << missing.err;

    fs::create_directory(alerts);
    ASSERT_EQ(std::system(("chgrp kxevent " + alerts.string()).c_str()), 0);
    ::chmod(alerts.c_str(), 02770);
    std::vector<std::string> asNobody = {"--reuid=65534", "--regid=65534", "--clear-groups",
                                         kCommand};
    asNobody.insert(asNobody.end(), send.begin(), send.end());
    const ProcessResult outsider =
        RunProcess("/usr/bin/setpriv", asNobody, CommandEnvironment(true, {{"VEL_EVENTLOG", {}}}));
    ExpectOneErrorLine(outsider, failure);
    EXPECT_NE(outsider.err.find(source + "add nobody to the group kxevent (usermod -a -G "
                                         "kxevent nobody)"),
              std::string::npos)
        << outsider.err;
    for (const ProcessResult* result : {&missing, &outsider}) {
        EXPECT_EQ(result->exitCode, 1);
        EXPECT_NE(result->out.find("result: 0 EVENT_OK"), std::string::npos);
    }
}

TEST_F(KxeventCommand, SuppressedSendSucceedsWithoutAlertFile) {
    BaseRegistry().WriteTo(registry);
    const ProcessResult result = Run({"send", "--product", "1", "--event", "500", "--suppress"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("alert file: none"), std::string::npos);
    EXPECT_TRUE(AlertFiles().empty());
}

TEST_F(KxeventCommand, MalformedRegistryIsRefusedWithTheLineAndLeftUntouched) {
    const std::string text = BaseRegistry().Text() + "this line is not registry syntax\r\n";
    WriteFile(registry, text);
    const ProcessResult result = Run({"send", "--product", "1", "--event", "500"});
    EXPECT_EQ(result.exitCode, 1);
    ExpectOneErrorLine(result, registry.string() + ": line ");
    EXPECT_EQ(ReadFile(registry), text);
    EXPECT_TRUE(AlertFiles().empty());
}

TEST_F(KxeventCommand, RegistryOthersCanChangeIsRefusedBySendAndByCollectAlike) {
    BaseRegistry().WriteTo(registry);
    fs::permissions(registry, fs::perms::others_write, fs::perm_options::add);
    const ProcessResult send = Run({"send", "--product", "1", "--event", "500"});
    EXPECT_EQ(send.exitCode, 1);
    ExpectOneErrorLine(send, registry.string());
    // Without --dir, collect reads the alerting directory from the same registry.
    const ProcessResult collect = Run({"collect", "--to", "relp://127.0.0.1:1", "--once"});
    EXPECT_EQ(collect.exitCode, 1);
    EXPECT_EQ(collect.err, send.err);
    EXPECT_TRUE(AlertFiles().empty());
}

TEST_F(KxeventCommand, QueryPrintsTheUnexpandedDescription) {
    BaseRegistry().WriteTo(registry);
    const ProcessResult result = Run({"query", "--product", "1", "--event", "500"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out.rfind("Found %VIRUSNAME% in %FILENAME%.", 0), 0u) << result.out;
    EXPECT_TRUE(AlertFiles().empty());
}

TEST_F(KxeventCommand, ResendAfterSendReusesTheRecordsUnderTheNewEvent) {
    RegFile reg = BaseRegistry();
    reg.Key("Software\\Velmora\\QRD\\Shared Components\\Events\\0901\\501")
        .String("LONGDESCRIPT", "Again %VIRUSNAME% during %TASKNAME%.");
    reg.WriteTo(registry);
    const ProcessResult result =
        Run({"send", "--product", "1", "--event", "500", "--virus", "Snap.A", "--then", "resend",
             "--product", "1", "--event", "501", "--task", "Nightly"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(AlertFiles().size(), 2u);
    EXPECT_NE(result.out.find("description: Again Snap.A during Nightly."), std::string::npos)
        << result.out;
}

TEST_F(KxeventCommand, ChainStopsAtTheFirstFailingStep) {
    BaseRegistry().WriteTo(registry);
    const ProcessResult result = Run({"send", "--product", "1", "--event", "777", "--then", "send",
                                      "--product", "1", "--event", "500"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(AlertFiles().empty());
}

// --- Event-log entries of a send ------------------------------------------------------------

TEST_F(KxeventCommand, FailedForwardingIsOneLineOnStandardErrorAndKeepsTheStatus) {
    RegFile reg = BaseRegistry();
    reg.Key(kForwardingKey).String("Bare", "FwdSyslog.DLL");
    reg.WriteTo(registry);
    const ProcessResult result = Run({"send", "--product", "1", "--event", "500"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(AlertFiles().size(), 1u);
    ExpectOneErrorLine(result,
                       "forwarding failed: Module FwdSyslog.DLL was not loaded: a "
                       "configured module must be named with its directory");
    EXPECT_EQ(result.out.find("event log: "), std::string::npos) << result.out;
}

TEST_F(KxeventCommand, VerboseSendPrintsEveryEventLogEntryItProducedAndOnlyThose) {
    RegFile reg = BaseRegistry();
    reg.Key(kForwardingKey).String("Bare", "FwdSyslog.DLL");
    reg.WriteTo(registry);
    // An entry from before the send is not the send's.
    WriteFile(dir / "eventlog.json",
              "{\"source\":\"Old\",\"label\":\"Old\",\"kind\":0,\"number\":0,"
              "\"text\":\"earlier\"}\n");
    const ProcessResult result = Run({"send", "-v", "--product", "1", "--event", "500"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(result.err.empty()) << result.err;
    EXPECT_NE(result.out.find("event log: KXEvent Platform: Untrusted module refused: Module "
                              "FwdSyslog.DLL was not loaded"),
              std::string::npos)
        << result.out;
    EXPECT_EQ(result.out.find("earlier"), std::string::npos) << result.out;
}

TEST_F(KxeventCommand, EventLogTextsReachTheTerminalWithTheirControlsEscaped) {
    RegFile reg = BaseRegistry();
    reg.Key(kForwardingKey).String("Bare", "Fwd\x1b[2JSyslog.DLL");
    reg.WriteTo(registry);
    const ProcessResult quiet = Run({"send", "--product", "1", "--event", "500"});
    const ProcessResult verbose = Run({"send", "-v", "--product", "1", "--event", "500"});
    for (const ProcessResult* result : {&quiet, &verbose}) {
        EXPECT_EQ(result->exitCode, 0) << result->err;
        EXPECT_EQ((result->out + result->err).find('\x1b'), std::string::npos);
    }
    EXPECT_NE(quiet.err.find("Module Fwd\\x1b[2JSyslog.DLL was not loaded"), std::string::npos)
        << quiet.err;
    EXPECT_NE(verbose.out.find("Module Fwd\\x1b[2JSyslog.DLL was not loaded"), std::string::npos)
        << verbose.out;
}

TEST_F(KxeventCommand, VerboseSendSeesTheEntriesWithoutAnEventLogFileAndLeavesNoneBehind) {
    RegFile reg = BaseRegistry();
    reg.Key(kForwardingKey).String("Bare", "FwdSyslog.DLL");
    reg.WriteTo(registry);
    const fs::path tmp = dir / "tmp";
    fs::create_directory(tmp);
    const ProcessResult result =
        Run({"send", "--verbose", "--product", "1", "--event", "500"}, true,
            {{"VEL_EVENTLOG", std::nullopt}, {"TMPDIR", tmp.string()}});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("event log: KXEvent Platform: Untrusted module refused"),
              std::string::npos)
        << result.out;
    EXPECT_TRUE(fs::is_empty(tmp));
}

TEST_F(KxeventCommand, SendGoesOnWhenTheEntriesCannotBeReadBack) {
    BaseRegistry().WriteTo(registry);
    const ProcessResult result =
        Run({"send", "-v", "--product", "1", "--event", "500"}, true,
            {{"VEL_EVENTLOG", std::nullopt}, {"TMPDIR", (dir / "missing").string()}});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(AlertFiles().size(), 1u);
    EXPECT_FALSE(fs::exists(dir / "missing"));
}

// --- Refused attach ----------------------------------------------------------------------------

TEST_F(KxeventCommand, RefusedAttachNamesTheBinderCodeAndWhatWasMissing) {
    RegFile bare;  // the key is there, "szInstallDir" is not
    bare.Key(kInstallKey).String("szOther", "x");
    bare.Key(kAlertingKey).Dword("bEnableCAlert", 0);
    bare.WriteTo(registry);
    const ProcessResult result = Run({"send", "--product", "1", "--event", "500"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("binder code 9: KXKRNL.DLL could not be bound (\"szInstallDir\" "
                              "is missing from HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(result.err.find("initialization routine failed"), std::string::npos) << result.err;
}

// An installation directory the binder refuses, what it holds, and what the error says ("@"
// stands for the directory).
struct RefusedInstall {
    const char* behaviour;
    const char* directory;
    std::vector<const char*> modules;
    bool othersMayWrite;
    std::vector<std::string> said;
};

const RefusedInstall kRefusedInstalls[] = {
    {"the resource module paths tried are listed",
     "install",
     {"KXKRNL.DLL", "KXUTIL.DLL"},
     false,
     {"Error loading resource DLL (kxUtlRes.dll); paths tried: @\\Res0901\\kxUtlRes.dll (",
      "run kxevent doctor"}},
    {"the untrusted module and the mode at fault are named",
     "shared",
     {"KXKRNL.DLL"},
     true,
     {"@ can be changed by users other than its owner and root", "binder code 9"}},
};

TEST_F(KxeventCommand, RefusedAttachListsThePathsTriedOrNamesTheUntrustedModuleAndItsMode) {
    BaseRegistry().WriteTo(registry);
    for (const RefusedInstall& refused : kRefusedInstalls) {
        SCOPED_TRACE(refused.behaviour);
        const fs::path install = dir / refused.directory;
        fs::create_directory(install);
        for (const char* module : refused.modules) {
            fs::copy_file(fs::path(KX_TEST_INSTALL_DIR) / module, install / module);
        }
        if (refused.othersMayWrite) {
            ASSERT_EQ(::chmod(install.c_str(), 0777), 0);
        }
        const ProcessResult result = Run({"send", "--product", "1", "--event", "500"}, true,
                                         {{"VEL_DEBUGCORE", install.string()}});
        EXPECT_EQ(result.exitCode, 1);
        for (std::string said : refused.said) {
            if (const auto at = said.find('@'); at != std::string::npos) {
                said.replace(at, 1, install.string());
            }
            EXPECT_NE(result.err.find(said), std::string::npos) << said << "\n" << result.err;
        }
    }
}

// --- Built-in default ------------------------------------------------------------------------

TEST_F(KxeventCommand, FreshDefaultIsInstalledAndSendsABuiltInEvent) {
    const ProcessResult result = Run({"send", "--product", "1", "--event", "1000", "--virus",
                                      "Demo.Virus", "--file", "/tmp/x.exe"},
                                     false);
    ASSERT_EQ(result.exitCode, 0) << result.err << result.out;
    const fs::path state = dir / "state" / "kxevent";
    EXPECT_TRUE(fs::exists(state / "hklm.reg"));
    const std::string installed = ReadFile(state / "hklm.reg");
    EXPECT_EQ(installed.find("@KXEVENT_"), std::string::npos);
    EXPECT_NE(result.out.find("description: Demo.Virus"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("alert file: " + (state / "alerts").string()), std::string::npos);
    EXPECT_NE(result.out.find("szActualMessage=Demo.Virus"), std::string::npos);
}

TEST_F(KxeventCommand, DefaultIsNotReinstalledOverAnAdministratorsChanges) {
    ASSERT_EQ(Run({"query", "--product", "1", "--event", "1000"}, false).exitCode, 0);
    const fs::path installed = dir / "state" / "kxevent" / "hklm.reg";
    ASSERT_EQ(
        Run({"reg", "set", kAlertingKey, "bEnableCAlert", "0", "--type", "dword"}, false).exitCode,
        0);
    ASSERT_EQ(Run({"query", "--product", "1", "--event", "1000"}, false).exitCode, 0);
    EXPECT_NE(ReadFile(installed).find("\"bEnableCAlert\"=dword:00000000"), std::string::npos);
}

// --- Alert files -----------------------------------------------------------------------------

TEST_F(KxeventCommand, AlertShowPrintsTableAndJsonOfAWrittenFile) {
    BaseRegistry().WriteTo(registry);
    ASSERT_EQ(Run({"send", "--product", "1", "--event", "500", "--virus", "Q\"uote"}).exitCode, 0);
    const ProcessResult table = Run({"alert", "show", alerts.string()});
    EXPECT_EQ(table.exitCode, 0);
    EXPECT_NE(table.out.find("uMessageID           500"), std::string::npos) << table.out;
    const ProcessResult json = Run({"alert", "show", "--json", AlertFiles()[0].string()});
    EXPECT_EQ(json.exitCode, 0);
    EXPECT_NE(json.out.find("\"uMessageID\": 500"), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"szVirusName\": \"Q\\\"uote\""), std::string::npos) << json.out;
}

TEST_F(KxeventCommand, AlertShowSeparatesTheFilesOfADirectoryWithOneBlankLine) {
    BaseRegistry().WriteTo(registry);
    ASSERT_EQ(Run({"send", "--product", "1", "--event", "500"}).exitCode, 0);
    const std::filesystem::path sent = AlertFiles()[0];
    // A higher number than any tick count names: listed after the file the send wrote.
    std::filesystem::copy_file(sent, alerts / "999999999999.ALR");
    const ProcessResult result = Run({"alert", "show", alerts.string()});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out.rfind("# " + sent.string() + "\n", 0), 0u) << result.out;
    const std::size_t second = result.out.find("\n\n# " + (alerts / "999999999999.ALR").string());
    EXPECT_NE(second, std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("\n\n"), second);
}

TEST_F(KxeventCommand, AlertShowRefusesAMalformedFileNamingTheLine) {
    WriteFile(alerts / "00000001.ALR", "[CentralAlert]\r\nuFileVersion=1\r\nuStatus=x\r\n");
    const ProcessResult result = Run({"alert", "show", (alerts / "00000001.ALR").string()});
    EXPECT_EQ(result.exitCode, 1);
    ExpectOneErrorLine(result, "00000001.ALR: line 3: uStatus needs an unsigned 32-bit number");
}

TEST_F(KxeventCommand, AlertShowSkipsAFifoNamedLikeAnAlertAndRefusesItWhenNamed) {
    BaseRegistry().WriteTo(registry);
    ASSERT_EQ(Run({"send", "--product", "1", "--event", "500"}).exitCode, 0);
    const fs::path sent = AlertFiles()[0];
    const fs::path fifo = alerts / "99999999.ALR";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const ProcessResult listing = Run({"alert", "show", alerts.string()});
    EXPECT_EQ(listing.exitCode, 0) << listing.err;
    EXPECT_NE(listing.out.find("# " + sent.string()), std::string::npos) << listing.out;
    EXPECT_EQ(listing.out.find("99999999"), std::string::npos) << listing.out;
    const ProcessResult named = Run({"alert", "show", fifo.string()});
    EXPECT_EQ(named.exitCode, 1);
    ExpectOneErrorLine(named, "not a regular file");
}

// list and show without a DIR take the registry's alerting directory, as collect does; list is
// one aligned line per alert, lowest number first (99999999 before 123456789).
TEST_F(KxeventCommand, AlertListGivesOneLinePerWaitingAlertLowestNumberFirst) {
    BaseRegistry().WriteTo(registry);
    ASSERT_EQ(Run({"send", "--product", "1", "--event", "500", "--virus", "EICAR", "--file",
                   "/srv/a \"b\""})
                  .exitCode,
              0);
    fs::rename(AlertFiles()[0], alerts / "123456789.ALR");
    fs::copy_file(alerts / "123456789.ALR", alerts / "99999999.ALR");
    const ProcessResult list = Run({"alert", "list"});
    EXPECT_EQ(list.exitCode, 0) << list.err;
    const auto lines = Lines(list.out);
    ASSERT_EQ(lines.size(), 3u) << list.out;
    EXPECT_EQ(lines[0], "NUMBER     TIME (UTC)            EVENT  SEVERITY  VIRUS  ITEM");
    EXPECT_EQ(lines[1].rfind("99999999   20", 0), 0u) << list.out;
    EXPECT_EQ(lines[2].rfind("123456789  20", 0), 0u) << list.out;
    EXPECT_TRUE(lines[2].ends_with("Z  500    warning   EICAR  /srv/a \"b\"")) << list.out;

    const ProcessResult json = Run({"alert", "list", "--json", alerts.string()});
    const auto objects = Lines(json.out);
    ASSERT_EQ(objects.size(), 2u) << json.out;
    EXPECT_EQ(objects[0].rfind("{\"file\":\"" + (alerts / "99999999.ALR").string() +
                                   "\",\"number\":\"99999999\",\"time\":\"20",
                               0),
              0u)
        << json.out;
    EXPECT_TRUE(
        objects[1].ends_with("\"event\":500,\"severity\":2,\"severityName\":\"warning\","
                             "\"virus\":\"EICAR\",\"item\":\"/srv/a \\\"b\\\"\"}"))
        << json.out;

    const ProcessResult show = Run({"alert", "show"});
    EXPECT_EQ(show.exitCode, 0) << show.err;
    EXPECT_EQ(show.out.rfind("# " + (alerts / "99999999.ALR").string() + "\n", 0), 0u) << show.out;
}

// --follow prints what is waiting, then each alert as the library publishes it, until stopped.
TEST_F(KxeventCommand, AlertShowFollowPrintsEachNewAlertAsItArrives) {
    BaseRegistry().WriteTo(registry);
    const std::vector<std::string> send = {"send", "--product", "1", "--event", "500"};
    ASSERT_EQ(Run(send).exitCode, 0);
    const fs::path waiting = AlertFiles()[0];
    RunningCommand follow({"alert", "show", "--follow"}, CommandEnvironment(true, {}));
    ASSERT_TRUE(follow.WaitFor("# " + waiting.string() + "\n")) << follow.output;
    ASSERT_EQ(Run(send).exitCode, 0);
    fs::path arrived;
    for (const fs::path& file : AlertFiles()) arrived = file == waiting ? arrived : file;
    EXPECT_TRUE(follow.WaitFor("\n\n# " + arrived.string() + "\nuFileVersion")) << follow.output;
    EXPECT_EQ(Run({"alert", "show", "--follow", waiting.string()}).exitCode, 2);
}

// --- Registry administration -----------------------------------------------------------------

TEST_F(KxeventCommand, RegSetThenQueryShowsTheValue) {
    BaseRegistry().WriteTo(registry);
    ASSERT_EQ(Run({"reg", "set", kAlertingKey, "NoIP", "1", "--type", "dword"}).exitCode, 0);
    const ProcessResult result = Run({"reg", "query", kAlertingKey, "NoIP"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, "NoIP\tREG_DWORD\t0x00000001 (1)\n");
}

TEST_F(KxeventCommand, RegImportOfAMalformedFileChangesNothing) {
    BaseRegistry().WriteTo(registry);
    const std::string before = ReadFile(registry);
    WriteFile(dir / "bad.reg",
              "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\X]\r\n\"A\"=dword:zz\r\n");
    const ProcessResult result = Run({"reg", "import", (dir / "bad.reg").string()});
    EXPECT_EQ(result.exitCode, 1);
    ExpectOneErrorLine(result, "bad.reg: line 4");
    EXPECT_EQ(ReadFile(registry), before);
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos);
    }
}

TEST_F(KxeventCommand, RegImportRefusesAFifoADeviceAndAnOversizedFileBeforeReading) {
    BaseRegistry().WriteTo(registry);
    const std::string before = ReadFile(registry);
    const fs::path fifo = dir / "pipe.reg";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const fs::path sparse = dir / "sparse.reg";
    WriteFile(sparse, "REGEDIT4\r\n");
    fs::resize_file(sparse, (std::uintmax_t{64} << 20) + 1);  // a hole: nothing is written
    const std::pair<fs::path, std::string> refused[] = {
        {fifo, "not a regular file"},
        {"/dev/zero", "not a regular file"},
        {sparse, "larger than 64 MiB"},
    };
    for (const auto& [file, why] : refused) {
        const ProcessResult result = Run({"reg", "import", file.string()});
        EXPECT_EQ(result.exitCode, 1) << file;
        ExpectOneErrorLine(result, file.string() + ": " + why);
        EXPECT_EQ(ReadFile(registry), before);
    }
}

TEST_F(KxeventCommand, RegImportMergesAndExportGivesItBack) {
    BaseRegistry().WriteTo(registry);
    RegFile extra;
    extra.Key("Software\\Velmora\\Extra").String("Name", "C:\\Path \"quoted\"");
    extra.WriteTo(dir / "extra.reg");
    ASSERT_EQ(Run({"reg", "import", (dir / "extra.reg").string()}).exitCode, 0);
    const ProcessResult exported = Run({"reg", "export", "Software\\Velmora\\Extra"});
    EXPECT_EQ(exported.exitCode, 0);
    EXPECT_NE(exported.out.find("\"Name\"=\"C:\\\\Path \\\"quoted\\\"\""), std::string::npos)
        << exported.out;
    EXPECT_EQ(exported.out.find("Alerting"), std::string::npos);
    EXPECT_EQ(Run({"query", "--product", "1", "--event", "500"}).exitCode, 0);
}

TEST_F(KxeventCommand, RegImportCarriesOutDeletionsAndSaysWhatEachRemoved) {
    RegFile reg = BaseRegistry();
    reg.Key("Software\\Old").String("a", "1").Key("Software\\Old\\Deep\\Er").String("b", "2");
    reg.Key("Software\\Keep").String("gone", "x").String("kept", "y");
    reg.WriteTo(registry);
    WriteFile(dir / "changes.reg",
              "REGEDIT4\r\n\r\n[-HKEY_LOCAL_MACHINE\\software\\old]\r\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Keep]\r\n\"GONE\"=-\r\n\"never\"=-\r\n"
              "[-HKEY_LOCAL_MACHINE\\Software\\Nowhere]\r\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Old\\New]\r\n\"c\"=\"3\"\r\n");
    const ProcessResult result = Run({"reg", "import", (dir / "changes.reg").string()});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out,
              "removed key [HKEY_LOCAL_MACHINE\\software\\old] with 1 key below it\n"
              "removed value \"GONE\" of [HKEY_LOCAL_MACHINE\\Software\\Keep]\n"
              "no value \"never\" in [HKEY_LOCAL_MACHINE\\Software\\Keep] to remove\n"
              "no key [HKEY_LOCAL_MACHINE\\Software\\Nowhere] to remove\n"
              "imported 2 keys and 1 values into " +
                  registry.string() + "\n");
    const std::string after = ReadFile(registry);
    EXPECT_EQ(after.find("Deep"), std::string::npos);
    EXPECT_EQ(after.find("\"a\"="), std::string::npos);
    EXPECT_NE(after.find("[HKEY_LOCAL_MACHINE\\Software\\Old\\New]\r\n\"c\"=\"3\""),
              std::string::npos)
        << "set again after the deletion";
    EXPECT_NE(after.find("[HKEY_LOCAL_MACHINE\\Software\\Keep]\r\n\"kept\"=\"y\"\r\n\r\n"),
              std::string::npos)
        << after;
    EXPECT_NE(after.find(kEventKey), std::string::npos);
}

TEST_F(KxeventCommand, RegImportRefusesToRemoveTheWholeRootAndChangesNothing) {
    BaseRegistry().WriteTo(registry);
    const std::string before = ReadFile(registry);
    WriteFile(dir / "all.reg", "REGEDIT4\r\n\r\n[-HKEY_LOCAL_MACHINE]\r\n");
    const ProcessResult result = Run({"reg", "import", (dir / "all.reg").string()});
    EXPECT_EQ(result.exitCode, 1);
    ExpectOneErrorLine(result, "all.reg: line 3: HKEY_LOCAL_MACHINE itself cannot be removed");
    EXPECT_EQ(ReadFile(registry), before);
}

TEST_F(KxeventCommand, RegCommandsRefuseAnotherRootAndAcceptTheAbbreviation) {
    BaseRegistry().WriteTo(registry);
    const std::string before = ReadFile(registry);
    const std::vector<std::vector<std::string>> refused = {
        {"reg", "set", "HKEY_CURRENT_USER\\Software\\X", "n", "v"},
        {"reg", "delete", "HKCU\\Software"},
        {"reg", "query", "hkey_classes_root\\x"},
        {"reg", "export", "HKU\\S-1-5"},
    };
    for (const auto& args : refused) {
        const ProcessResult result = Run(args);
        EXPECT_EQ(result.exitCode, 2) << args[1];
        ExpectOneErrorLine(result, "key outside HKEY_LOCAL_MACHINE: " + args[2]);
        EXPECT_EQ(ReadFile(registry), before);
    }
    ASSERT_EQ(Run({"reg", "set", "hklm\\Software\\X", "n", "v"}).exitCode, 0);
    EXPECT_EQ(Run({"reg", "query", "HKEY_LOCAL_MACHINE\\Software\\X", "n"}).out, "n\tREG_SZ\tv\n");
}

TEST_F(KxeventCommand, RegQueryListsTheValuesThenTheSubkeysDirectlyBelow) {
    RegFile reg = BaseRegistry();
    reg.Key("Software\\Top").String("v", "1");
    reg.Key("Software\\Top\\b\\Deeper").String("w", "2");  // "b" has no entry of its own
    reg.Key("Software\\Top\\A");
    reg.Key("Software\\TopSibling");
    reg.WriteTo(registry);
    const ProcessResult result = Run({"reg", "query", "Software\\Top"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "v\tREG_SZ\t1\n[Software\\Top\\A]\n[Software\\Top\\b]\n");
    const ProcessResult implied = Run({"reg", "query", "Software\\Top\\B"});
    EXPECT_EQ(implied.exitCode, 0) << implied.err;
    EXPECT_EQ(implied.out, "[Software\\Top\\B\\Deeper]\n");
}

// Texts from the registry that would act on a terminal: each as the registry holds it and as a
// person is shown it.
struct HostileText {
    const char* what;
    std::string raw;
    std::string shown;
};

const HostileText kHostileTexts[] = {
    {"an escape sequence", "\x1b]0;owned\x07\x1b[2J", "\\x1b]0;owned\\x07\\x1b[2J"},
    {"a right-to-left override",
     "\xe2\x80\xae"
     "exe.txt",
     "\\u202eexe.txt"},
    {"an isolate and a mark",
     "\xe2\x81\xa6"
     "a\xe2\x80\x8f",
     "\\u2066a\\u200f"},
    {"a C1 control in UTF-8",
     "\xc2\x9b"
     "31m",
     "\\u009b31m"},
    {"a C1 control as a lone byte",
     "\x9b"
     "31m",
     "\\u009b31m"},
    {"DEL and a backspace", "a\x7f\bb", "a\\x7f\\x08b"},
};

// A key whose value name, data and subkey carry `text` (a line break too in the data, which
// the file keeps as hex(1) bytes).
RegFile WithHostileKey(RegFile reg, const HostileText& text) {
    std::string data = "D" + text.raw + "\nnext";
    std::vector<std::uint8_t> bytes(data.begin(), data.end());
    bytes.push_back(0);
    reg.Key("Software\\Hostile").Hex("N" + text.raw, bytes, 1);
    reg.Key("Software\\Hostile\\K" + text.raw).String("x", "1");
    return reg;
}

TEST_F(KxeventCommand, RegQueryShowsHostileNamesAndDataEscaped) {
    for (const HostileText& text : kHostileTexts) {
        SCOPED_TRACE(text.what);
        WithHostileKey(BaseRegistry(), text).WriteTo(registry);
        const ProcessResult result = Run({"reg", "query", "HKLM\\Software\\Hostile"});
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(result.out, "N" + text.shown + "\tREG_SZ\tD" + text.shown +
                                  "\\nnext\n[Software\\Hostile\\K" + text.shown + "]\n");
    }
}

TEST_F(KxeventCommand, RegExportEscapesForATerminalAndKeepsTheBytesForAFileOrAPipe) {
    for (const HostileText& text : kHostileTexts) {
        SCOPED_TRACE(text.what);
        RegFile reg;
        reg.Key("Software\\Hostile").String("N" + text.raw, "D" + text.raw);
        reg.WriteTo(registry);
        const ProcessResult piped = Run({"reg", "export", "Software\\Hostile"});
        ASSERT_EQ(
            Run({"reg", "export", "Software\\Hostile", "-o", (dir / "out.reg").string()}).exitCode,
            0);
        EXPECT_EQ(piped.exitCode, 0) << piped.err;
        EXPECT_EQ(piped.out, ReadFile(dir / "out.reg"));
        EXPECT_NE(piped.out.find("\"N" + text.raw + "\"=\"D" + text.raw + "\"\r\n"),
                  std::string::npos);
        const ProcessResult shown = RunProcessOnTerminal(
            kCommand, {"reg", "export", "Software\\Hostile"}, CommandEnvironment(true, {}));
        EXPECT_EQ(shown.exitCode, 0) << shown.err;
        EXPECT_EQ(shown.out, "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Hostile]\r\n\"N" +
                                 text.shown + "\"=\"D" + text.shown + "\"\r\n");
    }
}

TEST_F(KxeventCommand, SendAndErrorsShowHostileRegistryTextsEscaped) {
    for (const HostileText& text : kHostileTexts) {
        SCOPED_TRACE(text.what);
        RegFile reg = BaseRegistry();
        reg.Key(kEventKey).String("ID", "I" + text.raw).String("LONGDESCRIPT", "L" + text.raw);
        reg.Key(kForwardingKey).String("Bare", "Fwd" + text.raw + ".DLL");
        reg.WriteTo(registry);
        const ProcessResult sent = Run({"send", "-v", "--product", "1", "--event", "500"});
        EXPECT_EQ(sent.exitCode, 0) << sent.err;
        for (const std::string& line :
             {"event: 500 I" + text.shown + " (severity 2)", "description: L" + text.shown,
              "szActualMessage=L" + text.shown, "Module Fwd" + text.shown + ".DLL was not"}) {
            EXPECT_NE(sent.out.find(line), std::string::npos) << line << "\n" << sent.out;
        }
        const ProcessResult queried = Run({"query", "--product", "1", "--event", "500"});
        EXPECT_EQ(queried.out, "L" + text.shown + ". \n");  // as the library completes it
        for (const std::string* out : {&sent.out, &sent.err, &queried.out}) {
            EXPECT_EQ(out->find(text.raw), std::string::npos) << *out;
        }
    }
    // An error quoting what it did not find: a value name holding a bidi override.
    const ProcessResult missing = Run({"reg", "query", kEventKey, "\xe2\x80\xaeZ"});
    ExpectOneErrorLine(missing, "no value '\\u202eZ' in ");
    EXPECT_EQ(missing.err.find("\xe2\x80\xae"), std::string::npos);
}

// A fresh account: no state directory and no registry anywhere.
TEST_F(KxeventCommand, ReadOnlyCommandsCreateNothingInAFreshAccount) {
    TempDir home;
    const Environment fresh = {{"HOME", home.str()}, {"XDG_STATE_HOME", std::nullopt}};
    const ProcessResult query = Run({"reg", "query", kAlertingKey}, false, fresh);
    EXPECT_EQ(query.exitCode, 0) << query.err;
    EXPECT_NE(query.out.find("bEnableCAlert"), std::string::npos) << "the built-in default";
    const ProcessResult exported = Run({"reg", "export"}, false, fresh);
    EXPECT_EQ(exported.exitCode, 0) << exported.err;
    EXPECT_EQ(exported.out.rfind("REGEDIT4", 0), 0u);
    const ProcessResult events = Run({"events"}, false, fresh);
    EXPECT_EQ(events.exitCode, 0) << events.err;
    EXPECT_EQ(events.out.rfind("1000  ", 0), 0u) << events.out;
    const ProcessResult doctor = Run({"doctor"}, false, fresh);
    EXPECT_NE(doctor.out.find("does not exist"), std::string::npos) << doctor.out;
    EXPECT_EQ(Run({"alert", "show", alerts.string()}, false, fresh).exitCode, 0);
    EXPECT_TRUE(fs::is_empty(home.path()));
    ASSERT_EQ(Run({"reg", "set", kAlertingKey, "NoIP", "1"}, false, fresh).exitCode, 0);
    EXPECT_TRUE(fs::exists(home / ".local" / "state" / "kxevent" / "hklm.reg")) << "a change does";
}

// --- Catalogue listing -------------------------------------------------------------------------

TEST_F(KxeventCommand, EventsListsEachEventSortedWithItsSeverityAndShortDescription) {
    const std::string events = "Software\\Velmora\\QRD\\Shared Components\\Events\\";
    RegFile reg = BaseRegistry();
    reg.Key(events + "0901\\Defaults").String("SHORTDESCRIPT", "Some event").Dword("SEVERITY", 4);
    reg.Key(events + "0901\\-7").String("SHORTDESCRIPT", "Negative").Dword("SEVERITY", 0);
    reg.Key(events + "0901\\1000").String("SHORTDESCRIPT", "Virus found").Dword("SEVERITY", 2);
    reg.Key(events + "0901\\0042");  // not how the library writes a number: not an event
    reg.Key(events + "0701\\1000").String("SHORTDESCRIPT", "Virus gefunden");
    reg.Key(events + "0701\\Defaults").Dword("SEVERITY", 3);
    reg.WriteTo(registry);
    const ProcessResult english = Run({"events", "--language", "0901"});
    EXPECT_EQ(english.exitCode, 0) << english.err;
    EXPECT_EQ(english.out,
              "  -7  informational  Negative\n"
              " 500  warning        Some event\n"
              "1000  warning        Virus found\n");
    const ProcessResult german = Run({"events", "--language", "0701"});
    EXPECT_EQ(german.exitCode, 0) << german.err;
    // Each event falls back to 0901 by itself; the gaps are filled from the 0701 defaults.
    EXPECT_EQ(german.out,
              "  -7  informational  Negative\n"
              " 500  warning\n"
              "1000  error          Virus gefunden\n");
    const ProcessResult json = Run({"events", "--language", "0701", "--json"});
    EXPECT_EQ(Lines(json.out).size(), 3u) << json.out;
    EXPECT_NE(json.out.find("{\"event\":1000,\"severity\":3,\"severityName\":\"error\","
                            "\"shortDescript\":\"Virus gefunden\",\"language\":\"0701\"}\n"),
              std::string::npos)
        << json.out;
}

TEST_F(KxeventCommand, EventsFollowsThePreferredLanguageWithoutAnOption) {
    RegFile reg = BaseRegistry();
    reg.Key(kAlertingKey).String("szPreferredLanguage", "0701");
    reg.Key("Software\\Velmora\\QRD\\Shared Components\\Events\\0701\\500")
        .String("SHORTDESCRIPT", "Testereignis");
    reg.WriteTo(registry);
    const ProcessResult result = Run({"events"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "500  informational  Testereignis\n");
}

// Without an installation directory the library takes its resource module, and so its language,
// from "..\zqpal" beside the current directory, never from the command's own library directory.
TEST_F(KxeventCommand, EventsWithoutAnInstallDirTakesTheLanguageFromZqpalAsTheLibraryDoes) {
    const std::string events = "Software\\Velmora\\QRD\\Shared Components\\Events\\";
    RegFile reg;
    reg.Key(kAlertingKey).Dword("bEnableCAlert", 0);
    reg.Key(events + "0901\\500").String("SHORTDESCRIPT", "Test event");
    reg.Key(events + "0701\\500").String("SHORTDESCRIPT", "Testereignis");
    reg.WriteTo(registry);
    const auto place = [](const fs::path& language, const fs::path& under) {
        fs::create_directories(under / language.filename());
        fs::copy_file(language / "kxUtlRes.dll", under / language.filename() / "kxUtlRes.dll");
        ::chmod((under / language.filename() / "kxUtlRes.dll").c_str(), 0644);
        ::chmod((under / language.filename()).c_str(), 0755);
        ::chmod(under.c_str(), 0755);
    };
    const fs::path installed = KX_TEST_INSTALL_DIR;
    place(installed / "Res0901", dir / "library");  // the command's library directory
    place(installed / "Res0701", dir / "zqpal");
    fs::create_directory(dir / "work");
    const Environment german = {{"VEL_THREAD_LCID", "0x0407"},
                                {"VEL_USER_LCID", "0x0407"},
                                {"VEL_SYSTEM_LCID", "0x0407"},
                                {"KXEVENT_LIBRARY_DIR", (dir / "library").string()}};
    const ProcessResult result = RunIn(dir / "work", {"events"}, german);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "500  informational  Testereignis\n");
}

TEST_F(KxeventCommand, EventsWithoutACatalogueOrWithABadLanguageFails) {
    RegFile reg;
    reg.Key(kAlertingKey).Dword("bEnableCAlert", 0);
    reg.WriteTo(registry);
    const ProcessResult none = Run({"events"});
    EXPECT_EQ(none.exitCode, 1);
    ExpectOneErrorLine(none, "no events for language");
    const ProcessResult bad = Run({"events", "--language", "09\\01"});
    EXPECT_EQ(bad.exitCode, 2);
    ExpectOneErrorLine(bad, "--language takes a language code");
    BaseRegistry().WriteTo(registry);
    const ProcessResult absent = Run({"events", "--language", "0407"});
    EXPECT_EQ(absent.exitCode, 1);
    ExpectOneErrorLine(absent, "the catalogue in " + registry.string() +
                                   " has no language 0407 (it has 0901); the library would show "
                                   "every event in 0901");
}

}  // namespace
}  // namespace kx::test
