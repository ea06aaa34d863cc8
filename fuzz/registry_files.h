// registry_files.h: the registry files the fuzz targets serve their documents from.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace kx::fuzz {

// Two scratch files used in turn: each run points VEL_REGISTRY at the other file, so that the
// registry reads the text anew even when it has the size and time stamp of the last one.
class RegistryFiles {
  public:
    explicit RegistryFiles(const char* prefix) {
        for (std::string& file : files_) {
            file = std::string("/tmp/") + prefix + "-XXXXXX";
            const int fd = ::mkstemp(file.data());
            if (fd < 0) std::abort();
            ::close(fd);
        }
    }
    ~RegistryFiles() {
        for (const std::string& file : files_) ::unlink(file.c_str());
    }
    RegistryFiles(const RegistryFiles&) = delete;
    RegistryFiles& operator=(const RegistryFiles&) = delete;

    // Writes `text` to the next file and points VEL_REGISTRY at it.
    void Serve(std::string_view text) {
        turn_ ^= 1;
        const std::string& file = files_[turn_];
        if (std::FILE* out = std::fopen(file.c_str(), "wb")) {
            std::fwrite(text.data(), 1, text.size(), out);
            std::fclose(out);
        }
        ::setenv("VEL_REGISTRY", file.c_str(), 1);
    }

  private:
    std::string files_[2];
    int turn_ = 0;
};

}  // namespace kx::fuzz
