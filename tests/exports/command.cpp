// command.cpp: runs a tool through the shell with every argument quoted, and reads a module's
// dynamic symbol table with nm.
#include "tests/exports/command.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <sstream>

#include "tests/support/support.h"

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

std::set<std::string> DefinedDynamicSymbols(const std::filesystem::path& module) {
    const auto result =
        RunCommand({KX_TEST_NM, "-D", "--defined-only", "--format=posix", module.string()});
    EXPECT_EQ(result.status, 0) << "nm failed on " << module;
    std::set<std::string> names;
    for (const std::string& line : Lines(result.output)) {
        const auto space = line.find(' ');
        if (space == 0 || space == std::string::npos) continue;
        names.emplace(line.substr(0, space));
    }
    return names;
}

std::map<std::string, std::uint64_t> DynamicSymbolAddresses(const std::filesystem::path& module) {
    const auto result =
        RunCommand({KX_TEST_NM, "-D", "--defined-only", "--format=posix", module.string()});
    EXPECT_EQ(result.status, 0) << "nm failed on " << module;
    std::map<std::string, std::uint64_t> addresses;
    for (const std::string& line : Lines(result.output)) {
        std::istringstream fields(line);  // name, type, value, size
        std::string name, type, value;
        if (!(fields >> name >> type >> value)) continue;
        addresses[name] = std::stoull(value, nullptr, 16);
    }
    return addresses;
}

}  // namespace kx::test
