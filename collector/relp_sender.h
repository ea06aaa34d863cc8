// relp_sender.h: one RELP session kept open across messages, each message known to be
// acknowledged or not by its transaction number.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "collector/sink.h"

struct relpEngine_s;
struct relpClt_s;

namespace kx::collect {

struct RelpTarget {
    std::string host;
    std::string port;
    // TLS is on when a CA is given: the receiver's certificate must chain to it, be meant for a
    // server, and name `host` or one of `tlsPeers` (DNS name or IP address) or, when
    // fingerprints are pinned, be one of those certificates. With certificate and key the
    // collector also proves who it is.
    std::optional<std::string> tlsCa;
    std::optional<std::string> tlsCert;
    std::optional<std::string> tlsKey;
    std::vector<std::string> tlsPeers;
    std::vector<std::array<unsigned char, 32>> tlsFingerprints;  // SHA-256 of the certificate
};

// Parses "relp://HOST:PORT" (HOST may be "[v6]"). Throws std::invalid_argument.
RelpTarget ParseRelpUrl(const std::string& url);
// "relp://HOST:PORT" again, an IPv6 address in brackets.
std::string RelpUrl(const RelpTarget& target);

// Checks the files TLS will read before any session needs them: the CA file holds a
// certificate, the collector's certificate and key are readable and belong together. Throws
// std::runtime_error saying which file and what to do.
void CheckTlsFiles(const RelpTarget& target);

// Parses a SHA-256 certificate fingerprint, "SHA256:AB:CD:..." (the prefix, the colons and the
// case are optional: the output of `openssl x509 -fingerprint -sha256` is taken as it is).
// Throws std::invalid_argument.
std::array<unsigned char, 32> ParseFingerprint(const std::string& text);
// "SHA256:AB:CD:...", as ParseFingerprint reads it.
std::string FormatFingerprint(const unsigned char* digest, std::size_t size);

// Messages in flight on the session: sending waits for a reply once this many are unanswered.
inline constexpr int kRelpWindow = 1024;

// What the replies read so far said: transaction numbers with a positive reply.
using RelpReplies = SinkReplies;

class RelpSender {
  public:
    explicit RelpSender(RelpTarget target);
    ~RelpSender();
    RelpSender(const RelpSender&) = delete;
    RelpSender& operator=(const RelpSender&) = delete;

    // Sends one message, opening the session first when none is open, and reads whatever
    // replies have come meanwhile. Returns the message's transaction number, or 0 when the
    // session failed (the reason is in replies().error; the session is dropped, and what was
    // in flight without a positive reply may or may not have arrived).
    int Send(const std::string& message);

    // Closes the session, which reads every reply still due. False when the session failed,
    // now or before.
    bool Close();

    // Drops the session without waiting for anything, after a failure.
    void Abandon();

    bool open() const { return client_ != nullptr; }

    // Opens the session unless one is open: false when it failed (the reason in
    // replies().error).
    bool Connect();

    // How the open session is protected, for the verbose log: "TLS, the receiver's certificate
    // SUBJECT, SHA256:..." or "without TLS".
    std::string Describe() const;

    // The replies read so far; the caller takes the acknowledged numbers it has used, and
    // clears the error before a new session.
    RelpReplies& replies() { return replies_; }

    // The receiver's certificate as the TLS checks of the session being opened saw it.
    struct TlsCheck;

  private:
    bool Open();
    // Adds to the failure in replies().error what an administrator can do about it; `code` is
    // librelp's, `opening` whether the session was being opened.
    void Advise(int code, bool opening);

    RelpTarget target_;
    relpEngine_s* engine_ = nullptr;
    relpClt_s* client_ = nullptr;
    int nextTxnr_ = 0;
    RelpReplies replies_;
    std::string advised_;  // the last failure Advise completed
    std::unique_ptr<TlsCheck> tls_;
};

}  // namespace kx::collect
