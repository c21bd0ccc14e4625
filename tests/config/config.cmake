ryvo_add_test(ryvo_config_tests SOURCES config_file_test.cpp config_file_concurrency_test.cpp)
# A real Secret Service in a private D-Bus session, locked and unreachable in turn.
ryvo_add_test(ryvo_keyring_tests
              SOURCES keyring_test.cpp ${RYVO_TEST_SUPPORT_DIR}/glib_tsan_suppressions.cpp
              WRAPPER ${RYVO_TEST_SUPPORT_DIR}/with-keyring.sh)
