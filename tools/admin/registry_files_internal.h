// registry_files_internal.h: what the two halves of registry_files (registry_files_posix.cpp,
// registry_files_win32.cpp) share with the rest of it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace kx::tool {

// A name for a temporary file beside `file`, unlikely to be taken.
std::string TemporaryNameFor(const std::filesystem::path& file);

// Throws RuntimeError naming `file` when it is no regular file or holds more than
// kMaxInputFileSize bytes.
void CheckReadableFile(const std::filesystem::path& file, bool regular, std::uintmax_t size);

}  // namespace kx::tool
