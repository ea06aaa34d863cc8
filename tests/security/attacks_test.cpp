// attacks_test.cpp: attacks by a less trusted party on the library and its command, each
// performed as that party would, and what must hold afterwards.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "kxevent/kxevent.h"
#include "platform/platform.h"
#include "platform/regfile.h"
#include "robust_support.h"

namespace kx::robust {
namespace {

namespace fs = std::filesystem;

using SendFn = int(KX_API*)(uint32_t, int32_t, MessageRecord*, DetailRecord*, ContextRecord*);
using ResendFn = int(KX_API*)(uint32_t, uint32_t, int32_t, const char*, uint32_t, uint32_t);

constexpr std::int32_t kResentEvent = 1002;
constexpr char kResentEventKey[] = "Software\\Velmora\\QRD\\Shared Components\\Events\\0901\\1002";

struct Records {
    MessageRecord message{};
    DetailRecord detail{};
    ContextRecord context{};
};

// KXEvent.DLL of the build tree, loaded as a reporting product loads it.
class AttackedLibrary {
  public:
    AttackedLibrary() : module_(plat::LoadLibraryA(KX_TEST_INSTALL_DIR "/KXEvent.DLL")) {
        if (module_) {
            send_ = reinterpret_cast<SendFn>(plat::GetProcAddress(module_, "EVENT_SendVELMessage"));
            resend_ =
                reinterpret_cast<ResendFn>(plat::GetProcAddress(module_, "EVENT_SendVELEventEx"));
        }
    }
    ~AttackedLibrary() {
        if (module_) plat::FreeLibrary(module_);
    }
    AttackedLibrary(const AttackedLibrary&) = delete;
    AttackedLibrary& operator=(const AttackedLibrary&) = delete;
    bool loaded() const { return send_ != nullptr && resend_ != nullptr; }
    int Send(Records& r) const {
        return send_(kProduct, kEvent, &r.message, &r.detail, &r.context);
    }
    int Resend(const char* task) const { return resend_(0, kProduct, kResentEvent, task, 0, 0); }

  private:
    plat::Module module_;
    SendFn send_ = nullptr;
    ResendFn resend_ = nullptr;
};

// The physical lines of an alert file, split at CR LF.
std::vector<std::string> PhysicalLines(const fs::path& file) {
    const std::string text = test::ReadFile(file);
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find("\r\n", at);
        if (end == std::string::npos) break;
        lines.push_back(text.substr(at, end - at));
        at = end + 2;
    }
    return lines;
}

// A REG_SZ's bytes: a text with line breaks can only be written to a registry file as hex.
std::vector<std::uint8_t> SzBytes(const std::string& text) {
    std::vector<std::uint8_t> bytes(text.begin(), text.end());
    bytes.push_back(0);
    return bytes;
}

// Lines 1 to 28 must be the section line and the 27 keys in order, whatever follows.
void ExpectSectionAndKeysInOrder(const std::vector<std::string>& lines) {
    ASSERT_GE(lines.size(), 28u);
    EXPECT_EQ(lines[0], "[CentralAlert]");
    for (std::size_t i = 0; i < AlertKeyNames().size(); ++i) {
        EXPECT_EQ(lines[i + 1].substr(0, AlertKeyNames()[i].size() + 1), AlertKeyNames()[i] + "=")
            << "line " << i + 2 << ": " << lines[i + 1];
    }
}

// --- Line breaks in values forge alert lines ------------------------------------------------

class LineBreakForgery : public ScratchMachineTest {
  protected:
    void SetUp() override { fs::create_directories(alerts_); }

    fs::path OnlyAlert(const fs::path& directory) const {
        const std::vector<fs::path> files = FilesEndingWith(directory, ".ALR");
        EXPECT_EQ(files.size(), 1u);
        return files.empty() ? fs::path() : files.front();
    }

    fs::path alerts_ = tmp_ / "alerts";
};

TEST_F(LineBreakForgery, CallersFileNameWithLineBreaksStaysOnItsOwnLine) {
    SendingRegistry(alerts_).WriteTo(registry_);
    AttackedLibrary library;
    ASSERT_TRUE(library.loaded());
    auto records = std::make_unique<Records>();
    std::strcpy(records->detail.szVirusName, "EICAR");
    std::strcpy(records->detail.szFileName,
                "C:\\a.exe\r\nszUserName=administrator\r\nuSeverity=0\n[CentralAlert]\r");
    ASSERT_EQ(library.Send(*records), EVENT_OK);

    const fs::path file = OnlyAlert(alerts_);
    const std::vector<std::string> lines = PhysicalLines(file);
    EXPECT_EQ(lines.size(), 28u);
    ExpectSectionAndKeysInOrder(lines);
    const AlertFile alert = ReadAlert(file);
    ASSERT_TRUE(alert.complete);
    EXPECT_EQ(alert.Value("szItemName"),
              "C:\\a.exe  szUserName=administrator  uSeverity=0 [CentralAlert] ");
    EXPECT_NE(alert.Value("szUserName"), "administrator");
}

TEST_F(LineBreakForgery, RegistryTextWithLineBreaksStaysOnItsOwnLine) {
    // A second user who may name the alerting directory names one whose name breaks the line.
    const fs::path forged = alerts_ / "in\r\nuSeverity=0\r\nszUserName=administrator";
    fs::create_directories(forged);
    test::RegFile reg;
    reg.Key(kInstallKey).String("szInstallDir", KX_TEST_INSTALL_DIR);
    reg.Key(kAlertingKey)
        .Dword("bEnableCAlert", 1)
        .Hex("Centralized Alerting Path", SzBytes(forged.string()), static_cast<int>(plat::kRegSz))
        .Dword("NoIP", 1);
    reg.Key(kEventKey)
        .String("ID", "Forged")
        .Hex("LONGDESCRIPT", SzBytes("Found it.\r\nsecond line"), static_cast<int>(plat::kRegSz));
    reg.WriteTo(registry_);
    AttackedLibrary library;
    ASSERT_TRUE(library.loaded());
    auto records = std::make_unique<Records>();
    std::strcpy(records->detail.szVirusName, "EICAR");
    ASSERT_EQ(library.Send(*records), EVENT_OK);

    const std::vector<std::string> lines = PhysicalLines(OnlyAlert(forged));
    // The last key keeps its line break: a reader takes it to the end of the file.
    ASSERT_EQ(lines.size(), 29u);
    ExpectSectionAndKeysInOrder(lines);
    EXPECT_EQ(lines[15],
              "szAlertPath=" + (alerts_ / "in  uSeverity=0  szUserName=administrator").string());
    EXPECT_EQ(lines[27].rfind("szActualMessage=Found it.", 0), 0u) << lines[27];
    EXPECT_EQ(lines[28].rfind("second line", 0), 0u) << lines[28];
}

TEST_F(LineBreakForgery, AlertShowPrintsNoControlCharacterRaw) {
    SendingRegistry(alerts_, "Found\x1b[2J it.").WriteTo(registry_);
    AttackedLibrary library;
    ASSERT_TRUE(library.loaded());
    auto records = std::make_unique<Records>();
    std::strcpy(records->detail.szVirusName, "EICAR\x1b]0;owned\x07");
    std::strcpy(records->detail.szFileName,
                "C:\\a\r\nb \xC2\x9B"
                "31m M\xC3\xBC"
                "ller");
    ASSERT_EQ(library.Send(*records), EVENT_OK);

    const test::ProcessResult shown = test::RunProcess(
        std::string(KX_TEST_BINARY_DIR) + "/bin/kxevent", {"alert", "show", alerts_.string()});
    ASSERT_EQ(shown.exitCode, 0) << shown.err;
    for (const char c : shown.out) {
        const auto byte = static_cast<unsigned char>(c);
        EXPECT_TRUE(byte >= 0x20 || byte == '\n') << "raw control character " << int{byte};
        EXPECT_NE(byte, 0x7F);
    }
    EXPECT_EQ(shown.out.find("\xC2\x9B"), std::string::npos);  // the one-byte form of ESC [
    EXPECT_NE(shown.out.find("EICAR\\x1b]0;owned\\x07"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("C:\\a  b \\u009b31m M\xC3\xBCller"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("Found\\x1b[2J it."), std::string::npos) << shown.out;
}

// --- The last-event snapshot tears under threads ---------------------------------------------

class SnapshotTearing : public ScratchMachineTest {
  protected:
    void SetUp() override {
        fs::create_directories(alerts_);
        test::RegFile reg = SendingRegistry(alerts_);
        reg.Key(kResentEventKey).String("ID", "Resent").String("LONGDESCRIPT", "Resent event");
        reg.WriteTo(registry_);
    }

    fs::path alerts_ = tmp_ / "alerts";
};

// Every send names itself in three fields of both records; a torn snapshot pairs them wrongly.
void NameSend(Records& r, const std::string& name) {
    std::snprintf(r.detail.szVirusName, sizeof r.detail.szVirusName, "%s", name.c_str());
    std::snprintf(r.detail.szFileName, sizeof r.detail.szFileName, "%s.exe", name.c_str());
    std::snprintf(r.message.szSourceIP, sizeof r.message.szSourceIP, "%s", name.c_str());
}

TEST_F(SnapshotTearing, ThreadsSendingWhileAnotherResendsNeverMixTwoEvents) {
    constexpr int kSends = 300;
    AttackedLibrary library;
    ASSERT_TRUE(library.loaded());
    auto first = std::make_unique<Records>();
    NameSend(*first, "S-0");
    ASSERT_EQ(library.Send(*first), EVENT_OK);

    std::atomic<int> sendersLeft{2};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (const char* tag : {"A", "B"}) {
        threads.emplace_back([&, tag] {
            auto records = std::make_unique<Records>();
            for (int i = 0; i < kSends; ++i) {
                *records = Records{};
                NameSend(*records, std::string(tag) + "-" + std::to_string(i));
                if (library.Send(*records) != EVENT_OK) ++failures;
            }
            --sendersLeft;
        });
    }
    threads.emplace_back([&] {
        while (sendersLeft > 0) {
            if (library.Resend("resend") != EVENT_OK) ++failures;
        }
    });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failures, 0);

    int resent = 0;
    for (const fs::path& file : FilesEndingWith(alerts_, ".ALR")) {
        const AlertFile alert = ReadAlert(file);
        ASSERT_TRUE(alert.complete) << file;
        const std::string name = alert.Value("szVirusName");
        EXPECT_EQ(alert.Value("szItemName"), name + ".exe") << file;
        EXPECT_EQ(alert.Value("szSourceIP"), name) << file;
        if (alert.Value("uSpecificTrap") == std::to_string(kResentEvent)) {
            ++resent;
            EXPECT_EQ(alert.Value("szActualMessage").rfind("Resent event", 0), 0u) << file;
        }
    }
    EXPECT_GT(resent, 0);
}

// --- kxevent reg writes whatever a key path holds --------------------------------------------

class RegCommandInjection : public ::testing::Test {
  protected:
    void SetUp() override {
        test::RegFile reg;
        reg.Key(kForwardingKey).String("Syslog", "/opt/kxevent/FwdSyslog.DLL");
        reg.WriteTo(registry_);
    }

    test::ProcessResult Reg(const std::vector<std::string>& args) const {
        std::vector<std::string> all = {"reg", "--file", registry_.string()};
        all.insert(all.end(), args.begin(), args.end());
        return test::RunProcess(std::string(KX_TEST_BINARY_DIR) + "/bin/kxevent", all,
                                {{"VEL_REGISTRY", registry_.string()}});
    }

    std::size_t ForwardingEntries() const {
        const reg::Document document = reg::Parse(test::ReadFile(registry_));
        const reg::Key* key = reg::FindKey(document, kForwardingKey);
        return key == nullptr ? 0 : key->values.size();
    }

    test::TempDir tmp_;
    fs::path registry_ = tmp_ / "hklm.reg";
};

TEST_F(RegCommandInjection, KeyPathWithLineBreaksIsRefusedAndChangesNothing) {
    const std::string before = test::ReadFile(registry_);
    const std::string path = std::string("Software\\Other]\r\n[HKEY_LOCAL_MACHINE\\") +
                             kForwardingKey + "]\r\n\"Planted\"=\"/tmp/planted.DLL\"\r\n[" +
                             "HKEY_LOCAL_MACHINE\\Software\\Other2";
    const test::ProcessResult result = Reg({"set", path, "Name", "x"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.err.find("the key path holds a carriage return (CR) at character 16"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(test::ReadFile(registry_), before);
    EXPECT_EQ(ForwardingEntries(), 1u);
}

TEST_F(RegCommandInjection, ValueNameWithControlCharactersIsRefused) {
    const std::string before = test::ReadFile(registry_);
    for (const std::string& name : std::vector<std::string>{"a\nb", "a\rb",
                                                            "a\x1b"
                                                            "b"}) {
        const test::ProcessResult result = Reg({"set", kForwardingKey, name, "/tmp/planted.DLL"});
        EXPECT_EQ(result.exitCode, 2) << result.err;
        EXPECT_NE(result.err.find("the value name holds"), std::string::npos) << result.err;
        EXPECT_EQ(result.err.find(name), std::string::npos);  // never echoed raw
    }
    EXPECT_EQ(test::ReadFile(registry_), before);
}

TEST_F(RegCommandInjection, ValueDataReadsBackExactlyWhatWasSet) {
    const std::string data = "x\"\r\n\"Planted\"=\"/tmp/planted.DLL\"\r\n]\\\\end\\";
    const test::ProcessResult result =
        Reg({"set", kAlertingKey, "Centralized Alerting Path", data});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(ForwardingEntries(), 1u);

    const test::ScopedEnv registry("VEL_REGISTRY", registry_.string());
    plat::HKey key = nullptr;
    ASSERT_EQ(plat::RegOpenKeyExA(kAlertingKey, &key), plat::kErrorSuccess);
    char read[256] = {};
    plat::Dword size = sizeof read;
    EXPECT_EQ(plat::RegQueryValueExA(key, "Centralized Alerting Path", nullptr, read, &size),
              plat::kErrorSuccess);
    plat::RegCloseKey(key);
    EXPECT_EQ(std::string(read), data);
    EXPECT_EQ(size, data.size() + 1);
}

}  // namespace
}  // namespace kx::robust
