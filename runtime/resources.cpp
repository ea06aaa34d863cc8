// resources.cpp: finds the localized resource module for the user's locale, fixes the current
// language from the directory that loaded, and reports every failed attempt.
#include "runtime/resources.h"

#include <cstdio>
#include <string>
#include <string_view>

#include "common/text.h"
#include "runtime/resource_errors.h"
#include "runtime/state.h"

namespace kx {
namespace {

constexpr std::size_t kPathSize = 260;
// Named by configuration: every place searched (the installation directory, "..\zqpal", the
// executable's directory) passes the platform's check for files other users could change, as
// the core components do. The module's strings become the text of every alert-failure entry
// and the product name, so a copy that someone else could have written is no copy at all.
constexpr plat::Dword kLoadFlags = plat::kDontResolveDllReferences |
                                   plat::kLoadWithAlteredSearchPath |
                                   plat::kLoadNamedByConfiguration;
constexpr plat::Dword kNeutralLocale = 0;
constexpr plat::Dword kEnglishUsLocale = 0x409;
constexpr plat::Dword kFilenameTooLong = 206;  // ERROR_FILENAME_EXCED_RANGE
constexpr std::string_view kEntrySeparator = "   : ";

std::array<ResourceLoadError, kResourceErrorSlots> loadErrors{};
// Set when the last locale's attempt found a copy the platform's trust check refused (and
// logged): the search ends there instead of going on to a place the refusal did not cover. Any
// other failure (no file, a directory at the name) lets the search go on.
bool searchRefused = false;

struct Language {
    unsigned primary;
    unsigned sub;
};

Language SplitLocale(plat::Dword lcid) {
    return {lcid & 0x3FFu, (lcid & 0xFFFFu) >> 10};
}

// The directory the Res<pp><ss> folders hang off: the one given, or the executable's own.
void ChooseBaseDirectory(const char* given, std::span<char> base) {
    if (given != nullptr && given[0] != '\0') {
        CopyText(base, given);
        return;
    }
    char executable[kPathSize] = {};
    plat::GetModuleFileNameA(nullptr, executable, sizeof executable);
    const std::string_view path = BoundedText(executable);
    const std::size_t cut = path.find_last_of("\\/");
    CopyText(base, cut == std::string_view::npos ? std::string_view(".") : path.substr(0, cut));
}

void RecordFailure(std::size_t slot, std::string_view path, plat::Dword error) {
    auto& entry = loadErrors[slot];
    CopyText(entry.path, path);
    entry.message[0] = '\0';
    plat::FormatSystemMessage(error, entry.message, kPathSize);
}

// Loads base\Res<pp><ss>\file for its resources; a path too long for its buffer is not tried.
plat::Module TryLanguage(std::string_view base, const char* fileName, Language language,
                         std::size_t slot) {
    char directory[16];  // "Res" and two numbers of at most three hex digits each
    std::snprintf(directory, sizeof directory, "Res%02x%02x", language.primary, language.sub);
    const std::string full = std::string(base) + '\\' + directory + '\\' + fileName;
    if (full.size() >= kPathSize) {
        RecordFailure(slot, full, kFilenameTooLong);
        return nullptr;
    }
    plat::Module module = plat::LoadLibraryExA(full.c_str(), kLoadFlags);
    if (module == nullptr) {
        const plat::Dword error = plat::GetLastError();
        searchRefused = plat::LoadRefusedByTrustCheck();
        RecordFailure(slot, full, error);
        return nullptr;
    }
    std::snprintf(LanguageCode, kLanguageCodeSize, "%02x%02x", language.primary, language.sub);
    return module;
}

}  // namespace

const std::array<ResourceLoadError, kResourceErrorSlots>& ResourceLoadErrors() {
    return loadErrors;
}

plat::Module TryResourceModule(const char* baseDirectory, const char* fileName, plat::Dword lcid,
                               std::size_t firstSlot, std::size_t secondSlot) {
    searchRefused = false;
    char base[kPathSize];
    ChooseBaseDirectory(baseDirectory, base);
    Language language = SplitLocale(lcid);
    if (auto module = TryLanguage(base, fileName, language, firstSlot)) return module;
    if (language.sub == 1 || searchRefused) return nullptr;
    language.sub = 1;
    return TryLanguage(base, fileName, language, secondSlot);
}

plat::Module LoadResourceModule(const char* baseDirectory, const char* fileName) {
    loadErrors = {};
    const plat::Dword thread = plat::GetThreadLocale();
    if (auto module = TryResourceModule(baseDirectory, fileName, thread, 0, 1)) return module;
    if (searchRefused) return nullptr;
    const plat::Dword user = plat::GetUserDefaultLCID();
    if (user != thread) {
        if (auto module = TryResourceModule(baseDirectory, fileName, user, 2, 3)) return module;
        if (searchRefused) return nullptr;
    }
    const plat::Dword system = plat::GetSystemDefaultLCID();
    if (system != user) {
        if (auto module = TryResourceModule(baseDirectory, fileName, system, 4, 5)) return module;
        if (searchRefused) return nullptr;
    }
    if (auto module = TryResourceModule(baseDirectory, fileName, kNeutralLocale, 6, 7)) {
        return module;
    }
    if (searchRefused) return nullptr;
    return TryResourceModule(baseDirectory, fileName, kEnglishUsLocale, 8, 9);
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
