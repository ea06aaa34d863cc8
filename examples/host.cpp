// host.cpp: a small host program that loads KXEvent.DLL the way a reporting product does: with
// the platform loader, resolving exports by name, and releasing the library at the end.
//
//   kxhost [path to KXEvent.DLL] [event number] [product number]
//
// Without a path it loads the library from the installation directory beside the program
// (../lib/velmora/KXEvent.DLL). It calls a fixed-value export and queries an event's long
// description, printing both.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "kxevent/kxevent.h"
#include "platform/platform.h"

namespace {

namespace plat = kx::plat;

using GetDefaultPublishedAMFn = int(KX_API*)(uint32_t, uint32_t, uint32_t);
using QueryMessageTextFn = int(KX_API*)(uint32_t, int32_t, MessageRecord*, DetailRecord*,
                                        ContextRecord*, char*, uint32_t);

constexpr int32_t kDefaultEvent = 1000;
constexpr uint32_t kDefaultProduct = 1;
constexpr plat::Dword kPathBytes = 4096;

struct ModuleRelease {
    void operator()(plat::ModuleObject* module) const { plat::FreeLibrary(module); }
};
using ModuleHandle = std::unique_ptr<plat::ModuleObject, ModuleRelease>;

// The installation directory of a build tree or an installation: ../lib/velmora from bin/.
std::string DefaultLibraryPath() {
    char self[kPathBytes];
    const plat::Dword length = plat::GetModuleFileNameA(nullptr, self, sizeof self);
    std::string path(self, length);
    const auto slash = path.find_last_of("/\\");
    const std::string bin = slash == std::string::npos ? "." : path.substr(0, slash);
    return bin + "/../lib/velmora/KXEvent.DLL";
}

std::string SystemText(plat::Dword error) {
    char text[512];
    const plat::Dword length = plat::FormatSystemMessage(error, text, sizeof text);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
        message.pop_back();
    }
    return message.empty() ? "error " + std::to_string(error) : message;
}

// A record field as text, never reading past the field's end.
template <std::size_t N>
std::string Field(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

template <typename Fn>
Fn Resolve(plat::Module module, const char* name) {
    return reinterpret_cast<Fn>(plat::GetProcAddress(module, name));
}

int Query(plat::Module module, uint32_t product, int32_t event) {
    const auto query = Resolve<QueryMessageTextFn>(module, "EVENT_QueryMessageText");
    if (query == nullptr) {
        std::fprintf(stderr, "kxhost: EVENT_QueryMessageText is not exported\n");
        return 1;
    }
    // The records are large; keep them off the stack.
    auto message = std::make_unique<MessageRecord>();
    auto detail = std::make_unique<DetailRecord>();
    auto context = std::make_unique<ContextRecord>();
    char text[sizeof message->szLongDescript + 1] = {};
    const int result =
        query(product, event, message.get(), detail.get(), context.get(), text, sizeof text - 1);
    std::printf("EVENT_QueryMessageText(%u, %d) = %d\n", static_cast<unsigned>(product),
                static_cast<int>(event), result);
    if (result == EVENT_OK) {
        std::printf("  product:  %s\n  computer: %s\n  language: %s\n  text:     %s\n",
                    Field(message->szSoftwareName).c_str(), Field(message->szComputerName).c_str(),
                    Field(detail->szLanguageCode).c_str(), text);
    }
    return result == EVENT_OK ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string path = argc > 1 ? argv[1] : DefaultLibraryPath();
    const int32_t event = argc > 2 ? static_cast<int32_t>(std::atol(argv[2])) : kDefaultEvent;
    const uint32_t product =
        argc > 3 ? static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 0)) : kDefaultProduct;

    ModuleHandle library(plat::LoadLibraryA(path.c_str()));
    if (!library) {
        std::fprintf(stderr, "kxhost: cannot load %s: %s\n", path.c_str(),
                     SystemText(plat::GetLastError()).c_str());
        return 2;
    }
    const auto published =
        Resolve<GetDefaultPublishedAMFn>(library.get(), "EVENT_GetDefaultPublishedAM");
    if (published == nullptr) {
        std::fprintf(stderr, "kxhost: EVENT_GetDefaultPublishedAM is not exported\n");
        return 1;
    }
    std::printf("EVENT_GetDefaultPublishedAM = %d\n", published(0, 0, 0));
    return Query(library.get(), product, event);
}
