// fwd_syslog.cpp: the export of FwdSyslog.DLL. KXEvent.DLL loads the module for each send,
// calls ForwardVELMessage once with the send's records and unloads it again. The sending itself,
// bounded in time, is syslog_forwarder.h's.
#include <chrono>
#include <mutex>
#include <set>
#include <string>

#include "forwarders/syslog/syslog_forwarder.h"
#include "forwarders/syslog/syslog_message.h"
#include "forwarders/syslog/syslog_settings.h"
#include "forwarders/syslog/syslog_transport.h"
#include "kxevent/kxevent.h"
#include "platform/eventlog_ids.h"
#include "platform/platform.h"

namespace {

constexpr char kLogSource[] = KX_EVENT_SOURCE_SYSLOG;

void Log(std::uint32_t kind, const std::string& text) {
    kx::plat::AddEventLogEntry(kLogSource, kLogSource, kind, 0, text.c_str());
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
    Log(kx::fwd::Forwarder::kLogFailure, "syslog forwarding is misconfigured: " + problem);
}

// What the module keeps across sends: the back-off and failure episodes of its targets and its
// name look-ups. The module is unloaded after every send; once this holds anything, the module
// stays mapped until the process ends, so that it survives (and so does the code of a look-up
// thread still running).
kx::fwd::Forwarder& Forwarder() {
    static kx::fwd::Forwarder forwarder(Log, std::chrono::steady_clock::now,
                                        kx::fwd::KeepModuleLoaded);
    return forwarder;
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
    return Forwarder().Forward(settings, productId, eventId, message, detail, header) ? 0 : 1;
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
