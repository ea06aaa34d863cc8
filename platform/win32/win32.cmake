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
