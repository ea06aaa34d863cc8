# The Windows backend of the platform layer: its sources join the static kxplatform library that
# every module links, and the sockets calls come from WSOCK32.dll.
target_sources(kxplatform PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/errors.cpp
    ${CMAKE_CURRENT_LIST_DIR}/eventlog.cpp
    ${CMAKE_CURRENT_LIST_DIR}/facts_view.cpp
    ${CMAKE_CURRENT_LIST_DIR}/files.cpp
    ${CMAKE_CURRENT_LIST_DIR}/locale.cpp
    ${CMAKE_CURRENT_LIST_DIR}/memory.cpp
    ${CMAKE_CURRENT_LIST_DIR}/module.cpp
    ${CMAKE_CURRENT_LIST_DIR}/net.cpp
    ${CMAKE_CURRENT_LIST_DIR}/registry.cpp
    ${CMAKE_CURRENT_LIST_DIR}/system.cpp
    ${CMAKE_CURRENT_LIST_DIR}/trust.cpp)
target_link_libraries(kxplatform PUBLIC wsock32 advapi32 user32)

# The message file of the event log: windmc compiles eventlog_messages.mc into a message table,
# linked into the resource-only KXEventMessages.dll that the installer registers for every
# source; its header lets eventlog.cpp check the identifiers against platform/eventlog_ids.h.
find_program(KX_WINDMC NAMES ${KX_MINGW_TRIPLE}-windmc windmc REQUIRED)
set(KX_EVENTLOG_MC ${CMAKE_CURRENT_LIST_DIR}/eventlog_messages.mc)
set(KX_EVENTLOG_MC_DIR ${CMAKE_CURRENT_BINARY_DIR}/eventlog_messages)
add_custom_command(
    OUTPUT ${KX_EVENTLOG_MC_DIR}/eventlog_messages.h ${KX_EVENTLOG_MC_DIR}/eventlog_messages.rc
    COMMAND ${CMAKE_COMMAND} -E make_directory ${KX_EVENTLOG_MC_DIR}
    COMMAND ${KX_WINDMC} -h ${KX_EVENTLOG_MC_DIR} -r ${KX_EVENTLOG_MC_DIR} ${KX_EVENTLOG_MC}
    DEPENDS ${KX_EVENTLOG_MC}
    COMMENT "Compiling the event log's message table"
    VERBATIM)
add_custom_target(kx_eventlog_messages_header DEPENDS ${KX_EVENTLOG_MC_DIR}/eventlog_messages.h)
add_dependencies(kxplatform kx_eventlog_messages_header)
target_include_directories(kxplatform PRIVATE ${KX_EVENTLOG_MC_DIR})

# kx_message_module(<target> <name> <windmc output dir> <.rc> <description>): a resource-only
# module of windmc's message table, installed beside the library.
function(kx_message_module target name mc_dir rc description)
    add_library(${target} SHARED ${rc})
    set_target_properties(${target} PROPERTIES
        PREFIX "" OUTPUT_NAME ${name} SUFFIX ".dll" LINKER_LANGUAGE C
        RUNTIME_OUTPUT_DIRECTORY ${KX_INSTALL_DIR_BUILD}
        LIBRARY_OUTPUT_DIRECTORY ${KX_INSTALL_DIR_BUILD})
    # windres finds MSG00409.bin beside the script.
    target_compile_options(${target} PRIVATE "-I${mc_dir}")
    target_link_options(${target} PRIVATE -nostdlib -Wl,--entry=0)
    kx_windows_module(${target} FILE ${name}.dll DESCRIPTION "${description}" RESOURCE_ONLY)
    install(TARGETS ${target} RUNTIME DESTINATION ${KX_INSTALL_SUBDIR}
            LIBRARY DESTINATION ${KX_INSTALL_SUBDIR})
endfunction()
kx_message_module(kxevent_messages KXEventMessages ${KX_EVENTLOG_MC_DIR}
                  ${KX_EVENTLOG_MC_DIR}/eventlog_messages.rc "kxevent event log messages")

# The alerting service's message file, KXEventAlerts.dll: each alert is written with its event
# number as the identifier, so the table gives every identifier from 0 to
# KX_EVENT_ALERTS_HIGHEST_ID the one text "%1" (the alert as the collector wrote it out). The
# .mc is made here, one entry repeated (an empty MessageId is the one before it plus one), and
# compiled by windmc like the other message file. Its categories are KXEventMessages.dll's.
file(STRINGS ${PROJECT_SOURCE_DIR}/platform/eventlog_ids.h highest_line
     REGEX "^#define KX_EVENT_ALERTS_HIGHEST_ID ")
string(REGEX REPLACE ".* ([0-9]+)u$" "\\1" highest_alert_id "${highest_line}")
if(NOT highest_alert_id MATCHES "^[0-9]+$")
    message(FATAL_ERROR "KX_EVENT_ALERTS_HIGHEST_ID not found in platform/eventlog_ids.h")
endif()
string(REPEAT "MessageId=\nLanguage=English\n%1\n.\n\n" ${highest_alert_id} following)
set(KX_ALERTS_MC_DIR ${CMAKE_CURRENT_BINARY_DIR}/eventlog_alerts)
set(KX_ALERTS_MC ${KX_ALERTS_MC_DIR}/eventlog_alerts.mc)
file(WRITE ${KX_ALERTS_MC}.new
     ";// eventlog_alerts.mc: made by platform/win32/win32.cmake; identifiers 0 to "
     "${highest_alert_id}, each \"%1\".\n"
     "MessageIdTypedef=DWORD\nLanguageNames=(English=0x409:MSG00409)\n\n"
     "MessageId=0\nLanguage=English\n%1\n.\n\n${following}")
file(COPY_FILE ${KX_ALERTS_MC}.new ${KX_ALERTS_MC} ONLY_IF_DIFFERENT)
file(REMOVE ${KX_ALERTS_MC}.new)
add_custom_command(
    OUTPUT ${KX_ALERTS_MC_DIR}/eventlog_alerts.rc
    COMMAND ${KX_WINDMC} -h ${KX_ALERTS_MC_DIR} -r ${KX_ALERTS_MC_DIR} ${KX_ALERTS_MC}
    DEPENDS ${KX_ALERTS_MC}
    COMMENT "Compiling the alerting service's message table"
    VERBATIM)
kx_message_module(kxevent_alerts_messages KXEventAlerts ${KX_ALERTS_MC_DIR}
                  ${KX_ALERTS_MC_DIR}/eventlog_alerts.rc
                  "kxevent alerting service event log messages")
