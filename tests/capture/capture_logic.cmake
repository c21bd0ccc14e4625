# The capture decisions, the mux queue and the muxer that need no OBS; the muxer's clips are made
# with the ffmpeg tools and read back as the sender reads its files.
ryvo_add_test(ryvo_capture_logic_tests
              SOURCES mux_packet_queue_test.cpp capture_rules_test.cpp mpeg_ts_muxer_test.cpp
              LIBS ryvo_send_lib)
