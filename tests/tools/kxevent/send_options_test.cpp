// send_options_test.cpp: turning send, query and resend options into records.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/registry.h"
#include "support.h"
#include "tools/admin/errors.h"
#include "tools/kxevent/send_command.h"

namespace kx::tool {
namespace {

std::vector<SendStep> Parse(std::vector<std::string> args) {
    return ParseSteps(args);
}

TEST(SendOptions, FieldsAreWrittenIntoTheirRecords) {
    const auto steps = Parse({"send", "--product", "2", "--event", "1000", "--virus", "W",
                              "--field", "szTargetIP=10.0.0.5", "--field", "uNumVirs=0x10"});
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_EQ(steps[0].product, 2u);
    EXPECT_EQ(steps[0].event, 1000);
    MessageRecord message{};
    DetailRecord detail{};
    FillRecords(steps[0], message, detail);
    EXPECT_STREQ(detail.szVirusName, "W");
    EXPECT_STREQ(message.szTargetIP, "10.0.0.5");
    EXPECT_EQ(detail.uNumVirs, 16u);
}

TEST(SendOptions, TextOfExactlyTheFieldCapacityFitsAndOneMoreDoesNot) {
    MessageRecord message{};
    DetailRecord detail{};
    FillRecords(
        Parse({"send", "--product", "1", "--event", "1", "--task", std::string(15, 't')})[0],
        message, detail);
    EXPECT_EQ(std::string(detail.szTaskName), std::string(15, 't'));
    const auto tooLong =
        Parse({"send", "--product", "1", "--event", "1", "--task", std::string(16, 't')});
    EXPECT_THROW(FillRecords(tooLong[0], message, detail), UsageError);
}

TEST(SendOptions, StepsChainWithThen) {
    const auto steps =
        Parse({"send", "--product", "1", "--event", "5", "--then", "resend", "--product", "1",
               "--event", "6", "--task", "T", "--then", "query", "--product", "1", "--event", "7"});
    ASSERT_EQ(steps.size(), 3u);
    EXPECT_EQ(steps[1].kind, StepKind::Resend);
    EXPECT_EQ(*steps[1].task, "T");
    EXPECT_EQ(steps[2].kind, StepKind::Query);
}

TEST(SendOptions, BadCommandLinesAreUsageErrors) {
    const std::vector<std::vector<std::string>> bad = {
        {"send", "--event", "1"},
        {"send", "--product", "1", "--event"},
        {"send", "--product", "1", "--event", "1", "--then"},
        {"send", "--product", "1", "--event", "1", "--then", "alert"},
        {"send", "--product", "4294967296", "--event", "1"},
        {"send", "--product", "1", "--event", "2147483648"},
        {"send", "--product", "1", "--event", "1", "--field", "noequals"},
        {"send", "--product", "1", "--event", "1", "--field", "dwReserved0=1"},
        {"resend", "--product", "1", "--event", "1", "--virus", "x"},
        {"resend", "--product", "1", "--event", "1", "--task", std::string(16, 'x')},
        {"query", "--product", "1", "--event", "1", "--suppress"},
    };
    for (const auto& args : bad) {
        EXPECT_THROW(Parse(args), UsageError) << args.back();
    }
}

TEST(SendOptions, NumberFieldsRejectTextAtFillTime) {
    const auto steps =
        Parse({"send", "--product", "1", "--event", "1", "--field", "uNumVirs=three"});
    MessageRecord message{};
    DetailRecord detail{};
    EXPECT_THROW(FillRecords(steps[0], message, detail), UsageError);
}

TEST(SendOptions, NegativeEventNumbersAreAccepted) {
    EXPECT_EQ(ParseSigned("-2147483648", "e"), INT32_MIN);
    EXPECT_EQ(ParseSigned("-1", "e"), -1);
}

// The command watches the directory the library will write to, so it reads the alerting path
// exactly as the library does: a value that fills the library's 256-byte buffer keeps 255
// characters, a longer one counts as missing.
TEST(SendOptions, AlertDirectoryIsReadAsTheLibraryReadsIt) {
    const test::TempDir dir;
    const auto settingsFor = [&](const std::string& path) {
        test::RegFile()
            .Key(kAlertingKey)
            .Dword("bEnableCAlert", 1)
            .Hex("Centralized Alerting Path", {path.begin(), path.end()}, 1)
            .WriteTo(dir / "hklm.reg");
        return ReadAlertSettings(dir / "hklm.reg");
    };
    const std::string full = "/" + std::string(255, 'd');
    const AlertSettings filled = settingsFor(full);
    EXPECT_TRUE(filled.enabled);
    ASSERT_TRUE(filled.directory.has_value());
    EXPECT_EQ(filled.directory->string(), full.substr(0, 255));
    EXPECT_FALSE(settingsFor(full + "d").directory.has_value());
    EXPECT_EQ(settingsFor(std::string("/alerts\\new\0rest", 16)).directory->string(),
              "/alerts/new");
}

}  // namespace
}  // namespace kx::tool
