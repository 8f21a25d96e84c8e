# Output type 3 through a private JACK server (dummy driver), with MIDI notes
# from the test's own client. Runs alone: the note timing is checked to the
# frame and the dummy driver's clock is the wall clock.
add_test(NAME program_jack
  COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/e2e/test_jack.py)
set_tests_properties(program_jack PROPERTIES
  LABELS e2e
  ENVIRONMENT "SYNTH_PROGRAM=$<TARGET_FILE:synth>"
  RUN_SERIAL TRUE
  TIMEOUT 120)

# The MIDI note keys against the stand-in sound layer.
add_executable(midi_keys_tests
  app/midi_keys_test.cpp
  app/fake_sound.cpp
  app/fake_console.cpp
)
target_link_libraries(midi_keys_tests PRIVATE app_core GTest::gtest GTest::gtest_main)
gtest_discover_tests(midi_keys_tests PROPERTIES LABELS unit)
