// alert_file.cpp: the lines, the strict parser, the names and the numbering of alert files.
#include "common/alert_file.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <random>

namespace kx {

namespace {

constexpr std::size_t kMaxNameLength = kAlertNameSize - 1;

// The writer writes numbers in plain decimal: digits only, no sign, no leading zero.
bool IsCanonicalNumber(std::string_view text) {
    if (text.empty() || text.size() > 10 || (text.size() > 1 && text[0] == '0')) return false;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value <= 0xFFFFFFFFu;
}

std::optional<AlertContent> Fail(AlertParseFailure& failure, int line, std::string reason) {
    failure.line = line;
    failure.reason = std::move(reason);
    return std::nullopt;
}

// A stride through the eight-digit numbers that visits each of them once: odd and no multiple
// of 5, so prime to 10^8 and to every other power of ten.
constexpr std::uint32_t kSpreadStride = 38196601;
static_assert(kSpreadStride % 2 != 0 && kSpreadStride % 5 != 0);

// Where a sender starts spreading out: random, so that senders sharing one tick count take
// different paths through the free numbers. Asked of the system each time (only sends whose
// neighbouring names were all taken get here): a generator kept in the process would hand the
// same numbers to every process forked from it.
std::uint32_t RandomSpreadStart() {
    return static_cast<std::uint32_t>(std::random_device{}() % kAlertNumberSpace);
}

}  // namespace

std::size_t FormatAlertLine(std::string_view name, bool number, std::uint32_t value,
                            const std::optional<std::string_view>& text, char* line) {
    char* const end = line + kAlertLineSize - 2;  // room for CR LF
    char* at = line;
    std::memcpy(at, name.data(), name.size());
    at += name.size();
    *at++ = '=';
    if (number) {
        at = std::to_chars(at, end, value).ptr;
    } else if (text) {
        const std::size_t room = static_cast<std::size_t>(end - at);
        const std::size_t n = text->size() < room ? text->size() : room;
        std::memcpy(at, text->data(), n);
        // Only the last line may run on over several physical lines: a reader takes it to the
        // end of the file. A line break anywhere before it would start a line of the writer's
        // choosing.
        if (name != kAlertMultiLineKey) {
            for (char* c = at; c != at + n; ++c) {
                if (*c == '\r' || *c == '\n') *c = ' ';
            }
        }
        at += n;
    }
    *at++ = '\r';
    *at++ = '\n';
    return static_cast<std::size_t>(at - line);
}

const std::string* AlertContent::Find(std::string_view key) const {
    for (const AlertValue& entry : values) {
        if (entry.key == key) return &entry.value;
    }
    return nullptr;
}

const std::string& AlertContent::Value(std::string_view key) const {
    static const std::string empty;
    const std::string* value = Find(key);
    return value != nullptr ? *value : empty;
}

std::optional<AlertContent> ParseAlertFile(std::string_view content, AlertParseFailure& failure) {
    if (content.size() > kMaxAlertFileSize) {
        return Fail(failure, 0, "the file is larger than 64 KiB");
    }
    if (const auto nul = content.find('\0'); nul != std::string_view::npos) {
        int line = 1;
        for (std::size_t i = 0; i < nul; ++i) line += content[i] == '\n';
        return Fail(failure, line, "the file holds a NUL byte");
    }
    if (!content.starts_with(kAlertSectionLine)) {
        return Fail(failure, 1, "expected the section line [CentralAlert] ended by CR LF");
    }
    AlertContent alert;
    alert.values.reserve(kAlertKeys.size());
    std::size_t at = kAlertSectionLine.size();
    int line = 2;
    for (const AlertKeyName& key : kAlertKeys) {
        const std::string_view rest = content.substr(at);
        if (!rest.starts_with(key.name) || rest.substr(key.name.size(), 1) != "=") {
            return Fail(failure, line, "expected the key " + std::string(key.name));
        }
        const std::size_t begin = at + key.name.size() + 1;
        std::string_view value;
        if (key.name == kAlertMultiLineKey) {
            // The description may itself hold line breaks: it runs to the file's last CR LF.
            if (!content.ends_with("\r\n") || content.size() < begin + 2) {
                return Fail(failure, line, "szActualMessage is not ended by CR LF");
            }
            value = content.substr(begin, content.size() - 2 - begin);
            at = content.size();
        } else {
            const std::size_t end = content.find('\n', begin);
            if (end == std::string_view::npos) {
                return Fail(failure, line, "the line has no line end; the file is incomplete");
            }
            if (end == begin || content[end - 1] != '\r') {
                return Fail(failure, line, "the line ends with LF alone, not CR LF");
            }
            value = content.substr(begin, end - 1 - begin);
            if (value.find('\r') != std::string_view::npos) {
                return Fail(failure, line, "a CR inside the value of " + std::string(key.name));
            }
            at = end + 1;
        }
        if (key.number && !IsCanonicalNumber(value)) {
            return Fail(failure, line, std::string(key.name) + " needs an unsigned 32-bit number");
        }
        alert.values.push_back({key.name, key.number, std::string(value)});
        ++line;
    }
    return alert;
}

bool MakeAlertTempName(std::string_view directory, std::uint32_t number, char* out,
                       std::size_t size) {
    const bool endsWithBackslash = !directory.empty() && directory.back() == '\\';
    char tail[24];
    const int tailLength =
        std::snprintf(tail, sizeof tail, endsWithBackslash ? "%08d.TMP" : "\\%08d.TMP",
                      static_cast<std::int32_t>(number));
    const std::size_t length = directory.size() + static_cast<std::size_t>(tailLength);
    if (length > kMaxNameLength || length >= size) return false;
    std::memcpy(out, directory.data(), directory.size());
    std::memcpy(out + directory.size(), tail, static_cast<std::size_t>(tailLength) + 1);
    return true;
}

std::optional<std::int64_t> ReadyNumber(std::string_view name) {
    if (!name.ends_with(".ALR")) return std::nullopt;
    std::string_view digits = name.substr(0, name.size() - 4);
    bool negative = false;
    if (digits.starts_with('-')) {
        negative = true;
        digits.remove_prefix(1);
    }
    if (digits.empty() || digits.size() > 12) return std::nullopt;
    std::int64_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return negative ? -value : value;
}

bool ReadyAlertSelection::Offer(std::string_view name) {
    const std::optional<std::int64_t> number = ReadyNumber(name);
    if (!number) return false;
    if (lowest_.size() < limit_) {
        lowest_.emplace(*number, name);
    } else if (limit_ > 0 && Entry(*number, name) < lowest_.top()) {
        lowest_.pop();
        lowest_.emplace(*number, name);
    }
    return true;
}

std::vector<std::string> ReadyAlertSelection::Take() {
    std::vector<std::string> names(lowest_.size());
    for (std::size_t i = lowest_.size(); i > 0; --i) {
        names[i - 1] = lowest_.top().second;
        lowest_.pop();
    }
    return names;
}

AlertNumbering::AlertNumbering(std::uint32_t tick, std::uint32_t neighbours, std::uint32_t space)
    : next_(tick), neighboursLeft_(neighbours), space_(space), spreadLeft_(space) {}

bool AlertNumbering::Take(std::uint32_t* number) {
    if (neighboursLeft_ > 0) {
        --neighboursLeft_;
        *number = next_++;
        return true;
    }
    if (spreadLeft_ == 0) return false;
    if (spreadLeft_ == space_) next_ = RandomSpreadStart() % space_;  // first spread number
    --spreadLeft_;
    *number = next_;
    next_ = static_cast<std::uint32_t>((std::uint64_t{next_} + kSpreadStride) % space_);
    return true;
}

}  // namespace kx
