// fwd_syslog.cpp: the export of FwdSyslog.DLL. KXEvent.DLL loads the module for each send,
// calls ForwardVELMessage once with the send's records and unloads it again.
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

int Forward(uint32_t productId, int32_t eventId, const MessageRecord& message,
            const DetailRecord& detail) {
    kx::fwd::SyslogSettings settings;
    std::string problem;
    if (!kx::fwd::ReadSyslogSettings(settings, problem)) {
        LogFailure("syslog forwarding is misconfigured: " + problem);
        return 1;
    }
    kx::fwd::MessageHeader header;
    header.facility = settings.facility;
    header.appName = settings.appName;
    header.procId = kx::fwd::ProcessIdText();
    const std::string text = kx::fwd::FormatMessage(productId, eventId, message, detail, header,
                                                    kx::plat::GetCalendarTime(false));
    if (!kx::fwd::SendSyslogMessage(settings, text, problem)) {
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
