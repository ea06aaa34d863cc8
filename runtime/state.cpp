// state.cpp: the library's process-wide state, written only during process attach.
#include "runtime/state.h"

namespace kx {

char LanguageCode[kLanguageCodeSize] = {};
plat::Module ResourceModule = nullptr;
bool DiagnosticsEnabled = false;

}  // namespace kx
