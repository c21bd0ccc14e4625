# Configured without CMAKE_INSTALL_PREFIX, `cmake --install` puts the module where OBS looks for the
# current user's plug-ins; configured with a prefix, it uses the system plug-in layout under it.
include(GNUInstallDirs)
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
    if(DEFINED ENV{XDG_CONFIG_HOME} AND NOT "$ENV{XDG_CONFIG_HOME}" STREQUAL "")
        set(_ryvo_config_home "$ENV{XDG_CONFIG_HOME}")
    else()
        set(_ryvo_config_home "$ENV{HOME}/.config")
    endif()
    set(RYVO_USER_PLUGIN_DIR "${_ryvo_config_home}/obs-studio/plugins/ryvo-obs" CACHE PATH
        "Where the module is installed for the current user")
    set(RYVO_MODULE_DESTINATION "${RYVO_USER_PLUGIN_DIR}/bin/64bit")
    set(RYVO_DATA_DESTINATION "${RYVO_USER_PLUGIN_DIR}/data")
else()
    set(RYVO_MODULE_DESTINATION "${CMAKE_INSTALL_LIBDIR}/obs-plugins")
    set(RYVO_DATA_DESTINATION "${CMAKE_INSTALL_DATADIR}/obs/obs-plugins/ryvo-obs")
endif()
install(TARGETS ryvo-obs LIBRARY DESTINATION ${RYVO_MODULE_DESTINATION})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/data/ DESTINATION ${RYVO_DATA_DESTINATION})
