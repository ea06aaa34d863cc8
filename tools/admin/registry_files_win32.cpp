// registry_files_win32.cpp: the Windows half of registry_files: the environment, reading a
// whole file and replacing one atomically through the platform layer.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>

#include "platform/platform.h"
#include "tools/admin/errors.h"
#include "tools/admin/registry_files.h"
#include "tools/admin/registry_files_internal.h"

namespace kx::tool {

namespace fs = std::filesystem;

void SetEnvironment(const char* name, const std::string& value) {
    _putenv_s(name, value.c_str());
}

bool UsesSystemRegistry() {
    return true;
}

std::string ReadWholeFile(const fs::path& file) {
    std::error_code error;
    const fs::file_status status = fs::status(file, error);
    if (!error) CheckReadableFile(file, fs::is_regular_file(status), fs::file_size(file, error));
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw RuntimeError("cannot read " + file.string() + ": " + std::strerror(errno));
    }
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) throw RuntimeError("cannot read " + file.string());
    return content.str();
}

void SaveTextAtomically(const fs::path& file, std::string_view text) {
    std::string temporary;
    std::intptr_t handle = plat::kInvalidFile;
    for (int attempt = 0; attempt < 16 && handle == plat::kInvalidFile; ++attempt) {
        temporary = TemporaryNameFor(file);
        handle = plat::FileCreate(temporary.c_str());
    }
    if (handle == plat::kInvalidFile) {
        throw RuntimeError("cannot create a temporary file next to " + file.string());
    }
    const auto size = static_cast<plat::Dword>(text.size());
    const bool written = plat::FileWrite(handle, text.data(), size) == size;
    const bool closed = plat::FileClose(handle);
    std::error_code error;
    if (written && closed) fs::rename(temporary, file, error);
    if (!written || !closed || error) {
        plat::FileDelete(temporary.c_str());
        throw RuntimeError("cannot write " + file.string() +
                           (error ? ": " + error.message() : std::string(": write failed")) +
                           "; the file is unchanged");
    }
}

}  // namespace kx::tool
