// alert_file.h: reading central alert files back: the library's own parser and order of the
// ready files (common/alert_file.h), and the table and JSON forms the command prints.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "common/alert_file.h"

namespace kx::tool {

// The alert file's keys and content, shared with the library and the collector.
using kx::AlertKeyName;
using kx::kAlertKeys;
using AlertEntry = kx::AlertValue;  // text exactly as stored
using AlertFile = kx::AlertContent;

// The ready alert files ("NUMBER.ALR", regular files only, links not followed) of `directory`,
// lowest number first, as the collector takes them; `error` says when it could not be listed.
std::vector<std::filesystem::path> ListAlertFiles(const std::filesystem::path& directory,
                                                  std::error_code& error);

// Parses the content of one alert file as the collector does. Throws RuntimeError
// "<origin>: line N: ..." for anything that is not a complete, well-formed alert.
AlertFile ParseAlertFile(std::string_view content, std::string_view origin);

// Two columns, key and value; control characters in values are shown escaped.
std::string FormatAlertTable(const AlertFile& alert);
// One JSON object: {"file": ..., "CentralAlert": {key: value, ...}} with numbers as numbers.
std::string FormatAlertJson(const AlertFile& alert, std::string_view file);

// A JSON string literal for 8-bit text: valid UTF-8 passes through, other bytes are taken as
// Latin-1 characters; every control character, C1 (U+0080 to U+009F) included, is escaped.
std::string JsonString(std::string_view text);

}  // namespace kx::tool
