// terminal_win32.cpp: the terminal test of the C runtime on Windows.
#include <io.h>

#include <cstdio>

#include "tools/kxevent/terminal.h"

namespace kx::tool {

bool StandardOutputIsTerminal() {
    return ::_isatty(::_fileno(stdout)) != 0;
}

bool StandardErrorIsTerminal() {
    return ::_isatty(::_fileno(stderr)) != 0;
}

}  // namespace kx::tool
