# The module in real OBS: its reports at load, and a portal-linked install (key in the Secret
# Service) with its dock and support bundle; the dock's screenshot is kept under artifacts/
# (RYVO_UPDATE_DOCS=1 also refreshes docs/dock.png).
ryvo_add_script_test(obs_module_load
    COMMAND ${RYVO_TEST_SUPPORT_DIR}/with-keyring.sh /usr/bin/python3
            ${CMAKE_CURRENT_LIST_DIR}/obs_module_load_test.py
    LABELS nosan MODULE)
