ryvo_add_script_test(ryvo_dev_server_tests
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/dev_server_test.py
    LABELS nosan)
