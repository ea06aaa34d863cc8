// syslog_transport.cpp: the sockets of FwdSyslog (Unix datagram, UDP, TCP). The only file of
// the module that talks to the system directly: the platform layer has no socket sends.
#include "forwarders/syslog/syslog_transport.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "common/fd.h"
#include "forwarders/syslog/syslog_message.h"

namespace kx::fwd {

namespace {

constexpr int kTimeoutMilliseconds = 3000;

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

bool UnixAddress(const std::string& path, sockaddr_un& address, std::string& error) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        error = "unusable socket path: \"" + path + "\"";
        return false;
    }
    std::memcpy(address.sun_path, path.data(), path.size());
    return true;
}

// One datagram to a Unix socket; with `fd` not -1, that descriptor passed along with it. The
// result is 0 or the errno of the failure, which `error` describes.
int SendUnixDatagram(const std::string& path, std::string_view data, int fd, std::string& error) {
    sockaddr_un address{};
    if (!UnixAddress(path, address, error)) return EINVAL;
    const Fd socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (socket.get() < 0) {
        const int failure = errno;
        error = SystemError("socket");
        return failure;
    }
    iovec part{const_cast<char*>(data.data()), data.size()};
    msghdr header{};
    header.msg_name = &address;
    header.msg_namelen = sizeof address;
    header.msg_iov = data.empty() ? nullptr : &part;
    header.msg_iovlen = data.empty() ? 0 : 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (fd >= 0) {
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        cmsghdr* rights = CMSG_FIRSTHDR(&header);
        rights->cmsg_level = SOL_SOCKET;
        rights->cmsg_type = SCM_RIGHTS;
        rights->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(rights), &fd, sizeof fd);
    }
    ssize_t sent;
    do {
        sent = ::sendmsg(socket.get(), &header, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        const int failure = errno;
        error = SystemError(("sendmsg " + path).c_str());
        return failure;
    }
    return 0;
}

bool SendLocal(const SyslogSettings& settings, std::string_view message, std::string& error) {
    return SendUnixDatagram(settings.socketPath, message, -1, error) == 0;
}

bool SendUdp(const SyslogSettings& settings, std::string_view message, std::string& error) {
    const AddressList list = Resolve(settings, SOCK_DGRAM, error);
    for (const addrinfo* at = list.get(); at != nullptr; at = at->ai_next) {
        const Fd socket(::socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC, at->ai_protocol));
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
        const Fd socket(::socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC, at->ai_protocol));
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

bool JournalSocketPresent(const std::string& path) {
    struct stat info;
    return !path.empty() && ::stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

bool SendJournalEntry(const std::string& path, std::string_view entry, std::string& error) {
    const int failure = SendUnixDatagram(path, entry, -1, error);
    if (failure == 0) return true;
    if (failure != EMSGSIZE && failure != ENOBUFS) return false;
    return SendJournalEntryThroughFile(path, entry, error);
}

bool SendJournalEntryThroughFile(const std::string& path, std::string_view entry,
                                 std::string& error) {
    const Fd file(::memfd_create("kxevent-journal", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (file.get() < 0) {
        error = SystemError("memfd_create");
        return false;
    }
    for (std::string_view rest = entry; !rest.empty();) {
        const ssize_t wrote = ::write(file.get(), rest.data(), rest.size());
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) {
            error = SystemError("write to the journal's memory file");
            return false;
        }
        rest.remove_prefix(static_cast<std::size_t>(wrote));
    }
    // The journal reads only a file that nobody can change any more.
    if (::fcntl(file.get(), F_ADD_SEALS,
                F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
        error = SystemError("sealing the journal's memory file");
        return false;
    }
    return SendUnixDatagram(path, {}, file.get(), error) == 0;
}

void KeepModuleLoaded() {
    static const char anchor = 0;  // any address inside the module names it
    Dl_info info{};
    if (::dladdr(&anchor, &info) == 0 || !info.dli_fname) {
        return;
    }
    // A reference that is never dropped, on an object that the loader will no longer unmap.
    ::dlopen(info.dli_fname, RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD | RTLD_NODELETE);
}

std::string ProcessIdText() {
    return std::to_string(::getpid());
}

}  // namespace kx::fwd
