# Program tests. The window keys' tests live in window.cmake.
include(${CMAKE_CURRENT_LIST_DIR}/window.cmake OPTIONAL)

# ---- Program: start-up, output dialogue, console keys, console layer ----

# app_core against stand-ins of the sound library and the console keyboard.
add_executable(program_tests
  app/console_keys_test.cpp
  app/output_select_test.cpp
  app/options_test.cpp
  app/patch_file_test.cpp
  app/fake_sound.cpp
  app/fake_console.cpp
)
target_link_libraries(program_tests PRIVATE app_core GTest::gtest GTest::gmock GTest::gtest_main)
gtest_discover_tests(program_tests PROPERTIES LABELS unit TIMEOUT 60)

# The console keyboard layer itself, over pseudo-terminals.
add_executable(console_tests app/console_test.cpp)
target_link_libraries(console_tests PRIVATE platform_console GTest::gtest GTest::gtest_main Threads::Threads)
gtest_discover_tests(console_tests PROPERTIES LABELS unit TIMEOUT 60)

# The built program driven from a pseudo-terminal (NoSound output).
add_test(NAME program_console
  COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/e2e/test_program.py)
set_tests_properties(program_console PROPERTIES
  LABELS e2e
  ENVIRONMENT "SYNTH_PROGRAM=$<TARGET_FILE:synth>"
  TIMEOUT 180)

# The drone through private PulseAudio and PipeWire null sinks, on the pulse
# plugin's route and PipeWire's own ALSA plugin's.
add_test(NAME program_sound
  COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/e2e/test_program_sound.py)
set_tests_properties(program_sound PROPERTIES
  LABELS e2e
  ENVIRONMENT "SYNTH_PROGRAM=$<TARGET_FILE:synth>;SYNTH_TEST_CACHE=${CMAKE_BINARY_DIR}/e2e-cache"
  TIMEOUT 240)
