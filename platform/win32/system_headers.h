// system_headers.h: the Windows API headers, included by platform/win32 only, with the macros
// that keep them from colliding with the standard library.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
