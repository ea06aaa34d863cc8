// relp_receiver.h: the receiver the package ships (examples/rsyslog), run by the tests' rsyslogd
// on a free port, for the collector's tests: one JSON line per alert in out.json, written before
// the acknowledgement, optionally with TLS. Also alert files as the library writes them, and
// what the receiver got, taken apart again.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"
#include "rsyslogd.h"

namespace kx::test {

// The kxevent command of the build tree.
inline const std::string kKxevent = std::string(KX_TEST_BINARY_DIR) + "/bin/kxevent";

// How many complete alert files (*.ALR) `dir` holds.
std::size_t CountReady(const std::filesystem::path& dir);

struct TlsFiles {
    std::filesystem::path ca, serverCert, serverKey, clientCert, clientKey;
    std::string tlsLib = {};  // the receiver's librelp backend, "gnutls" or "openssl"; default
};

// A CA, a server and a client certificate made with the openssl command in `dir`.
TlsFiles MakeCertificates(const std::filesystem::path& dir);

// With the openssl command in `dir`: a CA NAME.pem and NAME.key, and a key NAME.key with its
// certificate NAME.pem, signed by the CA `ca` of `dir` (self-signed when empty), for the
// extended key usage `usage` and the subject alternative names `names` ("DNS:a,IP:1.2.3.4").
void MakeCa(const std::filesystem::path& dir, const std::string& name);
void MakeCertificate(const std::filesystem::path& dir, const std::string& name,
                     const std::string& ca, const std::string& usage, const std::string& names);

class RelpReceiver {
  public:
    // Starts rsyslogd from the plain example, or with `tls` from the TLS one, whose input
    // requires a client certificate signed by its CA.
    RelpReceiver(const std::filesystem::path& dir, std::optional<TlsFiles> tls = std::nullopt);
    int port() const { return port_; }
    std::string url() const { return "relp://127.0.0.1:" + std::to_string(port_); }
    bool ready() const { return daemon_.ready(); }
    // Stops rsyslogd (SIGTERM: it writes what it acknowledged) and starts it again.
    void Stop() { daemon_.Stop(); }
    void Start() { daemon_.Start(); }
    std::filesystem::path output() const { return dir_ / "out.json"; }
    // The JSON lines written so far; waits until `count` are there or `seconds` passed.
    std::vector<std::string> WaitForLines(std::size_t count, int seconds = 10) const {
        return kx::test::WaitForLines(output(), count, seconds);
    }

  private:
    std::filesystem::path dir_;
    int port_;
    Rsyslogd daemon_;
};

// One received message: its structured-data parameters and its MSG.
struct Received {
    std::string sdId;  // the structured data's id, kxalert@NUMBER
    std::map<std::string, std::string> params;
    std::string msgid;     // the line's "event"
    std::string msg;       // as written, byte order mark and all
    std::string severity;  // the number of the line's severity name
};

// Takes apart one line of out.json. Throws std::runtime_error for a line it cannot read.
Received ParseReceived(const std::string& line);

// The bytes of an alert file with the given values for the 27 keys, keys in file order.
std::string AlertFileText(const std::vector<std::pair<std::string, std::string>>& values);
// A complete, valid alert: szVirusName `virus`, szActualMessage `message`.
std::string SampleAlert(const std::string& virus, const std::string& message);

}  // namespace kx::test
