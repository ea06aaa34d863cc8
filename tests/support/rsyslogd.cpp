// rsyslogd.cpp: the tests' rsyslogd, started by tests/support/rsyslogd.sh.
#include "rsyslogd.h"

#include <chrono>
#include <thread>

#include "loopback.h"
#include "support.h"

namespace kx::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const fs::path kSource = KX_TEST_SOURCE_DIR;

}  // namespace

fs::path ReceiverExample() {
    return kSource / "examples/rsyslog/kxevent-receiver.conf";
}
fs::path ReceiverTlsExample() {
    return kSource / "examples/rsyslog/kxevent-receiver-tls.conf";
}
fs::path SyslogInputs() {
    return kSource / "tests/support/rsyslog/syslog-inputs.conf";
}
fs::path LocalSocketInput() {
    return kSource / "tests/support/rsyslog/local-socket.conf";
}
fs::path LargeMessages() {
    return kSource / "tests/support/rsyslog/large-messages.conf";
}

Rsyslogd::Rsyslogd(fs::path dir, Settings settings, std::vector<fs::path> files)
    : dir_(std::move(dir)), settings_(std::move(settings)), files_(std::move(files)) {
    fs::create_directories(dir_);
    Start();
}

Rsyslogd::~Rsyslogd() = default;

bool Rsyslogd::ready() const {
    if (process_ == nullptr || !process_->running()) return false;
    for (const auto& [name, value] : settings_) {
        if (name.ends_with("_PORT") && !TcpPortOpen(std::stoi(value))) return false;
        if (name.ends_with("_SOCKET") && !fs::is_socket(value)) return false;
    }
    return true;
}

void Rsyslogd::Stop() {
    process_.reset();
}

void Rsyslogd::Start() {
    std::vector<std::string> args = {(kSource / "tests/support/rsyslogd.sh").string(), "run",
                                     dir_.string()};
    for (const auto& [name, value] : settings_) args.push_back(name + "=" + value);
    for (const fs::path& file : files_) args.push_back(file.string());
    process_ = std::make_unique<BackgroundProcess>("/bin/bash", args);
    // A loaded machine may take its time; a daemon that ended will not become ready.
    const auto until = std::chrono::steady_clock::now() + 60s;
    while (!ready() && process_->running() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(25ms);
}

std::vector<std::string> WaitForLines(const fs::path& file, std::size_t count, int seconds) {
    std::vector<std::string> lines;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    do {
        lines = Lines(ReadFile(file));
        if (lines.size() >= count) break;
        std::this_thread::sleep_for(50ms);
    } while (std::chrono::steady_clock::now() < until);
    return lines;
}

}  // namespace kx::test
