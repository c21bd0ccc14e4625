# The package cache of `make check-obs32`, over hand-made packages and an archive address that
# refuses connections; the real check runs as part of `make test`.
ryvo_add_script_test(check_obs32_script_tests
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/check_obs32_test.py LABELS nosan)
