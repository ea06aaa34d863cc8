// failover_test.cpp: kxevent collect with two --to receivers, both real rsyslogd: the first is
// stopped during a drain and started again; every alert arrives at one or the other (copies
// under one alertId), the collector goes back to the first, and the metrics say which is used.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <thread>

#include "relp_receiver.h"
#include "support.h"

namespace kx::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class CollectorFailover : public ::testing::Test {
  protected:
    TempDir dir;
    fs::path alerts = dir / "alerts";
    fs::path metrics = dir / "m.prom";

    void SetUp() override {
        if (::access("/usr/sbin/rsyslogd", X_OK) != 0) GTEST_SKIP() << "rsyslogd is missing";
        fs::create_directories(alerts);
    }

    void Drop(int count, const std::string& prefix, int first) const {
        for (int i = 0; i < count; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "%08d.TMP", first + i);
            WriteFile(dir / name, SampleAlert(prefix + std::to_string(i), "failover"));
            fs::rename(dir / name, alerts / fs::path(name).replace_extension(".ALR"));
        }
    }

    // Waits until `done` holds; false when it did not within a minute.
    static bool WaitUntil(const std::function<bool()>& done) {
        for (int i = 0; i < 1200 && !done(); ++i) std::this_thread::sleep_for(50ms);
        return done();
    }

    std::string InUse(const RelpReceiver& receiver) const {
        return "kxevent_collect_receiver_in_use{receiver=\"" + receiver.url() + "\"} 1\n";
    }
};

TEST_F(CollectorFailover, FirstReceiverStoppedDuringADrainLosesNothingAndIsUsedAgainOnceBack) {
    RelpReceiver first(dir / "first");
    RelpReceiver second(dir / "second");
    ASSERT_TRUE(first.ready() && second.ready());
    Drop(2000, "a-", 1);
    const fs::path log = dir / "collect.log";
    WriteFile(log, "");
    BackgroundProcess collector(
        "/bin/sh", {"-c", "exec '" + kKxevent + "' collect --dir '" + alerts.string() + "' --to " +
                              first.url() + " --to " + second.url() + " --metrics '" +
                              metrics.string() + "' 2>'" + log.string() + "'"});
    ASSERT_GE(first.WaitForLines(1).size(), 1u);
    first.Stop();
    // The drain goes on to the second receiver while the first is away.
    Drop(1000, "b-", 5000);
    ASSERT_TRUE(WaitUntil([&] { return CountReady(alerts) == 0; })) << ReadFile(log);
    EXPECT_TRUE(WaitUntil([&] {
        return ReadFile(metrics).find(InUse(second)) != std::string::npos;
    })) << ReadFile(metrics);
    EXPECT_GE(second.WaitForLines(1000).size(), 1000u);
    // Back: the next alerts go to the first receiver again, once its backoff let it be tried.
    // New alerts keep coming until one session went there.
    first.Start();
    int late = 0;
    ASSERT_TRUE(WaitUntil([&] {
        const bool back = ReadFile(metrics).find(InUse(first)) != std::string::npos;
        if (!back && CountReady(alerts) == 0) {
            Drop(1, "c-" + std::to_string(late) + "-", 9000 + late);
            ++late;
        }
        return back;
    })) << ReadFile(log);
    Drop(1, "d-", 9500);
    EXPECT_TRUE(WaitUntil([&] { return CountReady(alerts) == 0; }));
    std::vector<std::string> lines = first.WaitForLines(1);
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find("d-0"), std::string::npos) << lines.back();
    EXPECT_NE(ReadFile(log).find("now sending to " + first.url() +
                                 ", the first --to, which answers again"),
              std::string::npos)
        << ReadFile(log);

    // Every alert arrived at one receiver or both, each under one alertId.
    std::map<std::string, std::set<std::string>> ids;
    lines = first.WaitForLines(0);
    for (const std::string& line : second.WaitForLines(0)) lines.push_back(line);
    for (const std::string& line : lines) {
        const Received got = ParseReceived(line);
        ids[got.params.at("szVirusName")].insert(got.params.at("alertId"));
    }
    std::size_t missing = 0, split = 0;
    for (const auto& [prefix, count] :
         std::map<std::string, int>{{"a-", 2000}, {"b-", 1000}, {"d-", 1}}) {
        for (int i = 0; i < count; ++i) {
            const auto found = ids.find(prefix + std::to_string(i));
            missing += found == ids.end();
            split += found != ids.end() && found->second.size() != 1;
        }
    }
    for (int i = 0; i < late; ++i) missing += ids.count("c-" + std::to_string(i) + "-0") == 0;
    EXPECT_EQ(missing, 0u);
    EXPECT_EQ(split, 0u);
}

TEST_F(CollectorFailover, OnceGoesToTheNextReceiverWhenTheFirstDoesNotAnswer) {
    RelpReceiver second(dir / "second");
    Drop(3, "o-", 1);
    const ProcessResult result =
        RunProcess(kKxevent, {"collect", "--dir", alerts.string(), "--to", "relp://127.0.0.1:1",
                              "--to", second.url(), "--once", "--metrics", metrics.string()});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.err.find("not acknowledged by relp://127.0.0.1:1: "), std::string::npos)
        << result.err;
    EXPECT_EQ(second.WaitForLines(3).size(), 3u);
    EXPECT_NE(
        ReadFile(metrics).find(
            "kxevent_collect_receiver_in_use{receiver=\"relp://127.0.0.1:1\"} 0\n" + InUse(second)),
        std::string::npos)
        << ReadFile(metrics);
}

}  // namespace
}  // namespace kx::test
