// forwarding.cpp: handing a send to every forwarding module listed in the registry. Each send
// reads the list anew, loads each module, calls it once and unloads all of them before it
// returns.
#include "delivery/forwarding.h"

#include <optional>
#include <utility>

#include "common/registry.h"
#include "common/text.h"
#include "delivery/forwarding_slots.h"
#include "runtime/siblings.h"
#include "runtime/state.h"

namespace kx {

namespace {

constexpr char kForwardLabel[] = "VelEvent Forward";
constexpr char kForwardEntry[] = "ForwardVELMessage";
constexpr char kUnloadCheckEntry[] = "UnloadForwardingCheck";

std::uint32_t SlotNumber(std::size_t index) {
    return static_cast<std::uint32_t>(index);
}

// Traces a fixed field of a record without reading past it, and copies only when traced.
template <std::size_t N>
void TraceField(const char* label, std::size_t index, const char (&field)[N]) {
    if (!DiagnosticsEnabled) return;
    char text[N];
    CopyText(text, FieldText(field));
    Trace(label, SlotNumber(index), text);
}

// One value of the Forwarding key: its name and its data read as a bounded text.
struct ForwardingValue {
    char name[kForwardingNameSize] = {};
    char data[kForwardingDataSize] = {};
};

bool ReadForwardingValue(const RegKey& key, plat::Dword index, ForwardingValue* value) {
    plat::Dword nameChars = kForwardingNameSize;
    plat::Dword dataSize = kForwardingDataSize;
    const plat::Status status = plat::RegEnumValueA(key.get(), index, value->name, &nameChars,
                                                    nullptr, value->data, &dataSize);
    if (status != plat::kErrorSuccess) return false;
    TerminateReadText(value->name, nameChars);
    // Data of any type serves as a text of at most 259 characters.
    TerminateReadText(value->data, dataSize);
    return true;
}

// The first free slot for `modulePath`, or none when the path is already loaded or every slot
// is taken.
std::optional<std::size_t> SlotFor(const ForwardingTable& table, std::string_view modulePath) {
    std::optional<std::size_t> free;
    for (std::size_t i = 0; i < table.slots.size(); ++i) {
        const ForwardingSlot& slot = table.slots[i];
        if (slot.IsFree()) {
            if (!free) free = i;
        } else if (slot.modulePath && slot.modulePath.view() == modulePath) {
            return std::nullopt;
        }
    }
    return free;
}

template <typename Fn>
Fn EntryOf(plat::Module module, const char* name) {
    return reinterpret_cast<Fn>(plat::GetProcAddress(module, name));
}

}  // namespace

ForwardingTable::~ForwardingTable() {
    UnloadForwardingDlls(*this);
}

bool HasDontLoadMark(std::string_view valueName) {
    return valueName.ends_with(kDontLoadMark);
}

void FindForwardingDlls(ForwardingTable& table) {
    Trace(kForwardLabel, 0, "Looking for Forwarding Dlls");
    const RegKey key(kForwardingKey);
    if (!key) {
        Trace(kForwardLabel, 0, "No Forwarding RegKey");
        return;
    }
    for (plat::Dword index = 0; index < kForwardingValuesExamined; ++index) {
        ForwardingValue value;
        if (!ReadForwardingValue(key, index, &value)) break;
        if (HasDontLoadMark(value.name)) {
            Trace("LoadForwarding Dont Load Spotted", 0, value.name);
            continue;
        }
        if (const auto slot = SlotFor(table, value.data)) {
            LoadForwardingDll(table, value.name, value.data, *slot);
        }
    }
}

void LoadForwardingDll(ForwardingTable& table, const char* description, const char* modulePath,
                       std::size_t index) {
    if (description == nullptr || modulePath == nullptr || modulePath[0] == '\0' ||
        index >= table.slots.size()) {
        return;
    }
    const std::uint32_t number = SlotNumber(index);
    Trace("LoadForwarding Dll description in reg", number, description);
    Trace("LoadForwarding Dll name in reg about to load", number, modulePath);
    // Refused (and logged by the platform) when the list or the module could be changed by
    // other users: the list decides which code runs inside every reporting product.
    ModuleRef module(plat::LoadConfiguredLibraryA(modulePath));
    if (!module) {
        Trace("LoadForwarding LoadLibrary Failed", number, modulePath);
        return;
    }
    Trace("LoadForwarding LoadLibrary Success", number, modulePath);
    const auto forward = EntryOf<ForwardVELMessageFn>(module.get(), kForwardEntry);
    if (forward == nullptr) {
        Trace("LoadForwarding", number, "No ForwardVelMessage Function with GPA");
        return;  // the module is freed as `module` goes
    }
    void* unloadCheck = plat::GetProcAddress(module.get(), kUnloadCheckEntry);
    Trace("LoadForwarding GPA special UnloadForwardingCheck", number,
          unloadCheck != nullptr ? "Has Function" : "Doesnt have function");
    ForwardingSlot& slot = table.slots[index];
    slot.module = std::move(module);
    slot.forward = forward;
    slot.unloadCheck = unloadCheck;
    slot.description = HeapText(description);
    slot.modulePath = HeapText(modulePath);
}

void UnloadForwardingDll(ForwardingTable& table, std::size_t index) {
    if (index >= table.slots.size()) return;
    ForwardingSlot& slot = table.slots[index];
    Trace("UnloadForwardingDll", SlotNumber(index), slot.modulePath ? slot.modulePath.get() : "");
    slot.module.reset();
    slot.forward = nullptr;
    slot.unloadCheck = nullptr;
    slot.description.reset();
    slot.modulePath.reset();
}

void UnloadForwardingDlls(ForwardingTable& table) {
    for (std::size_t i = 0; i < table.slots.size(); ++i) {
        if (table.slots[i].module) UnloadForwardingDll(table, i);
    }
}

int ForwardEvent(std::uint32_t productId, std::int32_t eventId, MessageRecord* message,
                 DetailRecord* detail, ContextRecord* context) {
    ForwardingTable table;
    FindForwardingDlls(table);
    for (std::size_t i = 0; i < table.slots.size(); ++i) {
        const ForwardingSlot& slot = table.slots[i];
        if (!slot.module || slot.forward == nullptr) continue;
        if (message != nullptr)
            TraceField("ForwardVELMessage calling Forwarding", i, message->szLongDescript);
        slot.forward(productId, eventId, message, detail, context);
        if (message != nullptr)
            TraceField("ForwardVELMessage back from Forwarding", i, message->szLongDescript);
    }
    UnloadForwardingDlls(table);
    return 0;
}

}  // namespace kx
