// facts_view_test.cpp: file stamps, and the facts view that stats each file once per call.
#include "platform/posix/facts_view.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/platform.h"
#include "support.h"

namespace {

using kx::plat::backend::FileStamp;
using kx::test::TempDir;
using kx::test::WriteFile;

class Stamps : public ::testing::Test {
  protected:
    TempDir dir;
    std::filesystem::path facts = dir / "facts";
};

TEST_F(Stamps, AFileIsStatedOncePerView) {
    WriteFile(facts, "one");
    {
        const kx::plat::FactsView view;
        const FileStamp first = FileStamp::Of(facts.c_str());
        ASSERT_TRUE(first.exists());
        WriteFile(facts, "a longer text");
        EXPECT_EQ(FileStamp::Of(facts.c_str()), first);
    }
    EXPECT_EQ(FileStamp::Of(facts.c_str()).size, 13);
}

TEST_F(Stamps, AFileMissingAtTheFirstLookStaysMissingForTheView) {
    const kx::plat::FactsView view;
    EXPECT_FALSE(FileStamp::Of(facts.c_str()).exists());
    WriteFile(facts, "now");
    EXPECT_FALSE(FileStamp::Of(facts.c_str()).exists());
}

TEST_F(Stamps, TellRewrittenAndReplacedFilesApart) {
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

}  // namespace
