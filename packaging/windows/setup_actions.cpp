// setup_actions.cpp: KXSetupActions.dll, the custom actions of the Windows installer. It is
// stored in the package's Binary table and run by the installer only; nothing else loads it.
//
// SecureAlertDirectory (deferred, as the local system): gives the alerting directory an access
// list of its own, inherited by nothing above it: full control for the Administrators group and
// the local system, nothing for anybody else. Its CustomActionData is the directory.
//
// ConfigureCollectorRecovery (deferred, as the local system, once the services are installed):
// the alerting service is restarted by the service manager when it fails: a minute after its
// first and second failures, five minutes after any later one, the count starting again after a
// day without one. Its CustomActionData is the service's name. Not vital: the installation goes
// on when the service manager refuses, and the log says so.
//
// ReportWaitingAlerts (immediate, at uninstall): alert files the alerting service has not yet
// collected are not the installation's to remove; the uninstall leaves them and their directory,
// and says so in the installer's log.
#include <windows.h>
// clang-format off
#include <msi.h>
#include <msiquery.h>
#include <sddl.h>
#include <aclapi.h>
// clang-format on

#include <cstdio>
#include <memory>
#include <string>
#include <type_traits>

namespace {

// Administrators and the local system: full control, inherited by files and folders below;
// the list is protected, so nothing from Program Data's own list reaches it.
constexpr const char* kAlertDirectoryDacl = "D:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";

void Log(MSIHANDLE install, const std::string& text) {
    PMSIHANDLE record = ::MsiCreateRecord(1);
    ::MsiRecordSetStringA(record, 0, text.c_str());
    ::MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
}

std::string Property(MSIHANDLE install, const char* name) {
    char small[1] = {};
    DWORD length = 0;
    if (::MsiGetPropertyA(install, name, small, &length) != ERROR_MORE_DATA) return {};
    std::string value(length + 1, '\0');
    length = static_cast<DWORD>(value.size());
    if (::MsiGetPropertyA(install, name, value.data(), &length) != ERROR_SUCCESS) return {};
    value.resize(length);
    return value;
}

std::string WithoutTrailingBackslash(std::string path) {
    if (!path.empty() && path.back() == '\\') path.pop_back();
    return path;
}

class LocalMemory {
  public:
    LocalMemory() = default;
    LocalMemory(const LocalMemory&) = delete;
    LocalMemory& operator=(const LocalMemory&) = delete;
    ~LocalMemory() {
        if (memory_ != nullptr) ::LocalFree(memory_);
    }
    PSECURITY_DESCRIPTOR* Receive() { return &memory_; }
    PSECURITY_DESCRIPTOR Get() const { return memory_; }

  private:
    PSECURITY_DESCRIPTOR memory_ = nullptr;
};

class FileSearch {
  public:
    explicit FileSearch(const std::string& pattern)
        : handle_(::FindFirstFileA(pattern.c_str(), &data_)) {}
    FileSearch(const FileSearch&) = delete;
    FileSearch& operator=(const FileSearch&) = delete;
    ~FileSearch() {
        if (handle_ != INVALID_HANDLE_VALUE) ::FindClose(handle_);
    }
    bool Found() const { return handle_ != INVALID_HANDLE_VALUE; }
    const WIN32_FIND_DATAA& Data() const { return data_; }
    bool Next() { return ::FindNextFileA(handle_, &data_) != 0; }

  private:
    WIN32_FIND_DATAA data_{};
    HANDLE handle_;
};

bool IsAlertFileName(const char* name) {
    const std::string text = name;
    if (text.size() < 4) return false;
    std::string end = text.substr(text.size() - 3);
    for (char& c : end) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    return end == "ALR" || end == "TMP";
}

struct ServiceHandleCloser {
    void operator()(SC_HANDLE handle) const { ::CloseServiceHandle(handle); }
};
using ServiceHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ServiceHandleCloser>;

}  // namespace

extern "C" UINT __stdcall SecureAlertDirectory(MSIHANDLE install) {
    const std::string directory = WithoutTrailingBackslash(Property(install, "CustomActionData"));
    if (directory.empty()) {
        Log(install, "kxevent: no alerting directory was given to secure");
        return ERROR_INSTALL_FAILURE;
    }
    LocalMemory descriptor;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorA(
            kAlertDirectoryDacl, SDDL_REVISION_1, descriptor.Receive(), nullptr) ||
        !::GetSecurityDescriptorDacl(descriptor.Get(), &present, &dacl, &defaulted) || !present) {
        Log(install, "kxevent: the alerting directory's access list could not be built (error " +
                         std::to_string(::GetLastError()) + ")");
        return ERROR_INSTALL_FAILURE;
    }
    const DWORD result =
        ::SetNamedSecurityInfoA(const_cast<char*>(directory.c_str()), SE_FILE_OBJECT,
                                DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                nullptr, nullptr, dacl, nullptr);
    if (result != ERROR_SUCCESS) {
        Log(install, "kxevent: the access list of the alerting directory " + directory +
                         " could not be set (error " + std::to_string(result) + ")");
        return ERROR_INSTALL_FAILURE;
    }
    Log(install, "kxevent: the alerting directory " + directory +
                     " may be changed by Administrators and SYSTEM only");
    return ERROR_SUCCESS;
}

extern "C" UINT __stdcall ReportWaitingAlerts(MSIHANDLE install) {
    const std::string directory = WithoutTrailingBackslash(Property(install, "ALERTDIR"));
    if (directory.empty()) return ERROR_SUCCESS;
    unsigned waiting = 0;
    FileSearch search(directory + "\\*");
    if (search.Found()) {
        do {
            const WIN32_FIND_DATAA& data = search.Data();
            if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
                IsAlertFileName(data.cFileName)) {
                ++waiting;
            }
        } while (search.Next());
    }
    if (waiting == 0) {
        Log(install, "kxevent: no alert files are waiting in " + directory);
    } else {
        Log(install, "kxevent: " + std::to_string(waiting) +
                         " alert file(s) not yet collected are left in " + directory +
                         ", and the directory with them; remove them once they are no longer "
                         "needed");
    }
    return ERROR_SUCCESS;
}

extern "C" UINT __stdcall ConfigureCollectorRecovery(MSIHANDLE install) {
    const std::string name = Property(install, "CustomActionData");
    if (name.empty()) {
        Log(install, "kxevent: no alerting service was named to configure");
        return ERROR_SUCCESS;
    }
    const ServiceHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    const ServiceHandle service(
        manager ? ::OpenServiceA(manager.get(), name.c_str(), SERVICE_CHANGE_CONFIG | SERVICE_START)
                : nullptr);
    SC_ACTION actions[] = {
        {SC_ACTION_RESTART, 60 * 1000},
        {SC_ACTION_RESTART, 60 * 1000},
        {SC_ACTION_RESTART, 5 * 60 * 1000},
    };
    SERVICE_FAILURE_ACTIONSA failure{};
    failure.dwResetPeriod = 24 * 60 * 60;
    failure.cActions = sizeof actions / sizeof actions[0];
    failure.lpsaActions = actions;
    if (!service ||
        !::ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &failure)) {
        Log(install, "kxevent: the alerting service " + name +
                         " could not be set to restart after a failure (error " +
                         std::to_string(::GetLastError()) + "); set it with sc failure " + name +
                         " reset= 86400 actions= restart/60000/restart/60000/restart/300000");
        return ERROR_SUCCESS;
    }
    Log(install, "kxevent: the alerting service " + name + " restarts after a failure");
    return ERROR_SUCCESS;
}
