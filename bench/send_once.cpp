// send_once.cpp: one send, or one floor drop, between two markers, for a system-call trace.
//
//   kxevent_send_once send [forwarders]   load KXEvent.DLL, send once to warm up, then send
//   kxevent_send_once floor               write one alert file with bare system calls
//
// The measured step lies between access("/kx-bench-mark-begin") and access("/kx-bench-mark-end"),
// two calls that nothing else makes, so that a trace can be cut to exactly that step.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/bench_setup.h"

namespace {

using namespace kx::bench;

void Mark(const char* name) {
    ::access(name, F_OK);
}

int SendOnce(const BenchDirectory& directory, int forwarders) {
    directory.UseRegistry(forwarders);
    LoadedLibrary library;
    if (!library) {
        std::fprintf(stderr, "kxevent_send_once: cannot load KXEvent.DLL\n");
        return 2;
    }
    const SampleRecords sample;
    SampleRecords records;
    records.Reset(sample);
    int result = library.send()(0, kBenchProduct, kBenchEvent, &records.message, &records.detail,
                                &records.context, 0, 0);
    EmptyDirectory(directory.alerts());
    records.Reset(sample);
    Mark("/kx-bench-mark-begin");
    result |= library.send()(0, kBenchProduct, kBenchEvent, &records.message, &records.detail,
                             &records.context, 0, 0);
    Mark("/kx-bench-mark-end");
    return result == EVENT_OK ? 0 : 1;
}

int FloorOnce(const BenchDirectory& directory) {
    std::vector<std::string> lines(28, "uKey=0\r\n");
    lines[0] = "[CentralAlert]\r\n";
    FloorDrop floor(directory.floor(), lines);
    Mark("/kx-bench-mark-begin");
    const bool dropped = floor.Drop(1);
    Mark("/kx-bench-mark-end");
    return dropped ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || (std::strcmp(argv[1], "send") != 0 && std::strcmp(argv[1], "floor") != 0)) {
        std::fprintf(stderr, "usage: kxevent_send_once send [forwarders] | floor\n");
        return 2;
    }
    ::unsetenv("VEL_EVENTLOG");
    const BenchDirectory directory;
    if (std::strcmp(argv[1], "floor") == 0) return FloorOnce(directory);
    return SendOnce(directory, argc > 2 ? std::atoi(argv[2]) : 0);
}
