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

add_library(kxevent_messages SHARED ${KX_EVENTLOG_MC_DIR}/eventlog_messages.rc)
set_target_properties(kxevent_messages PROPERTIES
    PREFIX "" OUTPUT_NAME KXEventMessages SUFFIX ".dll" LINKER_LANGUAGE C
    RUNTIME_OUTPUT_DIRECTORY ${KX_INSTALL_DIR_BUILD} LIBRARY_OUTPUT_DIRECTORY ${KX_INSTALL_DIR_BUILD})
# windres finds MSG00409.bin beside the script.
target_compile_options(kxevent_messages PRIVATE "-I${KX_EVENTLOG_MC_DIR}")
target_link_options(kxevent_messages PRIVATE -nostdlib -Wl,--entry=0)
kx_windows_module(kxevent_messages FILE KXEventMessages.dll
                  DESCRIPTION "kxevent event log messages" RESOURCE_ONLY)
install(TARGETS kxevent_messages RUNTIME DESTINATION ${KX_INSTALL_SUBDIR}
        LIBRARY DESTINATION ${KX_INSTALL_SUBDIR})
