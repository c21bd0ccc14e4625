# The plug-in's streaming service and output and the user's service backup in real libobs, with
# OBS's RTMP services loaded and the OBS application's frontend stood in for.
ryvo_add_test(ryvo_stream_service_obs_tests
              SOURCES stream_service_obs_test.cpp
              LIBS ryvo_obs_objects PkgConfig::CURL
              WRAPPER ${RYVO_TEST_SUPPORT_DIR}/with_xvfb.py
              LABELS nosan
              MODULE)

# The Stream button in real OBS through the plug-in's service, driven over obs-websocket.
ryvo_add_script_test(obs_native_stream_delivery
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/obs_native_stream_delivery_test.py
    LABELS nosan MODULE)
