// reg_command.h: "kxevent reg import|export|query|set|delete": administering the registry file
// of the platform layer without a text editor. Every change is written atomically.
#pragma once

#include <span>
#include <string>

namespace kx::tool {

// Runs the reg sub-command in `args` (args[0] is import, export, ...). Returns the exit status;
// throws UsageError or RuntimeError.
int RunRegCommand(std::span<const std::string> args);

extern const char kRegHelp[];

}  // namespace kx::tool
