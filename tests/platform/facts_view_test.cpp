// facts_view_test.cpp: one call's view of the files the platform reads facts from.
#include "platform/posix/facts_view.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/platform.h"
#include "platform/posix/backend.h"
#include "support.h"

namespace {

namespace plat = kx::plat;
using kx::test::RegFile;
using kx::test::ScopedEnv;
using kx::test::TempDir;
using kx::test::WriteFile;
using plat::posix::FileStamp;

constexpr char kKey[] = "Software\\Velmora\\QRD\\Shared Components\\Test";

class PlatFactsView : public ::testing::Test {
  protected:
    TempDir dir;
    std::filesystem::path file = dir / "hklm.reg";
    ScopedEnv env{"VEL_REGISTRY", file.string()};

    void WriteVersion(const char* text) { RegFile().Key(kKey).String("v", text).WriteTo(file); }

    // The value "v" as a key opened now reads it; "<none>" when the key cannot be opened.
    static std::string ReadNow() {
        plat::HKey key = nullptr;
        if (plat::RegOpenKeyExA(kKey, &key) != plat::kErrorSuccess) return "<none>";
        char data[64] = {};
        plat::Dword size = sizeof data - 1;
        const plat::Status status = plat::RegQueryValueExA(key, "v", nullptr, data, &size);
        plat::RegCloseKey(key);
        return status == plat::kErrorSuccess ? std::string(data) : "<missing>";
    }
};

TEST_F(PlatFactsView, KeysOpenedInOneViewReadTheVersionItsFirstOpenFound) {
    WriteVersion("first");
    {
        const plat::FactsView view;
        EXPECT_EQ(ReadNow(), "first");
        WriteVersion("second");
        EXPECT_EQ(ReadNow(), "first");
        std::filesystem::remove(file);
        EXPECT_EQ(ReadNow(), "first");
    }
    EXPECT_EQ(ReadNow(), "<none>");
}

TEST_F(PlatFactsView, TheNextViewSeesTheReplacedFile) {
    WriteVersion("first");
    {
        const plat::FactsView view;
        EXPECT_EQ(ReadNow(), "first");
    }
    WriteVersion("second");
    const plat::FactsView view;
    EXPECT_EQ(ReadNow(), "second");
}

TEST_F(PlatFactsView, AnInnerViewEndingKeepsTheOuterViewsVersion) {
    WriteVersion("first");
    const plat::FactsView outer;
    {
        const plat::FactsView inner;
        EXPECT_EQ(ReadNow(), "first");
    }
    WriteVersion("second");
    EXPECT_EQ(ReadNow(), "first");
}

TEST_F(PlatFactsView, AViewFollowsTheRegistryFileItIsPointedAt) {
    WriteVersion("first");
    const std::filesystem::path other = dir / "other.reg";
    RegFile().Key(kKey).String("v", "other").WriteTo(other);
    const plat::FactsView view;
    EXPECT_EQ(ReadNow(), "first");
    const ScopedEnv elsewhere("VEL_REGISTRY", other.string());
    EXPECT_EQ(ReadNow(), "other");
}

TEST_F(PlatFactsView, WithoutAViewEveryOpenSeesTheLatestFile) {
    WriteVersion("first");
    EXPECT_EQ(ReadNow(), "first");
    WriteVersion("second");
    EXPECT_EQ(ReadNow(), "second");
}

TEST_F(PlatFactsView, ViewsOfTwoThreadsAreTheirOwn) {
    WriteVersion("first");
    const plat::FactsView view;
    EXPECT_EQ(ReadNow(), "first");
    WriteVersion("second");
    std::string seenByOther;
    std::thread([&] { seenByOther = ReadNow(); }).join();
    EXPECT_EQ(seenByOther, "second");
    EXPECT_EQ(ReadNow(), "first");
}

TEST_F(PlatFactsView, AFileIsStatedOncePerView) {
    const std::filesystem::path facts = dir / "facts";
    WriteFile(facts, "one");
    {
        const plat::FactsView view;
        const FileStamp first = FileStamp::Of(facts.c_str());
        ASSERT_TRUE(first.exists());
        WriteFile(facts, "a longer text");
        EXPECT_EQ(FileStamp::Of(facts.c_str()), first);
    }
    EXPECT_EQ(FileStamp::Of(facts.c_str()).size, 13);
}

TEST_F(PlatFactsView, AFileMissingAtTheFirstLookStaysMissingForTheView) {
    const std::filesystem::path facts = dir / "later";
    const plat::FactsView view;
    EXPECT_FALSE(FileStamp::Of(facts.c_str()).exists());
    WriteFile(facts, "now");
    EXPECT_FALSE(FileStamp::Of(facts.c_str()).exists());
}

TEST_F(PlatFactsView, StampsTellRewrittenAndReplacedFilesApart) {
    const std::filesystem::path facts = dir / "facts";
    WriteFile(facts, "aaa");
    const FileStamp original = FileStamp::Of(facts.c_str());
    EXPECT_EQ(FileStamp::Of(facts.c_str()), original);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    WriteFile(facts, "bbb");  // same size, same inode
    const FileStamp rewritten = FileStamp::Of(facts.c_str());
    EXPECT_FALSE(rewritten == original);
    const std::filesystem::path replacement = dir / "replacement";
    WriteFile(replacement, "bbb");
    std::filesystem::rename(replacement, facts);
    EXPECT_FALSE(FileStamp::Of(facts.c_str()) == rewritten);
}

TEST_F(PlatFactsView, AnEndWithoutABeginChangesNothing) {
    WriteVersion("first");
    plat::EndFactsView();
    const plat::FactsView view;
    EXPECT_EQ(ReadNow(), "first");
    WriteVersion("second");
    EXPECT_EQ(ReadNow(), "first");
}

}  // namespace
