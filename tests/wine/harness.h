// harness.h: what the Windows integration tests share: where the build put things, scratch
// directories, process settings for one scope (environment, current directory, thread locale),
// registry files imported with the system's own reg tool, child processes, and the common
// fixture that lays out an installation directory and a catalogue for each test.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/regfile_text.h"

namespace kx::wine {

// --- Paths -----------------------------------------------------------------------------------
std::string JoinPath(std::string_view directory, std::string_view name);
std::string ExecutablePath();         // the running driver
std::string BuildDirectory();         // the build tree: the driver's directory's parent
std::string BuiltInstallDirectory();  // <build>\lib\velmora
std::string TestModuleDirectory();    // <build>\tests\wine\modules
std::string SourceDirectory();        // the sources, as Wine maps them

// --- Files -----------------------------------------------------------------------------------
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, std::string_view content);
void CopyFileTo(const std::string& from, const std::string& to);  // creates to's directory
void MakeDirectories(const std::string& path);
bool FileExists(const std::string& path);
// Names (not paths) of the entries of `directory` matching `pattern`, e.g. "*.ALR", sorted.
std::vector<std::string> ListFiles(const std::string& directory, const std::string& pattern);
std::vector<std::string> ReadLines(const std::string& path);  // without line ends

// A fresh directory under the system's temporary directory, removed with its content.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(std::string_view name) const { return JoinPath(path_, name); }

  private:
    std::string path_;
};

// --- Process settings for one scope ------------------------------------------------------------
// Sets (or with nullopt removes) a variable of the process environment, as a product would,
// through the system; restored at the end of the scope.
class ScopedEnv {
  public:
    ScopedEnv(std::string name, std::optional<std::string> value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    std::optional<std::string> previous_;
};

class ScopedCurrentDirectory {
  public:
    explicit ScopedCurrentDirectory(const std::string& directory);
    ~ScopedCurrentDirectory();
    ScopedCurrentDirectory(const ScopedCurrentDirectory&) = delete;
    ScopedCurrentDirectory& operator=(const ScopedCurrentDirectory&) = delete;

  private:
    std::string previous_;
};

class ScopedThreadLocale {
  public:
    explicit ScopedThreadLocale(LCID locale);
    ~ScopedThreadLocale();
    ScopedThreadLocale(const ScopedThreadLocale&) = delete;
    ScopedThreadLocale& operator=(const ScopedThreadLocale&) = delete;

  private:
    LCID previous_;
};

// --- Registry ------------------------------------------------------------------------------------
inline constexpr std::string_view kSharedComponents = "Software\\Velmora\\QRD\\Shared Components";
using test::kAlertingKey;
using test::kEventsKey;
inline constexpr std::string_view kForwardingKey =
    "Software\\Velmora\\QRD\\Shared Components\\Events\\Forwarding";
inline constexpr std::string_view kCurrentVersionKey =
    "SOFTWARE\\Velmora\\QRD\\Shared Components\\Brisa\\CurrentVersion";

// A registry file in the system's export format, as an administrator writes one.
class RegFile : public test::RegFileText<RegFile> {};

// Writes `reg` to `file` and imports it with "reg import". Throws, with the tool's exit code
// (or why it has none) and what it printed, when the import does not succeed.
void ImportRegistry(const RegFile& reg, const std::string& file);
// Removes HKEY_LOCAL_MACHINE\Software\Velmora with everything under it.
void DeleteProductKeys();

// --- Child processes -----------------------------------------------------------------------------
// How a child process ended: its exit code, or nothing and why (it could not be started, or
// it did not end in time and was terminated).
struct ProcessResult {
    std::optional<DWORD> exitCode;
    std::string failure;
    bool Succeeded() const { return exitCode == 0u; }
    std::string Describe() const;  // "exit code N" or the failure
};

// A child is given this long to end. Wine starts a process in a few hundred milliseconds, but
// on a loaded machine, in a prefix whose services are still starting, it can take many
// seconds: the limit only catches a child that hangs.
inline constexpr DWORD kChildTimeoutMs = 5 * 60 * 1000;

// Runs `commandLine` with the process's environment and current directory. Its output goes to
// `outputFile` (created anew) or, when that is empty, is thrown away.
ProcessResult RunProcess(const std::string& commandLine, const std::string& outputFile = {},
                         DWORD timeoutMs = kChildTimeoutMs);

// key=value lines, as the driver's child mode writes them.
std::map<std::string, std::string> ReadKeyValues(const std::string& path);

// The text fields of the event log's JSON lines, one map per line ("source", "label", "kind",
// "number", "text"); null texts come back empty.
std::vector<std::map<std::string, std::string>> ReadEventLog(const std::string& path);

// A string of a resource module's source list (resources/strings/<PPSS>.txt).
std::string ResourceSourceString(std::string_view language, unsigned id);

// --- The common fixture ------------------------------------------------------------------------
// Each test gets a scratch directory with an installation directory (KXEvent.DLL, the siblings
// and the resource modules) named by VEL_DEBUGCORE, an event log file (VEL_EVENTLOG), a
// forwarding log (KX_WINE_FORWARD_LOG), a current directory of its own and a registry without
// the product's keys.
class WineTest : public testing::Test {
  protected:
    WineTest();
    ~WineTest() override;

    // The catalogue most tests start from: Alerting with "NoIP", English defaults and event
    // 1000, whose long description names a few variables.
    static RegFile BaseRegistry();
    // Imports `reg`; throws when the reg tool fails, which ends the test as failed (an
    // assertion here would only return from the helper and let the test go on without its
    // registry).
    void Import(const RegFile& reg);

    std::string InstallDir() const { return scratch_ / "install"; }
    std::string EventLogPath() const { return scratch_ / "events.jsonl"; }
    std::string ForwardLogPath() const { return scratch_ / "forward.log"; }
    const ScratchDir& Scratch() const { return scratch_; }

    // Copies the built installation directory to `directory`: KXEvent.DLL, KXKRNL.DLL,
    // KXUTIL.DLL and every Res<PPSS>\kxUtlRes.dll.
    static void LayOutInstallation(const std::string& directory);

  private:
    ScratchDir scratch_;
    ScopedEnv core_;
    ScopedEnv eventLog_;
    ScopedEnv forwardLog_;
    std::optional<ScopedCurrentDirectory> cwd_;
    int imports_ = 0;
};

}  // namespace kx::wine
