# Decisions of the packet tap and the frontend hook that need no OBS.
ryvo_add_test(ryvo_capture_logic_tests SOURCES mux_packet_queue_test.cpp
              frontend_output_target_test.cpp)
