// terminal_posix.cpp: the terminal test of POSIX systems.
#include <unistd.h>

#include "tools/kxevent/terminal.h"

namespace kx::tool {

bool StandardOutputIsTerminal() {
    return ::isatty(STDOUT_FILENO) == 1;
}

bool StandardErrorIsTerminal() {
    return ::isatty(STDERR_FILENO) == 1;
}

}  // namespace kx::tool
