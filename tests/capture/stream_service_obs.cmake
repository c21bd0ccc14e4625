# The plug-in's streaming service and output and the user's service backup in real libobs, with
# OBS's RTMP services loaded and the OBS application's frontend stood in for.
set(_ryvo_stream_service_obs_sources)
foreach(file capture/native_stream_service_obs capture/streaming_service_backup_obs
        capture/frontend_api_obs capture/packet_tap_obs capture/obs_log_obs capture/output_attachment_obs
        capture/frontend_packet_source_obs capture/frontend_hook_obs module/module_entry)
    list(APPEND _ryvo_stream_service_obs_sources ${PROJECT_SOURCE_DIR}/src/${file}.cpp)
endforeach()
ryvo_add_test(ryvo_stream_service_obs_tests
              SOURCES stream_service_obs_test.cpp ${_ryvo_stream_service_obs_sources}
              LIBS OBS::libobs OBS::obs-frontend-api PkgConfig::CURL
              WRAPPER ${RYVO_TEST_SUPPORT_DIR}/with_xvfb.py
              LABELS nosan
              MODULE)

# The Stream button in real OBS through the plug-in's service, driven over obs-websocket.
ryvo_add_script_test(obs_native_stream_delivery
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/obs_native_stream_delivery_test.py
    LABELS nosan MODULE)
