// alert_file.h: the central alert file for everyone who writes, reads or lists one: its lines,
// formatted by the key table of alert_keys.h; the one strict parser of what the library writes;
// the names ("NUMBER.TMP" while written, "NUMBER.ALR" when ready), the numbers a writer tries and
// the order in which readers take ready files, lowest number first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <queue>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/alert_keys.h"

namespace kx {

inline constexpr std::string_view kAlertSectionLine = "[CentralAlert]\r\n";
inline constexpr std::size_t kAlertKeyCount = kAlertKeys.size();  // key lines after the section
inline constexpr std::size_t kAlertLineSize = 4096;               // one formatted line
inline constexpr std::size_t kAlertNameSize = 260;                // temporary and final names
inline constexpr std::uint32_t kAlertNeighbours = 16;  // numbers tried from the tick count on
inline constexpr std::uint32_t kAlertNumberSpace = 100000000;  // the eight-digit numbers
// The one key whose value keeps its line breaks: the last line of the file.
inline constexpr std::string_view kAlertMultiLineKey = kAlertKeys.back().name;
// Alert files are small (the longest line is under 4 KiB); anything larger is not one of them.
inline constexpr std::size_t kMaxAlertFileSize = 64 * 1024;

// One key line, "NAME=VALUE" and CR LF, into `line` (kAlertLineSize bytes): a number in
// decimal; a text as its bytes, cut to fit, every CR and LF a space except in the last key; an
// absent text as nothing. Returns the line's length.
std::size_t FormatAlertLine(std::string_view name, bool number, std::uint32_t value,
                            const std::optional<std::string_view>& text, char* line);

struct AlertValue {
    std::string_view key;
    bool number;
    std::string value;  // the bytes as stored; szActualMessage keeps its inner CR LF
};

struct AlertContent {
    std::vector<AlertValue> values;  // the 27 keys in file order
    // The value of `key`; null (Find) or empty (Value) when there is no such key.
    const std::string* Find(std::string_view key) const;
    const std::string& Value(std::string_view key) const;
};

// Why content is not an alert file: the 1-based line where it went wrong (0: the file as a
// whole) and the reason.
struct AlertParseFailure {
    int line = 0;
    std::string reason;
};

// Parses the exact layout the library writes: "[CentralAlert]", 26 single-line keys in their
// order, then szActualMessage up to the end; every line ends with CR LF, numbers are unsigned
// 32-bit decimal without leading zeros, no NUL byte, at most kMaxAlertFileSize bytes. Nothing,
// with `failure` filled, for anything else.
std::optional<AlertContent> ParseAlertFile(std::string_view content, AlertParseFailure& failure);

// "<directory>\<number as %08d>.TMP" into `out` (`size` bytes); one backslash only when the
// directory ends with one. False when it does not fit in 259 characters (or in `size`).
bool MakeAlertTempName(std::string_view directory, std::uint32_t number, char* out,
                       std::size_t size);

// The number of a ready alert file's name ("-"? digits ".ALR", as the writer's "%08d" makes
// them); nothing for any other name.
std::optional<std::int64_t> ReadyNumber(std::string_view name);

// The ready files a reader takes next: at most `limit` names, the lowest numbers, holding no
// more than `limit` names however many are offered.
class ReadyAlertSelection {
  public:
    explicit ReadyAlertSelection(std::size_t limit) : limit_(limit) {}
    // Offers `name`; false (and nothing kept) when it is no ready alert file name.
    bool Offer(std::string_view name);
    // The names kept, lowest number first (equal numbers by name); the selection is emptied.
    std::vector<std::string> Take();

  private:
    using Entry = std::pair<std::int64_t, std::string>;
    std::priority_queue<Entry> lowest_;  // a max-heap: its top is the first to give way
    std::size_t limit_;
};

// The numbers an alert may be named by: the tick count and the next few (wrapping at 2^32 like
// the tick count itself), so that names keep their order while senders rarely collide; then
// every number of the eight-digit space once, from a random place with a stride that reaches
// them all, so that senders sharing one tick count spread out instead of queueing behind each
// other's names.
class AlertNumbering {
  public:
    // `space`: the numbers spread over, 0 to space - 1; a power of ten (tests use small ones).
    explicit AlertNumbering(std::uint32_t tick, std::uint32_t neighbours = kAlertNeighbours,
                            std::uint32_t space = kAlertNumberSpace);
    // The next number to try; false only when every number has been offered.
    bool Take(std::uint32_t* number);

  private:
    std::uint32_t next_;
    std::uint32_t neighboursLeft_;
    std::uint32_t space_;
    std::uint32_t spreadLeft_;
};

}  // namespace kx
