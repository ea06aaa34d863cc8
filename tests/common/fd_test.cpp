// fd_test.cpp: the file operations of fd.h on real files, links and FIFOs.
#include "common/fd.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "support.h"

namespace kx {
namespace {

namespace fs = std::filesystem;

TEST(FileOperations, ReadRegularFileTakesOnlyARegularFileWithinItsLimit) {
    const test::TempDir dir;
    test::WriteFile(dir / "small", "12345");
    fs::create_symlink(dir / "small", dir / "link");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(ReadRegularFile(AT_FDCWD, (dir / "small").c_str(), 5).bytes, "12345");
    EXPECT_TRUE(ReadRegularFile(AT_FDCWD, (dir / "small").c_str(), 4).tooLarge);
    EXPECT_EQ(ReadRegularFile(AT_FDCWD, (dir / "link").c_str(), 5).error, ELOOP);
    EXPECT_EQ(ReadRegularFile(AT_FDCWD, (dir / "link").c_str(), 5, true).bytes, "12345");
    const FileContent fifo = ReadRegularFile(AT_FDCWD, (dir / "fifo").c_str(), 5);  // no wait
    EXPECT_TRUE(fifo.error == 0 && !fifo.regular);
}

TEST(FileOperations, ReplaceFileSwapsInTheWholeTextWithItsModeWhateverLeftItsTemporary) {
    const test::TempDir dir;
    const fs::path target = dir / "metrics";
    const fs::path temporary = dir / "metrics.tmp";
    test::WriteFile(target, "old");
    ASSERT_EQ(::mkfifo(temporary.c_str(), 0600), 0);  // left by someone: removed, not opened
    const mode_t mask = ::umask(077);
    const ReplaceResult replaced =
        ReplaceFile(AT_FDCWD, target.c_str(), temporary.c_str(), "new text\n", 0644);
    ::umask(mask);
    EXPECT_TRUE(replaced) << replaced.error;
    EXPECT_EQ(test::ReadFile(target), "new text\n");
    EXPECT_EQ(fs::status(target).permissions(), fs::perms(0644));
    EXPECT_FALSE(fs::exists(fs::symlink_status(temporary)));
    const ReplaceResult refused = ReplaceFile(AT_FDCWD, target.c_str(), temporary.c_str(), "x",
                                              0644, [](int) { return EPERM; });
    EXPECT_EQ(refused.failed, ReplaceStep::kPrepare);
    EXPECT_EQ(test::ReadFile(target), "new text\n");
    EXPECT_FALSE(fs::exists(temporary));
}

TEST(FileOperations, AFailedReplaceIsWordedByItsStepAndTheSystemsReason) {
    const test::TempDir dir;
    fs::create_directories(dir / "taken" / "inside");
    const struct {
        const char* target;  // in dir
        int refused;         // by the prepare step
        const char* words;
    } rows[] = {
        {"file", 0, ""},
        {"missing/file", 0, "creating a temporary file beside it: No such file or directory"},
        {"file", EPERM, "keeping its owner: Operation not permitted"},
        {"taken", 0, "replacing it: Is a directory"},
    };
    for (const auto& row : rows) {
        const std::string target = (dir / row.target).string();
        const ReplaceResult result =
            ReplaceFile(AT_FDCWD, target.c_str(), (target + ".tmp").c_str(), "text", 0644,
                        [&](int) { return row.refused; });
        EXPECT_EQ(ReplaceFailureText(result, "keeping its owner"), row.words) << row.target;
    }
}

TEST(FileOperations, MoveWithoutReplacingLeavesAnExistingTargetAlone) {
    const test::TempDir dir;
    test::WriteFile(dir / "a", "a");
    test::WriteFile(dir / "b", "b");
    EXPECT_EQ(MoveWithoutReplacing(AT_FDCWD, (dir / "a").c_str(), AT_FDCWD, (dir / "b").c_str()),
              -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(test::ReadFile(dir / "b"), "b");
    EXPECT_EQ(MoveWithoutReplacing(AT_FDCWD, (dir / "a").c_str(), AT_FDCWD, (dir / "c").c_str()),
              0);
    EXPECT_EQ(test::ReadFile(dir / "c"), "a");
}

}  // namespace
}  // namespace kx
