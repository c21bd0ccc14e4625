ryvo_add_test(ryvo_capture_logic_tests
              SOURCES mux_packet_queue_test.cpp capture_rules_test.cpp mpeg_ts_muxer_test.cpp
              LIBS ryvo_send_lib)
