// syslog_faults.h: targets that fail the slow way, made for real, for FwdSyslog's fault tests
// and its benchmark: a local socket nobody reads, filled until it refuses more; a TCP listener
// whose queue is full, so that connecting to it never finishes; and a child process in a
// network and mount namespace of its own whose only name server never answers.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "common/fd.h"

namespace kx::test {

// A Unix datagram socket bound at `path` that nobody reads, filled until it takes no more.
class FullSocket {
  public:
    explicit FullSocket(const std::filesystem::path& path);
    bool full() const { return bound_ && filled_ > 0 && refused_ == EAGAIN; }
    // Reads everything queued; the last datagram read.
    std::string Drain() const;

  private:
    const sockaddr* Address() const { return reinterpret_cast<const sockaddr*>(&address_); }
    Fd socket_;
    sockaddr_un address_{AF_UNIX, {}};
    bool bound_ = false;
    int filled_ = 0;
    int refused_ = 0;
};

// A TCP listener on 127.0.0.1 with a queue of one, filled by one connection it does not accept:
// the kernel drops every further handshake, so connecting to it never finishes.
class StuckListener {
  public:
    StuckListener();
    bool full() const { return port_ != 0 && QueueLength() >= 1; }
    std::uint16_t port() const { return port_; }
    // Takes the filler off the queue, so that the next connection gets in.
    void Open();
    // Everything the next connection sends until it closes.
    std::string Receive() const;

  private:
    // Connections waiting to be accepted, as the kernel counts them for a listener.
    unsigned QueueLength() const;
    Fd socket_;
    Fd filler_;
    std::uint16_t port_ = 0;
};

// Runs `body` in a child process with a network and a mount namespace of its own, where
// /etc/resolv.conf (and nsswitch.conf: files, then DNS) name one name server, 127.0.0.1:53, a
// UDP socket that reads nothing and answers nothing; `body` gets its descriptor. `scratch`
// holds the two files. The result is what `body` returned, or "!" and why the namespaces
// could not be made (not root, no namespaces here), or "the child failed: ..." when it did not
// exit normally.
std::string WithSilentNameServer(const std::filesystem::path& scratch,
                                 const std::function<std::string(int server)>& body);

// Whether queries reached the silent name server.
bool QueriesArrived(int server);

}  // namespace kx::test
