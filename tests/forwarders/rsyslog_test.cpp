// rsyslog_test.cpp: FwdSyslog.DLL against real log daemons. The test starts the tests' rsyslogd
// on a free loopback port with UDP and TCP inputs, or on a local socket of its own, writing what
// it parsed; or systemd-journald in a private mount namespace whose
// sockets and journal files are the test's own directories. It loads the module from the
// installation directory as the library does and reads back what arrived.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "child_process.h"
#include "forwarders/syslog/syslog_settings.h"
#include "forwarders/syslog/syslog_transport.h"
#include "kxevent/kxevent.h"
#include "loopback.h"
#include "platform/platform.h"
#include "records.h"
#include "rsyslogd.h"
#include "support.h"

namespace kx::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kRsyslogd = "/usr/sbin/rsyslogd";
const std::string kModule = std::string(KX_TEST_INSTALL_DIR) + "/FwdSyslog.DLL";

// The tests' rsyslogd on 127.0.0.1:port (UDP and TCP), raw messages one a line.
class Rsyslog {
  public:
    explicit Rsyslog(const TempDir& dir, int port = FreeLoopbackPort())
        : log_(dir / "out.log"),
          port_(port),
          daemon_(dir / "rsyslog",
                  {{"KX_SYSLOG_PORT", std::to_string(port)}, {"KX_SYSLOG_LOG", log_.string()}},
                  {SyslogInputs(), LargeMessages()}) {}
    int port() const { return port_; }
    bool ready() const { return daemon_.ready(); }
    std::vector<std::string> WaitForLines(std::size_t count) const {
        return kx::test::WaitForLines(log_, count);
    }

  private:
    fs::path log_;
    int port_;
    Rsyslogd daemon_;
};

// The tests' rsyslogd on the local socket `socket` only (not the system's), each message as
// program|process|severity|facility|text.
class LocalRsyslog {
  public:
    LocalRsyslog(const TempDir& dir, const fs::path& socket)
        : log_(dir / "out.log"),
          daemon_(dir / "rsyslog",
                  {{"KX_LOCAL_SOCKET", socket.string()}, {"KX_LOCAL_LOG", log_.string()}},
                  {LocalSocketInput(), LargeMessages()}) {}
    bool ready() const { return daemon_.ready(); }
    std::vector<std::string> WaitForLines(std::size_t count) const {
        return kx::test::WaitForLines(log_, count);
    }

  private:
    fs::path log_;
    Rsyslogd daemon_;
};

// systemd-journald in a mount namespace of its own, where /run is a fresh tmpfs and the
// directories of its sockets and of its runtime journal are the test's; and in a process
// namespace of its own, where the kernel refuses it the machine's audit switch.
class Journald {
  public:
    explicit Journald(const TempDir& dir) : sockets_(dir / "journal-run"), files_(dir / "journal") {
        fs::create_directory(sockets_);
        fs::create_directory(files_);
        const std::string script =
            "set -e; mount -t tmpfs tmpfs /run; mkdir -p /run/systemd/journal /run/log/journal; "
            "mount --bind '" +
            sockets_.string() + "' /run/systemd/journal; mount --bind '" + files_.string() +
            "' /run/log/journal; read -r pid rest </proc/self/stat; echo $pid >'" +
            PidFile().string() + "'; exec " + kJournald;
        process_ = std::make_unique<BackgroundProcess>(
            "/usr/bin/unshare", std::vector<std::string>{"--mount", "--pid", "--fork",
                                                         "--kill-child", "/bin/sh", "-c", script});
        for (int i = 0; i < 100 && !ready(); ++i) std::this_thread::sleep_for(50ms);
    }
    // unshare leaves a stop to the process it started, so journald is stopped by its own id (as
    // the machine's /proc shows it).
    ~Journald() {
        const long pid = std::strtol(ReadFile(PidFile()).c_str(), nullptr, 10);
        if (pid > 1) ::kill(static_cast<pid_t>(pid), SIGTERM);
    }
    Journald(const Journald&) = delete;
    Journald& operator=(const Journald&) = delete;
    static bool installed() { return ::access(kJournald.c_str(), X_OK) == 0; }
    bool ready() const { return fs::is_socket(Socket()); }
    fs::path Socket() const { return sockets_ / "socket"; }

    // The entries of `identifier` in journalctl's export form, waiting until `text` shows.
    std::string WaitForEntries(const std::string& identifier, const std::string& text) const {
        std::string out;
        for (int i = 0; i < 100; ++i) {
            out = RunProcess("/usr/bin/journalctl", {"--directory", JournalDirectory(), "-o",
                                                     "export", "SYSLOG_IDENTIFIER=" + identifier})
                      .out;
            if (out.find(text) != std::string::npos) break;
            std::this_thread::sleep_for(50ms);
        }
        return out;
    }

  private:
    inline static const std::string kJournald = "/lib/systemd/systemd-journald";
    // journald keeps its files in a directory named by the machine id.
    std::string JournalDirectory() const {
        for (const auto& entry : fs::directory_iterator(files_)) {
            if (entry.is_directory()) return entry.path().string();
        }
        return files_.string();
    }
    fs::path PidFile() const { return sockets_.parent_path() / "journald.pid"; }
    fs::path sockets_;
    fs::path files_;
    std::unique_ptr<BackgroundProcess> process_;
};

// The three records with the values of a sample event.
struct SampleRecords : Records {
    SampleRecords() {
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
    int Forward(SampleRecords& records) const {
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
    SampleRecords records;
    EXPECT_EQ(LoadedModule().Forward(records), 0);
    const auto lines = daemon.WaitForLines(1);
    ASSERT_EQ(lines.size(), 1u);
    ExpectWholeEscapedMessage(lines[0]);
}

TEST_F(RsyslogForwarding, TcpMessagesArriveWholeAndSeparately) {
    Rsyslog daemon(dir);
    ASSERT_TRUE(daemon.ready()) << "rsyslogd did not start";
    Configure("tcp", daemon.port());
    SampleRecords records;
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
    SampleRecords records;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(LoadedModule().Forward(records), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_NE(ReadFile(dir / "eventlog.json").find("not sent to syslog"), std::string::npos);
}

// A datagram socket bound at `path`; closed, it leaves a socket file that nobody reads.
class BoundSocket {
  public:
    explicit BoundSocket(const fs::path& path) : fd_(::socket(AF_UNIX, SOCK_DGRAM, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, path.c_str());
        bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~BoundSocket() { ::close(fd_); }
    BoundSocket(const BoundSocket&) = delete;
    BoundSocket& operator=(const BoundSocket&) = delete;
    bool bound() const { return bound_; }
    std::string Receive() const {
        char buffer[65536];
        const ssize_t size = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        return size > 0 ? std::string(buffer, static_cast<std::size_t>(size)) : std::string();
    }

  private:
    int fd_;
    bool bound_ = false;
};

class LocalForwarding : public RsyslogForwarding {
  protected:
    void ConfigureLocal(const fs::path& socket, const fs::path& journal) {
        RegFile reg;
        reg.Key(fwd::kSyslogSettingsKey)
            .String("Transport", "local")
            .String("Socket", socket.string())
            .String("JournalSocket", journal.string())
            .String("Facility", "local0");
        reg.WriteTo(dir / "hklm.reg");
    }
};

TEST_F(LocalForwarding, RsyslogReadsProgramSeverityAndTextAsSent) {
    LocalRsyslog daemon(dir, dir / "log.sock");
    ASSERT_TRUE(daemon.ready()) << "rsyslogd did not start";
    ConfigureLocal(dir / "log.sock", dir / "no-journal");
    SampleRecords records;
    std::strcpy(records.message.szLongDescript, "Found W32.Test\tin C:\\tmp\\a.exe.");
    EXPECT_EQ(LoadedModule().Forward(records), 0);
    const auto lines = daemon.WaitForLines(1);
    ASSERT_EQ(lines.size(), 1u);
    // rsyslog keeps the space after the tag's colon as the message's first character.
    EXPECT_EQ(lines[0], "kxevent|" + std::to_string(::getpid()) +
                            "|3|local0| Found W32.Test\\tin C:\\tmp\\a.exe.");
}

TEST_F(LocalForwarding, JournalThatDoesNotAnswerLeavesTheTraditionalSocket) {
    { const BoundSocket gone(dir / "journal.sock"); }
    const BoundSocket socket(dir / "log.sock");
    ConfigureLocal(dir / "log.sock", dir / "journal.sock");
    SampleRecords records;
    EXPECT_EQ(LoadedModule().Forward(records), 0);
    EXPECT_EQ(socket.Receive().rfind("<131>", 0), 0u);
}

TEST_F(LocalForwarding, NeitherSocketAnsweringIsLoggedWithBothReasons) {
    { const BoundSocket gone(dir / "journal.sock"); }
    ConfigureLocal(dir / "log.sock", dir / "journal.sock");
    SampleRecords records;
    EXPECT_EQ(LoadedModule().Forward(records), 1);
    const std::string log = ReadFile(dir / "eventlog.json");
    EXPECT_NE(log.find("sendmsg " + (dir / "journal.sock").string()), std::string::npos) << log;
    EXPECT_NE(log.find("sendmsg " + (dir / "log.sock").string()), std::string::npos) << log;
}

class JournalForwarding : public LocalForwarding {
  protected:
    void SetUp() override {
        if (!Journald::installed()) GTEST_SKIP() << "systemd-journald is not installed";
        if (RunProcess("/usr/bin/unshare", {"--mount", "--pid", "--fork", "true"}).exitCode != 0) {
            GTEST_SKIP() << "no private mount namespace for systemd-journald here";
        }
    }
};

TEST_F(JournalForwarding, JournalGetsTheEventWithItsFields) {
    const Journald journald(dir);
    ASSERT_TRUE(journald.ready()) << "systemd-journald did not start in a namespace of its own";
    ConfigureLocal(dir / "log.sock", journald.Socket());
    SampleRecords records;
    std::strcpy(records.message.szLongDescript, "Found it\nin two lines.");
    EXPECT_EQ(LoadedModule().Forward(records), 0);
    const std::string entries = journald.WaitForEntries("kxevent", "KXEVENT_SZVIRUSNAME");
    EXPECT_NE(entries.find("\nPRIORITY=3\n"), std::string::npos) << entries;
    EXPECT_NE(entries.find("\nSYSLOG_FACILITY=16\n"), std::string::npos) << entries;
    EXPECT_NE(entries.find("\nMESSAGE_ID=6b78657665e24a1f00000001000003e8\n"), std::string::npos);
    EXPECT_NE(entries.find("\nKXEVENT_SZVIRUSNAME=W32.\"Test\"]\n"), std::string::npos);
    EXPECT_NE(entries.find("\nKXEVENT_UNUMVIRS=2\n"), std::string::npos);
    // A value with a newline comes back in the export's length form, whole.
    const std::string message = "Found it\nin two lines.";
    EXPECT_NE(entries.find(std::string("\nMESSAGE\n\x16\0\0\0\0\0\0\0", 17) + message),
              std::string::npos)
        << entries;
}

// A megabyte is more than a datagram may carry on Linux (the send buffer's default is a fifth
// of it), so the entry goes through the memory file.
TEST_F(JournalForwarding, EntryTooLargeForADatagramArrivesWholeThroughAMemoryFile) {
    const Journald journald(dir);
    ASSERT_TRUE(journald.ready()) << "systemd-journald did not start in a namespace of its own";
    const std::string big(1 << 20, 'x');
    std::string error;
    ASSERT_TRUE(fwd::SendJournalEntry(journald.Socket(),
                                      "MESSAGE=" + big + "\nSYSLOG_IDENTIFIER=kxbig\n", error))
        << error;
    EXPECT_NE(journald.WaitForEntries("kxbig", big).find("MESSAGE=" + big + "\n"),
              std::string::npos);
}

TEST_F(RsyslogForwarding, BadSettingIsLoggedOncePerDistinctValue) {
    const auto configure = [&](const std::string& transport) {
        RegFile reg;
        reg.Key(fwd::kSyslogSettingsKey).String("Transport", transport);
        reg.WriteTo(dir / "hklm.reg");
    };
    const auto count = [&](const std::string& text) {
        const auto lines = Lines(ReadFile(dir / "eventlog.json"));
        return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        });
    };
    SampleRecords records;
    configure("pigeon");
    for (int send = 0; send < 3; ++send) EXPECT_EQ(LoadedModule().Forward(records), 1);
    configure("carrier");
    EXPECT_EQ(LoadedModule().Forward(records), 1);
    configure("pigeon");
    EXPECT_EQ(LoadedModule().Forward(records), 1);
    EXPECT_EQ(count("Transport \\\"pigeon\\\" is not one of local, udp, tcp"), 1);
    EXPECT_EQ(count("\\\"carrier\\\""), 1);
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
