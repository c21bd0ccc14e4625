ryvo_add_script_test(ryvo_secrets_audit_tests
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/secrets_audit_test.py
    LABELS nosan)
