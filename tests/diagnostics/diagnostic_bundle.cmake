ryvo_add_test(ryvo_diagnostic_bundle_tests
              SOURCES diagnostic_bundle_test.cpp obs_log_tail_test.cpp bundle_to_desktop_test.cpp)

# The clipboard and the result label, in Qt's offscreen platform.
ryvo_add_test(ryvo_diagnostics_result_qt_tests
              SOURCES diagnostics_result_qt_test.cpp
              LIBS ryvo_obs_objects
              MODULE)

# The dock's hotkey in real OBS, for a portal-linked install whose key is in the Secret Service.
ryvo_add_script_test(obs_diagnostics_bundle
    COMMAND ${RYVO_TEST_SUPPORT_DIR}/with-keyring.sh /usr/bin/python3
            ${CMAKE_CURRENT_LIST_DIR}/obs_diagnostics_bundle_test.py
    LABELS nosan MODULE)
