// harness.cpp: the shared helpers of the Windows integration tests.
#include "harness.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace kx::wine {

namespace fs = std::filesystem;

// --- Paths -----------------------------------------------------------------------------------

std::string JoinPath(std::string_view directory, std::string_view name) {
    std::string path(directory);
    if (!path.empty() && path.back() != '\\') path += '\\';
    path += name;
    return path;
}

namespace {

std::string ParentOf(const std::string& path) {
    const auto cut = path.find_last_of('\\');
    return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

}  // namespace

std::string ExecutablePath() {
    char path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameA(nullptr, path, sizeof path);
    if (length == 0 || length >= sizeof path) throw std::runtime_error("no executable path");
    return std::string(path, length);
}

std::string BuildDirectory() {
    return ParentOf(ParentOf(ExecutablePath()));
}

std::string BuiltInstallDirectory() {
    return JoinPath(BuildDirectory(), "lib\\velmora");
}

std::string TestModuleDirectory() {
    return JoinPath(BuildDirectory(), "tests\\wine\\modules");
}

std::string SourceDirectory() {
    return KX_WINE_SOURCE_DIR;
}

// --- Files -----------------------------------------------------------------------------------

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void WriteFileBytes(const std::string& path, std::string_view content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

void MakeDirectories(const std::string& path) {
    fs::create_directories(fs::path(path));
}

void CopyFileTo(const std::string& from, const std::string& to) {
    MakeDirectories(ParentOf(to));
    if (!::CopyFileA(from.c_str(), to.c_str(), FALSE)) {
        throw std::runtime_error("cannot copy " + from + " to " + to);
    }
}

bool FileExists(const std::string& path) {
    return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::string> ListFiles(const std::string& directory, const std::string& pattern) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found{};
    const HANDLE search = ::FindFirstFileA(JoinPath(directory, pattern).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            names.emplace_back(found.cFileName);
        }
    } while (::FindNextFileA(search, &found));
    ::FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines;
    if (!FileExists(path)) return lines;
    std::istringstream in(ReadFileBytes(path));
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

ScratchDir::ScratchDir() {
    char temp[MAX_PATH] = {};
    const DWORD length = ::GetTempPathA(sizeof temp, temp);
    if (length == 0 || length >= sizeof temp) throw std::runtime_error("no temporary directory");
    std::random_device seed;
    std::mt19937 random(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string candidate = JoinPath(temp, "kxwine-" + std::to_string(random()));
        if (::CreateDirectoryA(candidate.c_str(), nullptr)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a scratch directory");
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(fs::path(path_), ignored);
}

// --- Process settings ----------------------------------------------------------------------------

namespace {

std::optional<std::string> EnvironmentValue(const std::string& name) {
    const DWORD needed = ::GetEnvironmentVariableA(name.c_str(), nullptr, 0);
    if (needed == 0) return std::nullopt;
    std::string value(needed, '\0');
    const DWORD length = ::GetEnvironmentVariableA(name.c_str(), value.data(), needed);
    value.resize(length);
    return value;
}

void SetEnvironmentValue(const std::string& name, const std::optional<std::string>& value) {
    ::SetEnvironmentVariableA(name.c_str(), value ? value->c_str() : nullptr);
}

}  // namespace

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string> value)
    : name_(std::move(name)), previous_(EnvironmentValue(name_)) {
    SetEnvironmentValue(name_, value);
}

ScopedEnv::~ScopedEnv() {
    SetEnvironmentValue(name_, previous_);
}

ScopedCurrentDirectory::ScopedCurrentDirectory(const std::string& directory) {
    char current[MAX_PATH] = {};
    ::GetCurrentDirectoryA(sizeof current, current);
    previous_ = current;
    if (!::SetCurrentDirectoryA(directory.c_str())) {
        throw std::runtime_error("cannot change to " + directory);
    }
}

ScopedCurrentDirectory::~ScopedCurrentDirectory() {
    ::SetCurrentDirectoryA(previous_.c_str());
}

ScopedThreadLocale::ScopedThreadLocale(LCID locale) : previous_(::GetThreadLocale()) {
    ::SetThreadLocale(locale);
}

ScopedThreadLocale::~ScopedThreadLocale() {
    ::SetThreadLocale(previous_);
}

// --- Registry ------------------------------------------------------------------------------------

void ImportRegistry(const RegFile& reg, const std::string& file) {
    WriteFileBytes(file, reg.Text());
    const std::string output = file + ".out";
    const ProcessResult result = RunProcess("reg.exe import \"" + file + "\"", output);
    if (result.Succeeded()) return;
    std::string printed = FileExists(output) ? ReadFileBytes(output) : std::string();
    throw std::runtime_error("reg import " + file + " failed: " + result.Describe() +
                             "; it printed: [" + printed + "]; the file:\n" + reg.Text());
}

void DeleteProductKeys() {
    ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\Velmora");
}

// --- Child processes -----------------------------------------------------------------------------

namespace {

std::string SystemErrorText(DWORD error) {
    char text[512] = {};
    const DWORD length =
        ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                         0, text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
        message.pop_back();
    }
    return "error " + std::to_string(error) + (message.empty() ? "" : " (" + message + ")");
}

// The child's standard output and error: `path` created anew, or the null device.
HANDLE OpenChildOutput(const std::string& path) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return path.empty() ? ::CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        &inherit, OPEN_EXISTING, 0, nullptr)
                        : ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

std::string ProcessResult::Describe() const {
    return exitCode ? "exit code " + std::to_string(*exitCode) : failure;
}

ProcessResult RunProcess(const std::string& commandLine, const std::string& outputFile,
                         DWORD timeoutMs) {
    ProcessResult result;
    const HANDLE sink = OpenChildOutput(outputFile);
    if (sink == INVALID_HANDLE_VALUE) {
        result.failure = "cannot open the output " + (outputFile.empty() ? "NUL" : outputFile) +
                         ": " + SystemErrorText(::GetLastError());
        return result;
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = sink;
    startup.hStdError = sink;
    PROCESS_INFORMATION process{};
    std::string line = commandLine;
    const BOOL started = ::CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                          nullptr, &startup, &process);
    const DWORD startError = ::GetLastError();
    ::CloseHandle(sink);
    if (!started) {
        result.failure = "could not be started: " + SystemErrorText(startError);
        return result;
    }
    const DWORD waited = ::WaitForSingleObject(process.hProcess, timeoutMs);
    if (waited == WAIT_OBJECT_0) {
        DWORD code = 0;
        if (::GetExitCodeProcess(process.hProcess, &code)) {
            result.exitCode = code;
        } else {
            result.failure = "no exit code: " + SystemErrorText(::GetLastError());
        }
    } else {
        result.failure =
            waited == WAIT_TIMEOUT
                ? "did not end within " + std::to_string(timeoutMs / 1000) + " s and was terminated"
                : "could not be waited for: " + SystemErrorText(::GetLastError());
        ::TerminateProcess(process.hProcess, 1);
        ::WaitForSingleObject(process.hProcess, timeoutMs);
    }
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return result;
}

std::map<std::string, std::string> ReadKeyValues(const std::string& path) {
    std::map<std::string, std::string> values;
    for (const std::string& line : ReadLines(path)) {
        const auto equals = line.find('=');
        if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return values;
}

namespace {

// One JSON text or number starting at `at`; moves `at` past it.
std::string JsonValue(const std::string& line, std::size_t& at) {
    std::string value;
    if (line.compare(at, 4, "null") == 0) {
        at += 4;
        return value;
    }
    if (line[at] != '"') {
        while (at < line.size() && line[at] != ',' && line[at] != '}') value += line[at++];
        return value;
    }
    for (++at; at < line.size() && line[at] != '"'; ++at) {
        if (line[at] != '\\') {
            value += line[at];
            continue;
        }
        const char escaped = line[++at];
        if (escaped == 'u') {
            value += static_cast<char>(std::stoi(line.substr(at + 1, 4), nullptr, 16));
            at += 4;
        } else {
            value += escaped;
        }
    }
    ++at;
    return value;
}

}  // namespace

std::vector<std::map<std::string, std::string>> ReadEventLog(const std::string& path) {
    std::vector<std::map<std::string, std::string>> entries;
    for (const std::string& line : ReadLines(path)) {
        std::map<std::string, std::string> entry;
        std::size_t at = 1;  // past '{'
        while (at < line.size() && line[at] == '"') {
            const std::string key = JsonValue(line, at);
            ++at;  // ':'
            entry[key] = JsonValue(line, at);
            if (at < line.size() && line[at] == ',') ++at;
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::string ResourceSourceString(std::string_view language, unsigned id) {
    const std::string file =
        JoinPath(SourceDirectory(), "resources\\strings\\" + std::string(language) + ".txt");
    const std::string prefix = std::to_string(id) + " ";
    for (const std::string& line : ReadLines(file)) {
        if (line.compare(0, prefix.size(), prefix) == 0) return line.substr(prefix.size());
    }
    throw std::runtime_error("no string " + std::to_string(id) + " in " + file);
}

// --- The common fixture ------------------------------------------------------------------------

WineTest::WineTest()
    : core_("VEL_DEBUGCORE", scratch_ / "install"),
      eventLog_("VEL_EVENTLOG", scratch_ / "events.jsonl"),
      forwardLog_("KX_WINE_FORWARD_LOG", scratch_ / "forward.log") {
    LayOutInstallation(InstallDir());
    MakeDirectories(scratch_ / "cwd");
    cwd_.emplace(scratch_ / "cwd");
    DeleteProductKeys();
}

WineTest::~WineTest() {
    cwd_.reset();
    DeleteProductKeys();
}

RegFile WineTest::BaseRegistry() {
    RegFile reg;
    reg.Key(kAlertingKey).Dword("bEnableCAlert", 0).Dword("NoIP", 1);
    reg.Key(std::string(kEventsKey) + "\\0901\\Defaults")
        .String("ID", "Event")
        .String("SHORTDESCRIPT", "An event")
        .String("LONGDESCRIPT", "An event was reported")
        .String("URL", "http://help.example/event")
        .String("RESOLUTION", "No action is needed.")
        .Dword("SEVERITY", 1)
        .String("Append", "(on %COMPUTERNAME%)")
        .String("AppendPIII", "(serial %PROCESSORSERIAL%)");
    reg.Key(std::string(kEventsKey) + "\\0901\\1000")
        .String("ID", "Virus found")
        .String("SHORTDESCRIPT", "Virus found")
        .String("LONGDESCRIPT", "The virus %VIRUSNAME% was found in %FILENAME% by %TASKNAME%")
        .Dword("SEVERITY", 3);
    return reg;
}

void WineTest::Import(const RegFile& reg) {
    ImportRegistry(reg, scratch_ / ("import" + std::to_string(++imports_) + ".reg"));
}

void WineTest::LayOutInstallation(const std::string& directory) {
    const std::string built = BuiltInstallDirectory();
    for (const char* module : {"KXEvent.DLL", "KXKRNL.DLL", "KXUTIL.DLL"}) {
        CopyFileTo(JoinPath(built, module), JoinPath(directory, module));
    }
    WIN32_FIND_DATAA found{};
    const HANDLE search = ::FindFirstFileA(JoinPath(built, "Res*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        const std::string resource = JoinPath(found.cFileName, "kxUtlRes.dll");
        if (FileExists(JoinPath(built, resource))) {
            CopyFileTo(JoinPath(built, resource), JoinPath(directory, resource));
        }
    } while (::FindNextFileA(search, &found));
    ::FindClose(search);
}

}  // namespace kx::wine
