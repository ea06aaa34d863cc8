// event_library.h: KXEvent.DLL loaded the way a product loads it (LoadLibraryA of its full
// path, exports found by name), and a zeroed set of the three records a product passes.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "kxevent/kxevent.h"
#include "tests/support/records.h"

namespace kx::wine {

using test::NewRecords;
using test::Records;

class EventLibrary {
  public:
    // Loads the library; loaded() tells whether the system accepted it, error() why not.
    explicit EventLibrary(const std::string& path);
    ~EventLibrary();
    EventLibrary(const EventLibrary&) = delete;
    EventLibrary& operator=(const EventLibrary&) = delete;

    bool loaded() const { return module_ != nullptr; }
    DWORD error() const { return error_; }
    HMODULE module() const { return module_; }

    // The export `name`, or null.
    FARPROC Entry(const char* name) const;

    int Send(std::uint32_t product, std::int32_t event, Records& records) const;
    int SendEx(std::uint32_t product, std::int32_t event, Records& records,
               std::uint32_t suppressAlert) const;
    int SendEvent(std::uint32_t product, std::int32_t event, const char* task) const;
    int Populate(std::uint32_t product, const char* task, Records& records) const;
    int Query(std::uint32_t product, std::int32_t event, Records& records, char* text,
              std::uint32_t size) const;

  private:
    template <typename Function>
    Function Get(const char* name) const;

    HMODULE module_ = nullptr;
    DWORD error_ = 0;
};

}  // namespace kx::wine
