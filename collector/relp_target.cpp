// relp_target.cpp: a receiver as --to and --tls-pin name it: "relp://HOST:PORT" and a SHA-256
// certificate fingerprint, read and written again (on every system: the command parses them
// everywhere).
#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "collector/relp_sender.h"

namespace kx::collect {

RelpTarget ParseRelpUrl(const std::string& url) {
    constexpr std::string_view scheme = "relp://";
    if (!url.starts_with(scheme)) throw std::invalid_argument("expected relp://HOST:PORT");
    std::string rest = url.substr(scheme.size());
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    RelpTarget target;
    std::size_t colon;
    if (rest.starts_with('[')) {
        const std::size_t close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':')
            throw std::invalid_argument("expected relp://[ADDRESS]:PORT");
        target.host = rest.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = rest.rfind(':');
        if (colon == std::string::npos) throw std::invalid_argument("relp:// needs a :PORT");
        target.host = rest.substr(0, colon);
    }
    target.port = rest.substr(colon + 1);
    if (target.host.empty()) throw std::invalid_argument("relp:// needs a HOST");
    if (target.port.empty() || target.port.size() > 5 ||
        target.port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(target.port) == 0 || std::stoul(target.port) > 65535)
        throw std::invalid_argument("relp:// needs a PORT from 1 to 65535");
    return target;
}

std::string RelpUrl(const RelpTarget& target) {
    const bool v6 = target.host.find(':') != std::string::npos;
    return "relp://" + (v6 ? "[" + target.host + "]" : target.host) + ":" + target.port;
}

std::array<unsigned char, 32> ParseFingerprint(const std::string& text) {
    std::string_view rest = text;
    constexpr std::string_view prefix = "sha256:";
    if (rest.size() > prefix.size() &&
        std::equal(prefix.begin(), prefix.end(), rest.begin(), [](char want, char c) {
            return std::tolower(static_cast<unsigned char>(c)) == want;
        }))
        rest.remove_prefix(prefix.size());
    std::array<unsigned char, 32> digest{};
    std::size_t count = 0;
    int high = -1;
    for (const char c : rest) {
        if (c == ':') {
            if (high >= 0) throw std::invalid_argument("expected pairs of hexadecimal digits");
            continue;
        }
        const int value = std::isxdigit(static_cast<unsigned char>(c))
                              ? (std::isdigit(static_cast<unsigned char>(c))
                                     ? c - '0'
                                     : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10)
                              : -1;
        if (value < 0) throw std::invalid_argument("expected SHA256: and hexadecimal digits");
        if (high < 0) {
            high = value;
            continue;
        }
        if (count == digest.size()) throw std::invalid_argument("longer than SHA-256's 32 bytes");
        digest[count++] = static_cast<unsigned char>(high * 16 + value);
        high = -1;
    }
    if (high >= 0 || count != digest.size())
        throw std::invalid_argument("expected the 32 bytes of a SHA-256 fingerprint");
    return digest;
}

std::string FormatFingerprint(const unsigned char* digest, std::size_t size) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text = "SHA256";
    for (std::size_t i = 0; i < size; ++i) {
        text += ':';
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 0xF];
    }
    return text;
}

}  // namespace kx::collect
