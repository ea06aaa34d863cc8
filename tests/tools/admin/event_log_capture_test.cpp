// event_log_capture_test.cpp: event-log entries written by the platform into a real event-log
// file and read back by the command, texts beyond ASCII included.
#include "tools/admin/event_log_capture.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "support.h"

namespace kx::tool {
namespace {

using kx::test::ReadFile;
using kx::test::ScopedEnv;
using kx::test::TempDir;

TEST(EventLogCapture, Utf8NamesAndStrayBytesRoundTripThroughTheFile) {
    TempDir dir;
    const std::filesystem::path file = dir / "eventlog.json";
    ScopedEnv env("VEL_EVENTLOG", file.string());
    EventLogCapture capture;
    // A UTF-8 name, a stray Latin-1 byte (0xE9) and a stray C1 control (0x9B, CSI).
    plat::AddEventLogEntry("Fwd M\xC3\xBCller",
                           "\xC3\x9C"
                           "bersicht",
                           0, 0,
                           "C:\\caf\xE9\\\xE2\x82\xAC.txt \x9B"
                           "31m");
    const std::vector<EventLogEntry> entries = capture.Take();
    ASSERT_EQ(entries.size(), 1u) << ReadFile(file);
    EXPECT_EQ(entries[0].source, "Fwd M\xC3\xBCller");
    EXPECT_EQ(entries[0].label,
              "\xC3\x9C"
              "bersicht");
    EXPECT_EQ(entries[0].text,
              "C:\\caf\xC3\xA9\\\xE2\x82\xAC.txt \xC2\x9B"
              "31m");
    // Any JSON reader of the file gets the same characters: UTF-8 written as itself, the
    // control escaped.
    const std::string line = ReadFile(file);
    EXPECT_NE(line.find("\"source\":\"Fwd M\xC3\xBCller\""), std::string::npos) << line;
    EXPECT_NE(line.find("\\u009b31m"), std::string::npos) << line;
}

TEST(EventLogCapture, EscapedControlsReadBackAsTheirCharacters) {
    EventLogEntry entry;
    ASSERT_TRUE(
        ParseEventLogLine("{\"source\":null,\"label\":\"a\\u0009b\",\"kind\":0,"
                          "\"number\":0,\"text\":\"\\u0085 \\\"q\\\" \\\\\"}",
                          entry));
    EXPECT_EQ(entry.source, "");
    EXPECT_EQ(entry.label, "a\tb");
    EXPECT_EQ(entry.text, "\xC2\x85 \"q\" \\");
}

}  // namespace
}  // namespace kx::tool
