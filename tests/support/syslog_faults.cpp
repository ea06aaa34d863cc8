// syslog_faults.cpp: the faults of syslog_faults.h.
#include "syslog_faults.h"

#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

namespace kx::test {

namespace {

using namespace std::chrono_literals;

sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

bool WriteText(const std::filesystem::path& file, const std::string& text) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

}  // namespace

FullSocket::FullSocket(const std::filesystem::path& path)
    : socket_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    if (path.native().size() >= sizeof address_.sun_path) return;
    std::strcpy(address_.sun_path, path.c_str());
    bound_ = ::bind(socket_.get(), Address(), sizeof address_) == 0;
    const Fd writer(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    while (bound_ &&
           ::sendto(writer.get(), "filler", 6, MSG_DONTWAIT, Address(), sizeof address_) == 6) {
        ++filled_;
    }
    refused_ = errno;
}

std::string FullSocket::Drain() const {
    std::string last;
    char buffer[65536];
    for (ssize_t size; (size = ::recv(socket_.get(), buffer, sizeof buffer, MSG_DONTWAIT)) >= 0;) {
        last.assign(buffer, static_cast<std::size_t>(size));
    }
    return last;
}

StuckListener::StuckListener() : socket_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    if (::bind(socket_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::listen(socket_.get(), 0) != 0) {
        return;
    }
    port_ = ntohs(address.sin_port);
    filler_ = Fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    address = Loopback(port_);
    if (::connect(filler_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        port_ = 0;
        return;
    }
    // Full once the kernel has queued the filler (its handshake finished on the listener's side
    // too); on loopback that is at once, the wait is only a bound.
    for (int i = 0; i < 2000 && QueueLength() < 1; ++i) std::this_thread::sleep_for(5ms);
}

void StuckListener::Open() {
    Fd(::accept(socket_.get(), nullptr, nullptr));
}

std::string StuckListener::Receive() const {
    const Fd peer(::accept(socket_.get(), nullptr, nullptr));
    std::string data;
    char buffer[4096];
    for (ssize_t size; (size = ::recv(peer.get(), buffer, sizeof buffer, 0)) > 0;) {
        data.append(buffer, static_cast<std::size_t>(size));
    }
    return data;
}

unsigned StuckListener::QueueLength() const {
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(socket_.get(), IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return 0;
    return info.tcpi_unacked;
}

std::string WithSilentNameServer(const std::filesystem::path& scratch,
                                 const std::function<std::string(int)>& body) {
    const auto resolvConf = scratch / "resolv.conf";
    const auto nsswitchConf = scratch / "nsswitch.conf";
    if (!WriteText(resolvConf, "nameserver 127.0.0.1\noptions timeout:30 attempts:1\n") ||
        !WriteText(nsswitchConf, "hosts: files dns\n")) {
        return "!cannot write the resolver's files";
    }
    int channel[2];
    if (::pipe2(channel, O_CLOEXEC) != 0) return "!pipe";
    const pid_t child = ::fork();
    if (child < 0) return "!fork";
    if (child == 0) {
        ::close(channel[0]);
        const auto answer = [&](const std::string& text) {
            const bool wrote =
                ::write(channel[1], text.data(), text.size()) == static_cast<ssize_t>(text.size());
            // Look-up threads may still wait for the silent server: no exit handlers.
            ::_exit(wrote ? 0 : 2);
        };
        if (::unshare(CLONE_NEWNS | CLONE_NEWNET) != 0)
            answer("!unshare: " + std::string(std::strerror(errno)));
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount(resolvConf.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0 ||
            ::mount(nsswitchConf.c_str(), "/etc/nsswitch.conf", nullptr, MS_BIND, nullptr) != 0) {
            answer("!mount: " + std::string(std::strerror(errno)));
        }
        const Fd server(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        ifreq loopback{};
        std::strcpy(loopback.ifr_name, "lo");
        loopback.ifr_flags = IFF_UP | IFF_RUNNING;
        const sockaddr_in address = Loopback(53);
        if (::ioctl(server.get(), SIOCSIFFLAGS, &loopback) != 0 ||
            ::bind(server.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
                0) {
            answer("!loopback: " + std::string(std::strerror(errno)));
        }
        answer(body(server.get()));
    }
    ::close(channel[1]);
    std::string result;
    char buffer[4096];
    for (ssize_t size; (size = ::read(channel[0], buffer, sizeof buffer)) > 0;) {
        result.append(buffer, static_cast<std::size_t>(size));
    }
    ::close(channel[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    // Not a missing namespace but a failure of the child's own (a crash, a sanitizer's report).
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "the child failed: " + result;
    return result;
}

bool QueriesArrived(int server) {
    char buffer[512];
    return ::recv(server, buffer, sizeof buffer, MSG_DONTWAIT) > 0;
}

}  // namespace kx::test
