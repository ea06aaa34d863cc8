// send_options_test.cpp: turning send, query and resend options into records.
#include <gtest/gtest.h>

#include <string>
#include <vector>

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

}  // namespace
}  // namespace kx::tool
