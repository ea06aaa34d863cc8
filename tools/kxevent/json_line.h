// json_line.h: one JSON object on one line, for the --json output of the command's verbs that
// print records (doctor, events, alert list): members in the order added, texts escaped as the
// platform's event-log lines are (UTF-8, every control character as \u00xx).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/utf8.h"

namespace kx::tool {

class JsonLine {
  public:
    JsonLine& Text(std::string_view name, std::string_view value) {
        Name(name);
        AppendJsonString(line_, value);
        return *this;
    }
    JsonLine& Number(std::string_view name, std::int64_t value) {
        Name(name);
        line_ += std::to_string(value);
        return *this;
    }
    JsonLine& Flag(std::string_view name, bool value) {
        Name(name);
        line_ += value ? "true" : "false";
        return *this;
    }
    // The object and its line end.
    std::string Line() const { return line_ + "}\n"; }

  private:
    void Name(std::string_view name) {
        line_ += line_.size() > 1 ? "," : "";
        AppendJsonString(line_, name);
        line_ += ":";
    }
    std::string line_ = "{";
};

}  // namespace kx::tool
