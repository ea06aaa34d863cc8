// bench_setup.h: what the benchmarks and the one-send program share: a scratch directory with
// registry files and the alerting and floor directories, the library loaded through the
// platform loader, a sample event's records, and the floor: the alert file written with bare
// system calls and no library at all.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "kxevent/kxevent.h"
#include "platform/platform.h"

namespace kx::bench {

inline constexpr std::int32_t kBenchEvent = 1000;
inline constexpr std::uint32_t kBenchProduct = 1;

// A scratch directory (removed with everything in it) holding one registry file per number of
// forwarding modules, the alerting directory and the floor's directory beside it.
class BenchDirectory {
  public:
    // `base` empty: KX_BENCH_DIR, else the system's temporary directory.
    explicit BenchDirectory(const std::string& base = {});
    ~BenchDirectory();
    BenchDirectory(const BenchDirectory&) = delete;
    BenchDirectory& operator=(const BenchDirectory&) = delete;

    // The registry file listing `forwarders` forwarding modules (0 to 4).
    std::filesystem::path Registry(int forwarders) const;
    // Points VEL_REGISTRY at that file.
    void UseRegistry(int forwarders) const;
    // A registry file `name`.reg listing the build tree's FwdSyslog.DLL as its one forwarding
    // module, with `settings` as the lines of its Syslog key ("\"Transport\"=\"udp\"", ...).
    std::filesystem::path SyslogRegistry(const std::string& name,
                                         const std::vector<std::string>& settings) const;
    const std::filesystem::path& root() const { return root_; }
    const std::filesystem::path& alerts() const { return alerts_; }
    const std::filesystem::path& floor() const { return floor_; }

  private:
    std::filesystem::path root_;
    std::filesystem::path alerts_;
    std::filesystem::path floor_;
};

// Removes every file in `directory`.
void EmptyDirectory(const std::filesystem::path& directory);

using SendFn = decltype(&EVENT_SendVELMessageEx);
using PopulateFn = decltype(&EVENT_PopulateEventStructures);

// KXEvent.DLL of the build tree, loaded as a reporting product loads it.
class LoadedLibrary {
  public:
    LoadedLibrary();
    ~LoadedLibrary();
    LoadedLibrary(const LoadedLibrary&) = delete;
    LoadedLibrary& operator=(const LoadedLibrary&) = delete;

    explicit operator bool() const { return send_ != nullptr && populate_ != nullptr; }
    SendFn send() const { return send_; }
    PopulateFn populate() const { return populate_; }

  private:
    plat::Module module_ = nullptr;
    SendFn send_ = nullptr;
    PopulateFn populate_ = nullptr;
};

// The caller's records of a typical "virus found" send, before the library touches them.
struct SampleRecords {
    MessageRecord message{};
    DetailRecord detail{};
    ContextRecord context{};

    SampleRecords();
    // Puts the records back as a product fills them before each send.
    void Reset(const SampleRecords& from);
};

// One alert file written with the steps the library's delivery must take and nothing else:
// exclusive create, one write per line, fdatasync, close, a rename that never replaces, and an
// fsync of the directory.
class FloorDrop {
  public:
    FloorDrop(std::filesystem::path directory, std::vector<std::string> lines);
    // False when a step failed.
    bool Drop(std::uint32_t number);

  private:
    std::string directory_;
    std::vector<std::string> lines_;
};

// The lines of a finished alert file, each with its CR LF; empty when none is in `directory`.
std::vector<std::string> AlertFileLines(const std::filesystem::path& directory);

}  // namespace kx::bench
