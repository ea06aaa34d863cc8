// syslog_transport.cpp: the sockets of FwdSyslog (Unix datagram, UDP, TCP). The only file of
// the module that talks to the system directly: the platform layer has no socket sends.
#include "forwarders/syslog/syslog_transport.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "forwarders/syslog/syslog_message.h"

namespace kx::fwd {

namespace {

constexpr int kTimeoutMilliseconds = 3000;

class Socket {
  public:
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() {
        if (fd_ >= 0) ::close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

struct AddressListDeleter {
    void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};
using AddressList = std::unique_ptr<addrinfo, AddressListDeleter>;

std::string SystemError(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

AddressList Resolve(const SyslogSettings& settings, int socketType, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = socketType;
    addrinfo* list = nullptr;
    const std::string port = std::to_string(settings.port);
    if (const int status = ::getaddrinfo(settings.host.c_str(), port.c_str(), &hints, &list)) {
        error = "cannot resolve " + settings.host + ": " + ::gai_strerror(status);
        return nullptr;
    }
    return AddressList(list);
}

bool SendAll(int fd, std::string_view data, std::string& error) {
    while (!data.empty()) {
        const ssize_t sent = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            error = SystemError("send");
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

bool ConnectWithTimeout(int fd, const addrinfo& address, std::string& error) {
    const int flags = ::fcntl(fd, F_GETFL, 0);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0 && errno != EINPROGRESS) {
        error = SystemError("connect");
        return false;
    }
    pollfd waiting{fd, POLLOUT, 0};
    if (::poll(&waiting, 1, kTimeoutMilliseconds) != 1) {
        error = "connect: timed out";
        return false;
    }
    int status = 0;
    socklen_t length = sizeof status;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &status, &length);
    if (status != 0) {
        error = std::string("connect: ") + std::strerror(status);
        return false;
    }
    ::fcntl(fd, F_SETFL, flags);
    timeval timeout{kTimeoutMilliseconds / 1000, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    return true;
}

bool SendLocal(const SyslogSettings& settings, std::string_view message, std::string& error) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (settings.socketPath.size() >= sizeof address.sun_path) {
        error = "socket path too long: " + settings.socketPath;
        return false;
    }
    std::memcpy(address.sun_path, settings.socketPath.data(), settings.socketPath.size());
    const Socket socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (socket.get() < 0) {
        error = SystemError("socket");
        return false;
    }
    if (::sendto(socket.get(), message.data(), message.size(), MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
        error = SystemError(("sendto " + settings.socketPath).c_str());
        return false;
    }
    return true;
}

bool SendUdp(const SyslogSettings& settings, std::string_view message, std::string& error) {
    const AddressList list = Resolve(settings, SOCK_DGRAM, error);
    for (const addrinfo* at = list.get(); at != nullptr; at = at->ai_next) {
        const Socket socket(
            ::socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC, at->ai_protocol));
        if (socket.get() < 0) continue;
        if (::sendto(socket.get(), message.data(), message.size(), MSG_NOSIGNAL, at->ai_addr,
                     at->ai_addrlen) >= 0) {
            return true;
        }
        error = SystemError("sendto");
    }
    if (error.empty()) error = "no usable address for " + settings.host;
    return false;
}

bool SendTcp(const SyslogSettings& settings, std::string_view message, std::string& error) {
    const AddressList list = Resolve(settings, SOCK_STREAM, error);
    const std::string frame = OctetCountingFrame(message);
    for (const addrinfo* at = list.get(); at != nullptr; at = at->ai_next) {
        const Socket socket(
            ::socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC, at->ai_protocol));
        if (socket.get() < 0) continue;
        if (ConnectWithTimeout(socket.get(), *at, error) && SendAll(socket.get(), frame, error)) {
            ::shutdown(socket.get(), SHUT_WR);
            return true;
        }
    }
    if (error.empty()) error = "no usable address for " + settings.host;
    return false;
}

}  // namespace

bool SendSyslogMessage(const SyslogSettings& settings, std::string_view message,
                       std::string& error) {
    switch (settings.transport) {
        case Transport::Local:
            return SendLocal(settings, message, error);
        case Transport::Udp:
            return SendUdp(settings, message, error);
        case Transport::Tcp:
            return SendTcp(settings, message, error);
    }
    return false;
}

std::string ProcessIdText() {
    return std::to_string(::getpid());
}

}  // namespace kx::fwd
