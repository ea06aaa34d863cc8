// shared_rules_test.cpp: the library and the kxevent command given the same registry, files and
// environment come to the same answer: the installation directory, the resource module, the
// catalogue's events and the loader's verdict on a module.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "catalogue/definitions.h"
#include "child_process.h"
#include "command_environment.h"
#include "common/text.h"
#include "platform/platform.h"
#include "runtime/binder.h"
#include "runtime/resources.h"
#include "runtime/state.h"
#include "support.h"

namespace kx::test {
namespace {

namespace fs = std::filesystem;

const std::string kCommand = std::string(KX_TEST_BINARY_DIR) + "/bin/kxevent";

// A registry file and an installation directory copied from the build tree, both sound.
class SharedRules : public ::testing::Test {
  protected:
    TempDir dir;
    fs::path registry = dir / "hklm.reg";
    fs::path install = dir / "install";
    Environment env = CommandEnvironment(dir, registry, KX_TEST_INSTALL_DIR);

    void SetUp() override {
        fs::create_directory(install);
        ::chmod(install.c_str(), 0755);
    }
    void Set(const std::string& name, const std::optional<std::string>& value) {
        env[name] = value;
        if (value)
            ::setenv(name.c_str(), value->c_str(), 1);
        else
            ::unsetenv(name.c_str());
    }
    void Write(RegFile& reg) {
        reg.WriteTo(registry);
        ::chmod(registry.c_str(), 0644);
        Set("VEL_REGISTRY", registry.string());
    }
    // The resource module placed as Res<language>/<name>, with `mode`.
    void AddResources(const std::string& language, const std::string& name, int mode = 0644) {
        const fs::path to = install / ("Res" + language);
        fs::create_directories(to);
        fs::copy_file(fs::path(KX_TEST_INSTALL_DIR) / "Res0901" / "kxUtlRes.dll", to / name);
        ::chmod(to.c_str(), 0755);
        ::chmod((to / name).c_str(), mode);
    }
    // The doctor's line for `check`, "ok    check: ..." or "FAIL  check: ...".
    std::string DoctorLine(const std::string& check) const {
        const ProcessResult result = RunProcess(kCommand, {"doctor"}, env);
        for (const std::string& line : Lines(result.out)) {
            if (line.find("  " + check + ": ") == 4) return line;
        }
        return "no line for " + check + " in: " + result.out;
    }
};

TEST_F(SharedRules, InstallationDirectoryIsTheLibrarysWhereverItComesFrom) {
    struct Row {
        std::optional<std::string> value, debugCore, expected;
        int code;  // the library's discovery code
        bool passes;
    };
    const std::string path = install.string();
    // A name ending in '/' fails the library's existence test (code 4), as FindFirstFile fails
    // on it, yet the library binds its parts below it: doctor passes it.
    for (const Row& row : std::vector<Row>{{path + "\\", std::nullopt, path, 0, true},
                                           {path + "/", std::nullopt, path + "/", 4, true},
                                           {"/nowhere", path, path, 0, true},
                                           {std::nullopt, std::nullopt, std::nullopt, 2, false}}) {
        RegFile reg;
        reg.Key(kInstallKey).String("szProduct", "test");
        if (row.value) reg.String("szInstallDir", *row.value);
        Write(reg);
        Set("VEL_DEBUGCORE", row.debugCore);
        const int code = BindCoreComponents(0);  // the discovery alone: its code
        const std::string line = DoctorLine("installation directory");
        EXPECT_EQ(std::string(GetInstallDirectory()), row.expected.value_or("")) << line;
        EXPECT_EQ(code, row.code);
        EXPECT_EQ(line.rfind(row.passes ? "ok    " : "FAIL  ", 0), 0u) << code << ": " << line;
        if (row.expected) {
            std::string shown = *row.expected;
            if (shown.back() == '/') shown.pop_back();
            EXPECT_NE(line.find(": " + shown + " ("), std::string::npos) << line;
        }
    }
}

TEST_F(SharedRules, ResourceModuleIsTheCopyTheLibraryLoadsOrRefuses) {
    struct Row {
        const char* thread;
        std::vector<std::array<std::string, 2>> copies;  // language, file name
        std::string language;                            // the library's; "" when it refuses
        int mode = 0644;
    };
    const std::vector<Row> rows = {
        {"0x0409", {{"0901", "kxUtlRes.dll"}}, "0901"},
        {"0x0c0c", {{"0c01", "kxUtlRes.dll"}, {"0901", "kxUtlRes.dll"}}, "0c01"},
        {"0x0407", {{"0701", "KXUTLRES.DLL"}, {"0901", "kxUtlRes.dll"}}, "0701"},
        {"0x0409", {{"0000", "kxUtlRes.dll"}}, "0000"},
        {"0x0407", {{"0701", "kxUtlRes.dll"}, {"0901", "kxUtlRes.dll"}}, "", 0664},
    };
    for (const Row& row : rows) {
        fs::remove_all(install);
        SetUp();
        for (const auto& [language, name] : row.copies) {
            AddResources(language, name, language == row.copies.front()[0] ? row.mode : 0644);
        }
        RegFile reg;
        reg.Key(kInstallKey).String("szInstallDir", install.string());
        Write(reg);
        for (const char* locale : {"VEL_THREAD_LCID", "VEL_USER_LCID", "VEL_SYSTEM_LCID"}) {
            Set(locale, row.thread);
        }
        BindCoreComponents(0);
        std::snprintf(LanguageCode, kLanguageCodeSize, "none");
        const plat::Module module = LoadResourceModule(
            ResourceSearchBase(GetInstallDirectory()).c_str(), kResourceModuleName);
        const std::string line = DoctorLine("resource module");
        EXPECT_EQ(module != nullptr, !row.language.empty()) << line;
        EXPECT_EQ(line.rfind(module ? "ok    " : "FAIL  ", 0), 0u) << line;
        const std::string language = row.language.empty() ? row.copies.front()[0] : row.language;
        EXPECT_NE(line.find("/Res" + language + "/"), std::string::npos) << line;
        EXPECT_NE(line.find("(language " + language), std::string::npos) << line;
        EXPECT_EQ(FieldText(LanguageCode), module ? row.language : "none");
        plat::FreeLibrary(module);
    }
}

TEST_F(SharedRules, EventsListsWhatTheLibraryReadsForEachLanguage) {
    const std::string events = std::string(kEventsKey) + "\\";
    RegFile reg;
    reg.Key(events + "0701\\Defaults").String("ID", "D").String("SHORTDESCRIPT", "Vorgabe");
    reg.Dword("SEVERITY", 3);
    reg.Key(events + "0901\\Defaults").String("ID", "D").String("SHORTDESCRIPT", "Default");
    reg.Key(events + "0701\\100").String("SHORTDESCRIPT", "Hundert");
    reg.Key(events + "0901\\100").String("SHORTDESCRIPT", "Hundred").Dword("SEVERITY", 4);
    reg.Key(events + "0901\\200").Dword("SEVERITY", 259);
    reg.Key(events + "0701\\300").String("SHORTDESCRIPT", std::string(40, 'x'));
    reg.Key(events + "0701\\400").String("SEVERITY", "3");
    // A Defaults key that opens only as the parent of another, holding no values.
    reg.Key(events + "0c01\\Defaults\\Extra").String("ID", "E");
    Write(reg);
    for (const char* language : {"0701", "0901", "0c01"}) {
        CopyText(LanguageCode, language);
        MessageDefaults = MessageDefaultsData{};
        LoadMessageDefaults();
        static const char* const kNames[] = {"informational", "notice", "warning", "error",
                                             "critical"};
        std::string expected;
        for (int event : {100, 200, 300, 400}) {
            MessageRecord message{};
            DetailRecord detail{};
            if (LoadMessageDefinition(event, &message, &detail) == 0) continue;
            const std::string text(FieldText(message.szShortDescript));
            expected += std::to_string(event) + "  " + kNames[std::min(message.uSeverity, 4u)] +
                        (text.empty() ? "" : "  " + text) + "\n";
        }
        const ProcessResult result = RunProcess(kCommand, {"events", "--language", language}, env);
        // The table pads its columns; the texts and their order are what must agree.
        EXPECT_EQ(std::regex_replace(result.out, std::regex(" {2,}"), "  "), expected)
            << language << result.err;
    }
}

TEST_F(SharedRules, ForwardingModuleIsRefusedForTheReasonTheLoaderGives) {
    const fs::path shared = dir / "shared";
    fs::create_directory(shared);
    ::chmod(shared.c_str(), 0775);
    const fs::path sound = install / "FwdSyslog.DLL";
    fs::copy_file(fs::path(KX_TEST_INSTALL_DIR) / "FwdSyslog.DLL", sound);
    ::chmod(sound.c_str(), 0644);
    fs::copy_file(sound, shared / "Open.DLL");
    ::chmod((shared / "Open.DLL").c_str(), 0666);
    fs::create_symlink(sound, install / "Link.DLL");
    fs::create_symlink(sound, shared / "Link.DLL");
    fs::create_symlink(install / "gone", install / "Gone.DLL");
    const std::vector<fs::path> names = {install / "fwdsyslog.dll", install / "Link.DLL",
                                         shared / "open.dll", shared / "Link.DLL",
                                         install / "gone.dll"};
    for (const fs::path& name : names) {
        RegFile reg;
        reg.Key(kForwardingKey).String("Syslog", name.string());
        Write(reg);
        plat::ClearLoadRefusal();
        const plat::Module module = plat::LoadConfiguredLibraryA(name.c_str());
        std::array<char, plat::kMaxLoadRefusal> refusal{};
        plat::LoadRefusal(refusal.data(), refusal.size());
        const std::string why(refusal.data());
        const std::string line = DoctorLine("forwarding module \"Syslog\"");
        EXPECT_EQ(line.rfind(module ? "ok    " : "FAIL  ", 0), 0u) << name << ": " << line;
        const std::size_t reason = why.find("was not loaded: ");
        if (reason != std::string::npos) {
            EXPECT_NE(line.find(why.substr(reason + 16)), std::string::npos) << why << line;
        } else if (!module) {
            EXPECT_NE(line.find("does not exist"), std::string::npos) << line;
        }
        plat::FreeLibrary(module);
    }
}

}  // namespace
}  // namespace kx::test
