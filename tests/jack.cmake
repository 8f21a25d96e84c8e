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
