// options_test.cpp: the option parser the kxevent verbs share, and the help it writes.
#include "tools/kxevent/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/admin/errors.h"

namespace kx::tool {
namespace {

enum Id { kCount, kQuiet, kOutput };

const Option kOptions[] = {
    {kCount, "--count", "N", "how many"},
    {kQuiet, "--quiet", "", "say nothing"},
    {kOutput, "--output", "FILE", "where to", OptionLayout::kLine, "-o"},
};

struct Parsed {
    std::vector<std::string> seen;  // "id=value" in order
    std::vector<std::string> operands;
    std::size_t stoppedAt = 0;
};

Parsed Parse(std::vector<std::string> args, const OptionRules& rules) {
    Parsed parsed;
    ParseOptions(
        args, parsed.stoppedAt, kOptions, rules,
        [&](const Option& option, const std::string& value) {
            parsed.seen.push_back(std::to_string(option.id) + "=" + value);
        },
        [&](const std::string& operand) { parsed.operands.push_back(operand); });
    return parsed;
}

std::string UsageErrorOf(std::vector<std::string> args, const OptionRules& rules) {
    try {
        Parse(std::move(args), rules);
    } catch (const UsageError& error) {
        return error.what();
    }
    return "(no error)";
}

TEST(Options, ValuesFlagsAliasesAndOperandsGoToTheirHandlers) {
    const Parsed parsed =
        Parse({"a", "--count", "3", "--quiet", "-o", "x.txt", "b", "--count", "--quiet"},
              {.verb = "test"});
    EXPECT_EQ(parsed.seen, (std::vector<std::string>{"0=3", "1=", "2=x.txt", "0=--quiet"}));
    EXPECT_EQ(parsed.operands, (std::vector<std::string>{"a", "b"}));
}

TEST(Options, AMissingValueNamesTheOptionAsTyped) {
    EXPECT_EQ(UsageErrorOf({"-o"}, {.verb = "test"}), "-o needs a value");
    EXPECT_EQ(UsageErrorOf({"--quiet", "--count"}, {.verb = "test"}), "--count needs a value");
}

TEST(Options, UndeclaredOptionsAreRefusedNamingTheVerb) {
    EXPECT_EQ(UsageErrorOf({"--counts", "1"}, {.verb = "alert show"}),
              "unknown option '--counts' for alert show");
    EXPECT_EQ(UsageErrorOf({"--"}, {.verb = "x"}), "unknown option '--' for x");
    // A lone "-" is an operand (standard input, by convention), not an option.
    EXPECT_EQ(Parse({"-"}, {.verb = "x"}).operands, std::vector<std::string>{"-"});
}

TEST(Options, VerbsWithoutOperandsRefuseEveryOtherArgument) {
    EXPECT_EQ(UsageErrorOf({"--quiet", "stray"}, {.verb = "send", .operands = false}),
              "unknown option 'stray' for send");
}

TEST(Options, AFirstDoubleDashEndsTheOptionsWhenTheVerbSaysSo) {
    const Parsed parsed =
        Parse({"--quiet", "--", "--count", "--", "-x"}, {.verb = "reg", .doubleDashEnds = true});
    EXPECT_EQ(parsed.seen, std::vector<std::string>{"1="});
    EXPECT_EQ(parsed.operands, (std::vector<std::string>{"--count", "--", "-x"}));
}

TEST(Options, ParsingStopsAtTheStopWordUnlessItIsAValue) {
    const Parsed parsed = Parse({"--count", "--then", "--quiet", "--then", "--count", "9"},
                                {.verb = "send", .stopAt = "--then"});
    EXPECT_EQ(parsed.seen, (std::vector<std::string>{"0=--then", "1="}));
    EXPECT_EQ(parsed.stoppedAt, 3u);
}

TEST(Options, SynopsisShowsTheValuePlaceholderOnlyForOptionsThatTakeOne) {
    EXPECT_EQ(Synopsis(kOptions[0]), "[--count N]");
    EXPECT_EQ(Synopsis(kOptions[1]), "[--quiet]");
    EXPECT_EQ(Synopsis(kOptions[2], true), "[--output FILE ...]");
    EXPECT_EQ(Spelled(kOptions[0]), "--count N");
}

TEST(Options, TheOptionListAlignsHelpAndPairsShortOptions) {
    const Option options[] = {
        {0, "--product", "N", "product number"},
        {1, "--virus", "NAME", "szVirusName", OptionLayout::kPaired},
        {2, "--file", "PATH", "szFileName", OptionLayout::kPaired},
        {3, "--hidden", "", "not listed", OptionLayout::kUnlisted},
        {4, "--user", "NAME", "szUserName", OptionLayout::kPaired},
        {5, "--a-very-long-option", "VALUE", "still separated"},
    };
    EXPECT_EQ(FormatOptionList(options),
              "  --product N        product number\n"
              "  --virus NAME       szVirusName          --file PATH   szFileName\n"
              "  --user NAME        szUserName\n"
              "  --a-very-long-option VALUE still separated\n");
}

}  // namespace
}  // namespace kx::tool
