// spool_test.cpp: one alerting directory as the collector's queue, without a receiver: which
// files a scan lists and in what order, what reading an entry gives for each kind of entry, and
// what becomes of an entry afterwards (removed, kept, set aside in bad/ with its reason, held).
#include "collector/spool.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <functional>

#include "relp_receiver.h"
#include "support.h"

namespace kx::collect {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::SampleAlert;
using test::WriteFile;

class SpoolTest : public ::testing::Test {
  protected:
    Spool Open(const std::optional<fs::path>& keep = std::nullopt) {
        return Spool(alerts, keep, [this](const std::string& line) { logged.push_back(line); });
    }
    void Drop(const std::string& name) const {
        WriteFile(alerts / name, SampleAlert("W32.S", "x"));
    }

    test::TempDir dir;
    fs::path alerts = [this] {
        fs::create_directories(dir / "alerts");
        return dir / "alerts";
    }();
    std::vector<std::string> logged;
};

TEST_F(SpoolTest, ScanListsReadyFilesLowestNumberFirstUpToTheLimitAndRemovesStaleTemporaries) {
    for (const char* name : {"00000010.ALR", "00000002.ALR", "00000100.ALR"}) Drop(name);
    WriteFile(alerts / "00000003.TMP", "being written");
    WriteFile(alerts / "00000004.TMP", "abandoned");
    const auto old = fs::file_time_type::clock::now() - std::chrono::hours(37);
    fs::last_write_time(alerts / "00000004.TMP", old);
    Spool spool = Open();
    const SpoolScan scan = spool.Scan(2);
    EXPECT_EQ(scan.names, (std::vector<std::string>{"00000002.ALR", "00000010.ALR"}));
    EXPECT_EQ(scan.backlog, 3u);
    EXPECT_EQ(scan.staleRemoved, 1u);
    EXPECT_TRUE(fs::exists(alerts / "00000003.TMP"));
    EXPECT_FALSE(fs::exists(alerts / "00000004.TMP"));
}

TEST_F(SpoolTest, LoadTellsAlertsFromEntriesThatAreNone) {
    using Kind = LoadedAlert::Kind;
    const struct {
        const char* what;
        std::function<void(const fs::path&)> make;
        Kind kind;
        const char* reason;
    } rows[] = {
        {"an alert", [](const fs::path& p) { WriteFile(p, SampleAlert("W32.S", "x")); },
         Kind::Alert, ""},
        {"gone", [](const fs::path&) {}, Kind::Gone, ""},
        {"a link", [](const fs::path& p) { fs::create_symlink("/etc/passwd", p); }, Kind::Bad,
         "symbolic link"},
        {"a directory", [](const fs::path& p) { fs::create_directory(p); }, Kind::Bad,
         "not a regular file"},
        {"a FIFO", [](const fs::path& p) { ::mkfifo(p.c_str(), 0600); }, Kind::Bad,
         "not a regular file"},
        {"too large", [](const fs::path& p) { WriteFile(p, std::string(65 * 1024, 'x')); },
         Kind::Bad, "larger than 64 KiB"},
        {"no alert file", [](const fs::path& p) { WriteFile(p, "hello\r\n"); }, Kind::Bad, ""},
    };
    Spool spool = Open();
    int number = 1;
    for (const auto& row : rows) {
        const std::string name = "0000000" + std::to_string(number++) + ".ALR";
        row.make(alerts / name);
        const LoadedAlert loaded = spool.Load(name);
        EXPECT_EQ(loaded.kind, row.kind) << row.what;
        EXPECT_NE(loaded.failure.reason.find(row.reason), std::string::npos)
            << row.what << ": " << loaded.failure.reason;
        if (row.kind == Kind::Bad) {
            EXPECT_FALSE(loaded.failure.reason.empty()) << row.what;
        }
    }
}

TEST_F(SpoolTest, AcknowledgedEntriesAreRemovedOrKeptAndBadOnesSetAsideWithTheirReason) {
    fs::create_directories(dir / "kept");
    Drop("00000001.ALR");
    Drop("00000002.ALR");
    WriteFile(alerts / "00000003.ALR", "hello\r\n");
    Spool keeping = Open(dir / "kept");
    EXPECT_TRUE(keeping.Finish("00000001.ALR"));
    EXPECT_FALSE(fs::exists(alerts / "00000001.ALR"));
    EXPECT_TRUE(fs::exists(dir / "kept" / "00000001.ALR"));
    Spool removing = Open();
    EXPECT_TRUE(removing.Finish("00000002.ALR"));
    EXPECT_FALSE(fs::exists(alerts / "00000002.ALR"));
    EXPECT_FALSE(fs::exists(dir / "kept" / "00000002.ALR"));
    EXPECT_TRUE(removing.Quarantine("00000003.ALR", {1, "no [CentralAlert] section"}));
    EXPECT_TRUE(fs::exists(alerts / "bad" / "00000003.ALR"));
    EXPECT_NE(ReadFile(alerts / "bad" / "00000003.ALR.why").find("no [CentralAlert] section"),
              std::string::npos);
    EXPECT_TRUE(removing.Scan(10).names.empty());
}

TEST_F(SpoolTest, HeldEntryIsNotListedAgainAndItsReasonIsLoggedOnce) {
    Drop("00000001.ALR");
    Drop("00000002.ALR");
    Spool spool = Open();
    spool.Hold("00000001.ALR", HoldReason::Failed, "reading failed");
    spool.Hold("00000001.ALR", HoldReason::Failed, "reading failed");
    EXPECT_EQ(spool.Scan(10).names, (std::vector<std::string>{"00000002.ALR"}));
    EXPECT_EQ(spool.Held().held, 1u);
    std::size_t mentions = 0;
    for (const std::string& line : logged)
        mentions += line.find("reading failed") != std::string::npos;
    EXPECT_EQ(mentions, 1u);
}

}  // namespace
}  // namespace kx::collect
