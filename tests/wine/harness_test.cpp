// harness_test.cpp: the child processes the other tests start (the reg tool, the driver's child
// mode) report how they ended, so that a failed set-up is seen as such and not as a wrong
// result of the library.
#include "harness.h"

#include <string>

namespace kx::wine {
namespace {

struct ChildRow {
    const char* name;
    std::string commandLine;
    std::optional<DWORD> exitCode;
    std::string failureStart;  // the start of the failure text when there is no exit code
    std::string printed;       // a text the child's output holds
};

class ChildProcessTest : public testing::TestWithParam<ChildRow> {};

TEST_P(ChildProcessTest, TheOutcomeAndTheOutputAreReported) {
    const ChildRow& row = GetParam();
    const ScratchDir scratch;
    const std::string output = scratch / "output.txt";
    const ProcessResult result = RunProcess(row.commandLine, output);
    EXPECT_EQ(result.exitCode, row.exitCode) << result.Describe();
    EXPECT_EQ(result.failure.rfind(row.failureStart, 0), 0u) << result.failure;
    EXPECT_EQ(result.Succeeded(), row.exitCode == 0u);
    EXPECT_NE(ReadFileBytes(output).find(row.printed), std::string::npos) << ReadFileBytes(output);
}

INSTANTIATE_TEST_SUITE_P(
    Children, ChildProcessTest,
    testing::Values(ChildRow{"success", "cmd.exe /c echo captured", 0u, "", "captured"},
                    ChildRow{"exit_code", "cmd.exe /c echo failing& exit 7", 7u, "", "failing"},
                    ChildRow{"missing_registry_file", "reg.exe import Z:\\no\\such\\file.reg", 1u,
                             "", ""},
                    ChildRow{"not_started", "Z:\\no\\such\\program.exe", std::nullopt,
                             "could not be started: error ", ""}),
    [](const testing::TestParamInfo<ChildRow>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kx::wine
