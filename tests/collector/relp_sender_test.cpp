// relp_sender_test.cpp: the collector's RELP session on its own, against the shipped receiver
// run by the tests' rsyslogd: the receiver URL and certificate fingerprints it reads, messages
// acknowledged by their transaction numbers, and a receiver that is not there.
#include "collector/relp_sender.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

#include "loopback.h"
#include "relp_receiver.h"
#include "support.h"

namespace kx::collect {
namespace {

TEST(RelpUrl, HostAndPortAreReadAndAnythingElseIsRefused) {
    const struct {
        const char* url;
        const char* host;  // null: refused
        const char* port;
    } rows[] = {
        {"relp://logs.example.net:2514", "logs.example.net", "2514"},
        {"relp://10.0.0.1:1/", "10.0.0.1", "1"},
        {"relp://[::1]:65535", "::1", "65535"},
        {"http://logs.example.net:2514", nullptr, nullptr},
        {"relp://logs.example.net", nullptr, nullptr},
        {"relp://:2514", nullptr, nullptr},
        {"relp://host:0", nullptr, nullptr},
        {"relp://host:65536", nullptr, nullptr},
        {"relp://host:25a4", nullptr, nullptr},
        {"relp://[::1]2514", nullptr, nullptr},
    };
    for (const auto& row : rows) {
        if (row.host == nullptr) {
            EXPECT_THROW(ParseRelpUrl(row.url), std::invalid_argument) << row.url;
            continue;
        }
        const RelpTarget target = ParseRelpUrl(row.url);
        EXPECT_EQ(target.host, row.host) << row.url;
        EXPECT_EQ(target.port, row.port) << row.url;
    }
}

TEST(RelpFingerprint, ReadsWhatOpensslPrintsInAnyCaseAndWritesItBack) {
    std::string hex;
    for (int i = 0; i < 32; ++i) hex += (i ? ":" : "") + std::string(i % 2 ? "AB" : "0f");
    const auto digest = ParseFingerprint("SHA256:" + hex);
    std::string upper = hex;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    EXPECT_EQ(FormatFingerprint(digest.data(), digest.size()), "SHA256:" + upper);
    std::string bare = hex;
    bare.erase(std::remove(bare.begin(), bare.end(), ':'), bare.end());
    EXPECT_EQ(ParseFingerprint(bare), digest);
    EXPECT_THROW(ParseFingerprint("SHA256:" + hex.substr(3)), std::invalid_argument);
    EXPECT_THROW(ParseFingerprint("SHA256:" + hex.substr(0, hex.size() - 1) + "g"),
                 std::invalid_argument);
}

TEST(RelpSession, EveryMessageIsAcknowledgedByItsTransactionNumber) {
    if (::access("/usr/sbin/rsyslogd", X_OK) != 0) GTEST_SKIP() << "rsyslogd is missing";
    test::TempDir dir;
    test::RelpReceiver receiver(dir / "rsyslog");
    ASSERT_TRUE(receiver.ready());
    RelpSender sender(ParseRelpUrl(receiver.url()));
    std::vector<int> sent;
    for (int i = 0; i < 3; ++i) {
        sent.push_back(sender.Send(
            "<11>1 2024-06-30T12:00:01Z scanhost kxevent - 1000 [x@1 n=\"1\"] \xEF\xBB\xBF"
            "message " +
            std::to_string(i)));
        EXPECT_GT(sent.back(), 0) << sender.replies().error;
    }
    EXPECT_TRUE(sender.Close()) << sender.replies().error;
    // The session's own commands are acknowledged too; every message must be among them.
    std::vector<int> acknowledged = sender.replies().acknowledged;
    std::sort(acknowledged.begin(), acknowledged.end());
    EXPECT_TRUE(std::includes(acknowledged.begin(), acknowledged.end(), sent.begin(), sent.end()))
        << ::testing::PrintToString(acknowledged);
    const auto lines = receiver.WaitForLines(3);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(test::ParseReceived(lines[2]).msg, "message 2");
}

TEST(RelpSession, ReceiverThatIsNotThereFailsTheSendWithAReason) {
    RelpSender sender(ParseRelpUrl("relp://127.0.0.1:" + std::to_string(test::FreeLoopbackPort())));
    EXPECT_EQ(sender.Send("<11>1 - - - - - - text"), 0);
    EXPECT_FALSE(sender.replies().error.empty());
    EXPECT_FALSE(sender.open());
}

}  // namespace
}  // namespace kx::collect
