// collect_command.h: what the halves of "kxevent collect" share: the ids of its options, which
// index the table CollectOptionTable gives.
#pragma once

namespace kx::tool {

enum CollectOptionId {
    kDir,
    kTo,
    kTlsCa,
    kTlsCert,
    kTlsKey,
    kTlsPeer,
    kTlsPin,
    kOnce,
    kKeep,
    kState,
    kMetrics,
    kVerbose
};

}  // namespace kx::tool
