// collect_command.cpp: the options and the help of "kxevent collect", on every system; the
// collector itself runs on Linux only (collect_command_posix.cpp).
#include "tools/kxevent/collect_command.h"

#include <string>

#include "tools/kxevent/commands.h"
#include "tools/kxevent/options.h"

namespace kx::tool {

namespace {

constexpr Option kCollectOptions[] = {
    {kDir, "--dir", "DIR", "an alerting directory (repeatable; default: the registry's one)"},
    {kTo, "--to", "URL", "the receiver, relp://HOST:PORT; again: receivers to fail over to"},
    {kTlsCa, "--tls-ca", "FILE",
     "use TLS; the receiver needs a certificate of this CA for its --to host"},
    {kTlsCert, "--tls-cert", "FILE", "the collector's own certificate, for receivers that ask"},
    {kTlsKey, "--tls-key", "FILE", "the key of that certificate"},
    {kTlsPeer, "--tls-peer", "NAME",
     "accept a certificate for this name or address too (repeatable)"},
    {kTlsPin, "--tls-pin", "SHA256",
     "accept only the certificate of this fingerprint (repeatable)"},
    {kOnce, "--once", "", "send what is there and exit: 0 when every file was acknowledged"},
    {kKeep, "--keep", "DIR", "move acknowledged files into DIR (same file system)"},
    {kState, "--state", "DIR", "holds the lock that keeps a second collector away"},
    {kMetrics, "--metrics", "FILE", "counters in the Prometheus text format, replaced atomically"},
    {kVerbose, "--verbose", "", "(-v) log every session and every acknowledged file",
     OptionLayout::kLine, "-v"},
};

constexpr char kCollectAbout[] =
    "Sends every central alert file (*.ALR, oldest number first) of the alerting directories\n"
    "as one RFC 5424 message over RELP, and removes a file only after the receiver acknowledged\n"
    "it. Entries that are not alert files go to bad/ beside them with a .why file. Without\n"
    "--dir, the registry's \"Centralized Alerting Path\" is collected. With several --to, alerts\n"
    "go to the first receiver that answers; a failed session fails over to the next.\n";

constexpr char kCollectWatching[] =
    "Without --once it watches the directories (inotify, and a rescan every 5 s for shared\n"
    "directories) until SIGTERM or SIGINT. Exit status: 0 success, 1 failure, 2 usage error.\n";

std::string CollectUsage() {
    const auto& o = kCollectOptions;
    return "usage: kxevent collect " + Synopsis(o[kDir], true) + " " + Spelled(o[kTo]) + " " +
           Synopsis(o[kTo], true) + " " + Synopsis(o[kVerbose]) + "\n                       [" +
           Spelled(o[kTlsCa]) + " [" + Spelled(o[kTlsCert]) + " " + Spelled(o[kTlsKey]) +
           "]\n                        " + Synopsis(o[kTlsPeer], true) + " " +
           Synopsis(o[kTlsPin], true) + "]\n                       " + Synopsis(o[kOnce]) + " " +
           Synopsis(o[kKeep]) + " " + Synopsis(o[kState]) + " " + Synopsis(o[kMetrics]);
}

}  // namespace

std::span<const Option> CollectOptionTable() {
    return kCollectOptions;
}

std::string CollectHelp() {
    return CollectUsage() + "\n\n" + kCollectAbout + "\n" + FormatOptionList(kCollectOptions) +
           "\n" + kCollectWatching;
}

}  // namespace kx::tool
