# Program tests. The window keys' tests live in window.cmake.
include(${CMAKE_CURRENT_LIST_DIR}/window.cmake OPTIONAL)
