// alert_log.cpp: formatting and logging a failed central alert.
//
// Strings 140 and 141 come from a resource module that someone else ships: they are never
// handed to printf. Each is checked for exactly two "%s" and filled in here, bounded.
#include "delivery/alert_log.h"

#include "common/text.h"
#include "platform/platform.h"
#include "runtime/resources.h"
#include "runtime/siblings.h"
#include "runtime/state.h"

namespace kx {

namespace {

constexpr std::string_view kPlainFormat = "%s: %s";

// Appends `text` at `*used` inside `out` (keeping one byte for the terminator).
void Append(std::span<char> out, std::size_t* used, std::string_view text) {
    *used += CopyText(out.subspan(*used), text);
}

}  // namespace

bool IsTwoTextFormat(std::string_view format) {
    int texts = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') continue;
        if (i + 1 == format.size()) return false;
        const char conversion = format[++i];
        if (conversion == 's') {
            ++texts;
        } else if (conversion != '%') {
            return false;
        }
    }
    return texts == 2;
}

void FormatTwoTexts(std::string_view format, std::string_view first, std::string_view second,
                    std::span<char> out) {
    if (out.empty()) return;
    std::size_t used = 0;
    int texts = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && i + 1 < format.size()) {
            const char conversion = format[++i];
            if (conversion == 's') {
                Append(out, &used, texts++ == 0 ? first : second);
                continue;
            }
            Append(out, &used, std::string_view(&format[i], 1));  // "%%"
            continue;
        }
        Append(out, &used, std::string_view(&format[i], 1));
    }
    out[used] = '\0';
}

void LogAlertFailure(unsigned stringId, std::string_view path, std::string_view message) {
    char format[kAlertStringSize] = {};
    const int loaded = plat::LoadStringA(ResourceModule, stringId, format, sizeof format);
    std::string_view chosen = kPlainFormat;
    if (loaded > 0) {
        const std::string_view text = BoundedText(format);
        if (IsTwoTextFormat(text)) chosen = text;
    }
    char logged[kAlertLogTextSize];
    FormatTwoTexts(chosen, path, message, logged);
    UtilAddMessageToEventLog(kAlertLogSource, kAlertLogSource, 0, kAlertLogNumber, logged);
}

void LogAlertUnconfirmed(std::string_view path, std::string_view message) {
    char logged[kAlertLogTextSize];
    FormatTwoTexts(kUnconfirmedFormat, path, message, logged);
    UtilAddMessageToEventLog(kAlertLogSource, kAlertLogSource, kAlertLogWarningKind,
                             kAlertLogNumber, logged);
}

}  // namespace kx
