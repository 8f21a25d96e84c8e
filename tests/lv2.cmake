# The LV2 plugin through a real host library (lilv) and the LV2 validator;
# added where the plugin is built and lilv and lv2_validate are installed.
if(NOT TARGET synth_lv2)
  return()
endif()

pkg_check_modules(LILV QUIET IMPORTED_TARGET lilv-0)
if(LILV_FOUND)
  add_executable(lv2_plugin_tests lv2/plugin_test.cpp)
  target_compile_definitions(lv2_plugin_tests PRIVATE SYNTH_LV2_BUNDLE="${SYNTH_LV2_BUNDLE}")
  target_link_libraries(lv2_plugin_tests PRIVATE engine_core PkgConfig::LILV PkgConfig::LV2
    GTest::gtest GTest::gtest_main)
  add_dependencies(lv2_plugin_tests synth_lv2)
  gtest_discover_tests(lv2_plugin_tests PROPERTIES LABELS unit TIMEOUT 60)
endif()

find_program(LV2_VALIDATE lv2_validate)
find_program(SORD_VALIDATE sord_validate)
if(LV2_VALIDATE AND SORD_VALIDATE)
  add_test(NAME lv2_validate
    COMMAND ${LV2_VALIDATE} ${SYNTH_LV2_BUNDLE}/manifest.ttl ${SYNTH_LV2_BUNDLE}/synth.ttl)
  set_tests_properties(lv2_validate PROPERTIES
    LABELS unit
    FAIL_REGULAR_EXPRESSION "[1-9][0-9]* errors? among|rror:"
    TIMEOUT 60)
endif()

# The plugin in jalv under a private JACK server, a MIDI note played to it.
# Runs alone: the note timing is checked to the frame.
find_program(JALV jalv)
if(JALV)
  add_test(NAME lv2_jalv COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/e2e/test_lv2_jalv.py)
  set_tests_properties(lv2_jalv PROPERTIES
    LABELS e2e
    ENVIRONMENT "SYNTH_LV2_PATH=${CMAKE_BINARY_DIR}/lib/lv2"
    RUN_SERIAL TRUE
    TIMEOUT 120)
endif()
