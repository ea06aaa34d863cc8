// messages_test.cpp: what kxevent collect tells its administrator, against real rsyslogd
// receivers: what it collects where at start and what it did at the end of --once, every file
// argument checked before anything is sent, the common RELP and TLS failures said with what to
// do, the word when delivery resumes, -v, and the progress of --once on a terminal alone.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "collector_test.h"
#include "relp_receiver.h"
#include "support.h"

namespace kx::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class CollectorMessages : public CollectorTest {
  protected:
    fs::path pki = dir / "pki";

    std::vector<std::string> Args(const std::string& url, std::vector<std::string> extra) const {
        std::vector<std::string> args{"collect", "--dir", alerts.string(), "--to", url, "--once"};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    void Drop(int count) const {
        for (int i = 0; i < count; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "%08d.ALR", i + 1);
            WriteFile(alerts / name, SampleAlert("W32.Said" + std::to_string(i), "m"));
        }
    }
};

TEST_F(CollectorMessages, OnceSaysWhatItSendsWhereAndWhatItDidAndNoMoreWithoutVerbose) {
    RelpReceiver receiver(dir / "rsyslog");
    Drop(2);
    const ProcessResult quiet = RunProcess(kKxevent, Args(receiver.url(), {}));
    EXPECT_EQ(quiet.exitCode, 0) << quiet.err;
    EXPECT_EQ(quiet.err, "kxevent collect: sending the alert files of " + alerts.string() + " to " +
                             receiver.url() +
                             " without TLS; exiting once they are acknowledged\n"
                             "kxevent collect: done: 2 alert files acknowledged by " +
                             receiver.url() + ", 0 set aside in bad/; none left\n");
    Drop(2);
    const ProcessResult verbose = RunProcess(kKxevent, Args(receiver.url(), {"-v"}));
    EXPECT_EQ(verbose.exitCode, 0) << verbose.err;
    for (const std::string& said :
         {alerts.string() + ": 2 alert files to send of 2 ready",
          "session opened to " + receiver.url() + ", without TLS",
          "acknowledged: " + (alerts / "00000002.ALR").string() +
              ", alertId scanhost/00000002.ALR/",
          "session to " + receiver.url() + " closed, 2 alert files acknowledged"})
        EXPECT_NE(verbose.err.find("kxevent collect: " + said), std::string::npos) << said << "\n"
                                                                                   << verbose.err;
    EXPECT_EQ(receiver.WaitForLines(4).size(), 4u);
}

TEST_F(CollectorMessages, EveryFileArgumentIsCheckedBeforeAnythingIsSent) {
    const TlsFiles tls = MakeCertificates(pki);
    const std::string ca = tls.ca.string(), cert = tls.clientCert.string(),
                      key = tls.clientKey.string();
    fs::create_directory(dir / "metrics");
    struct Case {
        std::vector<std::string> extra;
        std::string said;
    };
    const std::vector<Case> cases = {
        {{"--tls-ca", ca, "--tls-cert", cert, "--tls-key", (pki / "none.key").string()},
         "--tls-key " + (pki / "none.key").string() +
             ": cannot read it (No such file or directory); give the key"},
        {{"--tls-ca", (pki / "none.pem").string()}, "cannot read it"},
        {{"--tls-ca", key}, "--tls-ca " + key + " holds no PEM certificate; give the CA"},
        {{"--tls-ca", ca, "--tls-cert", key, "--tls-key", key}, "holds no PEM certificate"},
        {{"--tls-ca", ca, "--tls-cert", cert, "--tls-key", cert}, "holds no PEM private key"},
        {{"--tls-ca", ca, "--tls-cert", cert, "--tls-key", tls.serverKey.string()},
         "is not the key of the certificate --tls-cert " + cert + "; give the key that belongs"},
        {{"--metrics", (dir / "none" / "m.prom").string()}, "does not exist; create it"},
        {{"--metrics", (dir / "metrics").string()}, "is a directory; name a file in it"},
    };
    Drop(1);
    for (const Case& test : cases) {
        const ProcessResult result = RunProcess(kKxevent, Args("relp://127.0.0.1:1", test.extra));
        EXPECT_EQ(result.exitCode, 1) << result.err;
        // One line, before anything was tried.
        EXPECT_EQ(result.err.rfind("kxevent: ", 0), 0u) << result.err;
        EXPECT_EQ(Lines(result.err).size(), 1u) << result.err;
        EXPECT_NE(result.err.find(test.said), std::string::npos) << result.err;
    }
    EXPECT_EQ(CountReady(alerts), 1u);
}

TEST_F(CollectorMessages, CommonFailuresSayWhatToDo) {
    const TlsFiles tls = MakeCertificates(pki);
    TlsFiles strict = tls;
    strict.tlsLib = "openssl";
    MakeCa(pki, "otherca");
    MakeCertificate(pki, "stranger", "otherca", "clientAuth", "DNS:collector");
    RelpReceiver plain(dir / "plain");
    RelpReceiver secure(dir / "tls", tls);
    RelpReceiver checking(dir / "strict", strict);
    struct Case {
        const char* what;
        std::string url;
        std::vector<std::string> extra;
        std::string said;
    };
    const std::vector<std::string> caOnly = {"--tls-ca", tls.ca.string()};
    const std::vector<Case> cases = {
        {"nothing listens",
         "relp://127.0.0.1:1",
         {},
         "cannot connect to 127.0.0.1:1 (Connection refused): start the receiver"},
        {"plain RELP to a TLS input", secure.url(), {}, "it uses TLS (give --tls-ca)"},
        {"TLS to a plain input", plain.url(), caOnly,
         "the TLS handshake failed: the receiver does not use TLS on port " +
             std::to_string(plain.port())},
        {"no certificate of its own where one is wanted", secure.url(), caOnly,
         "it wants a certificate of the collector's own, signed by its CA; give --tls-cert and "
         "--tls-key"},
        {"a certificate of another CA",
         checking.url(),
         {"--tls-ca", tls.ca.string(), "--tls-cert", (pki / "stranger.pem").string(), "--tls-key",
          (pki / "stranger.key").string()},
         "it refuses the collector's certificate " + (pki / "stranger.pem").string()},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        Drop(1);
        const ProcessResult result = RunProcess(kKxevent, Args(test.url, test.extra));
        EXPECT_EQ(result.exitCode, 1) << result.err;
        EXPECT_NE(result.err.find("kxevent collect: not acknowledged: "), std::string::npos)
            << result.err;
        EXPECT_NE(result.err.find(test.said), std::string::npos) << result.err;
        EXPECT_EQ(CountReady(alerts), 1u);
    }
}

TEST_F(CollectorMessages, WatcherSaysWhenDeliveryResumes) {
    RelpReceiver receiver(dir / "rsyslog");
    receiver.Stop();
    Drop(3);
    const fs::path log = dir / "collect.log";
    WriteFile(log, "");
    BackgroundProcess collector(
        "/bin/sh", {"-c", "exec '" + kKxevent + "' collect --dir '" + alerts.string() + "' --to " +
                              receiver.url() + " 2>'" + log.string() + "'"});
    auto waitFor = [&](const std::string& text) {
        for (int i = 0; i < 1200 && ReadFile(log).find(text) == std::string::npos; ++i)
            std::this_thread::sleep_for(50ms);
        return ReadFile(log).find(text) != std::string::npos;
    };
    ASSERT_TRUE(waitFor("trying again in")) << ReadFile(log);
    EXPECT_EQ(ReadFile(log).find("delivery resumed"), std::string::npos);
    receiver.Start();
    ASSERT_TRUE(waitFor("kxevent collect: delivery resumed: " + receiver.url() +
                        " acknowledges alert files, after "))
        << ReadFile(log);
    EXPECT_EQ(receiver.WaitForLines(3).size(), 3u);
    EXPECT_EQ(ReadFile(log).find("kxevent collect: collecting " + alerts.string() + " into " +
                                 receiver.url() + " without TLS; watching for new ones\n"),
              0u)
        << ReadFile(log);
}

// On a pipe nothing is shown: the first case reads standard error whole.
TEST_F(CollectorMessages, OnceShowsProgressOnATerminal) {
    RelpReceiver receiver(dir / "rsyslog");
    Drop(3000);
    const ProcessResult terminal = RunProcessWithTerminalStderr(kKxevent, Args(receiver.url(), {}));
    EXPECT_EQ(terminal.exitCode, 0) << terminal.err;
    // Rewritten in place, and left standing at the end.
    EXPECT_NE(terminal.err.find("\rkxevent collect: 3000 of 3000 alerts sent, "), std::string::npos)
        << terminal.err;
    EXPECT_NE(terminal.err.find(" a second, in "), std::string::npos) << terminal.err;
    EXPECT_NE(terminal.err.find("kxevent collect: done: 3000 alert files acknowledged"),
              std::string::npos);
    EXPECT_EQ(CountReady(alerts), 0u);
}

}  // namespace
}  // namespace kx::test
