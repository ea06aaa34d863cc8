// scale_bench.cpp: how a send scales with the work around it.
//
//   kxevent_scale_bench [sends per sender]
//
// 1. Concurrent senders in one alerting directory: N threads sharing one loaded library (its
//    calls serialized, as the library requires within a process) and N processes, each with
//    real tick counts and with one fixed tick count for all. Throughput, and whether every
//    alert arrived.
// 2. The registry: parsing a 100,000-key file, and the first send after a 20,000-key catalogue
//    changed against an ordinary send.
// Each figure is printed beside its target as a ratio. Wall-clock times: run on a quiet machine,
// on a fresh file system (scripts/bench.sh mounts one).
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_setup.h"
#include "platform/regfile.h"

namespace {

using namespace kx::bench;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kSenderCounts[] = {1, 2, 4, 8};
constexpr char kFixedTick[] = "4242";
constexpr double kProcessScaleTarget = 3.0;  // 8 processes over 1, at least
constexpr double kFixedTickTarget = 1.5;     // fixed over real tick counts, at most
constexpr double kParseTargetMs = 150.0;
constexpr double kChangedSendTargetMs = 50.0;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

std::size_t CountAlerts(const fs::path& directory) {
    std::size_t count = 0;
    for (const auto& entry : fs::directory_iterator(directory)) {
        if (entry.path().extension() == ".ALR") ++count;
    }
    return count;
}

int SendOnce(const LoadedLibrary& library, const SampleRecords& sample, SampleRecords& records) {
    records.Reset(sample);
    return library.send()(0, kBenchProduct, kBenchEvent, &records.message, &records.detail,
                          &records.context, 0, 0);
}

void UseTick(bool fixed) {
    if (fixed) {
        ::setenv("VEL_TICKCOUNT", kFixedTick, 1);
    } else {
        ::unsetenv("VEL_TICKCOUNT");
    }
}

struct RunResult {
    double seconds = 0;
    std::size_t arrived = 0;
    std::size_t expected = 0;
};

// N threads, one library: a send at a time, as a product's threads must call it.
RunResult RunThreads(const BenchDirectory& directory, int senders, int sends) {
    LoadedLibrary library;
    if (!library) return {};
    const SampleRecords sample;
    std::mutex serial;
    const Clock::time_point start = Clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < senders; ++t) {
        threads.emplace_back([&] {
            SampleRecords records;
            for (int s = 0; s < sends; ++s) {
                std::lock_guard lock(serial);
                SendOnce(library, sample, records);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    const double seconds = Seconds(Clock::now() - start);
    const auto expected = static_cast<std::size_t>(senders * sends);
    return {seconds, CountAlerts(directory.alerts()), expected};
}

// N processes, each its own library; all start together once every one has loaded it.
RunResult RunProcesses(const BenchDirectory& directory, int senders, int sends) {
    int ready[2], go[2];
    if (::pipe(ready) != 0 || ::pipe(go) != 0) return {};
    std::vector<pid_t> children;
    for (int p = 0; p < senders; ++p) {
        const pid_t pid = ::fork();
        if (pid < 0) break;
        if (pid == 0) {
            ::close(ready[0]);
            ::close(go[1]);
            int failures = 0;
            {
                LoadedLibrary library;
                const SampleRecords sample;
                SampleRecords records;
                char byte = 1;
                if (::write(ready[1], &byte, 1) != 1) ::_exit(3);
                if (::read(go[0], &byte, 1) < 0) ::_exit(3);  // EOF: go
                for (int s = 0; s < sends && library; ++s) {
                    if (SendOnce(library, sample, records) != EVENT_OK) ++failures;
                }
                if (!library) failures = 1;
            }
            ::_exit(failures == 0 ? 0 : 1);
        }
        children.push_back(pid);
    }
    ::close(ready[1]);
    ::close(go[0]);
    char byte;
    for (std::size_t i = 0; i < children.size(); ++i) {
        if (::read(ready[0], &byte, 1) != 1) break;
    }
    const Clock::time_point start = Clock::now();
    ::close(go[1]);
    for (const pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
    const double seconds = Seconds(Clock::now() - start);
    ::close(ready[0]);
    const auto expected = static_cast<std::size_t>(senders * sends);
    return {seconds, CountAlerts(directory.alerts()), expected};
}

struct Throughputs {
    double threads[2][4] = {};    // [fixed][index of N]
    double processes[2][4] = {};  // alerts per second
    double processSeconds[2][4] = {};
    bool allArrived = true;
};

Throughputs RunConcurrentSenders(const BenchDirectory& directory, int sends) {
    Throughputs t;
    directory.UseRegistry(0);
    std::printf("%-10s %-6s %3s %6s %9s %10s %8s\n", "senders", "tick", "N", "sends", "seconds",
                "alerts/s", "arrived");
    for (int fixed = 0; fixed < 2; ++fixed) {
        UseTick(fixed != 0);
        for (int kind = 0; kind < 2; ++kind) {
            for (int i = 0; i < 4; ++i) {
                const int n = kSenderCounts[i];
                EmptyDirectory(directory.alerts());
                const RunResult r =
                    kind == 0 ? RunThreads(directory, n, sends) : RunProcesses(directory, n, sends);
                const double rate = r.seconds > 0 ? static_cast<double>(r.arrived) / r.seconds : 0;
                (kind == 0 ? t.threads : t.processes)[fixed][i] = rate;
                if (kind == 1) t.processSeconds[fixed][i] = r.seconds;
                t.allArrived = t.allArrived && r.arrived == r.expected;
                std::printf("%-10s %-6s %3d %6d %9.3f %10.1f %4zu/%zu\n",
                            kind == 0 ? "threads" : "processes", fixed ? "fixed" : "real", n,
                            n * sends, r.seconds, rate, r.arrived, r.expected);
                std::fflush(stdout);
            }
        }
    }
    UseTick(false);
    EmptyDirectory(directory.alerts());
    return t;
}

// A registry text of `keys` keys under one branch, one value each: about 40 bytes a key.
std::string ManyKeys(int keys) {
    std::string text = "REGEDIT4\r\n";
    char line[160];
    for (int k = 0; k < keys; ++k) {
        std::snprintf(line, sizeof line, "[HKEY_LOCAL_MACHINE\\B\\K%06d]\r\n\"V\"=dword:%x\r\n", k,
                      static_cast<unsigned>(k));
        text += line;
    }
    return text;
}

// Processor time of this process: a busy machine does not inflate it.
double CpuSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double MedianOf(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// Processor milliseconds of one parse, the median of `runs`.
double ParseMilliseconds(const std::string& text, int runs) {
    std::vector<double> ms;
    for (int r = 0; r < runs; ++r) {
        const double start = CpuSeconds();
        const kx::reg::Document document = kx::reg::Parse(text);
        ms.push_back((CpuSeconds() - start) * 1000);
        if (document.keys.empty()) return -1;
    }
    return MedianOf(ms);
}

// The bench registry with a catalogue of 40 languages of 500 events added; `generation` changes
// one value so that each version is a change of the file.
std::string BigCatalogue(const std::string& base, int generation) {
    std::ostringstream reg;
    reg << base;
    for (int language = 0; language < 40; ++language) {
        char code[8];
        std::snprintf(code, sizeof code, "%04x", static_cast<unsigned>(0x0A01 + language));
        for (int event = 0; event < 500; ++event) {
            reg << "[HKEY_LOCAL_MACHINE\\Software\\Velmora\\QRD\\Shared Components\\Events\\"
                << code << "\\" << (2000 + event) << "]\r\n\"ID\"=\"Event " << event
                << "\"\r\n\r\n";
        }
    }
    reg << "[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Bench\\Generation]\r\n\"N\"=dword:"
        << generation << "\r\n";
    return reg.str();
}

void WriteText(const fs::path& file, const std::string& text) {
    const fs::path temporary = file.string() + ".new";
    {
        std::ofstream out(temporary, std::ios::binary);
        out << text;
    }
    fs::rename(temporary, file);
}

struct CatalogueCost {
    double ordinaryMs = 0;  // wall clock
    double changedMs = 0;
    double ordinaryCpuMs = 0;  // processor time
    double changedCpuMs = 0;
    std::size_t bytes = 0;
};

CatalogueCost MeasureChangedCatalogue(const BenchDirectory& directory, int rounds) {
    std::ifstream in(directory.Registry(0), std::ios::binary);
    const std::string base((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const fs::path file = directory.Registry(0).string() + ".catalogue.reg";
    WriteText(file, BigCatalogue(base, 0));
    ::setenv("VEL_REGISTRY", file.c_str(), 1);
    LoadedLibrary library;
    const SampleRecords sample;
    SampleRecords records;
    CatalogueCost cost;
    cost.bytes = static_cast<std::size_t>(fs::file_size(file));
    if (!library) return cost;
    std::vector<double> ordinary, changed, ordinaryCpu, changedCpu;
    SendOnce(library, sample, records);  // parsed once before anything is timed
    for (int r = 0; r < rounds; ++r) {
        EmptyDirectory(directory.alerts());
        Clock::time_point start = Clock::now();
        double cpu = CpuSeconds();
        SendOnce(library, sample, records);
        ordinaryCpu.push_back((CpuSeconds() - cpu) * 1000);
        ordinary.push_back(Seconds(Clock::now() - start) * 1000);
        WriteText(file, BigCatalogue(base, r + 1));
        EmptyDirectory(directory.alerts());
        start = Clock::now();
        cpu = CpuSeconds();
        SendOnce(library, sample, records);
        changedCpu.push_back((CpuSeconds() - cpu) * 1000);
        changed.push_back(Seconds(Clock::now() - start) * 1000);
    }
    cost.ordinaryMs = MedianOf(ordinary);
    cost.changedMs = MedianOf(changed);
    cost.ordinaryCpuMs = MedianOf(ordinaryCpu);
    cost.changedCpuMs = MedianOf(changedCpu);
    EmptyDirectory(directory.alerts());
    return cost;
}

const char* Verdict(bool met) {
    return met ? "MET" : "MISSED";
}

}  // namespace

int main(int argc, char** argv) {
    const int sends = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
    ::unsetenv("VEL_EVENTLOG");
    const BenchDirectory directory;
    std::printf("== Concurrent senders, %d sends each, one alerting directory ==\n", sends);
    const Throughputs t = RunConcurrentSenders(directory, sends);

    std::printf("\n== Registry ==\n");
    const std::string hundredK = ManyKeys(100000);
    const double parseMs = ParseMilliseconds(hundredK, 5);
    std::printf("parse of 100000 keys (%zu bytes): %.1f ms of processor time\n", hundredK.size(),
                parseMs);
    const CatalogueCost catalogue = MeasureChangedCatalogue(directory, 5);
    std::printf(
        "send with a 20000-key catalogue (%zu bytes): unchanged %.2f ms (%.2f ms processor "
        "time), changed %.2f ms (%.2f ms processor time)\n",
        catalogue.bytes, catalogue.ordinaryMs, catalogue.ordinaryCpuMs, catalogue.changedMs,
        catalogue.changedCpuMs);

    std::printf("\n== Ratios beside their targets ==\n");
    const double processScale = t.processes[0][0] > 0 ? t.processes[0][3] / t.processes[0][0] : 0;
    std::printf("8 processes over 1, real ticks (throughput): ratio %.2f, target >= %.1f: %s\n",
                processScale, kProcessScaleTarget, Verdict(processScale >= kProcessScaleTarget));
    const double threadScale = t.threads[0][0] > 0 ? t.threads[0][3] / t.threads[0][0] : 0;
    std::printf("8 threads over 1, real ticks (throughput): ratio %.2f (serialized calls)\n",
                threadScale);
    const double fixedOverReal =
        t.processSeconds[0][3] > 0 ? t.processSeconds[1][3] / t.processSeconds[0][3] : 0;
    std::printf(
        "8 processes x %d sends, fixed over real ticks (time): ratio %.2f, target <= %.1f: "
        "%s\n",
        sends, fixedOverReal, kFixedTickTarget, Verdict(fixedOverReal <= kFixedTickTarget));
    std::printf("every alert arrived: %s\n", t.allArrived ? "yes" : "NO");
    std::printf("100000-key parse: %.1f ms, ratio to %.0f ms %.2f: %s\n", parseMs, kParseTargetMs,
                parseMs / kParseTargetMs, Verdict(parseMs >= 0 && parseMs <= kParseTargetMs));
    const double extra = catalogue.changedMs - catalogue.ordinaryMs;
    std::printf(
        "first send after a 20000-key catalogue changed: +%.2f ms, ratio to %.0f ms "
        "%.2f: %s\n",
        extra, kChangedSendTargetMs, extra / kChangedSendTargetMs,
        Verdict(extra <= kChangedSendTargetMs));
    return t.allArrived ? 0 : 1;
}
