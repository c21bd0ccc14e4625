ryvo_add_test(ryvo_config_file_tests SOURCES config_file_test.cpp config_file_concurrency_test.cpp)
# Real Secret Service in a private D-Bus session.
ryvo_add_test(ryvo_config_file_keyring_tests
              SOURCES config_file_keyring_test.cpp ${RYVO_TEST_SUPPORT_DIR}/glib_tsan_suppressions.cpp
              WRAPPER ${RYVO_TEST_SUPPORT_DIR}/with-keyring.sh)
# Needs a process that never reached a bus, so it has a binary of its own and no wrapper.
ryvo_add_test(ryvo_config_file_no_keyring_tests
              SOURCES config_file_no_keyring_test.cpp
                      ${RYVO_TEST_SUPPORT_DIR}/glib_tsan_suppressions.cpp)
