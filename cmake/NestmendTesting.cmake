# nestmend_add_test(NAME name SOURCES ... LIBRARIES ... [WINDOW] [GROUPS group filter ...])
# Builds one test executable and registers it with CTest: whole, or as one CTest test per group
# of GoogleTest cases (a --gtest_filter), so that ctest shows each group by name as it ends.
# WINDOW tests run on Qt's offscreen platform, so a plain `ctest` works without a display.
# Built for Windows or another processor, the executable is only built: the Linux tree runs it
# under Wine or QEMU.
function(nestmend_add_test)
  cmake_parse_arguments(ARG "WINDOW" "NAME" "SOURCES;LIBRARIES;GROUPS" ${ARGN})
  add_executable(${ARG_NAME} ${ARG_SOURCES})
  target_link_libraries(${ARG_NAME} PRIVATE ${ARG_LIBRARIES} nestmend_warnings)
  if(CMAKE_CROSSCOMPILING)
    return()
  endif()
  set(environment "ASAN_OPTIONS=detect_leaks=1:abort_on_error=1"
                  "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
  if(ARG_WINDOW)
    list(APPEND environment "QT_QPA_PLATFORM=offscreen")
  endif()
  if(NOT ARG_GROUPS)
    add_test(NAME ${ARG_NAME} COMMAND ${ARG_NAME})
    list(APPEND groups ${ARG_NAME})
  endif()
  while(ARG_GROUPS)
    list(POP_FRONT ARG_GROUPS group filter)
    add_test(NAME ${group} COMMAND ${ARG_NAME} --gtest_filter=${filter})
    list(APPEND groups ${group})
  endwhile()
  # Each group takes seconds; one that hangs is cut off after a minute, not ctest's default.
  set_tests_properties(${groups} PROPERTIES ENVIRONMENT "${environment}" SKIP_RETURN_CODE 77
                       TIMEOUT 60)
endfunction()
