// search_rules.cpp: the installation directory, the core components' places and the resource
// module's locale chain.
#include "runtime/search_rules.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "common/text.h"

namespace kx {
namespace {

constexpr plat::Dword kNeutralLocale = 0;
constexpr plat::Dword kEnglishUsLocale = 0x409;

bool IsExistingDirectory(const std::string& path) {
    plat::Dword attributes = 0;
    return plat::FindFirstFileAttributes(path.c_str(), &attributes) &&
           (attributes & plat::kFileAttributeDirectory) != 0;
}

struct Language {
    unsigned primary;
    unsigned sub;
};

Language SplitLocale(plat::Dword lcid) {
    return {lcid & 0x3FFu, (lcid & 0xFFFFu) >> 10};
}

// The executable's directory, cut at its last separator; "." when it has none.
std::string ExecutableDirectory() {
    std::array<char, kSearchPathSize> executable{};
    plat::GetModuleFileNameA(nullptr, executable.data(), kSearchPathSize);
    const std::string_view path = BoundedText(executable);
    const std::size_t cut = path.find_last_of("\\/");
    return std::string(cut == std::string_view::npos ? std::string_view(".") : path.substr(0, cut));
}

ResourceAttempt AttemptOf(const std::string& base, std::string_view file, Language language,
                          std::size_t slot) {
    std::array<char, 16> name{};  // "Res" and two numbers of at most three hex digits each
    std::snprintf(name.data(), name.size(), "Res%02x%02x", language.primary, language.sub);
    ResourceAttempt attempt;
    attempt.path = base + '\\' + name.data() + '\\' + std::string(file);
    attempt.language = name.data() + 3;
    attempt.slot = slot;
    attempt.tooLong = attempt.path.size() >= kSearchPathSize;
    return attempt;
}

}  // namespace

void DropTrailingBackslash(std::string& text) {
    if (!text.empty() && text.back() == '\\') text.pop_back();
}

InstallDirectory FindInstallDirectory(const RegistryReader& registry) {
    InstallDirectory found;
    std::array<char, kSearchPathSize> text{};
    const plat::Dword length =
        plat::GetEnvironmentVariableA(kDebugCoreVariable, text.data(), kSearchPathSize);
    if (length != 0) {
        // Set, whether or not its value fits: one too long leaves the text empty.
        found.origin = InstallOrigin::DebugCore;
        if (length >= kSearchPathSize) text[0] = '\0';
    } else {
        const std::optional<RegistryKeyReader> key = registry.open(kCurrentVersionKey);
        if (!key) {
            found.code = kInstallKeyNotOpened;
            return found;
        }
        const auto read = (*key)(kInstallDirValue, std::as_writable_bytes(std::span<char>(text)));
        if (!read) {
            found.code = kNoInstallDirValue;
            return found;
        }
        TerminateReadText(text, *read);
        found.origin = InstallOrigin::Registry;
    }
    found.text = std::string(BoundedText(text));
    DropTrailingBackslash(found.text);
    found.code = IsExistingDirectory(found.text) ? 0 : kInstallDirMissing;
    return found;
}

std::vector<std::string> CoreComponentPlaces(std::string_view installDirectory,
                                             std::string_view file) {
    if (installDirectory.size() + file.size() + 3 > kSearchPathSize) return {};
    const std::string name(file);
    return {std::string(installDirectory) + '\\' + name,
            std::string(kDefaultComponentDirectory) + '\\' + name, ".\\" + name};
}

std::string ResourceSearchBase(std::string_view installDirectory) {
    return std::string(installDirectory.empty() ? kDefaultComponentDirectory : installDirectory);
}

ResourceSearchEnd TryResourceLocale(const char* base, std::string_view file, plat::Dword lcid,
                                    std::size_t firstSlot, std::size_t secondSlot,
                                    const ResourceAttemptFn& attempt) {
    const std::string directory =
        base != nullptr && base[0] != '\0' ? std::string(base) : ExecutableDirectory();
    Language language = SplitLocale(lcid);
    ResourceSearchEnd end;
    end.last = AttemptOf(directory, file, language, firstSlot);
    end.outcome = attempt(end.last);
    if (end.outcome != AttemptOutcome::Failed || language.sub == 1) return end;
    language.sub = 1;
    end.last = AttemptOf(directory, file, language, secondSlot);
    end.outcome = attempt(end.last);
    return end;
}

ResourceSearchEnd SearchResourceModule(const char* base, std::string_view file,
                                       const ResourceAttemptFn& attempt) {
    const plat::Dword thread = plat::GetThreadLocale();
    const plat::Dword user = plat::GetUserDefaultLCID();
    const plat::Dword system = plat::GetSystemDefaultLCID();
    struct Step {
        plat::Dword lcid;
        bool tried;
    };
    const std::array<Step, 5> chain = {{{thread, true},
                                        {user, user != thread},
                                        {system, system != user},
                                        {kNeutralLocale, true},
                                        {kEnglishUsLocale, true}}};
    ResourceSearchEnd end;
    for (std::size_t i = 0; i < chain.size(); ++i) {
        if (!chain[i].tried) continue;
        end = TryResourceLocale(base, file, chain[i].lcid, 2 * i, 2 * i + 1, attempt);
        if (end.outcome != AttemptOutcome::Failed) return end;
    }
    return end;
}

std::optional<std::string> LocateFile(const std::string& path) {
    std::string found(4096, '\0');
    const plat::Dword length = plat::FindFileIgnoringCase(path.c_str(), found.data(),
                                                          static_cast<plat::Dword>(found.size()));
    if (length == 0) return std::nullopt;
    found.resize(length);
    return found;
}

ModuleRefusal JudgeModuleFile(const std::string& file) {
    std::array<char, 1024> reason{};
    if (plat::ModuleTrustRefusal(file.c_str(), reason.data(),
                                 static_cast<plat::Dword>(reason.size())) != 0) {
        return {ModuleRefusalKind::Trust, reason.data()};
    }
    std::error_code error;
    if (!std::filesystem::is_regular_file(file, error)) {
        return {ModuleRefusalKind::NotAFile, file + " is not a regular file"};
    }
    return {};
}

ResourceSearchReport FollowResourceSearch(const RegistryReader& registry, std::string_view file) {
    ResourceSearchReport report;
    report.install = FindInstallDirectory(registry);
    report.base = ResourceSearchBase(report.install.text);
    const auto judge = [&](const ResourceAttempt& attempt) {
        const auto fail = [&](const std::string& path, const char* problem) {
            const bool known = std::any_of(report.tried.begin(), report.tried.end(),
                                           [&](const ResourcePlace& p) { return p.path == path; });
            if (!known) report.tried.push_back({path, problem});
            return AttemptOutcome::Failed;
        };
        if (report.firstLanguage.empty()) report.firstLanguage = attempt.language;
        if (attempt.tooLong) return fail(attempt.path, "path too long");
        const std::optional<std::string> found = LocateFile(attempt.path);
        if (!found) return fail(attempt.path, "not found");
        const ModuleRefusal refusal = JudgeModuleFile(*found);
        if (refusal.kind == ModuleRefusalKind::NotAFile) return fail(*found, "not a regular file");
        report.module = *found;
        report.language = attempt.language;
        if (refusal.kind == ModuleRefusalKind::Trust) {
            report.refusal = refusal.reason;
            return AttemptOutcome::Refused;
        }
        // For its resources only: nothing of it runs.
        plat::Module module = plat::LoadLibraryExA(found->c_str(), plat::kDontResolveDllReferences);
        if (module == nullptr) {
            report.module.reset();
            return fail(*found, "not a resource module");
        }
        plat::FreeLibrary(module);
        return AttemptOutcome::Loaded;
    };
    SearchResourceModule(report.base.c_str(), file, judge);
    return report;
}

}  // namespace kx
