// manual.cpp: rendering the compact page sources and the verb table as roff, and the verb table
// as the completion's bash declarations.
#include "tools/docgen/manual.h"

#include <algorithm>
#include <vector>

#include "tools/admin/errors.h"

namespace kx::tool::manual {

namespace {

constexpr std::string_view kCommandsMarker = "@COMMANDS@";
constexpr std::string_view kOptionsMarker = "@OPTIONS ";
constexpr std::string_view kUsageMarker = "@USAGE ";
constexpr std::string_view kUsagePrefix = "usage: ";
constexpr std::string_view kTableMarker = "# @TABLE@";
constexpr std::string_view kLiteralIndent = "    ";

// A minus after one of these (or at the start) begins an option or stands alone: a minus sign.
bool BeginsMinus(char previous) {
    return std::string_view(" \t[(|/=,'\"-").find(previous) != std::string_view::npos;
}

std::vector<std::string_view> Lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        lines.push_back(text.substr(0, end));
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

// Escaped text with `code` spans in bold.
std::string Inline(std::string_view text) {
    std::string out;
    bool bold = false;
    std::size_t start = 0;
    for (std::size_t tick = text.find('`'); tick != std::string_view::npos;
         tick = text.find('`', start)) {
        out += Escape(text.substr(start, tick - start));
        out += bold ? "\\fR" : "\\fB";
        bold = !bold;
        start = tick + 1;
    }
    out += Escape(text.substr(start));
    if (bold) out += "\\fR";
    // Escape() guards only the start of what it is given; a span may have moved a '.' there.
    if (!out.empty() && (out.front() == '.' || out.front() == '\'')) out.insert(0, "\\&");
    return out;
}

std::string Upper(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; });
    return out;
}

std::string_view ManualName(std::string_view section) {
    if (section == "1") return "User Commands";
    if (section == "5") return "File Formats";
    if (section == "8") return "System Administration";
    throw RuntimeError("no manual section " + std::string(section));
}

// A literal block: no filling, blank lines kept as vertical space.
std::string Literal(const std::vector<std::string_view>& lines) {
    std::string out = ".RS 4\n.nf\n";
    for (std::string_view line : lines) out += line.empty() ? ".sp\n" : Escape(line) + "\n";
    return out + ".fi\n.RE\n";
}

// An option as a tagged paragraph: its spellings and value placeholder, then its help.
std::string TaggedOption(const Option& option) {
    std::string tag = "\\fB" + Escape(option.name) + "\\fR";
    if (!option.alias.empty()) tag += ", \\fB" + Escape(option.alias) + "\\fR";
    if (!option.value.empty()) tag += " \\fI" + Escape(option.value) + "\\fR";
    return ".TP\n" + tag + "\n" + Escape(option.help) + "\n";
}

// Every option of `commands`, each once, in the order the first verb declaring it gives.
std::vector<Option> OptionsOf(std::span<const Command* const> commands) {
    std::vector<Option> all;
    for (const Command* command : commands) {
        if (command->options == nullptr) continue;
        for (const Option& option : command->options()) {
            const bool known = std::any_of(all.begin(), all.end(), [&](const Option& seen) {
                return seen.name == option.name;
            });
            if (!known) all.push_back(option);
        }
    }
    return all;
}

std::string SubsectionTitle(std::span<const Command* const> commands) {
    std::string title;
    for (const Command* command : commands) {
        title += (title.empty() ? "" : ", ") + std::string(command->label);
    }
    return title;
}

// The verb a marker line "@MARKER verb@" names; throws, naming the source line, for none.
const Command& Verb(std::span<const Command> commands, std::string_view line,
                    std::string_view marker, std::size_t number) {
    const std::string_view verb = line.substr(marker.size(), line.size() - marker.size() - 1);
    const auto found = std::find_if(commands.begin(), commands.end(),
                                    [&](const Command& command) { return command.name == verb; });
    if (found == commands.end()) {
        throw RuntimeError("line " + std::to_string(number) + ": no verb " + std::string(verb));
    }
    return *found;
}

std::string ShellQuoted(std::string_view text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string Joined(const std::vector<std::string>& words) {
    std::string out;
    for (const std::string& word : words) out += (out.empty() ? "" : " ") + word;
    return out;
}

}  // namespace

std::string Escape(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 8);
    if (!text.empty() && (text.front() == '.' || text.front() == '\'')) out += "\\&";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\') {
            out += "\\e";
        } else if (c == '-' && (i == 0 || BeginsMinus(text[i - 1]))) {
            out += "\\-";
        } else {
            out += c;
        }
    }
    return out;
}

std::string RenderPage(std::string_view source, std::string_view name, std::string_view section,
                       std::string_view version, std::span<const Command> commands) {
    std::string out = ".TH \"" + Upper(name) + "\" \"" + std::string(section) +
                      "\" \"\" \"kxevent " + std::string(version) + "\" \"" +
                      std::string(ManualName(section)) + "\"\n";
    // Names, paths and key paths read badly split or spread out: no hyphenation, ragged right.
    out += ".nh\n.ad l\n";
    const std::vector<std::string_view> lines = Lines(source);
    bool paragraphDue = false;  // the next text line starts a new paragraph
    bool inText = false;        // within a paragraph, a tagged paragraph or a bullet
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string_view line = lines[i];
        if (line.empty()) {
            if (inText) paragraphDue = true;
            inText = false;
            continue;
        }
        if (line == kCommandsMarker) {
            out += CommandsSection(commands);
            paragraphDue = inText = false;
        } else if (line.starts_with(kOptionsMarker) && line.ends_with("@")) {
            const Command& command = Verb(commands, line, kOptionsMarker, i + 1);
            if (command.options == nullptr) {
                throw RuntimeError("line " + std::to_string(i + 1) + ": " +
                                   std::string(command.name) + " has no options");
            }
            for (const Option& option : command.options()) out += TaggedOption(option);
            paragraphDue = inText = false;
        } else if (line.starts_with(kUsageMarker) && line.ends_with("@")) {
            // The usage lines of the verb's help, without "usage: " and the indent under it.
            const std::string help = Verb(commands, line, kUsageMarker, i + 1).help();
            std::vector<std::string_view> usage;
            for (std::string_view part : Lines(help)) {
                if (part.empty()) break;
                const std::size_t indent = part.find_first_not_of(' ');
                if (part.starts_with(kUsagePrefix))
                    part.remove_prefix(kUsagePrefix.size());
                else if (indent != std::string_view::npos && indent >= kUsagePrefix.size())
                    part.remove_prefix(kUsagePrefix.size());
                usage.push_back(part);
            }
            if (inText) out += ".PP\n";
            out += Literal(usage);
            paragraphDue = true;
            inText = false;
        } else if (line.starts_with("## ")) {
            out += ".SS " + Escape(line.substr(3)) + "\n";
            paragraphDue = inText = false;
        } else if (line.starts_with("# ")) {
            out += ".SH " + Escape(line.substr(2)) + "\n";
            paragraphDue = inText = false;
        } else if (line.starts_with(kLiteralIndent)) {
            std::vector<std::string_view> block;
            for (; i < lines.size() && (lines[i].starts_with(kLiteralIndent) || lines[i].empty());
                 ++i) {
                block.push_back(lines[i].substr(std::min(lines[i].size(), kLiteralIndent.size())));
            }
            while (!block.empty() && block.back().empty()) block.pop_back();
            --i;
            if (inText) out += ".PP\n";  // set off from the text it follows
            out += Literal(block);
            paragraphDue = true;
            inText = false;
        } else if (line.starts_with(": ")) {
            out += ".TP\n" + Inline(line.substr(2)) + "\n";
            paragraphDue = false;
            inText = true;
        } else if (line.starts_with("- ")) {
            out += ".IP \\(bu 2\n" + Inline(line.substr(2)) + "\n";
            paragraphDue = false;
            inText = true;
        } else if (line.front() == ' ' || line.front() == '\t') {
            throw RuntimeError("line " + std::to_string(i + 1) +
                               ": indent a literal line by four spaces, or not at all");
        } else {
            if (paragraphDue) out += ".PP\n";
            out += Inline(line) + "\n";
            paragraphDue = false;
            inText = true;
        }
    }
    return out;
}

std::string CommandsSection(std::span<const Command> commands) {
    std::string out;
    std::vector<bool> done(commands.size(), false);
    for (std::size_t i = 0; i < commands.size(); ++i) {
        if (done[i]) continue;
        std::vector<const Command*> group;
        for (std::size_t j = i; j < commands.size(); ++j) {
            if (commands[j].help == commands[i].help) {
                group.push_back(&commands[j]);
                done[j] = true;
            }
        }
        const std::vector<Option> options = OptionsOf(group);
        std::string help = commands[i].help();
        // The help's own option list is what the tagged paragraphs below say again, in full.
        if (commands[i].options != nullptr) {
            const std::string list = FormatOptionList(commands[i].options());
            if (const std::size_t at = help.find(list); !list.empty() && at != std::string::npos) {
                help.erase(at, list.size());
            }
        }
        std::vector<std::string_view> lines = Lines(help);
        while (!lines.empty() && lines.back().empty()) lines.pop_back();
        // Where the option list was, two blank lines now meet: one is enough.
        lines.erase(std::unique(lines.begin(), lines.end(),
                                [](std::string_view a, std::string_view b) {
                                    return a.empty() && b.empty();
                                }),
                    lines.end());
        out += ".SS " + Escape(SubsectionTitle(group)) + "\n";
        out += ".nf\n";
        for (std::string_view line : lines) out += line.empty() ? ".sp\n" : Escape(line) + "\n";
        out += ".fi\n";
        for (const Option& option : options) out += TaggedOption(option);
    }
    return out;
}

std::string RenderCompletion(std::string_view script, std::span<const Command> commands) {
    std::vector<std::string> verbs;
    std::string subcommands = "declare -gA _kxevent_subcommands=(\n";
    std::string options = "declare -gA _kxevent_options=(\n";
    std::string values = "declare -gA _kxevent_values=(\n";
    for (const Command& command : commands) {
        verbs.emplace_back(command.name);
        if (!command.subcommands.empty()) {
            subcommands += "    [" + std::string(command.name) +
                           "]=" + ShellQuoted(command.subcommands) + "\n";
        }
        std::vector<std::string> spelled;
        if (command.options != nullptr) {
            for (const Option& option : command.options()) {
                spelled.emplace_back(option.name);
                if (!option.alias.empty()) spelled.emplace_back(option.alias);
                if (option.value.empty()) continue;
                for (std::string_view form : {option.name, option.alias}) {
                    if (form.empty()) continue;
                    values += "    [" +
                              ShellQuoted(std::string(command.name) + " " + std::string(form)) +
                              "]=" + ShellQuoted(option.value) + "\n";
                }
            }
        }
        spelled.emplace_back("--help");
        options += "    [" + std::string(command.name) + "]=" + ShellQuoted(Joined(spelled)) + "\n";
    }
    const std::string table = "declare -g _kxevent_verbs=" + ShellQuoted(Joined(verbs)) + "\n" +
                              subcommands + ")\n" + options + ")\n" + values + ")";
    const std::size_t at = script.find(kTableMarker);
    if (at == std::string_view::npos) {
        throw RuntimeError("the completion script has no line \"" + std::string(kTableMarker) +
                           "\"");
    }
    return std::string(script.substr(0, at)) + table +
           std::string(script.substr(at + kTableMarker.size()));
}

}  // namespace kx::tool::manual
