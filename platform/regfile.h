// regfile.h: registry files in the Windows export format, read and written as plain data.
//
// The posix backend keeps HKEY_LOCAL_MACHINE in such a file; administrators' tools import,
// export and edit it. Headers "REGEDIT4" and "Windows Registry Editor Version 5.00"; string
// values, dword:, hex: and hex(N): values, @ for the unnamed value. Malformed lines are
// reported and skipped, never fatal.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kx::reg {

struct Value {
    std::string name;  // empty: the unnamed value
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;  // raw bytes; a string's bytes and its terminator
};

struct Key {
    std::string path;  // without the "HKEY_LOCAL_MACHINE\" prefix
    std::vector<Value> values;
};

struct Document {
    std::vector<Key> keys;  // in file order
};

struct ParseIssue {
    int line;  // 1-based
    std::string message;
};

// A deletion line: "[-KEY]" removes the key and every key below it; "NAME"=- under [KEY]
// removes one value.
struct Deletion {
    int line;  // 1-based
    std::string path;
    bool isValue = false;
    std::string name;  // the value's, when isValue
};

// Parses a whole file. Lines that cannot be read are skipped and, when `issues` is given,
// reported with their line number. A file without a recognised header yields no keys.
// Deletions are applied to what the file itself holds and, when `deletions` is given, listed
// in file order, so that a merge can apply them to another document too.
Document Parse(std::string_view text, std::vector<ParseIssue>* issues = nullptr,
               std::vector<Deletion>* deletions = nullptr);

// Writes a document back in the "REGEDIT4" format with CR LF line ends; Parse(Serialize(d))
// gives d again.
std::string Serialize(const Document& document);

// Finds a key or a value without regard to case; null when absent.
const Key* FindKey(const Document& document, std::string_view path);
Key* FindKey(Document& document, std::string_view path);
const Value* FindValue(const Key& key, std::string_view name);
Value* FindValue(Key& key, std::string_view name);
// Whether any key lies below `path` (at any depth), its name compared as FindKey compares.
bool HasSubkey(const Document& document, std::string_view path);

// FindKey and HasSubkey of one unchanging document in logarithmic time, for readers that ask
// many times. The document must outlive the index and stay as it was.
class KeyIndex {
  public:
    explicit KeyIndex(const Document& document);
    const Key* Find(std::string_view path) const;
    bool HasSubkey(std::string_view path) const;

  private:
    std::vector<std::pair<std::string, const Key*>> sorted_;  // folded path, in path order
};

}  // namespace kx::reg
