// collect_bench.cpp: how fast "kxevent collect" drains a backlog into a local rsyslogd over RELP,
// beside a floor that reads the same files and writes them unacknowledged over plain TCP to the
// same rsyslogd; and the time from an alert's rename to rsyslogd's write of its line while the
// collector watches. Both drains are timed until rsyslogd has written the last line.
//   collect_bench KXEVENT [FILES] [LATENCY_SAMPLES]
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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

std::size_t CountLines(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::size_t lines = 0;
    char buffer[1 << 16];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        lines += static_cast<std::size_t>(std::count(buffer, buffer + in.gcount(), '\n'));
        if (!in) break;
    }
    return lines;
}

void WaitForLines(const fs::path& file, std::size_t count) {
    while (CountLines(file) < count) std::this_thread::sleep_for(std::chrono::milliseconds(2));
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

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: collect_bench KXEVENT [FILES] [LATENCY_SAMPLES]\n");
        return 2;
    }
    const std::string kxevent = argv[1];
    const int files = argc > 2 ? std::atoi(argv[2]) : 100000;
    const int samples = argc > 3 ? std::atoi(argv[3]) : 200;
    const fs::path scratch =
        fs::path(std::getenv("KX_BENCH_DIR") ? std::getenv("KX_BENCH_DIR") : "bench-collect");
    fs::remove_all(scratch);
    fs::create_directories(scratch / "work");
    // Fresh directories for each side: a directory that held many files is slower to search.
    fs::create_directories(scratch / "alerts");
    fs::create_directories(scratch / "floor");
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
    const pid_t rsyslog =
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
    const std::string url = "relp://127.0.0.1:" + std::to_string(relpPort);
    const fs::path alerts = scratch / "alerts";

    Drop(scratch / "floor", files);
    auto start = Clock::now();
    Floor(scratch / "floor", tcpPort);
    const double floorSendSeconds = Seconds(start);
    WaitForLines(scratch / "tcp.log", static_cast<std::size_t>(files));
    const double floorSeconds = Seconds(start);

    Drop(alerts, files);
    start = Clock::now();
    const pid_t collector =
        Spawn({kxevent, "collect", "--dir", alerts.string(), "--to", url, "--once"});
    int status = 0;
    rusage usage{};
    ::wait4(collector, &status, 0, &usage);
    WaitForLines(scratch / "relp.log", static_cast<std::size_t>(files));
    const double collectSeconds = Seconds(start);

    const double collectRate = files / collectSeconds, floorRate = files / floorSeconds;
    std::printf("floor: files read and sent in %.2f s, written by rsyslogd in %.2f s\n",
                floorSendSeconds, floorSeconds);
    std::printf(
        "drain of %d files: collect %.0f alerts/s (exit %d, max RSS %ld KiB), floor %.0f "
        "alerts/s, ratio %.2f\n",
        files, collectRate, WEXITSTATUS(status), usage.ru_maxrss, floorRate,
        collectRate / floorRate);

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
