// forwarding_slots.h: the per-send table of forwarding modules and the steps that fill, call
// and empty it.
//
// Internal to the delivery subsystem; the send reaches it through forwarding.h.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/platform_block.h"
#include "kxevent/kxevent.h"
#include "platform/platform.h"

namespace kx {

inline constexpr std::size_t kForwardingSlotCount = 16;
inline constexpr std::uint32_t kForwardingValuesExamined = 16;
inline constexpr std::size_t kForwardingNameSize = 260;
inline constexpr std::size_t kForwardingDataSize = 260;
inline constexpr std::string_view kDontLoadMark = " Dont Load";

// A loaded module; freed when its owner lets it go.
class ModuleRef {
  public:
    ModuleRef() = default;
    explicit ModuleRef(plat::Module module) : module_(module) {}
    ~ModuleRef() { reset(); }
    ModuleRef(ModuleRef&& other) noexcept : module_(other.release()) {}
    ModuleRef& operator=(ModuleRef&& other) noexcept {
        if (this != &other) {
            reset();
            module_ = other.release();
        }
        return *this;
    }
    ModuleRef(const ModuleRef&) = delete;
    ModuleRef& operator=(const ModuleRef&) = delete;

    explicit operator bool() const { return module_ != nullptr; }
    plat::Module get() const { return module_; }
    plat::Module release() {
        plat::Module module = module_;
        module_ = nullptr;
        return module;
    }
    void reset() {
        if (module_ != nullptr) plat::FreeLibrary(release());
    }

  private:
    plat::Module module_ = nullptr;
};

struct ForwardingSlot {
    HeapText description;
    HeapText modulePath;
    ModuleRef module;
    ForwardVELMessageFn forward = nullptr;
    void* unloadCheck = nullptr;

    // A slot holding a module is never free, even when its path could not be copied.
    bool IsFree() const { return !module && !modulePath; }
};

// The slots of one send. Whatever is still loaded when it goes is unloaded, slot 0 first.
struct ForwardingTable {
    std::array<ForwardingSlot, kForwardingSlotCount> slots;

    ForwardingTable() = default;
    ~ForwardingTable();
    ForwardingTable(const ForwardingTable&) = delete;
    ForwardingTable& operator=(const ForwardingTable&) = delete;
};

// True when a value of this name is passed over: it ends with " Dont Load", exact case.
bool HasDontLoadMark(std::string_view valueName);

// Reads the Forwarding key and loads each listed module into the next free slot.
void FindForwardingDlls(ForwardingTable& table);
// Loads one module into slot `index`; the slot stays free when it cannot be used.
void LoadForwardingDll(ForwardingTable& table, const char* description, const char* modulePath,
                       std::size_t index);
void UnloadForwardingDll(ForwardingTable& table, std::size_t index);
// Unloads every slot holding a module, slot 0 first.
void UnloadForwardingDlls(ForwardingTable& table);

}  // namespace kx
