// command.h: running a tool of the build machine (nm, objdump, cmake) and reading its output.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace kx::test {

struct CommandResult {
    int status = -1;  // the tool's exit status; -1 when it could not be run
    std::string output;
};

// Runs `argv` (no shell interpretation of the arguments) and captures its standard output;
// standard error is passed through to the test's log.
CommandResult RunCommand(const std::vector<std::string>& argv);

// The functions and data a Linux module's dynamic symbol table defines, read with nm; nm
// failing fails the calling test.
std::set<std::string> DefinedDynamicSymbols(const std::filesystem::path& module);
// The same symbols with their addresses.
std::map<std::string, std::uint64_t> DynamicSymbolAddresses(const std::filesystem::path& module);

}  // namespace kx::test
