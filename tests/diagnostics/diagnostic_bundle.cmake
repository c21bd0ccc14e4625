ryvo_add_test(ryvo_diagnostic_bundle_tests
              SOURCES diagnostic_bundle_test.cpp obs_log_tail_test.cpp bundle_to_desktop_test.cpp)

# The clipboard and the result label, in Qt's offscreen platform.
ryvo_add_test(ryvo_diagnostics_result_qt_tests
              SOURCES diagnostics_result_qt_test.cpp
                      ${PROJECT_SOURCE_DIR}/src/diagnostics/diagnostics_result_qt.cpp
                      ${PROJECT_SOURCE_DIR}/src/platform/clipboard_qt.cpp
              LIBS Qt::Widgets
              MODULE)
