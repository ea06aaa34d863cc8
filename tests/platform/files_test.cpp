// files_test.cpp: file calls on real directories: attributes, renames that never replace,
// exclusive creates, whole writes, and environment variables.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/platform.h"
#include "support.h"

namespace {

namespace plat = kx::plat;
namespace fs = std::filesystem;
using kx::test::ReadFile;
using kx::test::ScopedEnv;
using kx::test::TempDir;
using kx::test::WriteFile;

std::string Backslashed(const fs::path& path) {
    std::string text = path.string();
    for (char& c : text) {
        if (c == '/') c = '\\';
    }
    return text;
}

plat::Dword LastError() {
    return plat::GetLastError();
}
plat::Dword Code(plat::Status status) {
    return static_cast<plat::Dword>(status);
}

TEST(PlatFindFile, DirectoriesAndFilesHaveTheirAttributes) {
    TempDir dir;
    WriteFile(dir / "file.txt", "x");
    plat::Dword attributes = 0;
    ASSERT_TRUE(plat::FindFirstFileAttributes(Backslashed(dir.path()).c_str(), &attributes));
    EXPECT_EQ(attributes, plat::kFileAttributeDirectory);
    ASSERT_TRUE(plat::FindFirstFileAttributes(Backslashed(dir / "file.txt").c_str(), &attributes));
    EXPECT_EQ(attributes, 0x80u);
}

TEST(PlatFindFile, AbsentEntryOrTrailingSeparatorFindsNothing) {
    TempDir dir;
    plat::Dword attributes = 0;
    EXPECT_FALSE(plat::FindFirstFileAttributes((dir / "absent").c_str(), &attributes));
    EXPECT_EQ(LastError(), Code(plat::kErrorFileNotFound));
    EXPECT_FALSE(
        plat::FindFirstFileAttributes((Backslashed(dir.path()) + "\\").c_str(), &attributes));
    EXPECT_FALSE(plat::FindFirstFileAttributes("", &attributes));
}

TEST(PlatFindFile, WildcardsMatchWithoutRegardToCase) {
    TempDir dir;
    WriteFile(dir / "Alert.ALR", "x");
    plat::Dword attributes = 0;
    EXPECT_TRUE(plat::FindFirstFileAttributes((dir / "*.alr").c_str(), &attributes));
    EXPECT_EQ(attributes, 0x80u);
    EXPECT_FALSE(plat::FindFirstFileAttributes((dir / "*.tmp").c_str(), &attributes));
}

TEST(PlatMoveFile, RenamesAndNeverReplaces) {
    TempDir dir;
    WriteFile(dir / "a.TMP", "new");
    WriteFile(dir / "a.ALR", "old");
    EXPECT_FALSE(
        plat::MoveFileA(Backslashed(dir / "a.TMP").c_str(), Backslashed(dir / "a.ALR").c_str()));
    EXPECT_EQ(LastError(), Code(plat::kErrorAlreadyExists));
    EXPECT_EQ(ReadFile(dir / "a.ALR"), "old");
    EXPECT_EQ(ReadFile(dir / "a.TMP"), "new");
    ASSERT_TRUE(
        plat::MoveFileA(Backslashed(dir / "a.TMP").c_str(), Backslashed(dir / "b.ALR").c_str()));
    EXPECT_EQ(ReadFile(dir / "b.ALR"), "new");
    EXPECT_FALSE(fs::exists(dir / "a.TMP"));
}

TEST(PlatMoveFile, MovesDirectoriesAndReportsMissingSources) {
    TempDir dir;
    fs::create_directory(dir / "d");
    ASSERT_TRUE(plat::MoveFileA((dir / "d").c_str(), (dir / "e").c_str()));
    EXPECT_TRUE(fs::is_directory(dir / "e"));
    EXPECT_FALSE(plat::MoveFileA((dir / "absent").c_str(), (dir / "f").c_str()));
    EXPECT_EQ(LastError(), Code(plat::kErrorFileNotFound));
}

TEST(PlatFileCreate, NeverTruncatesAnExistingFile) {
    TempDir dir;
    WriteFile(dir / "taken", "keep me");
    EXPECT_EQ(plat::FileCreate(Backslashed(dir / "taken").c_str()), plat::kInvalidFile);
    EXPECT_EQ(LastError(), Code(plat::kErrorFileExists));
    EXPECT_EQ(ReadFile(dir / "taken"), "keep me");
}

TEST(PlatFileCreate, WritesWholeAndClosesDurably) {
    TempDir dir;
    const std::intptr_t file = plat::FileCreate(Backslashed(dir / "out.TMP").c_str());
    ASSERT_NE(file, plat::kInvalidFile);
    const std::string content(200000, 'z');
    EXPECT_EQ(plat::FileWrite(file, content.data(), static_cast<plat::Dword>(content.size())),
              content.size());
    EXPECT_TRUE(plat::FileClose(file));
    EXPECT_EQ(ReadFile(dir / "out.TMP"), content);
}

TEST(PlatFileCreate, ModeFollowsTheUmask) {
    TempDir dir;
    const mode_t previous = ::umask(027);
    const std::intptr_t file = plat::FileCreate((dir / "m").c_str());
    ::umask(previous);
    ASSERT_NE(file, plat::kInvalidFile);
    plat::FileClose(file);
    struct stat info;
    ASSERT_EQ(::stat((dir / "m").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
}

TEST(PlatFileCreate, MissingDirectoryFails) {
    TempDir dir;
    EXPECT_EQ(plat::FileCreate((dir / "no" / "file").c_str()), plat::kInvalidFile);
    EXPECT_EQ(LastError(), Code(plat::kErrorFileNotFound));
}

TEST(PlatFileWrite, BadHandleWritesNothing) {
    EXPECT_EQ(plat::FileWrite(plat::kInvalidFile, "x", 1), 0u);
    EXPECT_FALSE(plat::FileClose(plat::kInvalidFile));
}

TEST(PlatFileWrite, FullDeviceGivesAShortCount) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    const std::intptr_t file = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(file, 0);
    EXPECT_EQ(plat::FileWrite(file, "abc", 3), 0u);
    EXPECT_EQ(LastError(), Code(plat::kErrorDiskFull));
    plat::FileClose(file);
}

TEST(PlatFileDelete, RemovesAndReportsAbsence) {
    TempDir dir;
    WriteFile(dir / "x", "1");
    EXPECT_TRUE(plat::FileDelete(Backslashed(dir / "x").c_str()));
    EXPECT_FALSE(fs::exists(dir / "x"));
    EXPECT_FALSE(plat::FileDelete((dir / "x").c_str()));
    EXPECT_EQ(LastError(), Code(plat::kErrorFileNotFound));
}

TEST(PlatEnvironment, ValueFitsOrSizeNeededIsReturned) {
    ScopedEnv env("KX_TEST_VALUE", "abcdef");
    char buffer[16];
    EXPECT_EQ(plat::GetEnvironmentVariableA("KX_TEST_VALUE", buffer, sizeof buffer), 6u);
    EXPECT_STREQ(buffer, "abcdef");
    char small[6] = "xxxxx";
    EXPECT_EQ(plat::GetEnvironmentVariableA("KX_TEST_VALUE", small, sizeof small), 7u);
    EXPECT_STREQ(small, "xxxxx");
    EXPECT_EQ(plat::GetEnvironmentVariableA("KX_TEST_VALUE", nullptr, 0), 7u);
}

TEST(PlatEnvironment, UnsetVariableGivesZero) {
    ScopedEnv env("KX_TEST_VALUE", std::nullopt);
    char buffer[16];
    EXPECT_EQ(plat::GetEnvironmentVariableA("KX_TEST_VALUE", buffer, sizeof buffer), 0u);
}

}  // namespace
