ryvo_add_test(ryvo_runtime_unit_tests
              SOURCES ram_segment_cache_test.cpp runtime_maintenance_test.cpp ryvo_session_test.cpp
                      segment_assembler_test.cpp sequence_checkpoint_test.cpp
                      upload_manager_test.cpp)
ryvo_add_test(ryvo_runtime_tests SOURCES ryvo_runtime_test.cpp LIBS PkgConfig::CURL)
