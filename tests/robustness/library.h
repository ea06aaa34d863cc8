// library.h: KXEvent.DLL of the build tree loaded into the test process through the platform
// loader, as a reporting product loads it, and its send export.
#pragma once

#include <gtest/gtest.h>

#include "kxevent/kxevent.h"
#include "platform/platform.h"
#include "records.h"

namespace kx::robust {

using test::Records;

using SendFn = int(KX_API*)(uint32_t, int32_t, MessageRecord*, DetailRecord*, ContextRecord*);

class LoadedLibrary {
  public:
    LoadedLibrary() : module_(plat::LoadLibraryA(KX_TEST_INSTALL_DIR "/KXEvent.DLL")) {
        if (module_) {
            send_ = reinterpret_cast<SendFn>(plat::GetProcAddress(module_, "EVENT_SendVELMessage"));
        }
    }
    ~LoadedLibrary() {
        if (module_) plat::FreeLibrary(module_);
    }
    LoadedLibrary(const LoadedLibrary&) = delete;
    LoadedLibrary& operator=(const LoadedLibrary&) = delete;
    explicit operator bool() const { return send_ != nullptr; }
    // One send on fresh records naming the send in szVirusName.
    int Send(const char* name) const {
        auto records = std::make_unique<Records>();
        std::snprintf(records->detail.szVirusName, sizeof records->detail.szVirusName, "%s", name);
        return send_(1, 1001, &records->message, &records->detail, &records->context);
    }

  private:
    plat::Module module_;
    SendFn send_ = nullptr;
};

}  // namespace kx::robust
