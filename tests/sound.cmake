# Sound layer tests.

# NoSound output: call order, error codes, pacing, end of the callback; its
# threads also run under ThreadSanitizer (label stress).
add_executable(sound_tests sound/sound_test.cpp sound/sound_supervisor_test.cpp sound/sound_owner_test.cpp)
target_link_libraries(sound_tests PRIVATE platform_sound GTest::gtest GTest::gtest_main)
# (gtest_discover_tests would flatten a list of labels.)
gtest_add_tests(TARGET sound_tests TEST_LIST sound_unit_tests)
set_tests_properties(${sound_unit_tests} PROPERTIES LABELS "unit;stress" TIMEOUT 120)

# Block sizes of a stream that keeps underrunning, on a driven clock.
add_executable(sound_latency_tests sound/sound_latency_test.cpp)
target_link_libraries(sound_latency_tests PRIVATE platform_sound GTest::gtest GTest::gtest_main)
gtest_add_tests(TARGET sound_latency_tests TEST_LIST sound_latency_unit_tests)
set_tests_properties(${sound_latency_unit_tests} PROPERTIES LABELS unit)

# Plays a known tone through the layer; driven by the PulseAudio tests.
add_executable(tone_player sound/tone_player.cpp)
target_link_libraries(tone_player PRIVATE platform_sound)

# Against private PulseAudio and PipeWire servers with a null sink, the
# player run as root and as nobody. Runs alone so that the only extra load
# during the dropout checks is the test's own.
add_test(NAME sound_pulse
  COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/e2e/test_sound_pulse.py)
set_tests_properties(sound_pulse PROPERTIES
  LABELS e2e
  ENVIRONMENT "SOUND_TONE_PLAYER=$<TARGET_FILE:tone_player>"
  RUN_SERIAL TRUE
  TIMEOUT 180)

# The program against a sound server that hangs, dies or comes back, and a
# user without a cookie: no hang, the sound back, nothing foreign printed.
add_test(NAME sound_faults
  COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/e2e/test_sound_faults.py)
set_tests_properties(sound_faults PROPERTIES
  LABELS e2e
  ENVIRONMENT "SYNTH_PROGRAM=$<TARGET_FILE:synth>"
  TIMEOUT 180)

# Real-time priority through a stand-in rtkit on a private bus, with
# SCHED_FIFO refused to the player.
add_test(NAME sound_rtkit
  COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/e2e/test_sound_rtkit.py)
set_tests_properties(sound_rtkit PROPERTIES
  LABELS e2e
  ENVIRONMENT "SOUND_TONE_PLAYER=$<TARGET_FILE:tone_player>"
  TIMEOUT 60)

# A device that keeps underrunning moves to a larger block.
add_test(NAME sound_latency
  COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/e2e/test_sound_latency.py)
set_tests_properties(sound_latency PROPERTIES
  LABELS e2e
  ENVIRONMENT "SOUND_TONE_PLAYER=$<TARGET_FILE:tone_player>"
  TIMEOUT 60)
