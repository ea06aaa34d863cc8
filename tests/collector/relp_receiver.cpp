// relp_receiver.cpp: rsyslogd as the collector's receiver in tests.
#include "relp_receiver.h"

#include <iterator>
#include <stdexcept>

#include "loopback.h"
#include "support.h"

namespace kx::test {

namespace fs = std::filesystem;

namespace {

void Openssl(const std::vector<std::string>& args) {
    const ProcessResult result = RunProcess("/usr/bin/openssl", args);
    if (result.exitCode != 0) throw std::runtime_error("openssl failed: " + result.err);
}

std::string JsonUnescape(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        switch (c) {
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'u': {
                const unsigned code = std::stoul(std::string(text.substr(i + 1, 4)), nullptr, 16);
                i += 4;
                if (code < 0x80) {
                    out += static_cast<char>(code);
                } else if (code < 0x800) {
                    out += static_cast<char>(0xC0 | (code >> 6));
                    out += static_cast<char>(0x80 | (code & 0x3F));
                } else {
                    out += static_cast<char>(0xE0 | (code >> 12));
                    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                    out += static_cast<char>(0x80 | (code & 0x3F));
                }
                break;
            }
            default:
                out += c;
        }
    }
    return out;
}

// The value of "key":"..." in one line of out.json, unescaped.
std::string JsonField(const std::string& line, const std::string& key) {
    const std::string opening = "\"" + key + "\":\"";
    const std::size_t begin = line.find(opening);
    if (begin == std::string::npos) throw std::runtime_error("no " + key + " in " + line);
    std::size_t at = begin + opening.size();
    std::size_t end = at;
    while (end < line.size() && line[end] != '"') end += line[end] == '\\' ? 2 : 1;
    return JsonUnescape(std::string_view(line).substr(at, end - at));
}

}  // namespace

std::size_t CountReady(const fs::path& dir) {
    std::size_t count = 0;
    for (const auto& entry : fs::directory_iterator(dir))
        count += entry.path().extension() == ".ALR";
    return count;
}

void MakeCa(const fs::path& dir, const std::string& name) {
    fs::create_directories(dir);
    Openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
             "-keyout", (dir / (name + ".key")).string(), "-out", (dir / (name + ".pem")).string(),
             "-days", "2", "-subj", "/CN=kxevent test " + name});
}

void MakeCertificate(const fs::path& dir, const std::string& name, const std::string& ca,
                     const std::string& usage, const std::string& names) {
    const std::string base = (dir / name).string();
    const std::string extensions =
        "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature\n"
        "extendedKeyUsage=" +
        usage + "\nsubjectAltName=" + names + "\n";
    WriteFile(dir / (name + ".ext"), extensions);
    const std::vector<std::string> key = {
        "-newkey",     "ec",    "-pkeyopt",   "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
        base + ".key", "-subj", "/CN=" + name};
    if (ca.empty()) {
        std::vector<std::string> args = {
            "req",         "-x509",       "-days",  "2",       "-out",
            base + ".pem", "-extensions", "v3_req", "-config", (dir / (name + ".cnf")).string()};
        WriteFile(dir / (name + ".cnf"),
                  "[req]\ndistinguished_name=dn\n[dn]\n[v3_req]\n" + extensions);
        args.insert(args.end(), key.begin(), key.end());
        Openssl(args);
        return;
    }
    std::vector<std::string> request = {"req", "-out", base + ".csr"};
    request.insert(request.end(), key.begin(), key.end());
    Openssl(request);
    Openssl({"x509", "-req", "-in", base + ".csr", "-CA", (dir / (ca + ".pem")).string(), "-CAkey",
             (dir / (ca + ".key")).string(), "-CAcreateserial", "-days", "2", "-extfile",
             (dir / (name + ".ext")).string(), "-out", base + ".pem"});
}

TlsFiles MakeCertificates(const fs::path& dir) {
    MakeCa(dir, "ca");
    for (const char* name : {"server", "client"})
        MakeCertificate(dir, name, "ca", "serverAuth,clientAuth", "DNS:localhost,IP:127.0.0.1");
    return {dir / "ca.pem", dir / "server.pem", dir / "server.key", dir / "client.pem",
            dir / "client.key"};
}

namespace {

Settings ReceiverSettings(const fs::path& dir, int port, const std::optional<TlsFiles>& tls) {
    Settings settings = {{"KXEVENT_RELP_PORT", std::to_string(port)},
                         {"KXEVENT_ALERTS_FILE", (dir / "out.json").string()}};
    if (tls) {
        settings.insert(settings.end(), {{"KXEVENT_TLS_CA", tls->ca.string()},
                                         {"KXEVENT_TLS_CERT", tls->serverCert.string()},
                                         {"KXEVENT_TLS_KEY", tls->serverKey.string()},
                                         {"KXEVENT_RELP_TLSLIB", tls->tlsLib}});
    }
    return settings;
}

// The number of a severity as rsyslog names it.
std::string SeverityNumber(const std::string& name) {
    static const char* const kNames[] = {"emerg",   "alert",  "crit", "err",
                                         "warning", "notice", "info", "debug"};
    for (std::size_t i = 0; i < std::size(kNames); ++i)
        if (name == kNames[i]) return std::to_string(i);
    throw std::runtime_error("unknown severity " + name);
}

}  // namespace

RelpReceiver::RelpReceiver(const fs::path& dir, std::optional<TlsFiles> tls)
    : dir_(dir),
      port_(FreeLoopbackPort()),
      daemon_(dir, ReceiverSettings(dir, port_, tls),
              {tls ? ReceiverTlsExample() : ReceiverExample()}) {}

Received ParseReceived(const std::string& line) {
    Received received;
    received.msgid = JsonField(line, "event");
    received.severity = SeverityNumber(JsonField(line, "severity"));
    received.msg = JsonField(line, "msg");
    const std::string sd = JsonField(line, "sd");
    // [ID name="value" ...] with '"', '\' and ']' escaped by a backslash in values.
    std::size_t at = sd.find(' ');
    if (!sd.starts_with("[") || at == std::string::npos) throw std::runtime_error("sd: " + sd);
    received.sdId = sd.substr(1, at - 1);
    while (at < sd.size() && sd[at] == ' ') {
        const std::size_t equals = sd.find("=\"", at);
        if (equals == std::string::npos) throw std::runtime_error("sd: " + sd);
        const std::string name = sd.substr(at + 1, equals - at - 1);
        std::string value;
        std::size_t i = equals + 2;
        for (; i < sd.size() && sd[i] != '"'; ++i) {
            if (sd[i] == '\\' && i + 1 < sd.size() &&
                (sd[i + 1] == '"' || sd[i + 1] == '\\' || sd[i + 1] == ']'))
                ++i;
            value += sd[i];
        }
        received.params[name] = value;
        at = i + 1;
    }
    return received;
}

std::string AlertFileText(const std::vector<std::pair<std::string, std::string>>& values) {
    std::string text = "[CentralAlert]\r\n";
    for (const auto& [key, value] : values) text += key + "=" + value + "\r\n";
    return text;
}

std::string SampleAlert(const std::string& virus, const std::string& message) {
    return AlertFileText({{"uFileVersion", "1"},
                          {"uStatus", "0"},
                          {"szVirusName", virus},
                          {"szItemName", "C:\\tmp\\a.exe"},
                          {"szUserName", "alice"},
                          {"szSoftware", "Scanner"},
                          {"szSoftwareVersion", "4.5"},
                          {"szComputerName", "scanhost"},
                          {"uYear", "2024"},
                          {"uMonth", "6"},
                          {"uDay", "30"},
                          {"uHour", "12"},
                          {"uMinute", "0"},
                          {"uSecond", "1"},
                          {"szAlertPath", "/alerts"},
                          {"uSeverity", "3"},
                          {"szSourceIP", "10.1.2.3"},
                          {"uMessageID", "1000"},
                          {"szTaskName", "scan"},
                          {"szGMTTime", "2024  6 30 12:00:01"},
                          {"szOS", "Linux"},
                          {"szEngineVersion", "4.4"},
                          {"szDatVersion", "4.1"},
                          {"dwWinStaClientID", "0"},
                          {"pszWinStaClientName", ""},
                          {"uSpecificTrap", "1000"},
                          {"szActualMessage", message}});
}

}  // namespace kx::test
