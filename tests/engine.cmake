# Engine unit tests.
add_executable(engine_tests
  synth/vco_test.cpp
  synth/vca_test.cpp
  synth/patch_test.cpp
  synth/engine_test.cpp
  synth/note_keys_test.cpp
)
target_link_libraries(engine_tests PRIVATE engine GTest::gtest GTest::gtest_main)
gtest_discover_tests(engine_tests PROPERTIES LABELS unit TIMEOUT 60)

# Rendering on one thread while another edits everything; meant for
# ThreadSanitizer builds.
add_executable(patch_stress_test synth/patch_stress_test.cpp)
target_link_libraries(patch_stress_test PRIVATE engine GTest::gtest GTest::gtest_main Threads::Threads)
add_test(NAME PatchStressTest COMMAND patch_stress_test)
set_tests_properties(PatchStressTest PROPERTIES LABELS "unit;stress" TIMEOUT 300)
