// replace_test.cpp: fd.h's atomic replace on Windows: the new text swapped in over an existing
// file or none, a temporary left by a process that died removed first, and a failure worded by
// its step with nothing left behind.
#include <gtest/gtest.h>

#include "common/fd.h"
#include "harness.h"

namespace kx::wine {
namespace {

TEST(AtomicReplace, TheNewTextReplacesTheFileOrTheFailureIsWordedAndNothingIsLeft) {
    const ScratchDir scratch;
    MakeDirectories(scratch / "taken");
    WriteFileBytes(scratch / "old.reg", "old");
    WriteFileBytes(scratch / "stale.reg.tmp", "left by a process that died");
    const struct {
        const char* target;   // in the scratch directory
        const char* failure;  // the start of ReplaceFailureText; empty: replaced
    } rows[] = {
        {"new.reg", ""},
        {"old.reg", ""},
        {"stale.reg", ""},
        {"missing\\file.reg", "creating a temporary file beside it: "},
        {"taken", "replacing it: "},
    };
    for (const auto& row : rows) {
        const std::string target = scratch / row.target;
        const std::string temporary = target + ".tmp";
        const ReplaceResult result = ReplaceFile(target.c_str(), temporary.c_str(), "new\r\n");
        const std::string words = ReplaceFailureText(result);
        EXPECT_EQ(words.rfind(row.failure, 0), 0u) << row.target << ": " << words;
        EXPECT_EQ(static_cast<bool>(result), *row.failure == '\0') << row.target;
        if (result) {
            EXPECT_EQ(ReadFileBytes(target), "new\r\n") << row.target;
        }
        EXPECT_FALSE(FileExists(temporary)) << row.target;
    }
}

}  // namespace
}  // namespace kx::wine
