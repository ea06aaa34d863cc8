// support.h: helpers shared by the tests: scratch directories, environment variables and the
// current directory for one scope, registry files written the way an administrator writes them,
// and files read and written whole.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "regfile_text.h"

namespace kx::test {

// A fresh directory under the system's temporary directory, removed with everything in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }
    std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

// Sets (or, with nullopt, unsets) an environment variable for the scope.
class ScopedEnv {
  public:
    ScopedEnv(std::string name, std::optional<std::string> value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    std::optional<std::string> previous_;
};

// Makes `dir` (created when missing) the current directory for the scope.
class ScopedCurrentDir {
  public:
    explicit ScopedCurrentDir(const std::filesystem::path& dir);
    ~ScopedCurrentDir();
    ScopedCurrentDir(const ScopedCurrentDir&) = delete;
    ScopedCurrentDir& operator=(const ScopedCurrentDir&) = delete;

  private:
    std::filesystem::path previous_;
};

// A registry file built as in regfile_text.h, then written where VEL_REGISTRY points:
//   RegFile reg;
//   reg.Key(kAlertingKey).Dword("bEnableCAlert", 1);
//   reg.WriteTo(path);
class RegFile : public RegFileText<RegFile> {
  public:
    void WriteTo(const std::filesystem::path& file) const;
};

// The lines of `text` without their line ends; a last line without one still counts.
std::vector<std::string> Lines(std::string_view text);

// The file's bytes; "" when the file is missing or cannot be read.
std::string ReadFile(const std::filesystem::path& file);
void WriteFile(const std::filesystem::path& file, std::string_view content);

// The names of the entries of `dir`, sorted.
std::vector<std::string> EntryNames(const std::filesystem::path& dir);

}  // namespace kx::test
