// kxevent_command_test.cpp: the kxevent command run as a child process, as a user runs it:
// exit statuses, messages and files for good and bad input.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <utility>

#include "child_process.h"
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

    using Environment = std::map<std::string, std::optional<std::string>>;

    ProcessResult Run(const std::vector<std::string>& args, bool useRegistry = true,
                      const Environment& overrides = {}) const {
        std::map<std::string, std::optional<std::string>> env = {
            {"VEL_REGISTRY", useRegistry ? std::optional(registry.string()) : std::nullopt},
            {"KXEVENT_SYSTEM_REGISTRY", (dir / "no-system.reg").string()},
            {"XDG_STATE_HOME", (dir / "state").string()},
            {"HOME", dir.str()},
            {"VEL_EVENTLOG", (dir / "eventlog.json").string()},
            {"VEL_DEBUGCORE", std::nullopt},
            {"KXEVENT_LIBRARY_DIR", std::nullopt},
        };
        for (const auto& [name, value] : overrides) env[name] = value;
        return RunProcess(kCommand, args, env);
    }

    std::vector<fs::path> AlertFiles() const {
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(alerts)) files.push_back(entry.path());
        return files;
    }
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

TEST_F(KxeventCommand, UnknownCommandIsAUsageError) {
    const ProcessResult result = Run({"frobnicate"});
    EXPECT_EQ(result.exitCode, 2);
    ExpectOneErrorLine(result, "unknown command 'frobnicate'");
}

TEST_F(KxeventCommand, UnknownOptionIsAUsageError) {
    const ProcessResult result = Run({"send", "--product", "1", "--event", "500", "--bogus"});
    EXPECT_EQ(result.exitCode, 2);
    ExpectOneErrorLine(result, "unknown option '--bogus'");
}

TEST_F(KxeventCommand, MissingEventNumberIsAUsageError) {
    const ProcessResult result = Run({"send", "--product", "1"});
    EXPECT_EQ(result.exitCode, 2);
    ExpectOneErrorLine(result, "--event");
}

TEST_F(KxeventCommand, NonNumericProductIsAUsageError) {
    const ProcessResult result = Run({"send", "--product", "one", "--event", "500"});
    EXPECT_EQ(result.exitCode, 2);
    ExpectOneErrorLine(result, "'one' is not a number");
}

TEST_F(KxeventCommand, UnknownFieldNameIsAUsageError) {
    BaseRegistry().WriteTo(registry);
    const ProcessResult result =
        Run({"send", "--product", "1", "--event", "500", "--field", "szNoSuchField=x"});
    EXPECT_EQ(result.exitCode, 2);
    ExpectOneErrorLine(result, "unknown record field 'szNoSuchField'");
    EXPECT_TRUE(AlertFiles().empty());
}

TEST_F(KxeventCommand, ValueTooLongForItsFieldIsAUsageErrorAndNothingIsSent) {
    BaseRegistry().WriteTo(registry);
    const ProcessResult result = Run(
        {"send", "--product", "1", "--event", "500", "--field", "szTargetIP=10.100.200.250:65535"});
    EXPECT_EQ(result.exitCode, 2);
    ExpectOneErrorLine(result,
                       "szTargetIP: the value is 20 characters long; the field holds at most 15");
    EXPECT_TRUE(AlertFiles().empty());
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

TEST_F(KxeventCommand, SendOfAnEventWithoutDefinitionFailsWithOneLine) {
    BaseRegistry().WriteTo(registry);
    const ProcessResult result = Run({"send", "--product", "1", "--event", "777"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.out.find("result: 9 EVENT_ERR_NO_DEFINITION"), std::string::npos);
    ExpectOneErrorLine(result, "EVENT_ERR_NO_DEFINITION");
    EXPECT_TRUE(AlertFiles().empty());
}

TEST_F(KxeventCommand, SendWithoutAlertingPathFailsWithResultOne) {
    BaseRegistry(false).WriteTo(registry);
    const ProcessResult result = Run({"send", "--product", "1", "--event", "500"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.out.find("result: 1 EVENT_ERR_NO_ALERT_PATH"), std::string::npos);
    ExpectOneErrorLine(result, "Centralized Alerting Path");
}

TEST_F(KxeventCommand, SendIntoAMissingAlertingDirectoryIsReportedAsAFailure) {
    // The library reports an unwritable directory only in its event log; the command must not
    // claim success when the alert it asked for never appeared.
    fs::remove(alerts);
    BaseRegistry().WriteTo(registry);
    const ProcessResult result = Run({"send", "--product", "1", "--event", "500"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.out.find("result: 0 EVENT_OK"), std::string::npos);
    ExpectOneErrorLine(result, "no alert file appeared in " + alerts.string());
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

TEST_F(KxeventCommand, MissingRegistryNamedByTheEnvironmentIsReported) {
    const ProcessResult result = Run({"send", "--product", "1", "--event", "500"});
    EXPECT_EQ(result.exitCode, 1);
    ExpectOneErrorLine(result, "does not exist");
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

TEST_F(KxeventCommand, ResendOutsideAChainIsRefusedBeforeAnythingIsSent) {
    BaseRegistry().WriteTo(registry);
    const ProcessResult result = Run({"resend", "--product", "1", "--event", "500"});
    EXPECT_EQ(result.exitCode, 2);
    ExpectOneErrorLine(result, "resend has nothing to send again: a new process holds no last");
    EXPECT_NE(result.err.find("--then resend"), std::string::npos) << result.err;
    EXPECT_TRUE(AlertFiles().empty());
}

TEST_F(KxeventCommand, FieldTheLibraryOverwritesIsRefusedNamingWhoFillsIt) {
    BaseRegistry().WriteTo(registry);
    const std::pair<const char*, const char*> cases[] = {
        {"szComputerName=spoofed",
         "--field szComputerName: the library overwrites it with the "
         "computer's name from the system on every send"},
        {"uSeverity=0",
         "--field uSeverity: the library overwrites it with the event's "
         "\"SEVERITY\" from the catalogue on every send"},
        {"szSoftwareName=x", "the product's name from the registry"},
    };
    for (const auto& [field, message] : cases) {
        const ProcessResult result =
            Run({"send", "--product", "1", "--event", "500", "--field", field});
        EXPECT_EQ(result.exitCode, 2) << field;
        ExpectOneErrorLine(result, message);
    }
    EXPECT_TRUE(AlertFiles().empty());
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

TEST_F(KxeventCommand, RefusedAttachListsTheResourceModulePathsTried) {
    BaseRegistry().WriteTo(registry);
    const fs::path install = dir / "install";
    fs::create_directory(install);
    for (const char* module : {"KXKRNL.DLL", "KXUTIL.DLL"}) {
        fs::copy_file(fs::path(KX_TEST_INSTALL_DIR) / module, install / module);
    }
    const ProcessResult result = Run({"send", "--product", "1", "--event", "500"}, true,
                                     {{"VEL_DEBUGCORE", install.string()}});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("Error loading resource DLL (kxUtlRes.dll); paths tried: " +
                              install.string() + "\\Res0901\\kxUtlRes.dll ("),
              std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("run kxevent doctor"), std::string::npos) << result.err;
}

TEST_F(KxeventCommand, RefusedAttachNamesTheUntrustedModuleAndTheModeAtFault) {
    BaseRegistry().WriteTo(registry);
    const fs::path install = dir / "shared";
    fs::create_directory(install);
    fs::copy_file(fs::path(KX_TEST_INSTALL_DIR) / "KXKRNL.DLL", install / "KXKRNL.DLL");
    ASSERT_EQ(::chmod(install.c_str(), 0777), 0);
    const ProcessResult result = Run({"send", "--product", "1", "--event", "500"}, true,
                                     {{"VEL_DEBUGCORE", install.string()}});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find(install.string() +
                              " can be changed by users other than its owner and root"),
              std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("binder code 9"), std::string::npos) << result.err;
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
    std::filesystem::copy_file(sent, alerts / "zzzzzzzz.ALR");
    const ProcessResult result = Run({"alert", "show", alerts.string()});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out.rfind("# " + sent.string() + "\n", 0), 0u) << result.out;
    const std::size_t second = result.out.find("\n\n# " + (alerts / "zzzzzzzz.ALR").string());
    EXPECT_NE(second, std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("\n\n"), second);
}

TEST_F(KxeventCommand, AlertShowRefusesAMalformedFileNamingTheLine) {
    WriteFile(alerts / "00000001.ALR", "[CentralAlert]\r\nuFileVersion=1\r\nuStatus=x\r\n");
    const ProcessResult result = Run({"alert", "show", (alerts / "00000001.ALR").string()});
    EXPECT_EQ(result.exitCode, 1);
    ExpectOneErrorLine(result, "00000001.ALR: line 3: uStatus= needs an unsigned number");
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

TEST_F(KxeventCommand, RegQueryOfAMissingKeyFails) {
    BaseRegistry().WriteTo(registry);
    const ProcessResult result = Run({"reg", "query", "Software\\Nowhere"});
    EXPECT_EQ(result.exitCode, 1);
    ExpectOneErrorLine(result, "no key Software\\Nowhere");
}

TEST_F(KxeventCommand, RegSetWithABadDwordIsAUsageError) {
    BaseRegistry().WriteTo(registry);
    const std::string before = ReadFile(registry);
    const ProcessResult result =
        Run({"reg", "set", kAlertingKey, "bEnableCAlert", "yes", "--type", "dword"});
    EXPECT_EQ(result.exitCode, 2);
    ExpectOneErrorLine(result, "not a number");
    EXPECT_EQ(ReadFile(registry), before);
}

}  // namespace
}  // namespace kx::test
