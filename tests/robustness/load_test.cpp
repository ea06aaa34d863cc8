// load_test.cpp: several sender processes, each with several threads, sending into one
// alerting directory with one fixed tick count; and a sender killed mid-stream.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "robust_support.h"

extern char** environ;

namespace kx::robust {
namespace {

namespace fs = std::filesystem;

pid_t SpawnSender(const std::vector<std::string>& args, const fs::path& out) {
    std::vector<std::string> all = {KX_TEST_SENDER};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : all) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    const int error = posix_spawn(&pid, KX_TEST_SENDER, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return error == 0 ? pid : -1;
}

int WaitFor(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class LoadTest : public ScratchMachineTest {
  protected:
    void SetUp() override {
        fs::create_directories(alerts_);
        SendingRegistry(alerts_).WriteTo(registry_);
    }

    fs::path alerts_ = tmp_ / "alerts";
};

TEST_F(LoadTest, ProcessesAndThreadsWithOneTickCountLoseNoAlertAndLeaveNoTemporaryFile) {
    constexpr int kProcesses = 3, kThreads = 3, kSends = 25;
    std::vector<pid_t> senders;
    for (int p = 0; p < kProcesses; ++p) {
        senders.push_back(SpawnSender({KX_TEST_INSTALL_DIR "/KXEvent.DLL", std::to_string(kThreads),
                                       std::to_string(kSends), "P" + std::to_string(p), "5"},
                                      tmp_ / ("out" + std::to_string(p))));
        ASSERT_GT(senders.back(), 0);
    }
    for (int p = 0; p < kProcesses; ++p) {
        EXPECT_EQ(WaitFor(senders[p]), 0);
        EXPECT_EQ(test::ReadFile(tmp_ / ("out" + std::to_string(p))),
                  "sent " + std::to_string(kThreads * kSends) + " failed 0\n");
    }

    std::set<std::string> expected;
    for (int p = 0; p < kProcesses; ++p)
        for (int t = 0; t < kThreads; ++t)
            for (int i = 0; i < kSends; ++i)
                expected.insert("P" + std::to_string(p) + "-" + std::to_string(t) + "-" +
                                std::to_string(i));
    std::set<std::string> seen;
    for (const fs::path& file : FilesEndingWith(alerts_, ".ALR")) {
        const AlertFile alert = ReadAlert(file);
        ASSERT_TRUE(alert.complete) << file;
        EXPECT_TRUE(alert.Value("szActualMessage").starts_with("Robust event.")) << file;
        EXPECT_EQ(alert.Value("uSpecificTrap"), "1001") << file;
        EXPECT_TRUE(seen.insert(alert.Value("szVirusName")).second)
            << "two files for " << alert.Value("szVirusName");
    }
    EXPECT_EQ(seen, expected);
    EXPECT_TRUE(FilesEndingWith(alerts_, ".TMP").empty());
    EXPECT_EQ(CountLogLines(eventLog_, "alerting directory"), 0u);
}

TEST_F(LoadTest, SenderKilledMidStreamLeavesOnlyCompleteAlertFiles) {
    const pid_t sender =
        SpawnSender({KX_TEST_INSTALL_DIR "/KXEvent.DLL", "2", "100000", "K", "0"}, tmp_ / "out");
    ASSERT_GT(sender, 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(40);
    while (FilesEndingWith(alerts_, ".ALR").size() < 40 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(::kill(sender, SIGKILL), 0);
    EXPECT_EQ(WaitFor(sender), 128 + SIGKILL);

    const auto published = FilesEndingWith(alerts_, ".ALR");
    EXPECT_GE(published.size(), 40u);
    for (const fs::path& file : published) {
        EXPECT_TRUE(ReadAlert(file).complete) << file;
    }
    // Each thread may have been cut while writing its one temporary file.
    EXPECT_LE(FilesEndingWith(alerts_, ".TMP").size(), 2u);
}

}  // namespace
}  // namespace kx::robust
