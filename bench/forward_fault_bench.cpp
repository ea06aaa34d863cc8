// forward_fault_bench.cpp: what a fault of the syslog target costs a send. Ten sends through
// KXEvent.DLL, central alerting on and FwdSyslog.DLL listed, with FwdSyslog pointed at
//
//   - a working UDP receiver on 127.0.0.1 (the reference),
//   - a full local socket nobody reads,
//   - a TCP listener that never accepts (its queue full),
//   - a name whose only name server never answers (a network and mount namespace of its own),
//
// each in a fresh process (the module keeps its back-off for the life of the process), ROUNDS
// times; the medians are printed beside the reference and the target: every send returns
// EVENT_OK with its alert file, and the ten take at most 2 s.
//
//   kxevent_forward_fault_bench [ROUNDS]      (default 3; root, for the name server's namespace)
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_setup.h"
#include "common/fd.h"
#include "syslog_faults.h"

namespace {

using namespace kx::bench;
using kx::Fd;
using kx::test::FullSocket;
using kx::test::StuckListener;
using kx::test::WithSilentNameServer;

constexpr int kSends = 10;
constexpr double kTargetSeconds = 2.0;
const char kSilentName[] = "collector.kxevent-bench.test";

struct Run {
    double seconds = 0;
    int okWithAlert = 0;  // sends that returned EVENT_OK and left their alert file
    std::string note;     // what shows the fault was met (or the receiver reached)
};

std::string ReadAll(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Ten sends with `settings` for FwdSyslog, timed one by one (emptying the alerting directory in
// between is not timed).
Run TenSends(const BenchDirectory& directory, const std::vector<std::string>& settings) {
    ::setenv("VEL_REGISTRY", directory.SyslogRegistry("syslog", settings).c_str(), 1);
    const auto eventLog = directory.root() / "eventlog.json";
    ::setenv("VEL_EVENTLOG", eventLog.c_str(), 1);
    Run run;
    const LoadedLibrary library;
    if (!library) {
        run.note = "cannot load KXEvent.DLL";
        return run;
    }
    const SampleRecords sample;
    SampleRecords records;
    for (int send = 0; send < kSends; ++send) {
        records.Reset(sample);
        EmptyDirectory(directory.alerts());
        const auto start = std::chrono::steady_clock::now();
        const int result = library.send()(0, kBenchProduct, kBenchEvent, &records.message,
                                          &records.detail, &records.context, 0, 0);
        run.seconds +=
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (result == EVENT_OK && !AlertFileLines(directory.alerts()).empty()) ++run.okWithAlert;
    }
    const std::string log = ReadAll(eventLog);
    std::size_t failures = 0;
    for (std::size_t at = 0; (at = log.find("not sent to syslog", at)) != std::string::npos; ++at) {
        ++failures;
    }
    run.note = std::to_string(failures) + " failure logged";
    return run;
}

std::string Encode(const Run& run) {
    std::ostringstream out;
    out << run.seconds << " " << run.okWithAlert << " " << run.note;
    return out.str();
}

std::optional<Run> Decode(const std::string& text) {
    std::istringstream in(text);
    Run run;
    if (!(in >> run.seconds >> run.okWithAlert)) return std::nullopt;
    std::getline(in >> std::ws, run.note);
    return run;
}

// `body` in a child process, its Run sent back through a pipe.
std::optional<Run> InChild(const std::function<std::string()>& body, std::string& why) {
    int channel[2];
    if (::pipe(channel) != 0) return std::nullopt;
    std::fflush(stdout);  // the child must not print what the parent has buffered
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        const std::string text = body();
        const bool wrote =
            ::write(channel[1], text.data(), text.size()) == static_cast<ssize_t>(text.size());
        ::_exit(wrote ? 0 : 2);  // look-up threads may still wait: no exit handlers
    }
    ::close(channel[1]);
    std::string text;
    char buffer[1024];
    for (ssize_t size; (size = ::read(channel[0], buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<std::size_t>(size));
    }
    ::close(channel[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (auto run = Decode(text)) return run;
    why = text.empty() ? "the child gave nothing" : text;
    return std::nullopt;
}

std::string WorkingUdp() {
    const BenchDirectory directory;
    const Fd receiver(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(receiver.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(receiver.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return "cannot bind a UDP receiver";
    }
    const std::string port = std::to_string(ntohs(address.sin_port));
    Run run = TenSends(directory, {"\"Transport\"=\"udp\"", "\"Host\"=\"127.0.0.1\"",
                                   "\"Port\"=\"" + port + "\""});
    int received = 0;
    char buffer[65536];
    while (::recv(receiver.get(), buffer, sizeof buffer, MSG_DONTWAIT) > 0) ++received;
    run.note = std::to_string(received) + "/" + std::to_string(kSends) + " received";
    return Encode(run);
}

std::string FullLocalSocket() {
    const BenchDirectory directory;
    const FullSocket socket(directory.root() / "log.sock");
    if (!socket.full()) return "cannot fill a local socket";
    return Encode(
        TenSends(directory, {"\"Transport\"=\"local\"",
                             "\"Socket\"=\"" + (directory.root() / "log.sock").string() + "\"",
                             "\"JournalSocket\"=\"\""}));
}

std::string ListenerThatNeverAccepts() {
    const BenchDirectory directory;
    const StuckListener listener;
    if (!listener.full()) return "cannot fill a listener's queue";
    const std::string port = std::to_string(listener.port());
    return Encode(TenSends(directory, {"\"Transport\"=\"tcp\"", "\"Host\"=\"127.0.0.1\"",
                                       "\"Port\"=\"" + port + "\""}));
}

std::string SilentNameServer() {
    const BenchDirectory directory;
    const std::string result = WithSilentNameServer(directory.root(), [&](int server) {
        Run run = TenSends(
            directory, {"\"Transport\"=\"udp\"", std::string("\"Host\"=\"") + kSilentName + "\""});
        run.note += kx::test::QueriesArrived(server) ? ", queries swallowed" : ", NO query seen";
        return Encode(run);
    });
    return result;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    struct Scenario {
        const char* name;
        std::string (*body)();
    };
    const Scenario scenarios[] = {
        {"working UDP receiver", WorkingUdp},
        {"full local socket nobody reads", FullLocalSocket},
        {"TCP listener that never accepts", ListenerThatNeverAccepts},
        {"name whose name server never answers", SilentNameServer},
    };
    double reference = 0;
    bool allMet = true;
    std::printf("%d sends per run, the median of %d runs, each in a fresh process\n", kSends,
                rounds);
    for (const Scenario& scenario : scenarios) {
        std::vector<double> seconds;
        int okWithAlert = kSends;
        std::string note;
        std::string why;
        for (int round = 0; round < rounds; ++round) {
            const auto run = InChild(scenario.body, why);
            if (!run) break;
            seconds.push_back(run->seconds);
            okWithAlert = std::min(okWithAlert, run->okWithAlert);
            note = run->note;
        }
        if (seconds.empty()) {
            std::printf("%s: not measured (%s)\n", scenario.name, why.c_str());
            if (scenario.body != WorkingUdp && scenario.body != SilentNameServer) allMet = false;
            continue;
        }
        const double median = Median(seconds);
        if (scenario.body == WorkingUdp) reference = median;
        const bool met = median <= kTargetSeconds && okWithAlert == kSends;
        if (scenario.body != WorkingUdp) allMet = allMet && met;
        std::printf(
            "%s: %d sends %.1f ms, ratio %.2f to the working receiver; EVENT_OK with "
            "alert file %d/%d; %s",
            scenario.name, kSends, median * 1000, reference > 0 ? median / reference : 0.0,
            okWithAlert, kSends, note.c_str());
        if (scenario.body == WorkingUdp) {
            std::printf("\n");
        } else {
            std::printf("; target <= %.0f s with every alert file: %s\n", kTargetSeconds,
                        met ? "met" : "NOT MET");
        }
    }
    return allMet ? 0 : 1;
}
