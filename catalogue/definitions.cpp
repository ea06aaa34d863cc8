// definitions.cpp: the message catalogue reader: the language's default texts, one event's
// definition written into the caller's records, severities and product display names.
#include "catalogue/definitions.h"

#include <string_view>

#include "catalogue/product_names.h"
#include "common/registry.h"
#include "common/text.h"
#include "runtime/resources.h"
#include "runtime/state.h"

namespace kx {

MessageDefaultsData MessageDefaults{};

namespace {

// The library's current language and its defaults, read as the catalogue's rules read them.
std::string_view CurrentLanguage() {
    return FieldText(LanguageCode);
}

}  // namespace

int LoadMessageDefaults() {
    if (MessageDefaults.szEventName[0] != '\0') return 1;
    return ReadMessageDefaults(PlatformRegistry(), CurrentLanguage(), MessageDefaults) ? 1 : 0;
}

int LoadMessageDefinition(std::int32_t eventId, MessageRecord* message, DetailRecord* detail) {
    if (message == nullptr || detail == nullptr) return 0;
    return ReadMessageDefinition(PlatformRegistry(), CurrentLanguage(), eventId, MessageDefaults,
                                 *message, *detail)
               ? 1
               : 0;
}

int GetProductName(std::uint32_t productId, char* name) {
    constexpr int kNameSize = sizeof(MessageRecord::szSoftwareName);
    if (name == nullptr) return 0;
    if (productId >= 1 && productId < ProductNameTable.count) {
        CopyText({name, kNameSize}, ProductNameTable.slots[productId]);
        return 1;
    }
    if (name[0] != '\0') return 1;
    if (plat::LoadStringA(ResourceModule, kStringProductName, name, kNameSize) > 0) {
        name[kNameSize - 1] = '\0';
        return 1;
    }
    name[0] = '\0';
    return 0;
}

}  // namespace kx
