// fwd_syslog.cpp: the export of FwdSyslog.DLL. KXEvent.DLL loads the module for each send,
// calls ForwardVELMessage once with the send's records and unloads it again.
#include <mutex>
#include <set>
#include <string>

#include "forwarders/syslog/syslog_message.h"
#include "forwarders/syslog/syslog_settings.h"
#include "forwarders/syslog/syslog_transport.h"
#include "kxevent/kxevent.h"
#include "platform/platform.h"

namespace {

constexpr char kLogSource[] = "FwdSyslog";

void LogFailure(const std::string& text) {
    kx::plat::AddEventLogEntry(kLogSource, kLogSource, 0, 0, text.c_str());
}

// A bad setting stays bad for every send until someone fixes it: each distinct problem is
// logged once, and the module stays mapped so that the memory of it outlives this send.
void LogMisconfigurationOnce(const std::string& problem) {
    static std::mutex guard;
    static std::set<std::string> reported;
    {
        const std::lock_guard lock(guard);
        if (!reported.insert(problem).second) return;
    }
    kx::fwd::KeepModuleLoaded();
    LogFailure("syslog forwarding is misconfigured: " + problem);
}

// Local: the journal's native protocol when its socket is there, else (or when the journal
// refuses it) the traditional form on the syslog socket. Network: RFC 5424.
bool Send(const kx::fwd::SyslogSettings& settings, uint32_t productId, int32_t eventId,
          const MessageRecord& message, const DetailRecord& detail,
          const kx::fwd::MessageHeader& header, std::string& problem) {
    using namespace kx::fwd;
    if (settings.transport != Transport::Local) {
        return SendSyslogMessage(settings,
                                 FormatMessage(productId, eventId, message, detail, header,
                                               kx::plat::GetCalendarTime(false)),
                                 problem);
    }
    std::string journalProblem;
    if (JournalSocketPresent(settings.journalSocketPath)) {
        if (SendJournalEntry(settings.journalSocketPath,
                             FormatJournalEntry(productId, eventId, message, detail, header),
                             journalProblem)) {
            return true;
        }
        journalProblem += "; ";
    }
    if (SendSyslogMessage(
            settings,
            FormatTraditionalMessage(eventId, message, header, kx::plat::GetCalendarTime(true)),
            problem)) {
        return true;
    }
    problem = journalProblem + problem;
    return false;
}

int Forward(uint32_t productId, int32_t eventId, const MessageRecord& message,
            const DetailRecord& detail) {
    kx::fwd::SyslogSettings settings;
    std::string problem;
    if (!kx::fwd::ReadSyslogSettings(settings, problem)) {
        LogMisconfigurationOnce(problem);
        return 1;
    }
    kx::fwd::MessageHeader header;
    header.facility = settings.facility;
    header.appName = settings.appName;
    header.procId = kx::fwd::ProcessIdText();
    header.enterpriseNumber = settings.enterpriseNumber;
    if (!Send(settings, productId, eventId, message, detail, header, problem)) {
        LogFailure("event " + std::to_string(eventId) + " not sent to syslog: " + problem);
        return 1;
    }
    return 0;
}

}  // namespace

// Result 0 when the message went out; the library ignores it. Null records are refused.
extern "C" KX_EXPORT int KX_API ForwardVELMessage(uint32_t uProductID, int32_t uEventID,
                                                  MessageRecord* pMessage, DetailRecord* pDetail,
                                                  ContextRecord* /*pContext*/) {
    if (pMessage == nullptr || pDetail == nullptr) return 1;
    try {
        return Forward(uProductID, uEventID, *pMessage, *pDetail);
    } catch (...) {
        return 1;
    }
}
