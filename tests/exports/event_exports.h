// event_exports.h: what KXEvent.DLL exports: each name, its fixed ordinal, the number of
// 32-bit arguments it takes (and, under the Windows API calling convention, removes), and the
// ordinal whose function it is when it has no function of its own.
#pragma once

#include <array>
#include <string_view>

namespace kx::test {

struct EventExport {
    std::string_view name;
    int ordinal;
    int arguments;
    int functionOf = 0;  // ordinal of the export whose address it shares; 0: its own function
};

inline constexpr std::array<EventExport, 17> kEventExports = {{
    {"EVENT_SendAlertUsingAMgr", 1, 3},
    {"EVENT_ConfigureEventClient", 2, 1},
    {"EVENT_GetEventClientConfig", 3, 1, 2},
    {"EVENT_ConfigureEventMessages", 4, 1, 2},
    {"EVENT_ConfigureEventMessagesEx", 5, 3},
    {"EVENT_ConfigureEventMgrClient", 6, 1, 2},
    {"EVENT_ConfigureEventMgrClientEx", 7, 3, 5},
    {"EVENT_GetDefaultPublishedAM", 8, 3},
    {"EVENT_HasEventClientBeenConfigured", 9, 0},
    {"EVENT_IsEventClientConfigurable", 10, 0},
    {"EVENT_PopulateEventStructures", 11, 5},
    {"EVENT_QueryMessageText", 12, 7},
    {"EVENT_SelectAlertManagerDestination", 13, 3, 5},
    {"EVENT_SendVELEvent", 14, 3},
    {"EVENT_SendVELEventEx", 15, 6},
    {"EVENT_SendVELMessage", 16, 5},
    {"EVENT_SendVELMessageEx", 17, 8},
}};

}  // namespace kx::test
