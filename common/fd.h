// fd.h: a POSIX file descriptor that is closed however its scope ends. Movable, so that a
// function can open one and hand it back; never copied.
#pragma once

#include <unistd.h>

#include <utility>

namespace kx {

class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { Close(); }
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            Close();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

  private:
    void Close() {
        if (fd_ >= 0) ::close(fd_);
    }

    int fd_ = -1;
};

}  // namespace kx
