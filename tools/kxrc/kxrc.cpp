// kxrc.cpp: the resource compiler for the localized string modules.
//
// Reads one string-table source (lines "<id> <text>", '#' comments, escapes \r \n \\) and
// writes either the string-table module that the Linux platform loads for its resources, or a
// Windows resource script with the same STRINGTABLE. A source that would give a module the
// library cannot use is refused with "file:line: reason" and a non-zero exit.
//
//   kxrc module <source> <output>
//   kxrc rc <source> <output> <PPSS>     (PPSS: primary language and sub-language, hex)
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

#include "common/fd.h"

namespace {

constexpr unsigned kCannotCreateAlert = 140;
constexpr unsigned kAlertFailed = 141;
constexpr unsigned kProductName = 142;
constexpr std::size_t kProductNameMax = 15;
constexpr std::uint32_t kModuleVersion = 1;

struct SourceError {
    std::size_t line;
    std::string reason;
};

struct Entry {
    std::string text;
    std::size_t line;
};
using Table = std::map<unsigned, Entry>;

std::string_view Trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

std::string Unescape(std::string_view raw, std::size_t line) {
    std::string text;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '\\') {
            text += raw[i];
            continue;
        }
        if (++i == raw.size()) throw SourceError{line, "'\\' at the end of the line"};
        switch (raw[i]) {
            case 'r':
                text += '\r';
                break;
            case 'n':
                text += '\n';
                break;
            case '\\':
                text += '\\';
                break;
            default:
                throw SourceError{line, std::string("unknown escape '\\") + raw[i] + "'"};
        }
    }
    return text;
}

// A format the library fills with two texts: exactly two %s, %% allowed, nothing else.
void CheckTwoTextFormat(unsigned id, const std::string& text, std::size_t line) {
    int texts = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') continue;
        const char next = i + 1 < text.size() ? text[i + 1] : '\0';
        if (next == 's') {
            ++texts;
        } else if (next != '%') {
            throw SourceError{line, "string " + std::to_string(id) +
                                        ": only %s and %% may follow '%' (found '%" +
                                        (next ? std::string(1, next) : std::string()) + "')"};
        }
        ++i;
    }
    if (texts != 2) {
        throw SourceError{line, "string " + std::to_string(id) + " must hold exactly two %s, not " +
                                    std::to_string(texts)};
    }
}

void CheckEntry(unsigned id, const std::string& text, std::size_t line) {
    if (text.empty()) throw SourceError{line, "string " + std::to_string(id) + " is empty"};
    if (id == kCannotCreateAlert || id == kAlertFailed) CheckTwoTextFormat(id, text, line);
    if (id == kProductName && text.size() > kProductNameMax) {
        throw SourceError{line, "string 142 is " + std::to_string(text.size()) +
                                    " characters long; at most 15 fit"};
    }
}

std::optional<unsigned> ParseId(std::string_view digits) {
    if (digits.empty() || digits.size() > 5) return std::nullopt;
    unsigned value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 0xFFFF) return std::nullopt;
    return value;
}

void ParseLine(std::string_view line, std::size_t number, Table& table) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::string_view content = Trim(line);
    if (content.empty() || content.front() == '#') return;
    const auto gap = content.find_first_of(" \t");
    const auto id = ParseId(content.substr(0, gap));
    if (!id || gap == std::string_view::npos) {
        throw SourceError{number, "expected \"<id> <text>\" with a decimal id from 0 to 65535"};
    }
    std::string text = Unescape(Trim(content.substr(gap)), number);
    CheckEntry(*id, text, number);
    if (const auto it = table.find(*id); it != table.end()) {
        throw SourceError{number, "string " + std::to_string(*id) + " is already defined on line " +
                                      std::to_string(it->second.line)};
    }
    table.emplace(*id, Entry{std::move(text), number});
}

Table ParseSource(std::istream& in) {
    Table table;
    std::string line;
    std::size_t lastLine = 0;
    while (std::getline(in, line)) ParseLine(line, ++lastLine, table);
    for (const unsigned id : {kCannotCreateAlert, kAlertFailed, kProductName}) {
        if (!table.contains(id)) {
            throw SourceError{lastLine, "string " + std::to_string(id) + " is missing"};
        }
    }
    return table;
}

void PutU32(std::string& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out += static_cast<char>((value >> shift) & 0xFF);
}

// "KXRS", version, count, then per entry id, length and the text without terminator.
std::string ModuleBytes(const Table& table) {
    std::string out = "KXRS";
    PutU32(out, kModuleVersion);
    PutU32(out, static_cast<std::uint32_t>(table.size()));
    for (const auto& [id, entry] : table) {
        PutU32(out, id);
        PutU32(out, static_cast<std::uint32_t>(entry.text.size()));
        out += entry.text;
    }
    return out;
}

std::string RcQuoted(const std::string& text) {
    std::string out = "\"";
    char octal[8];
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"') {
            out += "\"\"";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (byte < 0x20 || byte >= 0x7F) {
            std::snprintf(octal, sizeof octal, "\\%03o", byte);
            out += octal;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string RcScript(const Table& table, unsigned primary, unsigned sub) {
    std::ostringstream out;
    out << "// Generated by kxrc; edit the string-table source instead.\n";
    out << "LANGUAGE " << primary << ", " << sub << "\n";
    out << "STRINGTABLE\nBEGIN\n";
    for (const auto& [id, entry] : table)
        out << "    " << id << ", " << RcQuoted(entry.text) << "\n";
    out << "END\n";
    return out.str();
}

// PPSS: four hex digits, primary language then sub-language.
bool ParseLanguage(std::string_view text, unsigned& primary, unsigned& sub) {
    if (text.size() != 4 || text.find_first_not_of("0123456789abcdefABCDEF") != text.npos) {
        return false;
    }
    const unsigned value = static_cast<unsigned>(std::stoul(std::string(text), nullptr, 16));
    primary = value >> 8;
    sub = value & 0xFF;
    return true;
}

// Writes beside the target and renames, so a failed run never leaves a half-written output.
bool WriteOutput(const std::filesystem::path& path, const std::string& bytes) {
    const std::string target = path.string();
    return static_cast<bool>(kx::ReplaceFile(target.c_str(), (target + ".partial").c_str(), bytes));
}

int Usage() {
    std::cerr << "usage: kxrc module <source> <output>\n"
                 "       kxrc rc <source> <output> <PPSS>\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) return Usage();
    const std::string_view mode = argv[1];
    const std::string source = argv[2];
    const std::filesystem::path output = argv[3];
    unsigned primary = 0, sub = 0;
    if (mode == "rc" && (argc != 5 || !ParseLanguage(argv[4], primary, sub))) return Usage();
    if (mode != "rc" && (mode != "module" || argc != 4)) return Usage();

    std::ifstream in(source, std::ios::binary);
    if (!in) {
        std::cerr << source << ": cannot be opened\n";
        return 1;
    }
    Table table;
    try {
        table = ParseSource(in);
    } catch (const SourceError& error) {
        std::cerr << source << ":" << error.line << ": " << error.reason << "\n";
        return 1;
    }
    const std::string bytes = mode == "rc" ? RcScript(table, primary, sub) : ModuleBytes(table);
    if (!WriteOutput(output, bytes)) {
        std::cerr << output.string() << ": cannot be written\n";
        return 1;
    }
    return 0;
}
