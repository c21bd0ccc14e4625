ryvo_add_test(ryvo_mpeg_ts_muxer_tests SOURCES mpeg_ts_muxer_test.cpp)
# Makes its clips with the ffmpeg command-line tools and checks the output with ffprobe.
ryvo_add_test(ryvo_mpeg_ts_muxer_clip_tests SOURCES mpeg_ts_muxer_clip_test.cpp)
