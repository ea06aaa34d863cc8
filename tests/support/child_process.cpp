// child_process.cpp: fork and exec with captured output for the end-to-end tests.
#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace kx::test {

namespace {

std::vector<char*> Argv(const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    return argv;
}

void ReadBoth(int outFd, int errFd, std::string& out, std::string& err) {
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    int open = 2;
    char buffer[4096];
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                fds[i].fd = -1;
                --open;
            } else {
                (i == 0 ? out : err).append(buffer, static_cast<std::size_t>(n));
            }
        }
    }
}

// In the child: each name set to its value, or removed when it has none.
void ApplyEnvironment(const std::map<std::string, std::optional<std::string>>& environment) {
    for (const auto& [name, value] : environment) {
        if (value) {
            ::setenv(name.c_str(), value->c_str(), 1);
        } else {
            ::unsetenv(name.c_str());
        }
    }
}

}  // namespace

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::map<std::string, std::optional<std::string>>& environment) {
    int outPipe[2], errPipe[2];
    if (::pipe(outPipe) != 0 || ::pipe(errPipe) != 0) throw std::runtime_error("pipe failed");
    std::vector<char*> argv = Argv(program, args);
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ApplyEnvironment(environment);
        ::dup2(outPipe[1], 1);
        ::dup2(errPipe[1], 2);
        ::close(outPipe[0]);
        ::close(errPipe[0]);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    ProcessResult result;
    ReadBoth(outPipe[0], errPipe[0], result.out, result.err);
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

namespace {

// The child's descriptor `terminal` (1 or 2) on a pseudo-terminal, the other one on a pipe.
ProcessResult RunWithTerminalAs(
    int terminal, const std::string& program, const std::vector<std::string>& args,
    const std::map<std::string, std::optional<std::string>>& environment) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        throw std::runtime_error("no pseudo-terminal");
    }
    const std::string slaveName = ::ptsname(master);
    const int slave = ::open(slaveName.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios mode{};
    if (slave < 0 || ::tcgetattr(slave, &mode) != 0) throw std::runtime_error("no terminal");
    ::cfmakeraw(&mode);
    ::tcsetattr(slave, TCSANOW, &mode);
    int otherPipe[2];
    if (::pipe(otherPipe) != 0) throw std::runtime_error("pipe failed");
    std::vector<char*> argv = Argv(program, args);
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ApplyEnvironment(environment);
        ::dup2(slave, terminal);
        ::dup2(otherPipe[1], terminal == 1 ? 2 : 1);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(slave);
    ::close(otherPipe[1]);
    ProcessResult result;
    // The master reads end of file (or EIO) once the child and its copies of the slave are gone.
    if (terminal == 1) {
        ReadBoth(master, otherPipe[0], result.out, result.err);
    } else {
        ReadBoth(otherPipe[0], master, result.out, result.err);
    }
    ::close(master);
    ::close(otherPipe[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

}  // namespace

ProcessResult RunProcessOnTerminal(
    const std::string& program, const std::vector<std::string>& args,
    const std::map<std::string, std::optional<std::string>>& environment) {
    return RunWithTerminalAs(1, program, args, environment);
}

ProcessResult RunProcessWithTerminalStderr(
    const std::string& program, const std::vector<std::string>& args,
    const std::map<std::string, std::optional<std::string>>& environment) {
    return RunWithTerminalAs(2, program, args, environment);
}

BackgroundProcess::BackgroundProcess(const std::string& program,
                                     const std::vector<std::string>& args) {
    std::vector<char*> argv = Argv(program, args);
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
}

BackgroundProcess::~BackgroundProcess() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 50; ++i) {
        if (::waitpid(pid_, &status, WNOHANG) == pid_) return;
        ::usleep(100 * 1000);
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
}

bool BackgroundProcess::running() const {
    int status = 0;
    return pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == 0;
}

}  // namespace kx::test
