# reg_to_wxs.cmake: the registry the Windows installer writes, made from the default registry
# (config/default.reg) that the Linux installation uses too, so that both carry one catalogue
# and one set of settings.
#
#   cmake -DINPUT=config/default.reg -DOUTPUT_DIR=<dir> -P reg_to_wxs.cmake
#
# writes two wixl include files of RegistryValue elements: registry_defaults.wxi (every key but
# the forwarding list) and registry_forwarding.wxi (the forwarding list and the syslog module's
# settings, which the package writes only when a syslog host is given). On Windows:
# - the installation directory is [INSTALLDIR] and the state directory [KXSTATEDIR] (both end
#   in a backslash, the paths below them take backslashes);
# - the syslog module's Transport, Host and Port come from the package's properties
#   SYSLOGTRANSPORT, SYSLOGHOST and SYSLOGPORT; the Unix socket settings are left out.
# A value with a placeholder left, or of a type this script does not convert, stops the build.
cmake_minimum_required(VERSION 3.20)
if(NOT INPUT OR NOT OUTPUT_DIR)
    message(FATAL_ERROR "usage: cmake -DINPUT=<.reg> -DOUTPUT_DIR=<dir> -P reg_to_wxs.cmake")
endif()

set(root_key "HKEY_LOCAL_MACHINE\\")
set(forwarding_key "Software\\Velmora\\QRD\\Shared Components\\Events\\Forwarding")
set(syslog_key "${forwarding_key}\\Syslog")
set(placeholders KXEVENT_INSTALL_DIR=INSTALLDIR KXEVENT_STATE_DIR=KXSTATEDIR)

# CMake's lists would split at semicolons and group at brackets: both are carried encoded.
file(READ "${INPUT}" text)
string(REPLACE "\r" "" text "${text}")
string(REPLACE ";" "@KXSEMI@" text "${text}")
string(REPLACE "[" "@KXLB@" text "${text}")
string(REPLACE "]" "@KXRB@" text "${text}")
string(REPLACE "\n" ";" lines "${text}")

# The text as a formatted (installer) string: brackets and braces are escaped as the
# installer's [\x]. (wixl itself doubles a leading #, which would mean a number.)
function(formatted out value)
    string(REPLACE "@KXSEMI@" ";" value "${value}")
    string(REPLACE "@KXLB@" "[\\[]" value "${value}")
    string(REPLACE "@KXRB@" "[\\]]" value "${value}")
    string(REPLACE "{" "[\\{]" value "${value}")
    string(REPLACE "}" "[\\}]" value "${value}")
    set(${out} "${value}" PARENT_SCOPE)
endfunction()

# The text as an XML attribute: & < > " as entities.
function(xml out value)
    string(REPLACE "&" "&amp;" value "${value}")
    string(REPLACE "<" "&lt;" value "${value}")
    string(REPLACE ">" "&gt;" value "${value}")
    string(REPLACE "\"" "&quot;" value "${value}")
    set(${out} "${value}" PARENT_SCOPE)
endfunction()

set(defaults "")
set(forwarding "")
set(key "")
set(line_number 0)
foreach(line IN LISTS lines)
    math(EXPR line_number "${line_number} + 1")
    string(STRIP "${line}" line)
    if(line STREQUAL "" OR line MATCHES "^(REGEDIT4|Windows Registry Editor)")
        continue()
    endif()
    if(line MATCHES "^@KXLB@(.*)@KXRB@$")
        set(key "${CMAKE_MATCH_1}")
        string(FIND "${key}" "${root_key}" at)
        if(NOT at EQUAL 0)
            message(FATAL_ERROR "${INPUT}:${line_number}: ${key} is not under ${root_key}")
        endif()
        string(LENGTH "${root_key}" skip)
        string(SUBSTRING "${key}" ${skip} -1 key)
        continue()
    endif()
    if(key STREQUAL "")
        message(FATAL_ERROR "${INPUT}:${line_number}: a value before the first key")
    endif()
    if(NOT line MATCHES "^\"([^\"]+)\"=(.*)$")
        message(FATAL_ERROR "${INPUT}:${line_number}: not a value line: ${line}")
    endif()
    set(name "${CMAKE_MATCH_1}")
    set(data "${CMAKE_MATCH_2}")

    if(key STREQUAL syslog_key AND name MATCHES "^(Socket|JournalSocket)$")
        continue()  # Unix sockets: Windows sends over UDP and TCP only
    endif()
    if(key STREQUAL syslog_key AND name STREQUAL "Transport")
        set(type string)
        set(value "[SYSLOGTRANSPORT]")
    elseif(key STREQUAL syslog_key AND name STREQUAL "Host")
        set(type string)
        set(value "[SYSLOGHOST]")
    elseif(key STREQUAL syslog_key AND name STREQUAL "Port")
        set(type integer)
        set(value "[SYSLOGPORT]")
    elseif(data MATCHES "^dword:([0-9a-fA-F][0-9a-fA-F][0-9a-fA-F][0-9a-fA-F][0-9a-fA-F][0-9a-fA-F][0-9a-fA-F][0-9a-fA-F])$")
        set(type integer)
        math(EXPR value "0x${CMAKE_MATCH_1}")
        if(value GREATER 2147483647)
            math(EXPR value "${value} - 4294967296")  # the installer's integers are signed
        endif()
    elseif(data MATCHES "^\"(.*)\"$")
        set(type string)
        set(value "${CMAKE_MATCH_1}")
        string(REPLACE "\\\\" "@KXBS@" value "${value}")
        string(REPLACE "\\\"" "\"" value "${value}")
        string(REPLACE "@KXBS@" "\\" value "${value}")
        formatted(value "${value}")
        set(path FALSE)
        foreach(pair IN LISTS placeholders)
            string(REPLACE "=" ";" pair "${pair}")
            list(GET pair 0 placeholder)
            list(GET pair 1 property)
            if(value MATCHES "@${placeholder}@")
                set(path TRUE)
            endif()
            string(REPLACE "@${placeholder}@/" "[${property}]" value "${value}")
            string(REPLACE "@${placeholder}@" "[${property}]" value "${value}")
        endforeach()
        if(path)
            string(REPLACE "/" "\\" value "${value}")
        endif()
    else()
        message(FATAL_ERROR "${INPUT}:${line_number}: value \"${name}\" has a type the Windows "
                            "installer does not convert (strings and dword: only): ${data}")
    endif()
    if(value MATCHES "@[A-Za-z_]+@")
        message(FATAL_ERROR "${INPUT}:${line_number}: value \"${name}\" keeps a placeholder: "
                            "${value}")
    endif()

    formatted(key_text "${key}")
    formatted(name_text "${name}")
    xml(key_text "${key_text}")
    xml(name_text "${name_text}")
    xml(value "${value}")
    string(FIND "${key}" "${forwarding_key}" at)
    if(at EQUAL 0)
        set(group forwarding)
    else()
        set(group defaults)
    endif()
    if("${${group}}" STREQUAL "")
        set(keypath " KeyPath=\"yes\"")
    else()
        set(keypath "")
    endif()
    string(APPEND ${group} "    <RegistryValue Root=\"HKLM\" Key=\"${key_text}\" Name=\"${name_text}\" "
                           "Type=\"${type}\" Value=\"${value}\"${keypath}/>\n")
endforeach()

foreach(group defaults forwarding)
    if("${${group}}" STREQUAL "")
        message(FATAL_ERROR "${INPUT}: no values for registry_${group}.wxi")
    endif()
    set(content "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<!-- Made from ${INPUT} by reg_to_wxs.cmake. -->\n<Include>\n${${group}}</Include>\n")
    file(WRITE "${OUTPUT_DIR}/registry_${group}.wxi.new" "${content}")
    file(COPY_FILE "${OUTPUT_DIR}/registry_${group}.wxi.new" "${OUTPUT_DIR}/registry_${group}.wxi"
         ONLY_IF_DIFFERENT)
    file(REMOVE "${OUTPUT_DIR}/registry_${group}.wxi.new")
endforeach()
