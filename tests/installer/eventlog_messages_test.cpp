// The event log's identifiers: each source the library, the platform layer and FwdSyslog write
// under has its event ID and category, the central alert entry keeps its source and number, and
// the message table compiled into each Windows build's KXEventMessages.dll (read back with
// windres) holds a text for exactly the identifiers and categories the code writes, each
// carrying the entry's text in an insertion string, and KXEventAlerts.dll, the alerting
// service's, holds "%1" for every event number. The tables are skipped when a Windows build is
// not present.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "delivery/alert_log.h"
#include "platform/eventlog_ids.h"
#include "tests/exports/command.h"
#include "tests/support/support.h"

namespace {

namespace fs = std::filesystem;
using kx::test::Lines;
using kx::test::RunCommand;

TEST(EventLogKeys, EachSourceHasItsIdentifierAndCategory) {
    const struct {
        const char* given;  // the event-log call's source
        const char* source;
        unsigned id;
        unsigned shown;  // as Event Viewer shows it
        unsigned category;
    } cases[] = {
        {nullptr, "KXEvent", 100, 100, 3},
        {"KXEvent", "KXEvent", 100, 100, 3},
        {"KXEvent Platform", "KXEvent Platform", 200, 200, 4},
        {"FwdSyslog", "FwdSyslog", 300, 300, 2},
        {"Derad Edarevu Razud Evarivive", "Derad Edarevu Razud Evarivive", 0xC0000101u, 257, 1},
        {"Some Other Module", "Some Other Module", 900, 900, 5},
    };
    for (const auto& c : cases) {
        const kx_event_log_key key = kx_event_log_key_of(c.given);
        EXPECT_STREQ(key.source, c.source);
        EXPECT_EQ(key.id, c.id) << c.source;
        EXPECT_EQ(key.id & 0xFFFFu, c.shown) << c.source;
        EXPECT_EQ(key.category, c.category) << c.source;
    }
}

// Other programs look for failed alerts by this source and number.
TEST(EventLogKeys, TheCentralAlertEntryKeepsItsSourceAndNumber) {
    EXPECT_STREQ(kx::kAlertLogSource, KX_EVENT_SOURCE_ALERT);
    EXPECT_EQ(kx::kAlertLogNumber, KX_EVENT_ID_ALERT_DELIVERY);
    EXPECT_EQ(kx_event_log_key_of(kx::kAlertLogSource).id, kx::kAlertLogNumber);
}

struct Build {
    const char* name;
    const char* dir;
    const char* windres;
};

void PrintTo(const Build& build, std::ostream* out) {
    *out << build.name;
}

// The messages of a module's message table by identifier (UTF-16 texts, as windmc writes them,
// read as ASCII), from the resource's words as windres -O rc prints them.
std::map<std::uint32_t, std::string> MessageTable(const Build& build, const fs::path& module) {
    const auto result = RunCommand({build.windres, "-i", module.string(), "-O", "rc"});
    EXPECT_EQ(result.status, 0) << build.windres << " -i " << module;
    std::vector<std::uint8_t> bytes;
    bool inTable = false;
    static const std::regex word(R"(0x([0-9a-fA-F]+)L)");
    for (const std::string& line : Lines(result.output)) {
        if (line.find("RT_MESSAGETABLE") != std::string::npos) inTable = true;
        if (!inTable) continue;
        if (line.rfind("END", 0) == 0) break;
        for (std::sregex_iterator it(line.begin(), line.end(), word), end; it != end; ++it) {
            const auto value = static_cast<std::uint32_t>(std::stoul((*it)[1], nullptr, 16));
            for (int shift = 0; shift < 32; shift += 8) bytes.push_back((value >> shift) & 0xFF);
        }
    }
    const auto dword = [&](std::size_t at) {
        return at + 4 <= bytes.size()
                   ? static_cast<std::uint32_t>(bytes[at] | bytes[at + 1] << 8 |
                                                bytes[at + 2] << 16 |
                                                static_cast<std::uint32_t>(bytes[at + 3]) << 24)
                   : 0u;
    };
    std::map<std::uint32_t, std::string> messages;
    const std::uint32_t blocks = dword(0);
    EXPECT_GT(blocks, 0u) << "no message table in " << module;
    for (std::uint32_t block = 0; block < blocks && block < 64; ++block) {
        const std::uint32_t low = dword(4 + 12 * block);
        const std::uint32_t high = dword(8 + 12 * block);
        std::size_t entry = dword(12 + 12 * block);
        for (std::uint64_t id = low; id <= high && entry + 4 <= bytes.size(); ++id) {
            const std::size_t length = bytes[entry] | bytes[entry + 1] << 8;
            std::string text;
            for (std::size_t at = entry + 4; at + 1 < entry + length && at + 1 < bytes.size();
                 at += 2) {
                if (bytes[at] == 0 && bytes[at + 1] == 0) break;
                text.push_back(static_cast<char>(bytes[at]));
            }
            messages[static_cast<std::uint32_t>(id)] = text;
            if (length == 0) break;
            entry += length;
        }
    }
    return messages;
}

class MessageFile : public ::testing::TestWithParam<Build> {};

TEST_P(MessageFile, HoldsATextForEveryIdentifierTheCodeWrites) {
    const Build& build = GetParam();
    const fs::path module = fs::path(build.dir) / "lib/velmora/KXEventMessages.dll";
    if (!fs::exists(module)) GTEST_SKIP() << module << " is not built (bash scripts/test.sh)";
    ASSERT_FALSE(std::string(build.windres).empty()) << "mingw-w64 windres is not installed";
    const auto messages = MessageTable(build, module);

    std::set<std::uint32_t> expected;
    for (unsigned category = 1; category <= KX_EVENT_CATEGORY_COUNT; ++category) {
        expected.insert(category);
        EXPECT_FALSE(messages.count(category) == 0 || messages.at(category).empty()) << category;
    }
    const std::uint32_t events[] = {KX_EVENT_ID_TRACE,      KX_EVENT_ID_MODULE_REFUSED,
                                    KX_EVENT_ID_FORWARDING, KX_EVENT_ID_COLLECTOR,
                                    KX_EVENT_ID_OTHER,      KX_EVENT_ID_ALERT_DELIVERY};
    for (const std::uint32_t id : events) {
        expected.insert(id);
        ASSERT_EQ(messages.count(id), 1u) << std::hex << id;
        const std::string& text = messages.at(id);
        // %4 is the entry's text (%1 "label: text").
        EXPECT_TRUE(text.find("%4") != std::string::npos || text.find("%1") != std::string::npos)
            << std::hex << id << ": " << text;
    }
    std::set<std::uint32_t> found;
    for (const auto& [id, text] : messages) found.insert(id);
    EXPECT_EQ(found, expected);
}

// The alerting service writes each alert with its event number as the identifier, so every
// number Event Viewer can show has a message, the alert's own text (%1, as windmc ends a line).
TEST_P(MessageFile, TheAlertsModuleShowsTheAlertForEveryEventNumber) {
    const Build& build = GetParam();
    const fs::path module = fs::path(build.dir) / "lib/velmora" / KX_EVENT_ALERTS_MESSAGE_FILE;
    if (!fs::exists(module)) GTEST_SKIP() << module << " is not built (bash scripts/test.sh)";
    ASSERT_FALSE(std::string(build.windres).empty()) << "mingw-w64 windres is not installed";
    const auto messages = MessageTable(build, module);

    ASSERT_EQ(messages.size(), KX_EVENT_ALERTS_HIGHEST_ID + 1u);
    EXPECT_EQ(messages.begin()->first, 0u);
    EXPECT_EQ(messages.rbegin()->first, KX_EVENT_ALERTS_HIGHEST_ID);
    std::size_t other = 0;
    for (const auto& [id, text] : messages) {
        if (text != "%1\n" && other++ < 5) ADD_FAILURE() << id << ": \"" << text << "\"";
    }
    EXPECT_EQ(other, 0u) << "identifiers whose message is not \"%1\"";
}

INSTANTIATE_TEST_SUITE_P(
    Windows, MessageFile,
    ::testing::Values(Build{"i686", KX_TEST_MINGW32_DIR, KX_TEST_MINGW32_WINDRES},
                      Build{"x86_64", KX_TEST_MINGW64_DIR, KX_TEST_MINGW64_WINDRES}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
