// load_refusal_test.cpp: the notes a refused attach leaves for its host, and the trust check's
// reason for a path, as the platform hands them out.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <string>

#include "platform/platform.h"
#include "support.h"

namespace kx::plat {
namespace {

std::string Refusal(Dword size = 256) {
    std::string buffer(size, 'x');
    const Dword length = LoadRefusal(buffer.data(), size);
    EXPECT_EQ(buffer[length], '\0');
    return buffer.substr(0, length);
}

TEST(LoadRefusal, NotesAreJoinedInOrderUntilCleared) {
    ClearLoadRefusal();
    EXPECT_EQ(Refusal(), "");
    NoteLoadRefusal("first cause");
    NoteLoadRefusal(nullptr);
    NoteLoadRefusal("");
    NoteLoadRefusal("second cause");
    EXPECT_EQ(Refusal(), "first cause; second cause");
    ClearLoadRefusal();
    EXPECT_EQ(Refusal(), "");
}

TEST(LoadRefusal, ACopyIsCutToTheBufferAndTerminated) {
    ClearLoadRefusal();
    NoteLoadRefusal("binder code 9: KXKRNL.DLL could not be bound");
    EXPECT_EQ(Refusal(7), "binder");
    EXPECT_EQ(LoadRefusal(nullptr, 10), 0u);
    ClearLoadRefusal();
}

TEST(LoadRefusal, EndlessNotesStayBounded) {
    ClearLoadRefusal();
    const std::string note(1000, 'n');
    for (int i = 0; i < 100; ++i) NoteLoadRefusal(note.c_str());
    EXPECT_LE(Refusal(1 << 16).size(), 4096u);
    ClearLoadRefusal();
}

TEST(LoadRefusal, ANoteAfterARecordOneShortOfFullStaysWithinTheBound) {
    ClearLoadRefusal();
    NoteLoadRefusal(std::string(kMaxLoadRefusal - 1, 'n').c_str());
    NoteLoadRefusal("one note more");
    EXPECT_EQ(Refusal(1 << 16), std::string(kMaxLoadRefusal - 1, 'n') + ";");
    ClearLoadRefusal();
}

TEST(UntrustedReason, NamesThePartAtFaultAndIsEmptyForATrustedPath) {
    const test::TempDir dir;
    const std::string shared = (dir / "shared").string();
    ASSERT_EQ(::mkdir(shared.c_str(), 0755), 0);
    std::array<char, 512> reason{};
    EXPECT_EQ(UntrustedReason(shared.c_str(), reason.data(), reason.size()), 0u);
    EXPECT_STREQ(reason.data(), "");
    ASSERT_EQ(::chmod(shared.c_str(), 0777), 0);
    const Dword length = UntrustedReason(shared.c_str(), reason.data(), reason.size());
    EXPECT_EQ(std::string(reason.data(), length),
              shared + " can be changed by users other than its owner and root");
    std::array<char, 4> small{};
    EXPECT_EQ(UntrustedReason(shared.c_str(), small.data(), small.size()), 3u);
    EXPECT_STREQ(small.data(), shared.substr(0, 3).c_str());
}

}  // namespace
}  // namespace kx::plat
