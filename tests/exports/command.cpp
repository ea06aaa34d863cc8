// command.cpp: runs a tool through the shell with every argument quoted.
#include "tests/exports/command.h"

#include <sys/wait.h>

#include <cstdio>

namespace kx::test {
namespace {

std::string Quoted(std::string_view argument) {
    std::string quoted = "'";
    for (const char c : argument) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

}  // namespace

CommandResult RunCommand(const std::vector<std::string>& argv) {
    std::string line;
    for (const auto& argument : argv) {
        if (!line.empty()) line += ' ';
        line += Quoted(argument);
    }
    CommandResult result;
    FILE* pipe = popen(line.c_str(), "r");
    if (pipe == nullptr) return result;
    char buffer[4096];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        result.output.append(buffer, got);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

}  // namespace kx::test
