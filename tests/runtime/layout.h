// layout.h: installation directories built on disk for the runtime tests: copies of the built
// sibling stand-ins and resource modules, and the stand-ins' trace.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "support.h"

namespace kx::test {

inline const std::filesystem::path kBuiltInstallDir = KX_TEST_INSTALL_DIR;
inline const std::filesystem::path kStandinDir = KX_TEST_STANDIN_DIR;

// A built module of the installation directory ("KXKRNL.DLL", "Res0901/kxUtlRes.dll").
inline std::filesystem::path Built(std::string_view relative) {
    return kBuiltInstallDir / relative;
}
// A test-only stand-in variant ("krnl_no_fileseek/KXKRNL.DLL").
inline std::filesystem::path Variant(std::string_view relative) {
    return kStandinDir / relative;
}

// Copies `from` to `dir/name`, creating the directories on the way.
inline void Place(const std::filesystem::path& from, const std::filesystem::path& dir,
                  std::string_view name) {
    std::filesystem::create_directories((dir / name).parent_path());
    std::filesystem::copy_file(from, dir / name, std::filesystem::copy_options::overwrite_existing);
}

// The lines the stand-ins' entry notifications wrote ("KXKRNL attach", "KXUTIL detach").
inline std::vector<std::string> TraceLines(const std::filesystem::path& file) {
    return Lines(ReadFile(file));
}

}  // namespace kx::test
