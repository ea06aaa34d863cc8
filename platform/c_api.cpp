// c_api.cpp: the loader for hosts written in C (include/kxevent/kxplatform.h). A C caller has
// no way to catch a C++ exception and the platform's texts live in its own buffers, so every
// entry point here catches everything and hands texts out only as bounded copies.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <string_view>

#include "include/kxevent/kxplatform.h"
#include "platform/platform.h"

namespace kx::plat {
namespace {

// The codes the header names for C are the platform's own.
static_assert(KX_ERROR_ACCESS_DENIED == kErrorAccessDenied &&
              KX_ERROR_INVALID_HANDLE == kErrorInvalidHandle &&
              KX_ERROR_NOT_ENOUGH_MEMORY == kErrorNotEnoughMemory &&
              KX_ERROR_BAD_FORMAT == kErrorBadFormat &&
              KX_ERROR_INVALID_PARAMETER == kErrorInvalidParameter &&
              KX_ERROR_MOD_NOT_FOUND == kErrorModNotFound &&
              KX_ERROR_PROC_NOT_FOUND == kErrorProcNotFound &&
              KX_ERROR_DLL_INIT_FAILED == kErrorDllInitFailed &&
              KX_ERROR_GEN_FAILURE == kErrorGenFailure);

// Generous for every text the platform keeps: the refusal record is bounded by kMaxLoadRefusal
// and the system's messages are one sentence.
using TextBuffer = std::array<char, kMaxLoadRefusal + 1>;

// The handles C hosts hold. A kx_module* is a number, never an address: each module the C
// interface holds gets a number no other module will ever get, so that a handle freed for the
// last time stays invalid even when a later load gets the same module object (whose memory the
// loader may reuse). A module loaded again while held keeps its handle and counts one more
// reference, as the loader counts it.
class Handles {
  public:
    kx_module* Add(Module module) {
        std::lock_guard lock(mutex_);
        const auto held = byModule_.find(module);
        if (held != byModule_.end()) {
            ++byNumber_.at(held->second).references;
            return ToHandle(held->second);
        }
        const std::uintptr_t number = next_++;
        byNumber_.emplace(number, Entry{module, 1});
        byModule_.emplace(module, number);
        return ToHandle(number);
    }

    // The module of a handle held; null for any other.
    Module Find(kx_module* handle) {
        std::lock_guard lock(mutex_);
        const auto found = byNumber_.find(reinterpret_cast<std::uintptr_t>(handle));
        return found == byNumber_.end() ? nullptr : found->second.module;
    }

    // Gives up one reference of a handle held: the module to free once, or null (the handle
    // is not, or no longer, held). The last reference retires the handle's number for good.
    Module Release(kx_module* handle) {
        std::lock_guard lock(mutex_);
        const auto found = byNumber_.find(reinterpret_cast<std::uintptr_t>(handle));
        if (found == byNumber_.end()) return nullptr;
        const Module module = found->second.module;
        if (--found->second.references == 0) {
            byModule_.erase(module);
            byNumber_.erase(found);
        }
        return module;
    }

  private:
    struct Entry {
        Module module;
        long references;
    };

    static kx_module* ToHandle(std::uintptr_t number) {
        return reinterpret_cast<kx_module*>(number);
    }

    std::mutex mutex_;
    std::uintptr_t next_ = 1;  // 0 would be the null handle
    std::map<std::uintptr_t, Entry> byNumber_;
    std::map<Module, std::uintptr_t> byModule_;
};

Handles& TheHandles() {
    static Handles handles;
    return handles;
}

// An exception caught at the boundary (the platform out of memory, or a module's DllMain that
// threw) as the error a C caller can read.
void NoteException() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        SetLastError(kErrorNotEnoughMemory);
    } catch (...) {
        SetLastError(kErrorGenFailure);
    }
}

int CopyText(std::string_view text, char* buffer, std::size_t size, std::size_t* length) {
    if (length) *length = text.size();
    if (size == 0) return text.empty() ? KX_TEXT_OK : KX_TEXT_TRUNCATED;
    if (buffer == nullptr) return KX_TEXT_INVALID;
    const std::size_t copied = std::min(text.size(), size - 1);
    std::memcpy(buffer, text.data(), copied);
    buffer[copied] = '\0';
    return copied < text.size() ? KX_TEXT_TRUNCATED : KX_TEXT_OK;
}

// The system's text for `error`, without the line end the Windows texts carry.
std::string_view ErrorText(Dword error, TextBuffer& buffer) {
    std::string_view text(buffer.data(), FormatSystemMessage(error, buffer.data(), buffer.size()));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    return text;
}

// A failed load that the library or the loader explained leaves its notes; any other failure
// (a missing file, a module that is no module) gets one, so that the host always has a reason.
void ExplainFailedLoad(const char* path, Dword error) {
    TextBuffer noted;
    if (LoadRefusal(noted.data(), noted.size()) != 0) return;
    TextBuffer message;
    const std::string note = std::string("Module ") + (path ? path : "(null)") +
                             " was not loaded: error " + std::to_string(error) + " (" +
                             std::string(ErrorText(error, message)) + ")";
    NoteLoadRefusal(note.c_str());
}

}  // namespace
}  // namespace kx::plat

extern "C" {

kx_module* kx_load_module(const char* path, unsigned flags) noexcept {
    using namespace kx::plat;
    try {
        ClearLoadRefusal();
        Module module = nullptr;
        if (path == nullptr || *path == '\0' || (flags & ~KX_LOAD_TRUSTED_ONLY) != 0) {
            SetLastError(kErrorInvalidParameter);
        } else {
            module = LoadLibraryExA(
                path, (flags & KX_LOAD_TRUSTED_ONLY) != 0 ? kLoadNamedByConfiguration : 0);
        }
        if (module == nullptr) {
            const Dword error = GetLastError();
            ExplainFailedLoad(path, error);
            SetLastError(error);  // the explanation must not replace why the load failed
            return nullptr;
        }
        // What an attach noted on its way to success is no reason for anything.
        ClearLoadRefusal();
        try {
            return TheHandles().Add(module);
        } catch (...) {
            FreeLibrary(module);  // no handle to give: the reference goes back at once
            throw;
        }
    } catch (...) {
        NoteException();
        return nullptr;
    }
}

void* kx_get_export(kx_module* module, const char* name) noexcept {
    using namespace kx::plat;
    try {
        if (name == nullptr) {
            SetLastError(kErrorInvalidParameter);
            return nullptr;
        }
        const Module held = TheHandles().Find(module);
        if (held == nullptr) {
            SetLastError(kErrorInvalidHandle);
            return nullptr;
        }
        return GetProcAddress(held, name);
    } catch (...) {
        NoteException();
        return nullptr;
    }
}

kx_function kx_get_function(kx_module* module, const char* name) noexcept {
    // The loader hands out an address; this copy is the one place it becomes a function
    // pointer, which POSIX guarantees to be the same size and form.
    static_assert(sizeof(kx_function) == sizeof(void*));
    void* const address = kx_get_export(module, name);
    kx_function function = nullptr;
    if (address != nullptr) std::memcpy(&function, &address, sizeof function);
    return function;
}

int kx_free_module(kx_module* module) noexcept {
    using namespace kx::plat;
    try {
        const Module held = TheHandles().Release(module);
        if (held == nullptr) {
            SetLastError(kErrorInvalidHandle);
            return 0;
        }
        return FreeLibrary(held) ? 1 : 0;
    } catch (...) {
        NoteException();
        return 0;
    }
}

unsigned long kx_last_error(void) noexcept {
    return kx::plat::GetLastError();
}

int kx_load_refusal(char* buffer, size_t size, size_t* length) noexcept {
    using namespace kx::plat;
    try {
        TextBuffer text;
        const Dword copied = LoadRefusal(text.data(), text.size());
        return CopyText(std::string_view(text.data(), copied), buffer, size, length);
    } catch (...) {
        NoteException();
        return KX_TEXT_INVALID;
    }
}

int kx_error_text(unsigned long error, char* buffer, size_t size, size_t* length) noexcept {
    using namespace kx::plat;
    try {
        TextBuffer text;
        const Dword saved = GetLastError();  // asking for a text is no failure of the caller's
        const auto code = static_cast<Dword>(error);
        const std::string_view message = code == error ? ErrorText(code, text) : std::string_view();
        SetLastError(saved);
        return CopyText(message, buffer, size, length);
    } catch (...) {
        NoteException();
        return KX_TEXT_INVALID;
    }
}

}  // extern "C"
