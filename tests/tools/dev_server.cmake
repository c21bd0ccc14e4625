ryvo_add_test(ryvo_dev_server_process_tests SOURCES dev_server_process_test.cpp)
ryvo_add_script_test(ryvo_dev_server_tests
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/dev_server_test.py
    LABELS nosan)
