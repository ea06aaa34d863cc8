// send_fuzz.cpp: a whole send through the core with records and registry values from the input.
//
// Each run writes a registry file (the alerting switch and path, the address switch, the event's
// definition, the defaults and the forwarding list) whose values have any type, any size and
// often no terminator, points VEL_REGISTRY at it and sends through the core on records filled
// from the input (most fields without terminator). The kernel and utility libraries are doubles
// that read every byte they are given, so that a text read past its end is caught.
//
// Input: flags, event byte, fill byte, then per registry value a type byte, a size byte and that
// many bytes, then the record bytes.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "catalogue/definitions.h"
#include "common/registry.h"
#include "event/pipeline.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/registry_files.h"
#include "platform/platform.h"
#include "platform/regfile.h"
#include "runtime/siblings.h"
#include "runtime/state.h"

namespace {

namespace plat = kx::plat;

using kx::fuzz::Input;

// The doubles read every byte handed to them into this sink.
volatile std::uint8_t sink;

void Consume(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    for (std::size_t i = 0; i < size; ++i) sink = sink ^ bytes[i];
}

void ConsumeText(const char* text) {
    if (text != nullptr) Consume(text, std::strlen(text));
}

std::uint32_t KX_API FileCreate(const char* path) {
    ConsumeText(path);
    return 7;
}
std::uint32_t KX_API FileWrite(std::uint32_t, const void* data, std::uint32_t count) {
    Consume(data, count);
    return count;
}
std::uint32_t KX_API FileClose(std::uint32_t) {
    return 1;
}
std::uint32_t KX_API FileDelete(const char* path) {
    ConsumeText(path);
    return 1;
}
std::uint32_t KX_API CpuSerial(std::uint32_t* first, std::uint32_t* second, std::uint32_t* third) {
    *first = 0x0F29;
    *second = 0x12345678;
    *third = 0x9ABCDEF0;
    return 1;
}
std::uint32_t KX_API AddToEventLog(std::uint32_t, const char* source, const char* label,
                                   std::uint32_t, std::uint32_t, const char* text) {
    ConsumeText(source);
    ConsumeText(label);
    ConsumeText(text);
    return 1;
}

// Strings 140 and 141 take the path and the message; every other string is a product name.
int Strings(plat::Module, unsigned id, char* buffer, int size) {
    const char* text = id == 140 || id == 141 ? "Alert %s failed: %s" : "Fuzzed Product";
    if (size <= 0) return 0;
    const int length = std::min(static_cast<int>(std::strlen(text)), size - 1);
    std::memcpy(buffer, text, static_cast<std::size_t>(length));
    buffer[length] = '\0';
    return length;
}

bool NoHost(const char*, std::uint8_t* address) {
    std::memset(address, 0, 4);
    return false;
}

void Prepare() {
    kx::Siblings() = {FileCreate, FileWrite, FileClose, FileDelete, CpuSerial, AddToEventLog};
    plat::Hooks().LoadStringA = Strings;
    plat::Hooks().GetHostByName = NoHost;
    plat::Hooks().SetGroupReadable = [](const char*) { return true; };
    plat::Hooks().WatchFile = [](const char*) -> std::intptr_t { return 7; };
    plat::Hooks().FlushWatchedFile = [](std::intptr_t, const char*, std::uint64_t) { return true; };
    plat::Hooks().EndWatch = [](std::intptr_t) {};
    // Alert files are never created (the doubles keep them in memory): the rename that would
    // publish one fails at once.
    plat::Hooks().MoveFileA = [](const char*, const char*) {
        plat::SetLastError(plat::kErrorFileNotFound);
        return false;
    };
    std::snprintf(kx::LanguageCode, sizeof kx::LanguageCode, "0901");
    kx::DiagnosticsEnabled = true;  // traces read the texts too
}

kx::reg::Value FuzzedValue(const char* name, Input& input) {
    constexpr std::uint32_t kTypes[] = {plat::kRegNone,   plat::kRegSz,    plat::kRegExpandSz,
                                        plat::kRegBinary, plat::kRegDword, plat::kRegMultiSz};
    kx::reg::Value value;
    value.name = name;
    const std::uint8_t type = input.Byte();
    value.type = kTypes[type % std::size(kTypes)];
    // Sizes up to 255 bytes, and now and then beyond every buffer of the library.
    std::size_t size = input.Byte();
    if (type & 0x80) size *= 5;
    value.data = input.Bytes(size);
    return value;
}

void WriteRegistry(Input& input, std::int32_t eventId, std::uint8_t flags) {
    kx::reg::Document document;
    kx::reg::Key alerting{kx::kAlertingKey, {}};
    alerting.values.push_back(FuzzedValue("bEnableCAlert", input));
    kx::reg::Value path = FuzzedValue("Centralized Alerting Path", input);
    if (flags & 0x10) path.data.assign({'/', 't', 'm', 'p', '\0'});
    alerting.values.push_back(path);
    alerting.values.push_back(FuzzedValue("NoIP", input));
    document.keys.push_back(alerting);

    const std::string eventsKey = std::string(kx::kEventsKey) + "\\0901\\";
    kx::reg::Key definition{eventsKey + std::to_string(eventId), {}};
    for (const char* name : {"ID", "SHORTDESCRIPT", "LONGDESCRIPT", "URL", "RESOLUTION", "SEVERITY",
                             "bAlwaysAlert", "Append", "AppendPIII"}) {
        definition.values.push_back(FuzzedValue(name, input));
    }
    document.keys.push_back(definition);

    kx::reg::Key forwarding{kx::kForwardingKey, {}};
    const int modules = (flags >> 5) & 3;
    for (int i = 0; i < modules; ++i) {
        kx::reg::Value module = FuzzedValue("", input);
        module.name = i % 2 ? "Forwarder Dont Load" : "Forwarder " + std::to_string(i);
        // Never a real library: the scan reads the list, the loads fail.
        module.data.insert(module.data.begin(), {'/', 'n', 'o', 'n', 'e', '/'});
        forwarding.values.push_back(module);
    }
    document.keys.push_back(forwarding);

    static kx::fuzz::RegistryFiles files("kx-send-fuzz");
    files.Serve(kx::reg::Serialize(document));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool prepared = (Prepare(), true);
    (void)prepared;
    Input input(data, size);
    const std::uint8_t flags = input.Byte();
    const std::int32_t eventId = static_cast<std::int8_t>(input.Byte());
    const std::uint8_t fill = input.Byte();
    WriteRegistry(input, eventId, flags);

    // Records in blocks of their exact size, so that a read past either one is caught.
    auto message = std::make_unique<MessageRecord>();
    auto detail = std::make_unique<DetailRecord>();
    auto context = std::make_unique<ContextRecord>();
    input.FillRecord(message.get(), sizeof(MessageRecord), fill);
    input.FillRecord(detail.get(), sizeof(DetailRecord), fill);
    input.FillRecord(context.get(), sizeof(ContextRecord), fill);

    const std::uint32_t product = flags & 0x0F;
    kx::SendMessageEx(product, eventId, message.get(), detail.get(), context.get(), flags & 0x80);
    if (flags & 0x01) kx::SendEventEx(product, eventId, nullptr, 0);
    return 0;
}
