// event_library.cpp: KXEvent.DLL through the system's loader.
#include "event_library.h"

#include <stdexcept>

namespace kx::wine {

EventLibrary::EventLibrary(const std::string& path) {
    ::SetLastError(0);
    module_ = ::LoadLibraryA(path.c_str());
    if (module_ == nullptr) error_ = ::GetLastError();
}

EventLibrary::~EventLibrary() {
    if (module_ != nullptr) ::FreeLibrary(module_);
}

FARPROC EventLibrary::Entry(const char* name) const {
    return module_ != nullptr ? ::GetProcAddress(module_, name) : nullptr;
}

template <typename Function>
Function EventLibrary::Get(const char* name) const {
    const FARPROC entry = Entry(name);
    if (entry == nullptr) throw std::runtime_error(std::string("no export ") + name);
    return reinterpret_cast<Function>(reinterpret_cast<void*>(entry));
}

int EventLibrary::Send(std::uint32_t product, std::int32_t event, Records& records) const {
    const auto send = Get<decltype(&EVENT_SendVELMessage)>("EVENT_SendVELMessage");
    return send(product, event, &records.message, &records.detail, &records.context);
}

int EventLibrary::SendEx(std::uint32_t product, std::int32_t event, Records& records,
                         std::uint32_t suppressAlert) const {
    const auto send = Get<decltype(&EVENT_SendVELMessageEx)>("EVENT_SendVELMessageEx");
    return send(0, product, event, &records.message, &records.detail, &records.context,
                suppressAlert, 0);
}

int EventLibrary::SendEvent(std::uint32_t product, std::int32_t event, const char* task) const {
    const auto send = Get<decltype(&EVENT_SendVELEvent)>("EVENT_SendVELEvent");
    return send(product, event, task);
}

int EventLibrary::Populate(std::uint32_t product, const char* task, Records& records) const {
    const auto populate =
        Get<decltype(&EVENT_PopulateEventStructures)>("EVENT_PopulateEventStructures");
    return populate(product, task, &records.message, &records.detail, &records.context);
}

int EventLibrary::Query(std::uint32_t product, std::int32_t event, Records& records, char* text,
                        std::uint32_t size) const {
    const auto query = Get<decltype(&EVENT_QueryMessageText)>("EVENT_QueryMessageText");
    return query(product, event, &records.message, &records.detail, &records.context, text, size);
}

}  // namespace kx::wine
