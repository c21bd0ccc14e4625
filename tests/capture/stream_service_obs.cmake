# The Stream button in real OBS through the plug-in's service, driven over obs-websocket.
ryvo_add_script_test(obs_native_stream_delivery
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/obs_native_stream_delivery_test.py
    LABELS nosan MODULE)
