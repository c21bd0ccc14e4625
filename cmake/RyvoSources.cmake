# ryvo_collect_sources(): the .cpp files of the calling folder go into ryvo_core, except those named
# *_obs.cpp or *_qt.cpp, which need libobs or Qt and go into the module's objects.
function(ryvo_collect_sources)
    file(GLOB _all CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
    set(_core ${_all})
    list(FILTER _core EXCLUDE REGEX "_(obs|qt)\\.cpp$")
    set(_module ${_all})
    list(FILTER _module INCLUDE REGEX "_(obs|qt)\\.cpp$")
    if(_core)
        target_sources(ryvo_core PRIVATE ${_core})
    endif()
    if(_module AND RYVO_BUILD_MODULE)
        target_sources(ryvo_obs_objects PRIVATE ${_module})
    endif()
endfunction()

# ryvo_module_sources(): every .cpp file of the calling folder goes into the module.
function(ryvo_module_sources)
    file(GLOB _all CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
    if(_all)
        target_sources(ryvo_obs_objects PRIVATE ${_all})
    endif()
endfunction()
