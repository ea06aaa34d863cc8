// eventlog_test.cpp: event-log entries appended as JSON lines to the file named by
// VEL_EVENTLOG.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "platform/eventlog_line.h"
#include "platform/platform.h"
#include "support.h"

namespace {

namespace plat = kx::plat;
using kx::test::ReadFile;
using kx::test::ScopedEnv;
using kx::test::TempDir;

TEST(PlatEventLog, OneJsonObjectPerLine) {
    TempDir dir;
    ScopedEnv env("VEL_EVENTLOG", (dir / "events.jsonl").string());
    plat::AddEventLogEntry("Source", "Label", 0, 0xC0000101, "text");
    plat::AddEventLogEntry(nullptr, "Trace", 2, 3, "second");
    EXPECT_EQ(
        ReadFile(dir / "events.jsonl"),
        "{\"source\":\"Source\",\"label\":\"Label\",\"kind\":0,\"number\":3221225729,"
        "\"text\":\"text\"}\n"
        "{\"source\":null,\"label\":\"Trace\",\"kind\":2,\"number\":3,\"text\":\"second\"}\n");
}

TEST(PlatEventLog, EscapesQuotesAndControlsButKeepsUtf8) {
    EXPECT_EQ(plat::EventLogJsonLine("a\"b", "c\\d", 1, 0, "line\r\n\t\x01\x7f\xc3\xa9"),
              "{\"source\":\"a\\\"b\",\"label\":\"c\\\\d\",\"kind\":1,\"number\":0,"
              "\"text\":\"line\\u000d\\u000a\\u0009\\u0001\\u007f\xc3\xa9\"}\n");
}

TEST(PlatEventLog, StrayBytesAreLatin1AndC1ControlsEscaped) {
    // 0xE9 alone is no UTF-8: it is U+00E9. 0x9B alone and the sequence C2 85 are C1 controls.
    EXPECT_EQ(
        plat::EventLogJsonLine("M\xfcller", "L", 0, 0, "caf\xe9 \x9b[31m \xc2\x85 \xe2\x82\xac"),
        "{\"source\":\"M\xc3\xbcller\",\"label\":\"L\",\"kind\":0,\"number\":0,"
        "\"text\":\"caf\xc3\xa9 \\u009b[31m \\u0085 \xe2\x82\xac\"}\n");
}

TEST(PlatEventLog, NullTextsBecomeEmpty) {
    EXPECT_EQ(plat::EventLogJsonLine(nullptr, nullptr, 2, 0, nullptr),
              "{\"source\":null,\"label\":\"\",\"kind\":2,\"number\":0,\"text\":\"\"}\n");
}

TEST(PlatEventLog, WithoutFileNothingIsWritten) {
    TempDir dir;
    ScopedEnv env("VEL_EVENTLOG", std::nullopt);
    plat::AddEventLogEntry(nullptr, "Label", 2, 0, "text");
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(PlatEventLog, ConcurrentProcessesNeverInterleaveLines) {
    TempDir dir;
    ScopedEnv env("VEL_EVENTLOG", (dir / "events.jsonl").string());
    const std::string text(3000, 'q');
    constexpr int kProcesses = 4, kEntries = 50;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int i = 0; i < kEntries; ++i)
                plat::AddEventLogEntry(nullptr, "L", 2, p, text.c_str());
            ::_exit(0);
        }
        children.push_back(child);
    }
    for (pid_t child : children) ::waitpid(child, nullptr, 0);
    std::istringstream lines(ReadFile(dir / "events.jsonl"));
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ++count;
        EXPECT_TRUE(line.starts_with("{\"source\":null,\"label\":\"L\"")) << count;
        EXPECT_TRUE(line.ends_with("\"}")) << count;
    }
    EXPECT_EQ(count, kProcesses * kEntries);
}

}  // namespace
