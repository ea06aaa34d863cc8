// rsyslog_test.cpp: FwdSyslog.DLL against a real syslog daemon. The test starts rsyslogd on a
// free loopback port with UDP and TCP inputs and a file action that writes each raw message,
// loads the module from the installation directory as the library does, and reads back what
// arrived. The local transport is checked against a datagram socket the test binds itself.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "child_process.h"
#include "forwarders/syslog/syslog_settings.h"
#include "kxevent/kxevent.h"
#include "loopback.h"
#include "platform/platform.h"
#include "support.h"

namespace kx::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kRsyslogd = "/usr/sbin/rsyslogd";
const std::string kModule = std::string(KX_TEST_INSTALL_DIR) + "/FwdSyslog.DLL";

// rsyslogd in the foreground on 127.0.0.1:port (UDP and TCP), raw messages into out.log.
class Rsyslog {
  public:
    explicit Rsyslog(const TempDir& dir) : dir_(dir), port_(FreeLoopbackPort()) {
        fs::create_directory(dir / "work");
        WriteFile(dir / "rsyslog.conf",
                  "global(workDirectory=\"" + (dir / "work").string() +
                      "\" maxMessageSize=\"64k\")\n"
                      "module(load=\"imudp\")\nmodule(load=\"imtcp\")\n"
                      "input(type=\"imudp\" address=\"127.0.0.1\" port=\"" +
                      std::to_string(port_) +
                      "\")\n"
                      "input(type=\"imtcp\" address=\"127.0.0.1\" port=\"" +
                      std::to_string(port_) +
                      "\")\n"
                      "template(name=\"raw\" type=\"string\" string=\"%rawmsg%\\n\")\n"
                      "action(type=\"omfile\" file=\"" +
                      Log().string() + "\" template=\"raw\")\n");
        process_ = std::make_unique<BackgroundProcess>(
            kRsyslogd, std::vector<std::string>{"-n", "-f", (dir / "rsyslog.conf").string(), "-i",
                                                (dir / "rsyslog.pid").string()});
        for (int i = 0; i < 100 && !TcpPortOpen(port_); ++i) std::this_thread::sleep_for(50ms);
    }
    int port() const { return port_; }
    bool ready() const { return TcpPortOpen(port_); }
    fs::path Log() const { return dir_ / "out.log"; }

    // The lines received so far, waiting until `count` have arrived or time is up.
    std::vector<std::string> WaitForLines(std::size_t count) const {
        std::vector<std::string> lines;
        for (int i = 0; i < 100; ++i) {
            lines = Lines(ReadFile(Log()));
            if (lines.size() >= count) break;
            std::this_thread::sleep_for(50ms);
        }
        return lines;
    }

  private:
    const TempDir& dir_;
    int port_;
    std::unique_ptr<BackgroundProcess> process_;
};

struct Records {
    MessageRecord message{};
    DetailRecord detail{};
    ContextRecord context{};
    Records() {
        std::strcpy(message.szComputerName, "scanhost");
        std::strcpy(message.szGMTTime, "2024  6 30 12:00:01");
        std::strcpy(message.szLongDescript, "Found W32.Test in C:\\tmp\\a.exe.");
        message.uSeverity = 3;
        std::strcpy(detail.szVirusName, "W32.\"Test\"]");
        std::strcpy(detail.szFileName, "C:\\tmp\\a.exe");
        detail.uNumVirs = 2;
    }
};

// The module loaded through the platform loader, as KXEvent.DLL loads it.
class LoadedModule {
  public:
    LoadedModule() : module_(plat::LoadLibraryA(kModule.c_str())) {}
    ~LoadedModule() {
        if (module_) plat::FreeLibrary(module_);
    }
    int Forward(Records& records) const {
        auto forward = reinterpret_cast<ForwardVELMessageFn>(
            plat::GetProcAddress(module_, "ForwardVELMessage"));
        if (forward == nullptr) return -1;
        return forward(1, 1000, &records.message, &records.detail, &records.context);
    }

  private:
    plat::Module module_;
};

class RsyslogForwarding : public ::testing::Test {
  protected:
    TempDir dir;
    ScopedEnv registry{"VEL_REGISTRY", (dir / "hklm.reg").string()};
    ScopedEnv eventLog{"VEL_EVENTLOG", (dir / "eventlog.json").string()};

    void SetUp() override {
        if (::access(kRsyslogd.c_str(), X_OK) != 0) GTEST_SKIP() << "rsyslogd is not installed";
    }

    void Configure(const std::string& transport, int port) {
        RegFile reg;
        reg.Key(fwd::kSyslogSettingsKey)
            .String("Transport", transport)
            .String("Host", "127.0.0.1")
            .Dword("Port", static_cast<std::uint32_t>(port))
            .String("Facility", "local0");
        reg.WriteTo(dir / "hklm.reg");
    }

    static void ExpectWholeEscapedMessage(const std::string& line) {
        EXPECT_EQ(line.rfind("<131>1 2024-06-30T12:00:01Z scanhost kxevent ", 0), 0u) << line;
        EXPECT_NE(line.find(" 1000 [kxevent@32473 uProductID=\"1\" uEventID=\"1000\""),
                  std::string::npos)
            << line;
        EXPECT_NE(line.find(" szVirusName=\"W32.\\\"Test\\\"\\]\""), std::string::npos) << line;
        EXPECT_NE(line.find(" szFileName=\"C:\\\\tmp\\\\a.exe\""), std::string::npos) << line;
        EXPECT_NE(line.find(" uNumVirs=\"2\""), std::string::npos) << line;
        EXPECT_TRUE(
            line.ends_with("] \xEF\xBB\xBF"
                           "Found W32.Test in C:\\tmp\\a.exe."))
            << line;
    }
};

TEST_F(RsyslogForwarding, UdpMessageArrivesWholeWithEscapedFields) {
    Rsyslog daemon(dir);
    ASSERT_TRUE(daemon.ready()) << "rsyslogd did not start";
    Configure("udp", daemon.port());
    Records records;
    EXPECT_EQ(LoadedModule().Forward(records), 0);
    const auto lines = daemon.WaitForLines(1);
    ASSERT_EQ(lines.size(), 1u);
    ExpectWholeEscapedMessage(lines[0]);
}

TEST_F(RsyslogForwarding, TcpMessagesArriveWholeAndSeparately) {
    Rsyslog daemon(dir);
    ASSERT_TRUE(daemon.ready()) << "rsyslogd did not start";
    Configure("tcp", daemon.port());
    Records records;
    const LoadedModule module;
    EXPECT_EQ(module.Forward(records), 0);
    EXPECT_EQ(module.Forward(records), 0);
    const auto lines = daemon.WaitForLines(2);
    ASSERT_EQ(lines.size(), 2u);
    ExpectWholeEscapedMessage(lines[0]);
    EXPECT_EQ(lines[0], lines[1]);
}

TEST_F(RsyslogForwarding, CollectorThatIsDownFailsQuicklyAndIsLogged) {
    Configure("tcp", FreeLoopbackPort());
    Records records;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(LoadedModule().Forward(records), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_NE(ReadFile(dir / "eventlog.json").find("not sent to syslog"), std::string::npos);
}

TEST_F(RsyslogForwarding, LocalTransportWritesOneDatagramToTheSocket) {
    const fs::path socketPath = dir / "log.sock";
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, socketPath.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    RegFile reg;
    reg.Key(fwd::kSyslogSettingsKey)
        .String("Transport", "local")
        .String("Socket", socketPath.string());
    reg.WriteTo(dir / "hklm.reg");
    Records records;
    EXPECT_EQ(LoadedModule().Forward(records), 0);
    char buffer[65536];
    const ssize_t size = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    ::close(fd);
    ASSERT_GT(size, 0);
    const std::string datagram(buffer, static_cast<std::size_t>(size));
    EXPECT_EQ(datagram.rfind("<11>1 2024-06-30T12:00:01Z scanhost kxevent ", 0), 0u) << datagram;
}

TEST_F(RsyslogForwarding, SendThroughTheLibraryReachesTheCollector) {
    Rsyslog daemon(dir);
    ASSERT_TRUE(daemon.ready()) << "rsyslogd did not start";
    RegFile reg;
    reg.Key("Software\\Velmora\\QRD\\Shared Components\\Brisa\\CurrentVersion")
        .String("szInstallDir", KX_TEST_INSTALL_DIR);
    reg.Key(kAlertingKey).Dword("bEnableCAlert", 0);
    reg.Key("Software\\Velmora\\QRD\\Shared Components\\Events\\0901\\1000")
        .String("LONGDESCRIPT", "%VIRUSNAME% found.")
        .Dword("SEVERITY", 4);
    reg.Key("Software\\Velmora\\QRD\\Shared Components\\Events\\Forwarding")
        .String("Syslog", kModule);
    reg.Key(fwd::kSyslogSettingsKey)
        .String("Transport", "tcp")
        .Dword("Port", static_cast<std::uint32_t>(daemon.port()));
    reg.WriteTo(dir / "hklm.reg");
    const ProcessResult result = RunProcess(
        std::string(KX_TEST_BINARY_DIR) + "/bin/kxevent",
        {"send", "--product", "1", "--event", "1000", "--virus", "Ab]c"},
        {{"VEL_REGISTRY", (dir / "hklm.reg").string()}, {"VEL_DEBUGCORE", std::nullopt}});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    const auto lines = daemon.WaitForLines(1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("<10>1 ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(" szVirusName=\"Ab\\]c\""), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find(" uTrapID=\"1000\""), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("\xEF\xBB\xBF"
                            "Ab]c found."),
              std::string::npos)
        << lines[0];
}

}  // namespace
}  // namespace kx::test
