ryvo_add_test(ryvo_runtime_tests SOURCES ryvo_runtime_test.cpp LIBS PkgConfig::CURL)
