// options.h: the option parser every kxevent verb uses. A verb declares its options once, as a
// table of Option; the same table drives the parsing, the "[--name VALUE]" pieces of its usage
// lines and the option list of its help, so the help cannot name an option the parser does not
// know or miss one it does.
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace kx::tool {

// How an option is laid out in the option list of a help text.
enum class OptionLayout {
    kLine,     // a line of its own: the option and its value, then the help
    kPaired,   // with short help: two consecutive paired options share a line
    kUnlisted  // only in the usage lines
};

struct Option {
    int id;                  // what the verb's handler switches on
    std::string_view name;   // "--product"
    std::string_view value;  // the value's placeholder ("N"); empty for a flag
    std::string_view help;   // for the option list
    OptionLayout layout = OptionLayout::kLine;
    std::string_view alias{};  // another spelling ("-o")
};

// How a verb treats what is not one of its options.
struct OptionRules {
    std::string_view verb;        // named in "unknown option '...' for <verb>"
    bool operands = true;         // false: every other argument is an unknown option
    bool doubleDashEnds = false;  // a first "--" ends the options; later ones are operands
    std::string_view stopAt{};    // an argument that ends this parse, left at `at`
};

using OptionHandler = std::function<void(const Option& option, const std::string& value)>;
using OperandHandler = std::function<void(const std::string& operand)>;

// Reads args[at...] until their end or rules.stopAt, leaving `at` there. A declared option (or
// its alias) goes to `onOption` with the next argument as its value when it takes one (a flag
// gets an empty value); an argument starting with '-' that is longer than "-" is an unknown
// option; anything else goes to `onOperand`. Throws UsageError ("--x needs a value", "unknown
// option '--y' for verb").
void ParseOptions(std::span<const std::string> args, std::size_t& at,
                  std::span<const Option> options, const OptionRules& rules,
                  const OptionHandler& onOption, const OperandHandler& onOperand = {});

// "--name VALUE", or "--name" for a flag: an option a usage line requires.
std::string Spelled(const Option& option);
// "[--name VALUE]", or "[--name]" for a flag: an option a usage line allows;
// "[--name VALUE ...]" when it may be given again.
std::string Synopsis(const Option& option, bool repeatable = false);

// The option list of a help text: each kLine option on its own line, paired options two to a
// line, kUnlisted ones left out. Every line starts with two spaces and ends with a newline.
std::string FormatOptionList(std::span<const Option> options);

}  // namespace kx::tool
