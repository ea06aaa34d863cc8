// relp_sender.cpp: the RELP client on librelp. librelp reports failures (broken session, error
// reply, TLS refusal) through callbacks rather than through the send that caused them, and
// reports positive replies not at all; so each batch records every callback and counts the
// replies, and is acknowledged only when every message had one and no callback came.
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

// Seconds librelp waits for a reply, and for the connection, before it calls the session broken.
constexpr unsigned kReplyTimeout = 10;
constexpr int kConnectTimeout = 5;

// The batch being sent; the collector sends one batch at a time on one thread.
struct BatchErrors {
    std::string first;
    // Positive replies to the messages: a session numbers "open" 1, the messages 2 to N + 1,
    // and "close" N + 2, whose reply some receivers give and others do not.
    std::size_t acknowledged = 0;
    int lastMessageTxnr = 1;
    void Note(const char* what, const char* message, relpRetVal code) {
        if (first.empty()) {
            first = std::string(what ? what : "relp") + ": " + (message ? message : "") +
                    " (librelp " + std::to_string(code) + ")";
        }
    }
};
thread_local BatchErrors* currentBatch = nullptr;

void OnError(void*, char* what, char* message, relpRetVal code) {
    if (currentBatch) currentBatch->Note(what, message, code);
}

void OnGenericError(char* what, char* message, relpRetVal code) {
    if (currentBatch) currentBatch->Note(what, message, code);
}

// librelp has no per-message acknowledgement callback, and the end of a session tells nothing:
// a "serverclose" hint ends it without any error callback (with messages still unacknowledged
// when the receiver is shutting down), and rsyslog's empty reply to "close" is refused by the
// reply parser just as silently. Its trace hook is the one place where every positive reply
// shows, so the batch counts them there. Should the trace texts ever change, no reply is
// counted and every batch fails visibly rather than losing alerts silently.
void Trace(char* format, ...) {
    if (currentBatch == nullptr || format == nullptr) return;
    if (std::strncmp(format, "in rsp command handler, txnr %d, code %d", 40) == 0) {
        va_list args;
        va_start(args, format);
        const int txnr = va_arg(args, int);
        const int code = va_arg(args, int);
        va_end(args);
        if (code == 200 && txnr >= 2 && txnr <= currentBatch->lastMessageTxnr)
            ++currentBatch->acknowledged;
    }
}

// A client of the engine, destroyed (which sends "close" and waits for its reply) at scope end.
class Client {
  public:
    explicit Client(relpEngine_t* engine) : engine_(engine) {
        if (relpEngineCltConstruct(engine_, &client_) != RELP_RET_OK) client_ = nullptr;
    }
    ~Client() { Close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    relpClt_t* get() const { return client_; }
    void Close() {
        if (client_) relpEngineCltDestruct(engine_, &client_);
        client_ = nullptr;
    }

  private:
    relpEngine_t* engine_;
    relpClt_t* client_ = nullptr;
};

std::string Mutable(const std::string& text) {
    return text;
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
    relpEngineSetEnableCmd(engine_, reinterpret_cast<unsigned char*>(const_cast<char*>("syslog")),
                           eRelpCmdState_Required);
}

RelpSender::~RelpSender() {
    if (engine_) relpEngineDestruct(&engine_);
}

bool RelpSender::SendBatch(const std::vector<std::string>& messages, std::string& error) {
    BatchErrors errors;
    errors.lastMessageTxnr = static_cast<int>(messages.size()) + 1;
    currentBatch = &errors;
    struct Reset {
        ~Reset() { currentBatch = nullptr; }
    } reset;
    bool sent = true;
    {
        Client client(engine_);
        if (client.get() == nullptr) {
            error = "cannot create a RELP client";
            return false;
        }
        relpCltSetTimeout(client.get(), kReplyTimeout);
        relpCltSetConnTimeout(client.get(), kConnectTimeout);
        relpCltSetWindowSize(client.get(), static_cast<int>(kMaxBatch + 8));
        if (target_.tlsCa) {
            std::string ca = Mutable(*target_.tlsCa);
            std::string mode = "certvalid";
            relpCltEnableTLS(client.get());
            relpCltSetCACert(client.get(), ca.data());
            relpCltSetAuthMode(client.get(), mode.data());
            if (target_.tlsCert && target_.tlsKey) {
                std::string cert = Mutable(*target_.tlsCert), key = Mutable(*target_.tlsKey);
                relpCltSetOwnCert(client.get(), cert.data());
                relpCltSetPrivKey(client.get(), key.data());
            }
        }
        std::string port = target_.port, host = target_.host;
        const relpRetVal connected =
            relpCltConnect(client.get(), AF_UNSPEC, reinterpret_cast<unsigned char*>(port.data()),
                           reinterpret_cast<unsigned char*>(host.data()));
        if (connected != RELP_RET_OK) {
            errors.Note("connect", ("cannot open a RELP session to " + host + ":" + port).c_str(),
                        connected);
            sent = false;
        }
        for (std::size_t i = 0; sent && i < messages.size(); ++i) {
            std::string copy = messages[i];
            const relpRetVal result = relpCltSendSyslog(
                client.get(), reinterpret_cast<unsigned char*>(copy.data()), copy.size());
            if (result != RELP_RET_OK) {
                errors.Note("send", "the message was not accepted", result);
                sent = false;
            }
        }
        // Closing sends "close" and reads until its reply: every reply to the messages, which
        // come before it, has been seen by then.
        if (sent) client.Close();
    }
    if (!sent || !errors.first.empty()) {
        error = errors.first.empty() ? "the RELP session failed" : errors.first;
        return false;
    }
    if (errors.acknowledged != messages.size()) {
        error = "the receiver acknowledged " + std::to_string(errors.acknowledged) + " of " +
                std::to_string(messages.size()) + " messages";
        return false;
    }
    return true;
}

}  // namespace kx::collect
