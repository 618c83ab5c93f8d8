# nestmend_add_test(NAME name SOURCES ... LIBRARIES ... [WINDOW])
# Builds one test executable and registers it with CTest. WINDOW tests run on Qt's offscreen
# platform, so a plain `ctest` works on a machine without a display. Built for Windows, a test
# runs under Wine, in a prefix of the build's own that the "wine" fixture starts and ends.
function(nestmend_add_test)
  cmake_parse_arguments(ARG "WINDOW" "NAME" "SOURCES;LIBRARIES" ${ARGN})
  add_executable(${ARG_NAME} ${ARG_SOURCES})
  target_link_libraries(${ARG_NAME} PRIVATE ${ARG_LIBRARIES} nestmend_warnings)
  add_test(NAME ${ARG_NAME} COMMAND ${ARG_NAME})
  set(environment "ASAN_OPTIONS=detect_leaks=1:abort_on_error=1"
                  "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
  if(ARG_WINDOW)
    list(APPEND environment "QT_QPA_PLATFORM=offscreen")
  endif()
  if(WIN32)
    list(APPEND environment ${NESTMEND_WINE_ENVIRONMENT})
    set_tests_properties(${ARG_NAME} PROPERTIES FIXTURES_REQUIRED wine)
  endif()
  set_tests_properties(${ARG_NAME} PROPERTIES ENVIRONMENT "${environment}" SKIP_RETURN_CODE 77)
endfunction()

if(WIN32)
  set(NESTMEND_WINE_ENVIRONMENT "WINEPREFIX=${CMAKE_BINARY_DIR}/wine-prefix" "WINEDEBUG=-all"
      "WINEDLLOVERRIDES=mscoree,mshtml=")
  # Wine's background processes would hold every test's output open until they end: one server,
  # started before the tests and ended after them, keeps each test to its own run time.
  add_test(NAME wine_start COMMAND sh -c "mkdir -p \"$WINEPREFIX\" && (wineserver -k || true) \
    && wineserver -p > /dev/null 2>&1 && wineboot --init > /dev/null 2>&1")
  add_test(NAME wine_stop COMMAND sh -c "wineserver -k || true")
  set_tests_properties(wine_start PROPERTIES FIXTURES_SETUP wine ENVIRONMENT "${NESTMEND_WINE_ENVIRONMENT}")
  set_tests_properties(wine_stop PROPERTIES FIXTURES_CLEANUP wine ENVIRONMENT "${NESTMEND_WINE_ENVIRONMENT}")
endif()
