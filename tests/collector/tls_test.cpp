// tls_test.cpp: kxevent collect over TLS against a real rsyslogd with imrelp, on both of librelp's
// TLS backends for the receiver: alerts go only to a receiver whose certificate chains to
// --tls-ca, is meant for a server and names the host of --to (or a --tls-peer name, or matches
// a --tls-pin fingerprint). Every other receiver is refused with the check named, the files
// stay, and the collector keeps trying with its backoff.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <filesystem>
#include <regex>
#include <thread>

#include "collector_test.h"
#include "relp_receiver.h"
#include "support.h"

namespace kx::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class CollectorTls : public CollectorTest {
  protected:
    static void SetUpTestSuite() {
        pki_ = new TempDir();
        const fs::path dir = pki_->path();
        MakeCa(dir, "ca");
        MakeCa(dir, "otherca");
        const std::string here = "DNS:localhost,IP:127.0.0.1";
        MakeCertificate(dir, "server", "ca", "serverAuth", here);
        MakeCertificate(dir, "client", "ca", "clientAuth", "DNS:collector");
        MakeCertificate(dir, "foreign", "otherca", "serverAuth", here);
        MakeCertificate(dir, "elsewhere", "ca", "serverAuth", "DNS:other.example,IP:127.0.0.2");
        MakeCertificate(dir, "selfsigned", "", "serverAuth", here);
        MakeCertificate(dir, "clientonly", "ca", "clientAuth", here);
    }
    static void TearDownTestSuite() {
        delete pki_;
        pki_ = nullptr;
    }

    static fs::path Pki(const std::string& file) { return pki_->path() / file; }

    // A receiver showing the certificate `name`; it takes collectors with a certificate of ca.
    // The receiver reads its certificate from receiver.pem, which a test may replace.
    std::unique_ptr<RelpReceiver> Receiver(const std::string& name, const std::string& lib) {
        fs::copy_file(Pki(name + ".pem"), dir / "receiver.pem",
                      fs::copy_options::overwrite_existing);
        fs::copy_file(Pki(name + ".key"), dir / "receiver.key",
                      fs::copy_options::overwrite_existing);
        return std::make_unique<RelpReceiver>(
            dir / "rsyslog", TlsFiles{Pki("ca.pem"), dir / "receiver.pem", dir / "receiver.key",
                                      Pki("client.pem"), Pki("client.key"), lib});
    }

    std::vector<std::string> Args(const RelpReceiver& receiver) const {
        return {"collect",
                "--dir",
                alerts.string(),
                "--to",
                receiver.url(),
                "--tls-ca",
                Pki("ca.pem").string(),
                "--tls-cert",
                Pki("client.pem").string(),
                "--tls-key",
                Pki("client.key").string()};
    }

    void Drop(int count) const {
        for (int i = 0; i < count; ++i)
            WriteFile(alerts / ("0000000" + std::to_string(i + 1) + ".ALR"),
                      SampleAlert("W32.Tls" + std::to_string(i), "over TLS"));
    }

    static std::string Fingerprint(const std::string& name) {
        const ProcessResult result = RunProcess(
            "/usr/bin/openssl",
            {"x509", "-in", Pki(name + ".pem").string(), "-noout", "-fingerprint", "-sha256"});
        std::string hex = result.out.substr(result.out.find('=') + 1);
        while (!hex.empty() && std::isspace(static_cast<unsigned char>(hex.back()))) hex.pop_back();
        return hex;
    }

    static TempDir* pki_;
};

TempDir* CollectorTls::pki_ = nullptr;

struct TlsCase {
    const char* what;
    const char* certificate;         // the receiver's
    std::vector<std::string> extra;  // options beside --tls-ca, --tls-cert and --tls-key
    const char* refusal;             // the log's words for the failed check; null: delivered
    const char* reason;
};

TEST_F(CollectorTls, OnlyTheReceiverTheCertificateNamesGetsTheAlertsOnEitherBackend) {
    const std::string pinElsewhere = "SHA256:" + Fingerprint("elsewhere");
    const std::vector<TlsCase> cases = {
        {"right CA, address in the names", "server", {}, nullptr, ""},
        {"another CA", "foreign", {}, "TLS chain check failed", "unable to get local issuer"},
        {"another name",
         "elsewhere",
         {},
         "TLS name check failed",
         "is for DNS:other.example, IP:127.0.0.2, not for 127.0.0.1 (--to)"},
        {"self-signed", "selfsigned", {}, "TLS chain check failed", "self-signed certificate"},
        {"a client certificate",
         "clientonly",
         {},
         "TLS purpose check failed",
         "not meant for a TLS server"},
        {"another name accepted by --tls-peer",
         "elsewhere",
         {"--tls-peer", "other.example"},
         nullptr,
         ""},
        {"another address accepted by --tls-peer",
         "elsewhere",
         {"--tls-peer", "127.0.0.2"},
         nullptr,
         ""},
        {"pinned, whatever its names", "elsewhere", {"--tls-pin", pinElsewhere}, nullptr, ""},
        {"right name, not the pinned one",
         "server",
         {"--tls-pin", pinElsewhere},
         "TLS fingerprint check failed",
         "none of the --tls-pin ones"},
    };
    for (const char* lib : {"gnutls", "openssl"}) {
        for (const TlsCase& test : cases) {
            SCOPED_TRACE(std::string(lib) + " receiver, " + test.what);
            fs::remove_all(dir / "rsyslog");
            const auto receiver = Receiver(test.certificate, lib);
            ASSERT_TRUE(receiver->ready());
            Drop(2);
            std::vector<std::string> args = Args(*receiver);
            args.insert(args.end(), test.extra.begin(), test.extra.end());
            args.push_back("--once");
            const ProcessResult result = RunProcess(kKxevent, args);
            if (test.refusal == nullptr) {
                EXPECT_EQ(result.exitCode, 0) << result.err;
                EXPECT_EQ(CountReady(alerts), 0u);
                EXPECT_EQ(receiver->WaitForLines(2).size(), 2u);
                continue;
            }
            EXPECT_EQ(result.exitCode, 1) << result.err;
            EXPECT_EQ(CountReady(alerts), 2u);
            EXPECT_NE(result.err.find(std::string(test.refusal) + ": "), std::string::npos)
                << result.err;
            EXPECT_NE(result.err.find(test.reason), std::string::npos) << result.err;
            EXPECT_NE(result.err.find("2 alert files stay to be sent again"), std::string::npos)
                << result.err;
            EXPECT_TRUE(receiver->WaitForLines(1, 0).empty());
            for (const auto& entry : fs::directory_iterator(alerts)) fs::remove(entry.path());
        }
    }
}

TEST_F(CollectorTls, RefusedReceiverIsRetriedWithBackoffAndSaidWhyOncePerStep) {
    auto receiver = Receiver("elsewhere", "");
    ASSERT_TRUE(receiver->ready());
    Drop(2);
    std::string command;
    for (const std::string& arg : Args(*receiver)) command += " '" + arg + "'";
    const fs::path log = dir / "collect.log";
    WriteFile(log, "");
    BackgroundProcess collector("/bin/sh",
                                {"-c", "exec '" + kKxevent + "'" + command + " 2>" + log.string()});
    const std::regex refused("TLS name check failed");
    const std::regex retry("trying again in ([0-9]+) s");
    auto count = [&](const std::regex& pattern) {
        const std::string text = ReadFile(log);
        return std::distance(std::sregex_iterator(text.begin(), text.end(), pattern),
                             std::sregex_iterator());
    };
    for (int i = 0; i < 1200 && count(retry) < 3; ++i) std::this_thread::sleep_for(50ms);
    ASSERT_GE(count(retry), 3) << ReadFile(log);
    EXPECT_EQ(CountReady(alerts), 2u);
    // After the line that says what is collected where, each failed session is said once,
    // then the wait before the next: 1, 2, 4 s...
    std::vector<std::string> lines = Lines(ReadFile(log));
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.front().find("kxevent collect: collecting " + alerts.string() + " into " +
                                 receiver->url() + " over TLS"),
              std::string::npos)
        << lines.front();
    lines.erase(lines.begin());
    int expected = 1;
    std::size_t failures = 0;
    for (std::size_t i = 0; i + 1 < lines.size(); i += 2) {
        EXPECT_NE(lines[i].find("not acknowledged: TLS name check failed"), std::string::npos)
            << lines[i];
        std::smatch wait;
        ASSERT_TRUE(std::regex_search(lines[i + 1], wait, retry)) << lines[i + 1];
        EXPECT_EQ(std::stoi(wait[1]), expected);
        expected *= 2;
        ++failures;
    }
    EXPECT_GE(failures, 3u);
    EXPECT_LE(static_cast<std::size_t>(count(refused)), failures + 1);
    // The receiver comes back with its proper certificate: the collector was never disabled.
    fs::copy_file(Pki("server.pem"), dir / "receiver.pem", fs::copy_options::overwrite_existing);
    fs::copy_file(Pki("server.key"), dir / "receiver.key", fs::copy_options::overwrite_existing);
    receiver->Stop();
    receiver->Start();
    for (int i = 0; i < 1200 && CountReady(alerts) != 0; ++i) std::this_thread::sleep_for(50ms);
    EXPECT_EQ(CountReady(alerts), 0u) << ReadFile(log);
    EXPECT_EQ(receiver->WaitForLines(2).size(), 2u);
}

TEST_F(CollectorTls, TlsOptionsNeedTheCaAndAWellFormedPin) {
    const std::string to = "relp://127.0.0.1:2514";
    const std::vector<std::vector<std::string>> wrong = {
        {"collect", "--to", to, "--tls-peer", "logs.example.net"},
        {"collect", "--to", to, "--tls-pin", "SHA256:" + std::string(95, 'A')},
        {"collect", "--to", to, "--tls-ca", "ca.pem", "--tls-pin", "SHA256:AB:CD"},
        {"collect", "--to", to, "--tls-ca", "ca.pem", "--tls-pin",
         "SHA256:" + std::string(64, 'G')},
        {"collect", "--to", to, "--tls-ca", "ca.pem", "--tls-peer", ""},
    };
    for (const auto& args : wrong) {
        const ProcessResult result = RunProcess(kKxevent, args);
        EXPECT_EQ(result.exitCode, 2) << args.back() << ": " << result.err;
    }
}

}  // namespace
}  // namespace kx::test
