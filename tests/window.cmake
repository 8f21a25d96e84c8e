# Window note keys: unit tests of the event pump, the clear-cost tool and the
# end-to-end tests under Xvfb.
add_executable(window_keys_test window/window_keys_test.cpp)
target_link_libraries(window_keys_test PRIVATE app_core engine PkgConfig::SDL GTest::gtest_main)
gtest_discover_tests(window_keys_test
  PROPERTIES LABELS unit ENVIRONMENT "SDL_VIDEODRIVER=dummy" TIMEOUT 60)

# Measurement tool, not a test: window_clear_cost [calls]
add_executable(window_clear_cost window/clear_cost.cpp)
target_link_libraries(window_clear_cost PRIVATE engine PkgConfig::SDL)

# End to end under Xvfb, xdotool and a PulseAudio null sink.
add_test(NAME window_e2e
  COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/e2e/test_window.py --program $<TARGET_FILE:synth>)
set_tests_properties(window_e2e PROPERTIES LABELS e2e TIMEOUT 180)
