// fault_test.cpp: sends through the installed library while the system misbehaves: a full disk,
// a registry file replaced thousands of times, forwarding modules that cannot be used.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <thread>

#include "library.h"
#include "platform/testing.h"
#include "robust_support.h"

namespace kx::robust {
namespace {

namespace fs = std::filesystem;

constexpr char kAlertFailure[] = "The alert could not be delivered through the alerting directory";

class FaultTest : public ScratchMachineTest {
  protected:
    void WriteRegistry(const test::RegFile& reg) { reg.WriteTo(registry_); }

    fs::path alerts_ = tmp_ / "alerts";
    test::ScopedEnv forwardLog_{"KX_TEST_FORWARD_LOG", (tmp_ / "forward.log").string()};
};

// A small file system of its own, filled to the last byte; unmounted at the end.
class FullTmpfs {
  public:
    explicit FullTmpfs(const fs::path& dir) : dir_(dir) {
        fs::create_directories(dir);
        mounted_ = ::mount("kxfull", dir.c_str(), "tmpfs", 0, "size=64k") == 0;
        if (!mounted_) return;
        std::ofstream filler(dir / "filler", std::ios::binary);
        const std::string block(4096, 'x');
        for (int i = 0; i < 64 && filler.write(block.data(), block.size()); ++i) filler.flush();
    }
    ~FullTmpfs() {
        if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }

  private:
    fs::path dir_;
    bool mounted_ = false;
};

// Stands in for a disk that fills up after a file's first bytes.
plat::Dword WriteOnFullDisk(std::intptr_t file, const void* data, plat::Dword count) {
    const plat::Dword part = count > 16 ? 16 : count / 2;
    plat::DefaultHooks().FileWrite(file, data, part);
    plat::SetLastError(plat::kErrorDiskFull);
    return part;
}

TEST_F(FaultTest, FullDiskLeavesNothingBehindAndLogsTheDeliveryFailure) {
    FullTmpfs disk(alerts_);
    std::optional<plat::testing::ScopedHook<&plat::HookTable::FileWrite>> injected;
    if (!disk.mounted()) injected.emplace(WriteOnFullDisk);
    WriteRegistry(SendingRegistry(alerts_));
    const LoadedLibrary library;
    ASSERT_TRUE(library);

    EXPECT_EQ(library.Send("full-disk"), EVENT_OK);  // a failed write is logged, not returned

    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(alerts_)) {
        if (entry.path().filename() != "filler") left.push_back(entry.path().filename());
    }
    EXPECT_TRUE(left.empty()) << left.front();
    EXPECT_EQ(CountLogLines(eventLog_, kAlertFailure), 1u);
    EXPECT_EQ(CountLogLines(eventLog_, "full-disk"), 0u);  // the name is no part of the text
}

// Two versions of the registry, each whole in itself: the event's name and long description
// carry the version's letter.
test::RegFile Version(const fs::path& alerts, char letter) {
    test::RegFile reg = SendingRegistry(alerts, std::string("Version ") + letter);
    reg.Key(kEventKey).String("ID", std::string("Version ") + letter);
    return reg;
}

TEST_F(FaultTest, RegistryReplacedWhileSendingGivesEveryReadOneWholeVersion) {
    fs::create_directories(alerts_);
    const std::string versions[2] = {Version(alerts_, 'A').Text(), Version(alerts_, 'B').Text()};
    WriteRegistry(Version(alerts_, 'A'));
    const LoadedLibrary library;
    ASSERT_TRUE(library);

    std::atomic<bool> done{false};
    std::atomic<int> replaced{0};
    std::thread writer([&] {
        // Replaced the way administrators' tools do: a new file renamed over the old one.
        for (int i = 0; !done || i < 2000; ++i) {
            test::WriteFile(tmp_ / "next.reg", versions[i % 2]);
            fs::rename(tmp_ / "next.reg", registry_);
            ++replaced;
        }
    });
    constexpr int kSends = 150;
    int failures = 0, mixedReads = 0;
    for (int i = 0; i < kSends; ++i) {
        if (library.Send(("send-" + std::to_string(i)).c_str()) != EVENT_OK) ++failures;
        plat::HKey key = nullptr;
        ASSERT_EQ(plat::RegOpenKeyExA(kEventKey, &key), plat::kErrorSuccess);
        char id[64] = {}, description[64] = {};
        plat::Dword idSize = sizeof id, descriptionSize = sizeof description;
        plat::RegQueryValueExA(key, "ID", nullptr, id, &idSize);
        plat::RegQueryValueExA(key, "LONGDESCRIPT", nullptr, description, &descriptionSize);
        plat::RegCloseKey(key);
        if (std::string_view(id) != std::string_view(description)) ++mixedReads;
    }
    done = true;
    writer.join();

    EXPECT_GE(replaced.load(), 2000);
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(mixedReads, 0);
    const auto files = FilesEndingWith(alerts_, ".ALR");
    EXPECT_EQ(files.size(), static_cast<std::size_t>(kSends));
    for (const fs::path& file : files) {
        const AlertFile alert = ReadAlert(file);
        ASSERT_TRUE(alert.complete) << file;
        const std::string message = alert.Value("szActualMessage");
        // The definition's own append text follows the description.
        EXPECT_TRUE(message.starts_with("Version A.") || message.starts_with("Version B."))
            << message;
    }
}

TEST_F(FaultTest, UnusableForwardingModulesAmongGoodOnesAreSkipped) {
    test::WriteFile(tmp_ / "notamodule.dll", "this is text, not a module\n");
    test::RegFile reg = SendingRegistry(alerts_);
    reg.Key(kForwardingKey)
        .String("First good", KX_TEST_FORWARD_DIR "/FwdA.dll")
        .String("Missing", (tmp_ / "missing.dll").string())
        .String("Not a module", (tmp_ / "notamodule.dll").string())
        .String("No entry", KX_TEST_FORWARD_DIR "/FwdNoEntry.dll")
        .String("Second good", KX_TEST_FORWARD_DIR "/FwdB.dll");
    fs::create_directories(alerts_);
    WriteRegistry(reg);
    const LoadedLibrary library;
    ASSERT_TRUE(library);

    EXPECT_EQ(library.Send("forwarded"), EVENT_OK);

    const std::string log = test::ReadFile(tmp_ / "forward.log");
    EXPECT_NE(log.find("call FwdA 1 1001 1001"), std::string::npos) << log;
    EXPECT_NE(log.find("call FwdB 1 1001 1001"), std::string::npos) << log;
    EXPECT_EQ(log.find("call FwdNoEntry"), std::string::npos) << log;
    // The module without the entry was loaded and unloaded again.
    EXPECT_NE(log.find("detach FwdNoEntry"), std::string::npos) << log;
}

}  // namespace
}  // namespace kx::robust
