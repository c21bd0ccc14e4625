# The Debian package of this build (`cmake --build <dir> --target package`): the module and its
# data where the system's OBS looks for plug-ins, ryvo-send with its manual page, and the package
# documents. It is one package per OBS major release: a module built against one release's API and
# Qt does not load into another's, so the package depends on the release it was built against.
#
# The package's files are installed by rules of their own (component "deb", left out of a plain
# `cmake --install`), so that the same build tree installs into the user's OBS folder by hand and
# into /usr as a package.
set(_ryvo_deb_component deb)
set(_ryvo_doc_dir share/doc/${PROJECT_NAME})
set(_ryvo_private_dirs OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
                       WORLD_EXECUTE)
set(_ryvo_readable OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
set(_ryvo_runnable ${_ryvo_readable} OWNER_EXECUTE GROUP_EXECUTE WORLD_EXECUTE)

string(REGEX MATCH "^[0-9]+" RYVO_OBS_MAJOR "${libobs_VERSION}")
math(EXPR _ryvo_obs_next "${RYVO_OBS_MAJOR} + 1")

# The manual page is made from `ryvo-send --help`, so that the two always say the same.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(_ryvo_man_page ${PROJECT_BINARY_DIR}/ryvo-send.1.gz)
add_custom_command(
    OUTPUT ${_ryvo_man_page}
    COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/tools/ryvo-send/help_to_man.py
            $<TARGET_FILE:ryvo-send> ${PROJECT_VERSION} ${_ryvo_man_page}
    DEPENDS ryvo-send ${PROJECT_SOURCE_DIR}/tools/ryvo-send/help_to_man.py
    COMMENT "Writing the ryvo-send manual page from its --help text"
    VERBATIM)
add_custom_target(ryvo-send-man ALL DEPENDS ${_ryvo_man_page})

set(RYVO_PACKAGE_MAINTAINER "Ryvo Networks <support@ryvo.net>" CACHE STRING
    "The Maintainer field of the Debian package")
set(RYVO_PACKAGE_VERSION "${PROJECT_VERSION}+obs${RYVO_OBS_MAJOR}")
# A package without a source package of its own is a native one: its changelog is changelog.gz.
string(TIMESTAMP _ryvo_package_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(_ryvo_changelog ${PROJECT_BINARY_DIR}/package/changelog)
file(WRITE ${_ryvo_changelog}
     "${PROJECT_NAME} (${RYVO_PACKAGE_VERSION}) unstable; urgency=medium\n\n"
     "  * ryvo-obs ${PROJECT_VERSION} built for OBS Studio ${RYVO_OBS_MAJOR}.\n\n"
     " -- ${RYVO_PACKAGE_MAINTAINER}  ${_ryvo_package_date}\n")
file(ARCHIVE_CREATE OUTPUT ${_ryvo_changelog}.gz PATHS ${_ryvo_changelog} FORMAT raw
     COMPRESSION GZip COMPRESSION_LEVEL 9)

install(TARGETS ryvo-obs LIBRARY DESTINATION lib/${CMAKE_LIBRARY_ARCHITECTURE}/obs-plugins
        PERMISSIONS ${_ryvo_readable} COMPONENT ${_ryvo_deb_component} EXCLUDE_FROM_ALL)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/data/ DESTINATION share/obs/obs-plugins/${PROJECT_NAME}
        FILE_PERMISSIONS ${_ryvo_readable} DIRECTORY_PERMISSIONS ${_ryvo_private_dirs}
        COMPONENT ${_ryvo_deb_component} EXCLUDE_FROM_ALL)
install(TARGETS ryvo-send RUNTIME DESTINATION bin PERMISSIONS ${_ryvo_runnable}
        COMPONENT ${_ryvo_deb_component} EXCLUDE_FROM_ALL)
install(FILES ${_ryvo_man_page} DESTINATION share/man/man1 PERMISSIONS ${_ryvo_readable}
        COMPONENT ${_ryvo_deb_component} EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${_ryvo_changelog}.gz
        DESTINATION ${_ryvo_doc_dir} PERMISSIONS ${_ryvo_readable}
        COMPONENT ${_ryvo_deb_component} EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${_ryvo_private_dirs})
set(CPACK_COMPONENTS_ALL ${_ryvo_deb_component})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_DEB_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_DEBIAN_DEB_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_VERSION ${RYVO_PACKAGE_VERSION})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${RYVO_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://ryvo.net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "obs-studio (>= ${RYVO_OBS_MAJOR}), obs-studio (<< ${_ryvo_obs_next})")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "OBS Studio plug-in for the Ryvo delayed-stream service (OBS ${RYVO_OBS_MAJOR})")
# The synopsis above is the first line; this is the rest.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "The plug-in taps one OBS output's encoded packets, cuts them into
keyframe-aligned MPEG-TS segments and uploads each over HTTPS to the Ryvo
ingest API, with heartbeats, backfill of missing segments and the end of the
broadcast. It adds its own streaming service, Ryvo Delayed Stream, an account
link and a status dock to OBS.
.
ryvo-send sends a media file to the service as one live broadcast, through
the same muxer and delivery code.
.
This package is built for OBS Studio ${RYVO_OBS_MAJOR}.")
include(CPack)
