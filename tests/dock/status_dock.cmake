# The dock widget on Qt's offscreen platform, with real libobs in-process, the OBS application's
# frontend stood in for, the dev server playing the portal and a private Secret Service.
ryvo_add_test(ryvo_status_dock_tests
              SOURCES status_dock_link_flow_test.cpp
              LIBS ryvo_obs_objects
              WRAPPER ${CMAKE_CURRENT_LIST_DIR}/with-xvfb-keyring.sh
              LABELS nosan
              MODULE
              SANITIZED_CASES StatusDockLinkFlow.DestroyingTheDockWithAPollInFlightDropsTheResult)
if(TARGET ryvo_status_dock_tests)
    # For the capture tests' libobs environment and frontend stand-in (capture/obs_test_support.h).
    target_include_directories(ryvo_status_dock_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests)
endif()
