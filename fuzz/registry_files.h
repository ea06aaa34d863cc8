// registry_files.h: the registry files the fuzz targets serve their documents from.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <string_view>

namespace kx::fuzz {

// Two scratch files used in turn: each run points VEL_REGISTRY at the other file, so that the
// registry reads the text anew even when it has the size and time stamp of the last one.
class RegistryFiles {
  public:
    // The files live in a private directory of their own: the library reads a registry file in
    // a directory others can write to (such as /tmp itself) as absent.
    explicit RegistryFiles(const char* prefix) {
        directory_ = std::string("/tmp/") + prefix + "-XXXXXX";
        if (::mkdtemp(directory_.data()) == nullptr) std::abort();
        files_[0] = directory_ + "/a.reg";
        files_[1] = directory_ + "/b.reg";
    }
    ~RegistryFiles() {
        for (const std::string& file : files_) ::unlink(file.c_str());
        ::rmdir(directory_.c_str());
    }
    RegistryFiles(const RegistryFiles&) = delete;
    RegistryFiles& operator=(const RegistryFiles&) = delete;

    // Writes `text` to the next file and points VEL_REGISTRY at it.
    void Serve(std::string_view text) {
        turn_ ^= 1;
        const std::string& file = files_[turn_];
        // Only its owner may change it, whatever the umask: the library believes nothing else.
        const int fd =
            ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) std::abort();
        for (std::size_t done = 0; done < text.size();) {
            const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
            if (wrote <= 0) std::abort();
            done += static_cast<std::size_t>(wrote);
        }
        ::close(fd);
        ::setenv("VEL_REGISTRY", file.c_str(), 1);
    }

  private:
    std::string directory_;
    std::string files_[2];
    int turn_ = 0;
};

}  // namespace kx::fuzz
