# The module in real OBS: its reports at load, the dock and the support bundle of a linked install.
ryvo_add_script_test(obs_module_load
    COMMAND ${RYVO_TEST_SUPPORT_DIR}/with-keyring.sh /usr/bin/python3
            ${CMAKE_CURRENT_LIST_DIR}/obs_module_load_test.py
    LABELS nosan MODULE)
