// syslog_transport.h: delivering one formatted message: a datagram to the local syslog socket
// or to the journal's socket, a UDP datagram, or an octet-counted frame over a TCP connection;
// and the name look-ups of the network transports. One implementation per system
// (syslog_transport.cpp, syslog_transport_win32.cpp).
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "forwarders/syslog/syslog_settings.h"

namespace kx::fwd {

// The moment by which a send gives up, on the monotonic clock.
using Deadline = std::chrono::steady_clock::time_point;

// One address of a collector, as the system's look-up gave it (family, protocol and the socket
// address's bytes), for a later connect or sendto.
struct Endpoint {
    int family = 0;
    int protocol = 0;
    std::uint32_t length = 0;
    std::array<unsigned char, 128> address{};
};
using Endpoints = std::vector<Endpoint>;

// `host` when it is a numeric address (IPv4 or IPv6), without asking any name service: false
// when it is a name. Never blocks.
bool ResolveNumericHost(const std::string& host, std::uint16_t port, Transport transport,
                        Endpoints& endpoints);

// Asks the system's resolver for `host`. May block for as long as the resolver takes (a name
// server that never answers: many seconds), so it runs on a look-up thread of its own
// (syslog_resolver.h), never on a sender's.
bool ResolveHost(const std::string& host, std::uint16_t port, Transport transport,
                 Endpoints& endpoints, std::string& error);

// Sends `message` over UDP or TCP to the first of `endpoints` that takes it, giving up at
// `deadline` (the connect and every write wait at most until then). False with the reason in
// `error` when it did not go out.
bool SendNetworkMessage(Transport transport, const Endpoints& endpoints, std::string_view message,
                        Deadline deadline, std::string& error);

// One datagram to the local syslog socket at `path`. Never waits: a socket whose reader has
// fallen behind (its queue is full) drops the message, and that is a failure like any other.
bool SendLocalMessage(const std::string& path, std::string_view message, std::string& error);

// Whether `path` names a socket, so that the local transport speaks the journal's protocol.
bool JournalSocketPresent(const std::string& path);

// Sends one native-protocol entry to the journal's socket as one datagram, or through a sealed
// memory file passed along the socket when the entry is too large for a datagram. Never waits,
// as SendLocalMessage.
bool SendJournalEntry(const std::string& path, std::string_view entry, std::string& error);
// The memory-file form alone.
bool SendJournalEntryThroughFile(const std::string& path, std::string_view entry,
                                 std::string& error);

// Keeps the module mapped until the process ends, so that what it has already reported
// survives the unload after each send.
void KeepModuleLoaded();

// This process's id as text, for the PROCID header field.
std::string ProcessIdText();

}  // namespace kx::fwd
