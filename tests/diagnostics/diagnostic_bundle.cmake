ryvo_add_test(ryvo_diagnostics_tests
              SOURCES diagnostic_bundle_test.cpp obs_log_tail_test.cpp bundle_to_desktop_test.cpp
                      redaction_test.cpp)
