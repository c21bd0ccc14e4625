# Runs against a real keyring daemon in a private D-Bus session.
ryvo_add_test(ryvo_keychain_store_tests
              SOURCES keychain_store_test.cpp ${RYVO_TEST_SUPPORT_DIR}/glib_tsan_suppressions.cpp
              WRAPPER ${RYVO_TEST_SUPPORT_DIR}/with-keyring.sh)
# Needs a process that never reached a bus, so it has a binary of its own and no wrapper.
ryvo_add_test(ryvo_keychain_store_unreachable_tests SOURCES keychain_store_unreachable_test.cpp)
