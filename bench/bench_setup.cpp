// bench_setup.cpp: the scratch directory and registry files of the benchmarks, the library
// loaded through the platform loader, the sample records and the bare alert-file drop.
#include "bench/bench_setup.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace kx::bench {
namespace {

namespace fs = std::filesystem;

constexpr char kKeyPrefix[] = "[HKEY_LOCAL_MACHINE\\Software\\Velmora\\QRD\\Shared Components\\";
constexpr int kMostForwarders = 4;

// The registry of a send with central alerting on and `modules` listed for forwarding, then
// `extra` (whole keys, as the file spells them).
std::string RegistryText(const fs::path& alerts, const std::vector<std::string>& modules,
                         const std::string& extra = {}) {
    std::ostringstream reg;
    reg << "REGEDIT4\r\n\r\n"
        << kKeyPrefix << "Brisa\\CurrentVersion]\r\n"
        << "\"szInstallDir\"=\"" << KX_BENCH_INSTALL_DIR << "\"\r\n\r\n"
        << kKeyPrefix << "Brisa\\Alerting]\r\n"
        << "\"bEnableCAlert\"=dword:00000001\r\n"
        << "\"Centralized Alerting Path\"=\"" << alerts.string() << "\"\r\n\r\n";
    if (!modules.empty()) {
        reg << kKeyPrefix << "Events\\Forwarding]\r\n";
        for (std::size_t i = 0; i < modules.size(); ++i) {
            reg << "\"Bench forwarder " << i + 1 << "\"=\"" << modules[i] << "\"\r\n";
        }
        reg << "\r\n";
    }
    reg << extra;
    reg << kKeyPrefix << "Events\\0901\\Defaults]\r\n"
        << "\"ID\"=\"Unrecorded event\"\r\n"
        << "\"SHORTDESCRIPT\"=\"Event\"\r\n"
        << "\"LONGDESCRIPT\"=\"%SOFTWARENAME% reported an event\"\r\n"
        << "\"URL\"=\"https://support.example.com/events/\"\r\n"
        << "\"RESOLUTION\"=\"Look the event up.\"\r\n"
        << "\"SEVERITY\"=dword:00000001\r\n"
        << "\"Append\"=\"(from %COMPUTERNAME% IP %SOURCEIP% user %USERNAME% running "
           "%SOFTWARENAME% %SOFTWAREVERSION% %TASKNAME%)\"\r\n\r\n";
    for (int event = 999; event <= 1003; ++event) {
        reg << kKeyPrefix << "Events\\0901\\" << event << "]\r\n"
            << "\"ID\"=\"Virus found\"\r\n"
            << "\"SHORTDESCRIPT\"=\"Virus found\"\r\n"
            << "\"LONGDESCRIPT\"=\"%VIRUSNAME% (%VIRUSTYPE%) was found in %FILENAME% on "
               "%COMPUTERNAME% at %GMTTIME% during %TASKNAME%\"\r\n"
            << "\"URL\"=\"https://support.example.com/events/" << event << "\"\r\n"
            << "\"RESOLUTION\"=\"Leave the item in place and run a full scan.\"\r\n"
            << "\"SEVERITY\"=dword:00000003\r\n"
            << "\"Always Alert\"=\"1\"\r\n\r\n";
    }
    return reg.str();
}

void WriteText(const fs::path& file, const std::string& text) {
    std::ofstream out(file, std::ios::binary);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + file.string());
}

fs::path BaseDirectory(const std::string& base) {
    if (!base.empty()) return base;
    if (const char* dir = std::getenv("KX_BENCH_DIR"); dir != nullptr && *dir != '\0') return dir;
    return fs::temp_directory_path();
}

template <std::size_t N>
void Set(char (&field)[N], const char* text) {
    std::snprintf(field, N, "%s", text);
}

bool WriteAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (wrote <= 0) return false;
        done += static_cast<std::size_t>(wrote);
    }
    return true;
}

}  // namespace

BenchDirectory::BenchDirectory(const std::string& base) {
    std::random_device random;
    root_ = BaseDirectory(base) /
            ("kxbench-" + std::to_string(::getpid()) + "-" + std::to_string(random() % 1000000));
    alerts_ = root_ / "alerts";
    floor_ = root_ / "floor";
    fs::create_directories(alerts_);
    fs::create_directories(floor_);
    for (int forwarders = 0; forwarders <= kMostForwarders; ++forwarders) {
        std::vector<std::string> modules;
        for (int i = 1; i <= forwarders; ++i) {
            modules.push_back(std::string(KX_BENCH_FORWARD_DIR) + "/FwdBench" + std::to_string(i) +
                              ".dll");
        }
        WriteText(Registry(forwarders), RegistryText(alerts_, modules));
    }
}

BenchDirectory::~BenchDirectory() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

fs::path BenchDirectory::Registry(int forwarders) const {
    return root_ / ("registry-" + std::to_string(forwarders) + ".reg");
}

fs::path BenchDirectory::SyslogRegistry(const std::string& name,
                                        const std::vector<std::string>& settings) const {
    std::string key = std::string(kKeyPrefix) + "Events\\Forwarding\\Syslog]\r\n";
    for (const std::string& line : settings) key += line + "\r\n";
    const fs::path file = root_ / (name + ".reg");
    WriteText(file, RegistryText(alerts_, {std::string(KX_BENCH_INSTALL_DIR) + "/FwdSyslog.DLL"},
                                 key + "\r\n"));
    return file;
}

void BenchDirectory::UseRegistry(int forwarders) const {
    ::setenv("VEL_REGISTRY", Registry(forwarders).c_str(), 1);
}

void EmptyDirectory(const fs::path& directory) {
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(directory, ignored)) {
        fs::remove(entry.path(), ignored);
    }
}

LoadedLibrary::LoadedLibrary() {
    const std::string path = std::string(KX_BENCH_INSTALL_DIR) + "/KXEvent.DLL";
    module_ = plat::LoadLibraryA(path.c_str());
    if (module_ == nullptr) return;
    send_ = reinterpret_cast<SendFn>(plat::GetProcAddress(module_, "EVENT_SendVELMessageEx"));
    populate_ = reinterpret_cast<PopulateFn>(
        plat::GetProcAddress(module_, "EVENT_PopulateEventStructures"));
}

LoadedLibrary::~LoadedLibrary() {
    if (module_ != nullptr) plat::FreeLibrary(module_);
}

SampleRecords::SampleRecords() {
    Set(message.szSoftwareVersion, "4.0.70");
    Set(message.szTaskID, "OnAccess");
    Set(detail.szEngineVersion, "4.1.60");
    Set(detail.szDatVersion, "4.0.4180");
    Set(detail.szVirusName, "EICAR test file");
    Set(detail.szVirusType, "Test");
    Set(detail.szFileName, "/home/user/Downloads/eicar.com");
    Set(detail.szTaskName, "Scan");
    Set(detail.szAccessProcessName, "/usr/bin/cp");
    context.abData[0] = 1;
}

void SampleRecords::Reset(const SampleRecords& from) {
    std::memcpy(&message, &from.message, sizeof message);
    std::memcpy(&detail, &from.detail, sizeof detail);
    std::memcpy(&context, &from.context, sizeof context);
}

FloorDrop::FloorDrop(fs::path directory, std::vector<std::string> lines)
    : directory_(directory.string()), lines_(std::move(lines)) {}

bool FloorDrop::Drop(std::uint32_t number) {
    char temp[512];
    char final[512];
    std::snprintf(temp, sizeof temp, "%s/%08d.TMP", directory_.c_str(), static_cast<int>(number));
    std::snprintf(final, sizeof final, "%s/%08d.ALR", directory_.c_str(), static_cast<int>(number));
    const int fd = ::open(temp, O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    bool ok = true;
    for (const std::string& line : lines_) ok = WriteAll(fd, line) && ok;
    ok = ::fdatasync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    ok = ::renameat2(AT_FDCWD, temp, AT_FDCWD, final, RENAME_NOREPLACE) == 0 && ok;
    const int dir = ::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return false;
    ok = ::fsync(dir) == 0 && ok;
    ok = ::close(dir) == 0 && ok;
    return ok;
}

std::vector<std::string> AlertFileLines(const fs::path& directory) {
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(directory, ignored)) {
        if (entry.path().extension() != ".ALR") continue;
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string content((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
        std::vector<std::string> lines;
        std::size_t start = 0;
        while (start < content.size()) {
            const std::size_t end = content.find("\r\n", start);
            const std::size_t stop = end == std::string::npos ? content.size() : end + 2;
            lines.push_back(content.substr(start, stop - start));
            start = stop;
        }
        return lines;
    }
    return {};
}

}  // namespace kx::bench
