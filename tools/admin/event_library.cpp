// event_library.cpp: finding and loading KXEvent.DLL for the command.
#include "tools/admin/event_library.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "common/registry.h"
#include "tools/admin/errors.h"
#include "tools/admin/registry_files.h"

#ifndef KXEVENT_RELATIVE_LIBRARY_DIR
#define KXEVENT_RELATIVE_LIBRARY_DIR "../lib/velmora"
#endif

namespace kx::tool {

namespace fs = std::filesystem;

namespace {

constexpr char kLibraryFile[] = "KXEvent.DLL";
// The library reads "szInstallDir" into a buffer of this size; a longer text is not its.
constexpr std::size_t kInstallTextSize = 260;

fs::path ExecutableDirectory() {
    std::array<char, 4096> buffer{};
    const plat::Dword length =
        plat::GetModuleFileNameA(nullptr, buffer.data(), static_cast<plat::Dword>(buffer.size()));
    if (length == 0) return fs::current_path();
    return fs::path(std::string(buffer.data(), length)).parent_path();
}

std::string SystemMessage(plat::Dword error) {
    std::array<char, 512> text{};
    plat::Dword length =
        plat::FormatSystemMessage(error, text.data(), static_cast<plat::Dword>(text.size()));
    std::string message(text.data(), length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
        message.pop_back();
    }
    if (message.empty()) message = "system error " + std::to_string(error);
    return message;
}

}  // namespace

fs::path FindLibraryDirectory() {
    if (const char* configured = std::getenv("KXEVENT_LIBRARY_DIR"); configured && *configured) {
        return configured;
    }
    const fs::path executable = ExecutableDirectory();
    std::error_code ignored;
    if (SystemRegistryIsLive()) {
        // As a product finds it: in the installation directory the registry names, else beside
        // the command.
        std::array<char, kInstallTextSize> install{};
        if (ReadRegistryText(kCurrentVersionKey, "szInstallDir", install)) {
            std::string text = install.data();
            if (!text.empty() && (text.back() == '\\' || text.back() == '/')) text.pop_back();
            if (!text.empty() && fs::exists(fs::path(text) / kLibraryFile, ignored)) return text;
        }
        if (fs::exists(executable / kLibraryFile, ignored)) return executable;
    }
    for (const char* relative : {KXEVENT_RELATIVE_LIBRARY_DIR, "../lib/velmora"}) {
        fs::path candidate = (executable / relative).lexically_normal();
        if (fs::exists(candidate / kLibraryFile, ignored)) return candidate;
    }
    return (executable / KXEVENT_RELATIVE_LIBRARY_DIR).lexically_normal();
}

EventLibrary::EventLibrary(const fs::path& directory) {
    const std::string path = (directory / kLibraryFile).string();
    plat::ClearLoadRefusal();
    module_ = plat::LoadLibraryA(path.c_str());
    if (module_ == nullptr) {
        const plat::Dword error = plat::GetLastError();
        // The loader's text for a refused attach says nothing of why: the library noted it.
        std::array<char, 2048> refusal{};
        if (plat::LoadRefusal(refusal.data(), static_cast<plat::Dword>(refusal.size())) != 0) {
            throw RuntimeError("cannot load " + path + ": " + refusal.data() +
                               "; run kxevent doctor for every check");
        }
        throw RuntimeError("cannot load " + path + ": " + SystemMessage(error));
    }
    sendMessageEx =
        reinterpret_cast<SendMessageExFn>(plat::GetProcAddress(module_, "EVENT_SendVELMessageEx"));
    sendEventEx =
        reinterpret_cast<SendEventExFn>(plat::GetProcAddress(module_, "EVENT_SendVELEventEx"));
    queryMessageText = reinterpret_cast<QueryMessageTextFn>(
        plat::GetProcAddress(module_, "EVENT_QueryMessageText"));
    if (!sendMessageEx || !sendEventEx || !queryMessageText) {
        plat::FreeLibrary(module_);
        throw RuntimeError(path + " lacks the EVENT_ exports the command needs");
    }
}

EventLibrary::~EventLibrary() {
    plat::FreeLibrary(module_);
}

const char* ResultName(int result) {
    switch (result) {
        case EVENT_OK:
            return "EVENT_OK";
        case EVENT_ERR_NO_ALERT_PATH:
            return "EVENT_ERR_NO_ALERT_PATH";
        case EVENT_ERR_NO_ALERTING_KEY:
            return "EVENT_ERR_NO_ALERTING_KEY";
        case EVENT_ERR_NO_PRODUCT_NAME:
            return "EVENT_ERR_NO_PRODUCT_NAME";
        case EVENT_ERR_NO_DEFINITION:
            return "EVENT_ERR_NO_DEFINITION";
        case EVENT_ERR_NO_MEMORY:
            return "EVENT_ERR_NO_MEMORY";
        default:
            return "unknown result";
    }
}

const char* ResultExplanation(int result) {
    switch (result) {
        case EVENT_OK:
            return "success";
        case EVENT_ERR_NO_ALERT_PATH:
            return "central alerting is on but \"Centralized Alerting Path\" cannot be read; "
                   "no alert file was written";
        case EVENT_ERR_NO_ALERTING_KEY:
            return "the Alerting registry key cannot be opened; the records are partly filled";
        case EVENT_ERR_NO_PRODUCT_NAME:
            return "no product name can be had for the product number";
        case EVENT_ERR_NO_DEFINITION:
            return "the catalogue holds no definition of the event, in the current language "
                   "nor in 0901";
        case EVENT_ERR_NO_MEMORY:
            return "out of memory; nothing was delivered";
        default:
            return "the library returned a result the command does not know";
    }
}

}  // namespace kx::tool
