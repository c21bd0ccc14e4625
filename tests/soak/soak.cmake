# The outage soak, compressed: an 80 s live broadcast through outages, refused connections,
# random 500/429 answers and one upload cut off; `make soak` runs the full five minutes.
ryvo_add_script_test(soak_send_short
    COMMAND /usr/bin/python3 ${PROJECT_SOURCE_DIR}/scripts/soak.py
            --build-dir ${PROJECT_BINARY_DIR} --variant send --short
    LABELS nosan COST 1000)
ryvo_add_script_test(soak_obs_short
    COMMAND /usr/bin/python3 ${PROJECT_SOURCE_DIR}/scripts/soak.py
            --build-dir ${PROJECT_BINARY_DIR} --variant obs --short
    LABELS nosan MODULE COST 1000)
