# The dock widget on Qt's offscreen platform, with real libobs in-process, the OBS application's
# frontend stood in for, the dev server playing the portal and a private Secret Service.
set(_ryvo_status_dock_sources)
foreach(file dock/status_dock_widget_qt dock/status_dock_actions_qt dock/dock_layout_qt
        dock/localized_text_qt capture/plugin_status_snapshot_obs capture/native_stream_service_obs
        capture/streaming_service_backup_obs capture/frontend_api_obs capture/packet_tap_obs capture/obs_log_obs
        capture/output_attachment_obs capture/frontend_packet_source_obs capture/frontend_hook_obs
        diagnostics/diagnostics_action_qt diagnostics/diagnostics_result_qt platform/clipboard_qt
        module/module_entry)
    list(APPEND _ryvo_status_dock_sources ${PROJECT_SOURCE_DIR}/src/${file}.cpp)
endforeach()
ryvo_add_test(ryvo_status_dock_tests
              SOURCES status_dock_display_test.cpp status_dock_link_flow_test.cpp
                      ${_ryvo_status_dock_sources}
              LIBS OBS::libobs OBS::obs-frontend-api Qt::Widgets
              WRAPPER ${CMAKE_CURRENT_LIST_DIR}/with-xvfb-keyring.sh
              LABELS nosan
              MODULE)
if(TARGET ryvo_status_dock_tests)
    # For the capture tests' libobs environment and frontend stand-in (capture/obs_test_support.h).
    target_include_directories(ryvo_status_dock_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests)
endif()
