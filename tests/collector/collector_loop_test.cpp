// collector_loop_test.cpp: the collector's main loop in the test's own process, against the
// shipped receiver run by the tests' rsyslogd: what a drain delivers and leaves behind, what it
// sets aside, how it fails over between receivers, waits for one that is down and reconnects,
// ends when asked to stop, and what the metrics file says at the end.
#include <gtest/gtest.h>
#include <unistd.h>

#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <thread>

#include "collector/collector.h"
#include "relp_receiver.h"
#include "support.h"

namespace kx::collect {
namespace {

namespace fs = std::filesystem;
using test::CountReady;
using test::ReadFile;
using test::RelpReceiver;
using test::SampleAlert;
using test::WriteFile;

// What the loop logged, for the test thread to wait on.
class LogLines {
  public:
    void Add(const std::string& line) {
        const std::lock_guard lock(mutex_);
        lines_.push_back(line);
        added_.notify_all();
    }
    // Whether a line holding `part` came within `seconds`.
    bool WaitFor(const std::string& part, int seconds) {
        std::unique_lock lock(mutex_);
        return added_.wait_for(lock, std::chrono::seconds(seconds), [&] {
            for (const std::string& line : lines_)
                if (line.find(part) != std::string::npos) return true;
            return false;
        });
    }
    std::string All() {
        const std::lock_guard lock(mutex_);
        std::string all;
        for (const std::string& line : lines_) all += line + "\n";
        return all;
    }

  private:
    std::mutex mutex_;
    std::condition_variable added_;
    std::vector<std::string> lines_;
};

// How a row's run ends.
enum class End {
    kOnce,                       // by itself, as with --once
    kStopWhenRetrying,           // stopped once the loop waits to try the receiver again
    kStartFirstWhenRetrying,     // then the first receiver starts, and the stop comes once it
                                 // has taken the files
    kStopAtFirstAcknowledgement  // stopped from the log line of the first acknowledgement
};

struct Row {
    const char* behaviour;
    bool secondReceiver;  // a second --to, always up
    bool firstUp;         // the first --to answers from the start
    int alerts;           // alert files dropped
    int bad;              // entries that are not alert files
    End end;
    int exitCode;
    int toFirst, toSecond;  // messages each receiver stored; -1: those acknowledged
    int left;               // alert files still ready at the end; -1: those not acknowledged
    const char* inUse;      // the receiver the metrics file names: "first", "second", or ""
    const char* neverLogged;
};

class CollectorLoop : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::access("/usr/sbin/rsyslogd", X_OK) != 0) GTEST_SKIP() << "rsyslogd is missing";
        std::signal(SIGPIPE, SIG_IGN);  // as the command does
    }
};

TEST_F(CollectorLoop, DeliversSetsAsideFailsOverRetriesAndStopsAsTheReceiversAllow) {
    const Row rows[] = {
        {"drains to empty", false, true, 5, 0, End::kOnce, 0, 5, 0, 0, "first", "not ack"},
        {"a bad file set aside", false, true, 3, 2, End::kOnce, 0, 3, 0, 0, "first", "not ack"},
        {"failover to the second", true, false, 4, 0, End::kOnce, 0, 0, 4, 0, "second", ""},
        {"no receiver keeps every file", false, false, 3, 0, End::kOnce, 1, 0, 0, 3, "", ""},
        {"receiver down then up", false, false, 3, 0, End::kStartFirstWhenRetrying, 0, 3, 0, 0,
         "first", ""},
        {"stop requested while waiting", false, false, 3, 0, End::kStopWhenRetrying, 0, 0, 0, 3, "",
         ""},
        // More than the window of unanswered messages: the stop comes before the last is sent,
        // and a drain cut short by it is no failed session.
        {"stop requested mid-drain", false, true, kRelpWindow + 200, 0,
         End::kStopAtFirstAcknowledgement, 0, -1, 0, -1, "first", "not ack"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.behaviour);
        test::TempDir dir;
        const fs::path alerts = dir / "alerts";
        fs::create_directories(alerts);
        int number = 1;
        for (int i = 0; i < row.alerts + row.bad; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "%08d.ALR", number++);
            WriteFile(alerts / name, i < row.alerts
                                         ? SampleAlert("W32.Loop" + std::to_string(i), "m")
                                         : "not an alert\r\n");
        }
        RelpReceiver first(dir / "first");
        std::optional<RelpReceiver> second;
        if (row.secondReceiver) second.emplace(dir / "second");
        ASSERT_TRUE(first.ready() && (!second || second->ready()));
        if (!row.firstUp) first.Stop();

        CollectorOptions options;
        options.directories = {alerts};
        options.target = ParseRelpUrl(first.url());
        if (second) options.alternates = {ParseRelpUrl(second->url())};
        options.once = row.end == End::kOnce;
        options.verbose = row.end == End::kStopAtFirstAcknowledgement;
        options.metrics = dir / "collect.prom";
        options.maxBackoffSeconds = 2;
        std::atomic<bool> stop = false;
        LogLines log;
        Collector collector(options, [&](const std::string& line) {
            if (options.verbose && line.starts_with("acknowledged: ")) stop = true;
            log.Add(line);
        });
        int exitCode = -1;
        if (row.end == End::kStopWhenRetrying || row.end == End::kStartFirstWhenRetrying) {
            std::thread loop([&] { exitCode = collector.Run(stop); });
            EXPECT_TRUE(log.WaitFor("; trying again in ", 60)) << log.All();
            if (row.end == End::kStartFirstWhenRetrying) {
                first.Start();
                EXPECT_EQ(first.WaitForLines(row.toFirst, 60).size(),
                          static_cast<std::size_t>(row.toFirst));
                // Stored before acknowledged: the files go a moment later.
                for (int i = 0; i < 1200 && CountReady(alerts) != 0; ++i)
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            stop = true;
            loop.join();
        } else {
            exitCode = collector.Run(stop);
        }

        const auto acknowledged = static_cast<int>(collector.counters().acknowledged);
        const auto toFirst = static_cast<std::size_t>(row.toFirst < 0 ? acknowledged : row.toFirst);
        const auto left =
            static_cast<std::size_t>(row.left < 0 ? row.alerts - acknowledged : row.left);
        if (row.left < 0) {
            EXPECT_GT(left, 0u) << "the stop came after the last alert";
        }
        EXPECT_EQ(exitCode, row.exitCode) << log.All();
        EXPECT_EQ(first.WaitForLines(toFirst).size(), toFirst);
        if (second) {
            EXPECT_EQ(second->WaitForLines(row.toSecond).size(),
                      static_cast<std::size_t>(row.toSecond));
        }
        EXPECT_EQ(CountReady(alerts), left);
        const std::size_t bad = fs::exists(alerts / "bad") ? CountReady(alerts / "bad") : 0;
        EXPECT_EQ(bad, static_cast<std::size_t>(row.bad));
        EXPECT_EQ(collector.counters().quarantined, static_cast<std::uint64_t>(row.bad));
        EXPECT_EQ(static_cast<std::size_t>(acknowledged), toFirst + row.toSecond);
        if (*row.neverLogged != '\0') {
            EXPECT_EQ(log.All().find(row.neverLogged), std::string::npos) << log.All();
        }
        const std::string metrics = ReadFile(dir / "collect.prom");
        EXPECT_NE(metrics.find("kxevent_collect_acknowledged_total " +
                               std::to_string(acknowledged) + "\n"),
                  std::string::npos)
            << metrics;
        EXPECT_NE(metrics.find("kxevent_collect_backlog " + std::to_string(left) + "\n"),
                  std::string::npos)
            << metrics;
        const std::string firstInUse = std::string(row.inUse) == "first" ? "1" : "0";
        EXPECT_NE(metrics.find("{receiver=\"" + first.url() + "\"} " + firstInUse + "\n"),
                  std::string::npos)
            << metrics;
        if (second) {
            const std::string secondInUse = std::string(row.inUse) == "second" ? "1" : "0";
            EXPECT_NE(metrics.find("{receiver=\"" + second->url() + "\"} " + secondInUse + "\n"),
                      std::string::npos)
                << metrics;
        }
        EXPECT_EQ(collector.receiverInUse().has_value(), *row.inUse != '\0');
    }
}

}  // namespace
}  // namespace kx::collect
