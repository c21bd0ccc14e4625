# Decisions of the plug-in's streaming service and of the user's service backup that need no OBS.
ryvo_add_test(ryvo_stream_service_logic_tests
              SOURCES native_stream_rules_test.cpp service_backup_rules_test.cpp)
