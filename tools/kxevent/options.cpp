// options.cpp: parsing a verb's declared options and writing them into its help.
#include "tools/kxevent/options.h"

#include <algorithm>

#include "tools/admin/errors.h"

namespace kx::tool {

namespace {

// Column widths of the option list: an option with its value, the help of the first of a pair,
// and the second option of a pair.
constexpr std::size_t kOptionWidth = 19;
constexpr std::size_t kPairedHelpWidth = 21;
constexpr std::size_t kSecondOptionWidth = 14;

const Option* Find(std::span<const Option> options, std::string_view arg) {
    const auto found = std::find_if(options.begin(), options.end(), [&](const Option& option) {
        return arg == option.name || (!option.alias.empty() && arg == option.alias);
    });
    return found == options.end() ? nullptr : &*found;
}

bool LooksLikeOption(std::string_view arg) {
    return arg.size() > 1 && arg[0] == '-';
}

// `text` padded with spaces to `width`; a longer text keeps one space after it.
std::string Column(std::string text, std::size_t width) {
    text.resize(std::max(width, text.size() + 1), ' ');
    return text;
}

}  // namespace

void ParseOptions(std::span<const std::string> args, std::size_t& at,
                  std::span<const Option> options, const OptionRules& rules,
                  const OptionHandler& onOption, const OperandHandler& onOperand) {
    bool optionsEnded = false;
    for (; at < args.size(); ++at) {
        const std::string& arg = args[at];
        if (!rules.stopAt.empty() && arg == rules.stopAt) return;
        if (optionsEnded) {
            onOperand(arg);
            continue;
        }
        if (rules.doubleDashEnds && arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (const Option* option = Find(options, arg)) {
            if (option->value.empty()) {
                onOption(*option, std::string());
                continue;
            }
            if (at + 1 >= args.size()) throw UsageError(arg + " needs a value");
            onOption(*option, args[++at]);
            continue;
        }
        if (!rules.operands || LooksLikeOption(arg)) {
            throw UsageError("unknown option '" + arg + "' for " + std::string(rules.verb));
        }
        onOperand(arg);
    }
}

std::string Spelled(const Option& option) {
    std::string text(option.name);
    if (!option.value.empty()) text.append(" ").append(option.value);
    return text;
}

std::string Synopsis(const Option& option, bool repeatable) {
    return "[" + Spelled(option) + (repeatable ? " ...]" : "]");
}

std::string FormatOptionList(std::span<const Option> options) {
    std::string text;
    const Option* pending = nullptr;  // the first of a pair, waiting for the second
    auto flush = [&] {
        if (pending == nullptr) return;
        text += "  " + Column(Spelled(*pending), kOptionWidth) + std::string(pending->help) + "\n";
        pending = nullptr;
    };
    for (const Option& option : options) {
        if (option.layout == OptionLayout::kUnlisted) continue;
        if (option.layout == OptionLayout::kPaired && pending == nullptr) {
            pending = &option;
            continue;
        }
        if (option.layout == OptionLayout::kPaired) {
            text += "  " + Column(Spelled(*pending), kOptionWidth) +
                    Column(std::string(pending->help), kPairedHelpWidth) +
                    Column(Spelled(option), kSecondOptionWidth) + std::string(option.help) + "\n";
            pending = nullptr;
            continue;
        }
        flush();
        text += "  " + Column(Spelled(option), kOptionWidth) + std::string(option.help) + "\n";
    }
    flush();
    return text;
}

}  // namespace kx::tool
