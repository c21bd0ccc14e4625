# A short run of every benchmark (--smoke: a few seconds of stream, a handful of uploads, a tiny
# clip) so that they keep building and working between `make bench` runs. The benchmarks check
# their own work and fail when it went wrong.
if(NOT RYVO_BUILD_BENCH)
    return()
endif()
set(_ryvo_smoke_benchmarks core_throughput_bench upload_throughput_bench)
if(TARGET ryvo-send)
    list(APPEND _ryvo_smoke_benchmarks send_clip_bench)
endif()
# Built with the module (bench/ is configured after the tests, so no TARGET check here).
if(RYVO_BUILD_MODULE AND NOT RYVO_OBS_HEADERS_DIR)
    list(APPEND _ryvo_smoke_benchmarks packet_callback_bench)
endif()
foreach(_bench ${_ryvo_smoke_benchmarks})
    ryvo_add_script_test(${_bench}_smoke COMMAND $<TARGET_FILE:${_bench}> --smoke LABELS nosan)
endforeach()

# In a private Secret Service session, for the portal-linked install's key.
if(RYVO_BUILD_MODULE AND NOT RYVO_OBS_HEADERS_DIR)
    ryvo_add_script_test(dock_refresh_bench_smoke
        COMMAND ${RYVO_TEST_SUPPORT_DIR}/with-keyring.sh $<TARGET_FILE:dock_refresh_bench> --smoke
        LABELS nosan)
endif()

# OBS under Xvfb, a few seconds of streaming and of recording.
ryvo_add_script_test(obs_cpu_bench_smoke
    COMMAND /usr/bin/python3 ${PROJECT_SOURCE_DIR}/bench/obs_cpu_bench.py ${PROJECT_BINARY_DIR}
            --smoke
    LABELS nosan MODULE)
