// collect_command_win32.cpp: the collector is a Linux service; on Windows the verb says so.
#include <string>

#include "tools/admin/errors.h"
#include "tools/kxevent/commands.h"

namespace kx::tool {

int RunCollectCommand(std::span<const std::string>) {
    throw RuntimeError("collect is available on Linux only");
}

}  // namespace kx::tool
