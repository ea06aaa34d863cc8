// child_process.h: running a program as a child process, as a user or a script would, and
// collecting its exit status and output.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kx::test {

struct ProcessResult {
    int exitCode = -1;  // -1 when the child did not exit normally
    std::string out;
    std::string err;
};

// Runs `program` with `args`. `environment` entries are set (a nullopt value unsets the
// variable) on top of this process's environment.
ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::map<std::string, std::optional<std::string>>& environment = {});

// As RunProcess, with standard output a terminal (a pseudo-terminal in raw mode, so that its
// bytes arrive as written) rather than a pipe; standard error is still a pipe.
ProcessResult RunProcessOnTerminal(
    const std::string& program, const std::vector<std::string>& args,
    const std::map<std::string, std::optional<std::string>>& environment = {});

// As RunProcessOnTerminal, with standard error the terminal and standard output a pipe.
ProcessResult RunProcessWithTerminalStderr(
    const std::string& program, const std::vector<std::string>& args,
    const std::map<std::string, std::optional<std::string>>& environment = {});

// A child left running (a server the test talks to); killed and reaped on destruction.
class BackgroundProcess {
  public:
    BackgroundProcess(const std::string& program, const std::vector<std::string>& args);
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;
    bool running() const;

  private:
    int pid_ = -1;
};

}  // namespace kx::test
