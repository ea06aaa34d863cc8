// resources.cpp: finds the localized resource module for the user's locale, fixes the current
// language from the directory that loaded, and reports every failed attempt.
#include "runtime/resources.h"

#include <functional>
#include <string>
#include <string_view>

#include "common/text.h"
#include "runtime/resource_errors.h"
#include "runtime/search_rules.h"
#include "runtime/state.h"

namespace kx {
namespace {

constexpr std::size_t kPathSize = kSearchPathSize;
// Named by configuration: every place searched (the installation directory, "..\zqpal", the
// executable's directory) passes the platform's check for files other users could change, as
// the core components do. The module's strings become the text of every alert-failure entry
// and the product name, so a copy that someone else could have written is no copy at all.
constexpr plat::Dword kLoadFlags = plat::kDontResolveDllReferences |
                                   plat::kLoadWithAlteredSearchPath |
                                   plat::kLoadNamedByConfiguration;
constexpr plat::Dword kFilenameTooLong = 206;  // ERROR_FILENAME_EXCED_RANGE
constexpr std::string_view kEntrySeparator = "   : ";

std::array<ResourceLoadError, kResourceErrorSlots> loadErrors{};

void RecordFailure(std::size_t slot, std::string_view path, plat::Dword error) {
    auto& entry = loadErrors[slot];
    CopyText(entry.path, path);
    entry.message[0] = '\0';
    plat::FormatSystemMessage(error, entry.message, kPathSize);
}

// Loads one place for its resources; a path too long for its buffer is not tried. A copy the
// platform's trust check refused (and logged) ends the search instead of going on to a place the
// refusal did not cover; any other failure (no file, a directory at the name) lets it go on.
class Loader {
  public:
    AttemptOutcome operator()(const ResourceAttempt& attempt) {
        if (attempt.tooLong) {
            RecordFailure(attempt.slot, attempt.path, kFilenameTooLong);
            return AttemptOutcome::Failed;
        }
        module_ = plat::LoadLibraryExA(attempt.path.c_str(), kLoadFlags);
        if (module_ != nullptr) {
            CopyText(LanguageCode, attempt.language);
            return AttemptOutcome::Loaded;
        }
        const plat::Dword error = plat::GetLastError();
        const bool refused = plat::LoadRefusedByTrustCheck();
        RecordFailure(attempt.slot, attempt.path, error);
        return refused ? AttemptOutcome::Refused : AttemptOutcome::Failed;
    }
    plat::Module module() const { return module_; }

  private:
    plat::Module module_ = nullptr;
};

}  // namespace

const std::array<ResourceLoadError, kResourceErrorSlots>& ResourceLoadErrors() {
    return loadErrors;
}

plat::Module TryResourceModule(const char* baseDirectory, const char* fileName, plat::Dword lcid,
                               std::size_t firstSlot, std::size_t secondSlot) {
    Loader loader;
    TryResourceLocale(baseDirectory, fileName, lcid, firstSlot, secondSlot, std::ref(loader));
    return loader.module();
}

plat::Module LoadResourceModule(const char* baseDirectory, const char* fileName) {
    loadErrors = {};
    Loader loader;
    SearchResourceModule(baseDirectory, fileName, std::ref(loader));
    return loader.module();
}

void ShowResourceLoadWarning(const char* caption) {
    char systemText[kPathSize] = {};
    plat::FormatSystemMessage(plat::kErrorResourceLangNotFound, systemText, sizeof systemText);
    // Large enough for every slot's path and message, so no failed attempt is cut from the list.
    std::string text(BoundedText(systemText));
    text += "\r\n\r\n";
    for (const auto& entry : loadErrors) {
        if (entry.path[0] == '\0') continue;
        text += FieldText(entry.path);
        text += kEntrySeparator;
        text += FieldText(entry.message);
    }
    plat::MessageBoxA(text.c_str(), caption);
    // The same list on one line for the host, which sees only a refused attach.
    std::string note = std::string(caption) + "; paths tried: ";
    const char* separator = "";
    for (const auto& entry : loadErrors) {
        if (entry.path[0] == '\0') continue;
        std::string message(FieldText(entry.message));
        while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
            message.pop_back();
        }
        note += separator + std::string(FieldText(entry.path)) + " (" + message + ")";
        separator = ", ";
    }
    plat::NoteLoadRefusal(note.c_str());
}

}  // namespace kx
