// relp_sender.cpp: the RELP client on librelp. librelp reports failures (broken session, error
// reply, TLS refusal) through callbacks rather than through the send that caused them, and
// reports positive replies not at all; so the sender records every callback and every reply's
// transaction number, and the caller retires a message only once its number came back positive.
#include "collector/relp_sender.h"

#include <sys/socket.h>

// librelp's header declares C functions without saying so.
extern "C" {
#include <librelp.h>
}

#include <cstdarg>
#include <cstring>
#include <stdexcept>

namespace kx::collect {

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

struct Driving {
    explicit Driving(RelpReplies& replies) { currentReplies = &replies; }
    ~Driving() { currentReplies = nullptr; }
    Driving(const Driving&) = delete;
    Driving& operator=(const Driving&) = delete;
};

void Note(const char* what, const char* message, relpRetVal code) {
    if (currentReplies && currentReplies->error.empty()) {
        currentReplies->error = std::string(what ? what : "relp") + ": " +
                                (message ? message : "") + " (librelp " + std::to_string(code) +
                                ")";
    }
}

void OnError(void*, char* what, char* message, relpRetVal code) {
    Note(what, message, code);
}

void OnGenericError(char* what, char* message, relpRetVal code) {
    Note(what, message, code);
}

// librelp has no per-message acknowledgement callback, and the end of a session tells nothing:
// a "serverclose" hint ends it without any error callback (with messages still unacknowledged
// when the receiver is shutting down), and rsyslog's empty reply to "close" is refused by the
// reply parser just as silently. Its trace hook is the one place where every reply shows, so
// the replies are read there. Should the trace texts ever change, no reply is seen and every
// message stays to be sent again, visibly, rather than any being lost.
void Trace(char* format, ...) {
    if (currentReplies == nullptr || format == nullptr) return;
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

unsigned char* Bytes(std::string& text) {
    return reinterpret_cast<unsigned char*>(text.data());
}

}  // namespace

RelpTarget ParseRelpUrl(const std::string& url) {
    constexpr std::string_view scheme = "relp://";
    if (!url.starts_with(scheme)) throw std::invalid_argument("expected relp://HOST:PORT");
    std::string rest = url.substr(scheme.size());
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    RelpTarget target;
    std::size_t colon;
    if (rest.starts_with('[')) {
        const std::size_t close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':')
            throw std::invalid_argument("expected relp://[ADDRESS]:PORT");
        target.host = rest.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = rest.rfind(':');
        if (colon == std::string::npos) throw std::invalid_argument("relp:// needs a :PORT");
        target.host = rest.substr(0, colon);
    }
    target.port = rest.substr(colon + 1);
    if (target.host.empty()) throw std::invalid_argument("relp:// needs a HOST");
    if (target.port.empty() || target.port.size() > 5 ||
        target.port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(target.port) == 0 || std::stoul(target.port) > 65535)
        throw std::invalid_argument("relp:// needs a PORT from 1 to 65535");
    return target;
}

RelpSender::RelpSender(RelpTarget target) : target_(std::move(target)) {
    if (relpEngineConstruct(&engine_) != RELP_RET_OK)
        throw std::runtime_error("cannot start the RELP engine");
    relpEngineSetDbgprint(engine_, Trace);
    relpEngineSetOnErr(engine_, OnError);
    relpEngineSetOnAuthErr(engine_, OnError);
    relpEngineSetOnGenericErr(engine_, OnGenericError);
    std::string syslog = "syslog";
    relpEngineSetEnableCmd(engine_, Bytes(syslog), eRelpCmdState_Required);
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
    if (target_.tlsCa) {
        std::string ca = *target_.tlsCa;
        std::string mode = "certvalid";
        relpCltEnableTLS(client_);
        relpCltSetCACert(client_, ca.data());
        relpCltSetAuthMode(client_, mode.data());
        if (target_.tlsCert && target_.tlsKey) {
            std::string cert = *target_.tlsCert, key = *target_.tlsKey;
            relpCltSetOwnCert(client_, cert.data());
            relpCltSetPrivKey(client_, key.data());
        }
    }
    std::string port = target_.port, host = target_.host;
    const relpRetVal connected = relpCltConnect(client_, AF_UNSPEC, Bytes(port), Bytes(host));
    if (connected != RELP_RET_OK || !replies_.error.empty()) {
        Note("connect", ("cannot open a RELP session to " + host + ":" + port).c_str(), connected);
        Abandon();
        return false;
    }
    nextTxnr_ = NextTxnr(1);
    return true;
}

int RelpSender::Send(const std::string& message) {
    const Driving driving(replies_);
    if (!replies_.error.empty()) return 0;
    if (!client_ && !Open()) return 0;
    std::string copy = message;
    const relpRetVal result = relpCltSendSyslog(client_, Bytes(copy), copy.size());
    if (result != RELP_RET_OK) Note("send", "the message was not accepted", result);
    if (!replies_.error.empty()) {
        Abandon();
        return 0;
    }
    const int txnr = nextTxnr_;
    nextTxnr_ = NextTxnr(nextTxnr_);
    return txnr;
}

bool RelpSender::Close() {
    const Driving driving(replies_);
    // Closing sends "close" and reads until its reply: every reply to the messages, which come
    // before it, has been read by then.
    if (client_) relpEngineCltDestruct(engine_, &client_);
    client_ = nullptr;
    return replies_.error.empty();
}

void RelpSender::Abandon() {
    if (!client_) return;
    const Driving driving(replies_);
    relpEngineCltDestruct(engine_, &client_);
    client_ = nullptr;
}

}  // namespace kx::collect
