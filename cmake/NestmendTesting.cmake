# nestmend_add_test(NAME name SOURCES ... LIBRARIES ... [WINDOW] [LABELS ...])
# Builds one test executable and registers it with CTest. WINDOW tests run on Qt's offscreen
# platform, so a plain `ctest` works on a machine without a display.
function(nestmend_add_test)
  cmake_parse_arguments(ARG "WINDOW" "NAME" "SOURCES;LIBRARIES;LABELS" ${ARGN})
  add_executable(${ARG_NAME} ${ARG_SOURCES})
  target_link_libraries(${ARG_NAME} PRIVATE ${ARG_LIBRARIES} nestmend_warnings)
  add_test(NAME ${ARG_NAME} COMMAND ${ARG_NAME})
  set(environment "ASAN_OPTIONS=detect_leaks=1:abort_on_error=1"
                  "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
  if(ARG_WINDOW)
    list(APPEND environment "QT_QPA_PLATFORM=offscreen")
  endif()
  set_tests_properties(${ARG_NAME} PROPERTIES ENVIRONMENT "${environment}" SKIP_RETURN_CODE 77
                       LABELS "${ARG_LABELS}")
endfunction()
