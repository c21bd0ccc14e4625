# A revoked key and a relinked install against the development ingest server over loopback.
ryvo_add_test(ryvo_key_revocation_tests SOURCES key_revocation_test.cpp LIBS PkgConfig::CURL)
