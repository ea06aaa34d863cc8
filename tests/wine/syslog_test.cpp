// syslog_test.cpp: the Windows build of FwdSyslog.DLL against a real syslog daemon. A fixture
// of the suite's ctest run (prefix.sh) starts the tests' rsyslogd on a free loopback port with
// UDP and TCP inputs writing each raw message as one line into out.log, in the directory that
// KX_WINE_SYSLOG_DIR names, whose file "port" holds the port. Each test marks its messages with
// a text of its own, so the shared file tells them apart.
#include <winsock2.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "event_library.h"
#include "harness.h"

namespace kx::wine {
namespace {

constexpr std::string_view kSyslogKey =
    "Software\\Velmora\\QRD\\Shared Components\\Events\\Forwarding\\Syslog";

std::string Environment(const char* name) {
    char value[1024] = {};
    const DWORD length = ::GetEnvironmentVariableA(name, value, sizeof value);
    return length > 0 && length < sizeof value ? std::string(value, length) : std::string();
}

// The first line of a file; "" when it cannot be read.
std::string FirstLine(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return {};
    char line[64] = {};
    const bool read = std::fgets(line, sizeof line, file) != nullptr;
    std::fclose(file);
    std::string text = read ? line : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

// A loopback TCP port nothing listens on: bound once to learn a free one, then closed.
unsigned ClosedLoopbackPort() {
    WSADATA data{};
    ::WSAStartup(MAKEWORD(2, 2), &data);
    const SOCKET probe = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
    int length = sizeof address;
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    ::closesocket(probe);
    ::WSACleanup();
    return ntohs(address.sin_port);
}

class SyslogForwardingTest : public WineTest {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.empty() || port_.empty())
            << "KX_WINE_SYSLOG_DIR names the directory of the rsyslogd the suite's ctest fixture "
               "starts (ctest --preset wine64)";
        std::strcpy(records_->message.szComputerName, "scanhost");
        std::strcpy(records_->message.szGMTTime, "2024  6 30 12:00:01");
        records_->message.uSeverity = 3;
        std::strcpy(records_->detail.szVirusName, "W32.\"Test\"]");
        std::strcpy(records_->detail.szFileName, "C:\\tmp\\a.exe");
        records_->detail.uNumVirs = 2;
        marker_ = std::string("Found W32.Test by ") +
                  testing::UnitTest::GetInstance()->current_test_info()->name() + " " +
                  std::to_string(::GetCurrentProcessId()) + "." + std::to_string(::GetTickCount());
        std::strcpy(records_->message.szLongDescript, marker_.c_str());
    }

    RegFile Settings(const std::string& transport, unsigned port) const {
        RegFile reg = BaseRegistry();
        reg.Key(kSyslogKey)
            .String("Transport", transport)
            .String("Host", "127.0.0.1")
            .Dword("Port", port)
            .String("Facility", "local0");
        return reg;
    }
    unsigned Port() const { return static_cast<unsigned>(std::stoul(port_)); }

    // FwdSyslog.DLL loaded from the built installation directory, its entry called directly.
    int Forward() const {
        const HMODULE module =
            ::LoadLibraryA(JoinPath(BuiltInstallDirectory(), "FwdSyslog.DLL").c_str());
        if (module == nullptr) return -1;
        const auto forward = reinterpret_cast<ForwardVELMessageFn>(
            reinterpret_cast<void*>(::GetProcAddress(module, "ForwardVELMessage")));
        const int result = forward == nullptr ? -2
                                              : forward(1, 1000, &records_->message,
                                                        &records_->detail, &records_->context);
        ::FreeLibrary(module);
        return result;
    }

    // The daemon's lines carrying this test's marker, waiting until `count` have arrived.
    std::vector<std::string> Received(std::size_t count) const {
        std::vector<std::string> mine;
        for (int attempt = 0; attempt < 100; ++attempt) {
            mine.clear();
            for (const std::string& line : ReadLines(log_)) {
                if (line.find(marker_) != std::string::npos) mine.push_back(line);
            }
            if (mine.size() >= count) break;
            ::Sleep(50);
        }
        return mine;
    }

    void ExpectWholeMessage(const std::string& line, const std::string& product) const {
        EXPECT_EQ(line.rfind("<131>1 2024-06-30T12:00:01Z scanhost kxevent ", 0), 0u) << line;
        EXPECT_NE(
            line.find(" 1000 [kxevent@32473 uProductID=\"" + product + "\" uEventID=\"1000\""),
            std::string::npos)
            << line;
        EXPECT_NE(line.find(" szVirusName=\"W32.\\\"Test\\\"\\]\""), std::string::npos) << line;
        EXPECT_NE(line.find(" szFileName=\"C:\\\\tmp\\\\a.exe\""), std::string::npos) << line;
        EXPECT_NE(line.find(" uNumVirs=\"2\""), std::string::npos) << line;
        const std::string text = std::string("] \xEF\xBB\xBF") + records_->message.szLongDescript;
        EXPECT_EQ(line.size() >= text.size() ? line.substr(line.size() - text.size()) : line, text);
    }

    bool EventLogMentions(const std::string& text) const {
        for (const auto& entry : ReadEventLog(EventLogPath())) {
            if (entry.at("text").find(text) != std::string::npos) return true;
        }
        return false;
    }

    std::unique_ptr<Records> records_ = NewRecords();
    // This test's own text in the messages it sends.
    std::string marker_;

  private:
    std::string dir_ = Environment("KX_WINE_SYSLOG_DIR");
    std::string port_ = dir_.empty() ? std::string() : FirstLine(dir_ + "\\port");
    std::string log_ = dir_ + "\\out.log";
};

TEST_F(SyslogForwardingTest, UdpMessageArrivesWholeWithItsStructuredData) {
    Import(Settings("udp", Port()));
    EXPECT_EQ(Forward(), 0);
    const auto lines = Received(1);
    ASSERT_EQ(lines.size(), 1u);
    ExpectWholeMessage(lines[0], "1");
}

TEST_F(SyslogForwardingTest, TcpMessagesArriveWholeAndSeparately) {
    Import(Settings("tcp", Port()));
    EXPECT_EQ(Forward(), 0);
    EXPECT_EQ(Forward(), 0);
    const auto lines = Received(2);
    ASSERT_EQ(lines.size(), 2u);
    ExpectWholeMessage(lines[0], "1");
    EXPECT_EQ(lines[0], lines[1]);
}

TEST_F(SyslogForwardingTest, TheLibraryDeliversAnEventThroughTheModuleItLists) {
    // The library writes the description from the catalogue: the marker goes in the file name,
    // which the description names.
    std::strcpy(records_->detail.szFileName, ("C:\\tmp\\" + marker_).c_str());
    RegFile reg = Settings("tcp", Port());
    reg.Key(kForwardingKey).String("Syslog", JoinPath(BuiltInstallDirectory(), "FwdSyslog.DLL"));
    Import(reg);
    EventLibrary library(JoinPath(InstallDir(), "KXEvent.DLL"));
    ASSERT_TRUE(library.loaded()) << library.error();
    ASSERT_EQ(library.Send(4, 1000, *records_), EVENT_OK);
    const auto lines = Received(1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" 1000 [kxevent@32473 uProductID=\"4\" uEventID=\"1000\""),
              std::string::npos)
        << lines[0];
}

TEST_F(SyslogForwardingTest, ACollectorThatIsDownFailsQuicklyAndIsLogged) {
    Import(Settings("tcp", ClosedLoopbackPort()));
    const DWORD start = ::GetTickCount();
    EXPECT_EQ(Forward(), 1);
    EXPECT_LT(::GetTickCount() - start, 5000u);
    EXPECT_TRUE(EventLogMentions("not sent to syslog")) << ReadFileBytes(EventLogPath());
}

TEST_F(SyslogForwardingTest, TheLocalTransportIsRefusedWithItsReason) {
    Import(Settings("local", Port()));
    EXPECT_EQ(Forward(), 1);
    EXPECT_TRUE(EventLogMentions("needs a Unix syslog socket"));
    EXPECT_TRUE(Received(0).empty());
}

}  // namespace
}  // namespace kx::wine
