// setuid_host.cpp: a reporting product installed set-user-ID. Loads KXEvent.DLL, sends one
// event, writes one event-log entry, and prints what the platform told it:
//
//   kx_security_host <KXEvent.DLL>
//   -> euid=<n> secure=<0|1> tick=<n> key=<seen|absent>
//
// "key" says whether the key SOFTWARE\KxProbe could be opened in the registry in use.
#include <sys/auxv.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "kxevent/kxevent.h"
#include "platform/platform.h"
#include "records.h"

namespace {

using kx::test::Records;

using SendFn = int(KX_API*)(uint32_t, int32_t, MessageRecord*, DetailRecord*, ContextRecord*);

void SendOne(const char* library) {
    kx::plat::Module module = kx::plat::LoadLibraryA(library);
    if (module == nullptr) return;
    if (auto send =
            reinterpret_cast<SendFn>(kx::plat::GetProcAddress(module, "EVENT_SendVELMessage"))) {
        auto records = std::make_unique<Records>();
        send(1, 1001, &records->message, &records->detail, &records->context);
    }
    kx::plat::FreeLibrary(module);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: kx_security_host <KXEvent.DLL>\n");
        return 2;
    }
    SendOne(argv[1]);
    kx::plat::AddEventLogEntry("KXEvent Probe", "Probe", 2, 0, "set-user-ID host");
    kx::plat::HKey key = nullptr;
    const bool seen = kx::plat::RegOpenKeyExA("SOFTWARE\\KxProbe", &key) == kx::plat::kErrorSuccess;
    if (key) kx::plat::RegCloseKey(key);
    std::printf("euid=%u secure=%lu tick=%u key=%s\n", static_cast<unsigned>(::geteuid()),
                ::getauxval(AT_SECURE), kx::plat::GetTickCount(), seen ? "seen" : "absent");
    return 0;
}
