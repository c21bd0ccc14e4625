# A key revoked mid-broadcast in real OBS, then a new key for the next broadcast.
ryvo_add_script_test(obs_key_revoked
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/obs_key_revoked_test.py
    LABELS nosan MODULE)
