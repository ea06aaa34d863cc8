// registry_test.cpp: HKEY_LOCAL_MACHINE read from the registry file named by VEL_REGISTRY.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/platform.h"
#include "platform/posix/internal.h"
#include "support.h"

namespace {

namespace plat = kx::plat;
using kx::test::RegFile;
using kx::test::ScopedEnv;
using kx::test::TempDir;

constexpr char kKey[] = "Software\\Velmora\\QRD\\Shared Components\\Test";

class PlatRegistry : public ::testing::Test {
  protected:
    TempDir dir;
    std::filesystem::path file = dir / "hklm.reg";
    ScopedEnv env{"VEL_REGISTRY", file.string()};

    plat::HKey Open(const char* path = kKey) {
        plat::HKey key = nullptr;
        EXPECT_EQ(plat::RegOpenKeyExA(path, &key), plat::kErrorSuccess) << path;
        return key;
    }
    std::string QueryText(plat::HKey key, const char* name) {
        char data[256] = {};
        plat::Dword size = sizeof data;
        if (plat::RegQueryValueExA(key, name, nullptr, data, &size) != plat::kErrorSuccess) {
            return "<missing>";
        }
        return std::string(data, size);
    }
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

TEST_F(PlatRegistry, QueryReturnsRawBytesOfEveryType) {
    RegFile()
        .Key(kKey)
        .String("Text", "abc")
        .Dword("Number", 0x01020304)
        .Hex("Blob", {9, 8})
        .Hex("Multi", {'a', 0, 0}, 7)
        .WriteTo(file);
    plat::HKey key = Open();
    std::uint8_t data[16];
    plat::Dword size = sizeof data, type = 0;
    ASSERT_EQ(plat::RegQueryValueExA(key, "Text", &type, data, &size), plat::kErrorSuccess);
    EXPECT_EQ(type, plat::kRegSz);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data), size), std::string("abc\0", 4));
    size = sizeof data;
    ASSERT_EQ(plat::RegQueryValueExA(key, "Number", &type, data, &size), plat::kErrorSuccess);
    EXPECT_EQ(type, plat::kRegDword);
    ASSERT_EQ(size, 4u);
    EXPECT_EQ(data[0], 4);
    EXPECT_EQ(data[3], 1);
    size = sizeof data;
    ASSERT_EQ(plat::RegQueryValueExA(key, "Blob", &type, data, &size), plat::kErrorSuccess);
    EXPECT_EQ(type, plat::kRegBinary);
    EXPECT_EQ(size, 2u);
    size = sizeof data;
    ASSERT_EQ(plat::RegQueryValueExA(key, "Multi", &type, data, &size), plat::kErrorSuccess);
    EXPECT_EQ(type, plat::kRegMultiSz);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(plat::RegCloseKey(key), plat::kErrorSuccess);
}

TEST_F(PlatRegistry, KeysAndValueNamesMatchWithoutRegardToCase) {
    RegFile().Key(kKey).String("MixedCase", "v").WriteTo(file);
    plat::HKey key = Open("SOFTWARE\\velmora\\qrd\\SHARED COMPONENTS\\test");
    EXPECT_EQ(QueryText(key, "mixedcase"), std::string("v\0", 2));
    plat::RegCloseKey(key);
}

TEST_F(PlatRegistry, MissingKeyAndValueAreNotFound) {
    RegFile().Key(kKey).String("a", "v").WriteTo(file);
    plat::HKey key = nullptr;
    EXPECT_EQ(plat::RegOpenKeyExA("Software\\Nowhere", &key), plat::kErrorFileNotFound);
    EXPECT_EQ(key, nullptr);
    key = Open();
    plat::Dword size = 4;
    char data[4];
    EXPECT_EQ(plat::RegQueryValueExA(key, "b", nullptr, data, &size), plat::kErrorFileNotFound);
    plat::RegCloseKey(key);
}

TEST_F(PlatRegistry, ParentsOfStoredKeysExistWithoutValues) {
    RegFile().Key(kKey).String("a", "v").WriteTo(file);
    plat::HKey key = Open("software\\velmora");
    char name[8];
    plat::Dword chars = sizeof name;
    EXPECT_EQ(plat::RegEnumValueA(key, 0, name, &chars, nullptr, nullptr, nullptr),
              plat::kErrorNoMoreItems);
    plat::RegCloseKey(key);
    plat::HKey partial = nullptr;
    EXPECT_EQ(plat::RegOpenKeyExA("Software\\Velm", &partial), plat::kErrorFileNotFound);
}

TEST_F(PlatRegistry, UnnamedValueAnswersNullAndEmptyName) {
    RegFile().Key(kKey).String("", "default").WriteTo(file);
    plat::HKey key = Open();
    EXPECT_EQ(QueryText(key, nullptr), std::string("default\0", 8));
    EXPECT_EQ(QueryText(key, ""), std::string("default\0", 8));
    plat::RegCloseKey(key);
}

TEST_F(PlatRegistry, QueryIntoSmallBufferReportsMoreDataAndCopiesNothing) {
    RegFile().Key(kKey).String("v", "0123456789").WriteTo(file);
    plat::HKey key = Open();
    char data[8];
    std::memset(data, 'x', sizeof data);
    plat::Dword size = sizeof data, type = 0;
    EXPECT_EQ(plat::RegQueryValueExA(key, "v", &type, data, &size), plat::kErrorMoreData);
    EXPECT_EQ(size, 11u);
    EXPECT_EQ(type, plat::kRegSz);
    EXPECT_EQ(std::string(data, sizeof data), std::string(8, 'x'));
    size = 0;
    EXPECT_EQ(plat::RegQueryValueExA(key, "v", nullptr, nullptr, &size), plat::kErrorSuccess);
    EXPECT_EQ(size, 11u);
    size = 11;
    EXPECT_EQ(plat::RegQueryValueExA(key, "v", nullptr, data, nullptr),
              plat::kErrorInvalidParameter);
    plat::RegCloseKey(key);
}

TEST_F(PlatRegistry, EnumerationFollowsFileOrder) {
    RegFile().Key(kKey).Dword("zeta", 1).String("alpha", "a").String("", "u").WriteTo(file);
    plat::HKey key = Open();
    std::vector<std::string> names;
    for (plat::Dword i = 0;; ++i) {
        char name[32];
        plat::Dword chars = sizeof name;
        std::uint8_t data[32];
        plat::Dword size = sizeof data, type = 0;
        const plat::Status status = plat::RegEnumValueA(key, i, name, &chars, &type, data, &size);
        if (status == plat::kErrorNoMoreItems) break;
        ASSERT_EQ(status, plat::kErrorSuccess);
        EXPECT_EQ(chars, std::strlen(name));
        names.push_back(name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"zeta", "alpha", ""}));
    plat::RegCloseKey(key);
}

TEST_F(PlatRegistry, EnumerationReportsMoreDataForNameOrData) {
    RegFile().Key(kKey).String("name", "0123456789").WriteTo(file);
    plat::HKey key = Open();
    char name[8];
    plat::Dword chars = 4;  // "name" needs 5 with its terminator
    EXPECT_EQ(plat::RegEnumValueA(key, 0, name, &chars, nullptr, nullptr, nullptr),
              plat::kErrorMoreData);
    chars = 5;
    char data[4];
    plat::Dword size = sizeof data;
    EXPECT_EQ(plat::RegEnumValueA(key, 0, name, &chars, nullptr, data, &size),
              plat::kErrorMoreData);
    EXPECT_EQ(size, 11u);
    chars = 5;
    size = 0;
    EXPECT_EQ(plat::RegEnumValueA(key, 0, name, &chars, nullptr, nullptr, &size),
              plat::kErrorSuccess);
    EXPECT_EQ(size, 11u);
    EXPECT_STREQ(name, "name");
    EXPECT_EQ(chars, 4u);
    plat::RegCloseKey(key);
}

TEST_F(PlatRegistry, OpenKeyKeepsItsVersionWhenTheFileIsReplaced) {
    RegFile().Key(kKey).String("v", "old").WriteTo(file);
    plat::HKey before = Open();
    RegFile().Key(kKey).String("v", "new").WriteTo(file);
    plat::HKey after = Open();
    EXPECT_EQ(QueryText(before, "v"), std::string("old\0", 4));
    EXPECT_EQ(QueryText(after, "v"), std::string("new\0", 4));
    plat::RegCloseKey(before);
    plat::RegCloseKey(after);
}

TEST_F(PlatRegistry, ChangeOfSameSizeInPlaceIsSeen) {
    RegFile().Key(kKey).String("v", "aaa").WriteTo(file);
    plat::RegCloseKey(Open());
    {
        // Same size, same inode: only the modification time tells.
        std::string text = kx::test::ReadFile(file);
        text.replace(text.find("aaa"), 3, "bbb");
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
    }
    plat::HKey key = Open();
    EXPECT_EQ(QueryText(key, "v"), std::string("bbb\0", 4));
    plat::RegCloseKey(key);
}

TEST_F(PlatRegistry, UnchangedFileIsParsedOnce) {
    RegFile().Key(kKey).String("v", "x").WriteTo(file);
    plat::RegCloseKey(Open());
    const std::uint64_t parses = plat::backend::RegistryParseCount();
    for (int i = 0; i < 20; ++i) plat::RegCloseKey(Open());
    EXPECT_EQ(plat::backend::RegistryParseCount(), parses);
    RegFile().Key(kKey).String("v", "y").WriteTo(file);
    plat::RegCloseKey(Open());
    EXPECT_EQ(plat::backend::RegistryParseCount(), parses + 1);
}

TEST_F(PlatRegistry, MissingFileIsAnEmptyRegistry) {
    plat::HKey key = nullptr;
    EXPECT_EQ(plat::RegOpenKeyExA(kKey, &key), plat::kErrorFileNotFound);
    RegFile().Key(kKey).String("v", "x").WriteTo(file);
    key = Open();
    EXPECT_EQ(QueryText(key, "v"), std::string("x\0", 2));
    plat::RegCloseKey(key);
    std::filesystem::remove(file);
    key = nullptr;
    EXPECT_EQ(plat::RegOpenKeyExA(kKey, &key), plat::kErrorFileNotFound);
}

TEST_F(PlatRegistry, MalformedFilesNeverCrashAndKeepGoodLines) {
    const std::string good = "[HKEY_LOCAL_MACHINE\\" + std::string(kKey) + "]\n\"v\"=dword:7\n";
    const std::vector<std::string> files = {
        std::string("\x7f"
                    "ELF\0\0\xff\xfe garbage",
                    15),
        "REGEDIT4\n" + good + "\"cut\"=hex:01,0",
        "REGEDIT4\n" + good + "\"quote\"=\"never ends\n\"x\"=hex(zz):00\n[broken\n" +
            std::string(100000, 'A') + "\n",
        "REGEDIT4\n" + good + "\"hex\"=hex:01,\\",
        good,
        std::string(1000, '\0'),
    };
    for (std::size_t i = 0; i < files.size(); ++i) {
        kx::test::WriteFile(file, files[i]);
        plat::HKey key = nullptr;
        const plat::Status status = plat::RegOpenKeyExA(kKey, &key);
        const bool hasHeader = files[i].starts_with("REGEDIT4");
        ASSERT_EQ(status, hasHeader ? plat::kErrorSuccess : plat::kErrorFileNotFound) << i;
        if (!key) continue;
        std::uint8_t data[4];
        plat::Dword size = sizeof data;
        EXPECT_EQ(plat::RegQueryValueExA(key, "v", nullptr, data, &size), plat::kErrorSuccess);
        EXPECT_EQ(data[0], 7);
        plat::RegCloseKey(key);
    }
}

TEST_F(PlatRegistry, BadHandlesAreRefused) {
    plat::Dword size = 0;
    EXPECT_EQ(plat::RegQueryValueExA(nullptr, "v", nullptr, nullptr, &size),
              plat::kErrorInvalidHandle);
    EXPECT_EQ(plat::RegCloseKey(nullptr), plat::kErrorInvalidHandle);
    EXPECT_EQ(plat::RegOpenKeyExA(kKey, nullptr), plat::kErrorInvalidParameter);
}

TEST_F(PlatRegistry, ConcurrentReadersAndWriterSeeWholeVersions) {
    RegFile().Key(kKey).String("a", "1").String("b", "1").WriteTo(file);
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] {
            while (!stop) {
                plat::HKey key = nullptr;
                if (plat::RegOpenKeyExA(kKey, &key) != plat::kErrorSuccess) {
                    ++torn;
                    continue;
                }
                char a[8] = {}, b[8] = {};
                plat::Dword sa = sizeof a, sb = sizeof b;
                plat::RegQueryValueExA(key, "a", nullptr, a, &sa);
                plat::RegQueryValueExA(key, "b", nullptr, b, &sb);
                if (std::strcmp(a, b) != 0) ++torn;
                plat::RegCloseKey(key);
            }
        });
    }
    for (int i = 0; i < 200; ++i) {
        const std::string v = std::to_string(i);
        RegFile().Key(kKey).String("a", v).String("b", v).WriteTo(file);
    }
    stop = true;
    for (auto& reader : readers) reader.join();
    EXPECT_EQ(torn, 0);
}

TEST_F(PlatRegistry, ChangedRegistryVariableIsFollowed) {
    RegFile().Key(kKey).String("v", "first").WriteTo(file);
    plat::RegCloseKey(Open());
    const std::filesystem::path other = dir / "other.reg";
    RegFile().Key(kKey).String("v", "second").WriteTo(other);
    ScopedEnv switched("VEL_REGISTRY", other.string());
    plat::HKey key = Open();
    EXPECT_EQ(QueryText(key, "v"), std::string("second\0", 7));
    plat::RegCloseKey(key);
}

TEST_F(PlatRegistry, RootKeyIsTheWholeMachineKey) {
    RegFile().Key("").String("top", "t").Key(kKey).String("v", "x").WriteTo(file);
    plat::HKey key = Open("");
    EXPECT_EQ(QueryText(key, "top"), std::string("t\0", 2));
    plat::RegCloseKey(key);
    key = Open(nullptr);
    EXPECT_EQ(QueryText(key, "top"), std::string("t\0", 2));
    plat::RegCloseKey(key);
}

TEST_F(PlatRegistry, DirectoryInPlaceOfTheFileIsAnEmptyRegistry) {
    std::filesystem::create_directory(file);
    plat::HKey key = nullptr;
    EXPECT_EQ(plat::RegOpenKeyExA(kKey, &key), plat::kErrorFileNotFound);
}

TEST_F(PlatRegistry, FifoInPlaceOfTheFileIsAnEmptyRegistryAndNothingWaitsOnIt) {
    ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
    plat::HKey key = nullptr;
    EXPECT_EQ(plat::RegOpenKeyExA(kKey, &key), plat::kErrorFileNotFound);
}

// One call's facts view: every key opened in it reads the version its first open found.

TEST_F(PlatRegistry, KeysOpenedInOneViewReadTheVersionItsFirstOpenFound) {
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

TEST_F(PlatRegistry, TheNextViewSeesTheReplacedFile) {
    WriteVersion("first");
    {
        const plat::FactsView view;
        EXPECT_EQ(ReadNow(), "first");
    }
    WriteVersion("second");
    const plat::FactsView view;
    EXPECT_EQ(ReadNow(), "second");
}

TEST_F(PlatRegistry, AnInnerViewEndingKeepsTheOuterViewsVersion) {
    WriteVersion("first");
    const plat::FactsView outer;
    {
        const plat::FactsView inner;
        EXPECT_EQ(ReadNow(), "first");
    }
    WriteVersion("second");
    EXPECT_EQ(ReadNow(), "first");
}

TEST_F(PlatRegistry, AnEndWithoutABeginChangesNothing) {
    WriteVersion("first");
    plat::EndFactsView();
    const plat::FactsView view;
    EXPECT_EQ(ReadNow(), "first");
    WriteVersion("second");
    EXPECT_EQ(ReadNow(), "first");
}

TEST_F(PlatRegistry, AViewFollowsTheRegistryFileItIsPointedAt) {
    WriteVersion("first");
    const std::filesystem::path other = dir / "other.reg";
    RegFile().Key(kKey).String("v", "other").WriteTo(other);
    const plat::FactsView view;
    EXPECT_EQ(ReadNow(), "first");
    const ScopedEnv elsewhere("VEL_REGISTRY", other.string());
    EXPECT_EQ(ReadNow(), "other");
}

TEST_F(PlatRegistry, ViewsOfTwoThreadsAreTheirOwn) {
    WriteVersion("first");
    const plat::FactsView view;
    EXPECT_EQ(ReadNow(), "first");
    WriteVersion("second");
    std::string seenByOther;
    std::thread([&] { seenByOther = ReadNow(); }).join();
    EXPECT_EQ(seenByOther, "second");
    EXPECT_EQ(ReadNow(), "first");
}

}  // namespace
