// manual_test.cpp: the manual pages and the completion table made from the verb table. What the
// pages say about options must be what the command takes, and roff must get text, not requests.
#include "tools/docgen/manual.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "tools/admin/errors.h"

namespace kx::tool {
namespace {

std::set<std::string> OptionsSpelledIn(const std::string& text) {
    std::set<std::string> found;
    const std::regex option("(^|[ \\[(|])(--[a-z][a-z-]*)");
    for (std::sregex_iterator it(text.begin(), text.end(), option), end; it != end; ++it) {
        found.insert((*it)[2]);
    }
    return found;
}

TEST(ManualEscape, BackslashesBecomeEscapesAndOptionMinusesMinusSigns) {
    EXPECT_EQ(manual::Escape("Brisa\\Alerting"), "Brisa\\eAlerting");
    EXPECT_EQ(manual::Escape("--file F, [-o FILE]"), "\\-\\-file F, [\\-o FILE]");
    EXPECT_EQ(manual::Escape("per-user 0-4"), "per-user 0-4");
}

TEST(ManualEscape, ALeadingControlCharacterIsNoRequest) {
    EXPECT_EQ(manual::Escape(".ALR files"), "\\&.ALR files");
    EXPECT_EQ(manual::Escape("'quoted'"), "\\&'quoted'");
}

TEST(ManualPage, RendersHeadingsParagraphsTagsBulletsAndLiterals) {
    const std::string page = manual::RenderPage(
        "# NAME\nx - y\n\nsecond `bold` para\n## Sub\n: `--a` B\ntext\n- item\n\n"
        "    lit \\ line\n\n    more\nafter\n    follows text\n",
        "kxevent.reg", "5", "1.2.3", Commands());
    EXPECT_EQ(page,
              ".TH \"KXEVENT.REG\" \"5\" \"\" \"kxevent 1.2.3\" \"File Formats\"\n"
              ".nh\n.ad l\n"
              ".SH NAME\nx \\- y\n.PP\nsecond \\fBbold\\fR para\n.SS Sub\n"
              ".TP\n\\fB\\-\\-a\\fR B\ntext\n.IP \\(bu 2\nitem\n"
              ".RS 4\n.nf\nlit \\e line\n.sp\nmore\n.fi\n.RE\n.PP\nafter\n"
              ".PP\n.RS 4\n.nf\nfollows text\n.fi\n.RE\n");
}

TEST(ManualPage, RefusesWhatTheFormatDoesNotKnow) {
    EXPECT_THROW(manual::RenderPage("# A\n  two spaces\n", "x", "1", "1", Commands()),
                 RuntimeError);
    EXPECT_THROW(manual::RenderPage("# A\n@OPTIONS nosuchverb@\n", "x", "1", "1", Commands()),
                 RuntimeError);
    EXPECT_THROW(manual::RenderPage("# A\n", "x", "3", "1", Commands()), RuntimeError);
}

TEST(ManualPage, OptionsOfOneVerbAreTaggedParagraphs) {
    const std::string page = manual::RenderPage("# OPTIONS\n@OPTIONS collect@\n", "kxevent-collect",
                                                "8", "1", Commands());
    EXPECT_NE(page.find(".TP\n\\fB\\-\\-to\\fR \\fIURL\\fR\nthe receiver"), std::string::npos)
        << page;
    EXPECT_EQ(page.find("\\-\\-product"), std::string::npos);
}

TEST(ManualPage, UsageOfOneVerbIsItsHelpsUsageLinesAligned) {
    const std::string page =
        manual::RenderPage("# SYNOPSIS\n@USAGE reg@\n", "kxevent", "1", "1", Commands());
    EXPECT_NE(page.find(".nf\nkxevent reg [\\-\\-file REGFILE] import FILE\n"
                        "kxevent reg [\\-\\-file REGFILE] export [KEY]"),
              std::string::npos)
        << page;
    EXPECT_EQ(page.find("usage:"), std::string::npos);
    EXPECT_EQ(page.find("REGFILE] delete KEY [NAME]\n.fi\n"),
              page.rfind("REGFILE] delete KEY [NAME]\n"))
        << "nothing after the usage lines";
    EXPECT_THROW(manual::RenderPage("@USAGE nosuchverb@\n", "x", "1", "1", Commands()),
                 RuntimeError);
}

TEST(ManualCommands, EveryHelpTextOnceWithEachOptionTaggedInsteadOfItsList) {
    const std::string section = manual::CommandsSection(Commands());
    EXPECT_NE(section.find(".SS send, query, resend\n"), std::string::npos) << section;
    EXPECT_NE(section.find(".SS doctor\n"), std::string::npos);
    // Only in reg's usage lines, yet the page gives it a paragraph of its own.
    EXPECT_NE(section.find(".TP\n\\fB\\-\\-output\\fR, \\fB\\-o\\fR \\fIFILE\\fR\n"),
              std::string::npos);
    // The help's own option list is replaced, not repeated.
    EXPECT_EQ(section.find("product number (decimal or 0x hexadecimal)"),
              section.rfind("product number (decimal or 0x hexadecimal)"));
    EXPECT_EQ(section.find("usage: kxevent send"), section.rfind("usage: kxevent send"));
}

// A verb added to the table without its option table would be missing from the manual and the
// completion: whatever a help text spells as an option must be declared by one of its verbs.
TEST(ManualCommands, EveryOptionAHelpTextSpellsIsDeclared) {
    for (const Command& command : Commands()) {
        std::set<std::string> declared{"--help", "--then"};
        for (const Command& sharing : Commands()) {
            if (sharing.help != command.help || sharing.options == nullptr) continue;
            for (const Option& option : sharing.options()) declared.emplace(option.name);
        }
        for (const std::string& spelled : OptionsSpelledIn(command.help())) {
            EXPECT_TRUE(declared.count(spelled)) << command.name << ": " << spelled;
        }
    }
}

TEST(ManualCompletion, TableReplacesTheMarkerWithEveryVerbAndOption) {
    const std::string script = manual::RenderCompletion("before\n# @TABLE@\nafter\n", Commands());
    EXPECT_EQ(script.rfind("before\n", 0), 0u);
    EXPECT_TRUE(script.ends_with(")\nafter\n")) << script;
    std::string verbs;
    for (const Command& command : Commands())
        verbs += std::string(verbs.empty() ? "" : " ") + std::string(command.name);
    EXPECT_NE(script.find("declare -g _kxevent_verbs='" + verbs), std::string::npos) << script;
    EXPECT_NE(script.find("[events]='--language"), std::string::npos) << script;
    EXPECT_NE(script.find("[reg]='import export query set delete'"), std::string::npos);
    EXPECT_NE(script.find("['reg -o']='FILE'"), std::string::npos);
    EXPECT_NE(script.find("['reg --type']='sz|expand_sz|dword|binary'"), std::string::npos);
    EXPECT_NE(script.find("[doctor]='--json --help'"), std::string::npos);
    EXPECT_NE(script.find("[alert]='list show'"), std::string::npos);
    EXPECT_EQ(script.find("['send --suppress']"), std::string::npos) << "a flag takes no value";
}

TEST(ManualCompletion, AScriptWithoutTheMarkerIsRefused) {
    EXPECT_THROW(manual::RenderCompletion("no table here\n", Commands()), RuntimeError);
}

}  // namespace
}  // namespace kx::tool
