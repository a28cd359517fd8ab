# The Qt video surface of the preview player (needs the widgets library; offscreen platform).
if(TARGET orvane_controls)
  add_executable(test_gui_videosurface ${CMAKE_CURRENT_SOURCE_DIR}/gui/test_videosurface.cpp)
  target_link_libraries(test_gui_videosurface PRIVATE orvane_testsupport orvane_controls GTest::gtest)
  add_dependencies(test_gui_videosurface testmedia)
  gtest_discover_tests(test_gui_videosurface
    DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen;SDL_AUDIODRIVER=dummy;ORVANE_TEST_MEDIA=${ORVANE_TEST_MEDIA}"
               TIMEOUT 600)
endif()
