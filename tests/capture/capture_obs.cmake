# The tap, the frontend hook and the plug-in's service in real libobs, each under its own Xvfb.
ryvo_add_test(ryvo_capture_obs_tests
              SOURCES capture_obs_test.cpp
              LIBS ryvo_obs_objects PkgConfig::CURL
              WRAPPER ${RYVO_TEST_SUPPORT_DIR}/with_xvfb.py
              LABELS nosan
              MODULE)

# Streams and recordings from real OBS, driven over obs-websocket.
ryvo_add_script_test(obs_delivery
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/obs_delivery_test.py
    LABELS nosan MODULE)

# Real libobs without starting OBS: also in the sanitizer builds, which link libobs when installed.
if(TARGET OBS::libobs)
    ryvo_add_test(ryvo_packet_tap_hold_tests
                  SOURCES packet_tap_hold_test.cpp
                          ${PROJECT_SOURCE_DIR}/src/capture/packet_tap_obs.cpp
                          ${PROJECT_SOURCE_DIR}/src/capture/obs_log_obs.cpp
                  LIBS OBS::libobs)
endif()
