# Checks that no verb of the kxevent command includes another verb's files: each verb builds on
# the command's shared modules, never on a sibling. A verb's file is one whose name matches
# VERB_PATTERN, its first group naming the verb; any other file is shared. Every #include of a
# verb's file that names a file of another verb fails the check, listed with its place.
# Run by ctest: cmake -DDIR=... -DVERB_PATTERN=... -P verb_probe.cmake
file(GLOB_RECURSE sources RELATIVE ${DIR} ${DIR}/*.cpp ${DIR}/*.h)
set(crossings)
foreach(source IN LISTS sources)
    get_filename_component(name ${source} NAME)
    if(NOT name MATCHES "${VERB_PATTERN}")
        continue()
    endif()
    set(verb ${CMAKE_MATCH_1})
    file(STRINGS ${DIR}/${source} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(line IN LISTS includes)
        string(REGEX REPLACE "^[^\"]*\"([^\"]*)\".*$" "\\1" header "${line}")
        get_filename_component(included ${header} NAME)
        if(included MATCHES "${VERB_PATTERN}" AND NOT CMAKE_MATCH_1 STREQUAL verb)
            list(APPEND crossings "${source} (verb ${verb}) includes ${header}")
        endif()
    endforeach()
endforeach()
if(crossings)
    list(JOIN crossings "\n  " text)
    message(FATAL_ERROR "a verb includes another verb's files:\n  ${text}")
endif()
message(STATUS "no verb includes another verb's files")
