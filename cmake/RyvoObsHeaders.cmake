# ryvo_use_obs_headers(<dir>): stand-ins for the libobs and obs-frontend-api targets made from the
# headers of another OBS release alone (an unpacked libobs-dev), for a compile-only check of the
# module against that release's API. <dir> holds obs-module.h, obs-frontend-api.h and
# obs-config.h. Sets libobs_VERSION from obs-config.h, as find_package(libobs) would.
function(ryvo_use_obs_headers dir)
    foreach(header obs-module.h obs-frontend-api.h obs-config.h)
        if(NOT EXISTS "${dir}/${header}")
            message(FATAL_ERROR "RYVO_OBS_HEADERS_DIR: ${dir}/${header} does not exist")
        endif()
    endforeach()
    set(_version)
    foreach(part MAJOR MINOR PATCH)
        file(STRINGS "${dir}/obs-config.h" _line REGEX "^#define LIBOBS_API_${part}_VER +[0-9]+")
        string(REGEX REPLACE "^#define LIBOBS_API_${part}_VER +([0-9]+).*" "\\1" _number "${_line}")
        if(NOT _number MATCHES "^[0-9]+$")
            message(FATAL_ERROR "RYVO_OBS_HEADERS_DIR: no LIBOBS_API_${part}_VER in obs-config.h")
        endif()
        list(APPEND _version ${_number})
    endforeach()
    list(JOIN _version "." _version)
    set(libobs_VERSION ${_version} PARENT_SCOPE)
    message(STATUS "ryvo-obs: compiling only, against the headers of OBS ${_version} in ${dir}")

    # Imported, so that the headers are system headers and their own warnings stay theirs.
    add_library(OBS::libobs INTERFACE IMPORTED GLOBAL)
    set_target_properties(OBS::libobs PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${dir}"
                                                 INTERFACE_LINK_LIBRARIES Threads::Threads)
    add_library(OBS::obs-frontend-api INTERFACE IMPORTED GLOBAL)
    set_target_properties(OBS::obs-frontend-api PROPERTIES INTERFACE_LINK_LIBRARIES OBS::libobs)
endfunction()
