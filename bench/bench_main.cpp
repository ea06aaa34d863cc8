// bench_main.cpp: benchmarks of the catalogue steps, the population and whole sends, measured
// beside the floor: the same alert file written with bare system calls. After the run every
// benchmark is printed as "name: X us, ratio Y", Y being its time over the floor's.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_setup.h"
#include "catalogue/definitions.h"
#include "catalogue/variables.h"
#include "runtime/state.h"

namespace kx::bench {
namespace {

constexpr char kFloorName[] = "Floor/AlertFileDrop";
constexpr char kPairedName[] = "SendBesideFloor/CentralAlert/Forwarders/0";
constexpr double kSendTarget = 1.15;     // a send with alerting and no forwarding, over the floor
constexpr double kExpandTargetUs = 1.0;  // ExpandVariables on 1000 characters, 10 variables

struct Fixture {
    BenchDirectory directory;
    std::unique_ptr<LoadedLibrary> library;
    SampleRecords sample;
    std::vector<std::string> alertLines;
};

Fixture* gFixture = nullptr;

// A description of exactly 1000 characters naming 10 variables, spread over the text.
std::string ThousandCharacterDescription() {
    const char* const tokens[] = {"VIRUSNAME", "FILENAME",    "COMPUTERNAME", "USERNAME",
                                  "GMTTIME",   "SEVERITY",    "TASKNAME",     "SOURCEIP",
                                  "OS",        "SOFTWARENAME"};
    constexpr std::size_t kLength = 1000;
    constexpr std::size_t kPieces = std::size(tokens) + 1;
    std::size_t markup = 0;
    for (const char* token : tokens) markup += std::strlen(token) + 2;
    const std::string filler =
        "The scanner examined the item and recorded what it found while the task ran. ";
    std::string text;
    std::size_t fillerUsed = 0;
    for (std::size_t i = 0; i < kPieces; ++i) {
        const std::size_t share = (kLength - markup) * (i + 1) / kPieces - fillerUsed;
        for (std::size_t k = 0; k < share; ++k) text += filler[(fillerUsed + k) % filler.size()];
        fillerUsed += share;
        if (i < std::size(tokens)) text += std::string("%") + tokens[i] + "%";
    }
    return text;
}

void Populated(SampleRecords& records) {
    records.Reset(gFixture->sample);
    gFixture->library->populate()(kBenchProduct, "Scan", &records.message, &records.detail,
                                  &records.context);
}

void BM_ExpandVariables(benchmark::State& state) {
    SampleRecords records;
    Populated(records);
    VariableTable* table = BuildVariableTable(kBenchProduct, kBenchEvent, &records.message,
                                              &records.detail, &records.context);
    const std::string text = ThousandCharacterDescription();
    std::vector<char> out(kExpansionBufferSize);
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            ExpandVariables(text.c_str(), table, out.data(), kExpansionBufferSize));
        benchmark::ClobberMemory();
    }
    FreeVariableTable(table);
}
BENCHMARK(BM_ExpandVariables)->Name("ExpandVariables/1000chars10vars");

void BM_LoadMessageDefinition(benchmark::State& state) {
    gFixture->directory.UseRegistry(0);
    SampleRecords records;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            LoadMessageDefinition(kBenchEvent, &records.message, &records.detail));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_LoadMessageDefinition)->Name("LoadMessageDefinition");

void BM_Populate(benchmark::State& state) {
    gFixture->directory.UseRegistry(0);
    SampleRecords records;
    const PopulateFn populate = gFixture->library->populate();
    for (auto _ : state) {
        state.PauseTiming();
        records.Reset(gFixture->sample);
        state.ResumeTiming();
        if (populate(kBenchProduct, "Scan", &records.message, &records.detail, &records.context) !=
            EVENT_OK) {
            state.SkipWithError("population failed");
            break;
        }
    }
}
BENCHMARK(BM_Populate)->Name("EVENT_PopulateEventStructures")->Unit(benchmark::kMicrosecond);

// One whole send with central alerting on, the registry listing `forwarders` modules. Each
// iteration starts from the product's records and an empty alerting directory.
void BM_Send(benchmark::State& state) {
    const int forwarders = static_cast<int>(state.range(0));
    gFixture->directory.UseRegistry(forwarders);
    const SendFn send = gFixture->library->send();
    SampleRecords records;
    EmptyDirectory(gFixture->directory.alerts());
    for (auto _ : state) {
        state.PauseTiming();
        records.Reset(gFixture->sample);
        EmptyDirectory(gFixture->directory.alerts());
        state.ResumeTiming();
        if (send(0, kBenchProduct, kBenchEvent, &records.message, &records.detail, &records.context,
                 0, 0) != EVENT_OK) {
            state.SkipWithError("send failed");
            break;
        }
    }
    EmptyDirectory(gFixture->directory.alerts());
}
BENCHMARK(BM_Send)
    ->Name("Send/CentralAlert/Forwarders")
    ->Arg(0)
    ->Arg(1)
    ->Arg(4)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

void BM_Floor(benchmark::State& state) {
    FloorDrop floor(gFixture->directory.floor(), gFixture->alertLines);
    std::uint32_t number = 1;
    for (auto _ : state) {
        state.PauseTiming();
        EmptyDirectory(gFixture->directory.floor());
        state.ResumeTiming();
        if (!floor.Drop(number++)) {
            state.SkipWithError("floor drop failed");
            break;
        }
    }
    EmptyDirectory(gFixture->directory.floor());
}
BENCHMARK(BM_Floor)->Name(kFloorName)->Unit(benchmark::kMicrosecond)->UseRealTime();

// A send and a floor drop in turns, in alternating order, each timed on its own: both meet the
// same state of a disk that other processes share, so their ratio holds even when the disk's
// speed drifts during the run.
void BM_SendBesideFloor(benchmark::State& state) {
    using Clock = std::chrono::steady_clock;
    gFixture->directory.UseRegistry(0);
    const SendFn send = gFixture->library->send();
    FloorDrop floor(gFixture->directory.floor(), gFixture->alertLines);
    SampleRecords records;
    Clock::duration sendTime{}, floorTime{};
    std::uint32_t number = 1;
    bool sendFirst = true;
    for (auto _ : state) {
        state.PauseTiming();
        records.Reset(gFixture->sample);
        EmptyDirectory(gFixture->directory.alerts());
        EmptyDirectory(gFixture->directory.floor());
        state.ResumeTiming();
        bool ok = true;
        for (int step = 0; step < 2; ++step) {
            const auto start = Clock::now();
            if ((step == 0) == sendFirst) {
                ok = send(0, kBenchProduct, kBenchEvent, &records.message, &records.detail,
                          &records.context, 0, 0) == EVENT_OK &&
                     ok;
                sendTime += Clock::now() - start;
            } else {
                ok = floor.Drop(number++) && ok;
                floorTime += Clock::now() - start;
            }
        }
        sendFirst = !sendFirst;
        if (!ok) {
            state.SkipWithError("send or floor drop failed");
            break;
        }
    }
    const double iterations = static_cast<double>(state.iterations());
    if (iterations > 0) {
        const double sendUs = std::chrono::duration<double, std::micro>(sendTime).count();
        const double floorUs = std::chrono::duration<double, std::micro>(floorTime).count();
        state.counters["send_us"] = sendUs / iterations;
        state.counters["floor_us"] = floorUs / iterations;
        state.counters["ratio"] = floorUs > 0 ? sendUs / floorUs : 0;
    }
    EmptyDirectory(gFixture->directory.alerts());
    EmptyDirectory(gFixture->directory.floor());
}
BENCHMARK(BM_SendBesideFloor)->Name(kPairedName)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Console output as usual, then one line per benchmark with its ratio to the floor. With
// repetitions the medians are compared.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (!single && !median) continue;
            // Benchmarks that wait on the disk count wall-clock time; the others count the
            // processor time they used, which other processes on a busy machine do not inflate.
            const bool wallClock = run.run_name.time_type == "real_time";
            const double adjusted =
                wallClock ? run.GetAdjustedRealTime() : run.GetAdjustedCPUTime();
            const double seconds = adjusted / benchmark::GetTimeUnitMultiplier(run.time_unit);
            std::string name = run.run_name.str();
            if (const auto at = name.find("/real_time"); at != std::string::npos) {
                name.erase(at, std::strlen("/real_time"));
            }
            if (times_.find(name) == times_.end()) order_.push_back(name);
            times_[name] = seconds * 1e6;
            if (const auto ratio = run.counters.find("ratio"); ratio != run.counters.end()) {
                pairedRatio_ = ratio->second.value;
                pairedSendUs_ = run.counters.at("send_us").value;
                pairedFloorUs_ = run.counters.at("floor_us").value;
            }
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        const auto floor = times_.find(kFloorName);
        std::printf("\nRatios to the floor (%s):\n", kFloorName);
        for (const std::string& name : order_) {
            const double us = times_[name];
            if (name == kPairedName) {
                std::printf("%s: send %.3f us, floor %.3f us, ratio %.3f\n", name.c_str(),
                            pairedSendUs_, pairedFloorUs_, pairedRatio_);
            } else if (floor == times_.end()) {
                std::printf("%s: %.3f us, ratio n/a (no floor measured)\n", name.c_str(), us);
            } else {
                std::printf("%s: %.3f us, ratio %.3f\n", name.c_str(), us, us / floor->second);
            }
        }
        PrintTargets(floor);
        std::fflush(stdout);
    }

  private:
    void PrintTargets(std::map<std::string, double>::const_iterator floor) {
        std::printf("\nTargets:\n");
        const auto send = times_.find("Send/CentralAlert/Forwarders/0");
        if (send != times_.end() && floor != times_.end()) {
            const double ratio = send->second / floor->second;
            std::printf("  send with alerting, no forwarding <= %.2f x floor: %.3f %s\n",
                        kSendTarget, ratio, ratio <= kSendTarget ? "MET" : "MISSED");
        }
        if (pairedRatio_ > 0) {
            std::printf("  the same, send and floor timed in turns (%s): %.3f %s\n", kPairedName,
                        pairedRatio_, pairedRatio_ <= kSendTarget ? "MET" : "MISSED");
        }
        const auto expand = times_.find("ExpandVariables/1000chars10vars");
        if (expand != times_.end()) {
            std::printf("  ExpandVariables <= %.1f us: %.3f us %s\n", kExpandTargetUs,
                        expand->second, expand->second <= kExpandTargetUs ? "MET" : "MISSED");
        }
    }

    std::map<std::string, double> times_;
    std::vector<std::string> order_;
    double pairedRatio_ = 0;  // send over floor, timed in turns
    double pairedSendUs_ = 0;
    double pairedFloorUs_ = 0;
};

// One send fills the alerting directory; its file's lines are what the floor writes.
bool PrepareFloorLines(Fixture& fixture) {
    fixture.directory.UseRegistry(0);
    SampleRecords records;
    records.Reset(fixture.sample);
    EmptyDirectory(fixture.directory.alerts());
    const int result = fixture.library->send()(0, kBenchProduct, kBenchEvent, &records.message,
                                               &records.detail, &records.context, 0, 0);
    fixture.alertLines = AlertFileLines(fixture.directory.alerts());
    EmptyDirectory(fixture.directory.alerts());
    if (result != EVENT_OK || fixture.alertLines.size() != 28) {
        std::fprintf(stderr, "kxevent_bench: the first send gave %d and %zu alert lines\n", result,
                     fixture.alertLines.size());
        return false;
    }
    return true;
}

}  // namespace
}  // namespace kx::bench

int main(int argc, char** argv) {
    using namespace kx::bench;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    ::unsetenv("VEL_EVENTLOG");
    Fixture fixture;
    gFixture = &fixture;
    fixture.directory.UseRegistry(0);
    fixture.library = std::make_unique<LoadedLibrary>();
    if (!*fixture.library) {
        std::fprintf(stderr, "kxevent_bench: cannot load KXEvent.DLL from %s\n",
                     KX_BENCH_INSTALL_DIR);
        return 2;
    }
    // The catalogue steps measured directly run with the library's language and defaults.
    std::snprintf(kx::LanguageCode, sizeof kx::LanguageCode, "%s", "0901");
    kx::LoadMessageDefaults();
    if (!PrepareFloorLines(fixture)) return 3;

    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    gFixture = nullptr;
    return 0;
}
