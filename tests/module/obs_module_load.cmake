ryvo_add_script_test(obs_module_load
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/obs_module_load_test.py
    LABELS nosan MODULE)
