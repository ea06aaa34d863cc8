// manual.h: the manual pages and the shell completion of kxevent, made from the table of verbs
// and their options, so that neither can drift from what the command's own help says.
//
// A page's hand-written part is a compact text (docs/man/*.md) in a small subset of Markdown:
//   "# NAME" a section, "## Name" a subsection, a blank line ends a paragraph,
//   ": term" a tagged paragraph (the lines after it are its text), "- item" a bullet,
//   lines indented by four spaces a literal block, `text` bold, the line "@COMMANDS@" the
//   verbs of the command as the table gives them, "@OPTIONS verb@" the options of one verb,
//   "@USAGE verb@" the usage lines of its help.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "tools/kxevent/commands.h"

namespace kx::tool::manual {

// `text` as roff input: backslashes escaped, a minus that starts an option or follows a blank
// written as a minus sign (not a hyphen), a leading control character made harmless.
std::string Escape(std::string_view text);

// The page `name`(`section`) from its compact source; `version` goes into its footer.
// Throws RuntimeError for a line the format does not know.
std::string RenderPage(std::string_view source, std::string_view name, std::string_view section,
                       std::string_view version, std::span<const Command> commands);

// The roff of one subsection per help text: verbs that share one (send, query, resend) share
// the subsection. The help text is kept as the command prints it, its option list replaced by a
// tagged paragraph per option, those only in the usage lines included.
std::string CommandsSection(std::span<const Command> commands);

// The completion script: `script` with its line "# @TABLE@" replaced by bash declarations of the
// verbs, their subcommands, their options and each option's value placeholder.
std::string RenderCompletion(std::string_view script, std::span<const Command> commands);

}  // namespace kx::tool::manual
