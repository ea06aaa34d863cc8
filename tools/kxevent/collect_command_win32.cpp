// collect_command_win32.cpp: the process around the collector on Windows: Ctrl+C, or the
// service manager's stop, ends it once the entry being written is written; as the service
// kxevent-collect its log lines go to the event log.
#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "platform/eventlog_ids.h"
#include "tools/admin/errors.h"
#include "tools/kxevent/collect_command.h"
#include "tools/kxevent/commands.h"
#include "tools/kxevent/terminal.h"

namespace kx::tool {

namespace {

std::atomic<bool> stopRequested{false};

BOOL WINAPI OnConsoleControl(DWORD) {
    stopRequested = true;
    return TRUE;
}

// One line of the collector's log as an entry of the service's own source.
void LogToEventLog(const std::string& line, WORD type) {
    const HANDLE log = ::RegisterEventSourceA(nullptr, KX_EVENT_SOURCE_TRACE);
    if (log == nullptr) return;
    const char* strings[] = {line.c_str()};
    ::ReportEventA(log, type, KX_EVENT_CATEGORY_ALERTING, KX_EVENT_ID_COLLECTOR, nullptr, 1, 0,
                   strings, nullptr);
    ::DeregisterEventSource(log);
}

std::vector<std::unique_ptr<collect::AlertSink>> EventLog() {
    std::vector<std::unique_ptr<collect::AlertSink>> sinks;
    sinks.push_back(collect::MakeEventLogSink());
    return sinks;
}

// The service: what ServiceMain runs, and how far it got.
struct Service {
    CollectCommand command;
    SERVICE_STATUS_HANDLE handle = nullptr;
    SERVICE_STATUS status{};
    int result = kExitFailure;
    std::mutex mutex;  // the control handler reports from a thread of its own

    void Report(DWORD state, DWORD waitHint = 0) {
        const std::lock_guard lock(mutex);
        status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        status.dwCurrentState = state;
        status.dwControlsAccepted =
            state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
        status.dwWaitHint = waitHint;
        if (state == SERVICE_STOPPED && result != kExitOk) {
            status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
            status.dwServiceSpecificExitCode = static_cast<DWORD>(result);
        }
        ++status.dwCheckPoint;
        ::SetServiceStatus(handle, &status);
    }
};
Service* service = nullptr;  // the one the dispatcher runs

DWORD WINAPI OnServiceControl(DWORD control, DWORD, void*, void*) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            stopRequested = true;
            service->Report(SERVICE_STOP_PENDING, 30000);
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
    service->handle =
        ::RegisterServiceCtrlHandlerExW(L"" KX_COLLECT_SERVICE_NAME, OnServiceControl, nullptr);
    if (service->handle == nullptr) return;
    service->Report(SERVICE_START_PENDING, 30000);
    const collect::LogFn log = [](const std::string& line) {
        LogToEventLog(line, EVENTLOG_INFORMATION_TYPE);
    };
    try {
        CompleteFromRegistry(service->command.options);
        service->Report(SERVICE_RUNNING);
        service->result =
            RunCollector(std::move(service->command), EventLog(), stopRequested, log, nullptr);
    } catch (const std::exception& error) {
        LogToEventLog(std::string("the service stopped: ") + error.what(), EVENTLOG_ERROR_TYPE);
        service->result = kExitFailure;
    }
    service->Report(SERVICE_STOPPED);
}

int RunService(CollectCommand command) {
    Service running;
    running.command = std::move(command);
    service = &running;
    wchar_t name[] = L"" KX_COLLECT_SERVICE_NAME;
    const SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    if (!::StartServiceCtrlDispatcherW(table)) {
        const DWORD error = ::GetLastError();
        service = nullptr;
        if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)
            throw UsageError(
                "--service is for the service manager: start the service with "
                "\"sc start " KX_COLLECT_SERVICE_NAME "\", or run collect without --service");
        throw RuntimeError("cannot start the service " KX_COLLECT_SERVICE_NAME ": " +
                           std::system_category().message(static_cast<int>(error)));
    }
    service = nullptr;
    return running.result;
}

}  // namespace

int RunCollectCommand(std::span<const std::string> args) {
    CollectCommand command = ParseCollectCommand(args.subspan(1));
    if (command.service) return RunService(std::move(command));
    CompleteFromRegistry(command.options);
    ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    const auto terminal = std::make_shared<CollectLog>();
    const collect::LogFn log = [terminal](const std::string& line) { terminal->Log(line); };
    return RunCollector(std::move(command), EventLog(), stopRequested, log,
                        StandardErrorIsTerminal() ? terminal : nullptr);
}

}  // namespace kx::tool
