// registry_files_win32.cpp: the Windows half of registry_files: the environment, reading a
// whole file and replacing one atomically (fd.h's ReplaceFile).
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>

#include "common/fd.h"
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
    const std::string target = file.string();
    const ReplaceResult replaced =
        ReplaceFile(target.c_str(), TemporaryNameFor(file).c_str(), text);
    if (!replaced)
        throw RuntimeError("cannot write " + target + ": " + ReplaceFailureText(replaced) +
                           "; the file is unchanged");
}

}  // namespace kx::tool
