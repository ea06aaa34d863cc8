// rsyslogd.h: the one private rsyslogd of the tests. It runs from configuration files as they
// are, through tests/support/rsyslogd.sh (which the scripts use too): the receiver examples the
// package ships (examples/rsyslog) and the test inputs of tests/support/rsyslog, which take
// their ports and paths from rsyslogd's environment.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "child_process.h"

namespace kx::test {

// The shipped receiver examples and the test inputs, in the source tree.
std::filesystem::path ReceiverExample();     // imrelp, one JSON line per alert
std::filesystem::path ReceiverTlsExample();  // the same over TLS with client certificates
std::filesystem::path SyslogInputs();        // UDP and TCP on KX_SYSLOG_PORT into KX_SYSLOG_LOG
std::filesystem::path LocalSocketInput();    // KX_LOCAL_SOCKET into KX_LOCAL_LOG
std::filesystem::path LargeMessages();       // messages up to 64 KiB on the inputs above

using Settings = std::vector<std::pair<std::string, std::string>>;

class Rsyslogd {
  public:
    // Starts rsyslogd in `dir` (its wrapper, working directory and pid file) from `files`, with
    // `settings` in its environment, and waits until it is ready: every *_PORT setting accepts
    // TCP connections on 127.0.0.1 and every *_SOCKET setting exists.
    Rsyslogd(std::filesystem::path dir, Settings settings,
             std::vector<std::filesystem::path> files);
    ~Rsyslogd();
    Rsyslogd(const Rsyslogd&) = delete;
    Rsyslogd& operator=(const Rsyslogd&) = delete;

    bool ready() const;
    // Stops rsyslogd (SIGTERM: it writes what it acknowledged) and starts it again.
    void Stop();
    void Start();

  private:
    std::filesystem::path dir_;
    Settings settings_;
    std::vector<std::filesystem::path> files_;
    std::unique_ptr<BackgroundProcess> process_;
};

// The lines of `file`, waiting until there are `count` or `seconds` have passed.
std::vector<std::string> WaitForLines(const std::filesystem::path& file, std::size_t count,
                                      int seconds = 10);

}  // namespace kx::test
