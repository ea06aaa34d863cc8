// commands_test.cpp: the table of kxevent's verbs and the help texts made from it and from the
// verbs' option declarations.
#include "tools/kxevent/commands.h"

#include <gtest/gtest.h>

#include <set>

namespace kx::tool {
namespace {

TEST(Commands, EveryVerbIsFoundByItsNameAndNothingElseIs) {
    std::set<std::string_view> names;
    for (const Command& command : Commands()) {
        EXPECT_EQ(FindCommand(command.name), &command);
        EXPECT_TRUE(names.insert(command.name).second) << command.name << " is listed twice";
        EXPECT_EQ(command.help().rfind("usage: kxevent ", 0), 0u) << command.name;
    }
    EXPECT_EQ(names, (std::set<std::string_view>{"send", "query", "resend", "alert", "reg",
                                                 "events", "collect", "doctor"}));
    EXPECT_EQ(FindCommand("frobnicate"), nullptr);
    EXPECT_EQ(FindCommand("--help"), nullptr);
    EXPECT_EQ(FindCommand("Send"), nullptr);
}

// The main help and every verb's help are made from the tables: each verb listed in the table's
// order with its summary, and each option a verb declares spelled in its usage lines as it is
// typed.
// (That the manual page and the completion come from the same tables is tests/tools/docgen's.)
TEST(Commands, HelpTextsCarryEveryVerbAndEveryDeclaredOption) {
    const std::string main = MainHelp();
    EXPECT_EQ(main.rfind("usage: kxevent COMMAND [OPTIONS]\n", 0), 0u) << main;
    std::size_t at = 0;
    for (const Command& command : Commands()) {
        const std::size_t listed = main.find("  " + std::string(command.label), at);
        ASSERT_NE(listed, std::string::npos) << command.name << " (or out of order) in " << main;
        // "  LABEL" in a column of 12, then the summary.
        EXPECT_EQ(main.find(command.summary, listed), listed + 14) << command.name;
        at = listed + 1;
        if (command.options == nullptr) continue;
        const std::string help = command.help();
        const std::string usage = help.substr(0, help.find("\n\n"));
        for (const Option& option : command.options()) {
            EXPECT_NE(usage.find(Spelled(option)), std::string::npos)
                << command.name << ": " << Spelled(option) << " missing from\n"
                << usage;
        }
    }
}

}  // namespace
}  // namespace kx::tool
