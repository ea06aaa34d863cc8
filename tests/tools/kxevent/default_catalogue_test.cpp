// default_catalogue_test.cpp: the catalogue of the built-in default registry as an administrator
// reads it: every event of every shipped language sent through the real library with only the
// product and the event number given, so that every optional field is empty.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "child_process.h"
#include "config/default_registry.h"
#include "support.h"
#include "tools/admin/registry_files.h"

namespace kx::test {
namespace {

namespace fs = std::filesystem;

const std::string kCommand = std::string(KX_TEST_BINARY_DIR) + "/bin/kxevent";
constexpr char kEvents[] = "Software\\Velmora\\QRD\\Shared Components\\Events\\";

// The event numbers the default catalogue defines for `language`.
std::vector<std::string> EventsOf(const reg::Document& document, const std::string& language) {
    const std::string prefix = kEvents + language + "\\";
    const std::regex number("[0-9]+");
    std::vector<std::string> events;
    for (const reg::Key& key : document.keys) {
        if (key.path.rfind(prefix, 0) != 0) continue;
        const std::string rest = key.path.substr(prefix.size());
        if (std::regex_match(rest, number)) events.push_back(rest);
    }
    return events;
}

class DefaultCatalogue : public ::testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        document_ = tool::FillDefaultTemplate(config::DefaultRegistryTemplate(), dir_ / "state",
                                              KX_TEST_INSTALL_DIR);
        // The texts are the subject here, not the local syslog.
        std::erase_if(document_.keys, [](const reg::Key& key) {
            return key.path.find("\\Events\\Forwarding") != std::string::npos;
        });
        fs::create_directories(dir_ / "state" / "alerts");
        tool::SaveRegistryFile(dir_ / "hklm.reg", document_);
    }

    // Sends every event of `language` in one run of the command; returns each description.
    std::vector<std::string> Descriptions(const std::string& language, const std::string& lcid) {
        const std::vector<std::string> events = EventsOf(document_, language);
        EXPECT_GE(events.size(), 10u) << language;
        std::vector<std::string> args;
        for (const std::string& event : events) {
            if (!args.empty()) args.push_back("--then");
            args.insert(args.end(), {"send", "--product", "1", "--event", event});
        }
        const ProcessResult result =
            RunProcess(kCommand, args,
                       {{"VEL_REGISTRY", (dir_ / "hklm.reg").string()},
                        {"VEL_THREAD_LCID", lcid},
                        {"VEL_EVENTLOG", (dir_ / "eventlog.json").string()},
                        {"VEL_DEBUGCORE", std::nullopt},
                        {"KXEVENT_LIBRARY_DIR", std::nullopt}});
        EXPECT_EQ(result.exitCode, 0) << result.err;
        std::vector<std::string> descriptions;
        for (const std::string& line : Lines(result.out)) {
            if (line.rfind("description: ", 0) == 0) descriptions.push_back(line.substr(13));
        }
        EXPECT_EQ(descriptions.size(), events.size()) << result.out;
        return descriptions;
    }

    TempDir dir_;
    reg::Document document_;
};

// An empty field expands to '_': two of them side by side leave the reader guessing which is
// which, and one glued to a word or a full stop glued to the next sentence reads as a typo.
TEST_P(DefaultCatalogue, EmptyOptionalFieldsStillReadAsSentences) {
    const std::string language = GetParam();
    const bool german = language == "0701";
    const std::string appended = german ? ". (von " : ". (from ";
    const std::vector<std::pair<std::regex, const char*>> faults = {
        {std::regex("'_'[ (]+'_'"), "two empty fields side by side"},
        {std::regex("[A-Za-z0-9]'_'|'_'[A-Za-z0-9(]"), "an empty field glued to a word"},
        {std::regex("[.,;:)][A-Za-z(]"), "no space after punctuation"},
        {std::regex("  "), "a doubled space"},
    };
    for (const std::string& description : Descriptions(language, german ? "0x0407" : "0x0409")) {
        for (const auto& [pattern, fault] : faults) {
            EXPECT_FALSE(std::regex_search(description, pattern)) << fault << ": " << description;
        }
        EXPECT_NE(description.find(appended), std::string::npos)
            << "not the language's append text as a sentence of its own: " << description;
    }
}

INSTANTIATE_TEST_SUITE_P(ShippedLanguages, DefaultCatalogue, ::testing::Values("0901", "0701"));

}  // namespace
}  // namespace kx::test
