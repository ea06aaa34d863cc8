// catalogue_fixture.h: what the catalogue's tests share: a registry file of their own named by
// VEL_REGISTRY, the current language, fresh message defaults, and a watch on the per-send blocks.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <set>
#include <string>
#include <string_view>

#include "catalogue/definitions.h"
#include "common/text.h"
#include "platform/testing.h"
#include "runtime/state.h"
#include "support.h"

namespace kx::test {

inline std::string DefaultsKey(std::string_view language) {
    return std::string("Software\\Velmora\\QRD\\Shared Components\\Events\\") +
           std::string(language) + "\\Defaults";
}

inline std::string EventKey(std::string_view language, long eventId) {
    return std::string("Software\\Velmora\\QRD\\Shared Components\\Events\\") +
           std::string(language) + "\\" + std::to_string(eventId);
}

// Each test writes its catalogue with Install() before the first registry read.
class CatalogueTest : public ::testing::Test {
  protected:
    void SetUp() override {
        kx::plat::testing::RestoreAllHooks();
        MessageDefaults = MessageDefaultsData{};
        SetLanguage("0407");
    }
    void TearDown() override { kx::plat::testing::RestoreAllHooks(); }

    static void SetLanguage(std::string_view code) { CopyText(LanguageCode, code); }

    void Install(const RegFile& reg) {
        reg.WriteTo(registry_);
        env_.emplace("VEL_REGISTRY", registry_.string());
    }

    TempDir dir_;
    std::filesystem::path registry_ = dir_ / "catalogue.reg";
    std::optional<ScopedEnv> env_{std::in_place, "VEL_REGISTRY", (dir_ / "none.reg").string()};
};

// Counts the blocks handed out through plat::Allocate and not yet released.
class BlockWatch {
  public:
    BlockWatch() : allocate_(&Allocate), release_(&Release) { Live().clear(); }
    static std::size_t Outstanding() { return Live().size(); }

  private:
    static std::set<void*>& Live() {
        static std::set<void*> live;
        return live;
    }
    static void* Allocate(std::size_t size) {
        void* block = kx::plat::DefaultHooks().Allocate(size);
        if (block != nullptr) Live().insert(block);
        return block;
    }
    static void Release(void* block) {
        Live().erase(block);
        kx::plat::DefaultHooks().Release(block);
    }
    kx::plat::testing::ScopedHook<&kx::plat::HookTable::Allocate> allocate_;
    kx::plat::testing::ScopedHook<&kx::plat::HookTable::Release> release_;
};

}  // namespace kx::test
