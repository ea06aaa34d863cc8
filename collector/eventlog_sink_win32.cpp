// eventlog_sink_win32.cpp: the Windows event log as the collector's sink. Each alert is one
// entry (alert_log_entry.h); an entry the event log service accepted is acknowledged at once, so
// its file goes as soon as the entry is written, and a refusal keeps the file for the next try.
#include <climits>
#include <system_error>

#include "collector/alert_log_entry.h"
#include "collector/collector.h"
#include "collector/utf16_win32.h"
#include "platform/eventlog_ids.h"

namespace kx::collect {

namespace {

WORD EntryType(AlertLogLevel level) {
    switch (level) {
        case AlertLogLevel::Error:
            return EVENTLOG_ERROR_TYPE;
        case AlertLogLevel::Warning:
            return EVENTLOG_WARNING_TYPE;
        case AlertLogLevel::Information:
            break;
    }
    return EVENTLOG_INFORMATION_TYPE;
}

std::string Reason(DWORD error) {
    return std::system_category().message(static_cast<int>(error));
}

class EventLogSink final : public AlertSink {
  public:
    ~EventLogSink() override { Abandon(); }

    const std::string& name() const override { return name_; }
    std::string Settings() const override {
        return "as entries of the source \"" KX_EVENT_SOURCE_ALERTS "\"";
    }

    bool Connect() override {
        if (log_ != nullptr) return true;
        log_ = ::RegisterEventSourceW(nullptr, L"" KX_EVENT_SOURCE_ALERTS);
        if (log_ != nullptr) return true;
        replies_.error = "cannot open the event log: " + Reason(::GetLastError());
        return false;
    }
    bool open() const override { return log_ != nullptr; }

    int Send(const Alert& alert, const AlertOrigin& origin, std::size_t& bytes) override {
        const AlertLogEntry entry = FormatAlertLogEntry(alert, origin);
        std::vector<std::wstring> strings;
        for (const std::string& text : entry.strings) strings.push_back(Wide(text));
        std::vector<LPCWSTR> pointers;
        for (const std::wstring& text : strings) pointers.push_back(text.c_str());
        if (!::ReportEventW(log_, EntryType(entry.level), KX_EVENT_CATEGORY_ALERTING, entry.id,
                            nullptr, static_cast<WORD>(pointers.size()), 0, pointers.data(),
                            nullptr)) {
            replies_.error = "the event log did not take the entry: " + Reason(::GetLastError());
            Abandon();
            return 0;
        }
        bytes = 0;  // nothing is held once the entry is written
        // Numbers stay positive: 0 is a failed send.
        written_ = written_ == INT_MAX ? 1 : written_ + 1;
        replies_.acknowledged.push_back(written_);
        return written_;
    }

    bool Close() override {
        Abandon();
        return replies_.error.empty();
    }
    void Abandon() override {
        if (log_ != nullptr) ::DeregisterEventSource(log_);
        log_ = nullptr;
    }
    std::string Describe() const override {
        return "the Application log, source \"" KX_EVENT_SOURCE_ALERTS "\"";
    }
    SinkReplies& replies() override { return replies_; }

  private:
    std::string name_ = "eventlog";  // as --to names it
    HANDLE log_ = nullptr;
    int written_ = 0;
    SinkReplies replies_;
};

}  // namespace

std::unique_ptr<AlertSink> MakeEventLogSink() {
    return std::make_unique<EventLogSink>();
}

}  // namespace kx::collect
