// relp_sender.cpp: the RELP client on librelp. librelp reports failures (broken session, error
// reply, TLS refusal) through callbacks rather than through the send that caused them, and
// reports positive replies not at all; so the sender records every callback and every reply's
// transaction number, and the caller retires a message only once its number came back positive.
//
// TLS runs on librelp's OpenSSL backend, and the receiver's certificate is checked here, in
// OpenSSL's verification of the handshake: librelp's own modes fall short on the client side.
// On its GnuTLS backend "certvalid" checks nothing and "name" checks neither the purpose nor IP
// addresses; on the OpenSSL backend "name" checks no IP address either, and without a
// certificate of the collector's own every mode is dropped to anonymous TLS.
#include "collector/relp_sender.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>

// librelp's header declares C functions without saying so.
extern "C" {
#include <librelp.h>
}

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "common/fd.h"

namespace kx::collect {

// The session being opened, as its TLS checks see it.
struct RelpSender::TlsCheck {
    const RelpTarget* target = nullptr;
    SSL* session = nullptr;  // librelp's, handed over before its handshake
    bool verified = false;   // the receiver's certificate passed every check
    bool orphaned = false;   // librelp's TLS set-up failed and left the session to us
};

namespace {

// Seconds librelp waits for a reply (or for room in the window), and for the connection, before
// it calls the session broken.
constexpr unsigned kReplyTimeout = 10;
constexpr int kConnectTimeout = 5;

// librelp numbers a session's commands from 1 ("open") and wraps after 999,999,999.
int NextTxnr(int txnr) {
    return txnr > 999999999 ? 1 : txnr + 1;
}

// The replies of the session being driven; the collector drives one session on one thread, and
// librelp's hooks carry no pointer of ours.
thread_local RelpReplies* currentReplies = nullptr;
thread_local RelpSender::TlsCheck* currentTls = nullptr;
// librelp's code for the failure noted first while driving, for the advice added to it.
thread_local relpRetVal notedCode = RELP_RET_OK;

struct Driving {
    Driving(RelpReplies& replies, RelpSender::TlsCheck* tls) {
        currentReplies = &replies;
        currentTls = tls;
        notedCode = RELP_RET_OK;
    }
    ~Driving() {
        currentReplies = nullptr;
        currentTls = nullptr;
    }
    Driving(const Driving&) = delete;
    Driving& operator=(const Driving&) = delete;
};

void Note(const char* what, const char* message, relpRetVal code) {
    if (currentReplies && currentReplies->error.empty()) {
        // librelp's texts may end in a newline or hold tabs: one log line each.
        std::string text = message ? message : "";
        while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
            text.pop_back();
        for (char& c : text) {
            if (static_cast<unsigned char>(c) < 0x20) c = ' ';
        }
        currentReplies->error = std::string(what ? what : "relp") + ": " + text + " (librelp " +
                                std::to_string(code) + ")";
        notedCode = code;
    }
}

void OnError(void*, char* what, char* message, relpRetVal code) {
    Note(what, message, code);
}

void OnGenericError(char* what, char* message, relpRetVal code) {
    Note(what, message, code);
}

// The first failure of a TLS check, named by the check: "TLS name check failed: ...".
void RefuseTls(const std::string& check, const std::string& why) {
    if (currentReplies && currentReplies->error.empty())
        currentReplies->error = "TLS " + check + " check failed: " + why;
}

// Certificate texts come from the receiver: nothing but printable ASCII reaches the log.
std::string Printable(std::string text) {
    for (char& c : text) {
        if (c < 0x20 || c > 0x7e) c = '?';
    }
    return text;
}

std::string Subject(X509* cert) {
    if (cert == nullptr) return "(none)";
    BIO* memory = BIO_new(BIO_s_mem());
    if (memory == nullptr) return "(unknown)";
    X509_NAME_print_ex(memory, X509_get_subject_name(cert), 0, XN_FLAG_RFC2253);
    char* data = nullptr;
    const long size = BIO_get_mem_data(memory, &data);
    std::string text = size > 0 ? std::string(data, static_cast<std::size_t>(size)) : "(empty)";
    BIO_free(memory);
    return Printable(std::move(text));
}

// "DNS:localhost, IP:127.0.0.1": the names a certificate is for.
std::string NamesOf(X509* cert) {
    auto* names =
        static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
    std::string text;
    for (int i = 0; names && i < sk_GENERAL_NAME_num(names); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, i);
        std::string one;
        if (name->type == GEN_DNS) {
            const ASN1_STRING* dns = name->d.dNSName;
            one = "DNS:" +
                  Printable(std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(dns)),
                                        static_cast<std::size_t>(ASN1_STRING_length(dns))));
        } else if (name->type == GEN_IPADD) {
            const ASN1_OCTET_STRING* ip = name->d.iPAddress;
            const int length = ASN1_STRING_length(ip);
            char shown[INET6_ADDRSTRLEN] = "?";
            if (length == 4 || length == 16)
                ::inet_ntop(length == 4 ? AF_INET : AF_INET6, ASN1_STRING_get0_data(ip), shown,
                            sizeof shown);
            one = std::string("IP:") + shown;
        }
        if (one.empty()) continue;
        text += (text.empty() ? "" : ", ") + one;
    }
    GENERAL_NAMES_free(names);
    return text.empty() ? "no DNS name or IP address (subject " + Subject(cert) + ")" : text;
}

bool IsAddress(const std::string& name) {
    unsigned char address[16];
    return ::inet_pton(AF_INET, name.c_str(), address) == 1 ||
           ::inet_pton(AF_INET6, name.c_str(), address) == 1;
}

// Whether the certificate's subject alternative names hold `name`: an IP address as an IP
// address, a DNS name with the usual wildcard rules; the subject's CN is not looked at.
bool Names(X509* cert, const std::string& name) {
    if (IsAddress(name)) return X509_check_ip_asc(cert, name.c_str(), 0) == 1;
    return X509_check_host(
               cert, name.data(), name.size(),
               X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT,
               nullptr) == 1;
}

// The receiver's own certificate, once its chain, validity and purpose passed: its names, or
// its fingerprint when fingerprints are pinned.
bool CheckReceiver(const RelpTarget& target, X509* cert) {
    if (!target.tlsFingerprints.empty()) {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        if (X509_digest(cert, EVP_sha256(), digest, &size) != 1 || size != 32) {
            RefuseTls("fingerprint",
                      "cannot compute the fingerprint of the receiver's certificate");
            return false;
        }
        for (const auto& pinned : target.tlsFingerprints) {
            if (std::memcmp(pinned.data(), digest, 32) == 0) return true;
        }
        RefuseTls("fingerprint", "the receiver's certificate " + Subject(cert) + " is " +
                                     FormatFingerprint(digest, size) +
                                     ", none of the --tls-pin ones; pin that one if it is the "
                                     "receiver's new certificate");
        return false;
    }
    if (Names(cert, target.host)) return true;
    std::string accepted = target.host + " (--to)";
    for (const std::string& peer : target.tlsPeers) {
        if (Names(cert, peer)) return true;
        accepted += ", " + peer;
    }
    RefuseTls("name", "the receiver's certificate is for " + NamesOf(cert) + ", not for " +
                          accepted + "; --tls-peer NAME accepts another name");
    return false;
}

// OpenSSL's verification of the receiver's chain, with our checks on its last step.
int VerifyReceiver(int ok, X509_STORE_CTX* store) {
    RelpSender::TlsCheck* check = currentTls;
    if (check == nullptr) return 0;
    X509* cert = X509_STORE_CTX_get_current_cert(store);
    const int depth = X509_STORE_CTX_get_error_depth(store);
    if (!ok) {
        const int error = X509_STORE_CTX_get_error(store);
        const std::string which =
            depth == 0 ? "the receiver's certificate " + Subject(cert)
                       : "the certificate " + Subject(cert) + " of the receiver's chain";
        const std::string reason = X509_verify_cert_error_string(error);
        switch (error) {
            case X509_V_ERR_INVALID_PURPOSE:
                RefuseTls("purpose", which + " is not meant for a TLS server (" + reason +
                                         ": its extended key usage lacks serverAuth); give the "
                                         "receiver a server certificate");
                break;
            case X509_V_ERR_CERT_NOT_YET_VALID:
            case X509_V_ERR_CERT_HAS_EXPIRED:
                RefuseTls("validity",
                          which + ": " + reason + "; renew it, or correct this machine's clock");
                break;
            default:
                RefuseTls("chain", which + " does not chain to the CA of --tls-ca " +
                                       check->target->tlsCa.value_or("") + " (" + reason +
                                       "); give as --tls-ca the CA that signed the receiver's "
                                       "certificate");
        }
        return 0;
    }
    if (depth != 0) return 1;
    if (!CheckReceiver(*check->target, cert)) {
        X509_STORE_CTX_set_error(store, X509_V_ERR_APPLICATION_VERIFICATION);
        return 0;
    }
    check->verified = true;
    return 1;
}

// librelp creates the OpenSSL session of a connection and starts its handshake without a way
// to reach it but this trace; there the verification above is put in place of librelp's. A
// session that never shows here is not believed (RelpSender::Open refuses it).
constexpr char kHandshakeTrace[] = "relpTcpRtryHandshake: Starting TLS Handshake for ssl[%p]";

void TakeTlsSession(SSL* session) {
    RelpSender::TlsCheck* check = currentTls;
    if (check == nullptr || session == nullptr || SSL_is_server(session)) return;
    if (check->session == session) return;  // a handshake taken up again
    check->session = session;
    check->verified = false;
    SSL_set_purpose(session, X509_PURPOSE_SSL_SERVER);
    SSL_set_verify(session, SSL_VERIFY_PEER, VerifyReceiver);
}

// librelp does not free the OpenSSL session of a connection whose TLS set-up failed (some
// 100 KiB a refused attempt); it has closed the socket already and dropped one of the two
// references the session holds on the socket's BIO. Freed here without touching the descriptor,
// which may be in use again, and without librelp's callbacks.
constexpr char kTlsSetUpEndTrace[] = "relpTcpConnectTLSInit: END iRet = %d, pThis=[%p]";

void FreeOrphanedSession(SSL* session) {
    BIO* socket = SSL_get_rbio(session);
    if (socket != nullptr) {
        // librelp's trace callback on the BIO points to its connection object, gone by now.
        BIO_set_callback_ex(socket, nullptr);
        BIO_set_callback_arg(socket, nullptr);
        BIO_set_close(socket, BIO_NOCLOSE);
        if (socket == SSL_get_wbio(session)) BIO_up_ref(socket);
    }
    SSL_free(session);
}

// librelp has no per-message acknowledgement callback, and the end of a session tells nothing:
// a "serverclose" hint ends it without any error callback (with messages still unacknowledged
// when the receiver is shutting down), and rsyslog's empty reply to "close" is refused by the
// reply parser just as silently. Its trace hook is the one place where every reply shows, so
// the replies are read there. Should the trace texts ever change, no reply is seen and every
// message stays to be sent again, visibly, rather than any being lost.
void Trace(char* format, ...) {
    if (currentReplies == nullptr || format == nullptr) return;
    if (currentTls && std::strncmp(format, kHandshakeTrace, sizeof kHandshakeTrace - 1) == 0) {
        va_list args;
        va_start(args, format);
        void* session = va_arg(args, void*);
        va_end(args);
        TakeTlsSession(static_cast<SSL*>(session));
        return;
    }
    if (currentTls && std::strncmp(format, kTlsSetUpEndTrace, sizeof kTlsSetUpEndTrace - 1) == 0) {
        va_list args;
        va_start(args, format);
        const int result = va_arg(args, int);
        va_end(args);
        if (result != RELP_RET_OK && currentTls->session != nullptr) currentTls->orphaned = true;
        return;
    }
    if (std::strncmp(format, "in rsp command handler, txnr %d, code %d", 40) == 0) {
        va_list args;
        va_start(args, format);
        const int txnr = va_arg(args, int);
        const int code = va_arg(args, int);
        va_end(args);
        if (code == 200) {
            currentReplies->acknowledged.push_back(txnr);
        } else if (txnr != 1) {
            Note("reply",
                 ("the receiver refused transaction " + std::to_string(txnr) + " with code " +
                  std::to_string(code))
                     .c_str(),
                 RELP_RET_OK);
        }
    }
}

// After librelp could not open a session, whether anything accepts a TCP connection at the
// receiver's address: 0 when something does, else errno, or the resolver's error negated.
int Probe(const std::string& host, const std::string& port) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int resolved = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (resolved != 0) return resolved < 0 ? resolved : -resolved;
    int result = ECONNREFUSED;
    for (const addrinfo* at = found; at != nullptr && result != 0; at = at->ai_next) {
        const Fd socket(::socket(at->ai_family, at->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                                 at->ai_protocol));
        if (!socket) continue;
        if (::connect(socket.get(), at->ai_addr, at->ai_addrlen) == 0) {
            result = 0;
            break;
        }
        if (errno != EINPROGRESS) {
            result = errno;
            continue;
        }
        pollfd wait{socket.get(), POLLOUT, 0};
        int error = ETIMEDOUT;
        socklen_t size = sizeof error;
        if (::poll(&wait, 1, kConnectTimeout * 1000) == 1)
            ::getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &error, &size);
        result = error;
    }
    ::freeaddrinfo(found);
    return result;
}

unsigned char* Bytes(std::string& text) {
    return reinterpret_cast<unsigned char*>(text.data());
}

}  // namespace

RelpSender::RelpSender(RelpTarget target) : target_(std::move(target)) {
    if (relpEngineConstruct(&engine_) != RELP_RET_OK)
        throw std::runtime_error("cannot start the RELP engine");
    relpEngineSetDbgprint(engine_, Trace);
    relpEngineSetOnErr(engine_, OnError);
    relpEngineSetOnAuthErr(engine_, OnError);
    relpEngineSetOnGenericErr(engine_, OnGenericError);
    std::string syslog = "syslog";
    relpEngineSetEnableCmd(engine_, Bytes(syslog), eRelpCmdState_Required);
    if (target_.tlsCa) {
        if (relpEngineSetTLSLibByName(engine_, "openssl") != RELP_RET_OK) {
            relpEngineDestruct(&engine_);
            throw std::runtime_error("librelp has no OpenSSL backend, which TLS needs here");
        }
        tls_ = std::make_unique<TlsCheck>();
        tls_->target = &target_;
    }
}

RelpSender::~RelpSender() {
    Abandon();
    if (engine_) relpEngineDestruct(&engine_);
}

bool RelpSender::Open() {
    if (relpEngineCltConstruct(engine_, &client_) != RELP_RET_OK) {
        client_ = nullptr;
        Note("client", "cannot create a RELP client", RELP_RET_OUT_OF_MEMORY);
        return false;
    }
    relpCltSetTimeout(client_, kReplyTimeout);
    relpCltSetConnTimeout(client_, kConnectTimeout);
    relpCltSetWindowSize(client_, kRelpWindow);
    // librelp keeps its own copies of these texts.
    if (tls_) {
        std::string ca = *target_.tlsCa;
        std::string mode = "certvalid";
        // Without a certificate of the collector's own, librelp would otherwise offer
        // anonymous cipher suites, where the receiver shows no certificate at all.
        std::string ciphers = "DEFAULT";
        relpCltEnableTLS(client_);
        relpCltSetCACert(client_, ca.data());
        relpCltSetAuthMode(client_, mode.data());
        relpCltSetGnuTLSPriString(client_, ciphers.data());
        tls_->session = nullptr;
        tls_->verified = false;
        tls_->orphaned = false;
        if (target_.tlsCert && target_.tlsKey) {
            std::string cert = *target_.tlsCert, key = *target_.tlsKey;
            relpCltSetOwnCert(client_, cert.data());
            relpCltSetPrivKey(client_, key.data());
        }
    }
    std::string port = target_.port, host = target_.host;
    const relpRetVal connected = relpCltConnect(client_, AF_UNSPEC, Bytes(port), Bytes(host));
    if (tls_ && tls_->orphaned) {
        FreeOrphanedSession(tls_->session);
        tls_->session = nullptr;
        tls_->orphaned = false;
    }
    if (connected != RELP_RET_OK || !replies_.error.empty()) {
        Note("connect", ("cannot open a RELP session to " + host + ":" + port).c_str(), connected);
        Advise(connected, true);
        Abandon();
        return false;
    }
    if (tls_ &&
        !(tls_->session && tls_->verified && SSL_get_verify_result(tls_->session) == X509_V_OK &&
          SSL_get0_peer_certificate(tls_->session) != nullptr)) {
        RefuseTls("certificate",
                  "the receiver's certificate could not be checked (librelp did "
                  "not hand its TLS session over); not sending to it");
        Abandon();
        return false;
    }
    nextTxnr_ = NextTxnr(1);
    return true;
}

int RelpSender::Send(const std::string& message) {
    const Driving driving(replies_, tls_.get());
    if (!replies_.error.empty()) return 0;
    if (!client_ && !Open()) return 0;
    std::string copy = message;
    const relpRetVal result = relpCltSendSyslog(client_, Bytes(copy), copy.size());
    if (result != RELP_RET_OK) Note("send", "the message was not accepted", result);
    if (!replies_.error.empty()) {
        Advise(result, false);
        Abandon();
        return 0;
    }
    const int txnr = nextTxnr_;
    nextTxnr_ = NextTxnr(nextTxnr_);
    return txnr;
}

bool RelpSender::Close() {
    const Driving driving(replies_, tls_.get());
    // Closing sends "close" and reads until its reply: every reply to the messages, which come
    // before it, has been read by then.
    if (client_) relpEngineCltDestruct(engine_, &client_);
    client_ = nullptr;
    if (!replies_.error.empty()) Advise(RELP_RET_SESSION_BROKEN, false);
    return replies_.error.empty();
}

bool RelpSender::Connect() {
    const Driving driving(replies_, tls_.get());
    if (!replies_.error.empty()) return false;
    return client_ != nullptr || Open();
}

std::string RelpSender::Describe() const {
    if (!tls_) return "without TLS";
    X509* cert = tls_->session ? SSL_get0_peer_certificate(tls_->session) : nullptr;
    if (cert == nullptr) return "TLS";
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    std::string text = "TLS, the receiver's certificate " + Subject(cert);
    if (X509_digest(cert, EVP_sha256(), digest, &size) == 1)
        text += ", " + FormatFingerprint(digest, size);
    return text;
}

void RelpSender::Advise(int code, bool opening) {
    std::string& error = replies_.error;
    // The TLS checks say themselves what to do; a failure is advised once.
    if (error.empty() || error.starts_with("TLS ") || error == advised_) return;
    if (notedCode != RELP_RET_OK) code = notedCode;
    const std::string where = target_.host + ":" + target_.port;
    const bool tlsUp = tls_ && tls_->verified;
    std::string advice;
    if (opening && error.find("waiting on required session state") != std::string::npos) {
        advice = "the receiver did not answer the session's opening within " +
                 std::to_string(kReplyTimeout) + " s: what listens at " + where +
                 " is no RELP receiver, or it is stalled";
    } else if (error.find("refused transaction") != std::string::npos) {
        advice = "the receiver's log says why (a message beyond its maxDataSize, a full queue)";
    } else if (error.find("could not be accessed") != std::string::npos) {
        advice =
            "check the files of --tls-ca, --tls-cert and --tls-key: PEM, readable by the "
            "collector's user";
    } else if (opening && code == RELP_RET_IO_ERR) {
        const int probed = Probe(target_.host, target_.port);
        if (probed < 0) {
            advice = target_.host + " does not resolve (" + ::gai_strerror(-probed) +
                     "): correct the host of --to or the resolver's configuration";
        } else if (probed == 0) {
            advice = "something accepts connections at " + where +
                     " but does not answer as a RELP receiver: point --to at rsyslog's imrelp "
                     "input";
        } else {
            advice = "cannot connect to " + where + " (" + std::generic_category().message(probed) +
                     "): start the receiver (rsyslog's imrelp input on port " + target_.port +
                     ") or correct --to; a firewall may be in the way";
        }
    } else if (code == RELP_RET_TIMED_OUT) {
        advice = "the receiver did not answer within " + std::to_string(kReplyTimeout) +
                 " s: it is overloaded or stalled, or what listens at " + where +
                 " is no RELP receiver";
    } else if (code == RELP_RET_INCOMPAT_OFFERS || code == RELP_RET_RQD_FEAT_MISSING ||
               code == RELP_RET_INVALID_RSPHDR || code == RELP_RET_INVALID_FRAME) {
        advice = "what listens at " + where +
                 " is no RELP receiver of syslog messages: point --to at rsyslog's imrelp input";
    } else if (opening && tls_ && !tlsUp) {
        advice = "the TLS handshake failed: the receiver does not use TLS on port " + target_.port +
                 " (leave out --tls-ca, or point --to at its TLS input), or takes no TLS version "
                 "the collector offers (its log says which)";
    } else if (opening && tlsUp && !target_.tlsCert) {
        advice =
            "the receiver ended the TLS session after its certificate was accepted: it "
            "wants a certificate of the collector's own, signed by its CA; give --tls-cert "
            "and --tls-key";
    } else if (opening && tlsUp) {
        advice =
            "the receiver ended the TLS session after its certificate was accepted: it "
            "refuses the collector's certificate " +
            *target_.tlsCert +
            ": it must be signed by the CA of the receiver's tls.caCert, allow clientAuth "
            "and match its tls.permittedPeer, if any";
    } else if (opening && error.find("server closed relp session") != std::string::npos) {
        advice =
            "the receiver closed the session at once: it uses TLS (give --tls-ca) or "
            "refuses this machine; its log says which";
    } else if (opening && code == RELP_RET_SESSION_BROKEN) {
        advice = "the receiver ended the session while it was being opened; its log says why";
    } else if (code == RELP_RET_SESSION_BROKEN || code == RELP_RET_IO_ERR ||
               code == RELP_RET_SESSION_CLOSED) {
        advice =
            "the receiver went away mid-session (stopped, restarted or cut off); what it "
            "did not acknowledge is sent again";
    }
    if (!advice.empty()) error += "; " + advice;
    advised_ = error;
}

void RelpSender::Abandon() {
    if (!client_) return;
    const Driving driving(replies_, tls_.get());
    relpEngineCltDestruct(engine_, &client_);
    client_ = nullptr;
}

}  // namespace kx::collect
