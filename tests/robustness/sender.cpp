// sender.cpp: a reporting product under load. Loads KXEvent.DLL through the platform loader and
// sends from several threads, each on its own records, naming every send in szVirusName as
// "<tag>-<thread>-<send>" so that the alert files can be matched to their sends.
//
//   kx_robust_sender <KXEvent.DLL> <threads> <sends per thread> <tag> <tick count or 0>
//
// A non-zero tick count fixes the system's tick count for every send, as on a machine where
// many sends fall into one millisecond. Prints "sent <count> failed <count>" at the end.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kxevent/kxevent.h"
#include "platform/platform.h"
#include "records.h"

namespace {

using kx::test::Records;

using SendFn = int(KX_API*)(uint32_t, int32_t, MessageRecord*, DetailRecord*, ContextRecord*);

std::atomic<kx::plat::Dword> fixedTick{0};

kx::plat::Dword FixedTick() {
    return fixedTick.load();
}

void SendAll(SendFn send, const std::string& tag, int thread, int sends, std::atomic<int>& failed) {
    auto records = std::make_unique<Records>();
    for (int i = 0; i < sends; ++i) {
        *records = Records{};
        std::snprintf(records->detail.szVirusName, sizeof records->detail.szVirusName, "%s-%d-%d",
                      tag.c_str(), thread, i);
        if (send(1, 1001, &records->message, &records->detail, &records->context) != 0) {
            ++failed;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: kx_robust_sender <dll> <threads> <sends> <tag> <tick>\n");
        return 2;
    }
    const int threads = std::atoi(argv[2]);
    const int sends = std::atoi(argv[3]);
    const std::string tag = argv[4];
    fixedTick = static_cast<kx::plat::Dword>(std::strtoul(argv[5], nullptr, 0));
    if (fixedTick != 0) kx::plat::Hooks().GetTickCount = FixedTick;

    kx::plat::Module library = kx::plat::LoadLibraryA(argv[1]);
    if (library == nullptr) {
        std::printf("refused %u\n", static_cast<unsigned>(kx::plat::GetLastError()));
        return 3;
    }
    auto send = reinterpret_cast<SendFn>(kx::plat::GetProcAddress(library, "EVENT_SendVELMessage"));
    if (send == nullptr) return 4;
    std::atomic<int> failed{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back(SendAll, send, tag, t, sends, std::ref(failed));
    }
    for (auto& worker : workers) worker.join();
    kx::plat::FreeLibrary(library);
    std::printf("sent %d failed %d\n", threads * sends, failed.load());
    return 0;
}
