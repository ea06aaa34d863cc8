// syslog_transport_win32.cpp: the sockets of FwdSyslog on Windows (UDP and TCP through
// Winsock). The only file of the Windows module that talks to the system directly: the
// platform layer has no socket sends. There is no local syslog socket on Windows, so the local
// transport is refused with a reason instead of failing in some later call.
// winsock2.h brings in windows.h after itself, the order Winsock needs.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <array>
#include <memory>
#include <string>

#include "forwarders/syslog/syslog_message.h"
#include "forwarders/syslog/syslog_transport.h"

namespace kx::fwd {

namespace {

constexpr DWORD kTimeoutMilliseconds = 3000;

// Winsock for one send: the module is loaded and unloaded around every call, so it keeps no
// start-up of its own between calls.
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
std::string SystemError(const char* what, int code) {
    std::array<char, 256> text{};
    DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                    nullptr, static_cast<DWORD>(code), 0, text.data(),
                                    static_cast<DWORD>(text.size() - 1), nullptr);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' ||
                          text[length - 1] == ' ' || text[length - 1] == '.')) {
        --length;
    }
    std::string out = std::string(what) + ": ";
    out += length > 0 ? std::string(text.data(), length) : std::string("Winsock error");
    return out + " (" + std::to_string(code) + ")";
}

std::string LastError(const char* what) {
    return SystemError(what, ::WSAGetLastError());
}

// Not inherited by processes the host starts later, like close-on-exec on Unix.
Socket OpenSocket(const addrinfo& address) {
    return Socket(::WSASocketW(address.ai_family, address.ai_socktype, address.ai_protocol, nullptr,
                               0, WSA_FLAG_NO_HANDLE_INHERIT));
}

AddressList Resolve(const SyslogSettings& settings, int socketType, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = socketType;
    addrinfo* list = nullptr;
    const std::string port = std::to_string(settings.port);
    if (const int status = ::getaddrinfo(settings.host.c_str(), port.c_str(), &hints, &list)) {
        error = SystemError(("cannot resolve " + settings.host).c_str(), status);
        return nullptr;
    }
    return AddressList(list);
}

bool SendAll(SOCKET socket, std::string_view data, std::string& error) {
    while (!data.empty()) {
        const int chunk = data.size() > 0x10000 ? 0x10000 : static_cast<int>(data.size());
        const int sent = ::send(socket, data.data(), chunk, 0);
        if (sent == SOCKET_ERROR) {
            error = LastError("send");
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

bool SetBlocking(SOCKET socket, bool blocking) {
    u_long nonBlocking = blocking ? 0 : 1;
    return ::ioctlsocket(socket, FIONBIO, &nonBlocking) == 0;
}

bool ConnectWithTimeout(SOCKET socket, const addrinfo& address, std::string& error) {
    if (!SetBlocking(socket, false)) {
        error = LastError("ioctlsocket");
        return false;
    }
    if (::connect(socket, address.ai_addr, static_cast<int>(address.ai_addrlen)) != 0 &&
        ::WSAGetLastError() != WSAEWOULDBLOCK) {
        error = LastError("connect");
        return false;
    }
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(socket, &writable);
    FD_SET(socket, &failed);
    timeval timeout{static_cast<long>(kTimeoutMilliseconds / 1000), 0};
    const int ready = ::select(0, nullptr, &writable, &failed, &timeout);
    if (ready == SOCKET_ERROR) {
        error = LastError("select");
        return false;
    }
    if (ready == 0) {
        error = "connect: timed out";
        return false;
    }
    int status = 0;
    int length = sizeof status;
    ::getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&status), &length);
    if (status != 0 || !FD_ISSET(socket, &writable)) {
        error = SystemError("connect", status != 0 ? status : WSAECONNREFUSED);
        return false;
    }
    if (!SetBlocking(socket, true)) {
        error = LastError("ioctlsocket");
        return false;
    }
    const DWORD sendTimeout = kTimeoutMilliseconds;
    ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&sendTimeout),
                 sizeof sendTimeout);
    return true;
}

bool SendUdp(const SyslogSettings& settings, std::string_view message, std::string& error) {
    const AddressList list = Resolve(settings, SOCK_DGRAM, error);
    for (const addrinfo* at = list.get(); at != nullptr; at = at->ai_next) {
        const Socket socket = OpenSocket(*at);
        if (!socket.valid()) {
            error = LastError("socket");
            continue;
        }
        if (::sendto(socket.get(), message.data(), static_cast<int>(message.size()), 0, at->ai_addr,
                     static_cast<int>(at->ai_addrlen)) != SOCKET_ERROR) {
            return true;
        }
        error = LastError("sendto");
    }
    if (error.empty()) error = "no usable address for " + settings.host;
    return false;
}

bool SendTcp(const SyslogSettings& settings, std::string_view message, std::string& error) {
    const AddressList list = Resolve(settings, SOCK_STREAM, error);
    const std::string frame = OctetCountingFrame(message);
    for (const addrinfo* at = list.get(); at != nullptr; at = at->ai_next) {
        const Socket socket = OpenSocket(*at);
        if (!socket.valid()) {
            error = LastError("socket");
            continue;
        }
        if (ConnectWithTimeout(socket.get(), *at, error) && SendAll(socket.get(), frame, error)) {
            ::shutdown(socket.get(), SD_SEND);
            return true;
        }
    }
    if (error.empty()) error = "no usable address for " + settings.host;
    return false;
}

}  // namespace

bool SendSyslogMessage(const SyslogSettings& settings, std::string_view message,
                       std::string& error) {
    if (settings.transport == Transport::Local) {
        error = "the local transport needs a Unix syslog socket; set Transport to udp or tcp";
        return false;
    }
    const WinsockSession session;
    if (session.status() != 0) {
        error = SystemError("WSAStartup", session.status());
        return false;
    }
    return settings.transport == Transport::Udp ? SendUdp(settings, message, error)
                                                : SendTcp(settings, message, error);
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
