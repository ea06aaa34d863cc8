// registry_files.cpp: choosing, installing, loading and saving registry files.
#include "tools/admin/registry_files.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <span>
#include <system_error>

#include "common/alert_settings.h"
#include "config/default_registry.h"
#include "platform/platform.h"
#include "tools/admin/errors.h"
#include "tools/admin/registry_files_internal.h"

namespace kx::tool {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kStatePlaceholder = "@KXEVENT_STATE_DIR@";
constexpr std::string_view kInstallPlaceholder = "@KXEVENT_INSTALL_DIR@";

std::string ReplaceAll(std::string text, std::string_view from, std::string_view to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

void FillValue(reg::Value& value, std::string_view state, std::string_view install) {
    if (!IsTextType(value.type)) return;
    std::string text = ValueText(value);
    text = ReplaceAll(ReplaceAll(text, kStatePlaceholder, state), kInstallPlaceholder, install);
    value.data.assign(text.begin(), text.end());
    value.data.push_back(0);
}

}  // namespace

bool IsTextType(std::uint32_t type) {
    return type == plat::kRegSz || type == plat::kRegExpandSz;
}

std::string ValueText(const reg::Value& value) {
    const auto end = std::find(value.data.begin(), value.data.end(), std::uint8_t{0});
    return std::string(value.data.begin(), end);
}

fs::path SystemRegistryPath() {
    if (const char* path = std::getenv("KXEVENT_SYSTEM_REGISTRY"); path && *path) return path;
    return "/etc/velmora/hklm.reg";
}

std::optional<fs::path> FindStateDirectory() {
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state) {
        return fs::path(state) / "kxevent";
    }
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') return std::nullopt;
    return fs::path(home) / ".local" / "state" / "kxevent";
}

fs::path StateDirectory() {
    std::optional<fs::path> state = FindStateDirectory();
    if (!state) {
        throw RuntimeError("cannot find a state directory: neither XDG_STATE_HOME nor HOME is set");
    }
    return *std::move(state);
}

RegistryChoice FindRegistry() {
    if (SystemRegistryIsLive()) return {LiveRegistryName(), RegistrySource::System, true};
    if (const char* configured = std::getenv("VEL_REGISTRY"); configured && *configured) {
        return {configured, RegistrySource::Environment};
    }
    std::error_code ignored;
    if (UsesSystemRegistry() && fs::exists(SystemRegistryPath(), ignored)) {
        return {SystemRegistryPath(), RegistrySource::System};
    }
    return {StateDirectory() / "hklm.reg", RegistrySource::UserDefault};
}

std::optional<RegistryChoice> FindInstalledRegistry() {
    if (SystemRegistryIsLive()) return FindRegistry();
    if (const char* configured = std::getenv("VEL_REGISTRY"); configured && *configured) {
        return RegistryChoice{configured, RegistrySource::Environment};
    }
    std::error_code ignored;
    const bool system = fs::exists(SystemRegistryPath(), ignored);
    if (system && UsesSystemRegistry())
        return RegistryChoice{SystemRegistryPath(), RegistrySource::System};
    if (const std::optional<fs::path> state = FindStateDirectory();
        state && fs::exists(*state / "hklm.reg", ignored)) {
        return RegistryChoice{*state / "hklm.reg", RegistrySource::UserDefault};
    }
    if (system) return RegistryChoice{SystemRegistryPath(), RegistrySource::System};
    return std::nullopt;
}

RegistryChoice SelectRegistry(const fs::path& libraryDirectory) {
    RegistryChoice choice = FindRegistry();
    if (choice.live) return choice;
    if (choice.source == RegistrySource::UserDefault) {
        choice.file = InstallDefaultRegistry(StateDirectory(), libraryDirectory);
    }
    SetEnvironment("VEL_REGISTRY", choice.file.string());
    return choice;
}

RegistryChoice SelectTrustedRegistry(const fs::path& libraryDirectory) {
    return TrustRegistry(SelectRegistry(libraryDirectory));
}

RegistryChoice TrustRegistry(const RegistryChoice& registry) {
    if (registry.live) return registry;  // the system's access control keeps it
    SetEnvironment("VEL_REGISTRY", registry.file.string());
    std::error_code ignored;
    if (!fs::exists(registry.file, ignored)) {
        throw RuntimeError("registry file " + registry.file.string() +
                           " (VEL_REGISTRY) does not exist");
    }
    // The library would read a registry that others can change as absent: say why, in its words.
    char refusal[1024];
    if (plat::RegistryRefusal(refusal, sizeof refusal) != 0) throw RuntimeError(refusal);
    return registry;
}

reg::Document ReadRegistryChoice(const RegistryChoice& choice, const fs::path& libraryDirectory) {
    if (choice.live) return ReadLiveRegistry();
    std::error_code error;
    if (fs::exists(choice.file, error)) return LoadRegistryFile(choice.file);
    if (choice.source != RegistrySource::UserDefault) return {};
    return FillDefaultTemplate(config::DefaultRegistryTemplate(), StateDirectory(),
                               fs::absolute(libraryDirectory, error).lexically_normal());
}

reg::Document FillDefaultTemplate(std::string_view templateText, const fs::path& stateDirectory,
                                  const fs::path& libraryDirectory) {
    reg::Document document = ParseRegistryText(templateText, "built-in default registry");
    const std::string state = stateDirectory.string();
    const std::string install = libraryDirectory.string();
    for (reg::Key& key : document.keys) {
        for (reg::Value& value : key.values) FillValue(value, state, install);
    }
    return document;
}

fs::path InstallDefaultRegistry(const fs::path& stateDirectory, const fs::path& libraryDirectory) {
    const fs::path file = stateDirectory / "hklm.reg";
    std::error_code error;
    fs::create_directories(stateDirectory / "alerts", error);
    if (error) {
        throw RuntimeError("cannot create the state directory " + stateDirectory.string() + ": " +
                           error.message());
    }
    // The library believes a registry only in directories that no one else can change, whatever
    // umask created them.
    for (const fs::path& dir : {stateDirectory, stateDirectory / "alerts"}) {
        fs::permissions(dir, fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove, error);
    }
    if (fs::exists(file, error)) return file;
    const fs::path absoluteLibrary = fs::absolute(libraryDirectory, error).lexically_normal();
    SaveRegistryFile(file, FillDefaultTemplate(config::DefaultRegistryTemplate(), stateDirectory,
                                               absoluteLibrary));
    return file;
}

std::string TemporaryNameFor(const fs::path& file) {
    std::random_device seed;
    std::mt19937 random(seed());
    return file.string() + ".tmp-" + std::to_string(random());
}

void CheckReadableFile(const fs::path& file, bool regular, std::uintmax_t size) {
    if (!regular) throw RuntimeError("cannot read " + file.string() + ": not a regular file");
    if (size > kMaxInputFileSize) {
        throw RuntimeError("cannot read " + file.string() + ": larger than " +
                           std::to_string(kMaxInputFileSize >> 20) + " MiB");
    }
}

reg::Document ParseRegistryText(std::string_view text, std::string_view origin,
                                std::vector<reg::Deletion>* deletions) {
    std::vector<reg::ParseIssue> issues;
    reg::Document document = reg::Parse(text, &issues, deletions);
    if (!issues.empty()) {
        throw RuntimeError(std::string(origin) + ": line " + std::to_string(issues.front().line) +
                           ": " + issues.front().message);
    }
    return document;
}

reg::Document LoadRegistryFile(const fs::path& file, std::vector<reg::Deletion>* deletions) {
    return ParseRegistryText(ReadWholeFile(file), file.string(), deletions);
}

reg::Document LoadRegistryChoice(const RegistryChoice& choice) {
    return choice.live ? ReadLiveRegistry() : LoadRegistryFile(choice.file);
}

AlertSettings ReadAlertSettings(const fs::path& registryFile) {
    return ReadAlertSettings(LoadRegistryFile(registryFile));
}

AlertSettings ReadAlertSettings(const reg::Document& document) {
    const CentralAlertSettings read = ReadCentralAlertSettings(DocumentRegistry(document).read);
    AlertSettings settings;
    settings.enabled = read.enabled;
    if (read.directory) {
        std::string text = *read.directory;
        std::replace(text.begin(), text.end(), '\\', '/');
        settings.directory = fs::path(text).make_preferred();  // as the system writes it
    }
    return settings;
}

void SaveRegistryFile(const fs::path& file, const reg::Document& document) {
    SaveTextAtomically(file, reg::Serialize(document));
}

}  // namespace kx::tool
