// doctor_command_win32.cpp: the facts doctor reports on Windows, where the system's access
// control decides who may write: the alerting directory's access list is read here.
#include <windows.h>
// After windows.h, which these need.
#include <aclapi.h>
#include <sddl.h>

#include <array>
#include <memory>
#include <type_traits>
#include <vector>

#include "platform/eventlog_ids.h"
#include "tools/kxevent/doctor_command.h"

namespace kx::tool::doctor {

namespace fs = std::filesystem;

std::string OwnerAndMode(const std::string&) {
    return "access by the system's access control";
}

bool WritableByUs(const std::string&, bool) {
    return true;
}

std::string ThisUser() {
    return "this user";
}

bool SharedWithCollector(const std::string&) {
    return false;
}

UnreadableAlerts UnreadableByCollector(const std::vector<fs::path>&) {
    return {};
}

namespace {

// Rights that change a directory or what it holds.
constexpr ACCESS_MASK kChangeRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD |
                                      DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                      GENERIC_ALL;

// The groups of everyone who is no administrator, and what the report calls them.
struct Stranger {
    WELL_KNOWN_SID_TYPE type;
    const char* name;
};
constexpr Stranger kStrangers[] = {
    {WinWorldSid, "Everyone"},
    {WinBuiltinUsersSid, "Users"},
    {WinAuthenticatedUserSid, "Authenticated Users"},
    {WinInteractiveSid, "INTERACTIVE"},
    {WinBuiltinGuestsSid, "Guests"},
    {WinAnonymousSid, "ANONYMOUS LOGON"},
};

struct LocalFreeDeleter {
    void operator()(void* memory) const { ::LocalFree(memory); }
};

}  // namespace

std::optional<std::string> AccessListProblem(const std::string& path) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD status =
        ::GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                nullptr, &dacl, nullptr, &descriptor);
    const std::unique_ptr<void, LocalFreeDeleter> owned(descriptor);
    if (status != ERROR_SUCCESS) {
        return "its access list cannot be read (system error " + std::to_string(status) + ")";
    }
    if (dacl == nullptr) return "it has no access list, so everyone may change it";
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        void* entry = nullptr;
        if (!::GetAce(dacl, index, &entry)) continue;
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE))
            continue;
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
        if ((allowed->Mask & kChangeRights) == 0) continue;
        const PSID sid = const_cast<DWORD*>(&allowed->SidStart);
        for (const Stranger& stranger : kStrangers) {
            std::array<BYTE, SECURITY_MAX_SID_SIZE> known{};
            DWORD size = known.size();
            if (::CreateWellKnownSid(stranger.type, nullptr, known.data(), &size) &&
                ::EqualSid(sid, known.data())) {
                return std::string("its access list lets ") + stranger.name +
                       " change it, so anyone could plant or remove alerts";
            }
        }
    }
    return std::nullopt;
}

std::string ExpandedText(const std::string& text) {
    std::array<char, 32768> expanded{};
    const DWORD length =
        ::ExpandEnvironmentStringsA(text.c_str(), expanded.data(), expanded.size());
    if (length == 0 || length > expanded.size()) return text;
    return std::string(expanded.data());
}

SystemLog TheSystemLog() {
    return {.name = "the system event log",
            .problem = std::nullopt,
            .todo = "start the event log service"};
}

namespace {

struct ServiceHandleCloser {
    void operator()(SC_HANDLE handle) const { ::CloseServiceHandle(handle); }
};
using ServiceHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ServiceHandleCloser>;

std::string SystemError(const char* doing, DWORD error) {
    return std::string("the service manager could not be asked (") + doing + ", system error " +
           std::to_string(error) + ")";
}

}  // namespace

CollectService TheCollectService() {
    CollectService service;
    const ServiceHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        service.problem = SystemError("connecting", ::GetLastError());
        return service;
    }
    const ServiceHandle handle(
        ::OpenServiceA(manager.get(), KX_COLLECT_SERVICE_NAME, SERVICE_QUERY_CONFIG));
    if (!handle) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_SERVICE_DOES_NOT_EXIST) {
            service.registered = true;
            service.problem = SystemError("opening the service", error);
        }
        return service;
    }
    service.registered = true;
    DWORD needed = 0;
    if (!::QueryServiceConfigA(handle.get(), nullptr, 0, &needed) &&
        ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        service.problem = SystemError("reading its configuration", ::GetLastError());
        return service;
    }
    // Whole records, so that the configuration is aligned as the system writes it.
    std::vector<QUERY_SERVICE_CONFIGA> config(needed / sizeof(QUERY_SERVICE_CONFIGA) + 1);
    const DWORD bytes = static_cast<DWORD>(config.size() * sizeof(QUERY_SERVICE_CONFIGA));
    if (!::QueryServiceConfigA(handle.get(), config.data(), bytes, &needed)) {
        service.problem = SystemError("reading its configuration", ::GetLastError());
        return service;
    }
    if (config[0].lpBinaryPathName != nullptr) service.command = config[0].lpBinaryPathName;
    return service;
}

}  // namespace kx::tool::doctor
