ryvo_add_script_test(ryvo_send_tests
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/ryvo_send_test.py
    LABELS nosan)
