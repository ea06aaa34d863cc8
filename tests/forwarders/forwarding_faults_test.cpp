// forwarding_faults_test.cpp: FwdSyslog against targets that fail the slow way, each fault made
// for real: a local socket nobody reads, filled until it refuses more; a TCP listener whose
// queue is full, so that it never completes a connection; a name whose only name server never
// answers (a network and mount namespace of the test's own, with a UDP socket on 127.0.0.1:53
// that reads nothing, named by a resolv.conf mounted over the machine's). What is checked is
// what the module did (its results, its event-log lines, its counters), never how long it took.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>

#include "forwarders/syslog/syslog_forwarder.h"
#include "forwarders/syslog/syslog_resolver.h"
#include "kxevent/kxevent.h"
#include "platform/platform.h"
#include "records.h"
#include "support.h"
#include "syslog_faults.h"

namespace kx::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using fwd::Forwarder;
using fwd::HostResolver;
using Outcome = HostResolver::Outcome;

const std::string kModule = std::string(KX_TEST_INSTALL_DIR) + "/FwdSyslog.DLL";
const std::string kSilentName = "collector.kxevent-faults.test";

// The three records with the values of a sample event.
struct SampleRecords : Records {
    SampleRecords() { std::strcpy(message.szLongDescript, "Found W32.Test in C:\\tmp\\a.exe."); }
};

// FwdSyslog.DLL loaded through the platform loader, as KXEvent.DLL loads it for each send.
int ForwardThroughTheModule(SampleRecords& records) {
    const plat::Module module = plat::LoadLibraryA(kModule.c_str());
    if (module == nullptr) return -1;
    const auto forward =
        reinterpret_cast<ForwardVELMessageFn>(plat::GetProcAddress(module, "ForwardVELMessage"));
    const int result =
        forward ? forward(1, 1000, &records.message, &records.detail, &records.context) : -2;
    plat::FreeLibrary(module);
    return result;
}

// A clock the test moves by hand, for the back-off and the lifetime of kept answers.
struct ManualClock {
    std::atomic<std::int64_t> seconds{1000};
    std::chrono::steady_clock::time_point operator()() const {
        return std::chrono::steady_clock::time_point(std::chrono::seconds(seconds.load()));
    }
};

class ForwardingFaults : public ::testing::Test {
  protected:
    TempDir dir;
    ScopedEnv registry{"VEL_REGISTRY", (dir / "hklm.reg").string()};
    ScopedEnv eventLog{"VEL_EVENTLOG", (dir / "eventlog.json").string()};
    SampleRecords records;
    ManualClock clock;
    std::vector<std::string> logged;
    Forwarder forwarder{[this](std::uint32_t, const std::string& line) { logged.push_back(line); },
                        [this] { return clock(); }};

    void Configure(const std::string& transport, const std::string& host, int port) {
        RegFile reg;
        reg.Key(fwd::kSyslogSettingsKey)
            .String("Transport", transport)
            .String("Host", host)
            .Dword("Port", static_cast<std::uint32_t>(port))
            .String("Socket", (dir / "log.sock").string())
            .String("JournalSocket", (dir / "no-journal").string())
            .String("Facility", "local0");
        reg.WriteTo(dir / "hklm.reg");
    }
    bool ForwardDirectly(const fwd::SyslogSettings& settings) {
        return forwarder.Forward(settings, 1, 1000, records.message, records.detail,
                                 fwd::MessageHeader{});
    }
    // The module's event-log lines that contain `text`.
    long Logged(const std::string& text) const {
        const auto lines = Lines(ReadFile(dir / "eventlog.json"));
        return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        });
    }
};

TEST_F(ForwardingFaults, FullLocalSocketDropsEachEventAndLogsTheEpisodeOnce) {
    const FullSocket socket(dir / "log.sock");
    ASSERT_TRUE(socket.full());
    Configure("local", "", 514);
    for (int send = 0; send < 5; ++send) EXPECT_EQ(ForwardThroughTheModule(records), 1);
    EXPECT_EQ(Logged("not sent to syslog"), 1);
    EXPECT_EQ(Logged("the socket is full"), 1);
    socket.Drain();
    EXPECT_EQ(ForwardThroughTheModule(records), 0);
    EXPECT_EQ(socket.Drain().rfind("<134>", 0), 0u);  // local0, informational
    EXPECT_EQ(Logged("works again; 5 events were not sent"), 1);
}

// The module's default socket, /dev/log, stuck (in a mount namespace whose /dev is the test's
// own): neither the event nor the line that logs its failure (which the event log also sends to
// /dev/log) waits for it.
TEST_F(ForwardingFaults, StuckDevLogHoldsUpNeitherTheSendNorItsLog) {
    RegFile reg;
    reg.Key(fwd::kSyslogSettingsKey).String("Transport", "local").String("JournalSocket", "");
    reg.WriteTo(dir / "hklm.reg");
    const std::string outcome = WithSilentNameServer(dir.path(), [&](int) {
        if (::mount("tmpfs", "/dev", "tmpfs", 0, nullptr) != 0) return std::string("!tmpfs");
        const FullSocket socket("/dev/log");
        if (!socket.full()) return std::string("!/dev/log not full");
        std::string results;
        for (int send = 0; send < 3; ++send) {
            results += std::to_string(ForwardThroughTheModule(records));
        }
        return results + " logged " +
               std::to_string(Logged("sendmsg /dev/log: the socket is full"));
    });
    if (outcome.starts_with("!")) GTEST_SKIP() << "no namespaces here: " << outcome;
    EXPECT_EQ(outcome, "111 logged 1");
}

TEST_F(ForwardingFaults, ListenerThatNeverAcceptsIsSkippedDuringItsBackOffAndRetriedAfter) {
    StuckListener listener;
    ASSERT_TRUE(listener.full());
    fwd::SyslogSettings settings;
    settings.transport = fwd::Transport::Tcp;
    settings.port = listener.port();
    // (seconds the clock moves before the send, whether the send is tried)
    const std::vector<std::pair<int, bool>> sends = {
        {0, true},   {1, false}, {28, false},  // the first failure: skipped for 30 s
        {1, true},                             // retried after 30 s, fails again
        {59, false},                           // skipped for 60 s now
    };
    std::size_t tried = 0;
    for (const auto& [wait, expectTried] : sends) {
        clock.seconds += wait;
        EXPECT_FALSE(ForwardDirectly(settings));
        tried += expectTried;
        EXPECT_EQ(forwarder.counts().attempted, tried) << "after " << clock.seconds << " s";
    }
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_NE(logged[0].find("(tcp 127.0.0.1:" + std::to_string(listener.port()) +
                             "): connect: timed out; the target is skipped for 30 s"),
              std::string::npos)
        << logged[0];
    listener.Open();
    clock.seconds += 1;
    EXPECT_TRUE(ForwardDirectly(settings));
    EXPECT_NE(listener.Receive().find("Found W32.Test in C:\\tmp\\a.exe."), std::string::npos);
    EXPECT_EQ(forwarder.counts().skipped, 3u);
    ASSERT_EQ(logged.size(), 2u);
    EXPECT_NE(logged[1].find("works again; 5 events were not sent"), std::string::npos);
}

TEST_F(ForwardingFaults, NameServerThatNeverAnswersCostsOneLookUpAndOneLogLine) {
    Configure("udp", kSilentName, 514);
    const std::string outcome = WithSilentNameServer(dir.path(), [&](int server) {
        std::string results;
        for (int send = 0; send < 10; ++send) {
            results += std::to_string(ForwardThroughTheModule(records));
        }
        return results + " logged " + std::to_string(Logged("not sent to syslog")) +
               ", no answer " + std::to_string(Logged("no answer from the name service")) +
               ", queries " + (QueriesArrived(server) ? "arrived" : "missing");
    });
    if (outcome.starts_with("!")) GTEST_SKIP() << "no namespaces here: " << outcome;
    EXPECT_EQ(outcome, "1111111111 logged 1, no answer 1, queries arrived");
}

TEST_F(ForwardingFaults, LookUpsWithoutAnswerKeepOneThreadPerNameAndABoundedTable) {
    const std::string outcome = WithSilentNameServer(dir.path(), [&](int server) {
        HostResolver resolver([this] { return clock(); });
        fwd::Endpoints endpoints;
        std::string error;
        std::string results;
        for (int send = 0; send < 5; ++send) {
            const auto outcome =
                resolver.Resolve(kSilentName, 514, fwd::Transport::Udp,
                                 std::chrono::steady_clock::now() + 20ms, endpoints, error);
            results += outcome == Outcome::Pending ? "P" : "?";
        }
        results += " ";
        for (std::size_t name = 1; name <= HostResolver::kMaxNames; ++name) {
            const auto outcome = resolver.Resolve(
                "n" + std::to_string(name) + "." + kSilentName, 514, fwd::Transport::Udp,
                std::chrono::steady_clock::now(), endpoints, error);
            results += outcome == Outcome::Pending ? "P" : outcome == Outcome::Failed ? "F" : "?";
        }
        const auto counts = resolver.counts();
        return results + " threads " + std::to_string(counts.threadsStarted) + ", in flight " +
               std::to_string(counts.inFlight) + ", queries " +
               (QueriesArrived(server) ? "arrived" : "missing") + ", " + error;
    });
    if (outcome.starts_with("!")) GTEST_SKIP() << "no namespaces here: " << outcome;
    // The last name finds the table full of look-ups in flight, and none is dropped for it.
    EXPECT_EQ(outcome, "PPPPP " + std::string(HostResolver::kMaxNames - 1, 'P') +
                           "F threads 16, in flight 16, queries arrived, cannot resolve n16." +
                           kSilentName +
                           ": 16 other name look-ups are still waiting for an answer");
}

TEST_F(ForwardingFaults, AnswersAreKeptForTheirLifetimeInABoundedTable) {
    HostResolver resolver([this] { return clock(); });
    fwd::Endpoints endpoints;
    std::string error;
    const auto resolve = [&](const std::string& host, int port) {
        return resolver.Resolve(host, static_cast<std::uint16_t>(port), fwd::Transport::Udp,
                                std::chrono::steady_clock::now() + 30s, endpoints, error);
    };
    const int names = static_cast<int>(HostResolver::kMaxNames) + 4;
    for (int port = 1; port <= names; ++port)
        ASSERT_EQ(resolve("localhost", port), Outcome::Resolved) << error;
    EXPECT_EQ(resolver.counts().names, HostResolver::kMaxNames);
    EXPECT_EQ(resolver.counts().threadsStarted, static_cast<std::size_t>(names));
    // Kept: asked again within its lifetime, the answer is not looked up again; a numeric
    // address never is.
    EXPECT_EQ(resolve("localhost", names), Outcome::Resolved);
    EXPECT_EQ(resolve("127.0.0.1", 514), Outcome::Resolved);
    EXPECT_EQ(resolver.counts().threadsStarted, static_cast<std::size_t>(names));
    clock.seconds += HostResolver::kAnswerLifetime.count();
    EXPECT_EQ(resolve("localhost", names), Outcome::Resolved);
    EXPECT_EQ(resolver.counts().threadsStarted, static_cast<std::size_t>(names) + 1);
}

}  // namespace
}  // namespace kx::test
