ryvo_add_test(ryvo_plugin_link_tests
    SOURCES plugin_link_client_test.cpp plugin_link_apply_test.cpp browser_test.cpp)
