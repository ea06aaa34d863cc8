# Compiles a file holding `#include "HEADER"` with the include directories INCLUDES and checks
# the outcome. EXPECT=found: it must compile. EXPECT=refused: it must fail, and because HEADER
# was not found, not for some other reason that would prove nothing about the include path.
# Run by ctest: cmake -DCOMPILER=... -DINCLUDES=... -DHEADER=... -DEXPECT=... -DWORK_DIR=... -P
file(MAKE_DIRECTORY ${WORK_DIR})
set(probe ${WORK_DIR}/probe.cpp)
file(WRITE ${probe} "#include \"${HEADER}\"\n")
set(flags)
foreach(dir IN LISTS INCLUDES)
    list(APPEND flags "-I${dir}")
endforeach()
execute_process(
    COMMAND ${COMPILER} -std=c++20 -fsyntax-only ${flags} ${probe}
    RESULT_VARIABLE result
    OUTPUT_VARIABLE output
    ERROR_VARIABLE output)
if(EXPECT STREQUAL "found")
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "${HEADER} does not compile with ${INCLUDES}:\n${output}")
    endif()
elseif(EXPECT STREQUAL "refused")
    if(result EQUAL 0)
        message(FATAL_ERROR "${HEADER} is reachable through ${INCLUDES}")
    endif()
    string(FIND "${output}" "${HEADER}: No such file" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "the probe failed, but not for a missing ${HEADER}:\n${output}")
    endif()
else()
    message(FATAL_ERROR "EXPECT must be found or refused, not '${EXPECT}'")
endif()
message(STATUS "${HEADER}: ${EXPECT} as expected")
