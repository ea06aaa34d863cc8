// terminal.h: whether what the command prints reaches a person, who gets escaped text, or a
// file or pipe, which gets the bytes themselves. One half per system (terminal_posix.cpp,
// terminal_win32.cpp).
#pragma once

namespace kx::tool {

// Whether standard output is a terminal rather than a file or a pipe.
bool StandardOutputIsTerminal();
// The same of standard error, where progress lines go.
bool StandardErrorIsTerminal();

}  // namespace kx::tool
