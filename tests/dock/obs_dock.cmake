# The dock in real OBS: docked and visible in the main window of a fresh install, with a
# screenshot kept under artifacts/ (RYVO_UPDATE_DOCS=1 also refreshes docs/dock.png).
ryvo_add_script_test(obs_dock
    COMMAND ${RYVO_TEST_SUPPORT_DIR}/with-keyring.sh /usr/bin/python3
            ${CMAKE_CURRENT_LIST_DIR}/obs_dock_test.py
    LABELS nosan MODULE)
