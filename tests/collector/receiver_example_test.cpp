// receiver_example_test.cpp: the receiver configurations the package ships (examples/rsyslog)
// pass rsyslog's own check, and the plain one writes an alert as one JSON line whose message is
// the alert's text as it was, without the byte order mark the collector's message starts with.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "relp_receiver.h"
#include "rsyslogd.h"
#include "support.h"

namespace kx::test {
namespace {

namespace fs = std::filesystem;

class ShippedReceiver : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::access("/usr/sbin/rsyslogd", X_OK) != 0) GTEST_SKIP() << "rsyslogd is missing";
    }
    TempDir dir;
};

TEST_F(ShippedReceiver, BothExamplesPassRsyslogsCheck) {
    const TlsFiles tls = MakeCertificates(dir / "pki");
    const Settings plain = {{"KXEVENT_RELP_PORT", "2514"},
                            {"KXEVENT_ALERTS_FILE", (dir / "alerts.json").string()}};
    Settings withTls = plain;
    withTls.insert(withTls.end(), {{"KXEVENT_TLS_CA", tls.ca.string()},
                                   {"KXEVENT_TLS_CERT", tls.serverCert.string()},
                                   {"KXEVENT_TLS_KEY", tls.serverKey.string()}});
    const struct {
        fs::path file;
        Settings settings;
    } rows[] = {{ReceiverExample(), plain}, {ReceiverTlsExample(), withTls}};
    for (const auto& row : rows) {
        std::vector<std::string> args = {
            std::string(KX_TEST_SOURCE_DIR) + "/tests/support/rsyslogd.sh", "check",
            (dir / "check").string()};
        for (const auto& [name, value] : row.settings) args.push_back(name + "=" + value);
        args.push_back(row.file.string());
        const ProcessResult result = RunProcess("/bin/bash", args);
        EXPECT_EQ(result.exitCode, 0) << row.file << ": " << result.err;
        EXPECT_EQ(result.err.find("error"), std::string::npos) << row.file << ": " << result.err;
    }
}

TEST_F(ShippedReceiver, AlertIsOneJsonLineWhoseMessageHasNoByteOrderMark) {
    RelpReceiver receiver(dir / "rsyslog");
    ASSERT_TRUE(receiver.ready());
    fs::create_directories(dir / "alerts");
    const std::string text = "Gef\xC3\xBCnden in C:\\tmp: \"a\" \xE2\x82\xAC";
    WriteFile(dir / "alerts" / "00000001.ALR", SampleAlert("W32.Bom", text));
    const ProcessResult result = RunProcess(
        kKxevent,
        {"collect", "--dir", (dir / "alerts").string(), "--to", receiver.url(), "--once"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const auto lines = receiver.WaitForLines(1);
    ASSERT_EQ(lines.size(), 1u);
    const std::string& line = lines[0];
    EXPECT_TRUE(line.starts_with("{\"time\":\"") && line.ends_with("\"}")) << line;
    const std::size_t msg = line.find("\"msg\":\"");
    ASSERT_NE(msg, std::string::npos) << line;
    const std::string value = line.substr(msg + 7);
    EXPECT_FALSE(value.starts_with("\xEF\xBB\xBF")) << line;
    EXPECT_FALSE(value.starts_with("\\ufeff") || value.starts_with("\\uFEFF")) << line;
    const Received got = ParseReceived(line);
    EXPECT_EQ(got.msg, text);
    EXPECT_EQ(got.msgid, "1000");
    EXPECT_EQ(got.params.at("szVirusName"), "W32.Bom");
}

}  // namespace
}  // namespace kx::test
