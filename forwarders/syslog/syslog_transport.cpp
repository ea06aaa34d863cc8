// syslog_transport.cpp: the sockets and name look-ups of FwdSyslog (Unix datagram, UDP, TCP).
// The only file of the module that talks to the system directly: the platform layer has no
// socket sends. Every socket is non-blocking: a send waits for nothing past its deadline.
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
#include <chrono>
#include <cstring>
#include <memory>

#include "common/fd.h"
#include "forwarders/syslog/syslog_message.h"

namespace kx::fwd {

namespace {

using std::chrono::steady_clock;

struct AddressListDeleter {
    void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};
using AddressList = std::unique_ptr<addrinfo, AddressListDeleter>;

std::string SystemError(const std::string& what, int code = errno) {
    return what + ": " + std::strerror(code);
}

// getaddrinfo for one transport; `flags` AI_NUMERICHOST asks no name service at all.
int LookUp(const std::string& host, std::uint16_t port, Transport transport, int flags,
           Endpoints& endpoints) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = transport == Transport::Tcp ? SOCK_STREAM : SOCK_DGRAM;
    hints.ai_flags = flags | AI_NUMERICSERV;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    if (const int status = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list)) {
        return status;
    }
    const AddressList owned(list);
    endpoints.clear();
    for (const addrinfo* at = list; at != nullptr; at = at->ai_next) {
        Endpoint endpoint;
        if (at->ai_addrlen > endpoint.address.size()) continue;
        endpoint.family = at->ai_family;
        endpoint.protocol = at->ai_protocol;
        endpoint.length = static_cast<std::uint32_t>(at->ai_addrlen);
        std::memcpy(endpoint.address.data(), at->ai_addr, at->ai_addrlen);
        endpoints.push_back(endpoint);
    }
    return endpoints.empty() ? EAI_NONAME : 0;
}

const sockaddr* AddressOf(const Endpoint& endpoint) {
    return reinterpret_cast<const sockaddr*>(endpoint.address.data());
}

// Milliseconds left until `deadline`, rounded up, 0 once it has passed.
int MillisecondsLeft(Deadline deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits until `fd` is ready for `events` or the deadline passes; false on the deadline.
bool WaitFor(int fd, short events, Deadline deadline) {
    for (;;) {
        pollfd waiting{fd, events, 0};
        const int ready = ::poll(&waiting, 1, MillisecondsLeft(deadline));
        if (ready > 0) return true;
        if (ready == 0 || errno != EINTR) return false;
    }
}

bool SendAll(int fd, std::string_view data, Deadline deadline, std::string& error) {
    while (!data.empty()) {
        const ssize_t sent = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN) {
                error = SystemError("send");
                return false;
            }
            if (!WaitFor(fd, POLLOUT, deadline)) {
                error = "send: timed out";
                return false;
            }
            continue;
        }
        data.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

bool Connect(int fd, const Endpoint& endpoint, Deadline deadline, std::string& error) {
    if (::connect(fd, AddressOf(endpoint), endpoint.length) == 0) return true;
    if (errno != EINPROGRESS && errno != EINTR) {
        error = SystemError("connect");
        return false;
    }
    if (!WaitFor(fd, POLLOUT, deadline)) {
        error = "connect: timed out";
        return false;
    }
    int status = 0;
    socklen_t length = sizeof status;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &status, &length) != 0) status = errno;
    if (status != 0) {
        error = SystemError("connect", status);
        return false;
    }
    return true;
}

bool SendUdp(const Endpoints& endpoints, std::string_view message, std::string& error) {
    for (const Endpoint& endpoint : endpoints) {
        const Fd socket(::socket(endpoint.family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK,
                                 endpoint.protocol));
        if (!socket) {
            error = SystemError("socket");
            continue;
        }
        if (::sendto(socket.get(), message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
                     AddressOf(endpoint), endpoint.length) >= 0) {
            return true;
        }
        error = SystemError("sendto");
    }
    return false;
}

bool SendTcp(const Endpoints& endpoints, std::string_view message, Deadline deadline,
             std::string& error) {
    const std::string frame = OctetCountingFrame(message);
    for (const Endpoint& endpoint : endpoints) {
        if (steady_clock::now() >= deadline) break;
        const Fd socket(::socket(endpoint.family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK,
                                 endpoint.protocol));
        if (!socket) {
            error = SystemError("socket");
            continue;
        }
        if (Connect(socket.get(), endpoint, deadline, error) &&
            SendAll(socket.get(), frame, deadline, error)) {
            ::shutdown(socket.get(), SHUT_WR);
            return true;
        }
    }
    if (error.empty()) error = "connect: timed out";
    return false;
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

// One datagram to a Unix socket, never waiting for its reader; with `fd` not -1, that
// descriptor passed along with it. The result is 0 or the errno of the failure, which `error`
// describes.
int SendUnixDatagram(const std::string& path, std::string_view data, int fd, std::string& error) {
    sockaddr_un address{};
    if (!UnixAddress(path, address, error)) return EINVAL;
    const Fd socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!socket) {
        const int failure = errno;
        error = SystemError("socket", failure);
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
        sent = ::sendmsg(socket.get(), &header, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        const int failure = errno;
        error = failure == EAGAIN ? "sendmsg " + path +
                                        ": the socket is full (its reader has fallen behind), "
                                        "the message was dropped"
                                  : SystemError("sendmsg " + path, failure);
        return failure;
    }
    return 0;
}

}  // namespace

bool ResolveNumericHost(const std::string& host, std::uint16_t port, Transport transport,
                        Endpoints& endpoints) {
    return LookUp(host, port, transport, AI_NUMERICHOST, endpoints) == 0;
}

bool ResolveHost(const std::string& host, std::uint16_t port, Transport transport,
                 Endpoints& endpoints, std::string& error) {
    const int status = LookUp(host, port, transport, 0, endpoints);
    if (status == 0) return true;
    error = "cannot resolve " + host + ": " +
            (status == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(status));
    return false;
}

bool SendNetworkMessage(Transport transport, const Endpoints& endpoints, std::string_view message,
                        Deadline deadline, std::string& error) {
    if (endpoints.empty()) {
        error = "no usable address";
        return false;
    }
    return transport == Transport::Tcp ? SendTcp(endpoints, message, deadline, error)
                                       : SendUdp(endpoints, message, error);
}

bool SendLocalMessage(const std::string& path, std::string_view message, std::string& error) {
    return SendUnixDatagram(path, message, -1, error) == 0;
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
    if (WriteAll(file.get(), entry) != 0) {
        error = SystemError("write to the journal's memory file");
        return false;
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
