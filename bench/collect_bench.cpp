// collect_bench.cpp: how fast "kxevent collect" drains a backlog into a local rsyslogd over RELP,
// beside a floor that reads the same files and writes them unacknowledged over plain TCP to the
// same rsyslogd, in turns over several rounds; and the time from an alert's rename to rsyslogd's
// write of its line while the collector watches. Both drains are timed until rsyslogd has
// written the last line. With --memory, only the collector's drain of a large backlog and its
// peak resident memory.
//   collect_bench KXEVENT [FILES] [LATENCY_SAMPLES] [ROUNDS]
//   collect_bench --memory KXEVENT FILES
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

int Connect(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

pid_t Spawn(const std::vector<std::string>& args) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

// Waits until `file` holds `count` lines. Only what was appended since the last look is read:
// counting a log of hundreds of megabytes from its start on every poll kept a core busy and
// slowed whatever was being measured.
void WaitForLines(const fs::path& file, std::size_t count) {
    static std::map<fs::path, std::pair<std::streamoff, std::size_t>> seen;
    auto& [offset, lines] = seen[file];
    std::vector<char> buffer(1 << 16);
    while (lines < count) {
        std::ifstream in(file, std::ios::binary);
        in.seekg(offset);
        while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) ||
               in.gcount() > 0) {
            lines += static_cast<std::size_t>(
                std::count(buffer.data(), buffer.data() + in.gcount(), '\n'));
            offset += in.gcount();
            if (!in) break;
        }
        if (lines < count) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::string Alert(int i) {
    std::string text = "[CentralAlert]\r\nuFileVersion=1\r\nuStatus=0\r\nszVirusName=W32.Bench" +
                       std::to_string(i) +
                       "\r\nszItemName=C:\\data\\file.exe\r\nszUserName=alice\r\nszSoftware="
                       "Scanner\r\nszSoftwareVersion=4.5\r\nszComputerName=benchhost\r\nuYear="
                       "2024\r\nuMonth=6\r\nuDay=30\r\nuHour=12\r\nuMinute=0\r\nuSecond=1\r\n"
                       "szAlertPath=/alerts\r\nuSeverity=3\r\nszSourceIP=10.1.2.3\r\nuMessageID="
                       "1000\r\nszTaskName=scan\r\nszGMTTime=2024  6 30 12:00:01\r\nszOS=Linux\r\n"
                       "szEngineVersion=4.4\r\nszDatVersion=4.1\r\ndwWinStaClientID=0\r\n"
                       "pszWinStaClientName=\r\nuSpecificTrap=1000\r\nszActualMessage=";
    text += std::string(300, 'm') + "\r\n";
    return text;
}

void Drop(const fs::path& dir, int count) {
    for (int i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "%08d.ALR", i + 1);
        std::ofstream(dir / name, std::ios::binary) << Alert(i);
    }
}

// A backlog of `count` names over few files: each file is linked under 50,000 names (below
// ext4's link limit), so a million-file backlog costs directory entries, not gigabytes. The
// collector reads, sends and removes each name as a file of its own.
void DropLinked(const fs::path& dir, int count) {
    fs::path original;
    for (int i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "%08d.ALR", i + 1);
        if (i % 50000 == 0) {
            original = dir / name;
            std::ofstream(original, std::ios::binary) << Alert(i);
        } else {
            fs::create_hard_link(original, dir / name);
        }
    }
}

// The floor: every ready file read, sent as one octet-counted frame over plain TCP without any
// acknowledgement, and removed.
void Floor(const fs::path& dir, int port) {
    const int fd = Connect(port);
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(dir)) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    std::string frames;
    for (const fs::path& file : files) {
        std::ifstream in(file, std::ios::binary);
        std::string content((std::istreambuf_iterator<char>(in)), {});
        const std::string message =
            "<11>1 2024-06-30T12:00:01Z benchhost kxevent - 1000 - " + content;
        frames += std::to_string(message.size()) + " " + message;
        if (frames.size() > (1 << 16)) {
            if (::write(fd, frames.data(), frames.size()) < 0) std::perror("write");
            frames.clear();
        }
        fs::remove(file);
    }
    if (!frames.empty() && ::write(fd, frames.data(), frames.size()) < 0) std::perror("write");
    ::close(fd);
}

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// The high-water mark of a process's resident memory, in KiB (0 once it has exited).
long PeakKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("VmHWM:")) return std::atol(line.c_str() + 6);
    }
    return 0;
}

struct Drained {
    double seconds = 0;
    int exitCode = -1;
    long peakKiB = 0;
};

// Runs "kxevent collect --once" over `alerts` until rsyslogd has written `lines` lines in all.
// The peak memory is read from the process itself while it runs: wait4's figure would be this
// program's own size, which the child's memory counted until its exec.
Drained DrainOnce(const std::string& kxevent, const fs::path& alerts, const std::string& url,
                  const fs::path& log, std::size_t lines) {
    Drained drained;
    const auto start = Clock::now();
    // Until its exec the child is a copy of this program, whose memory its VmHWM shows: the
    // readings start once a close-on-exec pipe says the exec happened.
    int exec[2];
    if (::pipe2(exec, O_CLOEXEC) != 0) return drained;
    const pid_t collector =
        Spawn({kxevent, "collect", "--dir", alerts.string(), "--to", url, "--once"});
    ::close(exec[1]);
    char ignored;
    while (::read(exec[0], &ignored, 1) < 0 && errno == EINTR) {
    }
    ::close(exec[0]);
    int status = 0;
    while (::waitpid(collector, &status, WNOHANG) == 0) {
        drained.peakKiB = std::max(drained.peakKiB, PeakKiB(collector));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    drained.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    WaitForLines(log, lines);
    drained.seconds = Seconds(start);
    return drained;
}

std::string LoadAverage() {
    std::ifstream load("/proc/loadavg");
    std::string first;
    load >> first;
    return first;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    if (values.empty()) return 0;
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    const bool memoryOnly = argc > 1 && std::string(argv[1]) == "--memory";
    if (memoryOnly) {
        --argc;
        ++argv;
    }
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: collect_bench KXEVENT [FILES] [LATENCY_SAMPLES] [ROUNDS]\n"
                     "       collect_bench --memory KXEVENT FILES\n");
        return 2;
    }
    const std::string kxevent = argv[1];
    const int files = argc > 2 ? std::atoi(argv[2]) : 100000;
    const int samples = memoryOnly ? 0 : argc > 3 ? std::atoi(argv[3]) : 200;
    const int rounds = memoryOnly ? 0 : argc > 4 ? std::max(1, std::atoi(argv[4])) : 3;
    const fs::path scratch =
        fs::path(std::getenv("KX_BENCH_DIR") ? std::getenv("KX_BENCH_DIR") : "bench-collect");
    fs::remove_all(scratch);
    fs::create_directories(scratch / "work");
    const int relpPort = FreePort(), tcpPort = FreePort();
    // The receiver the documentation recommends: each line written before the acknowledgement.
    std::ofstream(scratch / "rsyslog.conf")
        << "global(workDirectory=\"" << fs::absolute(scratch / "work").string()
        << "\" maxMessageSize=\"256k\")\nmodule(load=\"imrelp\")\nmodule(load=\"imtcp\")\n"
        << "ruleset(name=\"relp\" queue.type=\"Direct\") { action(type=\"omfile\" file=\""
        << fs::absolute(scratch / "relp.log").string() << "\") }\n"
        << "ruleset(name=\"tcp\" queue.type=\"Direct\") { action(type=\"omfile\" file=\""
        << fs::absolute(scratch / "tcp.log").string() << "\") }\n"
        << "input(type=\"imrelp\" address=\"127.0.0.1\" port=\"" << relpPort
        << "\" ruleset=\"relp\")\ninput(type=\"imtcp\" address=\"127.0.0.1\" port=\"" << tcpPort
        << "\" ruleset=\"tcp\")\n";
    const auto startReceiver = [&] {
        const pid_t pid =
            Spawn({"/usr/sbin/rsyslogd", "-n", "-f", (scratch / "rsyslog.conf").string(), "-i",
                   (scratch / "rsyslog.pid").string()});
        for (int i = 0; i < 200; ++i) {
            const int fd = Connect(relpPort);
            if (fd >= 0) {
                ::close(fd);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        return pid;
    };
    pid_t rsyslog = startReceiver();
    const std::string url = "relp://127.0.0.1:" + std::to_string(relpPort);
    const fs::path alerts = scratch / "alerts";
    int status = 0;

    if (memoryOnly) {
        fs::create_directories(alerts);
        const auto made = Clock::now();
        DropLinked(alerts, files);
        std::printf("backlog of %d files made in %.1f s\n", files, Seconds(made));
        std::fflush(stdout);
        const Drained drained =
            DrainOnce(kxevent, alerts, url, scratch / "relp.log", static_cast<std::size_t>(files));
        std::printf(
            "drain of %d files: %.0f alerts/s (%.1f s, exit %d), peak RSS %ld KiB (%.1f MiB)\n",
            files, files / drained.seconds, drained.seconds, drained.exitCode, drained.peakKiB,
            drained.peakKiB / 1024.0);
        ::kill(rsyslog, SIGTERM);
        ::waitpid(rsyslog, &status, 0);
        return 0;
    }

    // Floor and collector in turns, which goes first alternating, each on fresh directories
    // (a directory that held many files is slower to search), so that both meet the same load.
    std::vector<double> ratios;
    std::size_t floorLines = 0, relpLines = 0;
    for (int round = 0; round < rounds; ++round) {
        // A fresh rsyslogd for each round: after a few hundred thousand lines its imtcp input
        // took the floor's frames several times slower, whatever the floor did.
        if (round > 0) {
            ::kill(rsyslog, SIGTERM);
            ::waitpid(rsyslog, &status, 0);
            rsyslog = startReceiver();
        }
        const fs::path floorDir = scratch / ("floor-" + std::to_string(round));
        const fs::path alertDir = scratch / ("alerts-" + std::to_string(round));
        fs::create_directories(floorDir);
        fs::create_directories(alertDir);
        Drop(floorDir, files);
        Drop(alertDir, files);
        double floorSeconds = 0;
        Drained drained;
        for (int turn = 0; turn < 2; ++turn) {
            if ((turn == 0) == (round % 2 == 0)) {
                const auto start = Clock::now();
                Floor(floorDir, tcpPort);
                floorLines += static_cast<std::size_t>(files);
                WaitForLines(scratch / "tcp.log", floorLines);
                floorSeconds = Seconds(start);
            } else {
                relpLines += static_cast<std::size_t>(files);
                drained = DrainOnce(kxevent, alertDir, url, scratch / "relp.log", relpLines);
            }
        }
        const double collectRate = files / drained.seconds, floorRate = files / floorSeconds;
        ratios.push_back(collectRate / floorRate);
        std::printf(
            "round %d (%s first), %d files: collect %.0f alerts/s (exit %d, peak RSS %ld KiB), "
            "floor %.0f alerts/s, ratio %.2f (load %s)\n",
            round + 1, round % 2 == 0 ? "floor" : "collector", files, collectRate, drained.exitCode,
            drained.peakKiB, floorRate, collectRate / floorRate, LoadAverage().c_str());
        std::fflush(stdout);
        fs::remove_all(floorDir);
        fs::remove_all(alertDir);
    }
    std::printf("median ratio over %d rounds: %.2f (target >= 0.5)\n", rounds, Median(ratios));
    fs::create_directories(alerts);

    // Latency: the watcher running, one alert renamed in at a time.
    const pid_t watcher = Spawn({kxevent, "collect", "--dir", alerts.string(), "--to", url});
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::vector<double> latencies;
    // The log only grows: its size, not its lines, tells when the next line is there, without
    // reading the whole file on every poll.
    const fs::path log = scratch / "relp.log";
    for (int i = 0; i < samples; ++i) {
        const fs::path temporary = scratch / "next.TMP";
        std::ofstream(temporary, std::ios::binary) << Alert(i);
        char name[32];
        std::snprintf(name, sizeof name, "%08d.ALR", 900000 + i);
        const auto before = fs::file_size(log);
        const auto renamed = Clock::now();
        fs::rename(temporary, alerts / name);
        while (fs::file_size(log) <= before)
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        latencies.push_back(Seconds(renamed) * 1000);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(watcher, SIGTERM);
    ::waitpid(watcher, &status, 0);
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.empty()) {
        std::printf(
            "rename to rsyslog write, %d alerts: median %.2f ms, p90 %.2f ms, max %.2f ms\n",
            samples, latencies[latencies.size() / 2], latencies[latencies.size() * 9 / 10],
            latencies.back());
    }
    ::kill(rsyslog, SIGTERM);
    ::waitpid(rsyslog, &status, 0);
    return 0;
}
