# The layers of KXEvent.DLL and the include views that keep each one to what lies beneath it.
#
# Every folder is reached as "<folder>/<file>.h". A target does not get the source root on its
# include path; it gets, for each folder it may use, a directory of the build tree that holds
# nothing but a link named after that folder. A layer links only the layer right beneath it, so
# its include path is its own view and the views of everything below: an include that reaches
# up or across names a folder that is not there, and the build stops.

set(KX_LAYER_VIEWS ${CMAKE_BINARY_DIR}/layers)

# kx_include_view(<folder>): the view directory of a source folder, made at configure time.
function(kx_include_view folder)
    set(view ${KX_LAYER_VIEWS}/${folder})
    file(MAKE_DIRECTORY ${view})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${view}/${folder} SYMBOLIC)
endfunction()

# kx_layer(<folder> [ABOVE <folder>] SOURCES files...): the folder's sources as the object
# library kx_<folder>, which may include its own headers, those of the layer named by ABOVE
# (and, through it, of every layer below that one), the platform layer and the public header.
# Layers are recorded, lowest first, in the global property KX_LAYERS.
function(kx_layer folder)
    cmake_parse_arguments(ARG "" "ABOVE" "SOURCES" ${ARGN})
    set(target kx_${folder})
    add_library(${target} OBJECT ${ARG_SOURCES})
    kx_include_view(${folder})
    target_include_directories(${target} PUBLIC ${KX_LAYER_VIEWS}/${folder}
                                                ${PROJECT_SOURCE_DIR}/include)
    target_compile_definitions(${target} PRIVATE KXEVENT_BUILDING)
    if(ARG_ABOVE)
        target_link_libraries(${target} PUBLIC kx_${ARG_ABOVE})
    else()
        target_link_libraries(${target} PUBLIC kxplatform)
    endif()
    kx_warnings(${target})
    set_property(GLOBAL APPEND PROPERTY KX_LAYERS ${target})
endfunction()

# kx_layer_rules(<folder> SOURCES files... HEADERS headers...): the pure rules a layer keeps
# (functions over a registry reader and the platform, holding no state of the layer's) as the
# static library kx_<folder>_rules, which the layer links and hosts of the library (the kxevent
# command) may link too. Its view holds the listed headers alone: a user reaches the rules, not
# the rest of the layer, and the rules themselves are built seeing only common/ and the platform.
function(kx_layer_rules folder)
    cmake_parse_arguments(ARG "" "" "SOURCES;HEADERS" ${ARGN})
    set(target kx_${folder}_rules)
    add_library(${target} STATIC ${ARG_SOURCES})
    set(view ${KX_LAYER_VIEWS}/${folder}_rules)
    file(MAKE_DIRECTORY ${view}/${folder})
    foreach(header IN LISTS ARG_HEADERS)
        file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder}/${header} ${view}/${folder}/${header}
             SYMBOLIC)
    endforeach()
    target_include_directories(${target} PUBLIC ${view} ${PROJECT_SOURCE_DIR}/include)
    target_compile_definitions(${target} PRIVATE KXEVENT_BUILDING)
    target_link_libraries(${target} PUBLIC kx_common)
    kx_warnings(${target})
endfunction()
