ryvo_add_test(ryvo_module_locale_tests SOURCES module_locale_test.cpp
    LIBS OBS::libobs ${CMAKE_DL_LIBS} WRAPPER ${RYVO_TEST_SUPPORT_DIR}/with_xvfb.py LABELS nosan MODULE)
if(TARGET ryvo_module_locale_tests)
    # The test loads the built module itself.
    add_dependencies(ryvo_module_locale_tests ryvo-obs)
endif()
