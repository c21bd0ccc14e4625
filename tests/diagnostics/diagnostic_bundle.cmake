ryvo_add_test(ryvo_diagnostics_tests
              SOURCES diagnostic_bundle_test.cpp obs_log_tail_test.cpp bundle_to_desktop_test.cpp
                      redaction_test.cpp)

# The clipboard and the result label, in Qt's offscreen platform.
ryvo_add_test(ryvo_diagnostics_result_qt_tests
              SOURCES diagnostics_result_qt_test.cpp
              LIBS ryvo_obs_objects
              MODULE)
