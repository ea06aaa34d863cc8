// syslog_transport_win32.cpp: the sockets and name look-ups of FwdSyslog on Windows (UDP and
// TCP through Winsock), every socket non-blocking so that a send waits for nothing past its
// deadline. The only file of the Windows module that talks to the system directly: the
// platform layer has no socket sends. There is no local syslog socket on Windows, so the local
// transport is refused with a reason instead of failing in some later call.
// winsock2.h brings in windows.h after itself, the order Winsock needs.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <array>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>

#include "forwarders/syslog/syslog_message.h"
#include "forwarders/syslog/syslog_transport.h"

namespace kx::fwd {

namespace {

using std::chrono::steady_clock;

// Winsock for one send or one look-up: the module is loaded and unloaded around every call, and
// a look-up thread may outlive the send that started it, so each holds a start-up of its own.
class WinsockSession {
  public:
    WinsockSession() {
        WSADATA data{};
        status_ = ::WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~WinsockSession() {
        if (status_ == 0) ::WSACleanup();
    }
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;
    int status() const { return status_; }

  private:
    int status_ = 0;
};

class Socket {
  public:
    explicit Socket(SOCKET handle) : handle_(handle) {}
    ~Socket() {
        if (handle_ != INVALID_SOCKET) ::closesocket(handle_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    SOCKET get() const { return handle_; }
    bool valid() const { return handle_ != INVALID_SOCKET; }

  private:
    SOCKET handle_;
};

struct AddressListDeleter {
    void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};
using AddressList = std::unique_ptr<addrinfo, AddressListDeleter>;

// "what: system text (code)" for a Winsock error code.
std::string SystemError(const std::string& what, int code) {
    std::array<char, 256> text{};
    DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                    nullptr, static_cast<DWORD>(code), 0, text.data(),
                                    static_cast<DWORD>(text.size() - 1), nullptr);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' ||
                          text[length - 1] == ' ' || text[length - 1] == '.')) {
        --length;
    }
    std::string out = what + ": ";
    out += length > 0 ? std::string(text.data(), length) : std::string("Winsock error");
    return out + " (" + std::to_string(code) + ")";
}

std::string LastError(const char* what) {
    return SystemError(what, ::WSAGetLastError());
}

int SocketType(Transport transport) {
    return transport == Transport::Tcp ? SOCK_STREAM : SOCK_DGRAM;
}

// Not inherited by processes the host starts later, like close-on-exec on Unix.
Socket OpenSocket(const Endpoint& endpoint, Transport transport) {
    return Socket(::WSASocketW(endpoint.family, SocketType(transport), endpoint.protocol, nullptr,
                               0, WSA_FLAG_NO_HANDLE_INHERIT));
}

const sockaddr* AddressOf(const Endpoint& endpoint) {
    return reinterpret_cast<const sockaddr*>(endpoint.address.data());
}

int LookUp(const std::string& host, std::uint16_t port, Transport transport, int flags,
           Endpoints& endpoints) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SocketType(transport);
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
    return endpoints.empty() ? WSAHOST_NOT_FOUND : 0;
}

// The time left until `deadline` for select, 0 once it has passed.
timeval TimeLeft(Deadline deadline) {
    const auto left = std::chrono::ceil<std::chrono::microseconds>(deadline - steady_clock::now());
    const long long micros = left.count() > 0 ? left.count() : 0;
    return timeval{static_cast<long>(micros / 1000000), static_cast<long>(micros % 1000000)};
}

// Waits until `socket` is writable (a connect finished, or room to send) or the deadline passes.
// 1 ready, 0 timed out, -1 failed (the connect was refused: `code` says why).
int WaitWritable(SOCKET socket, Deadline deadline, int& code) {
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(socket, &writable);
    FD_SET(socket, &failed);
    timeval timeout = TimeLeft(deadline);
    const int ready = ::select(0, nullptr, &writable, &failed, &timeout);
    if (ready == SOCKET_ERROR) {
        code = ::WSAGetLastError();
        return -1;
    }
    if (ready == 0) return 0;
    if (FD_ISSET(socket, &failed)) {
        int status = 0;
        int length = sizeof status;
        ::getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&status), &length);
        code = status != 0 ? status : WSAECONNREFUSED;
        return -1;
    }
    return 1;
}

bool SendAll(SOCKET socket, std::string_view data, Deadline deadline, std::string& error) {
    while (!data.empty()) {
        const int chunk = data.size() > 0x10000 ? 0x10000 : static_cast<int>(data.size());
        const int sent = ::send(socket, data.data(), chunk, 0);
        if (sent == SOCKET_ERROR) {
            if (::WSAGetLastError() != WSAEWOULDBLOCK) {
                error = LastError("send");
                return false;
            }
            int code = 0;
            const int ready = WaitWritable(socket, deadline, code);
            if (ready == 1) continue;
            error = ready == 0 ? std::string("send: timed out") : SystemError("send", code);
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

bool Connect(SOCKET socket, const Endpoint& endpoint, Deadline deadline, std::string& error) {
    u_long nonBlocking = 1;
    if (::ioctlsocket(socket, FIONBIO, &nonBlocking) != 0) {
        error = LastError("ioctlsocket");
        return false;
    }
    if (::connect(socket, AddressOf(endpoint), static_cast<int>(endpoint.length)) == 0) {
        return true;
    }
    if (::WSAGetLastError() != WSAEWOULDBLOCK) {
        error = LastError("connect");
        return false;
    }
    int code = 0;
    const int ready = WaitWritable(socket, deadline, code);
    if (ready == 1) return true;
    error = ready == 0 ? std::string("connect: timed out") : SystemError("connect", code);
    return false;
}

bool SendUdp(const Endpoints& endpoints, std::string_view message, std::string& error) {
    for (const Endpoint& endpoint : endpoints) {
        const Socket socket = OpenSocket(endpoint, Transport::Udp);
        if (!socket.valid()) {
            error = LastError("socket");
            continue;
        }
        u_long nonBlocking = 1;
        ::ioctlsocket(socket.get(), FIONBIO, &nonBlocking);
        if (::sendto(socket.get(), message.data(), static_cast<int>(message.size()), 0,
                     AddressOf(endpoint), static_cast<int>(endpoint.length)) != SOCKET_ERROR) {
            return true;
        }
        error = LastError("sendto");
    }
    return false;
}

bool SendTcp(const Endpoints& endpoints, std::string_view message, Deadline deadline,
             std::string& error) {
    const std::string frame = OctetCountingFrame(message);
    for (const Endpoint& endpoint : endpoints) {
        if (steady_clock::now() >= deadline) break;
        const Socket socket = OpenSocket(endpoint, Transport::Tcp);
        if (!socket.valid()) {
            error = LastError("socket");
            continue;
        }
        if (Connect(socket.get(), endpoint, deadline, error) &&
            SendAll(socket.get(), frame, deadline, error)) {
            ::shutdown(socket.get(), SD_SEND);
            return true;
        }
    }
    if (error.empty()) error = "connect: timed out";
    return false;
}

}  // namespace

bool ResolveNumericHost(const std::string& host, std::uint16_t port, Transport transport,
                        Endpoints& endpoints) {
    const WinsockSession session;
    return session.status() == 0 && LookUp(host, port, transport, AI_NUMERICHOST, endpoints) == 0;
}

bool ResolveHost(const std::string& host, std::uint16_t port, Transport transport,
                 Endpoints& endpoints, std::string& error) {
    const WinsockSession session;
    if (session.status() != 0) {
        error = SystemError("WSAStartup", session.status());
        return false;
    }
    const int status = LookUp(host, port, transport, 0, endpoints);
    if (status == 0) return true;
    error = SystemError("cannot resolve " + host, status);
    return false;
}

bool SendNetworkMessage(Transport transport, const Endpoints& endpoints, std::string_view message,
                        Deadline deadline, std::string& error) {
    if (endpoints.empty()) {
        error = "no usable address";
        return false;
    }
    const WinsockSession session;
    if (session.status() != 0) {
        error = SystemError("WSAStartup", session.status());
        return false;
    }
    return transport == Transport::Tcp ? SendTcp(endpoints, message, deadline, error)
                                       : SendUdp(endpoints, message, error);
}

bool SendLocalMessage(const std::string& /*path*/, std::string_view /*message*/,
                      std::string& error) {
    error = "the local transport needs a Unix syslog socket; set Transport to udp or tcp";
    return false;
}

bool JournalSocketPresent(const std::string& /*path*/) {
    return false;
}

bool SendJournalEntry(const std::string& /*path*/, std::string_view /*entry*/, std::string& error) {
    error = "there is no journal on Windows";
    return false;
}

bool SendJournalEntryThroughFile(const std::string& path, std::string_view entry,
                                 std::string& error) {
    return SendJournalEntry(path, entry, error);
}

void KeepModuleLoaded() {
    static const char anchor = 0;  // any address inside the module names it
    HMODULE self = nullptr;
    ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                         &anchor, &self);
}

std::string ProcessIdText() {
    return std::to_string(::GetCurrentProcessId());
}

}  // namespace kx::fwd
