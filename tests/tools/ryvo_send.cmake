ryvo_add_test(ryvo_send_unit_tests SOURCES ryvo_send_unit_test.cpp LIBS ryvo_send_lib)
# Sends clips made by the ffmpeg CLI to the dev server; needs the ryvo-send executable built.
ryvo_add_script_test(ryvo_send_tests
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/ryvo_send_test.py
    LABELS nosan)
