// event_library.h: KXEvent.DLL loaded through the platform's module loader, as any product
// loads it, with the exports the command uses.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "kxevent/kxevent.h"
#include "platform/platform.h"

namespace kx::tool {

// The exports' own types, so that the compiler keeps them in step with the public header.
using SendMessageExFn = decltype(&EVENT_SendVELMessageEx);
using SendEventExFn = decltype(&EVENT_SendVELEventEx);
using QueryMessageTextFn = decltype(&EVENT_QueryMessageText);

// The installation directory that holds KXEvent.DLL: KXEVENT_LIBRARY_DIR when set; on Windows
// "szInstallDir" of the registry, then this executable's own directory, when KXEvent.DLL is
// there; else the installation directory relative to this executable (installed layout, then
// build tree).
std::filesystem::path FindLibraryDirectory();

class EventLibrary {
  public:
    // Loads KXEvent.DLL from `directory`; throws RuntimeError naming the reason.
    explicit EventLibrary(const std::filesystem::path& directory);
    ~EventLibrary();
    EventLibrary(const EventLibrary&) = delete;
    EventLibrary& operator=(const EventLibrary&) = delete;

    SendMessageExFn sendMessageEx = nullptr;
    SendEventExFn sendEventEx = nullptr;
    QueryMessageTextFn queryMessageText = nullptr;

  private:
    plat::Module module_ = nullptr;
};

// "EVENT_OK", "EVENT_ERR_NO_DEFINITION", ...; "unknown result" for anything else.
const char* ResultName(int result);
// One sentence saying what a non-zero result means to the user.
const char* ResultExplanation(int result);

}  // namespace kx::tool
