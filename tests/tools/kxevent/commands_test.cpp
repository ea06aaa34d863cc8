// commands_test.cpp: the table of kxevent's verbs and the help texts made from it and from the
// verbs' option declarations. The texts are what users and scripts read: they must not drift
// when a verb or an option is added elsewhere in a table.
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

TEST(Commands, MainHelpListsTheTableInItsOrder) {
    EXPECT_EQ(MainHelp(),
              "usage: kxevent COMMAND [OPTIONS]\n"
              "\n"
              "  send        send an event through KXEvent.DLL and show the alert file it wrote\n"
              "  query       print an event's long description from the catalogue\n"
              "  resend      send the last populated event again (chain after send with --then)\n"
              "  alert       list the waiting central alerts, or show them as a table or JSON\n"
              "  reg         import, export, query, set or delete registry values\n"
              "  events      list the catalogue's events: number, severity, short description\n"
              "  collect     send central alert files to a RELP receiver, removing each once "
              "acknowledged\n"
              "  doctor      check the installation as KXEvent.DLL sees it and say what to fix\n"
              "\n"
              "  --help      this text; COMMAND --help for a command's options\n"
              "  --version   the version of kxevent\n"
              "\n"
              "Environment: VEL_REGISTRY (registry file), KXEVENT_LIBRARY_DIR (directory of\n"
              "KXEvent.DLL), XDG_STATE_HOME (where the built-in default registry is installed).\n"
              "Exit status: 0 success, 1 send or runtime failure, 2 usage error.\n");
}

TEST(Commands, SendQueryAndResendShareOneHelpMadeFromTheirOptions) {
    EXPECT_EQ(
        SendHelp(),
        "usage: kxevent send   --product N --event N [--virus NAME] [--file PATH] [--user NAME]\n"
        "                      [--task NAME] [--suppress] [--field NAME=VALUE ...] [--verbose]\n"
        "       kxevent query  --product N --event N [--field NAME=VALUE ...]\n"
        "       kxevent resend --product N --event N [--task NAME] [--suppress]\n"
        "       any of them followed by --then and another one, run in the same process\n"
        "\n"
        "send     fills the event records from the options, sends them through KXEvent.DLL and\n"
        "         prints the result, the expanded description and the alert file written.\n"
        "query    prints the event's long description as the catalogue holds it (unexpanded).\n"
        "resend   sends the records of the last populated event again under a new event number\n"
        "         (the library's snapshot): chain it after a send or query with --then.\n"
        "\n"
        "  --product N        product number (decimal or 0x hexadecimal)\n"
        "  --event N          event number\n"
        "  --virus NAME       szVirusName          --file PATH   szFileName\n"
        "  --user NAME        szUserName           --task NAME   szTaskName\n"
        "  --suppress         raise no central alert unless the event says \"Always Alert\"\n"
        "  --field NAME=VALUE any record field by name, e.g. szTargetIP=10.0.0.5, uNumVirs=3\n"
        "  --verbose          (-v) print every event-log entry the step produced\n"
        "\n"
        "Exit status: 0 when every send returned EVENT_OK, 1 on a send or runtime failure,\n"
        "2 on a usage error.\n");
}

TEST(Commands, AlertHelpShowsEachOptionInTheUsageLineOfItsSubcommand) {
    EXPECT_EQ(
        AlertHelp(),
        "usage: kxevent alert list [--json] [DIR]\n"
        "       kxevent alert show [--json] [--follow] [FILE|DIR]\n"
        "\n"
        "list prints one line per alert waiting in DIR, lowest number first: its number, time\n"
        "(UTC), event, severity, virus and item; with --json one JSON object per line.\n"
        "show prints a central alert file, or every *.ALR file of a directory, as a table of keys\n"
        "and values or, with --json, as JSON (one object per file; an array for a directory).\n"
        "With --follow it prints the alerts of the directory and then each new one as it arrives\n"
        "(with --json one object per line) until interrupted.\n"
        "Without FILE or DIR both take the alerting directory of the registry in use. A malformed\n"
        "file is refused with the number of the line that is wrong.\n");
}

TEST(Commands, RegHelpShowsEachOptionWhereItBelongs) {
    EXPECT_EQ(
        RegHelp(),
        "usage: kxevent reg [--file REGFILE] import FILE\n"
        "       kxevent reg [--file REGFILE] export [KEY] [--output FILE]\n"
        "       kxevent reg [--file REGFILE] query KEY [NAME]\n"
        "       kxevent reg [--file REGFILE] set KEY NAME VALUE [--type "
        "sz|expand_sz|dword|binary]\n"
        "       kxevent reg [--file REGFILE] delete KEY [NAME]\n"
        "\n"
        "Reads and changes the registry file that KXEvent.DLL reads (HKEY_LOCAL_MACHINE): --file,\n"
        "else VEL_REGISTRY, else for root /etc/velmora/hklm.reg when it exists, else the per-user\n"
        "default.\n"
        "KEY is a path below HKEY_LOCAL_MACHINE (the prefix HKEY_LOCAL_MACHINE\\ or HKLM\\ may be\n"
        "given; another root is refused); NAME \"@\" or \"\" is the unnamed value. query lists a\n"
        "key's values and then its subkeys. query and export only read: they install nothing and\n"
        "show the built-in default while the per-user default is not installed.\n"
        "import merges the keys and values of FILE (REGEDIT4 format) and carries out its "
        "deletions,\n"
        "[-KEY] (the key and every key below it) and \"NAME\"=- (one value), saying what each\n"
        "removed; a malformed FILE is refused and nothing changes. Changes are written to a\n"
        "temporary file that then replaces the registry file, so it is never left half-written;\n"
        "the file keeps its owner, group and mode, and a symbolic link is written through.\n"
        "binary values are given as hex bytes, \"01,02,ff\" or \"0102ff\".\n"
        "query, and export to a terminal, show control and bidirectional formatting characters of\n"
        "keys, names and values as escapes (\\x1b, \\n, \\u202e); export to a file (--output) or\n"
        "to a pipe writes the registry file's bytes unchanged.\n");
}

TEST(Commands, EventsHelpShowsItsOption) {
    const std::string help = EventsHelp();
    EXPECT_EQ(help.rfind("usage: kxevent events [--language LLSS] [--json]\n\n"
                         "  --language LLSS    the catalogue's language (\"0901\"), not the "
                         "library's\n"
                         "  --json             one JSON object per event and line\n",
                         0),
              0u)
        << help;
}

}  // namespace
}  // namespace kx::tool
