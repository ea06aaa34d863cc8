// regfile.cpp: reading and writing registry files in the Windows export format.
//
// The reader is line based and forgiving: a line it cannot understand is reported and skipped,
// and the lines around it are kept. Nothing in the input can make it read out of bounds.
#include "platform/regfile.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <unordered_map>

namespace kx::reg {
namespace {

constexpr std::string_view kRootPrefix = "HKEY_LOCAL_MACHINE";
constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::uint32_t kRegSz = 1, kRegBinary = 3, kRegDword = 4;
constexpr std::size_t kHexLineWidth = 76;

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return Lower(x) == Lower(y); });
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualNoCase(text.substr(0, prefix.size()), prefix);
}

std::string_view Trim(std::string_view text) {
    const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && space(text.front())) text.remove_prefix(1);
    while (!text.empty() && space(text.back())) text.remove_suffix(1);
    return text;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = Lower(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Files saved as UTF-16 (little endian, with its byte order mark) are read as 8-bit text:
// characters beyond one byte cannot be represented and become '?'.
std::string FromUtf16(std::string_view text) {
    std::string out;
    out.reserve(text.size() / 2);
    for (std::size_t i = 2; i + 1 < text.size(); i += 2) {
        const unsigned low = static_cast<unsigned char>(text[i]);
        const unsigned high = static_cast<unsigned char>(text[i + 1]);
        out += high == 0 ? static_cast<char>(low) : '?';
    }
    return out;
}

std::vector<std::string_view> SplitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

// A quoted text starting at text[0] == '"' with \\ and \" escapes. Sets `rest` to what follows
// the closing quote; nothing when the quote is never closed.
std::optional<std::string> ReadQuoted(std::string_view text, std::string_view& rest) {
    std::string out;
    std::size_t i = 1;
    while (i < text.size()) {
        // Plain characters go over in one piece, up to the next quote or backslash.
        const std::size_t stop = std::min(text.find_first_of("\"\\", i), text.size());
        out.append(text.substr(i, stop - i));
        if (stop == text.size()) break;
        if (text[stop] == '"') {
            rest = text.substr(stop + 1);
            return out;
        }
        const bool escape =
            stop + 1 < text.size() && (text[stop + 1] == '\\' || text[stop + 1] == '"');
        out += escape ? text[stop + 1] : '\\';
        i = stop + (escape ? 2 : 1);
    }
    return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> ReadHexBytes(std::string_view list) {
    std::vector<std::uint8_t> bytes;
    list = Trim(list);
    if (list.empty()) return bytes;
    while (true) {
        const std::size_t comma = list.find(',');
        const std::string_view item = Trim(list.substr(0, comma));
        if (item.empty() || item.size() > 2) return std::nullopt;
        int value = 0;
        for (char c : item) {
            const int digit = HexDigit(c);
            if (digit < 0) return std::nullopt;
            value = value * 16 + digit;
        }
        bytes.push_back(static_cast<std::uint8_t>(value));
        if (comma == std::string_view::npos) return bytes;
        list.remove_prefix(comma + 1);
    }
}

std::optional<std::uint32_t> ReadDword(std::string_view digits) {
    digits = Trim(digits);
    if (digits.empty() || digits.size() > 8) return std::nullopt;
    std::uint32_t value = 0;
    for (char c : digits) {
        const int digit = HexDigit(c);
        if (digit < 0) return std::nullopt;
        value = value * 16 + static_cast<std::uint32_t>(digit);
    }
    return value;
}

// The data part of a value line (after '='): its type and bytes; nothing when malformed.
// `erase` is set for the deletion form "-".
std::optional<Value> ReadData(std::string_view data, bool& erase, std::string& problem) {
    erase = false;
    Value value;
    data = Trim(data);
    if (data == "-") {
        erase = true;
        return value;
    }
    if (!data.empty() && data.front() == '"') {
        std::string_view rest;
        std::optional<std::string> text = ReadQuoted(data, rest);
        if (!text) {
            problem = "unterminated string";
            return std::nullopt;
        }
        if (!Trim(rest).empty()) {
            problem = "text after the string";
            return std::nullopt;
        }
        value.type = kRegSz;
        value.data.assign(text->begin(), text->end());
        value.data.push_back(0);
        return value;
    }
    if (StartsWithNoCase(data, "dword:")) {
        const std::optional<std::uint32_t> number = ReadDword(data.substr(6));
        if (!number) {
            problem = "bad dword";
            return std::nullopt;
        }
        value.type = kRegDword;
        for (int shift = 0; shift < 32; shift += 8) {
            value.data.push_back(static_cast<std::uint8_t>(*number >> shift));
        }
        return value;
    }
    std::string_view list;
    if (StartsWithNoCase(data, "hex:")) {
        value.type = kRegBinary;
        list = data.substr(4);
    } else if (StartsWithNoCase(data, "hex(")) {
        const std::size_t close = data.find("):");
        const std::optional<std::uint32_t> type =
            close == std::string_view::npos ? std::nullopt : ReadDword(data.substr(4, close - 4));
        if (!type) {
            problem = "bad hex type";
            return std::nullopt;
        }
        value.type = *type;
        list = data.substr(close + 2);
    } else {
        problem = "unknown value form";
        return std::nullopt;
    }
    std::optional<std::vector<std::uint8_t>> bytes = ReadHexBytes(list);
    if (!bytes) {
        problem = "bad hex bytes";
        return std::nullopt;
    }
    value.data = std::move(*bytes);
    return value;
}

bool IsHexForm(std::string_view data) {
    data = Trim(data);
    return StartsWithNoCase(data, "hex:") || StartsWithNoCase(data, "hex(");
}

bool IsUnder(std::string_view path, std::string_view parent) {
    return StartsWithNoCase(path, parent) &&
           (path.size() == parent.size() || path[parent.size()] == '\\');
}

// A key path or value name as the case-insensitive indexes compare it.
std::string Folded(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = Lower(c);
    return out;
}

// Reads the lines into the document in time and memory linear in the file's size (up to the
// logarithm of the key count): keys and values are found through indexes, and deletions only
// mark entries, which are dropped in one pass at the end.
class Parser {
  public:
    Parser(Document& document, std::vector<ParseIssue>* issues, std::vector<Deletion>* deletions)
        : document_(document), issues_(issues), deletions_(deletions) {}

    void Run(const std::vector<std::string_view>& lines) {
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const std::string_view line = Trim(lines[i]);
            const int number = static_cast<int>(i + 1);
            if (line.empty() || line.front() == ';') continue;
            if (line.front() == '[') {
                KeyLine(line, number);
                continue;
            }
            // Hex data continues on the next lines while a line ends with a backslash. Whether
            // the data is hex is settled by the first line: the rest only appends to it.
            if (!IsHexForm(AfterEquals(line)) || line.back() != '\\' || i + 1 == lines.size()) {
                ValueLine(line, number);
                continue;
            }
            std::string joined(line);
            while (!joined.empty() && joined.back() == '\\' && i + 1 < lines.size()) {
                joined.pop_back();
                joined += Trim(lines[++i]);
            }
            ValueLine(joined, number);
        }
        Compact();
    }

  private:
    // Keys with at most this many values are searched directly; a hash would cost more.
    static constexpr std::size_t kDirectSearch = 8;
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

    struct KeyState {
        bool alive = true;
        bool indexed = false;
        std::vector<bool> valueDead;  // by value index; empty until a value is deleted
        bool Alive(std::size_t v) const { return v >= valueDead.size() || !valueDead[v]; }
        std::unordered_map<std::string, std::size_t> values;  // folded name -> index, if indexed
    };

    static std::string_view AfterEquals(std::string_view line) {
        // The name is '@' or quoted; the data starts after the '=' that follows it.
        std::string_view rest = line;
        if (!line.empty() && line.front() == '"') {
            if (!ReadQuoted(line, rest)) return {};
        } else if (!line.empty() && line.front() == '@') {
            rest = line.substr(1);
        }
        rest = Trim(rest);
        if (rest.empty() || rest.front() != '=') return {};
        return rest.substr(1);
    }

    void Issue(int line, std::string message) {
        if (issues_) issues_->push_back({line, std::move(message)});
    }

    // Marks `path` and every key below it deleted.
    void EraseTree(std::string_view path) {
        const std::string folded = Folded(path);
        if (auto it = index_.find(folded); it != index_.end()) {
            states_[it->second].alive = false;
            index_.erase(it);
        }
        const std::string below = folded + '\\';
        auto it = index_.lower_bound(below);
        while (it != index_.end() && it->first.starts_with(below)) {
            states_[it->second].alive = false;
            it = index_.erase(it);
        }
    }

    void KeyLine(std::string_view line, int number) {
        current_ = -1;
        const std::size_t close = line.rfind(']');
        if (close == std::string_view::npos || !Trim(line.substr(close + 1)).empty()) {
            Issue(number, "bad key line");
            return;
        }
        std::string_view name = line.substr(1, close - 1);
        const bool erase = !name.empty() && name.front() == '-';
        if (erase) name.remove_prefix(1);
        if (!StartsWithNoCase(name, kRootPrefix) ||
            (name.size() > kRootPrefix.size() && name[kRootPrefix.size()] != '\\')) {
            Issue(number, "key outside HKEY_LOCAL_MACHINE");
            return;
        }
        name.remove_prefix(std::min(name.size(), kRootPrefix.size() + 1));
        while (!name.empty() && name.back() == '\\') name.remove_suffix(1);
        if (erase) {
            if (deletions_) deletions_->push_back({number, std::string(name), false, {}});
            EraseTree(name);
            return;
        }
        const auto [it, added] = index_.try_emplace(Folded(name), document_.keys.size());
        if (added) {
            document_.keys.push_back(Key{std::string(name), {}});
            states_.emplace_back();
        }
        current_ = static_cast<std::ptrdiff_t>(it->second);
    }

    void ValueLine(std::string_view line, int number) {
        std::string name;
        std::string_view rest;
        if (line.front() == '@') {
            rest = line.substr(1);
        } else if (line.front() == '"') {
            std::optional<std::string> quoted = ReadQuoted(line, rest);
            if (!quoted) {
                Issue(number, "unterminated value name");
                return;
            }
            name = std::move(*quoted);
        } else {
            Issue(number, "not a value line");
            return;
        }
        rest = Trim(rest);
        if (rest.empty() || rest.front() != '=') {
            Issue(number, "missing '='");
            return;
        }
        if (current_ < 0) {
            Issue(number, "value outside a key");
            return;
        }
        bool erase = false;
        std::string problem;
        std::optional<Value> value = ReadData(rest.substr(1), erase, problem);
        if (!value) {
            Issue(number, problem);
            return;
        }
        if (erase && deletions_) {
            const auto& path = document_.keys[static_cast<std::size_t>(current_)].path;
            deletions_->push_back({number, path, true, name});
        }
        Store(std::move(name), std::move(*value), erase);
    }

    // The index of the live value `name` of `key`, or kNone.
    static std::size_t FindLive(const Key& key, KeyState& state, std::string_view name) {
        if (!state.indexed && key.values.size() <= kDirectSearch) {
            for (std::size_t v = 0; v < key.values.size(); ++v) {
                if (state.Alive(v) && EqualNoCase(key.values[v].name, name)) return v;
            }
            return kNone;
        }
        if (!state.indexed) {
            for (std::size_t v = 0; v < key.values.size(); ++v) {
                if (state.Alive(v)) state.values.emplace(Folded(key.values[v].name), v);
            }
            state.indexed = true;
        }
        const auto it = state.values.find(Folded(name));
        return it == state.values.end() ? kNone : it->second;
    }

    void Store(std::string name, Value value, bool erase) {
        const auto k = static_cast<std::size_t>(current_);
        Key& key = document_.keys[k];
        KeyState& state = states_[k];
        const std::size_t existing = FindLive(key, state, name);
        if (erase) {
            if (existing == kNone) return;
            state.valueDead.resize(key.values.size());
            state.valueDead[existing] = true;
            if (state.indexed) state.values.erase(Folded(name));
            return;
        }
        if (existing != kNone) {
            value.name = std::move(name);
            key.values[existing] = std::move(value);  // a later line wins, in the first one's place
            return;
        }
        if (state.indexed) state.values.emplace(Folded(name), key.values.size());
        value.name = std::move(name);
        key.values.push_back(std::move(value));
    }

    // Drops the deleted keys and values, keeping the order of the others.
    void Compact() {
        std::size_t kept = 0;
        for (std::size_t k = 0; k < document_.keys.size(); ++k) {
            if (!states_[k].alive) continue;
            Key& key = document_.keys[k];
            std::size_t values = 0;
            for (std::size_t v = 0; v < key.values.size(); ++v) {
                if (!states_[k].Alive(v)) continue;
                if (values != v) key.values[values] = std::move(key.values[v]);
                ++values;
            }
            key.values.resize(values);
            if (kept != k) document_.keys[kept] = std::move(key);
            ++kept;
        }
        document_.keys.resize(kept);
    }

    Document& document_;
    std::vector<ParseIssue>* issues_;
    std::vector<Deletion>* deletions_;
    std::ptrdiff_t current_ = -1;
    std::vector<KeyState> states_;              // parallel to document_.keys
    std::map<std::string, std::size_t> index_;  // folded path of each live key -> its index
};

std::string Quote(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

// A REG_SZ that the quoted form reproduces exactly: one terminator at the end, no other zero
// byte and nothing that would break the line.
bool WritableAsString(const Value& value) {
    if (value.type != kRegSz || value.data.empty() || value.data.back() != 0) return false;
    return std::none_of(value.data.begin(), value.data.end() - 1,
                        [](std::uint8_t b) { return b == 0 || b == '\r' || b == '\n'; });
}

void AppendHex(std::string& out, const Value& value) {
    char head[24];
    if (value.type == kRegBinary) {
        std::snprintf(head, sizeof head, "hex:");
    } else {
        std::snprintf(head, sizeof head, "hex(%x):", static_cast<unsigned>(value.type));
    }
    out += head;
    std::size_t column = out.size() - out.rfind('\n');
    for (std::size_t i = 0; i < value.data.size(); ++i) {
        char byte[3];
        std::snprintf(byte, sizeof byte, "%02x", value.data[i]);
        out += byte;
        column += 2;
        if (i + 1 == value.data.size()) break;
        out += ',';
        ++column;
        if (column >= kHexLineWidth) {
            out += "\\\r\n  ";
            column = 2;
        }
    }
}

void AppendValue(std::string& out, const Value& value) {
    out += value.name.empty() ? std::string("@") : Quote(value.name);
    out += '=';
    if (WritableAsString(value)) {
        out += Quote(std::string_view(reinterpret_cast<const char*>(value.data.data()),
                                      value.data.size() - 1));
    } else if (value.type == kRegDword && value.data.size() == 4) {
        char digits[16];
        const std::uint32_t number = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                                     (static_cast<std::uint32_t>(value.data[3]) << 24);
        std::snprintf(digits, sizeof digits, "dword:%08x", static_cast<unsigned>(number));
        out += digits;
    } else {
        AppendHex(out, value);
    }
    out += "\r\n";
}

}  // namespace

Document Parse(std::string_view text, std::vector<ParseIssue>* issues,
               std::vector<Deletion>* deletions) {
    Document document;
    std::string converted;
    if (text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0xFF &&
        static_cast<unsigned char>(text[1]) == 0xFE) {
        converted = FromUtf16(text);
        text = converted;
    } else if (text.starts_with("\xEF\xBB\xBF")) {
        text.remove_prefix(3);
    }
    const std::vector<std::string_view> lines = SplitLines(text);
    std::size_t first = 0;
    while (first < lines.size() && Trim(lines[first]).empty()) ++first;
    if (first == lines.size() ||
        (Trim(lines[first]) != kHeader4 && Trim(lines[first]) != kHeader5)) {
        if (issues) issues->push_back({static_cast<int>(first + 1), "no registry file header"});
        return document;
    }
    std::vector<std::string_view> body(lines.begin() + static_cast<std::ptrdiff_t>(first) + 1,
                                       lines.end());
    // Line numbers stay those of the file.
    body.insert(body.begin(), first + 1, std::string_view());
    Parser(document, issues, deletions).Run(body);
    return document;
}

std::string Serialize(const Document& document) {
    std::string out = "REGEDIT4\r\n";
    for (const Key& key : document.keys) {
        out += "\r\n[HKEY_LOCAL_MACHINE";
        if (!key.path.empty()) out += "\\" + key.path;
        out += "]\r\n";
        for (const Value& value : key.values) AppendValue(out, value);
    }
    return out;
}

const Key* FindKey(const Document& document, std::string_view path) {
    for (const Key& key : document.keys) {
        if (EqualNoCase(key.path, path)) return &key;
    }
    return nullptr;
}

Key* FindKey(Document& document, std::string_view path) {
    return const_cast<Key*>(FindKey(static_cast<const Document&>(document), path));
}

bool HasSubkey(const Document& document, std::string_view path) {
    return std::any_of(document.keys.begin(), document.keys.end(), [&](const Key& key) {
        return key.path.size() > path.size() && IsUnder(key.path, path);
    });
}

KeyIndex::KeyIndex(const Document& document) {
    sorted_.reserve(document.keys.size());
    for (const Key& key : document.keys) sorted_.emplace_back(Folded(key.path), &key);
    // Stable: of two keys with one name the first in the document is found, as FindKey finds it.
    std::stable_sort(sorted_.begin(), sorted_.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
}

const Key* KeyIndex::Find(std::string_view path) const {
    const std::string folded = Folded(path);
    const auto it =
        std::lower_bound(sorted_.begin(), sorted_.end(), folded,
                         [](const auto& entry, const std::string& p) { return entry.first < p; });
    return it != sorted_.end() && it->first == folded ? it->second : nullptr;
}

bool KeyIndex::HasSubkey(std::string_view path) const {
    const std::string below = Folded(path) + '\\';
    const auto it =
        std::lower_bound(sorted_.begin(), sorted_.end(), below,
                         [](const auto& entry, const std::string& p) { return entry.first < p; });
    return it != sorted_.end() && it->first.starts_with(below);
}

const Value* FindValue(const Key& key, std::string_view name) {
    for (const Value& value : key.values) {
        if (EqualNoCase(value.name, name)) return &value;
    }
    return nullptr;
}

Value* FindValue(Key& key, std::string_view name) {
    return const_cast<Value*>(FindValue(static_cast<const Key&>(key), name));
}

}  // namespace kx::reg
